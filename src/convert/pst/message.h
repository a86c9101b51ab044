// What one message is made of, as the writer takes it: properties, recipients, attachments
// (by value or embedded messages). The MIME importer fills these; the PST writer stores them.
// Plain standard C++; values only, no references into anything else.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace pst {

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

struct Attachment {
  std::vector<Property> props;  // names, MIME type, method, content id, flags, ...
  Bytes data;                   // by-value content (attach method 1)
  std::unique_ptr<MessageContent> embedded;  // set for an attached message (attach method 5)
};

struct MessageContent {
  std::vector<Property> props;
  std::vector<NamedProperty> named_props;
  std::vector<Recipient> recipients;
  std::vector<Attachment> attachments;
};

// Sets one property of a message, replacing any value it had under the same tag (how a
// caller applies a single property, such as the message flags, before saving).
inline void SetProperty(MessageContent& message, PropTag tag, PropValue value) {
  for (auto& p : message.props) {
    if (p.tag == tag) {
      p.value = std::move(value);
      return;
    }
  }
  message.props.push_back({tag, std::move(value)});
}

}  // namespace pst
