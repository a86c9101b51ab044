// Reads a store back: its node and block indexes, data trees and subnodes, heaps, property
// and table contexts, and the folders, messages, recipients and attachments they hold. Made
// to check what the writer wrote, and safe on any input: every offset, size, count and
// checksum read from the file is checked before it is used, and damaged input gives an error
// that says what is wrong, never a crash. The file is read as needed (a store can be far
// larger than memory); only the two indexes are held, a few dozen bytes per node and block.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/result.h"
#include "pst/coding.h"
#include "pst/ndb.h"

namespace pst {

// One property as stored. A value kept in a subnode of its own (a large body, an
// attachment's content) is not read: `stream` is then its data tree and `size` its length,
// for ReadStream. Otherwise `bytes` holds the value as the file has it (strings UTF-16LE).
struct StoredValue {
  std::uint16_t type = 0;
  ByteVec bytes;
  std::uint64_t stream = 0;
  std::uint64_t size = 0;
};
// By full property tag (identifier in the high half, type in the low).
using StoredProps = std::map<std::uint32_t, StoredValue>;

// A node as the node index lists it.
using StoredNode = NodeEntry;

struct StoredFolder {
  std::uint32_t nid = 0;
  std::uint32_t parent = 0;
  std::u16string name;
};

struct StoredMessage {
  StoredProps props;
  std::vector<StoredProps> recipients;
  std::vector<StoredProps> attachments;  // each attachment's own properties
};

class StoreReader {
 public:
  class Source;  // where the bytes come from: a file or memory
  // Opens the file at `path` (only ever read) and loads its indexes.
  static wharfline::Result<std::unique_ptr<StoreReader>> Open(const std::string& path);
  // The same over bytes in memory.
  static wharfline::Result<std::unique_ptr<StoreReader>> FromBytes(ByteVec bytes);
  ~StoreReader();
  StoreReader(const StoreReader&) = delete;
  StoreReader& operator=(const StoreReader&) = delete;

  // Every node, by ascending NID.
  const std::vector<StoredNode>& nodes() const { return nodes_; }
  const StoredNode* FindNode(std::uint32_t nid) const;

  // The folders (normal folders, the root included) with their display names.
  wharfline::Result<std::vector<StoredFolder>> Folders() const;
  // The messages whose parent is `folder`, by ascending NID (the order they were added in).
  std::vector<std::uint32_t> MessagesIn(std::uint32_t folder) const;
  wharfline::Result<StoredMessage> ReadMessage(std::uint32_t nid) const;

  // The property context of a node, or of a subnode given by its BIDs.
  wharfline::Result<StoredProps> ReadProperties(std::uint64_t bid_data,
                                                std::uint64_t bid_sub) const;
  // The rows of a table context.
  wharfline::Result<std::vector<StoredProps>> ReadTable(std::uint64_t bid_data,
                                                        std::uint64_t bid_sub) const;
  // The (data, subnode) BIDs of subnode `nid` under the subnode tree `bid_sub`.
  wharfline::Result<std::pair<std::uint64_t, std::uint64_t>> FindSubnode(
      std::uint64_t bid_sub, std::uint32_t nid) const;
  // Hands the decoded stream of a data tree to `sink` a block at a time.
  wharfline::Status ReadStream(
      std::uint64_t bid, const std::function<void(std::span<const std::uint8_t>)>& sink) const;
  // The length of a data tree's stream, from its top block alone.
  wharfline::Result<std::uint64_t> StreamSize(std::uint64_t bid) const;
  // A value whole: its bytes, or its stream read (refused past `limit` bytes).
  wharfline::Result<ByteVec> ValueBytes(const StoredValue& v,
                                        std::uint64_t limit = 256u << 20) const;

 private:
  struct Block {
    std::uint64_t bid;
    std::uint64_t ib;
    std::uint16_t cb;
  };
  explicit StoreReader(std::unique_ptr<Source> source);
  wharfline::Status Load();
  wharfline::Status WalkTree(std::uint64_t bid, std::uint64_t ib, bool nbt, int level_above,
                             int depth);
  wharfline::Result<ByteVec> ReadBlock(std::uint64_t bid) const;
  wharfline::Result<std::vector<ByteVec>> ReadTreeBlocks(std::uint64_t bid) const;
  wharfline::Status TreeBlocks(std::uint64_t bid, int depth, std::vector<std::uint64_t>* out) const;

  std::unique_ptr<Source> source_;
  std::uint64_t size_ = 0;
  std::uint8_t crypt_ = 0;
  std::vector<StoredNode> nodes_;
  std::vector<Block> blocks_;  // ascending BID
};

}  // namespace pst
