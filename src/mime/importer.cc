// The importer's entry points and the mapping of one parsed message. ImportMessageBytes frames
// the file (.emlx or plain), straightens damaged input, hides long recipient lines from GMime,
// parses, and hands the message to MapMessage, which assembles its properties, recipients and
// attachments from the steps in the other files of this folder (see importer_internal.h).
#include "mime/importer.h"

#include <gmime/gmime.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/importer_internal.h"
#include "mime/message_file.h"

namespace mime {
namespace detail {
namespace {

// The walk over the message's top part. A clear-signed message keeps its signed entity whole as
// the S/MIME blob and takes its body from the signed content; an opaque S/MIME message is the
// blob alone.
WalkResult WalkTopPart(GMimeObject* top, const std::string& message_class, const RawMessage& raw,
                       ImportContext& ctx, Walker& walker, int message_depth) {
  WalkResult walk;
  if (message_class == "IPM.Note.SMIME.MultipartSigned" && raw.header_block.size() > 0 &&
      message_depth == 0) {
    GMimeObject* signed_content = g_mime_multipart_get_count(GMIME_MULTIPART(top)) > 0
                                      ? g_mime_multipart_get_part(GMIME_MULTIPART(top), 0)
                                      : nullptr;
    WalkResult inner;
    if (signed_content != nullptr) walker.Walk(signed_content, "1", 1, true, inner);
    walk.segments = std::move(inner.segments);
    std::string entity = SignedEntity(raw);
    walk.attachments.push_back(
        SmimeBlob("multipart/signed", {Bytes(entity.begin(), entity.end()), nullptr}));
  } else if (message_class == "IPM.Note.SMIME" && GMIME_IS_PART(top)) {
    walk.attachments.push_back(
        SmimeBlob("application/pkcs7-mime", AttachmentContent(GMIME_PART(top), ctx)));
  } else if (top != nullptr) {
    bool single = !GMIME_IS_MULTIPART(top);
    walker.Walk(top, single ? "1" : "", 0, single, walk);
  }
  return walk;
}

// Bookkeeping: the icon (after Apple Mail's flags), status, size, search key and message flags.
void MapBookkeeping(const RawMessage& raw, mail::MessageContent& content) {
  auto& props = content.props;
  std::int32_t icon = MapEmlxFlags(raw.emlx, props);
  SetInt(props, tag::kIconIndex, icon);
  SetInt(props, tag::kMessageStatus, 0);
  SetInt(props, tag::kMessageSize, ClampInt32(raw.bytes.size()));
  SetBinary(props, tag::kSearchKey, ContentKey(raw.bytes));
  SetInt(props, tag::kMessageFlags, mail::StoredMessageFlags(content));
}

}  // namespace

mail::MessageContent MapMessage(GMimeMessage* message, const RawMessage& raw, ImportContext& ctx,
                                int message_depth) {
  mail::MessageContent content;
  const std::string hint = BodyCharsetHint(g_mime_message_get_mime_part(message), 0);
  ParserOptionsPtr address_options = NewParserOptions(hint);
  auto& props = content.props;
  std::vector<std::pair<std::int32_t, std::string>> recipient_lines =
      TakeRecipientLines(message, raw.recipient_lines_hidden);
  HeaderValues headers = CollectHeaders(GMIME_OBJECT(message));

  MapSubject(headers, hint, props);
  MapOriginators(headers, address_options.get(), props);
  MapRecipients(recipient_lines, address_options.get(), content);
  const MessageTimes times = MapDates(headers, raw, ctx, props);
  MapThreading(headers, times.submit, props);
  MapMarkingsAndTransportHeaders(headers, raw.header_block, props);

  // Body and attachments.
  GMimeObject* top = g_mime_message_get_mime_part(message);
  std::string message_class = MessageClassFor(top);
  SetString(props, tag::kMessageClass, message_class);
  Walker walker(ctx, raw, message_depth, times.delivery);
  WalkResult walk = WalkTopPart(top, message_class, raw, ctx, walker, message_depth);

  BodySegment body = Walker::MergeSegments(std::move(walk.segments));
  MapBody(body, props);
  PlaceAttachments(walk.attachments, body.html, content);
  MapBookkeeping(raw, content);
  if (message_depth == 0) {
    if (ctx.state != nullptr) *ctx.state = MessageStateOf(headers, raw.emlx);
    ctx.date = times.date;
  }
  return content;
}

namespace {

void InitGMimeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

// Attachments may be read from the bytes the parser reads later on, so whatever holds
// those is shared with them: the caller's file, or a corrected copy of it. A message may be
// corrected more than once (line ends, header block, hidden recipient lines), and the mapping
// still reads the earlier copies (the header block, the bytes of the search key, the raw
// fallback), so every copy stays until the import returns; only the last is shared.
class SharedBytes {
 public:
  explicit SharedBytes(std::shared_ptr<const void> owner) : owner_(std::move(owner)) {}

  const std::shared_ptr<const void>& owner() const { return owner_; }

  // Moves `copy` into a shared buffer that from now on stands for the bytes to share.
  std::string_view Hold(std::string& copy) {
    auto held = std::make_shared<const std::string>(std::move(copy));
    copies_.push_back(held);
    owner_ = held;
    return std::string_view(*held);
  }

 private:
  std::shared_ptr<const void> owner_;
  std::vector<std::shared_ptr<const std::string>> copies_;  // every copy Hold made
};

// Parses a message that starts with a header line and maps it: its header block repaired when
// a parser would cut it short, long recipient lines hidden from GMime. A message GMime finds
// nothing in is mapped as the raw fallback.
mail::MessageContent ParseAndMap(std::string_view message, std::size_t header_length,
                                 const MessageFrame& frame, SharedBytes& shared,
                                 ImportContext& ctx) {
  const ImportOptions& options = *ctx.options;
  bool separated = false;
  std::string repaired = RepairHeaderBlock(message, &separated);
  if (separated) {
    Note(ctx, "header block repaired: no blank line after the headers; the body was taken to "
              "begin at the first line that is not a header");
  }
  const bool was_repaired = !repaired.empty();  // Hold below moves the copy out
  std::string_view to_parse = was_repaired ? std::string_view(repaired) : message;
  if (shared.owner() && was_repaired) to_parse = shared.Hold(repaired);
  std::string hidden = HideRecipientLines(to_parse, HeaderBlockLength(to_parse));
  std::string_view gmime_view = to_parse;
  if (!hidden.empty()) gmime_view = shared.owner() ? shared.Hold(hidden) : std::string_view(hidden);
  if (shared.owner()) {
    ctx.owner = shared.owner();
    ctx.owned = gmime_view;
    ctx.decode_now_left = options.decode_now_bytes;
  }
  BorrowedStream stream(gmime_view);
  GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  GObjectPtr<GMimeMessage> parsed(
      g_mime_parser_construct_message(parser.get(), ctx.parser_options));
  if (!parsed) return MapRawFallback(message, ctx);
  // Streams the corrected copies are parsed from; they outlive the parts read from them.
  std::vector<std::unique_ptr<BorrowedStream>> reparsed_from;
  std::deque<std::string> kept;  // corrected copies when nothing else holds them
  constexpr int kMostHeaderBlocksRepaired = 8;
  for (int round = 0; round < kMostHeaderBlocksRepaired; ++round) {
    std::string renamed = HideRepeatedReadingHeaders(parsed.get(), gmime_view);
    if (renamed.empty()) break;
    if (round == 0) {
      Note(ctx, "a part has two Content-Type or Content-Transfer-Encoding headers; the first "
                "was used");
    }
    gmime_view = shared.owner() ? shared.Hold(renamed)
                                : std::string_view(kept.emplace_back(std::move(renamed)));
    if (shared.owner()) ctx.owned = gmime_view;
    auto& stream_again = *reparsed_from.emplace_back(std::make_unique<BorrowedStream>(gmime_view));
    GObjectPtr<GMimeParser> reparser(g_mime_parser_new_with_stream(stream_again.get()));
    g_mime_parser_set_format(reparser.get(), GMIME_FORMAT_MESSAGE);
    GObjectPtr<GMimeMessage> again(
        g_mime_parser_construct_message(reparser.get(), ctx.parser_options));
    if (!again) break;
    parsed = std::move(again);
  }
  // Both views agree except for the repaired lines; the header block follows the parsed one.
  std::size_t parsed_header_length = was_repaired ? HeaderBlockLength(to_parse) : header_length;
  RawMessage raw{to_parse, std::string(to_parse.substr(0, parsed_header_length)), &frame.metadata,
                 options.file_time};
  if (!frame.emlx) raw.emlx = nullptr;
  raw.recipient_lines_hidden = gmime_view.data() != to_parse.data();
  return MapMessage(parsed.get(), raw, ctx, 0);
}

}  // namespace
}  // namespace detail

wharfline::Result<ImportedMessage> ImportMessageBytes(std::span<const std::byte> file,
                                                      const ImportOptions& options) {
  using namespace detail;  // the steps of an import
  if (file.empty()) return wharfline::Status::InvalidArgument("empty message file");
  InitGMimeOnce();
  KeepCommonConvertersLoaded();
  ImportedMessage result;
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(file.data()),
                                      file.size());
  MessageFrame frame = FrameMessage(bytes);
  result.warnings = frame.warnings;
  std::span<const std::uint8_t> window = bytes.subspan(frame.offset, frame.length);
  window = window.subspan(SkipPreamble(window));
  std::string cr_storage;
  std::string_view message = NormalizeCrOnly(
      std::string_view(reinterpret_cast<const char*>(window.data()), window.size()), cr_storage);
  SharedBytes shared(options.file_owner);
  if (shared.owner() && !cr_storage.empty()) message = shared.Hold(cr_storage);

  ImportContext ctx;
  ctx.options = &options;
  ctx.warnings = &result.warnings;
  ctx.notes = &result.notes;
  ctx.attachments_missing = &result.attachments_missing;
  ctx.state = &result.state;
  // Apple Mail's flags, for a file with no readable headers too; a parsed message's own
  // mapping settles them again with its headers.
  if (frame.emlx) result.state = MessageStateOf(HeaderValues{}, &frame.metadata);
  FindPartialAttachmentFolder(options.source_path, ctx);

  ParserOptionsPtr parser_options = NewParserOptions("");
  ctx.parser_options = parser_options.get();

  if (std::string_view unindented = UnindentFirstHeader(message);
      unindented.size() != message.size()) {
    message = unindented;
    Note(ctx, "header block repaired: the first header line was indented");
  }
  std::size_t header_length = HeaderBlockLength(message);
  if (message.empty() || header_length == 0 || !LooksLikeHeaderLine(message)) {
    result.content = MapRawFallback(
        message.empty()
            ? std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())
            : message,
        ctx);
  } else {
    result.content = ParseAndMap(message, header_length, frame, shared, ctx);
  }
  result.header_date = ctx.date;
  return result;
}

wharfline::Result<ImportedMessage> ImportMessageFile(const std::filesystem::path& path,
                                                     std::int64_t now) {
  wharfline::Result<MessageFileBytes> file = ReadMessageFileBytes(path);
  if (!file) return file.error();
  auto bytes = std::make_shared<const MessageFileBytes>(std::move(*file));
  ImportOptions options;
  options.source_path = path;
  options.file_time = bytes->mtime;
  options.now = now;
  options.file_owner = bytes;
  auto result = ImportMessageBytes(bytes->bytes(), options);
  if (!result.has_value()) {
    return wharfline::Status::InvalidArgument(detail::PathToUtf8(path), result.error().message());
  }
  return result;
}

}  // namespace mime
