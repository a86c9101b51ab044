// The message model as the writer uses it: the same types, by their names in this namespace.
#pragma once

#include "base/message.h"

namespace pst {

using mail::Attachment;
using mail::Bytes;
using mail::ContentBytes;
using mail::ContentReader;
using mail::ContentSource;
using mail::FileTime;
using mail::Guid;
using mail::MakeTag;
using mail::MessageContent;
using mail::NamedProperty;
using mail::PropTag;
using mail::PropType;
using mail::PropValue;
using mail::Property;
using mail::Recipient;
using mail::RecipientSource;
using mail::SetProperty;
using mail::TagId;
using mail::TagType;

}  // namespace pst
