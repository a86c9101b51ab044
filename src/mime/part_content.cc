#include "mime/part_content.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define WHARFLINE_BASE64_SIMD 1
#endif

namespace mime {
namespace {

using mail::Bytes;

// GMime's filter stream reads content in pieces of this size. Decoding with GMime's step
// codec on the same pieces gives its output byte for byte, quirks included.
constexpr std::size_t kPiece = 4096;

// The value of each base64 character, -1 for the rest.
constexpr std::array<std::int8_t, 256> kBase64Values = [] {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  for (int i = 0; i < 26; ++i) {
    values['A' + i] = static_cast<std::int8_t>(i);
    values['a' + i] = static_cast<std::int8_t>(26 + i);
  }
  for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<std::int8_t>(52 + i);
  values['+'] = 62;
  values['/'] = 63;
  return values;
}();

bool IsIdentity(GMimeContentEncoding encoding) {
  return encoding == GMIME_CONTENT_ENCODING_DEFAULT || encoding == GMIME_CONTENT_ENCODING_7BIT ||
         encoding == GMIME_CONTENT_ENCODING_8BIT || encoding == GMIME_CONTENT_ENCODING_BINARY;
}

// Unencoded content ends before the CRLF that belongs to the next boundary; GMime leaves the
// CR of that pair behind, and it is not part of the content.
std::size_t IdentitySize(std::string_view encoded) {
  return !encoded.empty() && encoded.back() == '\r' ? encoded.size() - 1 : encoded.size();
}

// Base64 as nearly every sender writes it: whole groups of four alphabet characters in lines
// ended by CR LF or LF, and padding only at the very end. Any decoder reads such text the
// same way, GMime's included, so it is decoded here, four characters at a time where it can.
// Anything else (junk characters, padding inside, a padded group that does not add up) is
// left to GMime's decoder.
struct PlainBase64 {
  std::size_t end = 0;      // the characters before the padding and the last line end
  std::size_t padding = 0;  // '=' at the end: 0, 1 or 2
};

// Where the characters and padding of `text` end.
PlainBase64 PlainBase64Layout(std::string_view text) {
  PlainBase64 layout;
  layout.end = text.size();
  while (layout.end > 0 && (text[layout.end - 1] == '\r' || text[layout.end - 1] == '\n')) {
    --layout.end;
  }
  while (layout.end > 0 && text[layout.end - 1] == '=' && layout.padding < 2) {
    --layout.end;
    ++layout.padding;
  }
  return layout;
}

#ifdef WHARFLINE_BASE64_SIMD
// Sixteen characters at a time where the processor has byte shuffles and a population count
// (nearly all have): each character's two nibbles look up whether it is in the alphabet and
// what to add to it for its value. (The tables are Wojciech Muła's.)
bool HaveBase64Simd() {
  static const bool have = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt");
  return have;
}

struct Base64Lanes {
  __m128i values;   // each character's value, where it is one of the alphabet
  unsigned invalid;  // a bit for each character that is not
};

__attribute__((target("ssse3"))) inline Base64Lanes ClassifyBase64(__m128i in) {
  const __m128i lut_lo = _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                       0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m128i lut_hi = _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10,
                                       0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m128i lut_roll = _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i mask_2f = _mm_set1_epi8(0x2F);
  const __m128i hi_nibbles = _mm_and_si128(_mm_srli_epi32(in, 4), mask_2f);
  const __m128i lo_nibbles = _mm_and_si128(in, mask_2f);
  const __m128i lo = _mm_shuffle_epi8(lut_lo, lo_nibbles);
  const __m128i hi = _mm_shuffle_epi8(lut_hi, hi_nibbles);
  const __m128i slash = _mm_cmpeq_epi8(in, mask_2f);
  const __m128i roll = _mm_shuffle_epi8(lut_roll, _mm_add_epi8(slash, hi_nibbles));
  const __m128i bad = _mm_cmpgt_epi8(_mm_and_si128(lo, hi), _mm_setzero_si128());
  // (Bytes from 0x80 up have the class bit 0x10 in both tables.)
  const unsigned invalid = static_cast<unsigned>(_mm_movemask_epi8(bad));
  return {_mm_add_epi8(in, roll), invalid};
}

// Decodes whole groups of four from in[0, n) while they are all alphabet characters: the
// characters used (a multiple of four); the bytes go to *out, which moves past them.
__attribute__((target("ssse3"))) std::size_t DecodeBase64Blocks(const unsigned char* in,
                                                                std::size_t n,
                                                                std::uint8_t** out) {
  std::size_t i = 0;
  std::uint8_t* o = *out;
  const __m128i merge_ab = _mm_set1_epi32(0x01400140);
  const __m128i merge_abcd = _mm_set1_epi32(0x00011000);
  const __m128i pack = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  while (i + 16 <= n) {
    const Base64Lanes lanes =
        ClassifyBase64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
    const unsigned groups = lanes.invalid == 0 ? 4 : static_cast<unsigned>(__builtin_ctz(lanes.invalid)) / 4;
    if (groups == 0) break;
    __m128i bits = _mm_madd_epi16(_mm_maddubs_epi16(lanes.values, merge_ab), merge_abcd);
    alignas(16) std::uint8_t bytes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes), _mm_shuffle_epi8(bits, pack));
    std::memcpy(o, bytes, 12);
    o += groups * 3;
    i += groups * 4;
    if (groups < 4) break;
  }
  *out = o;
  return i;
}

// Counts the alphabet characters of in[0, n) in runs of sixteen, passing over CR and LF:
// the characters looked at (a multiple of sixteen), or nullopt at any other character.
__attribute__((target("ssse3,popcnt"))) std::optional<std::size_t> CountBase64Blocks(
    const unsigned char* in, std::size_t n, std::uint64_t& count) {
  std::size_t i = 0;
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const unsigned invalid = ClassifyBase64(v).invalid;
    const unsigned line_ends = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf))));
    if ((invalid & ~line_ends) != 0) return std::nullopt;
    count += 16 - static_cast<unsigned>(__builtin_popcount(invalid));
  }
  return i;
}
#endif

// A group of four base64 characters being read: the bits so far and how many characters.
struct Base64Group {
  std::uint32_t bits = 0;
  int count = 0;
};

// Decodes the characters in[0, n) into `out`, carrying a partial group across calls, and
// skips CR and LF. Returns the end of the output, or nullptr at any other character.
// `out` must have room for n / 4 * 3 + 3 bytes.
std::uint8_t* DecodeBase64Run(const unsigned char* in, std::size_t n, Base64Group& group,
                              std::uint8_t* out) {
  std::size_t i = 0;
  while (i < n) {
#ifdef WHARFLINE_BASE64_SIMD
    if (group.count == 0 && i + 16 <= n && HaveBase64Simd()) {
      const std::size_t used = DecodeBase64Blocks(in + i, n - i, &out);
      i += used;
      if (i == n) break;
    }
#endif
    if (group.count == 0 && i + 4 <= n) {
      int a = kBase64Values[in[i]];
      int b = kBase64Values[in[i + 1]];
      int c = kBase64Values[in[i + 2]];
      int d = kBase64Values[in[i + 3]];
      if ((a | b | c | d) >= 0) {
        std::uint32_t v = (static_cast<std::uint32_t>(a) << 18) |
                          (static_cast<std::uint32_t>(b) << 12) |
                          (static_cast<std::uint32_t>(c) << 6) | static_cast<std::uint32_t>(d);
        out[0] = static_cast<std::uint8_t>(v >> 16);
        out[1] = static_cast<std::uint8_t>(v >> 8);
        out[2] = static_cast<std::uint8_t>(v);
        out += 3;
        i += 4;
        continue;
      }
    }
    unsigned char ch = in[i++];
    int v = kBase64Values[ch];
    if (v < 0) {
      if (ch == '\r' || ch == '\n') continue;
      return nullptr;
    }
    group.bits = (group.bits << 6) | static_cast<std::uint32_t>(v);
    if (++group.count == 4) {
      out[0] = static_cast<std::uint8_t>(group.bits >> 16);
      out[1] = static_cast<std::uint8_t>(group.bits >> 8);
      out[2] = static_cast<std::uint8_t>(group.bits);
      out += 3;
      group = {};
    }
  }
  return out;
}

// The bytes of the last, partial group: "xx==" is one byte and "xxx=" two, and so they are
// without the padding (GMime drops those, AppendUnpaddedBase64Tail adds them back).
std::uint8_t* FinishBase64(Base64Group group, std::uint8_t* out) {
  if (group.count < 2) return out;
  group.bits <<= 6 * (4 - group.count);
  *out++ = static_cast<std::uint8_t>(group.bits >> 16);
  if (group.count == 3) *out++ = static_cast<std::uint8_t>(group.bits >> 8);
  return out;
}

// The decoded size of plain base64 text; nullopt when the text is not plain base64.
std::optional<std::uint64_t> PlainBase64Size(std::string_view text) {
  const PlainBase64 layout = PlainBase64Layout(text);
  std::uint64_t count = 0;
  std::size_t from = 0;
#ifdef WHARFLINE_BASE64_SIMD
  if (HaveBase64Simd()) {
    const std::optional<std::size_t> looked =
        CountBase64Blocks(reinterpret_cast<const unsigned char*>(text.data()), layout.end, count);
    if (!looked) return std::nullopt;
    from = *looked;
  }
#endif
  for (std::size_t i = from; i < layout.end; ++i) {
    const unsigned char ch = static_cast<unsigned char>(text[i]);
    if (kBase64Values[ch] >= 0) {
      ++count;
    } else if (ch != '\r' && ch != '\n') {
      return std::nullopt;
    }
  }
  const std::uint64_t partial = count % 4;
  if (layout.padding > 0 && partial + layout.padding != 4) return std::nullopt;
  return count / 4 * 3 + (partial >= 2 ? partial - 1 : 0);
}

// Decodes plain base64 text whole; false, leaving `out` unspecified, when it is not plain.
// Without padding, the bytes of a final partial group are left to AppendUnpaddedBase64Tail,
// as for GMime's reading.
bool DecodePlainBase64(std::string_view text, Bytes& out) {
  const PlainBase64 layout = PlainBase64Layout(text);
  out.resize(layout.end / 4 * 3 + 3);
  Base64Group group;
  std::uint8_t* o = DecodeBase64Run(reinterpret_cast<const unsigned char*>(text.data()), layout.end,
                                    group, out.data());
  if (o == nullptr) return false;
  if (layout.padding > 0) {
    if (group.count + static_cast<int>(layout.padding) != 4) return false;
    o = FinishBase64(group, o);
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return true;
}

// Base64 or quoted-printable content decoded by GMime's step codec in one pass into a buffer
// reserved once (decoding never makes content longer than its encoded form plus a few bytes).
Bytes DecodeWhole(std::string_view encoded, GMimeContentEncoding encoding) {
  GMimeEncoding state;
  g_mime_encoding_init_decode(&state, encoding);
  char piece[kPiece + 16];
  Bytes out;
  out.reserve(g_mime_encoding_outlen(&state, encoded.size()));
  auto append = [&out, &piece](std::size_t n) {
    out.insert(out.end(), reinterpret_cast<const std::uint8_t*>(piece),
               reinterpret_cast<const std::uint8_t*>(piece) + n);
  };
  for (std::size_t at = 0; at < encoded.size(); at += kPiece) {
    std::size_t len = std::min(kPiece, encoded.size() - at);
    append(g_mime_encoding_step(&state, encoded.data() + at, len, piece));
  }
  append(g_mime_encoding_flush(&state, "", 0, piece));
  return out;
}

// The one or two bytes carried by a final group of two or three base64 characters that the
// sender left unpadded, which GMime's reading (`decoded_size` bytes) drops; none otherwise.
Bytes UnpaddedBase64Tail(std::string_view text, std::uint64_t decoded_size) {
  // Padded (or padded in the middle): GMime's reading stands.
  if (decoded_size % 3 != 0 || text.find('=') != std::string_view::npos) return {};
  std::uint64_t count = 0;
  for (char c : text) count += kBase64Values[static_cast<unsigned char>(c)] >= 0 ? 1 : 0;
  std::uint64_t tail_size = count % 4;
  if ((tail_size != 2 && tail_size != 3) || decoded_size != count / 4 * 3) return {};
  unsigned int tail[3] = {0, 0, 0};
  std::size_t found = 0;
  for (std::size_t i = text.size(); i > 0 && found < tail_size; --i) {
    int v = kBase64Values[static_cast<unsigned char>(text[i - 1])];
    if (v >= 0) tail[tail_size - 1 - found++] = static_cast<unsigned int>(v);
  }
  unsigned int bits = (tail[0] << 18) | (tail[1] << 12) | (tail_size == 3 ? tail[2] << 6 : 0);
  Bytes bytes{static_cast<std::uint8_t>(bits >> 16)};
  if (tail_size == 3) bytes.push_back(static_cast<std::uint8_t>((bits >> 8) & 0xFF));
  return bytes;
}

// How content is made from its window.
enum class Method : std::uint8_t { kCopy, kPlainBase64, kStepCodec };

class WindowSource;

// Reads a WindowSource from the start: decodes a piece of the window at a time into a small
// buffer (or, for unencoded content, hands out the window itself) and copies from there.
class WindowReader final : public mail::ContentReader {
 public:
  explicit WindowReader(const WindowSource& source);
  bool Read(std::span<std::uint8_t> out) override;

 private:
  // Makes the next piece; false when the content has no more.
  bool Refill();

  const WindowSource& source_;
  std::size_t at_ = 0;  // next window byte to read
  Base64Group group_;
  GMimeEncoding state_;
  int stage_ = 0;  // 0: window, 1: the codec's last bytes, 2: the base64 tail, 3: done
  std::uint64_t made_ = 0;
  bool failed_ = false;
  const std::uint8_t* piece_ = nullptr;
  std::size_t piece_size_ = 0;
  std::size_t piece_at_ = 0;
  std::array<std::uint8_t, kPiece + 16> buffer_;
};

class WindowSource final : public mail::ContentSource {
 public:
  WindowSource(std::shared_ptr<const void> owner, std::string_view encoded,
               GMimeContentEncoding encoding)
      : owner_(std::move(owner)), encoded_(encoded), encoding_(encoding) {
    if (IsIdentity(encoding)) {
      method_ = Method::kCopy;
      encoded_ = encoded.substr(0, IdentitySize(encoded));
      size_ = encoded_.size();
      return;
    }
    if (encoding == GMIME_CONTENT_ENCODING_BASE64) {
      if (std::optional<std::uint64_t> size = PlainBase64Size(encoded)) {
        method_ = Method::kPlainBase64;
        plain_ = PlainBase64Layout(encoded);
        size_ = *size;
        return;
      }
    }
    // Content GMime's decoder reads its own way: count what it makes.
    method_ = Method::kStepCodec;
    GMimeEncoding state;
    g_mime_encoding_init_decode(&state, encoding);
    char piece[kPiece + 16];
    std::uint64_t size = 0;
    for (std::size_t at = 0; at < encoded.size(); at += kPiece) {
      std::size_t len = std::min(kPiece, encoded.size() - at);
      size += g_mime_encoding_step(&state, encoded.data() + at, len, piece);
    }
    size += g_mime_encoding_flush(&state, "", 0, piece);
    if (encoding == GMIME_CONTENT_ENCODING_BASE64) tail_ = UnpaddedBase64Tail(encoded, size);
    size_ = size + tail_.size();
  }

  std::uint64_t size() const override { return size_; }
  std::unique_ptr<mail::ContentReader> Open() const override {
    return std::make_unique<WindowReader>(*this);
  }

 private:
  friend class WindowReader;
  std::shared_ptr<const void> owner_;
  std::string_view encoded_;
  GMimeContentEncoding encoding_;
  Method method_ = Method::kCopy;
  PlainBase64 plain_;
  Bytes tail_;  // bytes after the codec's own (the unpadded base64 group)
  std::uint64_t size_ = 0;
};

WindowReader::WindowReader(const WindowSource& source) : source_(source) {
  if (source.method_ == Method::kStepCodec) g_mime_encoding_init_decode(&state_, source.encoding_);
}

bool WindowReader::Refill() {
  piece_at_ = 0;
  piece_size_ = 0;
  piece_ = buffer_.data();
  const std::string_view window = source_.encoded_;
  switch (source_.method_) {
    case Method::kCopy:
      if (at_ == window.size()) return false;
      piece_ = reinterpret_cast<const std::uint8_t*>(window.data()) + at_;
      piece_size_ = std::min(window.size() - at_, std::size_t{1} << 16);
      at_ += piece_size_;
      return true;
    case Method::kPlainBase64: {
      if (stage_ > 0) return false;
      const std::size_t end = source_.plain_.end;
      const std::size_t n = std::min(kPiece, end - at_);
      std::uint8_t* o = DecodeBase64Run(reinterpret_cast<const unsigned char*>(window.data()) + at_,
                                        n, group_, buffer_.data());
      if (o == nullptr) return false;
      at_ += n;
      if (at_ == end) {
        o = FinishBase64(group_, o);
        stage_ = 1;
      }
      piece_size_ = static_cast<std::size_t>(o - buffer_.data());
      return true;
    }
    case Method::kStepCodec: {
      char* out = reinterpret_cast<char*>(buffer_.data());
      if (stage_ == 0 && at_ < window.size()) {
        const std::size_t n = std::min(kPiece, window.size() - at_);
        piece_size_ = g_mime_encoding_step(&state_, window.data() + at_, n, out);
        at_ += n;
        return true;
      }
      if (stage_ == 0) {
        stage_ = 1;
        piece_size_ = g_mime_encoding_flush(&state_, "", 0, out);
        return true;
      }
      if (stage_ == 1) {
        stage_ = 2;
        piece_ = source_.tail_.data();
        piece_size_ = source_.tail_.size();
        return true;
      }
      return false;
    }
  }
  return false;
}

bool WindowReader::Read(std::span<std::uint8_t> out) {
  if (failed_) return false;
  if (out.size() > source_.size_ - made_) {
    failed_ = true;
    return false;
  }
  std::size_t done = 0;
  while (done < out.size()) {
    if (piece_at_ == piece_size_) {
      if (!Refill()) {
        failed_ = true;
        return false;
      }
      continue;
    }
    const std::size_t n = std::min(out.size() - done, piece_size_ - piece_at_);
    std::memcpy(out.data() + done, piece_ + piece_at_, n);
    piece_at_ += n;
    done += n;
  }
  made_ += out.size();
  if (made_ == source_.size_) {
    // The content must end where its size said: nothing may follow.
    while (piece_at_ == piece_size_) {
      if (!Refill()) return true;
    }
    failed_ = true;
    return false;
  }
  return true;
}

}  // namespace

bool IsWindowDecodable(GMimeContentEncoding encoding) {
  return IsIdentity(encoding) || encoding == GMIME_CONTENT_ENCODING_BASE64 ||
         encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
}

void AppendUnpaddedBase64Tail(std::string_view text, Bytes& bytes) {
  const Bytes tail = UnpaddedBase64Tail(text, bytes.size());
  bytes.insert(bytes.end(), tail.begin(), tail.end());
}

Bytes DecodeWindow(std::string_view encoded, GMimeContentEncoding encoding) {
  Bytes bytes;
  if (IsIdentity(encoding)) {
    bytes.assign(encoded.begin(),
                 encoded.begin() + static_cast<std::ptrdiff_t>(IdentitySize(encoded)));
    return bytes;
  }
  if (encoding != GMIME_CONTENT_ENCODING_BASE64 || !DecodePlainBase64(encoded, bytes)) {
    bytes = DecodeWhole(encoded, encoding);
  }
  if (encoding == GMIME_CONTENT_ENCODING_BASE64) AppendUnpaddedBase64Tail(encoded, bytes);
  return bytes;
}

std::shared_ptr<const mail::ContentSource> MakeWindowSource(std::shared_ptr<const void> owner,
                                                           std::string_view encoded,
                                                           GMimeContentEncoding encoding) {
  return std::make_shared<WindowSource>(std::move(owner), encoded, encoding);
}

}  // namespace mime
