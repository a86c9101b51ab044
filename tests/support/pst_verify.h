// A test-only checker for PST files: every [MS-PST] invariant of the NDB layer (header and
// its CRCs, page and block trailers, allocation maps, B-trees, block references, counters),
// of the LTP layer (heaps, BTHs, property and table contexts) and of the messaging layer
// (folders against their tables, the name map, search objects). It shares no code with the
// writer except the CRC and the permutation tables, so that it judges the writer's output
// on its own reading of the format.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <span>
#include <string>
#include <vector>

#include "base/result.h"

namespace pst::testing {

struct VerifiedNode {
  std::uint64_t bid_data = 0;
  std::uint64_t bid_sub = 0;
  std::uint32_t parent = 0;
};
struct VerifiedBlock {
  std::uint64_t ib = 0;
  std::uint16_t cb = 0;
  std::uint16_t refs = 0;
};
struct VerifiedStore {
  std::map<std::uint32_t, VerifiedNode> nodes;
  std::map<std::uint64_t, VerifiedBlock> blocks;
  std::uint8_t crypt = 0;
};

struct CheckOptions {
  // A writer killed during a commit leaves space marked used that only the commit it did not
  // finish would have used, and one killed while the file grows leaves whole empty spans
  // past ibFileEof: accept both (and nothing else past ibFileEof).
  bool allow_tail = false;
  // Check the LTP and messaging layers too; off for files of raw nodes.
  bool messaging = true;
  // Findings that contain one of these texts are known and accepted (listed apart).
  std::vector<std::string> accept;
};

struct Finding {
  bool warning = false;  // a deviation from what Outlook writes rather than a broken rule
  std::string text;      // names the offset, BID or NID concerned
};

struct CheckReport {
  VerifiedStore store;
  std::vector<Finding> findings;
  std::vector<Finding> accepted;
  bool ok() const { return findings.empty(); }
  // Every finding, one a line, errors first marked "error:" or "warning:".
  std::string Text() const;
};

// Checks everything listed above and reports every problem found.
CheckReport CheckStore(std::span<const std::uint8_t> file, const CheckOptions& options = {});

// CheckStore with default options; fails on any error or warning, naming the first few.
wharfline::Result<VerifiedStore> VerifyStore(std::span<const std::uint8_t> file,
                                             bool allow_tail = false);

// The decoded data stream of a block tree (a data block, XBLOCK or XXBLOCK).
wharfline::Result<std::vector<std::uint8_t>> ReadStream(const VerifiedStore& store,
                                                        std::span<const std::uint8_t> file,
                                                        std::uint64_t bid);

}  // namespace pst::testing

namespace pst::testing {

// A property or table cell as stored: its type and bytes (values kept in subnodes are
// read too).
struct StoredValue {
  std::uint16_t type = 0;
  std::vector<std::uint8_t> bytes;
};
using StoredProps = std::map<std::uint32_t, StoredValue>;  // by property id (PC) or tag (TC)

// Reads the property context of a node (top-level NID, or a subnode path below one).
wharfline::Result<StoredProps> ReadPropertyContext(const VerifiedStore& store,
                                                   std::span<const std::uint8_t> file,
                                                   std::uint64_t bid_data, std::uint64_t bid_sub);
// Reads the rows of a table context, each keyed by full tag (row id included).
wharfline::Result<std::vector<StoredProps>> ReadTable(const VerifiedStore& store,
                                                      std::span<const std::uint8_t> file,
                                                      std::uint64_t bid_data,
                                                      std::uint64_t bid_sub);
// The (data, subnode) BIDs of subnode `nid` in the subnode tree at `bid_sub`.
wharfline::Result<std::pair<std::uint64_t, std::uint64_t>> FindSubnode(
    const VerifiedStore& store, std::span<const std::uint8_t> file, std::uint64_t bid_sub,
    std::uint32_t nid);

}  // namespace pst::testing

namespace pst::testing {

// One message as the store lists it: the display name of its folder and its subject.
struct ListedMessage {
  std::uint32_t nid = 0;
  std::u16string folder;
  std::u16string subject;
};

// Checks the store (VerifyStore, with `allow_tail` as there) and lists its messages in the
// order they were added, after checking that every folder's contents table and content count
// agree with the messages filed under it.
wharfline::Result<std::vector<ListedMessage>> ListMessages(std::span<const std::uint8_t> file,
                                                           bool allow_tail = false);

}  // namespace pst::testing

namespace pst::testing {

// The shape of one node, for comparing a store with one Outlook wrote: its kind, and the
// layout of its table or the tags of its properties.
struct ColumnLayout {
  std::uint32_t tag = 0;
  std::uint16_t ib = 0;  // offset in the row
  std::uint8_t cb = 0;
  std::uint8_t bit = 0;  // cell-existence bit
  bool operator==(const ColumnLayout&) const = default;
};
struct NodeSchema {
  std::uint32_t nid = 0;
  std::uint32_t parent = 0;
  std::uint8_t client = 0;                // heap client signature (0xBC, 0x7C, ...); 0 if none
  std::vector<ColumnLayout> columns;      // a table's columns, in stored order
  std::uint16_t row_size = 0;             // a table's row size, CEB included
  std::vector<std::uint32_t> properties;  // a property context's tags, ascending
  std::size_t rows = 0;
};
// Every top-level node of the store, and its table and attachment subnodes by (node, subnode).
struct StoreSchema {
  std::map<std::uint32_t, NodeSchema> nodes;
  std::map<std::pair<std::uint32_t, std::uint32_t>, NodeSchema> subnodes;
};
wharfline::Result<StoreSchema> ReadSchema(const VerifiedStore& store,
                                          std::span<const std::uint8_t> file);

}  // namespace pst::testing

