#include "pst/ndb.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>

#include "pst/crc.h"
#include "pst/format.h"

namespace pst {
namespace {

constexpr std::uint64_t kBufferFlushSize = 4 << 20;
constexpr std::uint64_t kSlotsPerSpan = format::kSpanSize / format::kSlotSize;  // 3968

std::uint64_t RoundUp(std::uint64_t v, std::uint64_t a) { return (v + a - 1) / a * a; }
std::uint64_t SpanStart(std::uint64_t k) { return format::kFirstAMapOffset + k * format::kSpanSize; }
bool HasPMap(std::uint64_t k) { return k % 8 == 0; }
bool HasFMap(std::uint64_t k) { return k >= 128 && (k - 128) % 496 == 0; }
bool HasFPMap(std::uint64_t k) { return k >= 8192 && (k - 8192) % 31744 == 0; }
// Bytes at the start of span k kept for its map pages.
std::uint64_t Reserved(std::uint64_t k) {
  if (HasFPMap(k)) return 0x800;
  if (HasFMap(k)) return 0x600;
  if (HasPMap(k)) return 0x400;
  return 0x200;
}

void FillPageTrailer(std::uint8_t* page, std::uint8_t ptype, std::uint16_t sig,
                     std::uint64_t bid) {
  page[496] = ptype;
  page[497] = ptype;
  Set16(page + 498, sig);
  Set32(page + 500, Crc({page, 496}));
  Set64(page + 504, bid);
}

}  // namespace

std::uint16_t ComputeSignature(std::uint64_t ib, std::uint64_t bid) {
  std::uint64_t x = ib ^ bid;
  return static_cast<std::uint16_t>((x >> 16) ^ x);
}

Result<std::unique_ptr<NdbWriter>> NdbWriter::Create(FileEnv& env, const std::string& path,
                                                     Options options) {
  // A hidden name beside the final one, so both lie on one file system and the rename at the
  // first commit is a single step. A name left by an earlier run that died is passed over.
  std::random_device random;
  Status failure;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(random()));
    std::string folder = FolderOf(path);
    std::string temp = (folder == "/" ? "" : folder) + "/." + NameOf(path) + "." + tag + ".tmp";
    auto file = env.CreateExclusive(temp);
    if (file) {
      return std::unique_ptr<NdbWriter>(
          new NdbWriter(env, path, std::move(temp), std::move(*file), options));
    }
    failure = file.error();
    if (!failure.IsAlreadyExists()) break;
  }
  return failure;
}

NdbWriter::NdbWriter(FileEnv& env, std::string path, std::string temp_path,
                     std::unique_ptr<WritableFile> file, Options options)
    : env_(env),
      path_(std::move(path)),
      temp_path_(std::move(temp_path)),
      file_(std::move(file)),
      options_(options) {
  // A new file: every NID type starts at its documented base; the fixed NIDs lie below.
  nid_index_.fill(0x400);
  nid_index_[format::kNidTypeSearchFolder] = 0x4000;
  nid_index_[format::kNidTypeNormalMessage] = 0x10000;
  nid_index_[0x08] = 0x8000;
  EnsureSpan(0);
  cursor_ = SpanStart(0) + Reserved(0);
  buffer_start_ = cursor_;
  // Room for what can gather before a flush (a gap, a block or page past the limit), taken
  // once: growing by doubling would reserve twice that.
  buffer_.reserve(kBufferFlushSize + (1 << 16) + 2 * format::kMaxBlockSize);
}

NdbWriter::~NdbWriter() {
  if (!closed_) (void)Abandon();
}

Status NdbWriter::Fail(Status s) {
  // The file goes by its own name in what the user reads, not by the one it had at first.
  if (s.IsIOError()) s = Status::IOError(path_, s.detail());
  if (status_.ok()) status_ = std::move(s);
  return status_;
}

std::uint64_t NdbWriter::file_size() const { return SpanStart(amaps_.size()); }

std::uint64_t NdbWriter::ClosedSizeBound(std::uint64_t more, std::uint64_t more_blocks,
                                         std::uint64_t more_nodes) const {
  // A B-tree over n entries: its leaves, and each level above fewer than a fifteenth of the
  // one below, with a page for the remainder of each of at most eight levels.
  const auto tree_pages = [](std::uint64_t n) { return n / 14 + 8; };
  const std::uint64_t bytes =
      more + format::kPageSize * (tree_pages(blocks_.size() + more_blocks) +
                                  tree_pages(node_count() + more_nodes));
  // Each span gives its map pages and, at worst, a block's room at its end.
  constexpr std::uint64_t kUsable = format::kSpanSize - 0x800 - format::kMaxBlockSize;
  const std::uint64_t cursor_span = (cursor_ - 1 - format::kFirstAMapOffset) / format::kSpanSize;
  return SpanStart(cursor_span + 1 + (bytes + kUsable - 1) / kUsable);
}

void NdbWriter::EnsureSpan(std::uint64_t k) {
  while (amaps_.size() <= k) {
    std::uint64_t n = amaps_.size();
    amaps_.emplace_back();
    amaps_.back().fill(0);
    span_dirty_.push_back(true);
    fmap_.push_back(0);
    std::uint64_t start = SpanStart(n);
    SetBits(start, 512, true);
    if (HasPMap(n)) SetBits(start + 0x200, 512, true);
    if (HasFMap(n)) SetBits(start + 0x400, 512, true);
    if (HasFPMap(n)) SetBits(start + 0x600, 512, true);
  }
}

void NdbWriter::SetBits(std::uint64_t ib, std::uint64_t size, bool used) {
  std::uint64_t k = (ib - format::kFirstAMapOffset) / format::kSpanSize;
  std::uint64_t first = (ib - SpanStart(k)) / format::kSlotSize;
  std::uint64_t count = RoundUp(size, format::kSlotSize) / format::kSlotSize;
  auto& map = amaps_[k];
  for (std::uint64_t i = first; i < first + count; ++i) {
    std::uint8_t bit = static_cast<std::uint8_t>(0x80 >> (i % 8));
    bool was = map[i / 8] & bit;
    if (used && !was) {
      map[i / 8] |= bit;
      ++used_slots_;
    } else if (!used && was) {
      map[i / 8] &= static_cast<std::uint8_t>(~bit);
      --used_slots_;
    }
  }
  span_dirty_[k] = true;
}

void NdbWriter::AddReusable(std::uint64_t ib, std::uint64_t size) {
  if (size == 0) return;
  auto next = reusable_.lower_bound(ib);
  if (next != reusable_.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second == ib) {
      ib = prev->first;
      size += prev->second;
      reusable_.erase(prev);
    }
  }
  if (next != reusable_.end() && ib + size == next->first) {
    size += next->second;
    reusable_.erase(next);
  }
  reusable_.emplace(ib, size);
}

std::uint64_t NdbWriter::TakeReusable(std::uint64_t size, std::uint64_t align) {
  // First fit from the front, looking at a bounded number of ranges: most are whole index
  // pages and table blocks of the commit before, so the first few fit.
  constexpr int kLooked = 64;
  int looked = 0;
  for (auto it = reusable_.begin(); it != reusable_.end() && looked < kLooked; ++looked) {
    const auto [start, length] = *it;
    const std::uint64_t pos = RoundUp(start, align);
    if (pos + size > start + length) {
      // Too small for anything a store places (64 bytes) once aligned: dropped from the list
      // (it stays free in the maps).
      it = length < 64 ? reusable_.erase(it) : std::next(it);
      continue;
    }
    reusable_.erase(it);
    if (pos > start) AddReusable(start, pos - start);
    if (pos + size < start + length) AddReusable(pos + size, start + length - pos - size);
    return pos;
  }
  return 0;
}

std::uint64_t NdbWriter::Allocate(std::uint64_t size, std::uint64_t align) {
  if (const std::uint64_t reused = reusable_.empty() ? 0 : TakeReusable(size, align)) {
    SetBits(reused, size, true);
    allocated_since_header_.emplace_back(reused, size);
    bridge_from_ = ~std::uint64_t{0};  // live pages may lie just past it
    return reused;
  }
  bridge_from_ = cursor_;
  std::uint64_t pos = RoundUp(cursor_, align);
  std::uint64_t k = (pos - format::kFirstAMapOffset) / format::kSpanSize;
  // The cursor may sit exactly at the start of a span, on its map pages.
  if (pos < SpanStart(k) + Reserved(k)) pos = RoundUp(SpanStart(k) + Reserved(k), align);
  if (pos + size > SpanStart(k + 1)) {
    ++k;
    pos = RoundUp(SpanStart(k) + Reserved(k), align);
  }
  // Nothing is written past the committed end: the file grows first.
  if (committed_once_ && SpanStart(k + 1) > committed_eof_) (void)Grow(k + 1);
  EnsureSpan(k);
  SetBits(pos, size, true);
  // Space is mostly taken end to end, so the list stays a few ranges per span.
  if (!allocated_since_header_.empty() &&
      allocated_since_header_.back().first + allocated_since_header_.back().second == pos &&
      pos != SpanStart(k) + Reserved(k)) {
    allocated_since_header_.back().second += size;
  } else {
    allocated_since_header_.emplace_back(pos, size);
  }
  cursor_ = pos + size;
  return pos;
}

std::uint64_t NdbWriter::Headroom() const {
  // Twice what was placed since the last header, at least 1 MiB and at most a sixteenth of
  // the file (or 16 MiB in a smaller one): few syncs for a long stretch of writing.
  const std::uint64_t since = (cursor_ - committed_cursor_) / format::kSpanSize;
  const std::uint64_t most = std::max<std::uint64_t>(64, amaps_.size() / 16);
  return std::clamp<std::uint64_t>(2 * since + 1, 4, most);
}

Status NdbWriter::Grow(std::uint64_t spans) {
  if (!status_.ok()) return status_;
  const std::uint64_t first = (committed_eof_ - format::kFirstAMapOffset) / format::kSpanSize;
  EnsureSpan(std::max(spans, first + Headroom()) - 1);
  Status s = Extend(spans);
  if (!s.ok()) return s;
  spans = amaps_.size();
  // The new spans' maps mark only themselves used, as the header below will count them.
  std::uint64_t added_free = 0;
  for (std::uint64_t k = first; k < spans; ++k) {
    fmap_[k] = 255;
    added_free += format::kSpanSize - Reserved(k);
  }
  const std::uint64_t eof = SpanStart(spans);
  for (std::uint64_t k = first; k < spans; ++k) {
    s = WriteSpanMaps(k);
    if (!s.ok()) return s;
  }
  s = WriteFMapPages(first, spans);
  if (!s.ok()) return s;
  if (options_.sync) {
    s = file_->Sync();
    if (!s.ok()) return Fail(s);
  }
  // The last commit again, in a file that is now longer.
  ByteVec header = last_header_;
  std::uint8_t* h = header.data();
  Set64(h + 0xB8, eof);
  Set64(h + 0xC0, SpanStart(spans - 1));
  Set64(h + 0xC8, Get64(h + 0xC8) + added_free);
  Set32(h + 0x04, Crc({h + 8, 471}));
  Set32(h + 0x20C, Crc({h + 8, 516}));
  s = file_->WriteAt(0, header);
  if (!s.ok()) return Fail(s);
  // Once in the file, that header is the one to go back to, durable or not.
  last_header_ = std::move(header);
  committed_eof_ = eof;
  if (options_.sync) {
    s = file_->Sync();
    if (!s.ok()) return Fail(s);
  }
  return Status::OK();
}

void NdbWriter::DropSpans(std::uint64_t spans) {
  if (amaps_.size() <= spans) return;
  while (amaps_.size() > spans) {
    for (std::uint8_t byte : amaps_.back()) used_slots_ -= std::popcount(byte);
    amaps_.pop_back();
    span_dirty_.pop_back();
    fmap_.pop_back();
  }
  span_dirty_.back() = true;  // its FMap page loses the entries of those spans
}

Status NdbWriter::Extend(std::uint64_t min_spans) {
  const std::uint64_t eof = file_size();
  if (written_end_ >= eof) return Status::OK();
  // The file takes its new length in one step, and keeps it before any page is written
  // there: a crash then leaves whole spans past the committed end, never a piece of one.
  Status s = file_->Truncate(eof);
  if (!s.ok()) {
    // Short of room (a full disk, a size limit): the spare room is given up, not the store.
    const std::uint64_t in_file =
        written_end_ <= format::kFirstAMapOffset
            ? 0
            : (written_end_ - format::kFirstAMapOffset + format::kSpanSize - 1) / format::kSpanSize;
    if (std::max(min_spans, in_file) >= amaps_.size()) return Fail(s);
    DropSpans(std::max(min_spans, in_file));
    if (written_end_ >= file_size()) return Status::OK();
    s = file_->Truncate(file_size());
    if (!s.ok()) return Fail(s);
  }
  written_end_ = file_size();
  if (committed_once_ && options_.sync) {
    s = file_->Sync();
    if (!s.ok()) return Fail(s);
  }
  return Status::OK();
}

std::uint8_t* NdbWriter::BufferAt(std::uint64_t ib, std::uint64_t size) {
  std::uint64_t end = buffer_start_ + buffer_.size();
  const std::uint64_t span = SpanStart((ib - format::kFirstAMapOffset) / format::kSpanSize);
  if (ib < end || ib - end > (1 << 16) || span >= end || end < bridge_from_) {
    // Not contiguous with what is buffered (a large skip, a span's map pages, which are the
    // maps' own to write, or a gap that may hold pages in use): start a new run at `ib`.
    if (!FlushBuffer().ok()) return nullptr;
    buffer_start_ = ib;
    end = ib;
  }
  buffer_.resize(buffer_.size() + (ib - end) + size, 0);
  return buffer_.data() + (ib - buffer_start_);
}

Status NdbWriter::FlushBuffer() {
  if (!status_.ok()) return status_;
  if (buffer_.empty()) return Status::OK();
  Status s = file_->WriteAt(buffer_start_, buffer_);
  if (!s.ok()) return Fail(s);
  for (const auto& [from, to] : for_good_) file_->WrittenForGood(from, to - from);
  for_good_.clear();
  written_end_ = std::max(written_end_, buffer_start_ + buffer_.size());
  buffer_start_ += buffer_.size();
  buffer_.clear();
  return Status::OK();
}

Result<std::uint64_t> NdbWriter::WriteBlock(std::span<const std::uint8_t> data, bool internal) {
  if (!status_.ok()) return status_;
  assert(data.size() <= format::kMaxBlockData);
  std::uint64_t bid = next_bid_ | (internal ? format::kBidInternal : 0);
  next_bid_ += format::kBidStep;
  std::uint64_t size = RoundUp(data.size() + format::kBlockTrailerSize, 64);
  std::uint64_t ib = Allocate(size, 64);
  std::uint8_t* p = BufferAt(ib, size);
  if (p == nullptr) return status_;
  std::memcpy(p, data.data(), data.size());
  if (!internal && options_.crypt == format::kCryptPermute) PermuteEncode({p, data.size()});
  std::uint8_t* t = p + size - format::kBlockTrailerSize;
  Set16(t, static_cast<std::uint16_t>(data.size()));
  Set16(t + 2, ComputeSignature(ib, bid));
  Set32(t + 4, Crc({p, data.size()}));
  Set64(t + 8, bid);
  if ((bid >> 33) != 0 || (ib >> 38) != 0) return Fail(Status::Overflow("block", "store too large"));
  blocks_.push_back({static_cast<std::uint32_t>(bid >> 1), static_cast<std::uint32_t>(ib >> 6),
                     static_cast<std::uint16_t>(data.size())});
  if (collector_ != nullptr) {
    collector_->push_back(bid);
  } else if (!for_good_.empty() && for_good_.back().second == ib) {
    for_good_.back().second += size;
  } else {
    for_good_.emplace_back(ib, ib + size);
  }
  if (buffer_.size() >= kBufferFlushSize) {
    Status s = FlushBuffer();
    if (!s.ok()) return s;
  }
  return bid;
}

Result<std::uint64_t> NdbWriter::WriteTree(const std::vector<std::uint64_t>& bids,
                                           const std::vector<std::uint32_t>& sizes,
                                           std::uint64_t total) {
  if (bids.size() == 1) return bids[0];
  auto write_x = [&](std::span<const std::uint64_t> ids, std::uint8_t level,
                     std::uint64_t bytes) -> Result<std::uint64_t> {
    ByteVec x;
    x.reserve(8 + ids.size() * 8);
    Put8(x, 0x01);
    Put8(x, level);
    Put16(x, static_cast<std::uint16_t>(ids.size()));
    Put32(x, static_cast<std::uint32_t>(bytes));
    for (auto id : ids) Put64(x, id);
    return WriteBlock(x, true);
  };
  if (bids.size() <= format::kXBlockFanout) return write_x(bids, 1, total);
  if (bids.size() > std::uint64_t{format::kXBlockFanout} * format::kXBlockFanout) {
    return Status::Overflow("data tree", "too many blocks");
  }
  // The byte count of each XBLOCK under an XXBLOCK is that of its own blocks, which need not
  // be full (a table's blocks hold whole rows).
  std::vector<std::uint64_t> xbids;
  for (std::size_t i = 0; i < bids.size(); i += format::kXBlockFanout) {
    std::size_t n = std::min<std::size_t>(format::kXBlockFanout, bids.size() - i);
    std::uint64_t bytes = 0;
    for (std::size_t j = i; j < i + n; ++j) bytes += sizes[j];
    auto x = write_x({bids.data() + i, n}, 1, bytes);
    if (!x) return x;
    xbids.push_back(*x);
  }
  return write_x(xbids, 2, total);
}

Status DataTreeWriter::Set(std::size_t index, std::span<const std::uint8_t> block) {
  if (total_ + block.size() > 0xFFFFFFFFull) {
    return Status::Overflow("data stream", "4 GiB or more");
  }
  if (index >= std::uint64_t{format::kXBlockFanout} * format::kXBlockFanout) {
    return Status::Overflow("data tree", "too many blocks");
  }
  auto bid = ndb_.WriteBlock(block, false);
  if (!bid) return bid.error();
  if (index >= bids_.size()) {
    bids_.resize(index + 1, 0);
    sizes_.resize(index + 1, 0);
  }
  assert(bids_[index] == 0);
  bids_[index] = *bid;
  sizes_[index] = static_cast<std::uint32_t>(block.size());
  total_ += block.size();
  return Status::OK();
}

Result<std::uint64_t> DataTreeWriter::Finish() {
  if (!ndb_.status().ok()) return ndb_.status();
  if (bids_.empty()) return std::uint64_t{0};
  assert(std::find(bids_.begin(), bids_.end(), 0) == bids_.end());
  return ndb_.WriteTree(bids_, sizes_, total_);
}

Result<std::uint64_t> NdbWriter::WriteStream(std::span<const std::uint8_t> data) {
  if (!status_.ok()) return status_;
  if (data.size() > 0xFFFFFFFFull) return Status::Overflow("data stream", "4 GiB or more");
  DataTreeWriter tree(*this);
  for (std::size_t off = 0; off < data.size(); off += format::kMaxBlockData) {
    std::size_t n = std::min<std::size_t>(format::kMaxBlockData, data.size() - off);
    Status s = tree.Add(data.subspan(off, n));
    if (!s.ok()) return s;
  }
  return tree.Finish();
}

Result<std::uint64_t> NdbWriter::WriteFrom(ContentReader& reader, std::uint64_t size) {
  if (!status_.ok()) return status_;
  if (size > 0xFFFFFFFFull) return Status::Overflow("data stream", "4 GiB or more");
  // Each block is made in this buffer and copied once into the file buffer.
  std::array<std::uint8_t, format::kMaxBlockData> block;
  DataTreeWriter tree(*this);
  for (std::uint64_t off = 0; off < size; off += format::kMaxBlockData) {
    const auto n =
        static_cast<std::size_t>(std::min<std::uint64_t>(format::kMaxBlockData, size - off));
    if (!reader.Read({block.data(), n})) {
      return Status::InvalidArgument("attachment", "content could not be read");
    }
    Status s = tree.Add({block.data(), n});
    if (!s.ok()) return s;
  }
  return tree.Finish();
}

Result<std::uint64_t> NdbWriter::WriteChunks(const std::vector<ByteVec>& chunks) {
  if (!status_.ok()) return status_;
  DataTreeWriter tree(*this);
  for (const auto& c : chunks) {
    Status s = tree.Add(c);
    if (!s.ok()) return s;
  }
  return tree.Finish();
}

Result<std::uint64_t> NdbWriter::WriteSubnodes(std::vector<SubnodeEntry> entries) {
  if (!status_.ok()) return status_;
  if (entries.empty()) return std::uint64_t{0};
  std::sort(entries.begin(), entries.end(),
            [](const SubnodeEntry& a, const SubnodeEntry& b) { return a.nid < b.nid; });
  std::vector<std::pair<std::uint32_t, std::uint64_t>> leaves;  // first NID, SLBLOCK BID
  for (std::size_t i = 0; i < entries.size(); i += format::kSlBlockFanout) {
    std::size_t n = std::min<std::size_t>(format::kSlBlockFanout, entries.size() - i);
    ByteVec b;
    b.reserve(8 + n * 24);
    Put8(b, 0x02);
    Put8(b, 0x00);
    Put16(b, static_cast<std::uint16_t>(n));
    Put32(b, 0);
    for (std::size_t j = i; j < i + n; ++j) {
      Put64(b, entries[j].nid);
      Put64(b, entries[j].bid_data);
      Put64(b, entries[j].bid_sub);
    }
    auto bid = WriteBlock(b, true);
    if (!bid) return bid;
    leaves.emplace_back(entries[i].nid, *bid);
  }
  if (leaves.size() == 1) return leaves[0].second;
  if (leaves.size() > format::kSiBlockFanout) {
    return Status::Overflow("subnode tree", "too many subnodes");
  }
  ByteVec b;
  Put8(b, 0x02);
  Put8(b, 0x01);
  Put16(b, static_cast<std::uint16_t>(leaves.size()));
  Put32(b, 0);
  for (const auto& [nid, bid] : leaves) {
    Put64(b, nid);
    Put64(b, bid);
  }
  return WriteBlock(b, true);
}

void NdbWriter::FreeBlocks(std::span<const std::uint64_t> bids) {
  pending_free_.insert(pending_free_.end(), bids.begin(), bids.end());
}

void NdbWriter::PutNode(const NodeEntry& node) { fixed_nodes_[node.nid] = node; }

void NdbWriter::AddMessageNode(const NodeEntry& node) {
  assert(message_nodes_.empty() || message_nodes_.back().nid < node.nid);
  message_nodes_.push_back(node);
}

NdbWriter::Mark NdbWriter::GetMark() const {
  return Mark{blocks_.size(), message_nodes_.size(), nid_index_};
}

void NdbWriter::Rollback(const Mark& mark) {
  for (std::size_t i = mark.blocks; i < blocks_.size(); ++i) {
    const auto& b = blocks_[i];
    SetBits(b.ib(), RoundUp(b.cb + format::kBlockTrailerSize, 64), false);
    // Placed since the last header, which cannot reach it.
    AddReusable(b.ib(), RoundUp(b.cb + format::kBlockTrailerSize, 64));
  }
  // Their space is taken again: not to be told written for good. (A message larger than the
  // buffer has had runs told already; writing there again reads the pages back first, which
  // is slower, never wrong.)
  for_good_.clear();
  blocks_written_ = std::min(blocks_written_, mark.blocks);
  messages_written_ = std::min(messages_written_, mark.message_nodes);
  blocks_.resize(mark.blocks);
  message_nodes_.resize(mark.message_nodes);
  nid_index_ = mark.nid_index;
}

Status NdbWriter::WriteBtPage(std::uint8_t ptype, const ByteVec& entries, std::uint8_t count,
                              std::uint8_t max, std::uint8_t entry_size, std::uint8_t level,
                              BtRef* out) {
  std::uint64_t bid = next_page_bid_++;
  std::uint64_t ib = Allocate(format::kPageSize, format::kPageSize);
  std::uint8_t* p = BufferAt(ib, format::kPageSize);
  if (p == nullptr) return status_;
  std::memcpy(p, entries.data(), entries.size());
  p[488] = count;
  p[489] = max;
  p[490] = entry_size;
  p[491] = level;
  FillPageTrailer(p, ptype, ComputeSignature(ib, bid), bid);
  out->bid = bid;
  out->ib = ib;
  if (buffer_.size() >= kBufferFlushSize) return FlushBuffer();
  return Status::OK();
}

void NdbWriter::DropPage(BtRef& ref) {
  if (ref.ib != 0) to_wipe_.emplace_back(ref.ib, format::kPageSize);
  ref = {};
}

template <class Put>
Status NdbWriter::WriteLeaf(std::uint8_t ptype, BtPages& tree, std::size_t i, std::size_t first,
                            std::size_t end, std::uint8_t per_leaf, std::uint8_t entry_size,
                            Put put) {
  BtRef& leaf = tree.levels[0][i];
  DropPage(leaf);
  ByteVec e;
  std::uint8_t n = 0;
  std::uint64_t key = 0;
  for (std::size_t j = first; j < end; ++j) {
    std::optional<std::uint64_t> k = put(j, e);
    if (k && n++ == 0) key = *k;
  }
  if (n == 0) return Status::OK();
  BtRef r{key, 0, 0};
  Status s = WriteBtPage(ptype, e, n, per_leaf, entry_size, 0, &r);
  if (s.ok()) leaf = r;
  return s;
}

void NdbWriter::DropLevelsFrom(BtPages& tree, std::size_t level) {
  for (std::size_t j = level; j < tree.levels.size(); ++j) {
    for (BtRef& r : tree.levels[j]) DropPage(r);
  }
  tree.levels.resize(level);
}

Status NdbWriter::WriteUpperLevels(std::uint8_t ptype, BtPages& tree,
                                   std::vector<std::size_t> changed, BtRef* root) {
  constexpr std::size_t kFan = format::kBtMaxEntries;
  std::size_t k = 0;
  for (; tree.levels[k].size() > 1; ++k) {
    const std::size_t n = (tree.levels[k].size() + kFan - 1) / kFan;
    if (tree.levels.size() == k + 1) tree.levels.emplace_back();
    auto& up = tree.levels[k + 1];
    const std::size_t kept = std::min(up.size(), n);
    for (std::size_t p = kept; p < up.size(); ++p) DropPage(up[p]);
    up.resize(n);
    // The pages over changed children, then the pages new to this level.
    std::vector<std::size_t> next;
    for (std::size_t c : changed) {
      const std::size_t p = c / kFan;
      if (p < kept && (next.empty() || next.back() != p)) next.push_back(p);
    }
    for (std::size_t p = kept; p < n; ++p) next.push_back(p);
    const auto& below = tree.levels[k];
    for (std::size_t p : next) {
      DropPage(up[p]);
      ByteVec e;
      std::uint8_t count = 0;
      BtRef r{};
      for (std::size_t c = p * kFan; c < std::min(below.size(), (p + 1) * kFan); ++c) {
        if (below[c].ib == 0) continue;
        if (count++ == 0) r.key = below[c].key;
        Put64(e, below[c].key);
        Put64(e, below[c].bid);
        Put64(e, below[c].ib);
      }
      if (count == 0) continue;
      Status s = WriteBtPage(ptype, e, count, format::kBtMaxEntries, format::kBtEntrySize,
                             static_cast<std::uint8_t>(k + 1), &r);
      if (!s.ok()) return s;
      up[p] = r;
    }
    changed = std::move(next);
  }
  DropLevelsFrom(tree, k + 1);
  BtRef& top = tree.levels[k][0];
  if (top.ib == 0) {
    // Nothing in the whole tree: an empty page is its root.
    const bool nbt_leaf = k == 0 && ptype == format::kPageNBT;
    Status s = WriteBtPage(ptype, {}, 0, nbt_leaf ? format::kNbtMaxEntries : format::kBtMaxEntries,
                           nbt_leaf ? format::kNbtEntrySize : format::kBtEntrySize,
                           static_cast<std::uint8_t>(k), &top);
    if (!s.ok()) return s;
  }
  *root = top;
  return Status::OK();
}

Status NdbWriter::Commit(bool last) {
  if (!status_.ok()) return status_;
  if (closed_) return Status::InvalidArgument("commit", "store is closed");

  // Blocks replaced since the last commit leave the index; their bytes stay in place. They
  // are looked up one by one (nearly all are recent) and left as tombstones, so that only
  // their own leaves change.
  constexpr std::size_t kPerBbtLeaf = format::kBtMaxEntries;
  constexpr std::size_t kPerNbtLeaf = format::kNbtMaxEntries;
  std::vector<std::size_t> bbt_changed;  // leaves whose entries changed
  for (std::uint64_t bid : pending_free_) {
    auto it = std::lower_bound(blocks_.begin(), blocks_.end(), bid,
                               [](const BlockRef& b, std::uint64_t key) { return b.bid() < key; });
    if (it == blocks_.end() || it->bid() != bid || it->slot == 0) continue;
    to_wipe_.emplace_back(it->ib(), RoundUp(it->cb + format::kBlockTrailerSize, 64));
    it->slot = 0;
    ++tombstones_;
    bbt_changed.push_back(static_cast<std::size_t>(it - blocks_.begin()) / kPerBbtLeaf);
  }
  pending_free_.clear();
  // Freed space stays marked as used until the new header is on disk: at every moment the
  // maps on disk cover everything either header can reach.

  // Block B-tree. Once the tombstones are an eighth of the index they go, and every leaf is
  // written again.
  bool rebuild = bbt_.levels.empty();
  if (tombstones_ > 0 && tombstones_ * 8 > blocks_.size()) {
    blocks_.erase(std::remove_if(blocks_.begin(), blocks_.end(),
                                 [](const BlockRef& b) { return b.slot == 0; }),
                  blocks_.end());
    tombstones_ = 0;
    rebuild = true;
  }
  const std::size_t bbt_leaves = (blocks_.size() + kPerBbtLeaf - 1) / kPerBbtLeaf;
  if (rebuild) {
    DropLevelsFrom(bbt_, 0);
    bbt_.levels.emplace_back();
    bbt_changed.clear();
    blocks_written_ = 0;
  }
  auto& bbt_level0 = bbt_.levels[0];
  for (std::size_t i = bbt_leaves; i < bbt_level0.size(); ++i) DropPage(bbt_level0[i]);
  for (std::size_t i = std::min(blocks_written_, blocks_.size()) / kPerBbtLeaf; i < bbt_leaves; ++i) {
    bbt_changed.push_back(i);
  }
  std::sort(bbt_changed.begin(), bbt_changed.end());
  bbt_changed.erase(std::unique(bbt_changed.begin(), bbt_changed.end()), bbt_changed.end());
  bbt_level0.resize(bbt_leaves);
  const auto put_block = [this](std::size_t j, ByteVec& e) -> std::optional<std::uint64_t> {
    const BlockRef& b = blocks_[j];
    if (b.slot == 0) return std::nullopt;
    Put64(e, b.bid());
    Put64(e, b.ib());
    Put16(e, b.cb);
    Put16(e, 2);  // one reference plus one, as Outlook counts
    Put32(e, 0);
    return b.bid();
  };
  for (std::size_t i : bbt_changed) {
    Status s = WriteLeaf(format::kPageBBT, bbt_, i, i * kPerBbtLeaf,
                         std::min(blocks_.size(), (i + 1) * kPerBbtLeaf), kPerBbtLeaf,
                         format::kBtEntrySize, put_block);
    if (!s.ok()) return s;
  }
  if (bbt_.levels[0].empty()) bbt_.levels[0].resize(1);
  Status s = WriteUpperLevels(format::kPageBBT, bbt_, std::move(bbt_changed), &bbt_root_);
  if (!s.ok()) return s;
  blocks_written_ = blocks_.size();

  // Node B-tree. The other nodes all have lower NIDs than the messages (their counters
  // start far below): their leaves, written anew each time, take the first places of the
  // leaf level, room to spare, and the messages' leaves follow. Should one ever sort among
  // the messages, both are merged in NID order into leaves written anew.
  const auto put_node = [](const NodeEntry& node, ByteVec& e) {
    Put64(e, node.nid);
    Put64(e, node.bid_data);
    Put64(e, node.bid_sub);
    Put32(e, node.parent);
    Put32(e, 0);
    return std::optional<std::uint64_t>{node.nid};
  };
  const bool apart = fixed_nodes_.empty() || message_nodes_.empty() ||
                     fixed_nodes_.rbegin()->first < message_nodes_.front().nid;
  std::vector<const NodeEntry*> others;
  others.reserve(fixed_nodes_.size() + (apart ? 0 : message_nodes_.size()));
  {
    auto fit = fixed_nodes_.begin();
    std::size_t mi = apart ? message_nodes_.size() : 0;
    while (fit != fixed_nodes_.end() || mi < message_nodes_.size()) {
      if (mi >= message_nodes_.size() ||
          (fit != fixed_nodes_.end() && fit->first < message_nodes_[mi].nid)) {
        others.push_back(&(fit++)->second);
      } else {
        others.push_back(&message_nodes_[mi++]);
      }
    }
  }
  const std::size_t other_leaves = (others.size() + kPerNbtLeaf - 1) / kPerNbtLeaf;
  const std::size_t messages = apart ? message_nodes_.size() : 0;
  rebuild = nbt_.levels.empty() || other_leaves > nbt_reserved_ || !apart;
  if (rebuild) {
    DropLevelsFrom(nbt_, 0);
    nbt_.levels.emplace_back();
    // Room for the other nodes to double, in whole pages of the level above.
    nbt_reserved_ = apart ? (2 * other_leaves + kPerBbtLeaf) / kPerBbtLeaf * kPerBbtLeaf
                          : other_leaves;
    messages_written_ = 0;
  }
  const std::size_t nbt_leaves = nbt_reserved_ + (messages + kPerNbtLeaf - 1) / kPerNbtLeaf;
  auto& nbt_level0 = nbt_.levels[0];
  for (std::size_t i = nbt_leaves; i < nbt_level0.size(); ++i) DropPage(nbt_level0[i]);
  nbt_level0.resize(nbt_leaves);
  std::vector<std::size_t> nbt_changed;
  for (std::size_t i = 0; i < nbt_reserved_; ++i) {
    nbt_changed.push_back(i);
    s = WriteLeaf(format::kPageNBT, nbt_, i, i * kPerNbtLeaf,
                  std::min(others.size(), (i + 1) * kPerNbtLeaf), kPerNbtLeaf,
                  format::kNbtEntrySize,
                  [&](std::size_t j, ByteVec& e) { return put_node(*others[j], e); });
    if (!s.ok()) return s;
  }
  for (std::size_t g = std::min(messages_written_, messages) / kPerNbtLeaf;
       nbt_reserved_ + g < nbt_leaves; ++g) {
    nbt_changed.push_back(nbt_reserved_ + g);
    s = WriteLeaf(format::kPageNBT, nbt_, nbt_reserved_ + g, g * kPerNbtLeaf,
                  std::min(messages, (g + 1) * kPerNbtLeaf), kPerNbtLeaf, format::kNbtEntrySize,
                  [&](std::size_t j, ByteVec& e) { return put_node(message_nodes_[j], e); });
    if (!s.ok()) return s;
  }
  if (nbt_.levels[0].empty()) nbt_.levels[0].resize(1);
  s = WriteUpperLevels(format::kPageNBT, nbt_, std::move(nbt_changed), &nbt_root_);
  if (!s.ok()) return s;
  messages_written_ = messages;

  // Room for what comes next, or, at the last commit, none: the spans past the last page
  // (all empty) go, and the file is cut to its new end once the header states it. (Cutting
  // frees an extent for each of their map pages: on a file system that discards freed
  // blocks at once, some milliseconds a span.)
  const std::uint64_t cursor_span = (cursor_ - 1 - format::kFirstAMapOffset) / format::kSpanSize;
  if (!last) {
    const std::uint64_t room = Headroom();
    if (amaps_.size() < cursor_span + 1 + room) EnsureSpan(cursor_span + room);
  } else {
    DropSpans(cursor_span + 1);
  }

  s = FlushBuffer();
  if (!s.ok()) return s;
  s = WriteMapPages();
  if (!s.ok()) return s;
  // The header goes last, after everything it points at is durable.
  if (options_.sync) {
    s = file_->Sync();
    if (!s.ok()) return Fail(s);
  }
  s = WriteHeader();
  if (!s.ok()) return s;
  old_pages_unreachable_ = true;
  if (options_.sync) {
    s = file_->Sync();
    if (!s.ok()) {
      // The header is in the file all the same: readers find this commit.
      if (published_) ++commits_;
      return Fail(s);
    }
  }
  if (!published_) {
    s = Publish();
    if (!s.ok()) return s;
  }
  ++commits_;
  committed_once_ = true;
  if (!to_wipe_.empty()) {
    // Now the old indexes are unreachable: release their space in the maps, restate the
    // free byte count in the header, and clear the old bytes.
    for (auto [ib, size] : to_wipe_) SetBits(ib, size, false);
    s = WriteMapPages();
    if (!s.ok()) return s;
    s = WriteHeader();
    if (!s.ok()) return s;
    s = WipeFreed();
    if (!s.ok()) return s;
  }
  old_pages_unreachable_ = false;
  if (written_end_ > committed_eof_) {
    s = file_->Truncate(committed_eof_);
    if (!s.ok()) return Fail(s);
    written_end_ = committed_eof_;
    if (options_.sync) {
      s = file_->Sync();
      if (!s.ok()) return Fail(s);
    }
  }
  return Status::OK();
}

Status NdbWriter::WipeFreed() {
  std::sort(to_wipe_.begin(), to_wipe_.end());
  ByteVec zeros;
  std::size_t i = 0;
  while (i < to_wipe_.size()) {
    std::uint64_t start = to_wipe_[i].first;
    std::uint64_t end = start + to_wipe_[i].second;
    while (++i < to_wipe_.size() && to_wipe_[i].first == end) end += to_wipe_[i].second;
    const std::uint64_t first = start;
    while (start < end) {
      std::uint64_t n = std::min<std::uint64_t>(end - start, 1 << 20);
      zeros.assign(n, 0);
      Status s = file_->WriteAt(start, zeros);
      if (!s.ok()) return Fail(s);
      start += n;
    }
    // No durable header reaches it now: later pages and blocks may go there.
    AddReusable(first, end - first);
  }
  to_wipe_.clear();
  old_pages_unreachable_ = false;
  return Status::OK();
}

Status NdbWriter::Publish() {
  Status s = env_.RenameNoReplace(temp_path_, path_);
  if (!s.ok()) return Fail(s);
  published_ = true;
  s = env_.SyncFolder(FolderOf(path_));
  if (s.ok()) return s;
  // Without a durable name the store is not made; the file under it is this writer's own
  // empty store, so it goes again.
  published_ = false;
  temp_path_.clear();
  (void)env_.Remove(path_);
  return Fail(s);
}

Status NdbWriter::Abandon() {
  if (closed_) return Status::InvalidArgument("close", "store already closed");
  closed_ = true;
  Status result;
  auto keep = [&result](Status s) {
    if (result.ok() && !s.ok()) result = std::move(s);
  };
  if (!published_) {
    keep(file_->Close());
    if (!temp_path_.empty()) keep(env_.Remove(temp_path_));
    return result;
  }
  // Back to the maps of the last commit: what was placed after its header is free again.
  // Pages written since may be torn or hold those later bits, so every changed one (and all
  // of them when a map write failed) goes out again; pages past the commit's end go with
  // the cut below.
  for (auto [ib, size] : allocated_since_header_) SetBits(ib, size, false);
  allocated_since_header_.clear();
  // A last commit that failed may have given up spans the last header still counts.
  while (file_size() < committed_eof_) EnsureSpan(amaps_.size());
  if (old_pages_unreachable_) {
    for (auto [ib, size] : to_wipe_) SetBits(ib, size, false);
  }
  std::uint64_t spans = 0;
  std::uint64_t used = 0;
  for (std::uint64_t k = 0; k < amaps_.size(); ++k) {
    const bool inside = SpanStart(k) < committed_eof_;
    if (maps_in_doubt_ && inside) span_dirty_[k] = true;
    if (!inside) {
      span_dirty_[k] = false;
      continue;
    }
    ++spans;
    for (std::uint8_t byte : amaps_[k]) used += static_cast<std::uint64_t>(std::popcount(byte));
  }
  written_end_ = std::max(written_end_, file_size());  // the file is not to grow now
  keep(WriteMapPagesAnyway());
  // The last header again, stating the free space of those maps.
  Set64(last_header_.data() + 0xC8, (spans * kSlotsPerSpan - used) * format::kSlotSize);
  Set32(last_header_.data() + 0x04, Crc({last_header_.data() + 8, 471}));
  Set32(last_header_.data() + 0x20C, Crc({last_header_.data() + 8, 516}));
  keep(file_->WriteAt(0, last_header_));
  keep(file_->Truncate(committed_eof_));
  if (options_.sync) keep(file_->Sync());
  keep(file_->Close());
  return result;
}

Status NdbWriter::WriteMapPagesAnyway() {
  Status saved = std::move(status_);
  status_ = Status::OK();
  Status s = WriteMapPages();
  status_ = std::move(saved);
  return s;
}

Status NdbWriter::WriteSpanMaps(std::uint64_t k) {
  std::uint8_t page[format::kPageSize];
  const std::uint64_t start = SpanStart(k);
  std::memset(page, 0, sizeof page);
  std::memcpy(page, amaps_[k].data(), 496);
  FillPageTrailer(page, format::kPageAMap, 0, start);
  Status s = file_->WriteAt(start, {page, sizeof page});
  if (!s.ok()) return Fail(s);
  if (HasPMap(k)) {
    std::memset(page, 0xFF, 496);
    FillPageTrailer(page, format::kPagePMap, 0, start + 0x200);
    s = file_->WriteAt(start + 0x200, {page, sizeof page});
    if (!s.ok()) return Fail(s);
  }
  if (HasFPMap(k)) {
    std::memset(page, 0xFF, 496);
    FillPageTrailer(page, format::kPageFPMap, 0, start + 0x600);
    s = file_->WriteAt(start + 0x600, {page, sizeof page});
    if (!s.ok()) return Fail(s);
  }
  return Status::OK();
}

Status NdbWriter::WriteFMapPages(std::uint64_t first, std::uint64_t end) {
  // FMap pages: one byte per AMap, the longest run of free slots in it (at most 255), for
  // the 496 spans from the one that holds the page.
  std::uint8_t page[format::kPageSize];
  for (std::uint64_t k = 128; k < amaps_.size(); k += 496) {
    if (k + 496 <= first || k >= end) continue;
    std::memset(page, 0, sizeof page);
    for (std::uint64_t j = 0; j < 496 && k + j < amaps_.size(); ++j) page[j] = fmap_[k + j];
    const std::uint64_t ib = SpanStart(k) + 0x400;
    FillPageTrailer(page, format::kPageFMap, 0, ib);
    Status s = file_->WriteAt(ib, {page, sizeof page});
    if (!s.ok()) return Fail(s);
  }
  return Status::OK();
}

Status NdbWriter::WriteMapPages() {
  // Cleared only once every page went out whole.
  maps_in_doubt_ = true;
  if (!committed_once_) {
    // The empty density list, as a new Outlook file has it.
    std::uint8_t page[format::kPageSize];
    std::memset(page, 0, sizeof page);
    FillPageTrailer(page, format::kPageDList,
                    ComputeSignature(format::kDListOffset, next_page_bid_), next_page_bid_);
    Status s = file_->WriteAt(format::kDListOffset, {page, sizeof page});
    if (!s.ok()) return Fail(s);
  }
  Status s = Extend((cursor_ - 1 - format::kFirstAMapOffset) / format::kSpanSize + 1);
  if (!s.ok()) return s;
  std::uint64_t first_dirty = amaps_.size(), end_dirty = 0;
  for (std::uint64_t k = 0; k < amaps_.size(); ++k) {
    if (!span_dirty_[k]) continue;
    first_dirty = std::min(first_dirty, k);
    end_dirty = k + 1;
    const auto& map = amaps_[k];
    unsigned run = 0, best = 0;
    for (unsigned i = 0; i < kSlotsPerSpan && best < 255; ++i) {
      if (map[i / 8] & (0x80 >> (i % 8))) {
        run = 0;
      } else {
        best = std::max(best, ++run);
      }
    }
    fmap_[k] = static_cast<std::uint8_t>(std::min(best, 255u));
    s = WriteSpanMaps(k);
    if (!s.ok()) return s;
    span_dirty_[k] = false;
  }
  s = WriteFMapPages(first_dirty, end_dirty);
  if (!s.ok()) return s;
  maps_in_doubt_ = false;
  return Status::OK();
}

Status NdbWriter::WriteHeader() {
  ByteVec h(format::kDListOffset, 0);
  std::uint8_t* p = h.data();
  std::memcpy(p, "!BDN", 4);
  p[8] = 'S';
  p[9] = 'M';
  Set16(p + 0x0A, 23);
  Set16(p + 0x0C, 19);
  p[0x0E] = 1;
  p[0x0F] = 1;
  Set64(p + 0x20, next_page_bid_);
  Set32(p + 0x28, ++unique_);
  for (int t = 0; t < 32; ++t) Set32(p + 0x2C + 4 * t, nid_index_[t]);
  std::uint64_t total_slots = amaps_.size() * kSlotsPerSpan;
  Set64(p + 0xB8, file_size());
  Set64(p + 0xC0, SpanStart(amaps_.size() - 1));
  Set64(p + 0xC8, (total_slots - used_slots_) * format::kSlotSize);
  Set64(p + 0xD0, 0);
  Set64(p + 0xD8, nbt_root_.bid);
  Set64(p + 0xE0, nbt_root_.ib);
  Set64(p + 0xE8, bbt_root_.bid);
  Set64(p + 0xF0, bbt_root_.ib);
  p[0xF8] = 2;
  std::memset(p + 0x100, 0xFF, 256);
  p[0x200] = 0x80;
  p[0x201] = options_.crypt;
  Set64(p + 0x204, next_bid_);
  Set32(p + 0x04, Crc({p + 8, 471}));
  Set32(p + 0x20C, Crc({p + 8, 516}));
  // The first commit writes the whole reserved area; later ones only the header itself.
  std::size_t n = committed_once_ ? format::kHeaderSize : h.size();
  Status s = file_->WriteAt(0, {p, n});
  if (!s.ok()) return Fail(s);
  allocated_since_header_.clear();
  last_header_.assign(p, p + format::kHeaderSize);
  committed_eof_ = file_size();
  committed_cursor_ = cursor_;
  return Status::OK();
}

Status NdbWriter::Close() {
  if (closed_) return Status::InvalidArgument("close", "store already closed");
  closed_ = true;
  Status s = file_->Close();
  if (!s.ok()) return Fail(s);
  return status_;
}

}  // namespace pst
