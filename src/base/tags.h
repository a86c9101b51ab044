// The property tags and values the program sets or reads, by name: one table for the
// importer that fills messages and the writer that stores them. A tag not named here is only
// ever passed through (or is a column of a table layout, listed with that layout).
#pragma once

#include <cstdint>

#include "base/message.h"

namespace mail::tag {

// Message properties.
inline constexpr PropTag kImportance = 0x00170003;
inline constexpr PropTag kMessageClass = 0x001A001F;
inline constexpr PropTag kPriority = 0x00260003;
inline constexpr PropTag kReadReceiptRequested = 0x0029000B;
inline constexpr PropTag kReplyTime = 0x00300040;
inline constexpr PropTag kSensitivity = 0x00360003;
inline constexpr PropTag kSubject = 0x0037001F;
inline constexpr PropTag kClientSubmitTime = 0x00390040;
inline constexpr PropTag kSentRepresentingSearchKey = 0x003B0102;
inline constexpr PropTag kSubjectPrefix = 0x003D001F;
inline constexpr PropTag kSentRepresentingEntryId = 0x00410102;
inline constexpr PropTag kSentRepresentingName = 0x0042001F;
inline constexpr PropTag kReplyRecipientEntries = 0x004F0102;
inline constexpr PropTag kReplyRecipientNames = 0x0050001F;
inline constexpr PropTag kMessageToMe = 0x0057000B;
inline constexpr PropTag kMessageCcMe = 0x0058000B;
inline constexpr PropTag kMessageRecipMe = 0x0059000B;
inline constexpr PropTag kSentRepresentingAddrType = 0x0064001F;
inline constexpr PropTag kSentRepresentingEmail = 0x0065001F;
inline constexpr PropTag kConversationTopic = 0x0070001F;
inline constexpr PropTag kConversationIndex = 0x00710102;
inline constexpr PropTag kTransportMessageHeaders = 0x007D001F;
inline constexpr PropTag kSenderEntryId = 0x0C190102;
inline constexpr PropTag kSenderName = 0x0C1A001F;
inline constexpr PropTag kSenderSearchKey = 0x0C1D0102;
inline constexpr PropTag kSenderAddrType = 0x0C1E001F;
inline constexpr PropTag kSenderEmail = 0x0C1F001F;
inline constexpr PropTag kDisplayBcc = 0x0E02001F;
inline constexpr PropTag kDisplayCc = 0x0E03001F;
inline constexpr PropTag kDisplayTo = 0x0E04001F;
inline constexpr PropTag kMessageDeliveryTime = 0x0E060040;
inline constexpr PropTag kMessageFlags = 0x0E070003;
inline constexpr PropTag kMessageSize = 0x0E080003;
inline constexpr PropTag kMessageStatus = 0x0E170003;
inline constexpr PropTag kHasAttachments = 0x0E1B000B;
inline constexpr PropTag kNormalizedSubject = 0x0E1D001F;
inline constexpr PropTag kBody = 0x1000001F;
inline constexpr PropTag kHtml = 0x10130102;
inline constexpr PropTag kNativeBody = 0x10160003;
inline constexpr PropTag kInternetMessageId = 0x1035001F;
inline constexpr PropTag kInternetReferences = 0x1039001F;
inline constexpr PropTag kInReplyToId = 0x1042001F;
inline constexpr PropTag kListHelp = 0x1043001F;
inline constexpr PropTag kListSubscribe = 0x1044001F;
inline constexpr PropTag kListUnsubscribe = 0x1045001F;
inline constexpr PropTag kIconIndex = 0x10800003;
inline constexpr PropTag kLastVerbExecuted = 0x10810003;
inline constexpr PropTag kLastVerbExecutionTime = 0x10820040;
inline constexpr PropTag kFlagStatus = 0x10900003;
inline constexpr PropTag kFollowupIcon = 0x10950003;
inline constexpr PropTag kCreationTime = 0x30070040;
inline constexpr PropTag kLastModificationTime = 0x30080040;
inline constexpr PropTag kSearchKey = 0x300B0102;
inline constexpr PropTag kInternetCpid = 0x3FDE0003;
inline constexpr PropTag kSenderSmtpAddress = 0x5D01001F;
inline constexpr PropTag kSentRepresentingSmtpAddress = 0x5D02001F;

// Recipient properties.
inline constexpr PropTag kRecipientType = 0x0C150003;
inline constexpr PropTag kResponsibility = 0x0E0F000B;
inline constexpr PropTag kRecordKey = 0x0FF90102;
inline constexpr PropTag kObjectType = 0x0FFE0003;
inline constexpr PropTag kEntryId = 0x0FFF0102;
inline constexpr PropTag kRowId = 0x30000003;
inline constexpr PropTag kDisplayName = 0x3001001F;
inline constexpr PropTag kAddrType = 0x3002001F;
inline constexpr PropTag kEmailAddress = 0x3003001F;
inline constexpr PropTag kDisplayType = 0x39000003;
inline constexpr PropTag kSmtpAddress = 0x39FE001F;
inline constexpr PropTag k7BitDisplayName = 0x39FF001F;
inline constexpr PropTag kSendRichInfo = 0x3A40000B;
inline constexpr PropTag kRecipientDisplayName = 0x5FF6001F;
inline constexpr PropTag kRecipientEntryId = 0x5FF70102;
inline constexpr PropTag kRecipientFlags = 0x5FFD0003;
inline constexpr PropTag kRecipientTrackStatus = 0x5FFF0003;

// Attachment properties.
inline constexpr PropTag kAttachSize = 0x0E200003;
inline constexpr PropTag kAttachNum = 0x0E210003;
inline constexpr PropTag kAttachDataObject = 0x3701000D;  // an embedded message
inline constexpr PropTag kAttachDataBinary = 0x37010102;
inline constexpr PropTag kAttachExtension = 0x3703001F;
inline constexpr PropTag kAttachFilename = 0x3704001F;
inline constexpr PropTag kAttachMethod = 0x37050003;
inline constexpr PropTag kAttachLongFilename = 0x3707001F;
inline constexpr PropTag kRenderingPosition = 0x370B0003;
inline constexpr PropTag kAttachMimeTag = 0x370E001F;
inline constexpr PropTag kAttachContentId = 0x3712001F;
inline constexpr PropTag kAttachContentLocation = 0x3713001F;
inline constexpr PropTag kAttachFlags = 0x37140003;
inline constexpr PropTag kTextAttachmentCharset = 0x371B001F;
inline constexpr PropTag kAttachmentHidden = 0x7FFE000B;

// Folder properties.
inline constexpr PropTag kContentCount = 0x36020003;
inline constexpr PropTag kContentUnread = 0x36030003;
inline constexpr PropTag kSubfolders = 0x360A000B;
inline constexpr PropTag kContainerClass = 0x3613001F;
inline constexpr PropTag kComment = 0x3004001F;
inline constexpr PropTag kHiddenCount1 = 0x66350003;
inline constexpr PropTag kHiddenCount2 = 0x66360003;

}  // namespace mail::tag

namespace mail {

// Message flags.
inline constexpr std::int32_t kMsgFlagRead = 0x01;
inline constexpr std::int32_t kMsgFlagUnsent = 0x08;
inline constexpr std::int32_t kMsgFlagHasAttach = 0x10;

// A message's state as Outlook shows it: the icon in the message list, the last thing done
// with it, its follow-up flag and the flag's colour.
inline constexpr std::int32_t kIconReadMail = 0x100;
inline constexpr std::int32_t kIconUnreadMail = 0x101;
inline constexpr std::int32_t kIconRepliedMail = 0x105;
inline constexpr std::int32_t kIconForwardedMail = 0x106;
inline constexpr std::int32_t kVerbReplyToSender = 102;
inline constexpr std::int32_t kVerbForward = 104;
inline constexpr std::int32_t kFollowupFlagged = 2;
inline constexpr std::int32_t kFollowupIconRed = 6;

// Attach methods, and the attachment flag for a picture shown inside the HTML body.
inline constexpr std::int32_t kAttachByValue = 1;
inline constexpr std::int32_t kAttachEmbeddedMessage = 5;
inline constexpr std::int32_t kAttRenderedInBody = 0x4;

}  // namespace mail
