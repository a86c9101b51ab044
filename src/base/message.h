// The message model: what one message is made of (properties, recipients, attachments by
// value or embedded messages), as the MIME importer fills it and the PST writer stores it.
// Plain standard C++. Values only, except where a message says that its recipients or an
// attachment's bytes are made on demand: those sources own whatever they read from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace mail {

// Property value types (the low 16 bits of a property tag).
enum class PropType : std::uint16_t {
  kInteger16 = 0x0002,
  kInteger32 = 0x0003,
  kFloating64 = 0x0005,
  kBoolean = 0x000B,
  kObject = 0x000D,
  kInteger64 = 0x0014,
  kString8 = 0x001E,
  kString = 0x001F,  // UTF-16LE
  kTime = 0x0040,    // FILETIME
  kGuid = 0x0048,
  kBinary = 0x0102,
  kMultipleInteger32 = 0x1003,
  kMultipleString = 0x101F,
  kMultipleBinary = 0x1102,
};

using PropTag = std::uint32_t;  // property id << 16 | PropType

constexpr PropTag MakeTag(std::uint16_t id, PropType type) {
  return (static_cast<PropTag>(id) << 16) | static_cast<std::uint16_t>(type);
}
constexpr std::uint16_t TagId(PropTag tag) { return static_cast<std::uint16_t>(tag >> 16); }
constexpr PropType TagType(PropTag tag) { return static_cast<PropType>(tag & 0xFFFF); }

// 100-nanosecond intervals since 1601-01-01 UTC.
struct FileTime {
  std::int64_t ticks = 0;
  friend bool operator==(const FileTime&, const FileTime&) = default;
};

using Guid = std::array<std::uint8_t, 16>;  // in its on-disk byte order
using Bytes = std::vector<std::uint8_t>;

using PropValue = std::variant<std::int16_t,               // kInteger16
                               std::int32_t,               // kInteger32
                               double,                     // kFloating64
                               bool,                       // kBoolean
                               std::int64_t,               // kInteger64
                               std::u16string,             // kString
                               FileTime,                   // kTime
                               Guid,                       // kGuid
                               Bytes,                      // kBinary
                               std::vector<std::int32_t>,  // kMultipleInteger32
                               std::vector<std::u16string>,  // kMultipleString
                               std::vector<Bytes>>;          // kMultipleBinary

struct Property {
  PropTag tag = 0;
  PropValue value;
};

// A named property: its id in the store is given by the store's name-to-id map.
struct NamedProperty {
  Guid property_set{};
  std::variant<std::uint32_t, std::u16string> name;  // numeric id (LID) or string name
  PropType type = PropType::kInteger32;
  PropValue value;
};

struct MessageContent;

struct Recipient {
  std::vector<Property> props;  // display name, address, address type, recipient type, ...
};

// Recipients made one at a time when they are needed, for a message addressed to so many
// people that holding each as its properties would cost more than the message itself. Safe
// to read from any one thread at a time once made.
class RecipientSource {
 public:
  virtual ~RecipientSource() = default;
  virtual std::size_t size() const = 0;
  // The recipient at `index` (REQUIRES: index < size()), made anew by each call.
  virtual Recipient At(std::size_t index) const = 0;
};

// Reads one content from its first byte on; see ContentSource.
class ContentReader {
 public:
  virtual ~ContentReader() = default;
  // Fills all of `out` with the next bytes. False when the content cannot be made as its
  // source stated (it ends early, or does not end where stated); the reader is then spent.
  virtual bool Read(std::span<std::uint8_t> out) = 0;
};

// Attachment bytes that are not held decoded in memory: their exact size, and a reader that
// makes them in pieces (decoding them from the message file, say). Holds what it reads from
// for as long as it lives. Open() may be called several times, each reader starting over;
// a reader must not outlive its source.
class ContentSource {
 public:
  virtual ~ContentSource() = default;
  virtual std::uint64_t size() const = 0;
  virtual std::unique_ptr<ContentReader> Open() const = 0;
};

struct Attachment {
  std::vector<Property> props;  // names, MIME type, method, content id, flags, ...
  Bytes data;                   // by-value content (attach method 1), unless `source` is set
  // By-value content made on demand, in place of `data`.
  std::shared_ptr<const ContentSource> source;
  std::unique_ptr<MessageContent> embedded;  // set for an attached message (attach method 5)

  // Bytes of the by-value content.
  std::uint64_t data_size() const { return source ? source->size() : data.size(); }
};

struct MessageContent {
  std::vector<Property> props;
  std::vector<NamedProperty> named_props;
  std::vector<Recipient> recipients;
  // When set, the recipients are made by this source instead, and `recipients` stays empty.
  std::shared_ptr<const RecipientSource> recipient_source;
  std::vector<Attachment> attachments;

  std::size_t recipient_count() const {
    return recipient_source ? recipient_source->size() : recipients.size();
  }
  // The recipient at `index` (REQUIRES: index < recipient_count()), copied or made.
  Recipient RecipientAt(std::size_t index) const {
    return recipient_source ? recipient_source->At(index) : recipients[index];
  }
};

// The by-value content of `attachment` whole: its data, or everything its source makes
// (empty when the source fails). For tests and tools; the writer reads sources in pieces.
inline Bytes ContentBytes(const Attachment& attachment) {
  if (!attachment.source) return attachment.data;
  Bytes out(attachment.source->size());
  std::unique_ptr<ContentReader> reader = attachment.source->Open();
  if (!reader || !reader->Read(out)) return {};
  return out;
}

// A property bag: a message's, a recipient's or an attachment's properties, at most one per
// tag. Setting a tag replaces the value it had.
const PropValue* FindProperty(const std::vector<Property>& props, PropTag tag);
void SetProperty(std::vector<Property>& props, PropTag tag, PropValue value);
inline void SetProperty(MessageContent& message, PropTag tag, PropValue value) {
  SetProperty(message.props, tag, std::move(value));
}

void RemoveProperty(std::vector<Property>& props, PropTag tag);

// Whether readers are meant not to list an attachment (a picture shown inside the HTML body).
bool IsHidden(const Attachment& attachment);
// The message flags a message is stored with: its own read state (read when it states no
// flags), has-attachments exactly when a reader sees an attachment, never unsent.
std::int32_t StoredMessageFlags(const MessageContent& message);

// What the mail program a message comes from kept of the user's handling of it. A message
// whose program kept nothing is read, and neither answered, forwarded nor flagged.
struct MessageState {
  bool read = true;
  bool answered = false;
  bool forwarded = false;
  bool flagged = false;                 // for follow-up
  std::optional<FileTime> answered_at;  // when it was answered or forwarded, where known
};

// Stores `state` on the message as Outlook keeps it: the read bit of the message flags, the
// last verb with its time and the icon it shows (answered wins over forwarded, as only one
// verb is kept), and a red follow-up flag. Replaces whatever the message said of these.
void ApplyMessageState(MessageContent& message, const MessageState& state);

}  // namespace mail
