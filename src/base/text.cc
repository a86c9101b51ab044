#include "base/text.h"

#include <algorithm>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace mail {

// Decodes one code point at text[*pos]; advances *pos. Returns U+FFFD for a bad sequence.
char32_t NextCodePoint(std::string_view text, std::size_t* pos) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char b0 = byte(*pos);
  if (b0 < 0x80) {
    ++*pos;
    return b0;
  }
  int extra = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++*pos;
    return 0xFFFD;
  }
  for (int i = 1; i <= extra; ++i) {
    if (*pos + i >= text.size() || (byte(*pos + i) & 0xC0) != 0x80) {
      ++*pos;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(*pos + i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++*pos;
    return 0xFFFD;
  }
  *pos += extra + 1;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

namespace {

// UTF-8 to UTF-16 in one pass into a buffer sized once; with kCrlf every line end (CR, LF or
// CR LF) becomes CR LF.
template <bool kCrlf>
std::u16string ConvertUtf8(std::string_view utf8) {
  // Every byte gives at most one unit, and with kCrlf a line end at most one more.
  std::size_t line_ends = 0;
  if constexpr (kCrlf) {
    line_ends = static_cast<std::size_t>(std::count(utf8.begin(), utf8.end(), '\n') +
                                         std::count(utf8.begin(), utf8.end(), '\r'));
  }
  std::u16string out(utf8.size() + line_ends, u'\0');
  char16_t* dst = out.data();
  const auto* src = reinterpret_cast<const unsigned char*>(utf8.data());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
#ifdef __SSE2__
    // ASCII other than line ends, sixteen bytes at a time: each widened to a unit. The
    // units past the first byte that is not are written too and overwritten after; there is
    // room, as the input left has at least as many bytes.
    while (pos + 16 <= utf8.size()) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + pos));
      unsigned stop = static_cast<unsigned>(_mm_movemask_epi8(v));
      if constexpr (kCrlf) {
        const __m128i ends =
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
        stop |= static_cast<unsigned>(_mm_movemask_epi8(ends));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi8(v, _mm_setzero_si128()));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8), _mm_unpackhi_epi8(v, _mm_setzero_si128()));
      const unsigned plain = stop == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(stop));
      pos += plain;
      dst += plain;
      if (plain < 16) break;
    }
    if (pos == utf8.size()) break;
#endif
    unsigned char b = src[pos];
    if (b < 0x80) {
      ++pos;
      if (kCrlf && (b == '\r' || b == '\n')) {
        *dst++ = u'\r';
        *dst++ = u'\n';
        if (b == '\r' && pos < utf8.size() && src[pos] == '\n') ++pos;
      } else {
        *dst++ = b;
      }
      continue;
    }
    char32_t cp = NextCodePoint(utf8, &pos);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      *dst++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *dst++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      *dst++ = static_cast<char16_t>(cp);
    }
  }
  out.resize(static_cast<std::size_t>(dst - out.data()));
  return out;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) { return ConvertUtf8<false>(utf8); }

std::u16string Utf8ToUtf16Crlf(std::string_view utf8) { return ConvertUtf8<true>(utf8); }

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    // ASCII, the bulk of most text, eight bytes at a time.
    while (pos + 8 <= bytes.size()) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + pos, sizeof word);
      if ((word & kHighBits) != 0) break;
      pos += 8;
    }
    if (pos == bytes.size()) break;
    if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
      ++pos;
      continue;
    }
    std::size_t before = pos;
    char32_t cp = NextCodePoint(bytes, &pos);
    // A genuine U+FFFD is three bytes; a replacement for a bad sequence consumed one.
    if (cp == 0xFFFD && pos - before == 1) return false;
  }
  return true;
}

std::string ToUpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string ToLowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace mail
