#include "mime/emlx.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <string_view>

namespace mime {
namespace {

std::string_view AsView(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The first line as an emlx count: optional blanks, digits, optional blanks (and a CR), LF,
// all within the first 32 bytes. Returns the count and the offset just past the LF.
std::optional<std::pair<std::uint64_t, std::size_t>> ReadCountLine(std::string_view file) {
  std::string_view head = file.substr(0, 32);
  std::size_t lf = head.find('\n');
  if (lf == std::string_view::npos) return std::nullopt;
  std::string_view line = head.substr(0, lf);
  std::size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  std::size_t digits_begin = i;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  if (i == digits_begin) return std::nullopt;
  std::uint64_t count = 0;
  auto [ptr, ec] = std::from_chars(line.data() + digits_begin, line.data() + i, count);
  if (ec != std::errc()) return std::nullopt;
  while (i < line.size() && (IsBlank(line[i]) || line[i] == '\r')) ++i;
  if (i != line.size()) return std::nullopt;
  return std::make_pair(count, lf + 1);
}

bool StartsTrailer(std::string_view rest) {
  std::size_t i = 0;
  while (i < rest.size() && (IsBlank(rest[i]) || rest[i] == '\r' || rest[i] == '\n')) ++i;
  rest.remove_prefix(i);
  return rest.empty() || rest.starts_with("<?xml") || rest.starts_with("<plist") ||
         rest.starts_with("<!DOCTYPE plist") || rest.starts_with("bplist");
}

// Start of the property-list trailer searched from the end: the last line that starts an XML
// declaration or a plist element and is followed by a closing </plist>.
std::optional<std::size_t> FindTrailer(std::string_view file, std::size_t from) {
  std::size_t close = file.rfind("</plist>");
  if (close == std::string_view::npos || close < from) return std::nullopt;
  for (std::string_view marker : {std::string_view("\n<?xml"), std::string_view("\n<plist")}) {
    std::size_t pos = file.rfind(marker, close);
    if (pos != std::string_view::npos && pos + 1 >= from) return pos + 1;
  }
  return std::nullopt;
}

std::optional<std::string_view> ValueAfterKey(std::string_view xml, std::string_view key,
                                              std::string_view* element) {
  std::string needle = "<key>" + std::string(key) + "</key>";
  std::size_t pos = xml.find(needle);
  if (pos == std::string_view::npos) return std::nullopt;
  std::string_view rest = xml.substr(pos + needle.size());
  std::size_t open = rest.find('<');
  if (open == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(open + 1);
  std::size_t gt = rest.find('>');
  if (gt == std::string_view::npos) return std::nullopt;
  *element = rest.substr(0, gt);
  rest.remove_prefix(gt + 1);
  std::size_t end = rest.find('<');
  if (end == std::string_view::npos) return std::nullopt;
  return rest.substr(0, end);
}

std::optional<double> NumberValue(std::string_view xml, std::string_view key) {
  std::string_view element;
  auto text = ValueAfterKey(xml, key, &element);
  if (!text || (element != "integer" && element != "real")) return std::nullopt;
  std::string s(*text);
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (end == s.c_str()) return std::nullopt;
  return v;
}

}  // namespace

EmlxMetadata ParsePlist(std::span<const std::uint8_t> plist) {
  EmlxMetadata meta;
  std::string_view xml = AsView(plist);
  if (xml.find("<plist") == std::string_view::npos) return meta;
  std::string_view element;
  if (auto text = ValueAfterKey(xml, "flags", &element); text && element == "integer") {
    std::int64_t v = 0;
    std::string_view t = *text;
    while (!t.empty() && IsBlank(t.front())) t.remove_prefix(1);
    if (std::from_chars(t.data(), t.data() + t.size(), v).ec == std::errc()) meta.flags = v;
  }
  meta.date_received = NumberValue(xml, "date-received");
  meta.date_sent = NumberValue(xml, "date-sent");
  return meta;
}

MessageFrame FrameMessage(std::span<const std::uint8_t> file) {
  MessageFrame frame;
  std::string_view text = AsView(file);
  frame.length = file.size();
  auto count_line = ReadCountLine(text);
  if (!count_line) return frame;
  auto [count, start] = *count_line;
  frame.emlx = true;
  frame.offset = start;
  std::size_t available = file.size() - start;
  std::size_t trailer_at = file.size();
  if (count <= available && StartsTrailer(text.substr(start + count))) {
    frame.length = static_cast<std::size_t>(count);
    trailer_at = start + frame.length;
  } else {
    // The count does not end where the file says the message ends: use what is there.
    auto trailer = FindTrailer(text, start);
    trailer_at = trailer.value_or(file.size());
    frame.length = trailer_at - start;
    frame.warnings.push_back("emlx byte count " + std::to_string(count) +
                             " disagrees with the file; using the " + std::to_string(frame.length) +
                             " message bytes present");
  }
  if (trailer_at < file.size()) frame.metadata = ParsePlist(file.subspan(trailer_at));
  return frame;
}

std::size_t SkipPreamble(std::span<const std::uint8_t> message) {
  std::string_view text = AsView(message);
  std::size_t pos = 0;
  if (text.starts_with("\xEF\xBB\xBF")) pos = 3;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    std::string_view line =
        text.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
    bool blank = std::all_of(line.begin(), line.end(),
                             [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
    if (!blank || eol == std::string_view::npos) break;
    pos = eol + 1;
  }
  if (text.substr(pos).starts_with("From ")) {
    std::size_t eol = text.find('\n', pos);
    if (eol != std::string_view::npos) pos = eol + 1;
  }
  return pos;
}

}  // namespace mime
