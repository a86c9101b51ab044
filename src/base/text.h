// Text utilities every layer shares: UTF-8 and UTF-16 conversions and ASCII case. Plain
// standard C++, pure functions, any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mail {

// Decodes one code point at text[*pos] and advances *pos past it; a bad sequence gives
// U+FFFD and advances one byte.
char32_t NextCodePoint(std::string_view text, std::size_t* pos);
void AppendUtf8(std::string& out, char32_t cp);

// UTF-8 to UTF-16; each invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
// The same with every line end (CR LF, bare LF, bare CR) made CR LF on the way, in one pass.
std::u16string Utf8ToUtf16Crlf(std::string_view utf8);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);
bool IsValidUtf8(std::string_view bytes);

std::string ToUpperAscii(std::string_view s);
std::string ToLowerAscii(std::string_view s);

}  // namespace mail
