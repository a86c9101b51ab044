// What a message file tells of the user's handling of the message (read, answered, forwarded,
// flagged), and what makes two files the same message. Apple Mail keeps the first in the flags
// of the property list after the message; mbox-era programs in Status and X-Status; Thunderbird
// in X-Mozilla-Status.
#include <gmime/gmime.h>

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/sha256.h"
#include "mime/importer_internal.h"

namespace mime::detail {
namespace {

// Apple Mail's flag bits.
constexpr std::int64_t kEmlxRead = 0x1;
constexpr std::int64_t kEmlxAnswered = 0x4;
constexpr std::int64_t kEmlxFlagged = 0x10;
constexpr std::int64_t kEmlxForwarded = 0x100;

// Thunderbird's flag bits, written as four hex digits.
constexpr std::uint32_t kMozillaRead = 0x0001;
constexpr std::uint32_t kMozillaReplied = 0x0002;
constexpr std::uint32_t kMozillaMarked = 0x0004;
constexpr std::uint32_t kMozillaForwarded = 0x1000;

std::string_view Trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<std::string> FirstValue(const HeaderValues& headers, std::string_view name) {
  GMimeHeader* header = headers.First(name);
  if (header == nullptr) return std::nullopt;
  return CopyString(g_mime_header_get_value(header));
}

// The X-Mozilla-Status word, when the header holds nothing but hex digits.
std::optional<std::uint32_t> MozillaStatus(const HeaderValues& headers) {
  std::optional<std::string> value = FirstValue(headers, "x-mozilla-status");
  if (!value) return std::nullopt;
  std::string_view text = Trimmed(*value);
  std::uint32_t word = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), word, 16);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return word;
}

}  // namespace

// One source decides, the one kept most faithfully: Apple Mail's flags, then Thunderbird's
// word (it rewrites it in place as the user works), then Status and X-Status.
mail::MessageState MessageStateOf(const HeaderValues& headers, const EmlxMetadata* emlx) {
  mail::MessageState state;
  if (emlx != nullptr && emlx->flags) {
    const std::int64_t flags = *emlx->flags;
    state.read = (flags & kEmlxRead) != 0;
    state.answered = (flags & kEmlxAnswered) != 0;
    state.flagged = (flags & kEmlxFlagged) != 0;
    state.forwarded = (flags & kEmlxForwarded) != 0;
    return state;
  }
  if (std::optional<std::uint32_t> word = MozillaStatus(headers)) {
    state.read = (*word & kMozillaRead) != 0;
    state.answered = (*word & kMozillaReplied) != 0;
    state.flagged = (*word & kMozillaMarked) != 0;
    state.forwarded = (*word & kMozillaForwarded) != 0;
    return state;
  }
  // "Status: RO" is read, "Status: O" seen but unread; no Status says nothing of it.
  if (std::optional<std::string> status = FirstValue(headers, "status")) {
    state.read = status->find('R') != std::string::npos;
  }
  if (std::optional<std::string> x_status = FirstValue(headers, "x-status")) {
    state.answered = x_status->find('A') != std::string::npos;
    state.flagged = x_status->find('F') != std::string::npos;
  }
  return state;
}

namespace {

// The message identity's hash, with each field's length before it so that no two lists of
// fields run together alike.
class FieldHash {
 public:
  void Add(const void* data, std::size_t size) { sum_.Add(data, size); }
  void AddField(const void* data, std::size_t size) {
    const std::uint64_t length = size;
    Add(&length, sizeof length);
    Add(data, size);
  }
  void AddString(const mail::PropValue* value) {
    const auto* text = value ? std::get_if<std::u16string>(value) : nullptr;
    AddField(text ? text->data() : nullptr, text ? text->size() * sizeof(char16_t) : 0);
  }
  MessageIdentity Digest() { return sum_.Digest(); }

 private:
  wharfline::Sha256 sum_;
};

}  // namespace

}  // namespace mime::detail

namespace mime {

using detail::Bytes;
using detail::FieldHash;
namespace tag = mail::tag;

MessageIdentity IdentityOf(const mail::MessageContent& content,
                           std::optional<std::int64_t> header_date) {
  using mail::FindProperty;
  FieldHash body;
  body.AddString(FindProperty(content.props, tag::kBody));
  const mail::PropValue* html = FindProperty(content.props, tag::kHtml);
  const auto* html_bytes = html ? std::get_if<Bytes>(html) : nullptr;
  body.AddField(html_bytes ? html_bytes->data() : nullptr, html_bytes ? html_bytes->size() : 0);
  const MessageIdentity body_digest = body.Digest();

  FieldHash identity;
  identity.AddString(FindProperty(content.props, tag::kInternetMessageId));
  const std::int64_t seconds = header_date.value_or(0);
  const std::uint8_t has_date = header_date.has_value();
  identity.Add(&has_date, 1);
  identity.Add(&seconds, sizeof seconds);
  identity.AddString(FindProperty(content.props, tag::kSentRepresentingEmail));
  identity.AddString(FindProperty(content.props, tag::kSentRepresentingName));
  identity.Add(body_digest.data(), body_digest.size());
  return identity.Digest();
}

}  // namespace mime
