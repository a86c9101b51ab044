// Byte encodings of Outlook message values that do not depend on GMime: UTF-8 to UTF-16,
// FILETIME, one-off entry IDs, search keys, flat entry lists, the subject prefix split and
// attachment file names. Plain standard C++, pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/message.h"

namespace mime {

// UTF-8 to UTF-16; each invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
// The same with every line end (CR LF, bare LF, bare CR) made CR LF on the way, in one pass.
std::u16string Utf8ToUtf16Crlf(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
bool IsValidUtf8(std::string_view bytes);

// Seconds since 1970-01-01 UTC to a FILETIME.
mail::FileTime UnixToFileTime(std::int64_t unix_seconds);
std::int64_t FileTimeToUnix(mail::FileTime time);

// One-off entry ID with the flags word 0x9001 (UTF-16 strings, no lookup, no rich text).
mail::Bytes OneOffEntryId(std::string_view display_name, std::string_view address_type,
                         std::string_view address);
// "TYPE:ADDRESS" with ASCII letters upper-cased, plus one NUL.
mail::Bytes SearchKey(std::string_view address_type, std::string_view address);
// Count, total size, then each entry's length, bytes and padding to a multiple of 4.
mail::Bytes FlatEntryList(const std::vector<mail::Bytes>& entries);

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
