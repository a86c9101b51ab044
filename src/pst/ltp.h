// The lists-tables-properties layer: heap-on-node pages, B-trees on the heap, property
// contexts and table contexts, built in memory and written through NdbWriter as one node's
// data and subnodes. Single-threaded; a builder is used once.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "pst/coding.h"
#include "pst/message.h"
#include "pst/ndb.h"

namespace pst {

// A property value in its stored byte form: fixed types as their little-endian bytes,
// strings as UTF-16LE without terminator, multi-valued types in their packed form.
struct EncodedProp {
  PropTag tag = 0;
  ByteVec bytes;
  // Nonzero when the value was already written as this subnode of the node being built
  // (large attachment data, written without another copy in memory).
  std::uint32_t subnode = 0;
};

// Encodes a value for `tag`'s type. Returns false when the value does not match the type.
bool EncodeValue(PropTag tag, const PropValue& value, ByteVec* out);
// Size of a fixed-size type (1, 2, 4, 8 or 16), or 0 for a variable-size one.
std::size_t FixedSize(PropType type);

// A heap-on-node under construction. Its pages are kept in memory until Write(), except
// that Spill() writes the ones that can no longer change (for a table of many rows).
class HeapBuilder {
 public:
  explicit HeapBuilder(std::uint8_t client_signature);
  ~HeapBuilder();
  HeapBuilder(const HeapBuilder&) = delete;
  HeapBuilder& operator=(const HeapBuilder&) = delete;

  // REQUIRES: data.size() <= 3580 (format::kMaxHeapAllocation).
  std::uint32_t Allocate(std::span<const std::uint8_t> data);
  // The bytes of an earlier allocation; valid until the next Allocate. REQUIRES: its page
  // was not spilled (the first page never is, nor a page allocated since the last Spill).
  std::uint8_t* At(std::uint32_t hid);
  void set_user_root(std::uint32_t hid) { user_root_ = hid; }
  std::size_t page_count() const { return pages_.size(); }
  // Bytes in the last page so far with its page map (0 for none).
  std::size_t last_page_size() const {
    return pages_.empty() ? 0 : pages_.back().data.size() + 8 + 2 * pages_.back().offsets.size();
  }
  // Writes the complete pages that no later allocation or Write() changes as blocks of the
  // heap's data tree, and frees them: every page but the last, the first (it holds the
  // heap's header) and those that record the fill levels of the pages after them.
  Status Spill(NdbWriter& ndb);
  // Writes the pages not spilled and the heap's data tree over all of them; returns the
  // tree's BID. The builder is spent.
  Result<std::uint64_t> Write(NdbWriter& ndb);

  // For a heap that goes on growing after it is written: what Write() would write, as a
  // copy, leaving the builder as it was (its unspilled pages are written again next time).
  Result<std::uint64_t> WriteSnapshot(NdbWriter& ndb) const;
  // The allocations made after a mark can be taken back (they were only for a snapshot).
  // REQUIRES: nothing was spilled since the mark.
  struct Mark {
    std::size_t pages = 0;
    std::size_t last_size = 0;
    std::size_t last_allocations = 0;
  };
  Mark GetMark() const;
  void Restore(const Mark& mark);

 private:
  struct Page {
    ByteVec data;                        // header space, then allocations (then the page map)
    std::vector<std::uint16_t> offsets;  // start of each allocation
    bool closed = false;                 // the page map is appended
    bool written = false;                // spilled: data and offsets are freed
    std::uint8_t level = 0;              // fill level, once closed
  };
  static std::size_t HeaderSize(std::size_t page);
  // Page 0 and every 128th page from page 8 on carry fill levels of other pages.
  static bool HoldsLevels(std::size_t page) {
    return page == 0 || (page >= 8 && (page - 8) % 128 == 0);
  }
  static void Close(Page& p);
  std::uint8_t client_signature_;
  std::uint32_t user_root_ = 0;
  std::vector<Page> pages_;
  std::size_t spill_from_ = 1;  // pages before this were looked at by Spill
  std::unique_ptr<DataTreeWriter> tree_;
};

// Builds a B-tree on the heap over `count` sorted records of key_size + data_size bytes.
// Returns the HID of its header, which is `header_hid` when that is nonzero (an 8-byte
// allocation made earlier) and a new allocation otherwise.
std::uint32_t BuildBth(HeapBuilder& heap, std::uint8_t key_size, std::uint8_t data_size,
                       std::span<const std::uint8_t> records, std::size_t count,
                       std::uint32_t header_hid = 0);

// Where a node's data went.
struct NodeData {
  std::uint64_t bid_data = 0;
  std::uint64_t bid_sub = 0;
};

// Writes values too large for a heap (over 3580 bytes) as subnodes of the node being built.
class SubnodeSink {
 public:
  explicit SubnodeSink(NdbWriter& ndb) : ndb_(ndb) {}
  // Records a data tree already written as a new subnode and returns its NID.
  std::uint32_t AddTree(std::uint64_t bid);
  // Writes `bytes` as a new subnode and returns its NID.
  Result<std::uint32_t> AddStream(std::span<const std::uint8_t> bytes);
  // Writes what `source` makes as a new subnode, reading it block by block, and returns its
  // NID. Fails with InvalidArgument when the source fails.
  Result<std::uint32_t> AddSource(const ContentSource& source);
  void Add(const SubnodeEntry& entry) { entries_.push_back(entry); }
  std::vector<SubnodeEntry>& entries() { return entries_; }
  NdbWriter& ndb() { return ndb_; }

 private:
  NdbWriter& ndb_;
  std::vector<SubnodeEntry> entries_;
};

// Writes a property context. `props` need not be sorted; ids must be unique.
// Fails with InvalidArgument on duplicate ids.
Result<NodeData> WritePropertyContext(std::vector<EncodedProp> props, SubnodeSink& sink);

// A table context: columns fixed at construction, rows appended.
class TableBuilder {
 public:
  // `tags` without the row id and row version columns, which are always added, in the order
  // that lays the table out (see the constructor).
  explicit TableBuilder(std::vector<PropTag> tags);
  // Adds a row; cells whose tag is not a column are ignored. Full blocks of rows and full
  // heap pages are written as they are done, so a table of many rows never waits in memory
  // whole; a table that is not written in the end leaves them to the caller's rollback.
  Status AddRow(std::uint32_t row_id, std::span<const EncodedProp> cells, SubnodeSink& sink);
  Result<NodeData> Write(SubnodeSink& sink);
  std::size_t row_size() const { return row_size_; }

  // A table that lives across commits (a folder's contents): rows must come in ascending
  // row id order, and full leaves of the row index go to the heap as they fill, so what is
  // kept in memory is a few pages however many rows there are. Call before the first row.
  void SetGrowing() { growing_ = true; }
  // Writes the table as it stands, as a node with its subnodes (values too large for the
  // heap, written into `sink` as rows came, and the row matrix), leaving the builder ready
  // for more rows. What it writes besides the rows' own blocks (the heap pages still in
  // memory, the unfinished block of rows, the index's upper levels, the data trees) is
  // written again by the next snapshot, so callers free it then.
  Result<NodeData> Snapshot(SubnodeSink& sink);
  // At most the bytes a Snapshot() writes (blocks with their trailers and alignment), with
  // `subnodes` values in the sink.
  std::uint64_t SnapshotBound(std::size_t subnodes) const;
  std::uint32_t row_count() const { return row_count_; }
  std::size_t heap_pages() const { return heap_.page_count(); }

 private:
  struct Column {
    PropTag tag;
    std::uint16_t ib;
    std::uint8_t cb;
    std::uint8_t bit;
  };
  HeapBuilder heap_{0x7C};
  std::vector<Column> columns_;  // sorted by tag
  std::uint16_t end_4b_ = 0, end_2b_ = 0, end_1b_ = 0, row_size_ = 0;
  // The row matrix as the blocks it is stored in, whole rows only, as many as fit in a
  // block: the one being filled, and the tree that takes each block once the next begins.
  ByteVec rows_;
  std::unique_ptr<DataTreeWriter> rows_tree_;
  std::size_t rows_per_block_ = 1;
  ByteVec index_;  // row id (4) + row number (4), in row order (growing: the unfinished leaf)
  bool growing_ = false;
  ByteVec leaves_;  // growing: (first row id, HID) of each full leaf in the heap
  std::uint32_t last_row_id_ = 0;
  std::uint32_t rows_nid_ = 0;  // growing: the subnode the row matrix is written as
  ByteVec TcInfo() const;
  std::uint32_t row_count_ = 0;
  std::uint32_t row_version_ = 0;
  std::uint32_t index_header_ = 0;  // the row index's BTH header, the heap's first allocation
};

}  // namespace pst
