#include "mime/text_codec.h"

#include <gmime/gmime.h>
#include <uchardet.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <utility>

#include "base/text.h"
#include "mime/mapi_codec.h"

namespace mime {
namespace {

std::string Lower(std::string_view s) { return mail::ToLowerAscii(s); }

std::string Trimmed(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '"' || s.front() == '\'')) {
    s.remove_prefix(1);
  }
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '"' || s.back() == '\'')) {
    s.remove_suffix(1);
  }
  return std::string(s);
}

// The iconv name to convert a declared charset with; "" when the name carries no information.
std::string IconvNameFor(std::string_view declared) {
  std::string name = Lower(Trimmed(declared));
  static const std::pair<std::string_view, std::string_view> kAliases[] = {
      {"x-mac-roman", "MACINTOSH"},
      {"macintosh", "MACINTOSH"},
      {"x-sjis", "CP932"},
      {"shift_jis", "CP932"},
      {"shift-jis", "CP932"},
      {"sjis", "CP932"},
      {"unicode-1-1-utf-7", "UTF-7"},
      {"ks_c_5601-1987", "CP949"},
      {"euc-kr", "CP949"},
      {"gb2312", "GB18030"},
      {"gbk", "GB18030"},
      {"x-gbk", "GB18030"},
      {"big5", "CP950"},
      {"iso-8859-1", "CP1252"},
      {"iso_8859-1", "CP1252"},
      {"latin1", "CP1252"},
      {"us-ascii", "CP1252"},
      {"ascii", "CP1252"},
      {"iso-8859-8-i", "ISO-8859-8"},
      {"x-user-defined", ""},
      {"unknown-8bit", ""},
      {"x-unknown", ""},
      {"unknown", ""},
      {"default", ""},
  };
  for (const auto& [from, to] : kAliases)
    if (name == from) return std::string(to);
  return name;
}

// Converters to UTF-8 by charset name, kept per thread: opening one loads a conversion module,
// which costs more than converting a typical message.
class ConverterCache {
 public:
  ConverterCache() = default;
  ConverterCache(const ConverterCache&) = delete;
  ConverterCache& operator=(const ConverterCache&) = delete;
  ~ConverterCache() {
    for (auto& [name, cd] : converters_)
      if (cd != kInvalid) g_mime_iconv_close(cd);
  }

  // A converter in its initial state, or kInvalid. Owned by the cache.
  iconv_t Get(const std::string& charset) {
    iconv_t cd = Open(charset);
    if (cd != kInvalid) iconv(cd, nullptr, nullptr, nullptr, nullptr);
    return cd;
  }

  // Makes sure a converter for the charset is open (kept for the thread's life, like all).
  void Hold(const std::string& charset) { Open(charset); }

  static inline const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);

 private:
  iconv_t Open(const std::string& charset) {
    auto it = converters_.find(charset);
    if (it == converters_.end()) {
      if (converters_.size() >= 64) Clear();
      it = converters_.emplace(charset, g_mime_iconv_open("UTF-8", charset.c_str())).first;
    }
    return it->second;
  }

  void Clear() {
    for (auto& [name, cd] : converters_)
      if (cd != kInvalid) g_mime_iconv_close(cd);
    converters_.clear();
  }

  std::unordered_map<std::string, iconv_t> converters_;
};

ConverterCache& ThreadConverters() {
  thread_local ConverterCache cache;
  return cache;
}

std::optional<std::string> ConvertStrict(std::string_view bytes, const std::string& charset) {
  iconv_t cd = ThreadConverters().Get(charset);
  if (cd == ConverterCache::kInvalid) return std::nullopt;
  std::string out;
  out.resize(bytes.size() * 2 + 16);
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  std::size_t written = 0;
  bool ok = true;
  for (;;) {
    char* out_ptr = out.data() + written;
    std::size_t out_left = out.size() - written;
    std::size_t r = in_left > 0 ? iconv(cd, &in, &in_left, &out_ptr, &out_left)
                                : iconv(cd, nullptr, nullptr, &out_ptr, &out_left);
    written = out.size() - out_left;
    if (r == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      ok = false;
      break;
    }
    if (in_left == 0) {
      // One more call with no input flushes any shift state (iso-2022-jp).
      char* flush_ptr = out.data() + written;
      std::size_t flush_left = out.size() - written;
      if (iconv(cd, nullptr, nullptr, &flush_ptr, &flush_left) == static_cast<std::size_t>(-1)) {
        ok = false;
      }
      written = out.size() - flush_left;
      break;
    }
  }
  if (!ok) return std::nullopt;
  out.resize(written);
  if (!IsValidUtf8(out)) return std::nullopt;
  return out;
}

bool HasEightBit(std::string_view bytes) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::size_t pos = 0;
  for (; pos + 8 <= bytes.size(); pos += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + pos, sizeof word);
    if ((word & kHighBits) != 0) return true;
  }
  for (; pos < bytes.size(); ++pos)
    if (static_cast<unsigned char>(bytes[pos]) >= 0x80) return true;
  return false;
}

// UTF-8 with a few stray bytes (a character cut by a careless edit, one byte of another
// charset pasted in): read as UTF-8 with U+FFFD for each stray byte, rather than every
// character of the text misread in a single-byte charset. Text in another charset seldom
// holds even one valid UTF-8 sequence, and never many more of them than stray bytes.
std::optional<DecodedText> MostlyUtf8(std::string_view bytes) {
  constexpr std::size_t kMinimumCharacters = 3;  // multi-byte characters
  constexpr std::size_t kStrayShare = 4;         // at most one stray byte per this many
  std::size_t characters = 0;
  std::size_t stray = 0;
  for (std::size_t pos = 0; pos < bytes.size();) {
    if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
      ++pos;
      continue;
    }
    std::size_t before = pos;
    char32_t cp = mail::NextCodePoint(bytes, &pos);
    (cp == 0xFFFD && pos - before == 1) ? ++stray : ++characters;
  }
  if (characters < kMinimumCharacters || stray * kStrayShare > characters) return std::nullopt;
  std::string out;
  out.reserve(bytes.size() + 2 * stray);
  for (std::size_t pos = 0; pos < bytes.size();) mail::AppendUtf8(out, mail::NextCodePoint(bytes, &pos));
  return DecodedText{std::move(out), "utf-8", true};
}

// The charset uchardet finds for 8-bit text that is not UTF-8, when its reading converts
// without error. Single-byte charsets are told apart by letter statistics, which a few
// characters do not give: short text of that kind is left to the Western fallback.
std::optional<DecodedText> GuessCharset(std::string_view bytes) {
  constexpr std::size_t kSingleByteMinimum = 16;  // 8-bit bytes
  // A detector sets up all its probers when made, which costs more than reading a short
  // text: each thread keeps one and resets it.
  struct Detector {
    uchardet_t handle = uchardet_new();
    ~Detector() {
      if (handle != nullptr) uchardet_delete(handle);
    }
  };
  thread_local Detector kept;
  uchardet_t detector = kept.handle;
  if (detector == nullptr) return std::nullopt;
  uchardet_reset(detector);
  std::string found;
  // The statistics are about 8-bit bytes and the letters beside them, and they settle within
  // a kilobyte or two: the detector reads only the words that hold an 8-bit byte, up to 2 KiB
  // of them. Mail is mostly ASCII; reading all of it made detection a tenth of an import.
  constexpr std::size_t kSample = 2 * 1024;
  std::string sample;
  for (std::size_t pos = 0; pos < bytes.size() && sample.size() < kSample;) {
    std::size_t end = pos;
    bool eight_bit = false;
    while (end < bytes.size() && bytes[end] != ' ' && bytes[end] != '\n' && bytes[end] != '\t') {
      eight_bit = eight_bit || static_cast<unsigned char>(bytes[end]) >= 0x80;
      ++end;
    }
    if (eight_bit) sample.append(bytes.data() + pos, end - pos).push_back(' ');
    pos = end + 1;
  }
  if (uchardet_handle_data(detector, sample.data(), sample.size()) == 0) {
    uchardet_data_end(detector);
    const char* name = uchardet_get_charset(detector);
    if (name != nullptr) found = Lower(name);
  }
  if (found.empty() || found == "ascii" || found == "utf-8") return std::nullopt;
  const bool multi_byte = found.starts_with("big5") || found.starts_with("gb") ||
                          found.starts_with("euc-") || found.starts_with("shift_jis") ||
                          found.starts_with("iso-2022") || found.starts_with("utf-") ||
                          found == "hz-gb-2312";
  if (!multi_byte) {
    auto high = std::count_if(bytes.begin(), bytes.end(),
                              [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    if (static_cast<std::size_t>(high) < kSingleByteMinimum) return std::nullopt;
  }
  std::string iconv_name = IconvNameFor(found);
  if (iconv_name.empty()) return std::nullopt;
  auto text = ConvertStrict(bytes, iconv_name);
  if (!text) return std::nullopt;
  return DecodedText{std::move(*text), found, true};
}

}  // namespace

DecodedText DecodeToUtf8(std::string_view bytes, std::string_view declared_charset) {
  std::string declared = Lower(Trimmed(declared_charset));
  std::string iconv_name = IconvNameFor(declared);
  bool ascii_label = declared.empty() || declared == "us-ascii" || declared == "ascii";
  if (!HasEightBit(bytes) && !declared.starts_with("utf-16") && !declared.starts_with("utf-32") &&
      declared != "utf-7" && declared != "unicode-1-1-utf-7" && !declared.starts_with("iso-2022") &&
      !declared.starts_with("hz")) {
    return {std::string(bytes), declared.empty() ? "us-ascii" : declared};
  }
  // Text labelled ASCII (or not labelled) with 8-bit bytes is most often UTF-8.
  if (ascii_label && IsValidUtf8(bytes)) return {std::string(bytes), "utf-8"};
  // Converting valid UTF-8 from UTF-8 gives the same bytes back: skip the converter.
  if ((iconv_name == "utf-8" || iconv_name == "utf8") && IsValidUtf8(bytes)) {
    return {std::string(bytes), declared};
  }
  // An ASCII label says nothing of 8-bit bytes (the label's Western superset would read any).
  if (!iconv_name.empty() && !ascii_label) {
    if (auto text = ConvertStrict(bytes, iconv_name)) return {std::move(*text), declared};
  }
  if (IsValidUtf8(bytes)) return {std::string(bytes), "utf-8"};
  // UTF-8 cut inside its last character (a length limit in the sending program).
  for (std::size_t cut = 1; cut <= 3 && cut < bytes.size(); ++cut) {
    auto lead = static_cast<unsigned char>(bytes[bytes.size() - cut]);
    if ((lead & 0xC0) == 0xC0) {
      std::string_view head = bytes.substr(0, bytes.size() - cut);
      if (HasEightBit(head) && IsValidUtf8(head)) return {std::string(head), "utf-8"};
      break;
    }
    if ((lead & 0xC0) != 0x80) break;
  }
  if (auto mostly = MostlyUtf8(bytes)) return std::move(*mostly);
  if (auto guessed = GuessCharset(bytes)) return std::move(*guessed);
  if (auto text = ConvertStrict(bytes, "CP1252")) return {std::move(*text), "windows-1252", true};
  std::string latin1;
  for (char c : bytes) mail::AppendUtf8(latin1, static_cast<unsigned char>(c));
  return {std::move(latin1), "iso-8859-1", true};
}

namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string DecodeBase64Word(std::string_view text) {
  std::string out;
  unsigned int acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    int v = Base64Value(c);
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<unsigned int>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string DecodeQWord(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '_') {
      out += ' ';
    } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

struct EncodedWord {
  std::size_t end = 0;  // just past "?="
  std::string charset;
  std::string bytes;
};

std::optional<EncodedWord> ParseEncodedWord(std::string_view raw, std::size_t at) {
  if (!raw.substr(at).starts_with("=?")) return std::nullopt;
  std::size_t q1 = raw.find('?', at + 2);
  if (q1 == std::string_view::npos || q1 + 2 >= raw.size() || raw[q1 + 2] != '?') {
    return std::nullopt;
  }
  char enc = raw[q1 + 1];
  std::size_t end = raw.find("?=", q1 + 3);
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view payload = raw.substr(q1 + 3, end - q1 - 3);
  if (payload.find_first_of(" \t") != std::string_view::npos) return std::nullopt;
  EncodedWord word;
  word.charset = Lower(raw.substr(at + 2, q1 - at - 2));
  if (std::size_t star = word.charset.find('*'); star != std::string::npos) {
    word.charset.resize(star);  // RFC 2231 language suffix
  }
  if (enc == 'B' || enc == 'b') {
    // One character left over after whole groups of four carries no byte: the word is not
    // base64 at all and is shown as written (RFC 2047 6.3).
    std::size_t digits = 0;
    for (char c : payload.substr(0, payload.find('='))) digits += Base64Value(c) >= 0 ? 1 : 0;
    if (digits % 4 == 1) return std::nullopt;
    word.bytes = DecodeBase64Word(payload);
  } else if (enc == 'Q' || enc == 'q') {
    word.bytes = DecodeQWord(payload);
  } else {
    return std::nullopt;
  }
  word.end = end + 2;
  return word;
}

}  // namespace

std::string DecodeHeaderText(std::string_view raw, std::string_view hint_charset) {
  std::string out;
  std::string plain;        // undecoded text waiting to be converted
  std::string run_charset;  // charset of the encoded-word bytes waiting in run
  std::string run;
  auto flush_plain = [&] {
    if (!plain.empty()) {
      out += IsValidUtf8(plain) || hint_charset.empty() ? EnsureUtf8(plain)
                                                        : DecodeToUtf8(plain, hint_charset).utf8;
    }
    plain.clear();
  };
  auto flush_run = [&] {
    if (!run.empty()) out += DecodeToUtf8(run, run_charset).utf8;
    run.clear();
  };
  std::size_t i = 0;
  while (i < raw.size()) {
    if (raw[i] == '=' && i + 1 < raw.size() && raw[i + 1] == '?') {
      if (auto word = ParseEncodedWord(raw, i)) {
        // Blanks between two encoded words are not part of the text.
        bool only_blanks =
            std::all_of(plain.begin(), plain.end(), [](char c) { return c == ' ' || c == '\t'; });
        if (!run.empty() && only_blanks) plain.clear();
        if (!plain.empty()) {
          flush_run();
          flush_plain();
        }
        if (word->charset != run_charset) flush_run();
        run_charset = word->charset;
        run += word->bytes;
        i = word->end;
        continue;
      }
    }
    if (!run.empty() && raw[i] != ' ' && raw[i] != '\t') {
      flush_run();
      flush_plain();
    }
    plain += raw[i] == '\r' || raw[i] == '\n' ? ' ' : raw[i];
    ++i;
  }
  flush_run();
  flush_plain();
  return out;
}

std::string NormalizeEncodedWords(std::string_view raw) {
  if (raw.find("=?") == std::string_view::npos) return std::string(raw);
  std::string out;
  std::size_t i = 0;
  while (i < raw.size()) {
    std::optional<EncodedWord> word;
    if (raw[i] == '=' && i + 1 < raw.size() && raw[i + 1] == '?') word = ParseEncodedWord(raw, i);
    if (!word) {
      out += raw[i++];
      continue;
    }
    // Collect the run: words separated by blanks only.
    std::size_t run_end = i;
    std::string text;
    std::string charset;
    std::string bytes;
    while (word) {
      if (word->charset != charset && !bytes.empty()) {
        text += DecodeToUtf8(bytes, charset).utf8;
        bytes.clear();
      }
      charset = word->charset;
      bytes += word->bytes;
      run_end = word->end;
      std::size_t next = run_end;
      while (next < raw.size() && (raw[next] == ' ' || raw[next] == '\t')) ++next;
      word = next < raw.size() ? ParseEncodedWord(raw, next) : std::nullopt;
    }
    text += DecodeToUtf8(bytes, charset).utf8;
    gchar* b64 = g_base64_encode(reinterpret_cast<const guchar*>(text.data()), text.size());
    out += "=?UTF-8?B?";
    out += b64;
    out += "?=";
    g_free(b64);
    i = run_end;
  }
  return out;
}

void KeepCommonConvertersLoaded() {
  static const std::string kCommon[] = {"CP1252", "ISO-8859-1"};
  ConverterCache& cache = ThreadConverters();
  for (const std::string& charset : kCommon) cache.Hold(charset);
}

std::string EnsureUtf8(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return DecodeToUtf8(bytes, "").utf8;
}

std::string RepairMostlyUtf8(std::string bytes) {
  if (IsValidUtf8(bytes)) return bytes;
  if (auto mostly = MostlyUtf8(bytes)) return std::move(mostly->utf8);
  return bytes;
}

std::string ToCrlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) +
              1);
  const char* p = text.data();
  const char* end = p + text.size();
  const char* run = p;  // start of the bytes not copied yet
  while (p < end) {
    char c = *p;
    if (c != '\r' && c != '\n') {
      ++p;
      continue;
    }
    out.append(run, static_cast<std::size_t>(p - run));
    out += "\r\n";
    if (c == '\r' && p + 1 < end && p[1] == '\n') ++p;
    run = ++p;
  }
  out.append(run, static_cast<std::size_t>(end - run));
  return out;
}

}  // namespace mime
