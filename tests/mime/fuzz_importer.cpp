// libFuzzer entry point: any byte string handed to the importer must give a message or a
// failure value, without crashing, hanging, leaking or touching undefined behaviour.
// Built only with -DWHARFLINE_FUZZ=ON and clang; see the README's developer section.
#include <cstddef>
#include <cstdint>
#include <span>

#include "mime/importer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mime::ImportOptions options;
  options.now = 1767225600;  // fixed clock: runs are reproducible
  auto result =
      mime::ImportMessageBytes(std::as_bytes(std::span<const std::uint8_t>(data, size)), options);
  if (result.has_value()) {
    // Touch the result so the mapping cannot be optimised away.
    volatile std::size_t n = result->content.props.size() + result->content.attachments.size();
    (void)n;
  }
  return 0;
}
