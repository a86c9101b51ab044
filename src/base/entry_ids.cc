#include "base/entry_ids.h"

#include <array>

#include "base/text.h"

namespace mail {
namespace {

void AppendUtf16Le(Bytes& out, std::string_view utf8) {
  for (char16_t unit : Utf8ToUtf16(utf8)) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

void AppendLe32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

Bytes OneOffEntryId(std::string_view display_name, std::string_view address_type,
                         std::string_view address) {
  static constexpr std::array<std::uint8_t, 16> kOneOffProvider = {
      0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
      0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
  Bytes out;
  out.reserve(24 + 2 * (display_name.size() + address_type.size() + address.size() + 3));
  for (int i = 0; i < 4; ++i) out.push_back(0);  // flags
  for (std::uint8_t b : kOneOffProvider) out.push_back(b);
  out.push_back(0);  // version
  out.push_back(0);
  out.push_back(0x01);  // flags word 0x9001, little-endian
  out.push_back(0x90);
  AppendUtf16Le(out, display_name);
  AppendUtf16Le(out, address_type);
  AppendUtf16Le(out, address);
  return out;
}

Bytes SearchKey(std::string_view address_type, std::string_view address) {
  std::string key = ToUpperAscii(address_type) + ":" + ToUpperAscii(address);
  Bytes out(key.begin(), key.end());
  out.push_back(0);
  return out;
}

Bytes FlatEntryList(const std::vector<Bytes>& entries) {
  Bytes body;
  for (const Bytes& entry : entries) {
    AppendLe32(body, static_cast<std::uint32_t>(entry.size()));
    body.insert(body.end(), entry.begin(), entry.end());
    while (body.size() % 4 != 0) body.push_back(0);
  }
  Bytes out;
  AppendLe32(out, static_cast<std::uint32_t>(entries.size()));
  AppendLe32(out, static_cast<std::uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace mail
