// libFuzzer entry point for the store reader: any byte string must be read or refused with an
// error, without crashing, hanging, leaking or touching undefined behaviour. Fuzzing builds
// skip the checksum tests (FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION) so that mutated input
// reaches the structures behind them. Built only with -DWHARFLINE_FUZZ=ON and clang.
#include <cstddef>
#include <cstdint>

#include "pst/pst_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto store = pst::StoreReader::FromBytes(pst::ByteVec(data, data + size));
  if (!store) return 0;
  auto folders = (*store)->Folders();
  if (!folders) return 0;
  int budget = 64;
  for (const pst::StoredFolder& folder : *folders) {
    for (std::uint32_t nid : (*store)->MessagesIn(folder.nid)) {
      if (--budget < 0) return 0;
      auto m = (*store)->ReadMessage(nid);
      if (!m) continue;
      for (const auto& a : m->attachments) {
        for (const auto& [tag, value] : a) (void)(*store)->ValueBytes(value, 1 << 20);
      }
      for (const auto& [tag, value] : m->props) (void)(*store)->ValueBytes(value, 1 << 20);
    }
  }
  return 0;
}
