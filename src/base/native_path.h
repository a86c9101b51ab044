// Paths held as QString, to and from the bytes the system takes, byte for byte (see
// native_name.h). Every place a path crosses to or from the file system goes through these,
// never through QFile::encodeName/decodeName, which lose bytes that are not UTF-8.
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "base/native_name.h"

namespace wharfline {

inline QString PathFromNative(std::string_view bytes) {
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return QString::fromStdU16String(DecodeNativeName(bytes));
    }
  }
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

inline std::string NativeFromPath(const QString& path) {
  return EncodeNativeName(
      std::u16string_view(reinterpret_cast<const char16_t*>(path.utf16()),
                          static_cast<std::size_t>(path.size())));
}

// The text to show for a path: what it holds, with every byte that was not UTF-8 as U+FFFD.
inline QString PathForDisplay(const QString& path) {
  QString shown = path;
  for (QChar& c : shown) {
    if (c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF && c.isLowSurrogate()) {
      // Only lone ones stand for bytes; a pair is a character.
      const qsizetype at = &c - shown.data();
      if (at == 0 || !shown.at(at - 1).isHighSurrogate()) c = QChar(0xFFFD);
    }
  }
  return shown;
}

}  // namespace wharfline
