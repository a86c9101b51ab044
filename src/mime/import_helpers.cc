// The small helpers every step of the import shares: sizes of property values, ASCII case and
// blank handling, dates, digests, and access to GMime's streams, parts and headers
// (content read in place or decoded, a part's type, parameters and raw header lines).
#include <gmime/gmime.h>
#include <xxhash.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "mime/importer_internal.h"
#include "mime/part_content.h"

namespace mime::detail {
namespace {

constexpr std::size_t kMaxSubjectBytes = 64 * 1024;
constexpr std::int64_t kEarliestPlausible = 315532800;  // 1980-01-01 00:00:00 UTC

Bytes StreamBytes(GMimeStream* stream) {
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
  if (array == nullptr || array->len == 0) return {};
  return Bytes(array->data, array->data + array->len);
}

// The content as it is stored in the message (still encoded).
Bytes EncodedContent(GMimeDataWrapper* content) {
  GMimeStream* encoded = g_mime_data_wrapper_get_stream(content);
  if (encoded == nullptr) return {};
  if (auto window = MemoryWindow(encoded)) return Bytes(window->begin(), window->end());
  GObjectPtr<GMimeStream> mem(g_mime_stream_mem_new());
  g_mime_stream_reset(encoded);
  g_mime_stream_write_to_stream(encoded, mem.get());
  g_mime_stream_reset(encoded);
  return StreamBytes(mem.get());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Property bag helpers.

std::size_t ApproxSize(const mail::PropValue& v) {
  return std::visit(
      [](const auto& x) -> std::size_t {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::u16string>) {
          return x.size() * 2 + 2;
        } else if constexpr (std::is_same_v<T, Bytes>) {
          return x.size();
        } else if constexpr (std::is_same_v<T, std::vector<std::u16string>> ||
                             std::is_same_v<T, std::vector<Bytes>> ||
                             std::is_same_v<T, std::vector<std::int32_t>>) {
          return x.size() * 8;
        } else {
          return 8;
        }
      },
      v);
}

std::size_t ApproxSize(const std::vector<mail::Property>& props) {
  std::size_t n = 0;
  for (const mail::Property& p : props) n += 8 + ApproxSize(p.value);
  return n;
}

void Note(ImportContext& ctx, std::string note) {
  if (ctx.notes == nullptr) return;
  if (std::find(ctx.notes->begin(), ctx.notes->end(), note) == ctx.notes->end()) {
    ctx.notes->push_back(std::move(note));
  }
}

// ---------------------------------------------------------------------------------------------
// Small text helpers.

std::string Lower(std::string_view s) { return mail::ToLowerAscii(s); }

std::string Trim(std::string_view s) {
  const char* ws = " \t\r\n";
  std::size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return "";
  std::size_t e = s.find_last_not_of(ws);
  return std::string(s.substr(b, e - b + 1));
}

// Unfolds a raw header value and makes every control character one space.
std::string Unfold(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (char c : raw) {
    if (c == '\r' || c == '\n') continue;
    out += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
  }
  return Trim(out);
}

std::string CleanSubject(std::string_view decoded) {
  std::string out;
  for (char c : decoded) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
  out = Trim(out);
  if (out.size() > kMaxSubjectBytes) {
    out.resize(kMaxSubjectBytes);
    while (!out.empty() && !IsValidUtf8(out)) out.pop_back();
  }
  return out;
}

// A path as UTF-8 on every platform (path::string() throws on Windows for names outside the
// ANSI code page).
std::string PathToUtf8(const std::filesystem::path& path) {
  std::u8string u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

std::string TakeGString(char* s) {
  GCharPtr owned(s);
  return CopyString(owned.get());
}

bool IsPlausible(std::int64_t t, std::int64_t now) {
  return t >= kEarliestPlausible && t <= now + 86400;
}

Bytes Md5(std::string_view data) {
  GChecksum* sum = g_checksum_new(G_CHECKSUM_MD5);
  g_checksum_update(sum, reinterpret_cast<const guchar*>(data.data()),
                    static_cast<gssize>(data.size()));
  Bytes digest(16);
  gsize len = digest.size();
  g_checksum_get_digest(sum, digest.data(), &len);
  g_checksum_free(sum);
  return digest;
}

Bytes ContentKey(std::string_view data) {
  // XXH3's 128-bit hash reads at memory speed, where MD5 takes a third of the time of a
  // message with a large attachment; copies of a file still share their key, and an
  // accidental match between two different files is as unlikely as with MD5.
  const XXH128_hash_t hash = XXH3_128bits(data.data(), data.size());
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, hash);
  return Bytes(canonical.digest, canonical.digest + sizeof canonical.digest);
}

// ---------------------------------------------------------------------------------------------
// GMime streams, parts and headers.

// The bytes a memory stream (or a window on one, as every content stream the parser makes
// is) reads from its start, without copying them. nullopt for any other kind of stream.
std::optional<std::string_view> MemoryWindow(GMimeStream* stream) {
  if (stream == nullptr || !GMIME_IS_STREAM_MEM(stream)) return std::nullopt;
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
  if (array == nullptr) return std::nullopt;
  gint64 length = array->len;
  gint64 start = stream->bound_start;
  gint64 end = stream->bound_end == -1 ? length : stream->bound_end;
  if (start < 0 || start > end || end > length) return std::nullopt;
  if (start == end) return std::string_view();
  return std::string_view(reinterpret_cast<const char*>(array->data) + start,
                          static_cast<std::size_t>(end - start));
}

Bytes DecodedContent(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return {};
  GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
  std::optional<std::string_view> window = MemoryWindow(g_mime_data_wrapper_get_stream(content));
  if (window && IsWindowDecodable(encoding)) return DecodeWindow(*window, encoding);
  // Uuencoded content (GMime's filter finds the begin line) and streams not in memory.
  GObjectPtr<GMimeStream> mem(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(content, mem.get());
  Bytes bytes = StreamBytes(mem.get());
  if (encoding == GMIME_CONTENT_ENCODING_DEFAULT || encoding == GMIME_CONTENT_ENCODING_7BIT ||
      encoding == GMIME_CONTENT_ENCODING_8BIT || encoding == GMIME_CONTENT_ENCODING_BINARY) {
    // Unencoded content ends before the CRLF that belongs to the next boundary; GMime
    // leaves the CR of that pair behind.
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
  }
  if (encoding == GMIME_CONTENT_ENCODING_BASE64 && bytes.size() % 3 == 0) {
    Bytes text = EncodedContent(content);
    AppendUnpaddedBase64Tail(
        std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), bytes);
  }
  return bytes;
}

std::string MimeTypeOf(GMimeObject* object) {
  // A Content-Type without a subtype is not one; such a part is plain text.
  std::string raw = RawHeader(object, "Content-Type");
  std::string token = raw.substr(0, raw.find(';'));
  if (!raw.empty() && token.find('/') == std::string::npos) return "text/plain";
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (type == nullptr) return "application/octet-stream";
  return Lower(TakeGString(g_mime_content_type_get_mime_type(type)));
}

std::string TypeParam(GMimeObject* object, const char* name) {
  return CopyString(g_mime_object_get_content_type_parameter(object, name));
}

bool IsInlineDisposition(GMimeObject* object) {
  GMimeContentDisposition* d = g_mime_object_get_content_disposition(object);
  return d != nullptr && !g_mime_content_disposition_is_attachment(d);
}

bool IsAttachmentDisposition(GMimeObject* object) {
  GMimeContentDisposition* d = g_mime_object_get_content_disposition(object);
  return d != nullptr && g_mime_content_disposition_is_attachment(d);
}

std::string RawHeader(GMimeObject* object, const char* name) {
  GMimeHeaderList* list = g_mime_object_get_header_list(object);
  if (list == nullptr) return "";
  GMimeHeader* h = g_mime_header_list_get_header(list, name);
  if (h == nullptr) return "";
  return CopyString(g_mime_header_get_raw_value(h));
}

// Length of the header block at the start of a message: up to and including the line end of
// the last header line (the blank line is not included).
std::size_t HeaderBlockLength(std::string_view message) {
  std::size_t pos = 0;
  while (pos < message.size()) {
    std::size_t eol = message.find('\n', pos);
    std::size_t end = eol == std::string_view::npos ? message.size() : eol;
    std::string_view line = message.substr(pos, end - pos);
    if (line.empty() || line == "\r") return pos;
    if (eol == std::string_view::npos) return message.size();
    pos = eol + 1;
  }
  return pos;
}

}  // namespace mime::detail
