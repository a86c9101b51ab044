// Text work for the importer: bytes in a declared (or guessed) charset to UTF-8 without losing
// or mangling characters, header text and line-end normalisation (HTML bodies: html_text.h).
// GLib-free interface; conversions run on GMime's iconv wrappers and uchardet. Any thread.
#pragma once

#include <string>
#include <string_view>

#include "mime/html_text.h"

namespace mime {

struct DecodedText {
  std::string utf8;
  std::string charset;  // lower-case name of the charset that decoded the bytes cleanly
  // The charset was guessed: the text is neither what its label says nor UTF-8.
  bool guessed = false;
};

// Converts bytes to UTF-8: first with the declared charset (mapped to the superset senders
// really use: iso-8859-1 to windows-1252, gb2312 to gb18030, ...), strictly; when that fails or
// no usable charset is declared (an ASCII label declares nothing of 8-bit bytes), with the
// first that converts without error of UTF-8, the charset the text's statistics point to
// (Big5, GB18030, Shift-JIS, KOI8-R, ...), windows-1252 and ISO-8859-1. Never drops bytes.
DecodedText DecodeToUtf8(std::string_view bytes, std::string_view declared_charset);

// Keeps the converters GMime opens most often itself (its fallbacks for 8-bit header text,
// windows-1252 and ISO-8859-1) open on the calling thread. glibc unloads a conversion module
// when its last converter closes, so without one held here every message that needs it pays
// for loading the module again. Cheap after the first call on a thread.
void KeepCommonConvertersLoaded();

// Text as UTF-8 whatever it was: valid UTF-8 passes, anything else is decoded as above.
std::string EnsureUtf8(std::string_view bytes);
// The bytes unchanged unless they are UTF-8 with a few stray bytes; then UTF-8 with each stray
// byte replaced. For raw header text handed to GMime, whose fallback would read it as Latin-1.
std::string RepairMostlyUtf8(std::string bytes);

// Decodes an unstructured header value as written (RFC 2047 encoded words, raw 8-bit text).
// The bytes of adjacent encoded words in one charset are joined before conversion, so a
// character split across two words survives, and each word's base64 is decoded on its own.
// Raw 8-bit text that is not UTF-8 is read in `hint_charset` (the message's body charset:
// senders who leave a header undeclared usually write it in that charset) before the fallbacks.
std::string DecodeHeaderText(std::string_view raw, std::string_view hint_charset = {});

// Rewrites every run of adjacent RFC 2047 encoded words as one well-formed UTF-8 base64 word
// (padding restored, characters split across words joined), leaving all other text as it is.
// For structured headers whose parser decodes encoded words itself.
std::string NormalizeEncodedWords(std::string_view raw);

// Every line end (CRLF, bare LF, bare CR) becomes CRLF.
std::string ToCrlf(std::string_view text);

}  // namespace mime
