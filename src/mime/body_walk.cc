// The body: the walk over a message's multiparts (alternative, related, AppleDouble, encrypted,
// a multipart that lost its boundary), decoding text parts in their charsets, flowed text,
// merging several text parts into one body (HTML when any of them is), the charset hint for
// undeclared 8-bit headers, and the body properties.
#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/importer_internal.h"

namespace mime::detail {
namespace {

constexpr int kMaxMultipartDepth = 64;

// Decodes a text part's content to UTF-8 using its charset (or, for HTML, its meta charset);
// notes a charset that had to be guessed.
DecodedText PartText(GMimePart* part, bool html, ImportContext& ctx) {
  Bytes data = DecodedContent(part);
  std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
  std::string charset = TypeParam(GMIME_OBJECT(part), "charset");
  if (charset.empty() && html) charset = FindHtmlMetaCharset(bytes);
  DecodedText text = DecodeToUtf8(bytes, charset);
  if (text.guessed) {
    Note(ctx, "charset guessed: text " +
                  (charset.empty() ? std::string("declared in no charset") : "declared as " + charset) +
                  " was read as " + text.charset);
  }
  return text;
}

// Whether content declared base64 plainly is not: its first line holds a blank, or is a
// quarter or more characters base64 never has, as ordinary text is. Stray junk after real
// base64 is left to the decoder, which skips it.
bool PlainlyNotBase64(std::string_view encoded) {
  std::size_t start = encoded.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return false;
  std::string_view line = encoded.substr(start, encoded.find('\n', start) - start);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.remove_suffix(1);
  }
  auto foreign = std::count_if(line.begin(), line.end(), [](char c) {
    return !std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=';
  });
  return line.find_first_of(" \t") != std::string_view::npos ||
         static_cast<std::size_t>(foreign) * 4 >= line.size();
}

// A part declared base64 whose content is plainly text is kept as the text it is, not
// decoded into noise.
void KeepPlainTextAsWritten(GMimePart* part, ImportContext& ctx) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr ||
      g_mime_data_wrapper_get_encoding(content) != GMIME_CONTENT_ENCODING_BASE64) {
    return;
  }
  std::optional<std::string_view> window = MemoryWindow(g_mime_data_wrapper_get_stream(content));
  if (!window || !PlainlyNotBase64(*window)) return;
  g_mime_data_wrapper_set_encoding(content, GMIME_CONTENT_ENCODING_8BIT);
  g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_8BIT);
  Note(ctx, "content declared base64 is plain text and was kept as written");
}

// Reflows text/plain; format=flowed: soft-broken lines of one quote depth are joined.
std::string Unflow(std::string_view text, bool delsp) {
  std::string out;
  std::string paragraph;
  int paragraph_depth = -1;
  auto flush = [&] {
    if (paragraph_depth < 0) return;
    out += std::string(static_cast<std::size_t>(paragraph_depth), '>');
    if (paragraph_depth > 0) out += ' ';
    out += paragraph;
    out += '\n';
    paragraph.clear();
    paragraph_depth = -1;
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    std::string_view line =
        text.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    int depth = 0;
    while (!line.empty() && line.front() == '>') {
      ++depth;
      line.remove_prefix(1);
    }
    if (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    bool soft = !line.empty() && line.back() == ' ' && line != "-- ";
    if (paragraph_depth >= 0 && depth != paragraph_depth) flush();
    std::string_view content = line;
    if (soft && delsp) content.remove_suffix(1);
    paragraph.append(content);
    paragraph_depth = depth;
    if (!soft) flush();
    if (eol == std::string_view::npos) break;
    pos = eol + 1;
  }
  flush();
  if (!text.ends_with('\n') && out.ends_with('\n')) out.pop_back();
  return out;
}

std::string PlainText(GMimePart* part, std::string* charset, ImportContext& ctx) {
  DecodedText text = PartText(part, false, ctx);
  *charset = text.charset;
  if (EqualsCaseless(TypeParam(GMIME_OBJECT(part), "format"), "flowed")) {
    return Unflow(text.utf8, EqualsCaseless(TypeParam(GMIME_OBJECT(part), "delsp"), "yes"));
  }
  return std::move(text.utf8);
}

bool IsTextBodyType(const std::string& type) { return type == "text/plain" || type == "text/html"; }

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t run = 0;  // start of the text not copied yet
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* entity = nullptr;
    switch (text[i]) {
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      case '"':
        entity = "&quot;";
        break;
      default:
        continue;
    }
    out.append(text.substr(run, i - run));
    out += entity;
    run = i + 1;
  }
  out.append(text.substr(run));
  return out;
}

// Whether html[at...] starts with `lower` (lower-case ASCII), ignoring ASCII case.
bool StartsWithCaseless(std::string_view html, std::size_t at, std::string_view lower) {
  if (html.size() - at < lower.size()) return false;
  for (std::size_t j = 0; j < lower.size(); ++j) {
    char c = html[at + j];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[j]) return false;
  }
  return true;
}

std::string HtmlBodyInner(const std::string& html) {
  std::size_t body = std::string::npos;
  for (std::size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
    if (StartsWithCaseless(html, at, "<body")) {
      body = at;
      break;
    }
  }
  if (body == std::string::npos) return html;
  std::size_t open_end = html.find('>', body);
  if (open_end == std::string::npos) return html;
  std::size_t close = std::string::npos;
  for (std::size_t at = html.rfind('<'); at != std::string::npos && close == std::string::npos;
       at = at == 0 ? std::string::npos : html.rfind('<', at - 1)) {
    if (StartsWithCaseless(html, at, "</body")) close = at;
  }
  if (close == std::string::npos || close < open_end) close = html.size();
  return html.substr(open_end + 1, close - open_end - 1);
}

// Whether the message holds a line that opens a part under `boundary` ("--X") directly followed
// by the close delimiter ("--X--"): a multipart with no parts. Blanks may follow either.
bool HasEmptyMultipart(std::string_view message, const std::string& boundary) {
  if (boundary.empty()) return false;
  const std::string open = "--" + boundary;
  // The end of a delimiter line beginning at `at`, or npos when no such line is there.
  auto line_end = [&](std::size_t at, std::string_view delimiter) {
    if (message.substr(at, delimiter.size()) != delimiter) return std::string_view::npos;
    std::size_t end = message.find_first_not_of(" \t", at + delimiter.size());
    if (end == std::string_view::npos) return message.size();
    if (message[end] == '\r' && end + 1 < message.size() && message[end + 1] == '\n') ++end;
    return message[end] == '\n' ? end + 1 : std::string_view::npos;
  };
  for (std::size_t at = message.find(open); at != std::string_view::npos;
       at = message.find(open, at + 1)) {
    if (at > 0 && message[at - 1] != '\n') continue;
    std::size_t next = line_end(at, open);
    if (next != std::string_view::npos && next < message.size() &&
        line_end(next, open + "--") != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The walk over a message's MIME tree: multiparts and the body.

// path: the IMAP part number of `object` ("" for a top-level multipart).
void Walker::Walk(GMimeObject* object, const std::string& path, int depth, bool top_single,
                  WalkResult& out) {
  if (depth > kMaxMultipartDepth) {
    AddRaw(object, out, "nesting too deep; the rest of the message is kept as an attachment");
    return;
  }
  if (GMIME_IS_MULTIPART(object)) {
    WalkMultipart(GMIME_MULTIPART(object), path, depth, out);
  } else if (GMIME_IS_MESSAGE_PART(object)) {
    AddEmbedded(GMIME_MESSAGE_PART(object), out);
  } else if (GMIME_IS_PART(object)) {
    GMimePart* part = GMIME_PART(object);
    KeepPlainTextAsWritten(part, ctx_);
    std::string type = MimeTypeOf(object);
    bool attachment = IsAttachmentDisposition(object);
    // Text marked inline is shown as the body even with a file name (a signature, a
    // forwarded note), unless the message already has one.
    bool inline_body = !HasName(object) || (IsInlineDisposition(object) && out.segments.empty());
    bool body = IsTextBodyType(type) && !attachment && (top_single || inline_body);
    if (body && !ApplePartMissing(object)) {
      BodySegment seg;
      if (type == "text/html") {
        seg.html = PartText(part, true, ctx_).utf8;
      } else {
        seg.plain = TakeUuencoded(PlainText(part, &seg.plain_charset, ctx_), out);
      }
      out.segments.push_back(std::move(seg));
    } else {
      AddPart(part, path, out);
    }
  }
}

void Walker::WalkMultipart(GMimeMultipart* multipart, const std::string& path, int depth,
                           WalkResult& out) {
  GMimeObject* object = GMIME_OBJECT(multipart);
  std::string type = MimeTypeOf(object);
  int count = g_mime_multipart_get_count(multipart);
  if (count == 0) {
    // The close delimiter right after the opening one: the boundary is right and the multipart
    // is simply empty, so neither preamble nor epilogue is shown. Otherwise (a wrong boundary,
    // only a close delimiter) the content is in the preamble. GMime's epilogue cannot tell:
    // it is set only when text follows the close delimiter.
    if (HasEmptyMultipart(raw_.bytes, CopyString(g_mime_multipart_get_boundary(multipart)))) {
      return;
    }
    RecoverBoundaryless(multipart, path, depth, out);
    return;
  }
  if (type == "multipart/alternative") {
    WalkAlternative(multipart, path, depth, out);
  } else if (type == "multipart/related") {
    WalkRelated(multipart, path, depth, out);
  } else if (type == "multipart/appledouble") {
    for (int i = 0; i < count; ++i) {
      GMimeObject* child = g_mime_multipart_get_part(multipart, i);
      if (MimeTypeOf(child) == "application/applefile") continue;
      if (GMIME_IS_PART(child)) {
        AddPart(GMIME_PART(child), ChildPath(path, i), out);
      } else {
        Walk(child, ChildPath(path, i), depth + 1, false, out);
      }
    }
  } else if (type == "multipart/encrypted") {
    for (int i = 0; i < count; ++i) {
      GMimeObject* child = g_mime_multipart_get_part(multipart, i);
      if (GMIME_IS_PART(child)) {
        AddPart(GMIME_PART(child), ChildPath(path, i), out);
      } else {
        AddRaw(child, out, "");
      }
    }
  } else {
    // mixed, signed (below the top), report, digest and unknown kinds.
    for (int i = 0; i < count; ++i) {
      Walk(g_mime_multipart_get_part(multipart, i), ChildPath(path, i), depth + 1, false, out);
    }
  }
}

void Walker::WalkAlternative(GMimeMultipart* multipart, const std::string& path, int depth,
                             WalkResult& out) {
  int count = g_mime_multipart_get_count(multipart);
  int plain_index = -1;
  int html_index = -1;
  for (int i = 0; i < count; ++i) {
    GMimeObject* child = g_mime_multipart_get_part(multipart, i);
    std::string type = MimeTypeOf(child);
    if (GMIME_IS_MULTIPART(child)) {
      html_index = i;  // related/mixed/alternative holding the richer rendering
    } else if (type == "text/plain" && !IsAttachmentDisposition(child)) {
      plain_index = i;
    } else if (type == "text/html" && !IsAttachmentDisposition(child)) {
      html_index = i;
    }
  }
  BodySegment seg;
  for (int i = 0; i < count; ++i) {
    GMimeObject* child = g_mime_multipart_get_part(multipart, i);
    std::string type = MimeTypeOf(child);
    if ((i == plain_index || i == html_index) && GMIME_IS_PART(child)) {
      KeepPlainTextAsWritten(GMIME_PART(child), ctx_);
    }
    if (i == plain_index) {
      seg.plain = TakeUuencoded(PlainText(GMIME_PART(child), &seg.plain_charset, ctx_), out);
    } else if (i == html_index && GMIME_IS_PART(child)) {
      seg.html = PartText(GMIME_PART(child), true, ctx_).utf8;
    } else if (i == html_index) {
      WalkResult inner;
      Walk(child, ChildPath(path, i), depth + 1, false, inner);
      for (auto& a : inner.attachments) out.attachments.push_back(std::move(a));
      BodySegment merged = MergeSegments(std::move(inner.segments));
      if (merged.html) {
        seg.html = std::move(merged.html);
      } else if (merged.plain && !seg.plain) {
        seg.plain = std::move(merged.plain);
        seg.plain_charset = merged.plain_charset;
      }
    } else if (type == "text/plain" || type == "text/html" || type == "text/enriched" ||
               type == "text/richtext" || type == "text/watch-html" || type == "text/x-amp-html") {
      continue;  // an earlier, poorer rendering of the same content
    } else if (GMIME_IS_PART(child) || GMIME_IS_MESSAGE_PART(child)) {
      Walk(child, ChildPath(path, i), depth + 1, false, out);  // calendar and the like
    }
  }
  if (seg.plain || seg.html) out.segments.push_back(std::move(seg));
}

void Walker::WalkRelated(GMimeMultipart* multipart, const std::string& path, int depth,
                         WalkResult& out) {
  int count = g_mime_multipart_get_count(multipart);
  std::string start = TypeParam(GMIME_OBJECT(multipart), "start");
  if (start.size() >= 2 && start.front() == '<' && start.back() == '>') {
    start = start.substr(1, start.size() - 2);
  }
  int root = 0;
  if (!start.empty()) {
    for (int i = 0; i < count; ++i) {
      std::string id =
          CopyString(g_mime_object_get_content_id(g_mime_multipart_get_part(multipart, i)));
      if (id == start) root = i;
    }
  }
  Walk(g_mime_multipart_get_part(multipart, root), ChildPath(path, root), depth + 1, true, out);
  for (int i = 0; i < count; ++i) {
    if (i == root) continue;
    GMimeObject* child = g_mime_multipart_get_part(multipart, i);
    if (GMIME_IS_PART(child)) {
      AddPart(GMIME_PART(child), ChildPath(path, i), out);
    } else {
      Walk(child, ChildPath(path, i), depth + 1, false, out);
    }
  }
}

// A multipart without a usable boundary keeps its content in the prologue. When the prologue
// shows the boundary the sender meant ("--X" ... "--X--"), parse it again with that one.
void Walker::RecoverBoundaryless(GMimeMultipart* multipart, const std::string& path, int depth,
                                 WalkResult& out) {
  std::string prologue = CopyString(g_mime_multipart_get_prologue(multipart));
  std::string_view p(prologue);
  std::size_t line = p.starts_with("--") ? 0 : p.find("\n--");
  if (line != std::string_view::npos) {
    std::size_t begin = line == 0 ? 2 : line + 3;
    std::size_t end = p.find_first_of("\r\n", begin);
    std::string boundary = Trim(p.substr(begin, end == std::string_view::npos ? 0 : end - begin));
    if (!boundary.empty() && boundary.size() < 200 && boundary.find('"') == std::string::npos &&
        p.find("--" + boundary + "--") != std::string_view::npos) {
      std::string text =
          "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\n" + prologue;
      BorrowedStream stream(text);
      GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
      GObjectPtr<GMimeObject> part(g_mime_parser_construct_part(parser.get(), ctx_.parser_options));
      if (part && GMIME_IS_MULTIPART(part.get()) &&
          g_mime_multipart_get_count(GMIME_MULTIPART(part.get())) > 0) {
        Walk(part.get(), path, depth + 1, false, out);
        return;
      }
    }
  }
  if (!Trim(prologue).empty()) {
    BodySegment seg;
    seg.plain = EnsureUtf8(prologue);
    out.segments.push_back(std::move(seg));
  }
}

// A merged body of several segments as one segment (an aggregate HTML body when any
// segment has HTML).
BodySegment Walker::MergeSegments(std::vector<BodySegment> segments) {
  if (segments.size() == 1) return std::move(segments.front());
  BodySegment merged;
  if (segments.empty()) return merged;
  bool any_html = std::any_of(segments.begin(), segments.end(),
                              [](const BodySegment& s) { return s.html.has_value(); });
  std::string plain;
  std::string html;
  for (BodySegment& s : segments) {
    std::string rendering = s.plain ? *s.plain : HtmlToText(s.html.value_or(""));
    if (!plain.empty()) plain += "\n\n";
    plain += rendering;
    if (merged.plain_charset.empty()) merged.plain_charset = s.plain_charset;
    if (!any_html) continue;
    if (s.html) {
      html += HtmlBodyInner(*s.html);
    } else {
      html += "<div style=\"white-space:pre-wrap\">" + EscapeHtml(*s.plain) + "</div>";
    }
  }
  merged.plain = std::move(plain);
  if (any_html) merged.html = "<html><head></head><body>" + html + "</body></html>";
  return merged;
}

// ---------------------------------------------------------------------------------------------
// Charsets and the body properties.

// The first charset a text part of the message declares, other than ASCII and UTF-8.
std::string BodyCharsetHint(GMimeObject* object, int depth) {
  if (object == nullptr || depth > 16) return "";
  if (GMIME_IS_MULTIPART(object)) {
    int n = g_mime_multipart_get_count(GMIME_MULTIPART(object));
    for (int i = 0; i < n && i < 64; ++i) {
      std::string hint =
          BodyCharsetHint(g_mime_multipart_get_part(GMIME_MULTIPART(object), i), depth + 1);
      if (!hint.empty()) return hint;
    }
    return "";
  }
  if (!GMIME_IS_PART(object) || !MimeTypeOf(object).starts_with("text/")) return "";
  std::string charset = Lower(Trim(TypeParam(object, "charset")));
  if (charset.empty() || charset == "us-ascii" || charset == "ascii" || charset == "utf-8" ||
      charset.starts_with("utf-16") || charset.find_first_of("\"' ") != std::string::npos) {
    return "";
  }
  return charset;
}

// Parser options that read undeclared 8-bit header text as UTF-8, then in `hint` (the body's
// charset) when there is one, then windows-1252 and ISO-8859-1; addresses without a domain pass.
ParserOptionsPtr NewParserOptions(const std::string& hint) {
  ParserOptionsPtr options(g_mime_parser_options_new());
  const char* with_hint[] = {"utf-8", hint.c_str(), "windows-1252", "iso-8859-1", nullptr};
  const char* plain[] = {"utf-8", "windows-1252", "iso-8859-1", nullptr};
  g_mime_parser_options_set_fallback_charsets(options.get(), hint.empty() ? plain : with_hint);
  g_mime_parser_options_set_allow_addresses_without_domain(options.get(), TRUE);
  return options;
}

// The body properties: the plain text (a rendering of the HTML when there is no plain part),
// the HTML declared as UTF-8, the internet code page and which of them is the native body.
void MapBody(const BodySegment& body, std::vector<mail::Property>& props) {
  std::string plain;
  if (body.plain) {
    plain = *body.plain;
  } else if (body.html) {
    plain = HtmlToText(*body.html);
  }
  if (body.plain || body.html) {
    std::u16string text = Utf8ToUtf16Crlf(plain);
    if (std::size_t nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
    SetProperty(props, tag::kBody, std::move(text));
  }
  if (body.html) {
    std::string html = DeclareHtmlUtf8(*body.html);
    SetBinary(props, tag::kHtml, Bytes(html.begin(), html.end()));
    SetInt(props, tag::kInternetCpid, 65001);
    SetInt(props, tag::kNativeBody, 3);
  } else {
    SetInt(props, tag::kInternetCpid, body.plain ? CodePageForCharset(body.plain_charset) : 65001);
    if (body.plain) SetInt(props, tag::kNativeBody, 1);
  }
}

}  // namespace mime::detail
