#include "mime/importer.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

#include "base/tags.h"
#include "mime/emlx.h"
#include "mime/gmime_ptr.h"
#include "mime/mapi_codec.h"
#include "mime/message_file.h"
#include "mime/part_content.h"
#include "mime/text_codec.h"

namespace mime {
namespace {

using mail::Bytes;
using mail::PropTag;
namespace tag = mail::tag;
using mail::kAttachByValue;
using mail::kAttachEmbeddedMessage;
using mail::kAttRenderedInBody;
using mail::kMsgFlagHasAttach;
using mail::kMsgFlagRead;

constexpr int kMaxMultipartDepth = 64;
constexpr int kMaxMessageDepth = 8;
constexpr std::size_t kMaxSubjectBytes = 64 * 1024;
constexpr std::size_t kMaxHeaderBlockBytes = 4 * 1024 * 1024;
constexpr std::int64_t kEarliestPlausible = 315532800;             // 1980-01-01 00:00:00 UTC

// ---------------------------------------------------------------------------------------------
// Property bag helpers.

using mail::SetProperty;

void SetString(std::vector<mail::Property>& props, PropTag tag, std::string_view utf8) {
  SetProperty(props, tag, Utf8ToUtf16(utf8));
}
void SetInt(std::vector<mail::Property>& props, PropTag tag, std::int32_t v) { SetProperty(props, tag, v); }
void SetBool(std::vector<mail::Property>& props, PropTag tag, bool v) { SetProperty(props, tag, v); }
void SetTime(std::vector<mail::Property>& props, PropTag tag, std::int64_t unix_seconds) {
  SetProperty(props, tag, UnixToFileTime(unix_seconds));
}
void SetBinary(std::vector<mail::Property>& props, PropTag tag, Bytes v) {
  SetProperty(props, tag, std::move(v));
}

const mail::PropValue* Find(const std::vector<mail::Property>& props, PropTag tag) {
  return mail::FindProperty(props, tag);
}

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

std::int32_t ClampInt32(std::size_t n) {
  return static_cast<std::int32_t>(std::min<std::size_t>(n, 0x7FFFFFFF));
}

// ---------------------------------------------------------------------------------------------
// Small text helpers.

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool EqualsCaseless(std::string_view a, std::string_view b) {
  return a.size() == b.size() && Lower(a) == Lower(b);
}

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

std::string CollapseWhitespace(std::string_view s) {
  std::string out;
  bool space = false;
  for (char c : s) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      space = true;
      continue;
    }
    if (space && !out.empty()) out += ' ';
    space = false;
    out += c;
  }
  return out;
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

std::string CopyString(const char* s) { return s == nullptr ? std::string() : std::string(s); }

std::string TakeGString(char* s) {
  GCharPtr owned(s);
  return CopyString(owned.get());
}

bool IsPlausible(std::int64_t t, std::int64_t now) {
  return t >= kEarliestPlausible && t <= now + 86400;
}

std::optional<std::int64_t> ParseDate(std::string_view text, std::int64_t now) {
  std::string copy = Trim(text);
  // "-600": a zone written with three digits means -0600.
  if (copy.size() > 4) {
    std::string_view tail = std::string_view(copy).substr(copy.size() - 4);
    if ((tail[0] == '-' || tail[0] == '+') && std::isdigit(static_cast<unsigned char>(tail[1])) &&
        std::isdigit(static_cast<unsigned char>(tail[2])) &&
        std::isdigit(static_cast<unsigned char>(tail[3])) && copy[copy.size() - 5] == ' ') {
      copy.insert(copy.size() - 3, "0");
    }
  }
  GDateTime* dt = g_mime_utils_header_decode_date(copy.c_str());
  if (dt == nullptr) return std::nullopt;
  std::int64_t t = g_date_time_to_unix(dt);
  g_date_time_unref(dt);
  if (!IsPlausible(t, now)) return std::nullopt;
  return t;
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

Bytes StreamBytes(GMimeStream* stream) {
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
  if (array == nullptr || array->len == 0) return {};
  return Bytes(array->data, array->data + array->len);
}

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

// The object as GMime writes it (headers and content, encoded as in the source).
std::string SerializeObject(GMimeObject* object) {
  GObjectPtr<GMimeStream> mem(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(object, nullptr, mem.get());
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
  if (array == nullptr || array->len == 0) return {};
  return std::string(reinterpret_cast<const char*>(array->data), array->len);
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

std::string RawHeader(GMimeObject* object, const char* name);

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

// Every top-level line end becomes CRLF and the result is UTF-8 (windows-1252 per byte when
// the bytes are not UTF-8).
std::string HeaderBlockText(std::string_view block) {
  if (block.size() > kMaxHeaderBlockBytes) block = block.substr(0, kMaxHeaderBlockBytes);
  std::string crlf = ToCrlf(block);
  if (!crlf.empty() && !crlf.ends_with("\r\n")) crlf += "\r\n";
  return EnsureUtf8(crlf);
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

// GMime turns the To, Cc and Bcc lines into address objects as it reads a message, at several
// times the size of their text, and the mapping never uses them: it parses the text itself.
// For a message addressed to many thousands that would be most of its memory, so when those
// lines are long the message is parsed from a copy in which they go by names GMime does not
// know ("T~", "C~", "Bc~": the last letter changed, so every offset stays the same), and the
// mapping reads them back under those names. Returns the copy, or "" when the lines are short
// or the message already has a header by one of those names.
constexpr std::size_t kHideRecipientLinesFrom = 64 * 1024;

std::string HideRecipientLines(std::string_view message, std::size_t header_length) {
  std::vector<std::size_t> renames;  // offset of the letter to change
  std::size_t address_bytes = 0;
  bool in_address_line = false;
  std::size_t pos = 0;
  while (pos < header_length) {
    std::size_t eol = message.find('\n', pos);
    std::size_t end = eol == std::string_view::npos ? header_length : std::min(eol, header_length);
    std::string_view line = message.substr(pos, end - pos);
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (in_address_line) address_bytes += line.size();
    } else {
      in_address_line = false;
      std::size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        std::string_view name = line.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        const std::string lower = Lower(name);
        if (lower == "t~" || lower == "c~" || lower == "bc~") return "";
        if (lower == "to" || lower == "cc" || lower == "bcc") {
          in_address_line = true;
          address_bytes += line.size();
          renames.push_back(pos + name.size() - 1);
        }
      }
    }
    if (eol == std::string_view::npos) break;
    pos = eol + 1;
  }
  if (address_bytes < kHideRecipientLinesFrom) return "";
  std::string copy(message);
  for (std::size_t at : renames) copy[at] = '~';
  return copy;
}

// ---------------------------------------------------------------------------------------------
// Addresses.

struct Mailbox {
  std::string name;
  std::string address;  // empty for a name-only entry
};

// Splits an address header at its top-level separators: commas, and the semicolons Outlook
// users type between addresses (a semicolon that closes a group stays with the group).
// Splits an address header at its top-level separators: commas, and the semicolons Outlook
// users type between addresses (a semicolon that closes a group stays with the group). The
// pieces are trimmed views into `text`, empty ones left out.
std::vector<std::string_view> SplitAddressList(std::string_view text) {
  std::vector<std::string_view> pieces;
  auto take = [&](std::size_t begin, std::size_t end) {
    std::string_view piece = text.substr(begin, end - begin);
    const std::size_t first = piece.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return;
    pieces.push_back(piece.substr(first, piece.find_last_not_of(" \t\r\n") - first + 1));
  };
  std::size_t start = 0;  // the current piece is text[start, i)
  bool quoted = false;
  int comment = 0;
  bool angle = false;
  bool group = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '\\' && i + 1 < text.size()) {
        ++i;
      } else if (c == '"') {
        quoted = false;
      }
      continue;
    }
    if (comment > 0) {
      if (c == '\\' && i + 1 < text.size()) {
        ++i;
      } else if (c == '(') {
        ++comment;
      } else if (c == ')') {
        --comment;
      }
      continue;
    }
    if (c == '=' && i + 1 < text.size() && text[i + 1] == '?') {
      // An encoded word is one token even when a sloppy sender put a comma inside it.
      std::size_t end = text.find("?=", i + 2);
      std::size_t q1 = end == std::string_view::npos ? end : text.find('?', i + 2);
      std::size_t q2 = q1 == std::string_view::npos ? q1 : text.find('?', q1 + 1);
      if (end != std::string_view::npos && q2 != std::string_view::npos && q2 < end &&
          text.substr(i, end - i).find(' ') == std::string_view::npos) {
        i = end + 1;
        continue;
      }
    }
    switch (c) {
      case '"':
        quoted = true;
        break;
      case '(':
        comment = 1;
        break;
      case '<':
        angle = true;
        break;
      case '>':
        angle = false;
        break;
      case ':':
        if (!angle) group = true;
        break;
      case ';':
        if (group) {
          group = false;
          take(start, i + 1);
          start = i + 1;
        } else if (!angle) {
          take(start, i);
          start = i + 1;
        }
        break;
      case ',':
        if (!group && !angle) {
          take(start, i);
          start = i + 1;
        }
        break;
      default:
        break;
    }
  }
  take(start, text.size());
  return pieces;
}

std::string CleanDisplayName(std::string name) {
  name = Trim(name);
  if (name.size() >= 2 && name.front() == '\'' && name.back() == '\'') {
    name = Trim(std::string_view(name).substr(1, name.size() - 2));
  }
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return EnsureUtf8(name);
}

void AppendMailbox(InternetAddress* address, bool ascii_domain, std::vector<Mailbox>& out) {
  if (INTERNET_ADDRESS_IS_GROUP(address)) {
    InternetAddressList* members =
        internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address));
    int n = members == nullptr ? 0 : internet_address_list_length(members);
    for (int i = 0; i < n; ++i) {
      AppendMailbox(internet_address_list_get_address(members, i), ascii_domain, out);
    }
    return;
  }
  if (!INTERNET_ADDRESS_IS_MAILBOX(address)) return;
  std::string name = CleanDisplayName(CopyString(internet_address_get_name(address)));
  // Addresses are kept as written: GMime turns a punycode domain into Unicode.
  InternetAddressMailbox* mailbox = INTERNET_ADDRESS_MAILBOX(address);
  std::string addr =
      EnsureUtf8(Trim(CopyString(ascii_domain ? internet_address_mailbox_get_idn_addr(mailbox)
                                              : internet_address_mailbox_get_addr(mailbox))));
  if (addr.find('@') == std::string::npos) {
    // No domain: keep whatever was written as a name so nothing disappears from the line.
    if (name.empty()) name = addr;
    addr.clear();
  }
  if (name.empty() && addr.empty()) return;
  out.push_back({std::move(name), std::move(addr)});
}

// Rescues a piece GMime could not parse: an address when it holds an '@', else a name.
Mailbox FallbackMailbox(const std::string& piece) {
  std::string decoded =
      EnsureUtf8(TakeGString(g_mime_utils_header_decode_phrase(nullptr, piece.c_str())));
  if (std::size_t empty = decoded.find("<>"); empty != std::string::npos) {
    decoded = Trim(decoded.erase(empty, 2));  // "MAILER-DAEMON <>": a name without address
  }
  std::size_t lt = decoded.find('<');
  std::size_t gt = decoded.find('>', lt == std::string::npos ? 0 : lt);
  if (lt != std::string::npos && decoded.find('@', lt) != std::string::npos) {
    std::string addr =
        Trim(decoded.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1));
    std::string name = Trim(decoded.substr(0, lt));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
      name = name.substr(1, name.size() - 2);
    }
    return {CleanDisplayName(name), addr};
  }
  if (decoded.find('@') != std::string::npos && decoded.find(' ') == std::string::npos) {
    return {"", Trim(decoded)};
  }
  std::string name = Trim(decoded);
  if (name.size() > 2 && name.front() == '<' && name.back() == '>') {
    name = name.substr(1, name.size() - 2);  // "<Undisclosed>": a name, not an address
  }
  return {CleanDisplayName(name), ""};
}

// The text with its (nested) comments removed.
std::string WithoutComments(std::string_view text) {
  std::string out;
  int depth = 0;
  bool quoted = false;
  for (char c : text) {
    if (c == '"' && depth == 0) quoted = !quoted;
    if (!quoted && c == '(') ++depth;
    if (depth == 0) out += c;
    if (!quoted && c == ')' && depth > 0) --depth;
  }
  return out;
}

// Calls `f(Mailbox&&)` for each mailbox of an address header's raw value, in order.
template <typename F>
void ForEachMailbox(std::string_view raw_value, GMimeParserOptions* options, F&& f) {
  const std::string text = NormalizeEncodedWords(Unfold(raw_value));
  std::vector<Mailbox> found;
  for (std::string_view view : SplitAddressList(text)) {
    const std::string piece(view);
    if (Trim(WithoutComments(piece)).empty()) continue;
    GObjectPtr<InternetAddressList> list(internet_address_list_parse(options, piece.c_str()));
    found.clear();
    int n = list ? internet_address_list_length(list.get()) : 0;
    bool group = false;
    for (int i = 0; i < n; ++i) {
      InternetAddress* a = internet_address_list_get_address(list.get(), i);
      group = group || INTERNET_ADDRESS_IS_GROUP(a);
      AppendMailbox(a, Lower(piece).find("xn--") != std::string::npos, found);
    }
    if (found.empty() && !group && !piece.ends_with(":;") && !piece.ends_with(": ;")) {
      Mailbox m = FallbackMailbox(piece);
      if (!m.name.empty() || !m.address.empty()) found.push_back(std::move(m));
    }
    for (Mailbox& m : found) f(std::move(m));
  }
}

std::vector<Mailbox> ParseAddresses(std::string_view raw_value, GMimeParserOptions* options) {
  std::vector<Mailbox> out;
  ForEachMailbox(raw_value, options, [&out](Mailbox&& m) { out.push_back(std::move(m)); });
  return out;
}

std::string NameOrAddress(const Mailbox& m) { return m.name.empty() ? m.address : m.name; }

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The recipient's properties, 18 of them; `row` is its place among the message's recipients.
mail::Recipient MakeRecipient(std::string_view name, std::string_view address, std::int32_t type,
                             std::int32_t row) {
  mail::Recipient r;
  r.props.reserve(18);
  std::string_view display = name.empty() ? address : name;
  Bytes entry_id = OneOffEntryId(display, "SMTP", address);
  SetInt(r.props, tag::kRecipientType, type);
  SetBool(r.props, tag::kResponsibility, true);
  SetBinary(r.props, tag::kRecordKey, entry_id);
  SetInt(r.props, tag::kObjectType, 6);
  SetBinary(r.props, tag::kEntryId, entry_id);
  SetString(r.props, tag::kDisplayName, display);
  SetString(r.props, tag::kAddrType, "SMTP");
  SetString(r.props, tag::kEmailAddress, address);
  SetBinary(r.props, tag::kSearchKey, SearchKey("SMTP", address));
  SetInt(r.props, tag::kDisplayType, 0);
  SetString(r.props, tag::k7BitDisplayName, IsAscii(display) ? display : address);
  SetBool(r.props, tag::kSendRichInfo, false);
  SetInt(r.props, tag::kRowId, row);
  SetString(r.props, tag::kSmtpAddress, address);
  SetString(r.props, tag::kRecipientDisplayName, display);
  SetBinary(r.props, tag::kRecipientEntryId, std::move(entry_id));
  SetInt(r.props, tag::kRecipientFlags, 1);
  SetInt(r.props, tag::kRecipientTrackStatus, 0);
  return r;
}

// A message with no more recipients than this has them made at once; see MailboxRecipients.
constexpr std::size_t kRecipientsMadeNow = 256;

// A message's recipients kept as the names and addresses they are made of, a few dozen bytes
// each, and made into their properties (several hundred bytes each) one at a time when the
// message is written: a message addressed to a hundred thousand people stays small.
class MailboxRecipients final : public mail::RecipientSource {
 public:
  void Add(const Mailbox& m, std::int32_t type) {
    text_ += m.name;
    const std::size_t name_end = text_.size();
    text_ += m.address;
    entries_.push_back({name_end, text_.size(), type});
  }
  void Shrink() {
    text_.shrink_to_fit();
    entries_.shrink_to_fit();
  }
  std::size_t size() const override { return entries_.size(); }
  mail::Recipient At(std::size_t index) const override {
    const Entry& e = entries_[index];
    const std::size_t begin = index == 0 ? 0 : entries_[index - 1].address_end;
    const std::string_view text(text_);
    return MakeRecipient(text.substr(begin, e.name_end - begin),
                         text.substr(e.name_end, e.address_end - e.name_end), e.type,
                         static_cast<std::int32_t>(index));
  }

 private:
  struct Entry {
    std::size_t name_end;     // the name ends and the address begins here in text_
    std::size_t address_end;  // the next recipient's name begins here
    std::int32_t type;
  };
  std::string text_;
  std::vector<Entry> entries_;
};

// ---------------------------------------------------------------------------------------------
// The walk over a message's MIME tree.

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
  bool* attachments_missing = nullptr;
  std::filesystem::path mailbox;       // the folder above the message's own folder
  std::filesystem::path partial_root;  // <mailbox>/Attachments/<N>, when it may exist
  // The bytes the parser reads and what holds them, when attachments may be read from them
  // when the message is written; null when everything is decoded now.
  std::shared_ptr<const void> owner;
  std::string_view owned;
  // Encoded bytes of attachment content still to be decoded now, on the reading thread.
  std::uint64_t decode_now_left = 0;
};

// An attachment's content: decoded, or a source that decodes it when it is read.
struct PartContent {
  Bytes data;
  std::shared_ptr<const mail::ContentSource> source;
  std::uint64_t size() const { return source ? source->size() : data.size(); }
};

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

struct RawMessage {
  std::string_view bytes;    // the message as it was parsed (or re-serialised)
  std::string header_block;  // raw top-level header block
  const EmlxMetadata* emlx = nullptr;
  std::optional<std::int64_t> file_time;
  bool recipient_lines_hidden = false;  // parsed from HideRecipientLines' copy
};

mail::MessageContent MapMessage(GMimeMessage* message, const RawMessage& raw, ImportContext& ctx,
                               int message_depth);

// Decodes a text part's content to UTF-8 using its charset (or, for HTML, its meta charset).
DecodedText PartText(GMimePart* part, bool html) {
  Bytes data = DecodedContent(part);
  std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
  std::string charset = TypeParam(GMIME_OBJECT(part), "charset");
  if (charset.empty() && html) charset = FindHtmlMetaCharset(bytes);
  return DecodeToUtf8(bytes, charset);
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

std::string PlainText(GMimePart* part, std::string* charset) {
  DecodedText text = PartText(part, false);
  *charset = text.charset;
  if (EqualsCaseless(TypeParam(GMIME_OBJECT(part), "format"), "flowed")) {
    return Unflow(text.utf8, EqualsCaseless(TypeParam(GMIME_OBJECT(part), "delsp"), "yes"));
  }
  return std::move(text.utf8);
}

bool IsTextBodyType(const std::string& type) { return type == "text/plain" || type == "text/html"; }

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

class Walker {
 public:
  Walker(ImportContext& ctx, const RawMessage& raw, int message_depth, std::int64_t attach_time)
      : ctx_(ctx), raw_(raw), message_depth_(message_depth), attach_time_(attach_time) {}

  // path: the IMAP part number of `object` ("" for a top-level multipart).
  void Walk(GMimeObject* object, const std::string& path, int depth, bool top_single,
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
      std::string type = MimeTypeOf(object);
      bool attachment = IsAttachmentDisposition(object);
      bool body = IsTextBodyType(type) && !attachment && (top_single || !HasName(object));
      if (body && !ApplePartMissing(object)) {
        BodySegment seg;
        if (type == "text/html") {
          seg.html = PartText(part, true).utf8;
        } else {
          seg.plain = TakeUuencoded(PlainText(part, &seg.plain_charset), out);
        }
        out.segments.push_back(std::move(seg));
      } else {
        AddPart(part, path, out);
      }
    }
  }

  int counter() const { return counter_; }

 private:
  static std::string ChildPath(const std::string& path, int index) {
    return (path.empty() ? "" : path + ".") + std::to_string(index + 1);
  }

  void WalkMultipart(GMimeMultipart* multipart, const std::string& path, int depth,
                     WalkResult& out) {
    GMimeObject* object = GMIME_OBJECT(multipart);
    std::string type = MimeTypeOf(object);
    int count = g_mime_multipart_get_count(multipart);
    if (count == 0) {
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

  void WalkAlternative(GMimeMultipart* multipart, const std::string& path, int depth,
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
      if (i == plain_index) {
        seg.plain = TakeUuencoded(PlainText(GMIME_PART(child), &seg.plain_charset), out);
      } else if (i == html_index && GMIME_IS_PART(child)) {
        seg.html = PartText(GMIME_PART(child), true).utf8;
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
                 type == "text/richtext" || type == "text/watch-html" ||
                 type == "text/x-amp-html") {
        continue;  // an earlier, poorer rendering of the same content
      } else if (GMIME_IS_PART(child) || GMIME_IS_MESSAGE_PART(child)) {
        Walk(child, ChildPath(path, i), depth + 1, false, out);  // calendar and the like
      }
    }
    if (seg.plain || seg.html) out.segments.push_back(std::move(seg));
  }

  void WalkRelated(GMimeMultipart* multipart, const std::string& path, int depth, WalkResult& out) {
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
  void RecoverBoundaryless(GMimeMultipart* multipart, const std::string& path, int depth,
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
        GObjectPtr<GMimeObject> part(
            g_mime_parser_construct_part(parser.get(), ctx_.parser_options));
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
 public:
  static BodySegment MergeSegments(std::vector<BodySegment> segments) {
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

 private:
  static std::string EscapeHtml(std::string_view text) {
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
  static bool StartsWithCaseless(std::string_view html, std::size_t at, std::string_view lower) {
    if (html.size() - at < lower.size()) return false;
    for (std::size_t j = 0; j < lower.size(); ++j) {
      char c = html[at + j];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != lower[j]) return false;
    }
    return true;
  }

  static std::string HtmlBodyInner(const std::string& html) {
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

  // Moves uuencoded files out of a plain body into attachments; returns the remaining text.
  std::string TakeUuencoded(std::string text, WalkResult& out) {
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

  // Apple Mail's partial messages keep a stripped part's headers and drop its body.
  bool ApplePartMissing(GMimeObject* object) {
    return !RawHeader(object, "X-Apple-Content-Length").empty() &&
           DecodedContent(GMIME_PART(object)).empty();
  }

  // The content Apple Mail stored outside a .partial.emlx, with its file name.
  std::optional<std::pair<Bytes, std::string>> ReadPartialAttachment(const std::string& path) {
    if (ctx_.partial_root.empty() || path.empty()) return std::nullopt;
    std::error_code ec;
    std::filesystem::path dir = ctx_.partial_root / path;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(dir, ec))) {
      return std::nullopt;
    }
    // Only from inside the message's own mailbox: a link on the way (Attachments, or its
    // numbered folder) that leads elsewhere is refused, and the attachment counts as missing.
    const std::filesystem::path real_mailbox = std::filesystem::canonical(ctx_.mailbox, ec);
    if (ec) return std::nullopt;
    const std::filesystem::path real_dir = std::filesystem::canonical(dir, ec);
    if (ec) return std::nullopt;
    if (std::mismatch(real_mailbox.begin(), real_mailbox.end(), real_dir.begin(), real_dir.end())
            .first != real_mailbox.end()) {
      return std::nullopt;
    }
    std::vector<std::filesystem::path> files;
    for (auto it = std::filesystem::directory_iterator(dir, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
      if (it->is_regular_file(ec) && !it->is_symlink(ec)) files.push_back(it->path());
    }
    if (files.empty()) return std::nullopt;
    std::sort(files.begin(), files.end());
    std::ifstream in(files.front(), std::ios::binary);
    if (!in) return std::nullopt;
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::make_pair(std::move(data), PathToUtf8(files.front().filename()));
  }

  std::string AttachmentName(GMimeObject* object, const std::string& type) {
    std::string name = CopyString(g_mime_part_get_filename(GMIME_PART(object)));
    if (!IsValidUtf8(name)) {
      std::string raw =
          CopyString(g_mime_object_get_content_disposition_parameter(object, "filename"));
      if (raw.empty()) raw = CopyString(g_mime_object_get_content_type_parameter(object, "name"));
      name = EnsureUtf8(raw.empty() ? name : raw);
    }
    if (name.empty()) name = NameFromRawHeaders(object);
    name = SanitizeFileName(name);
    if (name.empty()) {
      if (type == "text/calendar" || type == "application/ics") return "invite.ics";
      if (type == "message/delivery-status") return "delivery-status.txt";
      if (type == "message/disposition-notification") return "disposition-notification.txt";
      name = GeneratedName(++counter_, type);
    }
    return name;
  }

  // A name GMime dropped together with a Content-Type it could not parse ("BINARY;name=x").
  static std::string NameFromRawHeaders(GMimeObject* object) {
    for (const char* header : {"Content-Disposition", "Content-Type"}) {
      std::string raw = Unfold(RawHeader(object, header));
      std::string lower = Lower(raw);
      for (const char* key : {"filename=", "name="}) {
        std::size_t at = lower.find(key);
        if (at == std::string::npos) continue;
        std::string_view value = std::string_view(raw).substr(at + std::strlen(key));
        std::string name;
        if (!value.empty() && value.front() == '"') {
          std::size_t close = value.find('"', 1);
          name = std::string(value.substr(
              1, close == std::string_view::npos ? std::string_view::npos : close - 1));
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

  void FillByValue(PendingAttachment& pending, const std::string& name, PartContent content) {
    auto& props = pending.attachment.props;
    SetInt(props, tag::kAttachMethod, kAttachByValue);
    SetString(props, tag::kAttachLongFilename, name);
    SetString(props, tag::kAttachFilename, ShortFileName(name));
    SetString(props, tag::kAttachExtension, FileExtension(name));
    SetString(props, tag::kDisplayName, name);
    SetString(props, tag::kAttachMimeTag, pending.mime_type);
    SetInt(props, tag::kAttachFlags, 0);
    SetBool(props, tag::kAttachmentHidden, false);
    SetInt(props, tag::kRenderingPosition, -1);
    SetInt(props, tag::kObjectType, 7);
    SetTime(props, tag::kCreationTime, attach_time_);
    SetTime(props, tag::kLastModificationTime, attach_time_);
    pending.attachment.data = std::move(content.data);
    pending.attachment.source = std::move(content.source);
  }

  void AddPart(GMimePart* part, const std::string& path, WalkResult& out) {
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

  void AddRaw(GMimeObject* object, WalkResult& out, const std::string& warning) {
    if (!warning.empty()) ctx_.warnings->push_back(warning);
    std::string bytes = SerializeObject(object);
    PendingAttachment pending;
    pending.mime_type = MimeTypeOf(object);
    FillByValue(pending, GeneratedName(++counter_, "message/rfc822"),
                {Bytes(bytes.begin(), bytes.end()), nullptr});
    out.attachments.push_back(std::move(pending));
  }

  void AddMessageAttachment(mail::MessageContent content, WalkResult& out) {
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
    SetInt(props, tag::kAttachFlags, 0);
    SetBool(props, tag::kAttachmentHidden, false);
    SetInt(props, tag::kRenderingPosition, -1);
    SetInt(props, tag::kObjectType, 7);
    SetTime(props, tag::kCreationTime, attach_time_);
    SetTime(props, tag::kLastModificationTime, attach_time_);
    pending.attachment.embedded = std::make_unique<mail::MessageContent>(std::move(content));
    out.attachments.push_back(std::move(pending));
  }

  bool AddEncodedMessage(const Bytes& data, WalkResult& out) {
    BorrowedStream stream(
        std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
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

  void AddEmbedded(GMimeMessagePart* part, WalkResult& out) {
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

  ImportContext& ctx_;
  const RawMessage& raw_;
  int message_depth_;
  std::int64_t attach_time_;
  int counter_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Headers to properties.

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

HeaderValues CollectHeaders(GMimeObject* object) {
  HeaderValues values;
  GMimeHeaderList* list = g_mime_object_get_header_list(object);
  int n = list ? g_mime_header_list_get_count(list) : 0;
  for (int i = 0; i < n; ++i) {
    GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
    values.all.emplace_back(Lower(CopyString(g_mime_header_get_name(h))), h);
  }
  return values;
}

// The raw To (type 1), Cc (2) and Bcc (3) lines of a message, in the order they come. GMime
// parsed them into address objects of its own when it read the message, at several times the
// size of the text; the mapping parses the text itself, so GMime's lists are emptied here
// first. A message addressed to many thousands would otherwise hold both at once. GMime then
// keeps one empty line of each kind that had addresses; nothing reads them afterwards.
std::vector<std::pair<std::int32_t, std::string>> TakeRecipientLines(GMimeMessage* message,
                                                                     bool hidden) {
  std::vector<std::pair<std::int32_t, std::string>> lines;
  GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message));
  const int n = list ? g_mime_header_list_get_count(list) : 0;
  for (int i = 0; i < n; ++i) {
    GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
    const std::string name = Lower(CopyString(g_mime_header_get_name(h)));
    std::int32_t type = name == "to" ? 1 : name == "cc" ? 2 : name == "bcc" ? 3 : 0;
    if (hidden && type == 0) type = name == "t~" ? 1 : name == "c~" ? 2 : name == "bc~" ? 3 : 0;
    if (type != 0) lines.emplace_back(type, CopyString(g_mime_header_get_raw_value(h)));
  }
  for (GMimeAddressType type :
       {GMIME_ADDRESS_TYPE_TO, GMIME_ADDRESS_TYPE_CC, GMIME_ADDRESS_TYPE_BCC}) {
    InternetAddressList* addresses = g_mime_message_get_addresses(message, type);
    if (addresses != nullptr && internet_address_list_length(addresses) > 0) {
      internet_address_list_clear(addresses);
    }
  }
  return lines;
}

std::int32_t ImportanceFrom(const HeaderValues& h) {
  if (GMimeHeader* v = h.First("importance")) {
    std::string s = Lower(Unfold(CopyString(g_mime_header_get_value(v))));
    if (s == "low") return 0;
    if (s == "high") return 2;
    if (s == "normal") return 1;
  }
  if (GMimeHeader* v = h.First("x-priority")) {
    std::string s = Trim(CopyString(g_mime_header_get_value(v)));
    if (!s.empty() && s[0] >= '1' && s[0] <= '5') {
      return s[0] <= '2' ? 2 : s[0] == '3' ? 1 : 0;
    }
  }
  if (GMimeHeader* v = h.First("priority")) {
    std::string s = Lower(Unfold(CopyString(g_mime_header_get_value(v))));
    if (s == "non-urgent") return 0;
    if (s == "urgent") return 2;
    if (s == "normal") return 1;
  }
  if (GMimeHeader* v = h.First("x-msmail-priority")) {
    std::string s = Lower(Unfold(CopyString(g_mime_header_get_value(v))));
    if (s == "low") return 0;
    if (s == "high") return 2;
  }
  return 1;
}

std::int32_t PriorityFrom(const HeaderValues& h) {
  if (GMimeHeader* v = h.First("priority")) {
    std::string s = Lower(Unfold(CopyString(g_mime_header_get_value(v))));
    if (s == "urgent") return 1;
    if (s == "non-urgent") return -1;
  }
  return 0;
}

std::int32_t SensitivityFrom(const HeaderValues& h) {
  if (GMimeHeader* v = h.First("sensitivity")) {
    std::string s = Lower(Unfold(CopyString(g_mime_header_get_value(v))));
    if (s == "personal") return 1;
    if (s == "private") return 2;
    if (s == "company-confidential") return 3;
  }
  return 0;
}

std::string FirstAngleToken(const std::string& text) {
  std::size_t lt = text.find('<');
  std::size_t gt = lt == std::string::npos ? lt : text.find('>', lt);
  if (gt != std::string::npos) return text.substr(lt, gt - lt + 1);
  return text;
}

void SetOriginator(std::vector<mail::Property>& props, const Mailbox& m, PropTag name_tag,
                   PropTag type_tag, PropTag email_tag, PropTag entry_tag, PropTag key_tag,
                   PropTag smtp_tag) {
  std::string display = NameOrAddress(m);
  SetString(props, name_tag, display);
  SetString(props, type_tag, "SMTP");
  SetString(props, email_tag, m.address);
  SetBinary(props, entry_tag, OneOffEntryId(display, "SMTP", m.address));
  SetBinary(props, key_tag, SearchKey("SMTP", m.address));
  SetString(props, smtp_tag, m.address);
}

std::string MessageClassFor(GMimeObject* top) {
  if (top == nullptr) return "IPM.Note";
  std::string type = MimeTypeOf(top);
  if (type == "multipart/signed") {
    std::string protocol = Lower(TypeParam(top, "protocol"));
    if (protocol == "application/pkcs7-signature" || protocol == "application/x-pkcs7-signature") {
      return "IPM.Note.SMIME.MultipartSigned";
    }
  }
  if (type == "application/pkcs7-mime" || type == "application/x-pkcs7-mime")
    return "IPM.Note.SMIME";
  if (type == "application/octet-stream" && GMIME_IS_PART(top)) {
    std::string name = Lower(CopyString(g_mime_part_get_filename(GMIME_PART(top))));
    if (name.ends_with(".p7m")) return "IPM.Note.SMIME";
  }
  return "IPM.Note";
}

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

struct ParserOptionsDeleter {
  void operator()(GMimeParserOptions* o) const { g_mime_parser_options_free(o); }
};
using ParserOptionsPtr = std::unique_ptr<GMimeParserOptions, ParserOptionsDeleter>;

ParserOptionsPtr NewParserOptions(const std::string& hint) {
  ParserOptionsPtr options(g_mime_parser_options_new());
  const char* with_hint[] = {"utf-8", hint.c_str(), "windows-1252", "iso-8859-1", nullptr};
  const char* plain[] = {"utf-8", "windows-1252", "iso-8859-1", nullptr};
  g_mime_parser_options_set_fallback_charsets(options.get(), hint.empty() ? plain : with_hint);
  g_mime_parser_options_set_allow_addresses_without_domain(options.get(), TRUE);
  return options;
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

mail::MessageContent MapMessage(GMimeMessage* message, const RawMessage& raw, ImportContext& ctx,
                               int message_depth) {
  mail::MessageContent content;
  const std::string hint = BodyCharsetHint(g_mime_message_get_mime_part(message), 0);
  ParserOptionsPtr address_options = NewParserOptions(hint);
  auto& props = content.props;
  const std::int64_t now = ctx.options->now;
  std::vector<std::pair<std::int32_t, std::string>> recipient_lines =
      TakeRecipientLines(message, raw.recipient_lines_hidden);
  HeaderValues headers = CollectHeaders(GMIME_OBJECT(message));

  // Subject family.
  std::string subject;
  if (GMimeHeader* h = headers.First("subject")) {
    subject =
        CleanSubject(DecodeHeaderText(Unfold(CopyString(g_mime_header_get_raw_value(h))), hint));
  }
  if (headers.First("subject") != nullptr) {
    SubjectParts parts = SplitSubject(subject);
    SetString(props, tag::kSubject, subject);
    SetString(props, tag::kSubjectPrefix, parts.prefix);
    SetString(props, tag::kNormalizedSubject, parts.normalized);
  }
  if (GMimeHeader* h = headers.First("thread-topic")) {
    SetString(
        props, tag::kConversationTopic,
        CleanSubject(DecodeHeaderText(Unfold(CopyString(g_mime_header_get_raw_value(h))), hint)));
  } else if (headers.First("subject") != nullptr) {
    SetString(props, tag::kConversationTopic, SplitSubject(subject).normalized);
  }

  // Originators.
  std::optional<Mailbox> from;
  for (const char* name : {"from", "sender", "return-path"}) {
    for (GMimeHeader* h : headers.Each(name)) {
      auto list = ParseAddresses(CopyString(g_mime_header_get_raw_value(h)), address_options.get());
      if (!list.empty()) {
        from = list.front();
        break;
      }
    }
    if (from) break;
  }
  if (from) {
    SetOriginator(props, *from, tag::kSentRepresentingName, tag::kSentRepresentingAddrType,
                  tag::kSentRepresentingEmail, tag::kSentRepresentingEntryId,
                  tag::kSentRepresentingSearchKey, tag::kSentRepresentingSmtpAddress);
    Mailbox sender = *from;
    if (GMimeHeader* h = headers.First("sender")) {
      auto list = ParseAddresses(CopyString(g_mime_header_get_raw_value(h)), address_options.get());
      if (!list.empty() && !list.front().address.empty() &&
          !EqualsCaseless(list.front().address, from->address)) {
        sender = list.front();
      }
    }
    SetOriginator(props, sender, tag::kSenderName, tag::kSenderAddrType, tag::kSenderEmail, tag::kSenderEntryId,
                  tag::kSenderSearchKey, tag::kSenderSmtpAddress);
  }
  if (GMimeHeader* h = headers.First("reply-to")) {
    std::vector<Bytes> entries;
    std::string names;
    for (const Mailbox& m :
         ParseAddresses(CopyString(g_mime_header_get_raw_value(h)), address_options.get())) {
      if (m.address.empty()) continue;
      entries.push_back(OneOffEntryId(NameOrAddress(m), "SMTP", m.address));
      if (!names.empty()) names += "; ";
      names += NameOrAddress(m);
    }
    if (!entries.empty()) {
      SetBinary(props, tag::kReplyRecipientEntries, FlatEntryList(entries));
      SetString(props, tag::kReplyRecipientNames, names);
    }
  }
  SetBool(props, tag::kMessageToMe, false);
  SetBool(props, tag::kMessageCcMe, false);
  SetBool(props, tag::kMessageRecipMe, false);

  // Recipients.
  std::string display[4];
  auto recipients = std::make_shared<MailboxRecipients>();
  for (std::int32_t type = 1; type <= 3; ++type) {
    for (auto& [line_type, value] : recipient_lines) {
      if (line_type != type) continue;
      ForEachMailbox(value, address_options.get(), [&](Mailbox&& m) {
        recipients->Add(m, type);
        if (!display[type].empty()) display[type] += "; ";
        display[type] += NameOrAddress(m);
      });
      std::string().swap(value);
    }
  }
  if (recipients->size() <= kRecipientsMadeNow) {
    // Made here, on the reading thread, rather than by the writer (twice) later.
    content.recipients.reserve(recipients->size());
    for (std::size_t i = 0; i < recipients->size(); ++i) {
      content.recipients.push_back(recipients->At(i));
    }
  } else {
    recipients->Shrink();
    content.recipient_source = std::move(recipients);
  }
  SetString(props, tag::kDisplayTo, display[1]);
  SetString(props, tag::kDisplayCc, display[2]);
  SetString(props, tag::kDisplayBcc, display[3]);

  // Dates: the message's own, never the time of the import unless nothing else exists.
  std::optional<std::int64_t> date;
  for (GMimeHeader* h : headers.Each("date")) {
    if ((date = ParseDate(Unfold(CopyString(g_mime_header_get_value(h))), now))) break;
  }
  std::optional<std::int64_t> received;
  for (GMimeHeader* h : headers.Each("received")) {
    std::string value = Unfold(CopyString(g_mime_header_get_value(h)));
    std::size_t semi = value.rfind(';');
    if (semi == std::string::npos) continue;
    if ((received = ParseDate(value.substr(semi + 1), now))) break;
  }
  auto emlx_time = [&](const std::optional<double>& v) -> std::optional<std::int64_t> {
    if (!v) return std::nullopt;
    auto t = static_cast<std::int64_t>(*v);
    return IsPlausible(t, now) ? std::optional(t) : std::nullopt;
  };
  std::optional<std::int64_t> emlx_sent = raw.emlx ? emlx_time(raw.emlx->date_sent) : std::nullopt;
  std::optional<std::int64_t> emlx_received =
      raw.emlx ? emlx_time(raw.emlx->date_received) : std::nullopt;
  std::optional<std::int64_t> file_time =
      raw.file_time && IsPlausible(*raw.file_time, now) ? raw.file_time : std::nullopt;
  std::int64_t submit = date.value_or(
      emlx_sent.value_or(received.value_or(emlx_received.value_or(file_time.value_or(now)))));
  std::int64_t delivery = emlx_received.value_or(received.value_or(submit));
  SetTime(props, tag::kClientSubmitTime, submit);
  SetTime(props, tag::kMessageDeliveryTime, delivery);
  SetTime(props, tag::kCreationTime, delivery);
  SetTime(props, tag::kLastModificationTime, delivery);
  if (GMimeHeader* h = headers.First("reply-by")) {
    if (auto t = ParseDate(Unfold(CopyString(g_mime_header_get_value(h))), now + 366 * 86400)) {
      SetTime(props, tag::kReplyTime, *t);
    }
  }

  // Identity and threading.
  std::string message_id = Unfold(headers.RawFirst("message-id"));
  if (!message_id.empty()) {
    message_id = EnsureUtf8(message_id);
    if (message_id.front() != '<' && message_id.find('<') == std::string::npos) {
      message_id = "<" + message_id + ">";
    }
    SetString(props, tag::kInternetMessageId, message_id);
  }
  std::string in_reply_to = Unfold(headers.RawFirst("in-reply-to"));
  if (!in_reply_to.empty())
    SetString(props, tag::kInReplyToId, EnsureUtf8(FirstAngleToken(in_reply_to)));
  std::string references = CollapseWhitespace(Unfold(headers.RawFirst("references")));
  if (references.size() > 65536) references.resize(references.rfind(' ', 65536));
  if (!references.empty()) SetString(props, tag::kInternetReferences, EnsureUtf8(references));
  bool have_index = false;
  if (std::string index = Trim(Unfold(headers.RawFirst("thread-index"))); !index.empty()) {
    gsize len = 0;
    GCharPtr decoded(reinterpret_cast<char*>(g_base64_decode(index.c_str(), &len)));
    if (len >= 22 && (len - 22) % 5 == 0) {
      auto* p = reinterpret_cast<const std::uint8_t*>(decoded.get());
      SetBinary(props, tag::kConversationIndex, Bytes(p, p + len));
      have_index = true;
    }
  }
  if (!have_index) {
    std::string root;
    if (!references.empty()) root = FirstAngleToken(references.substr(0, references.find(' ')));
    if (root.empty() && !in_reply_to.empty()) root = FirstAngleToken(in_reply_to);
    if (root.empty()) root = message_id;
    if (!root.empty()) {
      auto ticks = static_cast<std::uint64_t>(UnixToFileTime(submit).ticks);
      Bytes index;
      for (int shift = 56; shift >= 16; shift -= 8) {
        index.push_back(static_cast<std::uint8_t>(ticks >> shift));
      }
      Bytes digest = Md5(root);
      index.insert(index.end(), digest.begin(), digest.end());
      SetBinary(props, tag::kConversationIndex, std::move(index));
    }
  }

  SetInt(props, tag::kImportance, ImportanceFrom(headers));
  SetInt(props, tag::kPriority, PriorityFrom(headers));
  SetInt(props, tag::kSensitivity, SensitivityFrom(headers));
  const std::pair<const char*, PropTag> kListHeaders[] = {{"list-help", tag::kListHelp},
                                                          {"list-subscribe", tag::kListSubscribe},
                                                          {"list-unsubscribe", tag::kListUnsubscribe}};
  for (const auto& [name, tag] : kListHeaders) {
    std::string v = Unfold(headers.RawFirst(name));
    if (!v.empty()) SetString(props, tag, EnsureUtf8(v));
  }
  if (headers.First("disposition-notification-to") != nullptr) {
    SetBool(props, tag::kReadReceiptRequested, true);
  }
  SetString(props, tag::kTransportMessageHeaders, HeaderBlockText(raw.header_block));

  // Body and attachments.
  GMimeObject* top = g_mime_message_get_mime_part(message);
  std::string message_class = MessageClassFor(top);
  SetString(props, tag::kMessageClass, message_class);
  Walker walker(ctx, raw, message_depth, delivery);
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

  BodySegment body = Walker::MergeSegments(std::move(walk.segments));
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

  // Parts the HTML shows are rendered in the body; hidden when they are pictures. The cid:
  // references are collected once so that many parts and a large page stay linear.
  std::string html_lower = body.html ? Lower(*body.html) : "";
  std::set<std::string> cids;
  for (std::size_t at = html_lower.find("cid:"); at != std::string::npos;
       at = html_lower.find("cid:", at + 4)) {
    std::size_t end = html_lower.find_first_of("\"' )>\t\r\n", at + 4);
    std::string id = html_lower.substr(at + 4, end == std::string::npos ? end : end - at - 4);
    GCharPtr unescaped(g_uri_unescape_string(id.c_str(), nullptr));
    cids.insert(unescaped ? CopyString(unescaped.get()) : id);
    cids.insert(std::move(id));
  }
  std::vector<PendingAttachment> visible;
  std::vector<PendingAttachment> hidden;
  int location_checks = 0;
  for (PendingAttachment& p : walk.attachments) {
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
      SetInt(ap, tag::kAttachSize, ClampInt32(p.attachment.data_size() + inner + ApproxSize(ap) + 8));
      content.attachments.push_back(std::move(p.attachment));
    }
  }

  // Bookkeeping.
  std::int32_t icon = 0x100;
  if (raw.emlx != nullptr && raw.emlx->flags) {
    std::int64_t flags = *raw.emlx->flags;
    if (flags & 0x4) {
      icon = 0x105;
      SetInt(props, tag::kLastVerbExecuted, 102);
    } else if (flags & 0x100) {
      icon = 0x106;
      SetInt(props, tag::kLastVerbExecuted, 104);
    }
    if (flags & 0x10) SetInt(props, tag::kFlagStatus, 2);
  }
  SetInt(props, tag::kIconIndex, icon);
  SetInt(props, tag::kMessageStatus, 0);
  SetInt(props, tag::kMessageSize, ClampInt32(raw.bytes.size()));
  SetBinary(props, tag::kSearchKey, Md5(raw.bytes));
  SetInt(props, tag::kMessageFlags, mail::StoredMessageFlags(content));
  return content;
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
  SetBinary(props, tag::kSearchKey, Md5(bytes));

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
  return content;
}

// Files with CR-only line ends (classic Mac) read as one endless line to a MIME parser.
std::string_view NormalizeCrOnly(std::string_view message, std::string& storage) {
  // Most files have no bare CR at all: look for one before counting anything.
  std::size_t bare_cr = 0;
  for (std::size_t cr = message.find('\r'); cr != std::string_view::npos;
       cr = message.find('\r', cr + 1)) {
    if (cr + 1 == message.size() || message[cr + 1] != '\n') ++bare_cr;
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

void InitGMimeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

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

// A line inside the header block that is no header (a date wrapped without indentation, junk
// before a name) makes a MIME parser end the headers there. Such lines are joined to the header
// above them, so the headers after them are still read. Returns "" when nothing needs it.
std::string RepairHeaderBlockLines(std::string_view message, std::size_t header_length);

// A line of blanks between a header line and a line that is no header ends a header block as
// an empty line would (some senders write " " there). Returns "" when there is none.
std::string BlankSeparatorsToEmpty(std::string_view message) {
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

// The message as it should be parsed: blank separator lines first (they decide where header
// blocks end), then the lines of the top-level header block. Returns "" when nothing changed.
std::string RepairHeaderBlock(std::string_view message) {
  std::string blanks = BlankSeparatorsToEmpty(message);
  std::string_view current = blanks.empty() ? message : std::string_view(blanks);
  std::string lines = RepairHeaderBlockLines(current, HeaderBlockLength(current));
  return lines.empty() ? blanks : lines;
}

std::string RepairHeaderBlockLines(std::string_view message, std::size_t header_length) {
  std::vector<std::size_t> bad;
  std::size_t last_header = 0;  // a bad line only counts when a real header follows it
  std::size_t pos = 0;
  while (pos < header_length) {
    std::size_t eol = message.find('\n', pos);
    std::size_t end = eol == std::string_view::npos ? header_length : std::min(eol, header_length);
    std::string_view line = message.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (pos > 0 && !IsHeaderOrContinuation(line)) {
      bad.push_back(pos);
    } else if (!line.empty() && line[0] != ' ' && line[0] != '\t') {
      last_header = pos;
    }
    if (eol == std::string_view::npos) break;
    pos = eol + 1;
  }
  while (!bad.empty() && bad.back() > last_header) bad.pop_back();
  if (bad.empty()) return "";
  std::string out;
  out.reserve(message.size() + bad.size());
  std::size_t copied = 0;
  for (std::size_t at : bad) {
    out.append(message.substr(copied, at - copied));
    out += ' ';
    copied = at;
  }
  out.append(message.substr(copied));
  return out;
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

}  // namespace

wharfline::Result<ImportedMessage> ImportMessageBytes(std::span<const std::byte> file,
                                                      const ImportOptions& options) {
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
  // Attachments may be read from the bytes the parser reads later on, so whatever holds
  // those is shared with them: the caller's file, or a corrected copy of it.
  std::shared_ptr<const void> owner = options.file_owner;
  auto hold = [&owner](std::string& copy) {
    auto held = std::make_shared<const std::string>(std::move(copy));
    owner = held;
    return std::string_view(*held);
  };
  if (owner && !cr_storage.empty()) message = hold(cr_storage);

  ImportContext ctx;
  ctx.options = &options;
  ctx.warnings = &result.warnings;
  ctx.attachments_missing = &result.attachments_missing;
  std::string file_name = PathToUtf8(options.source_path.filename());
  if (!options.source_path.empty()) {
    std::string number = file_name.substr(0, file_name.find('.'));
    std::filesystem::path mailbox = options.source_path.parent_path().parent_path();
    if (!number.empty() && !mailbox.empty()) {
      ctx.mailbox = mailbox;
      ctx.partial_root = mailbox / "Attachments" / number;
    }
  }

  ParserOptionsPtr parser_options = NewParserOptions("");
  ctx.parser_options = parser_options.get();

  std::size_t header_length = HeaderBlockLength(message);
  if (message.empty() || header_length == 0 || !LooksLikeHeaderLine(message)) {
    result.content = MapRawFallback(
        message.empty()
            ? std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())
            : message,
        ctx);
    return result;
  }
  std::string repaired = RepairHeaderBlock(message);
  std::string_view to_parse = repaired.empty() ? message : std::string_view(repaired);
  if (owner && !repaired.empty()) to_parse = hold(repaired);
  std::string hidden = HideRecipientLines(to_parse, HeaderBlockLength(to_parse));
  std::string_view gmime_view = to_parse;
  if (!hidden.empty()) gmime_view = owner ? hold(hidden) : std::string_view(hidden);
  if (owner) {
    ctx.owner = owner;
    ctx.owned = gmime_view;
    ctx.decode_now_left = options.decode_now_bytes;
  }
  BorrowedStream stream(gmime_view);
  GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  GObjectPtr<GMimeMessage> parsed(
      g_mime_parser_construct_message(parser.get(), parser_options.get()));
  if (!parsed) {
    result.content = MapRawFallback(message, ctx);
    return result;
  }
  // Both views agree except for the repaired lines; the header block follows the parsed one.
  std::size_t parsed_header_length = repaired.empty() ? header_length : HeaderBlockLength(to_parse);
  RawMessage raw{to_parse, std::string(to_parse.substr(0, parsed_header_length)), &frame.metadata,
                 options.file_time};
  if (!frame.emlx) raw.emlx = nullptr;
  raw.recipient_lines_hidden = gmime_view.data() != to_parse.data();
  result.content = MapMessage(parsed.get(), raw, ctx, 0);
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
    return wharfline::Status::InvalidArgument(PathToUtf8(path), result.error().message());
  }
  return result;
}

}  // namespace mime
