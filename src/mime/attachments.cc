// Attachments: a part's content (decoded now, or left encoded in the message's bytes to be
// decoded when the message is written), its name (given, recovered from raw headers or made
// up), uuencoded files inside a plain body, parts kept whole when they cannot be walked,
// attached messages (mapped recursively, or kept as .eml files past the nesting limit), the
// S/MIME blobs, and the placing and numbering of attachments against the HTML body.
#include <gmime/gmime.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/importer_internal.h"
#include "mime/part_content.h"

namespace mime::detail {
namespace {

// What every attachment states alike: shown, not rendered at a position, made when the
// message was.
void SetCommonAttachmentProps(std::vector<mail::Property>& props, std::int64_t attach_time) {
  SetInt(props, tag::kAttachFlags, 0);
  SetBool(props, tag::kAttachmentHidden, false);
  SetInt(props, tag::kRenderingPosition, -1);
  SetInt(props, tag::kObjectType, 7);
  SetTime(props, tag::kCreationTime, attach_time);
  SetTime(props, tag::kLastModificationTime, attach_time);
}

using mail::kAttachByValue;
using mail::kAttachEmbeddedMessage;
using mail::kAttRenderedInBody;

constexpr int kMaxMessageDepth = 8;

// The object as GMime writes it (headers and content, encoded as in the source).
std::string SerializeObject(GMimeObject* object) {
  GObjectPtr<GMimeStream> mem(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(object, nullptr, mem.get());
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
  if (array == nullptr || array->len == 0) return {};
  return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

std::string GeneratedName(int counter, const std::string& mime_type) {
  static const std::pair<std::string_view, std::string_view> kExtensions[] = {
      {"image/png", ".png"},
      {"image/jpeg", ".jpg"},
      {"image/gif", ".gif"},
      {"text/plain", ".txt"},
      {"text/html", ".htm"},
      {"text/calendar", ".ics"},
      {"application/pdf", ".pdf"},
      {"message/rfc822", ".eml"},
      {"message/delivery-status", ".txt"},
      {"message/disposition-notification", ".txt"},
  };
  std::string ext = ".dat";
  for (const auto& [type, e] : kExtensions)
    if (mime_type == type) ext = e;
  char digits[8];
  std::snprintf(digits, sizeof digits, "%05d", counter % 100000);
  return "ATT" + std::string(digits) + ext;
}

bool IsHiddenInlineType(const std::string& type) {
  return type == "image/jpeg" || type == "image/jpg" || type == "image/pjpeg" ||
         type == "image/gif" || type == "image/bmp" || type == "image/png" || type == "image/x-png";
}

// Decodes one uuencoded line; nullopt when it is not one (bad length or characters). Characters
// past the encoded bytes may only be padding (blank or grave accent).
std::optional<std::string> UudecodeLine(std::string_view line) {
  if (line.empty()) return std::nullopt;
  auto value = [](char c) { return (static_cast<unsigned char>(c) - 32) & 0x3F; };
  for (char c : line) {
    if (c < 32 || c > 96) return std::nullopt;
  }
  std::size_t n = value(line[0]);
  std::size_t needed = 1 + (n + 2) / 3 * 4;
  if (line.size() < needed) return std::nullopt;
  for (char c : line.substr(needed)) {
    if (c != ' ' && c != '`') return std::nullopt;
  }
  std::string out;
  for (std::size_t i = 1; out.size() < n; i += 4) {
    unsigned int v = (value(line[i]) << 18) | (value(line[i + 1]) << 12) |
                     (value(line[i + 2]) << 6) | value(line[i + 3]);
    for (int shift = 16; shift >= 0 && out.size() < n; shift -= 8) {
      out += static_cast<char>((v >> shift) & 0xFF);
    }
  }
  return out;
}

struct UuBlock {
  std::size_t begin = 0;  // offset of the "begin" line
  std::size_t end = 0;    // offset just past the "end" line
  std::string name;
  std::string data;
};

// Uuencoded files old clients put into a plain body ("begin 644 name" ... "end"). Only blocks
// whose every line decodes are taken; anything doubtful stays text.
std::vector<UuBlock> FindUuencodedBlocks(std::string_view text) {
  std::vector<UuBlock> blocks;
  std::size_t pos = 0;
  auto next_line = [&](std::size_t at, std::string_view* line) {
    std::size_t eol = text.find('\n', at);
    std::size_t end = eol == std::string_view::npos ? text.size() : eol;
    *line = text.substr(at, end - at);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    return eol == std::string_view::npos ? text.size() : eol + 1;
  };
  while (pos < text.size()) {
    std::string_view line;
    std::size_t after = next_line(pos, &line);
    bool begin = line.starts_with("begin ") && line.size() > 10;
    std::size_t digits = 0;
    while (begin && 6 + digits < line.size() && line[6 + digits] >= '0' &&
           line[6 + digits] <= '7') {
      ++digits;
    }
    if (begin && (digits == 3 || digits == 4) && 6 + digits < line.size() &&
        line[6 + digits] == ' ') {
      UuBlock block;
      block.begin = pos;
      block.name = Trim(line.substr(7 + digits));
      std::size_t at = after;
      bool ok = !block.name.empty();
      bool closed = false;
      int lines = 0;
      while (ok && at < text.size()) {
        std::string_view data_line;
        std::size_t next = next_line(at, &data_line);
        if (data_line == "end") {
          closed = true;
          block.end = next;
          break;
        }
        auto decoded = UudecodeLine(data_line);
        ok = decoded.has_value();
        if (ok) block.data += *decoded;
        ++lines;
        at = next;
      }
      if (ok && closed && lines > 0) {
        blocks.push_back(std::move(block));
        pos = blocks.back().end;
        continue;
      }
    }
    pos = after;
  }
  return blocks;
}

// A name GMime dropped together with a Content-Type it could not parse ("BINARY;name=x").
std::string NameFromRawHeaders(GMimeObject* object) {
  for (const char* header : {"Content-Disposition", "Content-Type"}) {
    std::string raw = RepairMostlyUtf8(Unfold(RawHeader(object, header)));
    std::string lower = Lower(raw);
    for (const char* key : {"filename=", "name="}) {
      std::size_t at = lower.find(key);
      if (at == std::string::npos) continue;
      std::string_view value = std::string_view(raw).substr(at + std::strlen(key));
      std::string name;
      if (!value.empty() && value.front() == '"') {
        std::size_t close = value.find('"', 1);
        name = std::string(
            value.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
      } else {
        name = Trim(value.substr(0, value.find(';')));
      }
      if (!name.empty()) {
        return EnsureUtf8(TakeGString(g_mime_utils_header_decode_text(nullptr, name.c_str())));
      }
    }
  }
  return "";
}

// The cid: references of an HTML body (lower-case), as written and URI-unescaped.
std::set<std::string> ReferencedContentIds(const std::string& html_lower) {
  std::set<std::string> cids;
  for (std::size_t at = html_lower.find("cid:"); at != std::string::npos;
       at = html_lower.find("cid:", at + 4)) {
    std::size_t end = html_lower.find_first_of("\"' )>\t\r\n", at + 4);
    std::string id = html_lower.substr(at + 4, end == std::string::npos ? end : end - at - 4);
    GCharPtr unescaped(g_uri_unescape_string(id.c_str(), nullptr));
    cids.insert(unescaped ? CopyString(unescaped.get()) : id);
    cids.insert(std::move(id));
  }
  return cids;
}

}  // namespace

bool HasName(GMimeObject* object) {
  if (!CopyString(g_mime_object_get_content_disposition_parameter(object, "filename")).empty() ||
      !CopyString(g_mime_object_get_content_type_parameter(object, "name")).empty()) {
    return true;
  }
  // Also a name GMime dropped with a Content-Type it could not parse ("BINARY;name=x").
  std::string raw = Lower(RawHeader(object, "Content-Type"));
  return raw.find("name=") != std::string::npos &&
         raw.substr(0, raw.find(';')).find('/') == std::string::npos;
}

// The content of an attachment part. Content that lies in the bytes the context holds is left
// there, encoded, once the message's allowance for decoding now is spent: it is decoded when
// the message is written, so that a large attachment is never held decoded whole.
PartContent AttachmentContent(GMimePart* part, ImportContext& ctx) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content != nullptr && ctx.owner) {
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    const std::optional<std::string_view> window =
        MemoryWindow(g_mime_data_wrapper_get_stream(content));
    const auto begin = reinterpret_cast<std::uintptr_t>(ctx.owned.data());
    const auto at = window ? reinterpret_cast<std::uintptr_t>(window->data()) : 0;
    if (window && !window->empty() && IsWindowDecodable(encoding) && at >= begin &&
        at - begin <= ctx.owned.size() && window->size() <= ctx.owned.size() - (at - begin)) {
      if (window->size() > ctx.decode_now_left) {
        return {{}, MakeWindowSource(ctx.owner, *window, encoding)};
      }
      ctx.decode_now_left -= window->size();
    }
  }
  return {DecodedContent(part), nullptr};
}

// ---------------------------------------------------------------------------------------------
// The walk over a message's MIME tree: attachments and attached messages.

// Moves uuencoded files out of a plain body into attachments; returns the remaining text.
std::string Walker::TakeUuencoded(std::string text, WalkResult& out) {
  if (text.find("begin ") == std::string::npos) return text;
  std::vector<UuBlock> blocks = FindUuencodedBlocks(text);
  if (blocks.empty()) return text;
  std::string rest;
  std::size_t copied = 0;
  for (UuBlock& block : blocks) {
    rest.append(text, copied, block.begin - copied);
    copied = block.end;
    PendingAttachment pending;
    pending.mime_type = "application/octet-stream";
    std::string name = SanitizeFileName(block.name);
    if (name.empty()) name = GeneratedName(++counter_, pending.mime_type);
    FillByValue(pending, name, {Bytes(block.data.begin(), block.data.end()), nullptr});
    out.attachments.push_back(std::move(pending));
  }
  rest.append(text, copied);
  return rest;
}

std::string Walker::AttachmentName(GMimeObject* object, const std::string& type) {
  std::string name = CopyString(g_mime_part_get_filename(GMIME_PART(object)));
  if (!IsValidUtf8(name)) {
    std::string raw =
        CopyString(g_mime_object_get_content_disposition_parameter(object, "filename"));
    if (raw.empty()) raw = CopyString(g_mime_object_get_content_type_parameter(object, "name"));
    name = EnsureUtf8(raw.empty() ? name : raw);
  }
  // GMime reads a raw 8-bit name that is not quite UTF-8 as Latin-1; read it as UTF-8.
  const std::string disposition = RawHeader(object, "Content-Disposition");
  if (name.empty() || RepairMostlyUtf8(disposition) != disposition) {
    if (std::string raw = NameFromRawHeaders(object); !raw.empty() || name.empty()) name = raw;
  }
  // A value written with escaped quotes (filename=\"a.asc\") comes back with them; the
  // backslash would otherwise cut the name down to what follows it.
  if (name.find("\\\"") != std::string::npos) {
    std::string unescaped;
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (name[i] == '\\' && i + 1 < name.size() && name[i + 1] == '"') continue;
      unescaped += name[i];
    }
    name = std::move(unescaped);
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
      name = name.substr(1, name.size() - 2);
    }
  }
  name = SanitizeFileName(name);
  if (name.empty()) {
    if (type == "text/calendar" || type == "application/ics") return "invite.ics";
    if (type == "message/delivery-status") return "delivery-status.txt";
    if (type == "message/disposition-notification") return "disposition-notification.txt";
    name = GeneratedName(++counter_, type);
  }
  return name;
}

void Walker::FillByValue(PendingAttachment& pending, const std::string& name, PartContent content) {
  auto& props = pending.attachment.props;
  SetInt(props, tag::kAttachMethod, kAttachByValue);
  SetString(props, tag::kAttachLongFilename, name);
  SetString(props, tag::kAttachFilename, ShortFileName(name));
  SetString(props, tag::kAttachExtension, FileExtension(name));
  SetString(props, tag::kDisplayName, name);
  SetString(props, tag::kAttachMimeTag, pending.mime_type);
  SetCommonAttachmentProps(props, attach_time_);
  pending.attachment.data = std::move(content.data);
  pending.attachment.source = std::move(content.source);
}

void Walker::AddPart(GMimePart* part, const std::string& path, WalkResult& out) {
  GMimeObject* object = GMIME_OBJECT(part);
  std::string type = MimeTypeOf(object);
  if (type == "application/ics") type = "text/calendar";
  PartContent data;
  if (type == "message/rfc822" || type == "message/global") {
    // A message whose part was (illegally) transfer-encoded is not a message part to GMime.
    data.data = DecodedContent(part);
    if (!data.data.empty() && message_depth_ + 1 < kMaxMessageDepth &&
        AddEncodedMessage(data.data, out)) {
      return;
    }
  } else {
    data = AttachmentContent(part, ctx_);
  }
  PendingAttachment pending;
  pending.mime_type = type;
  pending.content_id = CopyString(g_mime_object_get_content_id(object));
  pending.content_location = CopyString(g_mime_part_get_content_location(part));
  bool named = HasName(object);
  std::string name = AttachmentName(object, type);
  if (data.size() == 0 && !RawHeader(object, "X-Apple-Content-Length").empty()) {
    if (auto stored = ReadPartialAttachment(path)) {
      data = {std::move(stored->first), nullptr};
      std::string stored_name = SanitizeFileName(EnsureUtf8(stored->second));
      if (!named && !stored_name.empty()) name = stored_name;
    } else {
      ctx_.warnings->push_back("attachment not downloaded: " + name + " (part " + path + ")");
      *ctx_.attachments_missing = true;
    }
  }
  FillByValue(pending, name, std::move(data));
  if (!pending.content_id.empty()) {
    SetString(pending.attachment.props, tag::kAttachContentId, EnsureUtf8(pending.content_id));
  }
  if (!pending.content_location.empty()) {
    SetString(pending.attachment.props, tag::kAttachContentLocation,
              EnsureUtf8(pending.content_location));
  }
  if (type.starts_with("text/")) {
    std::string charset = TypeParam(object, "charset");
    if (!charset.empty()) {
      SetString(pending.attachment.props, tag::kTextAttachmentCharset, EnsureUtf8(charset));
    }
  }
  out.attachments.push_back(std::move(pending));
}

void Walker::AddRaw(GMimeObject* object, WalkResult& out, const std::string& warning) {
  if (!warning.empty()) ctx_.warnings->push_back(warning);
  std::string bytes = SerializeObject(object);
  PendingAttachment pending;
  pending.mime_type = MimeTypeOf(object);
  FillByValue(pending, GeneratedName(++counter_, "message/rfc822"),
              {Bytes(bytes.begin(), bytes.end()), nullptr});
  out.attachments.push_back(std::move(pending));
}

void Walker::AddMessageAttachment(mail::MessageContent content, WalkResult& out) {
  PendingAttachment pending;
  pending.mime_type = "message/rfc822";
  auto& props = pending.attachment.props;
  std::string subject;
  if (const auto* v = Find(content.props, tag::kSubject)) {
    subject = Utf16ToUtf8(std::get<std::u16string>(*v));
  }
  std::string display = subject.empty() ? "Untitled" : subject;
  SetInt(props, tag::kAttachMethod, kAttachEmbeddedMessage);
  SetString(props, tag::kDisplayName, display);
  SetString(props, tag::kAttachMimeTag, "message/rfc822");
  SetCommonAttachmentProps(props, attach_time_);
  pending.attachment.embedded = std::make_unique<mail::MessageContent>(std::move(content));
  out.attachments.push_back(std::move(pending));
}

bool Walker::AddEncodedMessage(const Bytes& data, WalkResult& out) {
  BorrowedStream stream(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  GObjectPtr<GMimeMessage> inner(
      g_mime_parser_construct_message(parser.get(), ctx_.parser_options));
  if (!inner) return false;
  std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
  RawMessage raw{bytes, std::string(bytes.substr(0, HeaderBlockLength(bytes))), nullptr,
                 raw_.file_time};
  AddMessageAttachment(MapMessage(inner.get(), raw, ctx_, message_depth_ + 1), out);
  return true;
}

void Walker::AddEmbedded(GMimeMessagePart* part, WalkResult& out) {
  GMimeMessage* inner = g_mime_message_part_get_message(part);
  std::string bytes = inner ? SerializeObject(GMIME_OBJECT(inner)) : "";
  if (inner == nullptr || message_depth_ + 1 >= kMaxMessageDepth || bytes.empty()) {
    if (inner != nullptr && message_depth_ + 1 >= kMaxMessageDepth) {
      ctx_.warnings->push_back("attached messages nested too deep; kept as a file");
    }
    PendingAttachment pending;
    pending.mime_type = "message/rfc822";
    std::string name =
        CopyString(g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "name"));
    if (name.empty() && inner != nullptr) {
      name = CleanSubject(CopyString(g_mime_message_get_subject(inner)));
      if (!name.empty()) name += ".eml";
    }
    name = SanitizeFileName(EnsureUtf8(name));
    if (name.empty()) name = GeneratedName(++counter_, "message/rfc822");
    FillByValue(pending, name, {Bytes(bytes.begin(), bytes.end()), nullptr});
    out.attachments.push_back(std::move(pending));
    return;
  }
  std::string_view view(bytes);
  std::string header_block = TakeGString(g_mime_object_get_headers(GMIME_OBJECT(inner), nullptr));
  RawMessage raw{view, header_block, nullptr, raw_.file_time};
  AddMessageAttachment(MapMessage(inner, raw, ctx_, message_depth_ + 1), out);
}

// ---------------------------------------------------------------------------------------------
// S/MIME, and the attachments placed against the body.

// The clear-signed entity exactly as in the source: its Content-Type (and transfer encoding)
// header lines, a blank line, then the body to the end of the message; line ends made CRLF.
std::string SignedEntity(const RawMessage& raw) {
  std::string_view block = raw.header_block;
  std::string headers;
  std::size_t pos = 0;
  bool keep = false;
  while (pos < block.size()) {
    std::size_t eol = block.find('\n', pos);
    std::size_t end = eol == std::string_view::npos ? block.size() : eol + 1;
    std::string_view line = block.substr(pos, end - pos);
    if (!line.empty() && line[0] != ' ' && line[0] != '\t') {
      std::string lower = Lower(line.substr(0, std::min<std::size_t>(line.size(), 26)));
      keep = lower.starts_with("content-type:") || lower.starts_with("content-transfer-encoding:");
    }
    if (keep) headers.append(line);
    pos = end;
  }
  std::size_t body = raw.header_block.size();
  std::string_view bytes = raw.bytes;
  if (body < bytes.size() && bytes[body] == '\r') ++body;
  if (body < bytes.size() && bytes[body] == '\n') ++body;
  std::string entity = ToCrlf(headers);
  if (!entity.ends_with("\r\n")) entity += "\r\n";
  entity += "\r\n";
  entity += ToCrlf(bytes.substr(std::min(body, bytes.size())));
  return entity;
}

// The S/MIME body as Outlook keeps it: one visible attachment "smime.p7m" of the given type.
PendingAttachment SmimeBlob(const char* mime_type, PartContent content) {
  PendingAttachment blob;
  blob.mime_type = mime_type;
  auto& ap = blob.attachment.props;
  SetInt(ap, tag::kAttachMethod, kAttachByValue);
  SetString(ap, tag::kAttachLongFilename, "smime.p7m");
  SetString(ap, tag::kAttachFilename, "smime.p7m");
  SetString(ap, tag::kAttachExtension, ".p7m");
  SetString(ap, tag::kDisplayName, "smime.p7m");
  SetString(ap, tag::kAttachMimeTag, mime_type);
  SetInt(ap, tag::kAttachFlags, 0);
  SetBool(ap, tag::kAttachmentHidden, false);
  SetInt(ap, tag::kRenderingPosition, -1);
  SetInt(ap, tag::kObjectType, 7);
  blob.attachment.data = std::move(content.data);
  blob.attachment.source = std::move(content.source);
  return blob;
}

// Parts the HTML shows are rendered in the body; hidden when they are pictures. The cid:
// references are collected once so that many parts and a large page stay linear. Visible
// attachments come first, then the hidden ones, numbered in that order.
void PlaceAttachments(std::vector<PendingAttachment>& attachments,
                      const std::optional<std::string>& html, mail::MessageContent& content) {
  std::string html_lower = html ? Lower(*html) : "";
  std::set<std::string> cids = ReferencedContentIds(html_lower);
  std::vector<PendingAttachment> visible;
  std::vector<PendingAttachment> hidden;
  int location_checks = 0;
  for (PendingAttachment& p : attachments) {
    bool referenced = false;
    if (!html_lower.empty() && p.attachment.embedded == nullptr) {
      if (!p.content_id.empty()) referenced = cids.count(Lower(p.content_id)) > 0;
      if (!referenced && !p.content_location.empty() && ++location_checks <= 256) {
        referenced = html_lower.find(Lower(p.content_location)) != std::string::npos;
      }
    }
    if (referenced) {
      SetInt(p.attachment.props, tag::kAttachFlags, kAttRenderedInBody);
      if (IsHiddenInlineType(p.mime_type)) {
        SetBool(p.attachment.props, tag::kAttachmentHidden, true);
        hidden.push_back(std::move(p));
        continue;
      }
    }
    visible.push_back(std::move(p));
  }
  std::int32_t number = 0;
  for (auto* group : {&visible, &hidden}) {
    for (PendingAttachment& p : *group) {
      auto& ap = p.attachment.props;
      SetInt(ap, tag::kAttachNum, number++);
      std::size_t inner = p.attachment.embedded ? ApproxSize(p.attachment.embedded->props) : 0;
      SetInt(ap, tag::kAttachSize,
             ClampInt32(p.attachment.data_size() + inner + ApproxSize(ap) + 8));
      content.attachments.push_back(std::move(p.attachment));
    }
  }
}

}  // namespace mime::detail
