// Runs the test-only store checker over a file, prints every finding and how many messages
// the node index holds, and exits 1 on any finding:
//   pst_verify_tool <store.pst> [--allow-tail]
// The last line is "valid messages=N" or "invalid findings=N". With --schema instead, prints
// every node's kind and its table columns or property tags, for comparing stores by eye.
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
  if (argc > 2 && std::string(argv[2]) == "--schema") {
    auto schema = pst::testing::ReadSchema(report.store, bytes);
    if (!schema) {
      std::printf("unreadable: %s\n", schema.error().ToString().c_str());
      return 1;
    }
    auto print = [](const std::string& key, const pst::testing::NodeSchema& n) {
      std::printf("%s parent=0x%x client=0x%02x", key.c_str(), n.parent, n.client);
      if (n.client == 0x7C) std::printf(" rows=%zu row_size=%u", n.rows, n.row_size);
      std::printf("\n");
      for (const auto& c : n.columns) std::printf("    col %08X ib=%u cb=%u bit=%u\n", c.tag, c.ib, c.cb, c.bit);
      if (!n.properties.empty()) {
        std::printf("    props");
        for (auto t : n.properties) std::printf(" %08X", t);
        std::printf("\n");
      }
    };
    for (const auto& [nid, n] : schema->nodes) {
      char key[16];
      std::snprintf(key, sizeof key, "0x%x", nid);
      print(key, n);
    }
    for (const auto& [key, n] : schema->subnodes) {
      char name[32];
      std::snprintf(name, sizeof name, "0x%x/0x%x", key.first, key.second);
      print(name, n);
    }
    return 0;
  }
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
