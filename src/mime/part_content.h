// A part's content decoded from the bytes it was parsed from (a window on the message):
// either whole, into a buffer, or on demand, as a mail::ContentSource that decodes it piece
// by piece when the message is written, for content too large to hold decoded beside the
// message. Both give the same bytes: GMime's own reading of the content, plus the final bytes
// of base64 whose padding the sender left out. Free functions over bytes nobody changes;
// safe on any thread.
#pragma once

#include <gmime/gmime.h>

#include <memory>
#include <string_view>

#include "base/message.h"

namespace mime {

// Whether the window functions below take content of this transfer encoding: the identity
// encodings, base64 and quoted-printable.
bool IsWindowDecodable(GMimeContentEncoding encoding);

// The decoded content of `encoded`. REQUIRES: IsWindowDecodable(encoding).
mail::Bytes DecodeWindow(std::string_view encoded, GMimeContentEncoding encoding);

// The same bytes as DecodeWindow, made when they are read. `owner` holds the bytes `encoded`
// lies in, and the source holds `owner` for as long as it lives. Finding the exact size
// reads the content once here. REQUIRES: IsWindowDecodable(encoding).
std::shared_ptr<const mail::ContentSource> MakeWindowSource(std::shared_ptr<const void> owner,
                                                           std::string_view encoded,
                                                           GMimeContentEncoding encoding);

// GMime's decoder drops a final group of two or three base64 characters when the sender left
// out the padding; appends the one or two bytes they carry to `bytes`, GMime's reading of
// `text`, when that is the case.
void AppendUnpaddedBase64Tail(std::string_view text, mail::Bytes& bytes);

}  // namespace mime
