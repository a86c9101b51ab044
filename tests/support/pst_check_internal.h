// What the two halves of the store checker share: byte readers, the findings list, and the
// NDB view (nodes, blocks, subnode trees) the LTP and messaging checks read through.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "tests/support/pst_verify.h"

namespace pst::testing::check {

using Bytes = std::vector<std::uint8_t>;

inline std::uint16_t R16(std::span<const std::uint8_t> f, std::uint64_t o) {
  return static_cast<std::uint16_t>(f[o] | f[o + 1] << 8);
}
inline std::uint32_t R32(std::span<const std::uint8_t> f, std::uint64_t o) {
  return R16(f, o) | static_cast<std::uint32_t>(R16(f, o + 2)) << 16;
}
inline std::uint64_t R64(std::span<const std::uint8_t> f, std::uint64_t o) {
  return R32(f, o) | static_cast<std::uint64_t>(R32(f, o + 4)) << 32;
}
std::string Hex(std::uint64_t v);

constexpr std::uint64_t kSpan = 253952;
constexpr std::uint64_t kFirstAMap = 0x4400;
constexpr std::size_t kMaxData = 8176;
constexpr std::size_t kMaxAlloc = 3580;

class Findings {
 public:
  explicit Findings(std::vector<Finding>* out) : out_(out) {}
  void Error(std::string text) { out_->push_back({false, std::move(text)}); }
  void Warn(std::string text) { out_->push_back({true, std::move(text)}); }

 private:
  std::vector<Finding>* out_;
};

struct Subnode {
  std::uint64_t bid_data = 0;
  std::uint64_t bid_sub = 0;
};
using Subnodes = std::map<std::uint32_t, Subnode>;

// The NDB layer as checked: blocks that failed their own checks are left out of reading, so
// that one broken block is reported once, where it is broken.
struct Ndb {
  std::span<const std::uint8_t> f;
  VerifiedStore store;
  std::set<std::uint64_t> unreadable;
  std::map<std::uint64_t, Subnodes> subnode_trees;  // by SLBLOCK/SIBLOCK BID

  bool Readable(std::uint64_t bid) const {
    return store.blocks.count(bid) && !unreadable.count(bid);
  }
  // The decoded data blocks of the tree at `bid` (one data block, XBLOCK or XXBLOCK), or
  // nothing when a block in it cannot be read.
  std::optional<std::vector<Bytes>> DataBlocks(std::uint64_t bid) const;
  std::optional<Bytes> Stream(std::uint64_t bid) const;
  const Subnodes& SubnodesOf(std::uint64_t bid_sub) const;
};

// The NDB checks; fills `ndb` for the others.
void CheckNdb(std::span<const std::uint8_t> file, const CheckOptions& options, Ndb& ndb,
              Findings& out);
// Heaps, BTHs, property and table contexts of every node, and the messaging layer.
void CheckMessaging(const Ndb& ndb, Findings& out);

}  // namespace pst::testing::check
