// Runs the test-only verifier over a file and prints how many messages its node index
// holds: pst_verify_tool <store.pst> [--allow-tail]
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/pst_verify.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  bool tail = argc > 2 && std::string(argv[2]) == "--allow-tail";
  auto store = pst::testing::VerifyStore(bytes, tail);
  if (!store) {
    std::printf("invalid: %s\n", store.error().ToString().c_str());
    return 1;
  }
  int messages = 0;
  for (auto& [nid, node] : store->nodes) messages += (nid & 0x1F) == 4;
  std::printf("valid messages=%d\n", messages);
  return 0;
}
