// Header fields to message properties: the subject family, the dates (the message's own,
// never the import's unless nothing else exists), identity and threading (Message-ID,
// In-Reply-To, References, the conversation index), importance, priority, sensitivity,
// mailing-list links, the read receipt request, the transport headers and the message class.
#include <gmime/gmime.h>

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/importer_internal.h"

namespace mime::detail {
namespace {

constexpr std::size_t kMaxHeaderBlockBytes = 4 * 1024 * 1024;

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

std::optional<std::int64_t> ParseDate(std::string_view text, std::int64_t now) {
  std::string copy = Trim(text);
  // "-600": a zone written with three digits means -0600.
  if (copy.size() > 4) {
    std::string_view tail = std::string_view(copy).substr(copy.size() - 4);
    if ((tail[0] == '-' || tail[0] == '+') && std::isdigit(static_cast<unsigned char>(tail[1])) &&
        std::isdigit(static_cast<unsigned char>(tail[2])) &&
        std::isdigit(static_cast<unsigned char>(tail[3])) && copy[copy.size() - 5] == ' ') {
      copy.insert(copy.size() - 3, 1, '0');
    }
  }
  GDateTime* dt = g_mime_utils_header_decode_date(copy.c_str());
  if (dt == nullptr) return std::nullopt;
  std::int64_t t = g_date_time_to_unix(dt);
  g_date_time_unref(dt);
  if (!IsPlausible(t, now)) return std::nullopt;
  return t;
}

// Every top-level line end becomes CRLF and the result is UTF-8 (windows-1252 per byte when
// the bytes are not UTF-8).
std::string HeaderBlockText(std::string_view block) {
  if (block.size() > kMaxHeaderBlockBytes) block = block.substr(0, kMaxHeaderBlockBytes);
  std::string crlf = ToCrlf(block);
  if (!crlf.empty() && !crlf.ends_with("\r\n")) crlf += "\r\n";
  return EnsureUtf8(crlf);
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

// The conversation index: the sender's Thread-Index when it is one, else one made from the
// thread's root message ID and the submit time.
void MapConversationIndex(const HeaderValues& headers, const std::string& references,
                          const std::string& in_reply_to, const std::string& message_id,
                          std::int64_t submit, std::vector<mail::Property>& props) {
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
}

}  // namespace

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

// The subject family: subject, prefix, normalized subject and conversation topic.
void MapSubject(const HeaderValues& headers, const std::string& hint,
                std::vector<mail::Property>& props) {
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
}

// Dates: the message's own, never the time of the import unless nothing else exists.
MessageTimes MapDates(const HeaderValues& headers, const RawMessage& raw, ImportContext& ctx,
                      std::vector<mail::Property>& props) {
  const std::int64_t now = ctx.options->now;
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
  std::optional<std::int64_t> emlx_sent =
      raw.emlx ? EmlxTime(raw.emlx->date_sent, now) : std::nullopt;
  std::optional<std::int64_t> emlx_received =
      raw.emlx ? EmlxTime(raw.emlx->date_received, now) : std::nullopt;
  std::optional<std::int64_t> file_time =
      raw.file_time && IsPlausible(*raw.file_time, now) ? raw.file_time : std::nullopt;
  std::int64_t submit = date.value_or(
      emlx_sent.value_or(received.value_or(emlx_received.value_or(file_time.value_or(now)))));
  if (!date) {
    const char* from = emlx_sent       ? "Apple Mail's date of the message"
                       : received      ? "the date of the last Received header"
                       : emlx_received ? "Apple Mail's date of the message"
                       : file_time     ? "the file's modification time"
                                       : "the time of the import";
    Note(ctx, std::string("date guessed: no readable Date header; ") + from + " was used");
  }
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
  return {submit, delivery, date};
}

// Identity and threading.
void MapThreading(const HeaderValues& headers, std::int64_t submit,
                  std::vector<mail::Property>& props) {
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
  MapConversationIndex(headers, references, in_reply_to, message_id, submit, props);
}

void MapMarkingsAndTransportHeaders(const HeaderValues& headers, std::string_view header_block,
                                    std::vector<mail::Property>& props) {
  SetInt(props, tag::kImportance, ImportanceFrom(headers));
  SetInt(props, tag::kPriority, PriorityFrom(headers));
  SetInt(props, tag::kSensitivity, SensitivityFrom(headers));
  const std::pair<const char*, PropTag> kListHeaders[] = {
      {"list-help", tag::kListHelp},
      {"list-subscribe", tag::kListSubscribe},
      {"list-unsubscribe", tag::kListUnsubscribe}};
  for (const auto& [name, tag] : kListHeaders) {
    std::string v = Unfold(headers.RawFirst(name));
    if (!v.empty()) SetString(props, tag, EnsureUtf8(v));
  }
  if (headers.First("disposition-notification-to") != nullptr) {
    SetBool(props, tag::kReadReceiptRequested, true);
  }
  SetString(props, tag::kTransportMessageHeaders, HeaderBlockText(header_block));
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

}  // namespace mime::detail
