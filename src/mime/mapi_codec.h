// Byte encodings of Outlook message values that do not depend on GMime: FILETIME, the
// subject prefix split and attachment file names (text conversions and address keys are
// the base layer's, named here for the importer). Plain standard C++, pure functions, any
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/entry_ids.h"
#include "base/message.h"
#include "base/text.h"

namespace mime {

using mail::FlatEntryList;
using mail::IsValidUtf8;
using mail::OneOffEntryId;
using mail::SearchKey;
using mail::Utf16ToUtf8;
using mail::Utf8ToUtf16;
using mail::Utf8ToUtf16Crlf;

// Seconds since 1970-01-01 UTC to a FILETIME.
mail::FileTime UnixToFileTime(std::int64_t unix_seconds);
std::int64_t FileTimeToUnix(mail::FileTime time);

// A subject split into its prefix ("Re: ", with every blank after the colon) and the rest;
// prefix + normalized always equals the subject.
struct SubjectParts {
  std::string prefix;
  std::string normalized;
};
SubjectParts SplitSubject(std::string_view subject);

// A file name made safe for Windows: last path segment only, no control characters, no
// reserved characters, no trailing dots or blanks, device names prefixed with '_', at most 255
// UTF-16 units with the extension kept. May return an empty string.
std::string SanitizeFileName(std::string_view name);
// The 8.3 form of a long name ("Quarterly report 2024.xlsx" -> "QUARTE~1.XLS").
std::string ShortFileName(std::string_view long_name);
// ".pdf" for "a.pdf", "" when there is no extension.
std::string FileExtension(std::string_view name);

// Windows code page for a charset name (65001 when unknown).
std::int32_t CodePageForCharset(std::string_view charset);

}  // namespace mime
