// Runs the test-only store checker over a file, prints every finding and how many messages
// the node index holds, and exits 1 on any finding:
//   pst_verify_tool <store.pst> [--allow-tail]
// The last line is "valid messages=N" or "invalid findings=N".
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/pst_verify.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pst_verify_tool <store.pst> [--allow-tail]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 2;
  }
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  pst::testing::CheckOptions options;
  options.allow_tail = argc > 2 && std::string(argv[2]) == "--allow-tail";
  const pst::testing::CheckReport report = pst::testing::CheckStore(bytes, options);
  std::fputs(report.Text().c_str(), stdout);
  if (!report.ok()) {
    std::printf("invalid findings=%zu\n", report.findings.size());
    return 1;
  }
  int messages = 0;
  for (auto& [nid, node] : report.store.nodes) messages += (nid & 0x1F) == 4;
  std::printf("valid messages=%d\n", messages);
  return 0;
}
