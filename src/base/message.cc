#include "base/message.h"

#include <algorithm>

#include "base/tags.h"

namespace mail {

const PropValue* FindProperty(const std::vector<Property>& props, PropTag tag) {
  for (const Property& p : props) {
    if (p.tag == tag) return &p.value;
  }
  return nullptr;
}

void SetProperty(std::vector<Property>& props, PropTag tag, PropValue value) {
  for (Property& p : props) {
    if (p.tag == tag) {
      p.value = std::move(value);
      return;
    }
  }
  props.push_back({tag, std::move(value)});
}

bool IsHidden(const Attachment& attachment) {
  const PropValue* hidden = FindProperty(attachment.props, tag::kAttachmentHidden);
  const bool* value = hidden ? std::get_if<bool>(hidden) : nullptr;
  return value != nullptr && *value;
}

std::int32_t StoredMessageFlags(const MessageContent& message) {
  std::int32_t flags = kMsgFlagRead;
  if (const PropValue* given = FindProperty(message.props, tag::kMessageFlags)) {
    if (const auto* v = std::get_if<std::int32_t>(given)) flags = *v;
  }
  const bool has_attach = std::any_of(message.attachments.begin(), message.attachments.end(),
                                      [](const Attachment& a) { return !IsHidden(a); });
  flags &= ~(kMsgFlagUnsent | kMsgFlagHasAttach);
  return has_attach ? flags | kMsgFlagHasAttach : flags;
}

}  // namespace mail
