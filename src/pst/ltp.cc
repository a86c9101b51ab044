#include "pst/ltp.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>

#include "pst/format.h"

namespace pst {
namespace {

constexpr std::size_t kPageLimit = format::kMaxBlockData;  // one heap page is one block
constexpr std::size_t kMaxAllocsPerPage = 2047;            // 11-bit allocation number

// Fill level nibble of a heap page from its free bytes.
std::uint8_t FillLevel(std::size_t free_bytes) {
  static constexpr std::size_t kLimits[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024,
                                            768,  512,  256,  128,  64,   32,   16,  8};
  for (std::uint8_t i = 0; i < 15; ++i) {
    if (free_bytes >= kLimits[i]) return i;
  }
  return 15;
}

template <typename T>
const T* As(const PropValue& v) {
  return std::get_if<T>(&v);
}

void PutMultiVariable(ByteVec* out, std::size_t count,
                      const std::function<void(std::size_t, ByteVec*)>& item) {
  std::vector<ByteVec> items(count);
  for (std::size_t i = 0; i < count; ++i) item(i, &items[i]);
  std::uint32_t off = static_cast<std::uint32_t>(4 + 4 * count);
  Put32(*out, static_cast<std::uint32_t>(count));
  for (const auto& it : items) {
    Put32(*out, off);
    off += static_cast<std::uint32_t>(it.size());
  }
  for (const auto& it : items) PutBytes(*out, it);
}

}  // namespace

std::size_t FixedSize(PropType type) {
  switch (static_cast<std::uint16_t>(type)) {
    case 0x000B: return 1;
    case 0x0002: return 2;
    case 0x0003: case 0x0004: case 0x000A: return 4;
    case 0x0005: case 0x0006: case 0x0007: case 0x0014: case 0x0040: return 8;
    case 0x0048: return 16;
    default: return 0;
  }
}

bool EncodeValue(PropTag tag, const PropValue& value, ByteVec* out) {
  out->clear();
  switch (TagType(tag)) {
    case PropType::kInteger16:
      if (auto v = As<std::int16_t>(value)) return Put16(*out, static_cast<std::uint16_t>(*v)), true;
      if (auto v = As<std::int32_t>(value)) return Put16(*out, static_cast<std::uint16_t>(*v)), true;
      return false;
    case PropType::kInteger32:
      if (auto v = As<std::int32_t>(value)) return Put32(*out, static_cast<std::uint32_t>(*v)), true;
      return false;
    case PropType::kBoolean:
      if (auto v = As<bool>(value)) return Put8(*out, *v ? 1 : 0), true;
      return false;
    case PropType::kFloating64:
      if (auto v = As<double>(value)) {
        std::uint64_t bits;
        std::memcpy(&bits, v, 8);
        return Put64(*out, bits), true;
      }
      return false;
    case PropType::kInteger64:
      if (auto v = As<std::int64_t>(value)) return Put64(*out, static_cast<std::uint64_t>(*v)), true;
      return false;
    case PropType::kTime:
      if (auto v = As<FileTime>(value)) return Put64(*out, static_cast<std::uint64_t>(v->ticks)), true;
      if (auto v = As<std::int64_t>(value)) return Put64(*out, static_cast<std::uint64_t>(*v)), true;
      return false;
    case PropType::kGuid:
      if (auto v = As<Guid>(value)) return PutBytes(*out, *v), true;
      return false;
    case PropType::kString:
      if (auto v = As<std::u16string>(value)) return PutUtf16(*out, *v), true;
      return false;
    case PropType::kString8:
    case PropType::kBinary:
      if (auto v = As<Bytes>(value)) return PutBytes(*out, *v), true;
      return false;
    case PropType::kMultipleInteger32:
      if (auto v = As<std::vector<std::int32_t>>(value)) {
        for (auto x : *v) Put32(*out, static_cast<std::uint32_t>(x));
        return true;
      }
      return false;
    case PropType::kMultipleString:
      if (auto v = As<std::vector<std::u16string>>(value)) {
        PutMultiVariable(out, v->size(), [&](std::size_t i, ByteVec* o) { PutUtf16(*o, (*v)[i]); });
        return true;
      }
      return false;
    case PropType::kMultipleBinary:
      if (auto v = As<std::vector<Bytes>>(value)) {
        PutMultiVariable(out, v->size(), [&](std::size_t i, ByteVec* o) { PutBytes(*o, (*v)[i]); });
        return true;
      }
      return false;
    default:
      return false;
  }
}

// ---- HeapBuilder ----

HeapBuilder::HeapBuilder(std::uint8_t client_signature) : client_signature_(client_signature) {}

HeapBuilder::~HeapBuilder() = default;

std::size_t HeapBuilder::HeaderSize(std::size_t page) {
  if (page == 0) return 12;
  if (page >= 8 && (page - 8) % 128 == 0) return 66;
  return 2;
}

std::uint32_t HeapBuilder::Allocate(std::span<const std::uint8_t> data) {
  assert(data.size() <= format::kMaxHeapAllocation);
  auto fits = [&](const Page& p) {
    std::size_t end = p.data.size() + data.size();
    end += end & 1;
    return p.offsets.size() < kMaxAllocsPerPage &&
           end + 4 + 2 * (p.offsets.size() + 2) <= kPageLimit;
  };
  if (pages_.empty() || !fits(pages_.back())) {
    pages_.emplace_back();
    pages_.back().data.resize(HeaderSize(pages_.size() - 1), 0);
  }
  Page& p = pages_.back();
  p.offsets.push_back(static_cast<std::uint16_t>(p.data.size()));
  p.data.insert(p.data.end(), data.begin(), data.end());
  return static_cast<std::uint32_t>(((pages_.size() - 1) << 16) | (p.offsets.size() << 5));
}

std::uint8_t* HeapBuilder::At(std::uint32_t hid) {
  Page& p = pages_[hid >> 16];
  assert(!p.written);
  return p.data.data() + p.offsets[((hid >> 5) & 0x7FF) - 1];
}

void HeapBuilder::Close(Page& p) {
  ByteVec& d = p.data;
  std::uint16_t end = static_cast<std::uint16_t>(d.size());
  if (d.size() & 1) d.push_back(0);  // the page map is 2-byte aligned
  std::uint16_t hnpm = static_cast<std::uint16_t>(d.size());
  Put16(d, static_cast<std::uint16_t>(p.offsets.size()));
  Put16(d, 0);
  for (auto o : p.offsets) Put16(d, o);
  Put16(d, end);
  Set16(d.data(), hnpm);
  p.level = FillLevel(kPageLimit - d.size());
  p.closed = true;
}

Status HeapBuilder::Spill(NdbWriter& ndb) {
  // Allocations only ever go to the last page, so the ones before it are complete.
  for (; spill_from_ + 1 < pages_.size(); ++spill_from_) {
    Page& p = pages_[spill_from_];
    if (HoldsLevels(spill_from_)) continue;
    Close(p);
    if (!tree_) tree_ = std::make_unique<DataTreeWriter>(ndb);
    Status s = tree_->Set(spill_from_, p.data);
    if (!s.ok()) return s;
    ByteVec().swap(p.data);
    std::vector<std::uint16_t>().swap(p.offsets);
    p.written = true;
  }
  return Status::OK();
}

HeapBuilder::Mark HeapBuilder::GetMark() const {
  if (pages_.empty()) return {};
  return {pages_.size(), pages_.back().data.size(), pages_.back().offsets.size()};
}

void HeapBuilder::Restore(const Mark& mark) {
  assert(mark.pages <= pages_.size() && spill_from_ <= std::max<std::size_t>(mark.pages, 1));
  pages_.resize(mark.pages);
  if (pages_.empty()) return;
  pages_.back().data.resize(mark.last_size);
  pages_.back().offsets.resize(mark.last_allocations);
}

Result<std::uint64_t> HeapBuilder::WriteSnapshot(NdbWriter& ndb) const {
  // Closed copies of the pages still in memory; the spilled ones are in the tree already.
  std::vector<std::uint8_t> levels(std::max<std::size_t>(pages_.size(), 1), 0);
  std::vector<std::pair<std::size_t, ByteVec>> copies;
  for (std::size_t i = 0; i < pages_.size(); ++i) {
    if (pages_[i].written) {
      levels[i] = pages_[i].level;
      continue;
    }
    Page c{pages_[i].data, pages_[i].offsets};
    Close(c);
    levels[i] = c.level;
    copies.emplace_back(i, std::move(c.data));
  }
  if (pages_.empty()) copies.emplace_back(0, ByteVec(12, 0));
  // Every page's exact fill level, a one-page heap's too: Outlook chooses where to allocate
  // by them when it adds to the store.
  auto put_levels = [&](std::uint8_t* dst, std::size_t first, std::size_t count) {
    for (std::size_t i = 0; i < count && first + i < pages_.size(); ++i) {
      dst[i / 2] |= static_cast<std::uint8_t>(levels[first + i] << ((i % 2) * 4));
    }
  };
  for (auto& [i, d] : copies) {
    if (i == 0) {
      d[2] = format::kHeapSignature;
      d[3] = client_signature_;
      Set32(d.data() + 4, user_root_);
      put_levels(d.data() + 8, 0, 8);
    } else if (HoldsLevels(i)) {
      put_levels(d.data() + 2, i, 128);
    }
  }
  DataTreeWriter tree = tree_ ? *tree_ : DataTreeWriter(ndb);
  for (const auto& [i, d] : copies) {
    Status s = tree.Set(i, d);
    if (!s.ok()) return s;
  }
  return tree.Finish();
}

Result<std::uint64_t> HeapBuilder::Write(NdbWriter& ndb) {
  Result<std::uint64_t> bid = WriteSnapshot(ndb);
  pages_.clear();
  return bid;
}

// ---- BTH ----

namespace {

// Builds the levels of a BTH above its leaves, given as (first key, HID) of each, and points
// the header at the root (no root for no leaves).
void BuildBthLevels(HeapBuilder& heap, std::uint8_t key_size, ByteVec level,
                    std::uint32_t header_hid) {
  const std::size_t irec = key_size + 4;
  std::size_t nodes = level.size() / irec;
  std::uint8_t levels = 0;
  while (nodes > 1) {
    std::size_t per = format::kMaxHeapAllocation / irec;
    ByteVec up;
    std::size_t up_nodes = 0;
    for (std::size_t i = 0; i < nodes; i += per) {
      std::size_t n = std::min(per, nodes - i);
      std::uint32_t hid = heap.Allocate({level.data() + i * irec, n * irec});
      up.insert(up.end(), level.begin() + i * irec, level.begin() + i * irec + key_size);
      Put32(up, hid);
      ++up_nodes;
    }
    level = std::move(up);
    nodes = up_nodes;
    ++levels;
  }
  std::uint8_t* h = heap.At(header_hid);
  h[3] = levels;
  Set32(h + 4, nodes == 0 ? 0 : Get32(level.data() + key_size));
}

}  // namespace

std::uint32_t BuildBth(HeapBuilder& heap, std::uint8_t key_size, std::uint8_t data_size,
                       std::span<const std::uint8_t> records, std::size_t count,
                       std::uint32_t header_hid) {
  std::uint8_t header[8] = {format::kClientBth, key_size, data_size, 0, 0, 0, 0, 0};
  if (header_hid == 0) header_hid = heap.Allocate(header);
  if (count == 0) return header_hid;
  std::size_t rec = key_size + data_size;
  std::size_t per_leaf = format::kMaxHeapAllocation / rec;
  // (first key, hid) of each leaf.
  ByteVec level;
  for (std::size_t i = 0; i < count; i += per_leaf) {
    std::size_t n = std::min(per_leaf, count - i);
    std::uint32_t hid = heap.Allocate(records.subspan(i * rec, n * rec));
    level.insert(level.end(), records.begin() + i * rec, records.begin() + i * rec + key_size);
    Put32(level, hid);
  }
  BuildBthLevels(heap, key_size, std::move(level), header_hid);
  return header_hid;
}

// ---- Subnodes ----

std::uint32_t SubnodeSink::AddTree(std::uint64_t bid) {
  std::uint32_t nid = format::MakeNid(format::kNidTypeLtp, ndb_.NextNidIndex(format::kNidTypeLtp));
  entries_.push_back({nid, bid, 0});
  return nid;
}

Result<std::uint32_t> SubnodeSink::AddStream(std::span<const std::uint8_t> bytes) {
  auto bid = ndb_.WriteStream(bytes);
  if (!bid) return bid.error();
  std::uint32_t nid = format::MakeNid(format::kNidTypeLtp, ndb_.NextNidIndex(format::kNidTypeLtp));
  entries_.push_back({nid, *bid, 0});
  return nid;
}

Result<std::uint32_t> SubnodeSink::AddSource(const ContentSource& source) {
  std::unique_ptr<ContentReader> reader = source.Open();
  if (!reader) return Status::InvalidArgument("attachment", "content could not be opened");
  auto bid = ndb_.WriteFrom(*reader, source.size());
  if (!bid) return bid.error();
  std::uint32_t nid = format::MakeNid(format::kNidTypeLtp, ndb_.NextNidIndex(format::kNidTypeLtp));
  entries_.push_back({nid, *bid, 0});
  return nid;
}

namespace {

// Stores a variable-size value: nothing for empty, a heap allocation when it fits, a
// subnode otherwise. Returns the HNID.
Result<std::uint32_t> StoreVariable(HeapBuilder& heap, std::span<const std::uint8_t> bytes,
                                    SubnodeSink& sink) {
  if (bytes.empty()) return std::uint32_t{0};
  if (bytes.size() <= format::kMaxHeapAllocation) return heap.Allocate(bytes);
  return sink.AddStream(bytes);
}

Result<NodeData> WriteHeapNode(HeapBuilder& heap, SubnodeSink& sink) {
  // A heap ID numbers pages with 16 bits.
  if (heap.page_count() > 0x10000) return Status::Overflow("heap", "table or property set too large");
  auto bid = heap.Write(sink.ndb());
  if (!bid) return bid.error();
  auto sub = sink.ndb().WriteSubnodes(sink.entries());
  if (!sub) return sub.error();
  return NodeData{*bid, *sub};
}

}  // namespace

Result<NodeData> WritePropertyContext(std::vector<EncodedProp> props, SubnodeSink& sink) {
  std::sort(props.begin(), props.end(), [](const EncodedProp& a, const EncodedProp& b) {
    return TagId(a.tag) < TagId(b.tag);
  });
  for (std::size_t i = 1; i < props.size(); ++i) {
    if (TagId(props[i].tag) == TagId(props[i - 1].tag)) {
      return Status::InvalidArgument("property context", "duplicate property id");
    }
  }
  HeapBuilder heap(format::kClientPropertyContext);
  // The BTH header comes first so that the user root is the first allocation, as in
  // Outlook's files; its records follow once the values are placed.
  ByteVec records;
  records.reserve(props.size() * 8);
  std::vector<std::uint32_t> values(props.size());
  std::uint8_t header[8] = {format::kClientBth, 2, 6, 0, 0, 0, 0, 0};
  std::uint32_t header_hid = heap.Allocate(header);
  for (std::size_t i = 0; i < props.size(); ++i) {
    const auto& p = props[i];
    PropType t = TagType(p.tag);
    std::size_t fixed = FixedSize(t);
    std::uint32_t v = 0;
    if (p.subnode != 0) {
      v = p.subnode;
    } else if (fixed > 0 && fixed <= 4) {
      ByteVec b = p.bytes;
      b.resize(4, 0);
      v = Get32(b.data());
    } else if (fixed > 0) {
      v = heap.Allocate(p.bytes);
    } else {
      auto h = StoreVariable(heap, p.bytes, sink);
      if (!h) return h.error();
      v = *h;
    }
    Put16(records, TagId(p.tag));
    Put16(records, static_cast<std::uint16_t>(t));
    Put32(records, v);
  }
  BuildBth(heap, 2, 6, records, props.size(), header_hid);
  heap.set_user_root(header_hid);
  return WriteHeapNode(heap, sink);
}

// ---- TableBuilder ----

TableBuilder::TableBuilder(std::vector<PropTag> tags) {
  // Columns keep the order they come in, as Outlook lays out its tables: row id and row
  // version first, each column's cell-existence bit in that order, and the cells of 4 and 8
  // bytes in that order, then those of 2, then those of 1. A column added after a template's
  // columns so leaves theirs where they were (only 1- and 2-byte cells move behind it).
  std::vector<PropTag> ordered;
  for (PropTag t : tags) {
    if (t == 0x67F20003 || t == 0x67F30003) continue;
    if (std::find(ordered.begin(), ordered.end(), t) == ordered.end()) ordered.push_back(t);
  }
  auto cell_size = [](PropTag t) -> std::uint8_t {
    std::size_t f = FixedSize(TagType(t));
    return static_cast<std::uint8_t>((f == 0 || f > 8) ? 4 : f);
  };
  std::vector<Column> cols;
  cols.push_back({0x67F20003, 0, 4, 0});
  cols.push_back({0x67F30003, 4, 4, 1});
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    cols.push_back({ordered[i], 0, cell_size(ordered[i]), static_cast<std::uint8_t>(2 + i)});
  }
  std::uint16_t ib = 8;
  for (auto group : {std::pair<int, int>{4, 8}, {2, 2}, {1, 1}}) {
    for (auto& c : cols) {
      if (c.bit < 2 || (c.cb != group.first && c.cb != group.second)) continue;
      c.ib = ib;
      ib = static_cast<std::uint16_t>(ib + c.cb);
    }
    if (group.first == 4) end_4b_ = ib;
    if (group.first == 2) end_2b_ = ib;
    if (group.first == 1) end_1b_ = ib;
  }
  std::sort(cols.begin(), cols.end(), [](const Column& a, const Column& b) { return a.tag < b.tag; });
  columns_ = std::move(cols);
  row_size_ = static_cast<std::uint16_t>(end_1b_ + (columns_.size() + 7) / 8);
  rows_per_block_ = std::max<std::size_t>(1, format::kMaxBlockData / row_size_);
  // Readers expect the row index header at the first heap slot (HID 0x20), where Outlook
  // puts it, so it is reserved before any cell value.
  std::uint8_t header[8] = {format::kClientBth, 4, 4, 0, 0, 0, 0, 0};
  index_header_ = heap_.Allocate(header);
}

Status TableBuilder::AddRow(std::uint32_t row_id, std::span<const EncodedProp> cells,
                            SubnodeSink& sink) {
  if (growing_ && row_count_ > 0 && row_id <= last_row_id_) {
    return Status::InvalidArgument("table", "row ids out of order");
  }
  if (rows_.size() >= rows_per_block_ * row_size_) {
    // Rows never straddle blocks: each block holds as many whole rows as fit, padded to a
    // full block except the last.
    rows_.resize(format::kMaxBlockData, 0);
    if (!rows_tree_) rows_tree_ = std::make_unique<DataTreeWriter>(sink.ndb());
    Status s = rows_tree_->Add(rows_);
    if (!s.ok()) return s;
    rows_.clear();
  }
  ByteVec& block = rows_;
  if (block.capacity() == 0) block.reserve(rows_per_block_ * row_size_);
  std::size_t base = block.size();
  block.resize(base + row_size_, 0);
  std::uint8_t* row = block.data() + base;
  std::uint8_t* ceb = row + end_1b_;
  auto set = [&](const Column& c, std::span<const std::uint8_t> v) {
    std::memcpy(row + c.ib, v.data(), std::min<std::size_t>(v.size(), c.cb));
    ceb[c.bit / 8] |= static_cast<std::uint8_t>(0x80 >> (c.bit % 8));
  };
  for (const auto& c : columns_) {
    ByteVec v;
    if (c.tag == 0x67F20003) {
      Put32(v, row_id);
      set(c, v);
      continue;
    }
    if (c.tag == 0x67F30003) {
      Put32(v, ++row_version_);
      set(c, v);
      continue;
    }
    auto it = std::find_if(cells.begin(), cells.end(),
                           [&](const EncodedProp& p) { return p.tag == c.tag; });
    if (it == cells.end()) continue;
    std::size_t fixed = FixedSize(TagType(c.tag));
    if (fixed > 0 && fixed <= 8) {
      set(c, it->bytes);
    } else {
      auto h = StoreVariable(heap_, it->bytes, sink);
      if (!h) return h.error();
      Put32(v, *h);
      set(c, v);
    }
  }
  Put32(index_, row_id);
  Put32(index_, row_count_++);
  last_row_id_ = row_id;
  if (growing_ && index_.size() + 8 > format::kMaxHeapAllocation) {
    // A full leaf of the row index never changes again: it goes to the heap now.
    Put32(leaves_, Get32(index_.data()));
    Put32(leaves_, heap_.Allocate(index_));
    index_.clear();
  }
  return heap_.Spill(sink.ndb());
}

ByteVec TableBuilder::TcInfo() const {
  ByteVec info;
  Put8(info, format::kClientTable);
  Put8(info, static_cast<std::uint8_t>(columns_.size()));
  Put16(info, end_4b_);
  Put16(info, end_2b_);
  Put16(info, end_1b_);
  Put16(info, row_size_);
  Put32(info, 0);  // row index, patched once placed
  Put32(info, 0);  // rows
  Put32(info, 0);  // deprecated index
  for (const auto& c : columns_) {
    Put32(info, c.tag);
    Put16(info, c.ib);
    Put8(info, c.cb);
    Put8(info, c.bit);
  }
  return info;
}

Result<NodeData> TableBuilder::Snapshot(SubnodeSink& sink) {
  assert(growing_);
  NdbWriter& ndb = sink.ndb();
  // Whatever is placed in the heap from here on belongs to this snapshot alone.
  const HeapBuilder::Mark mark = heap_.GetMark();
  auto write = [&]() -> Result<NodeData> {
    const std::uint32_t info_hid = heap_.Allocate(TcInfo());
    ByteVec level = leaves_;
    if (!index_.empty()) {
      Put32(level, Get32(index_.data()));
      Put32(level, heap_.Allocate(index_));
    }
    BuildBthLevels(heap_, 4, std::move(level), index_header_);
    std::vector<SubnodeEntry> entries = sink.entries();
    std::uint32_t hid_rows = 0;
    if (!rows_tree_ && !rows_.empty() && rows_.size() <= format::kMaxHeapAllocation) {
      hid_rows = heap_.Allocate(rows_);
    } else if (!rows_.empty()) {
      DataTreeWriter tree = rows_tree_ ? *rows_tree_ : DataTreeWriter(ndb);
      Status s = tree.Add(rows_);
      if (!s.ok()) return s;
      auto bid = tree.Finish();
      if (!bid) return bid.error();
      if (rows_nid_ == 0) {
        rows_nid_ = format::MakeNid(format::kNidTypeLtp, ndb.NextNidIndex(format::kNidTypeLtp));
      }
      entries.push_back({rows_nid_, *bid, 0});
      hid_rows = rows_nid_;
    }
    std::uint8_t* p = heap_.At(info_hid);
    Set32(p + 10, index_header_);
    Set32(p + 14, hid_rows);
    heap_.set_user_root(info_hid);
    if (heap_.page_count() > 0x10000) return Status::Overflow("heap", "table too large");
    auto bid = heap_.WriteSnapshot(ndb);
    if (!bid) return bid.error();
    auto sub = ndb.WriteSubnodes(std::move(entries));
    if (!sub) return sub.error();
    return NodeData{*bid, *sub};
  };
  Result<NodeData> d = write();
  heap_.Restore(mark);
  return d;
}

std::uint64_t TableBuilder::SnapshotBound(std::size_t subnodes) const {
  constexpr std::uint64_t kBlock = format::kMaxBlockSize;  // a full block with its trailer
  auto blocks_of = [](std::uint64_t n, std::uint64_t per) { return (n + per - 1) / per; };
  const std::uint64_t values =
      subnodes == 0 ? 0 : blocks_of(subnodes + 1, format::kSlBlockFanout) + 1;
  // The table's header, the unfinished leaf and (while they fit) the rows, with their
  // entries in the page map.
  const std::uint64_t extra = 300 + index_.size() + rows_.size() + 8;
  const std::uint64_t pages = heap_.page_count();
  if (pages <= 1 && !rows_tree_ && rows_.size() <= format::kMaxHeapAllocation &&
      heap_.last_page_size() + extra <= format::kMaxBlockData) {
    // One page: a single block of about what it holds.
    return (heap_.last_page_size() + extra + 16 + 63) / 64 * 64 + (values + 1) * kBlock;
  }
  const std::uint64_t leaves = row_count_ / (format::kMaxHeapAllocation / 8) + 1;
  // The first page, the last, the fill-level pages and the new pages the snapshot's own
  // allocations open (the header, the leaf, the index's upper levels).
  const std::uint64_t heap_pages = 4 + pages / 128 + blocks_of(leaves * 8, 3000);
  const std::uint64_t row_blocks = std::uint64_t{row_count_} * row_size_ / 4096 + 1;
  const std::uint64_t trees = 3 + blocks_of(pages + heap_pages, format::kXBlockFanout) +
                              blocks_of(row_blocks, format::kXBlockFanout);
  return (heap_pages + 1 + trees + values + 2) * kBlock;
}

Result<NodeData> TableBuilder::Write(SubnodeSink& sink) {
  assert(!growing_);
  // The row index is a BTH keyed by row id; rows may have been added in any order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> idx(row_count_);
  for (std::uint32_t i = 0; i < row_count_; ++i) {
    idx[i] = {Get32(index_.data() + 8 * i), Get32(index_.data() + 8 * i + 4)};
  }
  std::sort(idx.begin(), idx.end());
  ByteVec records;
  records.reserve(idx.size() * 8);
  for (auto [id, row] : idx) {
    Put32(records, id);
    Put32(records, row);
  }
  std::uint32_t hid_rows = 0;
  std::uint32_t info_hid = heap_.Allocate(TcInfo());
  std::uint32_t index_hid = BuildBth(heap_, 4, 4, records, idx.size(), index_header_);
  if (!rows_tree_ && !rows_.empty() && rows_.size() <= format::kMaxHeapAllocation) {
    hid_rows = heap_.Allocate(rows_);
  } else if (!rows_.empty()) {
    if (!rows_tree_) rows_tree_ = std::make_unique<DataTreeWriter>(sink.ndb());
    Status s = rows_tree_->Add(rows_);
    if (!s.ok()) return s;
    auto bid = rows_tree_->Finish();
    if (!bid) return bid.error();
    hid_rows = sink.AddTree(*bid);
  }
  std::uint8_t* p = heap_.At(info_hid);
  Set32(p + 10, index_hid);
  Set32(p + 14, hid_rows);
  heap_.set_user_root(info_hid);
  ByteVec().swap(rows_);
  return WriteHeapNode(heap_, sink);
}

}  // namespace pst
