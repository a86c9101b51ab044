// File names as the system keeps them are bytes, which on POSIX systems need not be valid
// UTF-8; above the file system we hold them as UTF-16 text. Bytes that are not UTF-8 are
// carried as the lone surrogates U+DC80..U+DCFF, one per byte (what Python calls
// "surrogateescape"), so every name comes back byte for byte: EncodeNativeName undoes
// DecodeNativeName exactly. Valid UTF-8 can hold no surrogates, so nothing else maps there.
// Plain standard C++; header only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wharfline {

inline std::u16string DecodeNativeName(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    // The length and least value of a sequence starting with b, and its first bits.
    std::size_t len = 0;
    char32_t cp = 0, least = 0;
    if (b >= 0xC2 && b <= 0xDF) len = 2, cp = b & 0x1F, least = 0x80;
    else if (b >= 0xE0 && b <= 0xEF) len = 3, cp = b & 0x0F, least = 0x800;
    else if (b >= 0xF0 && b <= 0xF4) len = 4, cp = b & 0x07, least = 0x10000;
    bool valid = len > 0 && i + len <= n;
    for (std::size_t k = 1; valid && k < len; ++k) {
      valid = (p[i + k] & 0xC0) == 0x80;
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    valid = valid && cp >= least && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (!valid) {
      out.push_back(static_cast<char16_t>(0xDC00 + b));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

inline std::string EncodeNativeName(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto put = [&out](char32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | cp >> 6));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | cp >> 12));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | cp >> 18));
      out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      put(0x10000 + ((char32_t{u} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      out.push_back(static_cast<char>(u - 0xDC00));  // a byte that was not UTF-8
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      put(0xFFFD);  // a surrogate no name can have held
    } else {
      put(u);
    }
  }
  return out;
}

}  // namespace wharfline
