#include "mime/mapi_codec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace mime {

using mail::NextCodePoint;
using mail::ToLowerAscii;
using mail::ToUpperAscii;

mail::FileTime UnixToFileTime(std::int64_t unix_seconds) {
  return mail::FileTime{(unix_seconds + 11644473600LL) * 10000000LL};
}

std::int64_t FileTimeToUnix(mail::FileTime time) { return time.ticks / 10000000LL - 11644473600LL; }

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
