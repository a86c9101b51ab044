// HTML bodies as the importer needs them: the charset a document declares, the document made
// to declare UTF-8, and its plain-text rendering. Plain standard C++, any thread.
#pragma once

#include <string>
#include <string_view>

namespace mime {

// The charset named by the first <meta ... charset=...> in the first 8 KiB, or "".
std::string FindHtmlMetaCharset(std::string_view html);

// Removes the charset declarations of the first 8 KiB and declares UTF-8 right after <head>
// (or at the start when there is no head).
std::string DeclareHtmlUtf8(std::string_view html);

// A plain-text rendering of an HTML document: tags dropped, block ends as line breaks,
// script/style/head content dropped, entities decoded.
std::string HtmlToText(std::string_view html);

}  // namespace mime
