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

void RemoveProperty(std::vector<Property>& props, PropTag tag) {
  std::erase_if(props, [tag](const Property& p) { return p.tag == tag; });
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

void ApplyMessageState(MessageContent& message, const MessageState& state) {
  std::int32_t flags = StoredMessageFlags(message);
  flags = state.read ? flags | kMsgFlagRead : flags & ~kMsgFlagRead;
  SetProperty(message, tag::kMessageFlags, flags);

  std::vector<Property>& props = message.props;
  std::int32_t icon = state.read ? kIconReadMail : kIconUnreadMail;
  RemoveProperty(props, tag::kLastVerbExecuted);
  RemoveProperty(props, tag::kLastVerbExecutionTime);
  if (state.answered || state.forwarded) {
    icon = state.answered ? kIconRepliedMail : kIconForwardedMail;
    SetProperty(props, tag::kLastVerbExecuted, state.answered ? kVerbReplyToSender : kVerbForward);
    if (state.answered_at) SetProperty(props, tag::kLastVerbExecutionTime, *state.answered_at);
  }
  SetProperty(props, tag::kIconIndex, icon);

  // The flag's colour is only ever stated for a flagged message.
  RemoveProperty(props, tag::kFlagStatus);
  RemoveProperty(props, tag::kFollowupIcon);
  if (state.flagged) {
    SetProperty(props, tag::kFlagStatus, kFollowupFlagged);
    SetProperty(props, tag::kFollowupIcon, kFollowupIconRed);
  }
}

}  // namespace mail
