// Damaged input: line ends of classic Mac files (CR only), header blocks a MIME parser would
// cut short (a line that is no header, a line of blanks where an empty line belongs), the test
// for a file that starts with no header at all, and the message made of a file GMime finds no
// message in.
#include <gmime/gmime.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/importer_internal.h"

namespace mime::detail {
namespace {

using mail::kAttachByValue;

bool IsHeaderOrContinuation(std::string_view line) {
  if (line.empty()) return true;
  if (line[0] == ' ' || line[0] == '\t') return true;
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view name = line.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  if (name.empty()) return false;
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) return false;
  }
  return true;
}

// A line with a colon whose field name is empty or holds a control or 8-bit byte (": x",
// "Name\0: x"): a header line gone wrong, not text. A name with blanks in it ("Wed, 19 Nov 2014
// 00:46:01") is more likely text or a wrapped header.
bool IsBrokenHeaderLine(std::string_view line) {
  if (line.empty() || line[0] == ' ' || line[0] == '\t') return false;
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view name = line.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  if (name.empty()) return true;
  bool odd = false;
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (u == ' ' || u == '\t') return false;
    if (u < 0x20 || u >= 0x7F) odd = true;
  }
  return odd;
}

// A line inside the header block that is no header makes a MIME parser end the headers there.
// When more headers follow it, it is dropped (a broken header line, a stray line of text) or,
// when it holds a colon and blanks (a date wrapped without indentation), joined to the header
// above; either way the headers after it are still read. Lines after the last header begin the
// body, the blank line before them missing, unless every one of them is a broken header line.
// Returns "" when nothing needs it.
std::string RepairHeaderBlockLines(std::string_view message, std::size_t header_length,
                                   bool* separated) {
  struct BadLine {
    std::size_t at;    // where the line begins
    std::size_t next;  // where the line after it begins
    bool broken;       // a broken header line
    bool join;         // joined to the header above rather than dropped
  };
  std::vector<BadLine> bad;
  std::size_t last_header = 0;  // a bad line only counts when a real header follows it
  std::size_t pos = 0;
  while (pos < header_length) {
    std::size_t eol = message.find('\n', pos);
    std::size_t end = eol == std::string_view::npos ? header_length : std::min(eol, header_length);
    std::size_t next = eol == std::string_view::npos ? header_length : eol + 1;
    std::string_view line = message.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (pos > 0 && line.starts_with("--")) {
      // A boundary line: the headers have ended, whatever follows it.
      bad.push_back({pos, next, false, false});
      break;
    }
    if (pos > 0 && !IsHeaderOrContinuation(line)) {
      bool broken = IsBrokenHeaderLine(line);
      bad.push_back({pos, next, broken, !broken && line.find(':') != std::string_view::npos});
    } else if (!line.empty() && line[0] != ' ' && line[0] != '\t') {
      last_header = pos;
    }
    if (eol == std::string_view::npos) break;
    pos = next;
  }
  // Bad lines after the last header begin the body: the blank line before them is missing.
  // Broken header lines alone there are dropped instead.
  std::size_t body_start = std::string_view::npos;
  std::size_t trailing = bad.size();
  while (trailing > 0 && bad[trailing - 1].at > last_header) --trailing;
  if (std::any_of(bad.begin() + static_cast<std::ptrdiff_t>(trailing), bad.end(),
                  [](const BadLine& b) { return !b.broken; })) {
    body_start = bad[trailing].at;
    bad.resize(trailing);
  }
  *separated = body_start != std::string_view::npos;
  if (bad.empty() && !*separated) return "";
  std::string out;
  out.reserve(message.size() + bad.size() + 2);
  std::size_t copied = 0;
  for (const BadLine& b : bad) {
    out.append(message.substr(copied, b.at - copied));
    if (b.join) {
      out += ' ';
      copied = b.at;
    } else {
      copied = b.next;
    }
  }
  if (*separated) {
    out.append(message.substr(copied, body_start - copied));
    out += body_start >= 2 && message[body_start - 2] == '\r' ? "\r\n" : "\n";
    copied = body_start;
  }
  out.append(message.substr(copied));
  return out;
}

// Whether the line starting at `at` holds only blanks (at least one) and ends with a line end.
bool BlankLineAt(std::string_view message, std::size_t at) {
  std::size_t i = at;
  while (i < message.size() && (message[i] == ' ' || message[i] == '\t')) ++i;
  if (i == at || i == message.size()) return false;
  return message[i] == '\n' || (message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n');
}

// Whether any line of the message is a line of blanks ending with a line end: most messages
// have none, and a large one is then not walked line by line. Sixteen bytes at a time where
// the processor has SSE2.
bool HasBlankLine(std::string_view message) {
  const char* p = message.data();
  const std::size_t n = message.size();
  if (n > 0 && (p[0] == ' ' || p[0] == '\t') && BlankLineAt(message, 0)) return true;
  std::size_t i = 0;
#ifdef __SSE2__
  const __m128i newline = _mm_set1_epi8('\n');
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  for (; i + 17 <= n; i += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
    const __m128i starts = _mm_and_si128(
        _mm_cmpeq_epi8(here, newline),
        _mm_or_si128(_mm_cmpeq_epi8(next, space), _mm_cmpeq_epi8(next, tab)));
    for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(starts)); mask != 0;
         mask &= mask - 1) {
      if (BlankLineAt(message, i + static_cast<std::size_t>(__builtin_ctz(mask)) + 1)) return true;
    }
  }
#endif
  for (; i + 1 < n; ++i) {
    if (p[i] == '\n' && (p[i + 1] == ' ' || p[i + 1] == '\t') && BlankLineAt(message, i + 1)) {
      return true;
    }
  }
  return false;
}

// A line of blanks between a header line and a line that is no header ends a header block as
// an empty line would (some senders write " " there). Returns "" when there is none.
std::string BlankSeparatorsToEmpty(std::string_view message) {
  if (!HasBlankLine(message)) return "";
  std::vector<std::pair<std::size_t, std::size_t>> blanks;  // [begin, end) of blank runs
  std::size_t pos = 0;
  bool previous_header = false;
  while (pos < message.size()) {
    std::size_t eol = message.find('\n', pos);
    std::size_t end = eol == std::string_view::npos ? message.size() : eol;
    std::string_view line = message.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    bool blank = !line.empty() && line.find_first_not_of(" \t") == std::string_view::npos;
    if (blank && previous_header && eol != std::string_view::npos) {
      std::size_t next = eol + 1;
      std::size_t next_eol = message.find('\n', next);
      std::string_view next_line = message.substr(
          next, (next_eol == std::string_view::npos ? message.size() : next_eol) - next);
      if (!next_line.empty() && next_line.back() == '\r') next_line.remove_suffix(1);
      if (!next_line.empty() && !IsHeaderOrContinuation(next_line)) {
        blanks.emplace_back(pos, pos + line.size());
      }
    }
    if (line.empty() || blank || !IsHeaderOrContinuation(line)) {
      previous_header = false;
    } else if (line[0] != ' ' && line[0] != '\t') {
      previous_header = true;
    }
    if (eol == std::string_view::npos) break;
    pos = eol + 1;
  }
  if (blanks.empty()) return "";
  std::string out;
  out.reserve(message.size());
  std::size_t copied = 0;
  for (const auto& [begin, end] : blanks) {
    out.append(message.substr(copied, begin - copied));
    copied = end;
  }
  out.append(message.substr(copied));
  return out;
}

}  // namespace

// Files with CR-only line ends (classic Mac) read as one endless line to a MIME parser.
std::string_view NormalizeCrOnly(std::string_view message, std::string& storage) {
  // Most files have no bare CR at all: look for one before counting anything. Sixteen bytes
  // at a time where the processor has SSE2 (a large message has a CR on every line).
  std::size_t bare_cr = 0;
  const char* p = message.data();
  const std::size_t n = message.size();
  std::size_t i = 0;
#ifdef __SSE2__
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i newline = _mm_set1_epi8('\n');
  for (; i + 17 <= n; i += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
    const __m128i bare = _mm_andnot_si128(_mm_cmpeq_epi8(next, newline), _mm_cmpeq_epi8(here, cr));
    bare_cr += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(bare))));
  }
#endif
  for (; i < n; ++i) {
    if (p[i] == '\r' && (i + 1 == n || p[i + 1] != '\n')) ++bare_cr;
  }
  if (bare_cr == 0) return message;
  auto lf = static_cast<std::size_t>(std::count(message.begin(), message.end(), '\n'));
  if (bare_cr <= lf) return message;
  storage.reserve(message.size());
  for (std::size_t i = 0; i < message.size(); ++i) {
    char c = message[i];
    if (c == '\r' && (i + 1 == message.size() || message[i + 1] != '\n')) {
      storage += '\n';
    } else {
      storage += c;
    }
  }
  return storage;
}

// The message as it should be parsed: blank separator lines first (they decide where header
// blocks end), then the lines of the top-level header block. Returns "" when nothing changed.
std::string RepairHeaderBlock(std::string_view message, bool* separated) {
  std::string blanks = BlankSeparatorsToEmpty(message);
  std::string_view current = blanks.empty() ? message : std::string_view(blanks);
  std::string lines = RepairHeaderBlockLines(current, HeaderBlockLength(current), separated);
  return lines.empty() ? blanks : lines;
}

std::string_view UnindentFirstHeader(std::string_view message) {
  std::size_t start = message.find_first_not_of(" \t");
  if (start == 0 || start == std::string_view::npos) return message;
  std::string_view rest = message.substr(start);
  std::size_t eol = rest.find('\n');
  if (eol == std::string_view::npos) return message;
  // Two header lines in a row: text that merely begins with "Word:" stays text.
  return LooksLikeHeaderLine(rest) && LooksLikeHeaderLine(rest.substr(eol + 1)) ? rest : message;
}

namespace {

// The headers that decide how a part is read, each with the same-length name a repeat of it
// is hidden under.
constexpr std::pair<std::string_view, std::string_view> kReadingHeaders[] = {
    {"Content-Type", "X-Ignored-CT"},
    {"Content-Transfer-Encoding", "X-Ignored-Transfer-Encode"},
};

// Where each of those headers repeats in a header block under `object`: (offset, name).
void RepeatedReadingHeaders(GMimeObject* object,
                            std::vector<std::pair<gint64, std::string_view>>& found) {
  if (object == nullptr) return;
  GMimeHeaderList* list = g_mime_object_get_header_list(object);
  // Only the first header block that repeats one counts: hiding a repeat may change how the
  // rest of the message divides into parts, so the caller parses again before the next.
  if (!found.empty()) return;
  int seen[std::size(kReadingHeaders)] = {};
  for (int i = 0, n = list == nullptr ? 0 : g_mime_header_list_get_count(list); i < n; ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
    const char* name = g_mime_header_get_name(header);
    if ((name[0] | 0x20) != 'c') continue;  // both begin "Content-"
    for (std::size_t k = 0; k < std::size(kReadingHeaders); ++k) {
      if (g_ascii_strcasecmp(name, kReadingHeaders[k].first.data()) == 0 && seen[k]++ > 0) {
        found.emplace_back(g_mime_header_get_offset(header), kReadingHeaders[k].first);
      }
    }
  }
  if (GMIME_IS_MESSAGE(object)) {
    RepeatedReadingHeaders(g_mime_message_get_mime_part(GMIME_MESSAGE(object)), found);
  } else if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    for (int i = 0, n = g_mime_multipart_get_count(multipart); i < n; ++i) {
      RepeatedReadingHeaders(g_mime_multipart_get_part(multipart, i), found);
    }
  } else if (GMIME_IS_MESSAGE_PART(object)) {
    RepeatedReadingHeaders(
        GMIME_OBJECT(g_mime_message_part_get_message(GMIME_MESSAGE_PART(object))), found);
  }
}

}  // namespace

std::string HideRepeatedReadingHeaders(GMimeMessage* parsed, std::string_view message) {
  std::vector<std::pair<gint64, std::string_view>> found;
  RepeatedReadingHeaders(GMIME_OBJECT(parsed), found);
  std::string copy;
  for (auto [at, name] : found) {
    if (at < 0 || static_cast<std::size_t>(at) + name.size() > message.size() ||
        g_ascii_strncasecmp(message.data() + at, name.data(), name.size()) != 0) {
      continue;
    }
    if (copy.empty()) copy = message;
    for (auto [reading, hidden] : kReadingHeaders) {
      if (reading == name) copy.replace(static_cast<std::size_t>(at), name.size(), hidden);
    }
  }
  return copy;
}

bool LooksLikeHeaderLine(std::string_view message) {
  std::size_t eol = message.find('\n');
  std::string_view line = message.substr(0, eol);
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  for (char c : line.substr(0, colon)) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) return false;
  }
  return true;
}

// A file GMime finds no message in: keep its text as the body and the file itself attached.
mail::MessageContent MapRawFallback(std::string_view bytes, ImportContext& ctx) {
  mail::MessageContent content;
  auto& props = content.props;
  std::string subject = EnsureUtf8(PathToUtf8(ctx.options->source_path.stem()));
  SetString(props, tag::kMessageClass, "IPM.Note");
  SetString(props, tag::kSubject, subject);
  SetString(props, tag::kSubjectPrefix, "");
  SetString(props, tag::kNormalizedSubject, subject);
  SetString(props, tag::kConversationTopic, subject);
  SetString(props, tag::kDisplayTo, "");
  SetString(props, tag::kDisplayCc, "");
  SetString(props, tag::kDisplayBcc, "");
  SetBool(props, tag::kMessageToMe, false);
  SetBool(props, tag::kMessageCcMe, false);
  SetBool(props, tag::kMessageRecipMe, false);
  std::int64_t t = ctx.options->file_time && IsPlausible(*ctx.options->file_time, ctx.options->now)
                       ? *ctx.options->file_time
                       : ctx.options->now;
  SetTime(props, tag::kClientSubmitTime, t);
  SetTime(props, tag::kMessageDeliveryTime, t);
  SetTime(props, tag::kCreationTime, t);
  SetTime(props, tag::kLastModificationTime, t);
  DecodedText text = DecodeToUtf8(bytes, "");
  std::u16string body = Utf8ToUtf16Crlf(text.utf8);
  if (std::size_t nul = body.find(u'\0'); nul != std::u16string::npos) body.resize(nul);
  SetProperty(props, tag::kBody, std::move(body));
  SetInt(props, tag::kInternetCpid, CodePageForCharset(text.charset));
  SetInt(props, tag::kNativeBody, 1);
  SetInt(props, tag::kImportance, 1);
  SetInt(props, tag::kPriority, 0);
  SetInt(props, tag::kSensitivity, 0);
  SetInt(props, tag::kIconIndex, 0x100);
  SetInt(props, tag::kMessageStatus, 0);
  SetInt(props, tag::kMessageSize, ClampInt32(bytes.size()));
  SetBinary(props, tag::kSearchKey, ContentKey(bytes));

  mail::Attachment original;
  auto& ap = original.props;
  SetInt(ap, tag::kAttachMethod, kAttachByValue);
  SetString(ap, tag::kAttachLongFilename, "original.eml");
  SetString(ap, tag::kAttachFilename, "ORIGINAL.EML");
  SetString(ap, tag::kAttachExtension, ".eml");
  SetString(ap, tag::kDisplayName, "original.eml");
  SetString(ap, tag::kAttachMimeTag, "message/rfc822");
  SetInt(ap, tag::kAttachFlags, 0);
  SetBool(ap, tag::kAttachmentHidden, false);
  SetInt(ap, tag::kRenderingPosition, -1);
  SetInt(ap, tag::kObjectType, 7);
  SetInt(ap, tag::kAttachNum, 0);
  SetInt(ap, tag::kAttachSize, ClampInt32(bytes.size() + ApproxSize(ap)));
  original.data = Bytes(bytes.begin(), bytes.end());
  content.attachments.push_back(std::move(original));
  SetInt(props, tag::kMessageFlags, mail::StoredMessageFlags(content));
  ctx.warnings->push_back("no message headers found; the file is kept as text and attached");
  Note(ctx, "no message headers found: the file is kept as the body and attached whole");
  return content;
}

}  // namespace mime::detail
