#include "mime/html_text.h"

#include <string>

#include "base/text.h"

namespace mime {
namespace {

std::string Lower(std::string_view s) { return mail::ToLowerAscii(s); }

std::size_t FindCaseless(std::string_view hay, std::string_view needle, std::size_t from) {
  if (needle.empty() || hay.size() < needle.size()) return std::string_view::npos;
  for (std::size_t i = from; i + needle.size() <= hay.size(); ++i) {
    bool match = true;
    for (std::size_t j = 0; j < needle.size() && match; ++j) {
      char a = hay[i + j];
      if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
      match = a == needle[j];
    }
    if (match) return i;
  }
  return std::string_view::npos;
}

void AppendCodePoint(std::string& out, unsigned long cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  std::u16string wide;
  if (cp >= 0x10000) {
    wide += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
    wide += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
  } else {
    wide += static_cast<char16_t>(cp);
  }
  out += mail::Utf16ToUtf8(wide);
}

// Decodes the entity starting at html[pos] == '&'; returns the bytes consumed (0: not one).
std::size_t DecodeEntity(std::string_view html, std::size_t pos, std::string& out) {
  std::size_t semi = html.find(';', pos);
  if (semi == std::string_view::npos || semi - pos > 10) return 0;
  std::string_view name = html.substr(pos + 1, semi - pos - 1);
  if (name.starts_with("#")) {
    unsigned long cp = 0;
    bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
    std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty()) return 0;
    for (char c : digits) {
      int v = (c >= '0' && c <= '9')          ? c - '0'
              : hex && (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : hex && (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                              : -1;
      if (v < 0) return 0;
      cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(v);
      if (cp > 0x10FFFF) cp = 0xFFFD;
    }
    AppendCodePoint(out, cp);
    return semi - pos + 1;
  }
  static const std::pair<std::string_view, unsigned long> kNamed[] = {
      {"amp", '&'},      {"lt", '<'},        {"gt", '>'},       {"quot", '"'},    {"apos", '\''},
      {"nbsp", 0xA0},    {"copy", 0xA9},     {"reg", 0xAE},     {"euro", 0x20AC}, {"mdash", 0x2014},
      {"ndash", 0x2013}, {"hellip", 0x2026}, {"laquo", 0xAB},   {"raquo", 0xBB},  {"rsquo", 0x2019},
      {"lsquo", 0x2018}, {"rdquo", 0x201D},  {"ldquo", 0x201C}, {"bull", 0x2022}, {"middot", 0xB7},
  };
  for (const auto& [n, cp] : kNamed) {
    if (name == n) {
      AppendCodePoint(out, cp);
      return semi - pos + 1;
    }
  }
  return 0;
}

}  // namespace

std::string FindHtmlMetaCharset(std::string_view html) {
  std::string_view head = html.substr(0, 8192);
  std::size_t pos = 0;
  while ((pos = FindCaseless(head, "<meta", pos)) != std::string_view::npos) {
    std::size_t end = head.find('>', pos);
    if (end == std::string_view::npos) break;
    std::string_view tag = head.substr(pos, end - pos);
    std::size_t cs = FindCaseless(tag, "charset=", 0);
    if (cs != std::string_view::npos) {
      std::string_view value = tag.substr(cs + 8);
      while (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
        value.remove_prefix(1);
      }
      std::size_t stop = value.find_first_of("\"'; />\t\r\n");
      return Lower(value.substr(0, stop));
    }
    pos = end;
  }
  return "";
}

std::string DeclareHtmlUtf8(std::string_view html) {
  static constexpr std::string_view kMeta =
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">";
  std::string out;
  std::size_t limit = std::min<std::size_t>(html.size(), 8192);
  std::size_t pos = 0;
  std::size_t copied = 0;
  while ((pos = FindCaseless(html.substr(0, limit), "<meta", pos)) != std::string_view::npos) {
    std::size_t end = html.find('>', pos);
    if (end == std::string_view::npos) break;
    std::string_view tag = html.substr(pos, end - pos);
    if (FindCaseless(tag, "charset", 0) != std::string_view::npos ||
        FindCaseless(tag, "content-type", 0) != std::string_view::npos) {
      out.append(html.substr(copied, pos - copied));
      copied = end + 1;
    }
    pos = end;
  }
  out.append(html.substr(copied));
  std::size_t head = FindCaseless(std::string_view(out).substr(0, 8192), "<head", 0);
  if (head != std::string::npos) {
    char after = head + 5 < out.size() ? out[head + 5] : '>';
    std::size_t close = out.find('>', head);
    if ((after == '>' || after == ' ' || after == '\t' || after == '\r' || after == '\n') &&
        close != std::string::npos) {
      out.insert(close + 1, kMeta);
      return out;
    }
  }
  out.insert(0, kMeta);
  return out;
}

std::string HtmlToText(std::string_view html) {
  std::string out;
  out.reserve(html.size() / 2);
  bool pending_space = false;
  auto newline = [&] {
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
    pending_space = false;
  };
  std::size_t i = 0;
  while (i < html.size()) {
    char c = html[i];
    if (c == '<') {
      if (html.substr(i).starts_with("<!--")) {
        std::size_t end = html.find("-->", i + 4);
        i = end == std::string_view::npos ? html.size() : end + 3;
        continue;
      }
      std::size_t end = html.find('>', i);
      if (end == std::string_view::npos) break;
      std::string_view tag = html.substr(i + 1, end - i - 1);
      bool closing = !tag.empty() && tag[0] == '/';
      std::string_view raw_name = tag.substr(closing ? 1 : 0);
      std::string name = Lower(raw_name.substr(0, raw_name.find_first_of(" \t\r\n/")));
      i = end + 1;
      if (!closing && (name == "script" || name == "style" || name == "head" || name == "title")) {
        std::size_t close = FindCaseless(html, "</" + name, i);
        if (close == std::string_view::npos) {
          i = html.size();
        } else {
          std::size_t gt = html.find('>', close);
          i = gt == std::string_view::npos ? html.size() : gt + 1;
        }
        continue;
      }
      if (name == "br" || (closing && (name == "p" || name == "div" || name == "li" ||
                                       name == "tr" || name == "h1" || name == "h2" ||
                                       name == "h3" || name == "table" || name == "blockquote"))) {
        newline();
      } else if (name == "td" || name == "th") {
        pending_space = true;
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      pending_space = true;
      ++i;
      continue;
    }
    if (pending_space && !out.empty() && out.back() != '\n') out += ' ';
    pending_space = false;
    if (c == '&') {
      std::size_t used = DecodeEntity(html, i, out);
      if (used > 0) {
        i += used;
        continue;
      }
      out += c;
      ++i;
      continue;
    }
    // A run of ordinary text is copied whole.
    std::size_t run_end = i + 1;
    while (run_end < html.size()) {
      char d = html[run_end];
      if (d == '<' || d == '&' || d == ' ' || d == '\t' || d == '\r' || d == '\n') break;
      ++run_end;
    }
    out.append(html.substr(i, run_end - i));
    i = run_end;
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == '\n')) out.pop_back();
  return out;
}

}  // namespace mime
