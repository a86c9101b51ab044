// What the importer's own files share, and nothing outside src/mime/ sees: the state of one
// import (ImportContext), a message as it was read (RawMessage), what the walk over a message's
// MIME tree collects (body segments, pending attachments) and the Walker itself, the property
// bag, text and GMime helpers every step uses, and the steps MapMessage is assembled from.
// Everything here lives in mime::detail; the public interface is importer.h.
#pragma once

#include <gmime/gmime.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/message.h"
#include "base/tags.h"
#include "mime/emlx.h"
#include "mime/gmime_ptr.h"
#include "mime/importer.h"
#include "mime/mapi_codec.h"
#include "mime/text_codec.h"

namespace mime::detail {

using mail::Bytes;
using mail::PropTag;
namespace tag = mail::tag;

// ---------------------------------------------------------------------------------------------
// Property bag helpers.

using mail::SetProperty;

inline void SetString(std::vector<mail::Property>& props, PropTag tag, std::string_view utf8) {
  SetProperty(props, tag, Utf8ToUtf16(utf8));
}
inline void SetInt(std::vector<mail::Property>& props, PropTag tag, std::int32_t v) {
  SetProperty(props, tag, v);
}
inline void SetBool(std::vector<mail::Property>& props, PropTag tag, bool v) {
  SetProperty(props, tag, v);
}
inline void SetTime(std::vector<mail::Property>& props, PropTag tag, std::int64_t unix_seconds) {
  SetProperty(props, tag, UnixToFileTime(unix_seconds));
}
inline void SetBinary(std::vector<mail::Property>& props, PropTag tag, Bytes v) {
  SetProperty(props, tag, std::move(v));
}

inline const mail::PropValue* Find(const std::vector<mail::Property>& props, PropTag tag) {
  return mail::FindProperty(props, tag);
}

std::size_t ApproxSize(const mail::PropValue& v);
std::size_t ApproxSize(const std::vector<mail::Property>& props);

inline std::int32_t ClampInt32(std::size_t n) {
  return static_cast<std::int32_t>(std::min<std::size_t>(n, 0x7FFFFFFF));
}

// ---------------------------------------------------------------------------------------------
// Small text helpers.

std::string Lower(std::string_view s);

inline bool EqualsCaseless(std::string_view a, std::string_view b) {
  return a.size() == b.size() && Lower(a) == Lower(b);
}

std::string Trim(std::string_view s);

// Unfolds a raw header value and makes every control character one space.
std::string Unfold(std::string_view raw);

// Control characters made blanks, trimmed, and cut to a sane length on a character boundary.
std::string CleanSubject(std::string_view decoded);

// A path as UTF-8 on every platform (path::string() throws on Windows for names outside the
// ANSI code page).
std::string PathToUtf8(const std::filesystem::path& path);

inline std::string CopyString(const char* s) {
  return s == nullptr ? std::string() : std::string(s);
}

// A newly allocated GLib string as a std::string; frees it.
std::string TakeGString(char* s);

// Whether a date (seconds since 1970 UTC) can be the message's: not before 1980, and not more
// than a day after the import clock.
bool IsPlausible(std::int64_t t, std::int64_t now);

Bytes Md5(std::string_view data);
// A message's search key: 16 bytes from its raw bytes, the same for every copy of a file.
Bytes ContentKey(std::string_view data);

// ---------------------------------------------------------------------------------------------
// GMime streams, parts and headers.

// A memory stream that reads `bytes` where they are: GMime's own constructor copies them, and
// for a message with a large attachment that copy costs as much as the parse. Nothing writes
// to a stream the parser reads, so the buffer is never changed or grown. The bytes must
// outlive the stream and every object parsed from it (their content streams are windows on
// the same buffer): declare this before the parser and the parsed message.
class BorrowedStream {
 public:
  // A GByteArray holds at most 4 GiB - 1 bytes; files are refused long before that.
  explicit BorrowedStream(std::string_view bytes)
      : array_(g_byte_array_new_take(reinterpret_cast<guint8*>(const_cast<char*>(bytes.data())),
                                     std::min<std::size_t>(bytes.size(), G_MAXUINT))),
        stream_(g_mime_stream_mem_new_with_byte_array(array_)) {
    g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(stream_.get()), FALSE);
  }
  BorrowedStream(const BorrowedStream&) = delete;
  BorrowedStream& operator=(const BorrowedStream&) = delete;
  ~BorrowedStream() {
    stream_.reset();
    g_byte_array_free(array_, FALSE);  // the wrapper only; the bytes belong to the caller
  }

  GMimeStream* get() const { return stream_.get(); }

 private:
  GByteArray* array_;
  GObjectPtr<GMimeStream> stream_;
};

// The bytes a memory stream (or a window on one, as every content stream the parser makes
// is) reads from its start, without copying them. nullopt for any other kind of stream.
std::optional<std::string_view> MemoryWindow(GMimeStream* stream);

// A part's content, decoded whole.
Bytes DecodedContent(GMimePart* part);

std::string MimeTypeOf(GMimeObject* object);
std::string TypeParam(GMimeObject* object, const char* name);
bool IsAttachmentDisposition(GMimeObject* object);
bool IsInlineDisposition(GMimeObject* object);  // stated, and not "attachment"
std::string RawHeader(GMimeObject* object, const char* name);

// Length of the header block at the start of a message: up to and including the line end of
// the last header line (the blank line is not included).
std::size_t HeaderBlockLength(std::string_view message);

struct ParserOptionsDeleter {
  void operator()(GMimeParserOptions* o) const { g_mime_parser_options_free(o); }
};
using ParserOptionsPtr = std::unique_ptr<GMimeParserOptions, ParserOptionsDeleter>;

// ---------------------------------------------------------------------------------------------
// One import, and what the walk over a message's MIME tree collects.

struct BodySegment {
  std::optional<std::string> plain;  // UTF-8
  std::optional<std::string> html;   // UTF-8
  std::string plain_charset;
};

struct PendingAttachment {
  mail::Attachment attachment;
  std::string content_id;  // without angle brackets
  std::string content_location;
  std::string mime_type;
};

struct WalkResult {
  std::vector<BodySegment> segments;
  std::vector<PendingAttachment> attachments;
};

struct ImportContext {
  const ImportOptions* options = nullptr;
  GMimeParserOptions* parser_options = nullptr;
  std::vector<std::string>* warnings = nullptr;
  std::vector<std::string>* notes = nullptr;  // see ImportedMessage::notes
  bool* attachments_missing = nullptr;
  // The top-level message's state (see ImportedMessage::state) and its Date, when it has one.
  mail::MessageState* state = nullptr;
  std::optional<std::int64_t> date;
  std::filesystem::path mailbox;       // the folder above the message's own folder
  std::filesystem::path partial_root;  // <mailbox>/Attachments/<N>, when it may exist
  // The bytes the parser reads and what holds them, when attachments may be read from them
  // when the message is written; null when everything is decoded now.
  std::shared_ptr<const void> owner;
  std::string_view owned;
  // Encoded bytes of attachment content still to be decoded now, on the reading thread.
  std::uint64_t decode_now_left = 0;
};

// Adds a note for the user, once however often it applies to the file.
void Note(ImportContext& ctx, std::string note);

// An attachment's content: decoded, or a source that decodes it when it is read.
struct PartContent {
  Bytes data;
  std::shared_ptr<const mail::ContentSource> source;
  std::uint64_t size() const { return source ? source->size() : data.size(); }
};

struct RawMessage {
  std::string_view bytes;    // the message as it was parsed (or re-serialised)
  std::string header_block;  // raw top-level header block
  const EmlxMetadata* emlx = nullptr;
  std::optional<std::int64_t> file_time;
  bool recipient_lines_hidden = false;  // parsed from HideRecipientLines' copy
};

// The walk over a message's MIME tree: text parts that make the body become segments,
// everything else becomes pending attachments. The body side is in body_walk.cc, the
// attachment side in attachments.cc, Apple Mail's partial parts in emlx_mapping.cc.
class Walker {
 public:
  Walker(ImportContext& ctx, const RawMessage& raw, int message_depth, std::int64_t attach_time)
      : ctx_(ctx), raw_(raw), message_depth_(message_depth), attach_time_(attach_time) {}

  // path: the IMAP part number of `object` ("" for a top-level multipart).
  void Walk(GMimeObject* object, const std::string& path, int depth, bool top_single,
            WalkResult& out);

  int counter() const { return counter_; }

  // A merged body of several segments as one segment (an aggregate HTML body when any
  // segment has HTML).
  static BodySegment MergeSegments(std::vector<BodySegment> segments);

 private:
  static std::string ChildPath(const std::string& path, int index) {
    return (path.empty() ? "" : path + ".") + std::to_string(index + 1);
  }

  // Multiparts and the body.
  void WalkMultipart(GMimeMultipart* multipart, const std::string& path, int depth,
                     WalkResult& out);
  void WalkAlternative(GMimeMultipart* multipart, const std::string& path, int depth,
                       WalkResult& out);
  void WalkRelated(GMimeMultipart* multipart, const std::string& path, int depth, WalkResult& out);
  void RecoverBoundaryless(GMimeMultipart* multipart, const std::string& path, int depth,
                           WalkResult& out);

  // Attachments and attached messages.
  std::string TakeUuencoded(std::string text, WalkResult& out);
  std::string AttachmentName(GMimeObject* object, const std::string& type);
  void FillByValue(PendingAttachment& pending, const std::string& name, PartContent content);
  void AddPart(GMimePart* part, const std::string& path, WalkResult& out);
  void AddRaw(GMimeObject* object, WalkResult& out, const std::string& warning);
  void AddMessageAttachment(mail::MessageContent content, WalkResult& out);
  bool AddEncodedMessage(const Bytes& data, WalkResult& out);
  void AddEmbedded(GMimeMessagePart* part, WalkResult& out);

  // Apple Mail's partial messages.
  bool ApplePartMissing(GMimeObject* object);
  std::optional<std::pair<Bytes, std::string>> ReadPartialAttachment(const std::string& path);

  ImportContext& ctx_;
  const RawMessage& raw_;
  int message_depth_;
  std::int64_t attach_time_;
  int counter_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The steps of a message's mapping, each in the file of its concern.

// importer.cc: one parsed message (and the messages attached to it, recursively).
mail::MessageContent MapMessage(GMimeMessage* message, const RawMessage& raw, ImportContext& ctx,
                                int message_depth);

// header_fields.cc
struct HeaderValues {
  std::vector<std::pair<std::string, GMimeHeader*>> all;  // lower-case name, header

  GMimeHeader* First(std::string_view lower_name) const {
    for (const auto& [name, h] : all)
      if (name == lower_name) return h;
    return nullptr;
  }
  std::vector<GMimeHeader*> Each(std::string_view lower_name) const {
    std::vector<GMimeHeader*> out;
    for (const auto& [name, h] : all)
      if (name == lower_name) out.push_back(h);
    return out;
  }
  std::string RawFirst(std::string_view lower_name) const {
    GMimeHeader* h = First(lower_name);
    return h ? CopyString(g_mime_header_get_raw_value(h)) : "";
  }
};

struct MessageTimes {
  std::int64_t submit = 0;
  std::int64_t delivery = 0;
  std::optional<std::int64_t> date;  // the Date header's, when it could be read
};

// The object's headers in order, each under its lower-case name.
HeaderValues CollectHeaders(GMimeObject* object);
void MapSubject(const HeaderValues& headers, const std::string& hint,
                std::vector<mail::Property>& props);
// The submit and delivery times (also creation and modification) and the reply-by time.
MessageTimes MapDates(const HeaderValues& headers, const RawMessage& raw, ImportContext& ctx,
                      std::vector<mail::Property>& props);
void MapThreading(const HeaderValues& headers, std::int64_t submit,
                  std::vector<mail::Property>& props);
void MapMarkingsAndTransportHeaders(const HeaderValues& headers, std::string_view header_block,
                                    std::vector<mail::Property>& props);
// IPM.Note, or one of the S/MIME classes by the top part's type.
std::string MessageClassFor(GMimeObject* top);

// addresses.cc
std::string HideRecipientLines(std::string_view message, std::size_t header_length);
std::vector<std::pair<std::int32_t, std::string>> TakeRecipientLines(GMimeMessage* message,
                                                                     bool hidden);
// The sender and the one it was sent for (From, Sender, Return-Path) and the Reply-To list.
void MapOriginators(const HeaderValues& headers, GMimeParserOptions* address_options,
                    std::vector<mail::Property>& props);
// The recipients and the To, Cc and Bcc display lines; empties each line once it is read.
void MapRecipients(std::vector<std::pair<std::int32_t, std::string>>& recipient_lines,
                   GMimeParserOptions* address_options, mail::MessageContent& content);

// body_walk.cc
std::string BodyCharsetHint(GMimeObject* object, int depth);
ParserOptionsPtr NewParserOptions(const std::string& hint);
void MapBody(const BodySegment& body, std::vector<mail::Property>& props);

// attachments.cc
// Whether the part carries a file name, including one GMime dropped with a bad Content-Type.
bool HasName(GMimeObject* object);
PartContent AttachmentContent(GMimePart* part, ImportContext& ctx);
std::string SignedEntity(const RawMessage& raw);
PendingAttachment SmimeBlob(const char* mime_type, PartContent content);
// Marks what the HTML body shows as rendered in it (pictures hidden), numbers the attachments
// and adds them to the message.
void PlaceAttachments(std::vector<PendingAttachment>& attachments,
                      const std::optional<std::string>& html, mail::MessageContent& content);

// emlx_mapping.cc
// Sets ctx.mailbox and ctx.partial_root for a message file in an Apple Mail mailbox.
void FindPartialAttachmentFolder(const std::filesystem::path& source_path, ImportContext& ctx);
// A property-list date, when it is plausible.
std::optional<std::int64_t> EmlxTime(const std::optional<double>& v, std::int64_t now);
// The verb and flag Apple Mail's flags call for; returns the icon index.
std::int32_t MapEmlxFlags(const EmlxMetadata* emlx, std::vector<mail::Property>& props);

// mail_state.cc
// The user's handling of the message, from Apple Mail's flags or the message's headers.
mail::MessageState MessageStateOf(const HeaderValues& headers, const EmlxMetadata* emlx);

// damaged_input.cc
std::string_view NormalizeCrOnly(std::string_view message, std::string& storage);
// The message with its header block repaired, or "" when it needs no repair. Sets
// *separated when lines that are not headers followed the last header with no blank line
// between: a blank line is put before them, and they begin the body.
std::string RepairHeaderBlock(std::string_view message, bool* separated);
// The message from its first header line on, when that line is indented (a header block
// that begins with white space); the message itself otherwise.
std::string_view UnindentFirstHeader(std::string_view message);
bool LooksLikeHeaderLine(std::string_view message);
// The message with every Content-Type or Content-Transfer-Encoding header after the first of
// its kind renamed in the first header block that repeats one, so that the parser reads the
// first, as mail readers do; "" when no header block repeats one. Parse the result and call
// again for the next block.
std::string HideRepeatedReadingHeaders(GMimeMessage* parsed, std::string_view message);
mail::MessageContent MapRawFallback(std::string_view bytes, ImportContext& ctx);

}  // namespace mime::detail
