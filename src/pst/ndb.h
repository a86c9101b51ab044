// The node database layer: appends blocks to the file, keeps the block and node indexes in
// memory, and at each commit writes both B-trees, the allocation maps and then the header.
// The file never holds bytes past the end its last header states: each commit leaves room
// (free in its maps) for what comes next, and when that room runs out the file grows by
// whole spans of empty maps, stated by the last header written again, before anything is
// written there. A crash can leave at most such empty spans past the end, never data.
// The file is written under a temporary name until its first commit is durable, and only then
// appears under its own name, so that name never holds a file no reader can open.
// Single-threaded. Failures of the file layer are sticky: after the first one every call
// returns it, and Abandon() puts the file back to its last commit.
#pragma once

#include <array>
#include <deque>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "pst/coding.h"
#include "pst/file.h"
#include "pst/message.h"

namespace pst {

struct SubnodeEntry {
  std::uint32_t nid = 0;
  std::uint64_t bid_data = 0;
  std::uint64_t bid_sub = 0;
};

struct NodeEntry {
  std::uint32_t nid = 0;
  std::uint32_t parent = 0;
  std::uint64_t bid_data = 0;
  std::uint64_t bid_sub = 0;
};

class NdbWriter {
 public:
  struct Options {
    std::uint8_t crypt = 0x01;  // format::kCryptPermute
    bool sync = true;           // fdatasync before and after the header at each commit
  };
  // Where a rollback returns to; see Mark() and Rollback().
  struct Mark {
    std::size_t blocks = 0;
    std::size_t message_nodes = 0;
    std::array<std::uint32_t, 32> nid_index{};
  };

  // Creates a new file that takes the name `path` at the first Commit(), never over anything
  // already there (that commit then fails with AlreadyExists). Until then it is a hidden file
  // beside `path`. `env` must outlive the writer.
  static Result<std::unique_ptr<NdbWriter>> Create(FileEnv& env, const std::string& path,
                                                   Options options);
  ~NdbWriter();
  NdbWriter(const NdbWriter&) = delete;
  NdbWriter& operator=(const NdbWriter&) = delete;

  // The sticky I/O state.
  const Status& status() const { return status_; }

  // Writes one block (at most 8176 bytes). Data blocks are encoded; internal ones are not.
  Result<std::uint64_t> WriteBlock(std::span<const std::uint8_t> data, bool internal);
  // Writes a byte stream as a data tree of full 8176-byte blocks (last one partial), under
  // an XBLOCK or XXBLOCK when it needs more than one. Returns 0 for an empty stream.
  // Fails with Overflow at 4 GiB.
  Result<std::uint64_t> WriteStream(std::span<const std::uint8_t> data);
  // Writes each chunk as one block of a data tree (heap pages, table row blocks).
  Result<std::uint64_t> WriteChunks(const std::vector<ByteVec>& chunks);
  // Writes the bytes `reader` makes, `size` in all, as a data tree of full blocks like
  // WriteStream, reading one block at a time. Fails with InvalidArgument (the writer stays
  // sound) when the reader fails, and with Overflow at 4 GiB.
  Result<std::uint64_t> WriteFrom(ContentReader& reader, std::uint64_t size);
  // Writes a subnode tree (SLBLOCK, or SIBLOCK over SLBLOCKs). Returns 0 when empty.
  Result<std::uint64_t> WriteSubnodes(std::vector<SubnodeEntry> entries);

  // While set, the BID of every block written is appended to `bids` (so a rewritten table
  // can free its old blocks). Pass nullptr to stop.
  void CollectBlocks(std::vector<std::uint64_t>* bids) { collector_ = bids; }
  // The blocks leave the block index at the next commit. They stay on disk, untouched, so
  // the previous commit remains readable until the new header is written.
  void FreeBlocks(std::span<const std::uint64_t> bids);

  // Adds or replaces a node that can change between commits (folders, tables, internal).
  void PutNode(const NodeEntry& node);
  // Adds a message node. REQUIRES: NIDs ascend across calls.
  void AddMessageNode(const NodeEntry& node);
  // Hands out the next NID index of a type and records it as the last used.
  std::uint32_t NextNidIndex(std::uint32_t type) { return ++nid_index_[type & 0x1F]; }
  void SetNidIndex(std::uint32_t type, std::uint32_t index) { nid_index_[type & 0x1F] = index; }

  Mark GetMark() const;
  // Forgets blocks and message nodes added after `mark` (their space becomes a hole).
  void Rollback(const Mark& mark);

  // Writes B-trees, maps and the header (last). After success the file is a valid store
  // holding exactly the nodes put so far. The last commit before Close() leaves no room
  // behind: the file ends with the span of its last page.
  Status Commit(bool last = false);
  // Commits whose header is in the file under its own name. A commit can count although it
  // failed: when only the sync after its header failed, readers find that header.
  std::uint64_t commits() const { return commits_; }
  // REQUIRES: Commit() ran after the last change. Closes the file; later calls fail.
  Status Close();
  // Closes the file at its last commit point, after a failure or without committing what was
  // added since: the allocation maps and the header are written again as that commit left
  // them (so a page torn by a failed write is whole again), and the bytes written after it
  // are cut off. A file that never had a commit is removed. Best effort: returns the first
  // failure. Later calls fail.
  Status Abandon();

  std::uint64_t file_size() const;
  // At most the size the file would have if `more` bytes of pages and blocks (`more_blocks`
  // of them, `more_nodes` new nodes) were placed and the last commit then ran: the B-trees
  // it writes, the spans' map pages, the room lost at span ends, to the end of the last span.
  std::uint64_t ClosedSizeBound(std::uint64_t more, std::uint64_t more_blocks,
                                std::uint64_t more_nodes) const;
  std::size_t block_count() const { return blocks_.size(); }
  std::size_t node_count() const { return fixed_nodes_.size() + message_nodes_.size(); }

 private:
  // One entry per block, kept small because there are several per message: the BID
  // halved (its lowest bit is always 0) and the offset in 64-byte slots, which reach 2^33
  // BIDs and 256 GiB, far past what Outlook opens.
  struct BlockRef {
    std::uint32_t bid_half;
    std::uint32_t slot;
    std::uint16_t cb;
    std::uint64_t bid() const { return std::uint64_t{bid_half} << 1; }
    std::uint64_t ib() const { return std::uint64_t{slot} << 6; }
  };
  struct BtRef {
    std::uint64_t key;
    std::uint64_t bid;
    std::uint64_t ib;
  };

  NdbWriter(FileEnv& env, std::string path, std::string temp_path,
            std::unique_ptr<WritableFile> file, Options options);

  // Places `size` bytes; grows the file first when they would lie past the committed end
  // (check status_ after a call).
  std::uint64_t Allocate(std::uint64_t size, std::uint64_t align);
  // Spans a commit leaves beyond the one holding the cursor.
  std::uint64_t Headroom() const;
  // Makes the file `spans` spans long: their empty maps, then the last header again stating
  // the new end, each made durable.
  Status Grow(std::uint64_t spans);
  // Makes the file as long as its spans, durably once the file is a store. When that fails
  // it tries again with no more spans than `min_spans` and those already in the file.
  Status Extend(std::uint64_t min_spans);
  // Forgets the spans from `spans` on (all empty).
  void DropSpans(std::uint64_t spans);
  // Writes the FMap pages that cover spans [first, end), from fmap_.
  Status WriteFMapPages(std::uint64_t first, std::uint64_t end);
  void EnsureSpan(std::uint64_t span);
  void SetBits(std::uint64_t ib, std::uint64_t size, bool used);
  std::uint8_t* BufferAt(std::uint64_t ib, std::uint64_t size);
  Status FlushBuffer();
  friend class DataTreeWriter;
  // The data tree over blocks of the given sizes (the bytes each holds), `total` in all.
  Result<std::uint64_t> WriteTree(const std::vector<std::uint64_t>& bids,
                                  const std::vector<std::uint32_t>& sizes, std::uint64_t total);
  Status WriteBtPage(std::uint8_t ptype, const ByteVec& entries, std::uint8_t count,
                     std::uint8_t max, std::uint8_t entry_size, std::uint8_t level,
                     BtRef* out);
  Status WriteMapPages();
  // WriteMapPages() although the writer has failed (to repair torn pages).
  Status WriteMapPagesAnyway();
  // The AMap, PMap and FPMap pages of span k, as amaps_ holds them.
  Status WriteSpanMaps(std::uint64_t k);
  Status WriteHeader();
  Status Publish();
  Status Fail(Status s);

  FileEnv& env_;
  std::string path_;       // the file's own name
  std::string temp_path_;  // its name until the first commit
  bool published_ = false;
  std::unique_ptr<WritableFile> file_;
  Options options_;
  Status status_;
  bool closed_ = false;
  bool committed_once_ = false;
  std::uint64_t commits_ = 0;
  // The last header written whole and the end of file it states; whether a map page write
  // failed since (it may have left a torn page behind).
  ByteVec last_header_;
  std::uint64_t committed_eof_ = 0;
  bool maps_in_doubt_ = false;
  // Space placed since that header: free again if the file goes back to it.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> allocated_since_header_;

  std::uint64_t next_bid_ = 4;
  std::uint64_t next_page_bid_ = 1;
  std::uint32_t unique_ = 0;
  std::array<std::uint32_t, 32> nid_index_{};

  // Deques grow in fixed chunks, without a vector's doubling slack.
  std::deque<BlockRef> blocks_;  // ascending BID
  std::vector<std::uint64_t> pending_free_;
  std::vector<std::uint64_t>* collector_ = nullptr;
  std::map<std::uint32_t, NodeEntry> fixed_nodes_;
  std::deque<NodeEntry> message_nodes_;  // ascending NID

  // Allocation: every page and block is placed at or after cursor_.
  std::uint64_t cursor_ = 0;
  std::vector<std::array<std::uint8_t, 496>> amaps_;
  std::vector<bool> span_dirty_;
  std::vector<std::uint8_t> fmap_;  // each span's FMap entry as last written
  std::uint64_t committed_cursor_ = 0;  // cursor_ at the last header
  std::uint64_t used_slots_ = 0;
  // A B-tree's pages as the last commit wrote them, kept across commits. levels[0] holds the
  // leaves, each over a fixed run of entries, and each level above holds a page over each
  // fixed run of kBtMaxEntries pages of the level below; a run with nothing in it has no page
  // (ib 0). A commit writes again only the leaves whose entries changed and the pages above
  // them, so that its cost follows what changed, not the size of the store.
  struct BtPages {
    std::vector<std::vector<BtRef>> levels;
  };
  BtPages bbt_, nbt_;
  // Block index: blocks replaced by a commit stay in blocks_ as tombstones (slot 0) until
  // they are an eighth of it, so that the leaves after them keep their entries.
  std::size_t tombstones_ = 0;
  std::size_t blocks_written_ = 0;        // blocks_ entries the last commit wrote
  // Node index: the leaves of the other nodes (which change with nearly every commit) take
  // the first nbt_reserved_ places of its leaf level, the message nodes' leaves follow.
  std::size_t nbt_reserved_ = 0;
  std::size_t messages_written_ = 0;
  // Gives up a page of the last commit: free once the next header is durable.
  void DropPage(BtRef& ref);
  // Gives up every page of `tree` from `level` up, and those levels.
  void DropLevelsFrom(BtPages& tree, std::size_t level);
  // Sets leaf i of `tree` (which the leaf level has) to a page over entries [first, end) that put(j, out) encodes (nothing
  // for a tombstone, which it leaves out), or to none when no entry is left.
  template <class Put>
  Status WriteLeaf(std::uint8_t ptype, BtPages& tree, std::size_t i, std::size_t first,
                   std::size_t end, std::uint8_t per_leaf, std::uint8_t entry_size, Put put);
  // Writes again the pages above the leaves `changed` (ascending) and above leaves past the
  // level's end, drops the pages no longer needed, and gives the root. (After a rebuild the
  // tree has only its leaf level, so every page above is new.)
  Status WriteUpperLevels(std::uint8_t ptype, BtPages& tree, std::vector<std::size_t> changed,
                          BtRef* root);
  // Space freed by this commit: zeroed once the new header is on disk, so that no stale
  // folder table or index page is left for a recovering reader to find.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> to_wipe_;
  // Free space below the cursor that later pages and blocks take before the file grows:
  // ranges (start, size) that no durable header reaches, merged where they meet.
  std::map<std::uint64_t, std::uint64_t> reusable_;
  // The buffer may bridge a gap up to the next page with zeros only from here on: the end of
  // all that was placed before it (nothing when the page went into reused space).
  std::uint64_t bridge_from_ = 0;
  void AddReusable(std::uint64_t ib, std::uint64_t size);
  // A place for size bytes in reusable_, or 0.
  std::uint64_t TakeReusable(std::uint64_t size, std::uint64_t align);
  bool old_pages_unreachable_ = false;  // the header that leaves them behind is written
  Status WipeFreed();
  BtRef nbt_root_{}, bbt_root_{};

  // Appended bytes wait here; buffer_start_ is the file offset of buffer_[0].
  ByteVec buffer_;
  std::uint64_t buffer_start_ = 0;
  // The runs of blocks in buffer_ that will never be written again (those no table snapshot
  // collects: a message's, a growing table's rows), told to the file once written.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> for_good_;
  std::uint64_t written_end_ = 0;  // highest offset written to the file so far
};

// A data tree written as its blocks come: each block is written at once, so a long stream
// never waits in memory, and Finish() writes the XBLOCK or XXBLOCK over them (none for a
// single block). Blocks may come out of order (a heap's first page is written last, say).
// Failures are the NdbWriter's, sticky there. Used for one tree.
class DataTreeWriter {
 public:
  // `ndb` must outlive the tree writer.
  explicit DataTreeWriter(NdbWriter& ndb) : ndb_(ndb) {}
  // Writes `block` (at most 8176 bytes) as the tree's block number `index`, which must not
  // have been set before. Fails with Overflow when the tree would reach 4 GiB or need more
  // blocks than an XXBLOCK holds.
  Status Set(std::size_t index, std::span<const std::uint8_t> block);
  // Writes `block` as the block after the last one set.
  Status Add(std::span<const std::uint8_t> block) { return Set(bids_.size(), block); }
  // The tree's BID; 0 when no block was set. REQUIRES: every block below the last was set.
  Result<std::uint64_t> Finish();
  std::uint64_t total() const { return total_; }

 private:
  NdbWriter& ndb_;
  std::vector<std::uint64_t> bids_;  // 0 for a block not written yet
  std::vector<std::uint32_t> sizes_;
  std::uint64_t total_ = 0;
};

// Signature of a page or block: low 16 bits of (x ^ x >> 16), x = offset ^ BID.
std::uint16_t ComputeSignature(std::uint64_t ib, std::uint64_t bid);

}  // namespace pst
