#include "mime/mapi_codec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace mime {
namespace {

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

void AppendUtf16Le(mail::Bytes& out, std::string_view utf8) {
  for (char16_t unit : Utf8ToUtf16(utf8)) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

void AppendLe32(mail::Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
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

}  // namespace

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

mail::FileTime UnixToFileTime(std::int64_t unix_seconds) {
  return mail::FileTime{(unix_seconds + 11644473600LL) * 10000000LL};
}

std::int64_t FileTimeToUnix(mail::FileTime time) { return time.ticks / 10000000LL - 11644473600LL; }

mail::Bytes OneOffEntryId(std::string_view display_name, std::string_view address_type,
                         std::string_view address) {
  static constexpr std::array<std::uint8_t, 16> kOneOffProvider = {
      0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
      0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
  mail::Bytes out;
  out.reserve(24 + 2 * (display_name.size() + address_type.size() + address.size() + 3));
  for (int i = 0; i < 4; ++i) out.push_back(0);  // flags
  for (std::uint8_t b : kOneOffProvider) out.push_back(b);
  out.push_back(0);  // version
  out.push_back(0);
  out.push_back(0x01);  // flags word 0x9001, little-endian
  out.push_back(0x90);
  AppendUtf16Le(out, display_name);
  AppendUtf16Le(out, address_type);
  AppendUtf16Le(out, address);
  return out;
}

mail::Bytes SearchKey(std::string_view address_type, std::string_view address) {
  std::string key = ToUpperAscii(address_type) + ":" + ToUpperAscii(address);
  mail::Bytes out(key.begin(), key.end());
  out.push_back(0);
  return out;
}

mail::Bytes FlatEntryList(const std::vector<mail::Bytes>& entries) {
  mail::Bytes body;
  for (const mail::Bytes& entry : entries) {
    AppendLe32(body, static_cast<std::uint32_t>(entry.size()));
    body.insert(body.end(), entry.begin(), entry.end());
    while (body.size() % 4 != 0) body.push_back(0);
  }
  mail::Bytes out;
  AppendLe32(out, static_cast<std::uint32_t>(entries.size()));
  AppendLe32(out, static_cast<std::uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

SubjectParts SplitSubject(std::string_view subject) {
  std::size_t pos = 0;
  for (int chars = 0; chars < 4 && pos < subject.size(); ++chars) {
    char32_t cp = NextCodePoint(subject, &pos);
    if (cp == ':') {
      if (chars == 0) break;
      while (pos < subject.size() && (subject[pos] == ' ' || subject[pos] == '\t')) ++pos;
      return {std::string(subject.substr(0, pos)), std::string(subject.substr(pos))};
    }
    if (cp == ' ' || (cp >= '0' && cp <= '9')) break;
  }
  return {"", std::string(subject)};
}

std::string SanitizeFileName(std::string_view name) {
  std::size_t cut = name.find_last_of("/\\");
  if (cut != std::string_view::npos) name.remove_prefix(cut + 1);
  std::string out;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) continue;
    if (std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) {
      out += '_';
    } else {
      out += c;
    }
  }
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
  std::size_t start = out.find_first_not_of(' ');
  out.erase(0, start == std::string::npos ? out.size() : start);
  if (out.empty()) return out;

  std::string stem = ToUpperAscii(out.substr(0, out.find('.')));
  static constexpr std::array<std::string_view, 4> kDevices = {"CON", "PRN", "AUX", "NUL"};
  bool device = std::find(kDevices.begin(), kDevices.end(), stem) != kDevices.end() ||
                (stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
                 stem[3] >= '1' && stem[3] <= '9');
  if (device) out.insert(out.begin(), '_');

  std::u16string wide = Utf8ToUtf16(out);
  if (wide.size() > 255) {
    std::u16string ext = Utf8ToUtf16(FileExtension(out));
    if (ext.size() > 32) ext.clear();
    std::u16string stem16 = wide.substr(0, wide.size() - ext.size());
    stem16.resize(255 - ext.size());
    if (!stem16.empty() && stem16.back() >= 0xD800 && stem16.back() <= 0xDBFF) stem16.pop_back();
    out = Utf16ToUtf8(stem16 + ext);
  }
  return out;
}

std::string FileExtension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return "";
  return std::string(name.substr(dot));
}

std::string ShortFileName(std::string_view long_name) {
  std::string ext = FileExtension(long_name);
  std::string_view stem_view = long_name.substr(0, long_name.size() - ext.size());
  auto keep = [](std::string_view in) {
    std::string out;
    for (char c : in) {
      if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
          c == '-' || c == '~') {
        out += c;
      }
    }
    return ToUpperAscii(out);
  };
  std::string stem = keep(stem_view);
  if (stem.size() > 8) stem = stem.substr(0, 6) + "~1";
  if (stem.empty()) stem = "ATTACH";
  std::string e = ext.empty() ? "" : keep(std::string_view(ext).substr(1)).substr(0, 3);
  return e.empty() ? stem : stem + "." + e;
}

std::int32_t CodePageForCharset(std::string_view charset) {
  static const std::pair<std::string_view, std::int32_t> kTable[] = {
      {"utf-8", 65001},      {"us-ascii", 20127},    {"ascii", 20127},
      {"iso-8859-1", 28591}, {"iso-8859-2", 28592},  {"iso-8859-5", 28595},
      {"iso-8859-7", 28597}, {"iso-8859-8", 28598},  {"iso-8859-8-i", 38598},
      {"iso-8859-9", 28599}, {"iso-8859-13", 28603}, {"iso-8859-15", 28605},
      {"koi8-r", 20866},     {"koi8-u", 21866},      {"shift_jis", 932},
      {"cp932", 932},        {"iso-2022-jp", 50220}, {"euc-jp", 51932},
      {"gb2312", 936},       {"gbk", 936},           {"gb18030", 54936},
      {"big5", 950},         {"cp950", 950},         {"ks_c_5601-1987", 949},
      {"cp949", 949},        {"euc-kr", 51949},      {"iso-2022-kr", 50225},
      {"windows-874", 874},  {"tis-620", 874},       {"utf-7", 65000},
      {"utf-16", 1200},      {"utf-16le", 1200},     {"utf-16be", 1201},
  };
  std::string lower = ToLowerAscii(charset);
  for (const auto& [name, cp] : kTable)
    if (lower == name) return cp;
  if (lower.starts_with("windows-125") && lower.size() == 12) {
    return 1250 + (lower[11] - '0');
  }
  if (lower.starts_with("cp125") && lower.size() == 6) return 1250 + (lower[5] - '0');
  return 65001;
}

}  // namespace mime
