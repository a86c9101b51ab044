// Little-endian byte helpers shared by every layer of the PST writer: append to a byte
// vector, or overwrite at a position. Every integer in a PST file is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace pst {

using ByteVec = std::vector<std::uint8_t>;

inline void Put8(ByteVec& out, std::uint8_t v) { out.push_back(v); }
inline void Put16(ByteVec& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void Put32(ByteVec& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void Put64(ByteVec& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void PutBytes(ByteVec& out, std::span<const std::uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}
inline void PutZeros(ByteVec& out, std::size_t n) { out.insert(out.end(), n, 0); }

// UTF-16LE without terminator.
inline void PutUtf16(ByteVec& out, std::u16string_view s) {
  std::size_t at = out.size();
  out.resize(at + 2 * s.size());
  std::uint8_t* p = out.data() + at;
  for (char16_t c : s) {
    *p++ = static_cast<std::uint8_t>(c);
    *p++ = static_cast<std::uint8_t>(c >> 8);
  }
}

inline void Set16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Set32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Set64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t Get64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(Get32(p)) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}

}  // namespace pst
