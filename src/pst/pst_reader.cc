#include "pst/pst_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "pst/crc.h"
#include "pst/format.h"

namespace pst {

using wharfline::Result;
using wharfline::Status;

namespace {

Status Damaged(const std::string& what) { return Status::InvalidArgument("store damaged", what); }

std::string Hex(std::uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
  return b;
}

// Bounds-checked little-endian reads from a byte vector.
struct View {
  std::span<const std::uint8_t> b;
  bool Has(std::size_t o, std::size_t n) const { return o <= b.size() && n <= b.size() - o; }
  std::uint16_t U16(std::size_t o) const { return Get16(b.data() + o); }
  std::uint32_t U32(std::size_t o) const { return Get32(b.data() + o); }
  std::uint64_t U64(std::size_t o) const { return Get64(b.data() + o); }
};

constexpr int kMaxTreeDepth = 8;  // B-tree levels
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr bool kCheckCrc = false;
#else
constexpr bool kCheckCrc = true;
#endif
constexpr std::size_t kMaxRows = 1u << 24;

// Bytes of a fixed-size property type; 0 for variable-size ones.
std::size_t FixedSize(std::uint16_t type) {
  switch (type) {
    case 0x000B:
      return 1;
    case 0x0002:
      return 2;
    case 0x0003:
    case 0x0004:
    case 0x000A:
      return 4;
    case 0x0005:
    case 0x0006:
    case 0x0007:
    case 0x0014:
    case 0x0040:
      return 8;
    case 0x0048:
      return 16;
    default:
      return 0;
  }
}

}  // namespace

class StoreReader::Source {
 public:
  virtual ~Source() = default;
  virtual std::uint64_t size() const = 0;
  virtual Status ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

namespace {

class FileSource final : public StoreReader::Source {
 public:
  FileSource(int fd, std::uint64_t size, std::string path)
      : fd_(fd), size_(size), path_(std::move(path)) {}
  ~FileSource() override { ::close(fd_); }
  std::uint64_t size() const override { return size_; }
  Status ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                                static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Status::IOError(path_, std::strerror(errno));
      if (n == 0) return Damaged("the file ends at " + Hex(offset + done));
      done += static_cast<std::size_t>(n);
    }
    return Status::OK();
  }

 private:
  int fd_;
  std::uint64_t size_;
  std::string path_;
};

class MemorySource final : public StoreReader::Source {
 public:
  explicit MemorySource(ByteVec bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t size() const override { return bytes_.size(); }
  Status ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (offset > bytes_.size() || out.size() > bytes_.size() - offset) {
      return Damaged("the file ends before " + Hex(offset + out.size()));
    }
    std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return Status::OK();
  }

 private:
  ByteVec bytes_;
};

}  // namespace

StoreReader::StoreReader(std::unique_ptr<Source> source) : source_(std::move(source)) {
  size_ = source_->size();
}
StoreReader::~StoreReader() = default;

Result<std::unique_ptr<StoreReader>> StoreReader::Open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return Status::IOError(path, std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int e = errno;
    ::close(fd);
    return Status::IOError(path, S_ISREG(st.st_mode) ? std::strerror(e) : "not a regular file");
  }
  std::unique_ptr<StoreReader> r(new StoreReader(
      std::make_unique<FileSource>(fd, static_cast<std::uint64_t>(st.st_size), path)));
  Status s = r->Load();
  if (!s.ok()) return s;
  return r;
}

Result<std::unique_ptr<StoreReader>> StoreReader::FromBytes(ByteVec bytes) {
  std::unique_ptr<StoreReader> r(new StoreReader(std::make_unique<MemorySource>(std::move(bytes))));
  Status s = r->Load();
  if (!s.ok()) return s;
  return r;
}

Status StoreReader::Load() {
  ByteVec h(format::kHeaderSize);
  if (size_ < format::kFirstAMapOffset) return Damaged("too short to be a store");
  Status s = source_->ReadAt(0, h);
  if (!s.ok()) return s;
  View v{h};
  if (std::memcmp(h.data(), "!BDN", 4) != 0) return Damaged("not a personal folders file");
  if (v.U16(0x0A) < 23) return Damaged("not a Unicode store (version " + std::to_string(v.U16(0x0A)) + ")");
  if (kCheckCrc && v.U32(0x04) != Crc({h.data() + 8, 471})) return Damaged("header checksum");
  crypt_ = h[0x201];
  if (crypt_ > format::kCryptPermute) return Damaged("unknown encoding " + Hex(crypt_));
  const std::uint64_t eof = v.U64(0xB8);
  if (eof > size_) return Damaged("the header's end " + Hex(eof) + " lies past the file's end");
  size_ = eof;
  s = WalkTree(v.U64(0xD8), v.U64(0xE0), true, kMaxTreeDepth + 1, 0);
  if (!s.ok()) return s;
  s = WalkTree(v.U64(0xE8), v.U64(0xF0), false, kMaxTreeDepth + 1, 0);
  if (!s.ok()) return s;
  auto ascending = [](auto& list, auto key, const char* what) -> Status {
    for (std::size_t i = 1; i < list.size(); ++i) {
      if (key(list[i - 1]) >= key(list[i])) return Damaged(std::string(what) + " out of order");
    }
    return Status::OK();
  };
  s = ascending(nodes_, [](const StoredNode& n) { return n.nid; }, "node index");
  if (!s.ok()) return s;
  return ascending(blocks_, [](const Block& b) { return b.bid; }, "block index");
}

Status StoreReader::WalkTree(std::uint64_t bid, std::uint64_t ib, bool nbt, int level_above,
                             int depth) {
  if (depth > kMaxTreeDepth) return Damaged("index deeper than " + std::to_string(kMaxTreeDepth));
  if (ib % format::kPageSize != 0 || ib < format::kFirstAMapOffset || ib + format::kPageSize > size_) {
    return Damaged("index page at " + Hex(ib) + " lies outside the file");
  }
  std::uint8_t page[format::kPageSize];
  Status s = source_->ReadAt(ib, page);
  if (!s.ok()) return s;
  View v{page};
  const std::uint8_t ptype = nbt ? format::kPageNBT : format::kPageBBT;
  const std::string where = std::string(nbt ? "node" : "block") + " index page at " + Hex(ib);
  if (page[496] != ptype || page[497] != ptype) return Damaged(where + ": wrong page type");
  if (kCheckCrc && v.U32(500) != Crc({page, 496})) return Damaged(where + ": checksum");
  if (v.U64(504) != bid) return Damaged(where + ": not the page its parent names");
  const std::uint8_t count = page[488], entry = page[490], level = page[491];
  if (level >= level_above) return Damaged(where + ": level does not descend");
  const std::uint8_t want = level > 0 ? format::kBtEntrySize : nbt ? format::kNbtEntrySize : format::kBtEntrySize;
  if (entry != want || count * std::size_t{entry} > format::kBtEntriesSize) {
    return Damaged(where + ": bad entry count or size");
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t o = i * entry;
    if (level > 0) {
      s = WalkTree(v.U64(o + 8), v.U64(o + 16), nbt, level, depth + 1);
      if (!s.ok()) return s;
    } else if (nbt) {
      nodes_.push_back({static_cast<std::uint32_t>(v.U64(o)), v.U32(o + 24), v.U64(o + 8), v.U64(o + 16)});
    } else {
      blocks_.push_back({v.U64(o), v.U64(o + 8), v.U16(o + 16)});
    }
  }
  return Status::OK();
}

const StoredNode* StoreReader::FindNode(std::uint32_t nid) const {
  auto it = std::lower_bound(nodes_.begin(), nodes_.end(), nid,
                             [](const StoredNode& n, std::uint32_t k) { return n.nid < k; });
  return it != nodes_.end() && it->nid == nid ? &*it : nullptr;
}

Result<ByteVec> StoreReader::ReadBlock(std::uint64_t bid) const {
  auto it = std::lower_bound(blocks_.begin(), blocks_.end(), bid & ~std::uint64_t{1},
                             [](const Block& b, std::uint64_t k) { return b.bid < k; });
  if (it == blocks_.end() || it->bid != (bid & ~std::uint64_t{1})) return Damaged("block " + Hex(bid) + " is not in the index");
  const std::uint64_t total = (it->cb + format::kBlockTrailerSize + 63) / 64 * 64;
  if (it->cb > format::kMaxBlockData || it->ib < format::kFirstAMapOffset || it->ib % 64 != 0 ||
      it->ib + total > size_) {
    return Damaged("block " + Hex(bid) + " lies outside the file");
  }
  ByteVec b(total);
  Status s = source_->ReadAt(it->ib, b);
  if (!s.ok()) return s;
  View v{b};
  const std::size_t t = total - format::kBlockTrailerSize;
  if (v.U16(t) != it->cb || v.U64(t + 8) != it->bid) return Damaged("block " + Hex(bid) + ": trailer does not match the index");
  b.resize(it->cb);
  if (kCheckCrc && v.U32(t + 4) != Crc(b)) return Damaged("block " + Hex(bid) + ": checksum");
  if (!(bid & format::kBidInternal) && crypt_ == format::kCryptPermute) PermuteDecode(b);
  return b;
}

Status StoreReader::TreeBlocks(std::uint64_t bid, int depth, std::vector<std::uint64_t>* out) const {
  if (!(bid & format::kBidInternal)) {
    out->push_back(bid);
    return Status::OK();
  }
  auto b = ReadBlock(bid);
  if (!b) return b.error();
  View v{*b};
  if (!v.Has(0, 8) || (*b)[0] != 0x01 || depth > 1) return Damaged("data tree " + Hex(bid) + ": not an XBLOCK");
  const std::size_t n = v.U16(2);
  if (!v.Has(8, n * 8)) return Damaged("data tree " + Hex(bid) + ": entries past its end");
  const std::uint8_t level = (*b)[1];
  if (level != (depth == 0 ? level : 1) || level < 1 || level > 2) return Damaged("data tree " + Hex(bid) + ": bad level");
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t child = v.U64(8 + 8 * i);
    if (level == 1 && (child & format::kBidInternal)) return Damaged("data tree " + Hex(bid) + ": nested too deep");
    Status s = level == 2 ? TreeBlocks(child, depth + 1, out) : (out->push_back(child), Status::OK());
    if (!s.ok()) return s;
  }
  return Status::OK();
}

Status StoreReader::ReadStream(std::uint64_t bid,
                               const std::function<void(std::span<const std::uint8_t>)>& sink) const {
  std::vector<std::uint64_t> bids;
  Status s = TreeBlocks(bid, 0, &bids);
  if (!s.ok()) return s;
  for (std::uint64_t b : bids) {
    auto data = ReadBlock(b);
    if (!data) return data.error();
    sink(*data);
  }
  return Status::OK();
}

Result<std::vector<ByteVec>> StoreReader::ReadTreeBlocks(std::uint64_t bid) const {
  std::vector<ByteVec> out;
  std::uint64_t total = 0;
  Status s = ReadStream(bid, [&](std::span<const std::uint8_t> d) {
    total += d.size();
    if (total <= (256u << 20)) out.emplace_back(d.begin(), d.end());
  });
  if (!s.ok()) return s;
  if (total > (256u << 20)) return Damaged("heap " + Hex(bid) + " is too large");
  return out;
}

Result<std::pair<std::uint64_t, std::uint64_t>> StoreReader::FindSubnode(std::uint64_t bid_sub,
                                                                         std::uint32_t nid) const {
  if (bid_sub == 0) return Status::NotFound("subnode", Hex(nid));
  for (int depth = 0; depth < 2; ++depth) {
    auto b = ReadBlock(bid_sub);
    if (!b) return b.error();
    View v{*b};
    if (!v.Has(0, 8) || (*b)[0] != 0x02) return Damaged("subnode tree " + Hex(bid_sub) + ": not an SLBLOCK or SIBLOCK");
    const std::size_t n = v.U16(2);
    const bool leaf = (*b)[1] == 0;
    const std::size_t size = leaf ? 24 : 16;
    if (!v.Has(8, n * size) || (!leaf && depth > 0)) return Damaged("subnode tree " + Hex(bid_sub) + ": bad entries");
    if (leaf) {
      for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<std::uint32_t>(v.U64(8 + i * 24)) == nid) {
          return std::pair{v.U64(16 + i * 24), v.U64(24 + i * 24)};
        }
      }
      return Status::NotFound("subnode", Hex(nid));
    }
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < n && static_cast<std::uint32_t>(v.U64(8 + i * 16)) <= nid; ++i) {
      next = v.U64(16 + i * 16);
    }
    if (next == 0) return Status::NotFound("subnode", Hex(nid));
    bid_sub = next;
  }
  return Damaged("subnode tree nested too deep");
}

namespace {

// A heap on a node: its blocks, and the allocations each block's page map lists.
struct Heap {
  std::vector<ByteVec> blocks;
  std::uint8_t client = 0;
  std::uint32_t user_root = 0;

  Result<std::span<const std::uint8_t>> Get(std::uint32_t hid) const {
    const std::size_t block = hid >> 16, index = (hid >> 5) & 0x7FF;
    if ((hid & 0x1F) != 0 || index == 0 || block >= blocks.size()) return Damaged("bad heap reference " + Hex(hid));
    View v{blocks[block]};
    if (!v.Has(0, 2)) return Damaged("heap block too short");
    const std::size_t map = v.U16(0);
    if (!v.Has(map, 4)) return Damaged("heap page map outside its block");
    const std::size_t allocs = v.U16(map);
    if (index > allocs || !v.Has(map + 4, (allocs + 1) * 2)) return Damaged("heap reference " + Hex(hid) + " past the page map");
    const std::size_t start = v.U16(map + 4 + 2 * (index - 1)), end = v.U16(map + 4 + 2 * index);
    if (start > end || end > map) return Damaged("heap allocation " + Hex(hid) + " out of bounds");
    return std::span<const std::uint8_t>(blocks[block].data() + start, end - start);
  }
};

Result<Heap> MakeHeap(std::vector<ByteVec> blocks) {
  if (blocks.empty() || blocks[0].size() < 12) return Damaged("heap too short");
  View v{blocks[0]};
  if (blocks[0][2] != format::kHeapSignature) return Damaged("not a heap");
  Heap h;
  h.client = blocks[0][3];
  h.user_root = v.U32(4);
  h.blocks = std::move(blocks);
  return h;
}

// The records of a BTH, leaf after leaf, with its key and entry sizes.
struct Bth {
  std::size_t key = 0, entry = 0;
  std::vector<std::span<const std::uint8_t>> records;
};

Result<Bth> ReadBth(const Heap& heap, std::uint32_t header) {
  Bth out;
  if (header == 0) return out;
  auto h = heap.Get(header);
  if (!h) return h.error();
  if (h->size() != 8 || (*h)[0] != format::kClientBth) return Damaged("bad B-tree header " + Hex(header));
  View v{*h};
  out.key = (*h)[1];
  out.entry = (*h)[2];
  const int levels = (*h)[3];
  if (out.key == 0 || out.key > 16 || out.entry > 32 || levels > 8) return Damaged("bad B-tree header " + Hex(header));
  std::vector<std::uint32_t> hids;
  if (v.U32(4) != 0) hids.push_back(v.U32(4));
  for (int l = levels; l > 0; --l) {
    std::vector<std::uint32_t> next;
    for (std::uint32_t hid : hids) {
      auto node = heap.Get(hid);
      if (!node) return node.error();
      if (node->size() % (out.key + 4) != 0) return Damaged("bad B-tree node " + Hex(hid));
      for (std::size_t o = 0; o < node->size(); o += out.key + 4) next.push_back(Get32(node->data() + o + out.key));
      if (next.size() > kMaxRows) return Damaged("B-tree too large");
    }
    hids = std::move(next);
  }
  const std::size_t rec = out.key + out.entry;
  for (std::uint32_t hid : hids) {
    auto leaf = heap.Get(hid);
    if (!leaf) return leaf.error();
    if (leaf->size() % rec != 0) return Damaged("bad B-tree leaf " + Hex(hid));
    for (std::size_t o = 0; o < leaf->size(); o += rec) out.records.push_back(leaf->subspan(o, rec));
    if (out.records.size() > kMaxRows) return Damaged("B-tree too large");
  }
  return out;
}

}  // namespace

namespace {

// A value referred to by an HNID: in the heap, or in a subnode of its own.
Status FillValue(const StoreReader& r, const Heap& heap, std::uint64_t bid_sub, std::uint32_t hnid,
                 StoredValue* out) {
  if (hnid == 0) return Status::OK();
  if ((hnid & 0x1F) == 0) {
    auto bytes = heap.Get(hnid);
    if (!bytes) return bytes.error();
    out->bytes.assign(bytes->begin(), bytes->end());
    out->size = out->bytes.size();
    return Status::OK();
  }
  auto sub = r.FindSubnode(bid_sub, hnid);
  if (!sub) return Damaged("value in subnode " + Hex(hnid) + ": " + sub.error().detail());
  out->stream = sub->first;
  auto size = r.StreamSize(sub->first);
  if (!size) return size.error();
  out->size = *size;
  return Status::OK();
}

}  // namespace

Result<StoredProps> StoreReader::ReadProperties(std::uint64_t bid_data, std::uint64_t bid_sub) const {
  auto blocks = ReadTreeBlocks(bid_data);
  if (!blocks) return blocks.error();
  auto heap = MakeHeap(std::move(*blocks));
  if (!heap) return heap.error();
  if (heap->client != format::kClientPropertyContext) return Damaged("not a property context");
  auto bth = ReadBth(*heap, heap->user_root);
  if (!bth) return bth.error();
  if (bth->key != 2 || bth->entry != 6) return Damaged("property context with bad record sizes");
  StoredProps props;
  for (auto rec : bth->records) {
    const std::uint16_t id = Get16(rec.data()), type = Get16(rec.data() + 2);
    const std::uint32_t value = Get32(rec.data() + 4);
    StoredValue v;
    v.type = type;
    const std::size_t fixed = FixedSize(type);
    if (fixed != 0 && fixed <= 4) {
      v.bytes.assign(rec.data() + 4, rec.data() + 4 + fixed);
      v.size = fixed;
    } else {
      Status s = FillValue(*this, *heap, bid_sub, value, &v);
      if (!s.ok()) return s;
      if (fixed != 0 && v.bytes.size() != fixed) return Damaged("property " + Hex(id) + " of the wrong size");
    }
    props[std::uint32_t{id} << 16 | type] = std::move(v);
  }
  return props;
}

Result<std::vector<StoredProps>> StoreReader::ReadTable(std::uint64_t bid_data, std::uint64_t bid_sub) const {
  auto blocks = ReadTreeBlocks(bid_data);
  if (!blocks) return blocks.error();
  auto heap = MakeHeap(std::move(*blocks));
  if (!heap) return heap.error();
  if (heap->client != format::kClientTable) return Damaged("not a table context");
  auto info = heap->Get(heap->user_root);
  if (!info) return info.error();
  View v{*info};
  if (!v.Has(0, 22) || (*info)[0] != format::kClientTable) return Damaged("bad table header");
  const std::size_t cols = (*info)[1];
  if (!v.Has(22, cols * 8)) return Damaged("table columns past the header");
  const std::size_t end_bm = v.U16(2 + 6), end_1b = v.U16(2 + 4);
  const std::size_t row_size = end_bm;
  if (row_size == 0 || end_1b > end_bm) return Damaged("bad table row size");
  struct Col {
    std::uint32_t tag;
    std::size_t ib, cb, bit;
  };
  std::vector<Col> columns;
  for (std::size_t i = 0; i < cols; ++i) {
    const std::size_t o = 22 + i * 8;
    Col c{v.U32(o), v.U16(o + 4), (*info)[o + 6], (*info)[o + 7]};
    if (c.ib + c.cb > end_1b || end_1b + c.bit / 8 >= end_bm) return Damaged("table column " + Hex(c.tag) + " outside the row");
    columns.push_back(c);
  }
  // The rows: in the heap, or in a subnode whose blocks each hold whole rows.
  std::vector<ByteVec> row_blocks;
  const std::uint32_t rows_hnid = v.U32(14);
  if (rows_hnid != 0 && (rows_hnid & 0x1F) == 0) {
    auto rows = heap->Get(rows_hnid);
    if (!rows) return rows.error();
    row_blocks.emplace_back(rows->begin(), rows->end());
  } else if (rows_hnid != 0) {
    auto sub = FindSubnode(bid_sub, rows_hnid);
    if (!sub) return Damaged("table rows: " + sub.error().detail());
    auto b = ReadTreeBlocks(sub->first);
    if (!b) return b.error();
    row_blocks = std::move(*b);
  }
  std::vector<StoredProps> table;
  for (const ByteVec& block : row_blocks) {
    for (std::size_t o = 0; o + row_size <= block.size(); o += row_size) {
      if (table.size() >= kMaxRows) return Damaged("table too large");
      const std::uint8_t* row = block.data() + o;
      StoredProps props;
      for (const Col& c : columns) {
        if (!(row[end_1b + c.bit / 8] & (0x80 >> (c.bit % 8)))) continue;
        StoredValue val;
        val.type = static_cast<std::uint16_t>(c.tag & 0xFFFF);
        const std::size_t fixed = FixedSize(val.type);
        if (fixed != 0 && fixed <= 8) {
          if (c.cb != fixed) return Damaged("table column " + Hex(c.tag) + " of the wrong size");
          val.bytes.assign(row + c.ib, row + c.ib + c.cb);
          val.size = c.cb;
        } else {
          if (c.cb != 4) return Damaged("table column " + Hex(c.tag) + " of the wrong size");
          Status s = FillValue(*this, *heap, bid_sub, Get32(row + c.ib), &val);
          if (!s.ok()) return s;
        }
        props[c.tag] = std::move(val);
      }
      table.push_back(std::move(props));
    }
  }
  return table;
}

Result<std::uint64_t> StoreReader::StreamSize(std::uint64_t bid) const {
  if (bid & format::kBidInternal) {
    // The top block of the tree states the length.
    auto b = ReadBlock(bid);
    if (!b) return b.error();
    if (b->size() < 8 || (*b)[0] != 0x01) return Damaged("data tree " + Hex(bid) + ": not an XBLOCK");
    return std::uint64_t{Get32(b->data() + 4)};
  }
  auto it = std::lower_bound(blocks_.begin(), blocks_.end(), bid,
                             [](const Block& b, std::uint64_t k) { return b.bid < k; });
  if (it == blocks_.end() || it->bid != bid) return Damaged("block " + Hex(bid) + " is not in the index");
  return std::uint64_t{it->cb};
}

Result<ByteVec> StoreReader::ValueBytes(const StoredValue& v, std::uint64_t limit) const {
  if (v.stream == 0) return v.bytes;
  if (v.size > limit) return Status::Overflow("value", "larger than " + std::to_string(limit) + " bytes");
  ByteVec out;
  out.reserve(v.size);
  Status s = ReadStream(v.stream, [&](std::span<const std::uint8_t> d) {
    if (out.size() + d.size() <= limit) out.insert(out.end(), d.begin(), d.end());
  });
  if (!s.ok()) return s;
  return out;
}

Result<std::vector<StoredFolder>> StoreReader::Folders() const {
  std::vector<StoredFolder> out;
  for (const StoredNode& n : nodes_) {
    if ((n.nid & 0x1F) != format::kNidTypeNormalFolder) continue;
    auto props = ReadProperties(n.bid_data, n.bid_sub);
    if (!props) return Damaged("folder " + Hex(n.nid) + ": " + props.error().detail());
    StoredFolder f{n.nid, n.parent, {}};
    auto name = props->find(0x3001001F);
    if (name != props->end()) {
      const ByteVec& b = name->second.bytes;
      for (std::size_t i = 0; i + 1 < b.size(); i += 2) f.name.push_back(static_cast<char16_t>(Get16(b.data() + i)));
    }
    out.push_back(std::move(f));
  }
  return out;
}

std::vector<std::uint32_t> StoreReader::MessagesIn(std::uint32_t folder) const {
  std::vector<std::uint32_t> out;
  for (const StoredNode& n : nodes_) {
    if ((n.nid & 0x1F) == format::kNidTypeNormalMessage && n.parent == folder) out.push_back(n.nid);
  }
  return out;
}

Result<StoredMessage> StoreReader::ReadMessage(std::uint32_t nid) const {
  const StoredNode* node = FindNode(nid);
  if (node == nullptr) return Status::NotFound("message", Hex(nid));
  StoredMessage m;
  auto props = ReadProperties(node->bid_data, node->bid_sub);
  if (!props) return props.error();
  m.props = std::move(*props);
  auto recipients = FindSubnode(node->bid_sub, format::kNidRecipientTable);
  if (recipients) {
    auto rows = ReadTable(recipients->first, recipients->second);
    if (!rows) return rows.error();
    m.recipients = std::move(*rows);
  }
  auto attachments = FindSubnode(node->bid_sub, format::kNidAttachmentTable);
  if (attachments) {
    auto rows = ReadTable(attachments->first, attachments->second);
    if (!rows) return rows.error();
    for (const StoredProps& row : *rows) {
      auto id = row.find(0x67F20003);  // the attachment's subnode
      if (id == row.end() || id->second.bytes.size() != 4) return Damaged("attachment row without its subnode");
      auto sub = FindSubnode(node->bid_sub, Get32(id->second.bytes.data()));
      if (!sub) return Damaged("attachment: " + sub.error().detail());
      auto a = ReadProperties(sub->first, sub->second);
      if (!a) return a.error();
      m.attachments.push_back(std::move(*a));
    }
  }
  return m;
}

}  // namespace pst
