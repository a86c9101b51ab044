#include "tests/support/pst_verify.h"

#include <string>

#include "pst/crc.h"

namespace pst::testing {
namespace {

using wharfline::Result;
using wharfline::Status;

constexpr std::uint64_t kSpan = 253952;
constexpr std::uint64_t kFirstAMap = 0x4400;

std::uint16_t R16(std::span<const std::uint8_t> f, std::uint64_t o) { return static_cast<std::uint16_t>(f[o] | f[o + 1] << 8); }
std::uint32_t R32(std::span<const std::uint8_t> f, std::uint64_t o) { return R16(f, o) | static_cast<std::uint32_t>(R16(f, o + 2)) << 16; }
std::uint64_t R64(std::span<const std::uint8_t> f, std::uint64_t o) { return R32(f, o) | static_cast<std::uint64_t>(R32(f, o + 4)) << 32; }
std::uint16_t Sig(std::uint64_t ib, std::uint64_t bid) {
  std::uint64_t x = ib ^ bid;
  return static_cast<std::uint16_t>((x >> 16) ^ x);
}
std::string Hex(std::uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
  return b;
}
Status Bad(const std::string& what) { return Status::InvalidArgument("verify", what); }

struct Walker {
  std::span<const std::uint8_t> f;
  VerifiedStore* out;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> used;  // (offset, size)
  std::uint64_t last_key = 0;
  bool any_key = false;

  Status Page(std::uint64_t ib, std::uint64_t bid, std::uint8_t ptype, int expect_level,
              std::uint64_t low_key, bool nbt) {
    if (ib % 512 != 0 || ib + 512 > f.size()) return Bad("page outside file at " + Hex(ib));
    used.emplace_back(ib, 512);
    if (f[ib + 496] != ptype || f[ib + 497] != ptype) return Bad("page type at " + Hex(ib));
    if (R64(f, ib + 504) != bid) return Bad("page bid differs from its reference at " + Hex(ib));
    if (R16(f, ib + 498) != Sig(ib, bid)) return Bad("page signature at " + Hex(ib));
    if (R32(f, ib + 500) != Crc(f.subspan(ib, 496))) return Bad("page CRC at " + Hex(ib));
    std::uint8_t cent = f[ib + 488], cmax = f[ib + 489], cb = f[ib + 490], level = f[ib + 491];
    if (cent > cmax || cent == 0) return Bad("page entry count at " + Hex(ib));
    if (expect_level >= 0 && level != expect_level) return Bad("uneven tree depth at " + Hex(ib));
    std::uint8_t want_cb = (level == 0 && nbt) ? 32 : 24;
    if (cb != want_cb || cmax != 488 / cb) return Bad("page entry size at " + Hex(ib));
    for (int i = 0; i < cent; ++i) {
      std::uint64_t e = ib + i * cb;
      std::uint64_t key = R64(f, e);
      if (i == 0 && key != low_key && expect_level >= 0) return Bad("parent key is not the child's first key at " + Hex(ib));
      if (level > 0) {
        Status s = Page(R64(f, e + 16), R64(f, e + 8), ptype, level - 1, key, nbt);
        if (!s.ok()) return s;
        continue;
      }
      if (key == 0 || (any_key && key <= last_key)) return Bad("keys not ascending at " + Hex(ib));
      last_key = key;
      any_key = true;
      if (nbt) {
        out->nodes[static_cast<std::uint32_t>(key)] = {R64(f, e + 8), R64(f, e + 16), R32(f, e + 24)};
      } else {
        out->blocks[key] = {R64(f, e + 8), R16(f, e + 16), R16(f, e + 18)};
      }
    }
    return Status::OK();
  }
};

}  // namespace

Result<VerifiedStore> VerifyStore(std::span<const std::uint8_t> f, bool allow_tail) {
  VerifiedStore store;
  if (f.size() < kFirstAMap + kSpan) return Bad("file too short");
  if (f[0] != '!' || f[1] != 'B' || f[2] != 'D' || f[3] != 'N' || f[8] != 'S' || f[9] != 'M') return Bad("magic");
  if (R16(f, 10) != 23 || f[0x200] != 0x80) return Bad("version or sentinel");
  if (R32(f, 4) != Crc(f.subspan(8, 471))) return Bad("header partial CRC");
  if (R32(f, 0x20C) != Crc(f.subspan(8, 516))) return Bad("header full CRC");
  std::uint64_t eof = R64(f, 0xB8);
  if (eof > f.size() || (eof != f.size() && !allow_tail) || (eof - kFirstAMap) % kSpan != 0) {
    return Bad("file size");
  }
  f = f.first(eof);
  store.crypt = f[0x201];
  Walker w{f, &store, {}};
  Status s = w.Page(R64(f, 0xE0), R64(f, 0xD8), 0x81, -1, 0, true);
  if (!s.ok()) return s;
  w.last_key = 0;
  w.any_key = false;
  s = w.Page(R64(f, 0xF0), R64(f, 0xE8), 0x80, -1, 0, false);
  if (!s.ok()) return s;

  for (auto& [bid, b] : store.blocks) {
    std::uint64_t size = (b.cb + 16 + 63) / 64 * 64;
    if (b.ib % 64 != 0 || b.ib + size > f.size() || size > 8192) return Bad("block outside file " + Hex(bid));
    if ((b.ib - kFirstAMap) / kSpan != (b.ib + size - 1 - kFirstAMap) / kSpan) return Bad("block crosses a span " + Hex(bid));
    std::uint64_t t = b.ib + size - 16;
    if (R16(f, t) != b.cb || R64(f, t + 8) != bid) return Bad("block trailer " + Hex(bid));
    if (R16(f, t + 2) != Sig(b.ib, bid)) return Bad("block signature " + Hex(bid));
    if (R32(f, t + 4) != Crc(f.subspan(b.ib, b.cb))) return Bad("block CRC " + Hex(bid));
    w.used.emplace_back(b.ib, size);
  }
  // Every reference names an existing block, and each block is referenced once.
  std::map<std::uint64_t, int> refs;
  std::vector<std::uint64_t> pending;
  for (auto& [nid, n] : store.nodes) {
    if (nid < 0x21) return Bad("node id below 0x21");
    for (auto bid : {n.bid_data, n.bid_sub}) {
      if (bid) pending.push_back(bid);
    }
  }
  while (!pending.empty()) {
    std::uint64_t bid = pending.back();
    pending.pop_back();
    auto it = store.blocks.find(bid);
    if (it == store.blocks.end()) return Bad("reference to missing block " + Hex(bid));
    ++refs[bid];
    if (!(bid & 2)) continue;
    std::uint64_t ib = it->second.ib;
    std::uint8_t type = f[ib], level = f[ib + 1];
    std::uint16_t n = R16(f, ib + 2);
    if (type == 1) {
      for (int i = 0; i < n; ++i) pending.push_back(R64(f, ib + 8 + 8 * i));
    } else if (type == 2) {
      for (int i = 0; i < n; ++i) {
        if (level == 0) {
          std::uint64_t e = ib + 8 + 24 * i;
          if (R64(f, e + 8)) pending.push_back(R64(f, e + 8));
          if (R64(f, e + 16)) pending.push_back(R64(f, e + 16));
        } else {
          pending.push_back(R64(f, ib + 8 + 16 * i + 8));
        }
      }
    } else {
      return Bad("unknown internal block " + Hex(bid));
    }
  }
  for (auto& [bid, b] : store.blocks) {
    if (refs[bid] != 1) return Bad("block referenced " + std::to_string(refs[bid]) + " times " + Hex(bid));
    if (b.refs != 2) return Bad("reference count " + Hex(bid));
  }

  // Allocation maps: exactly the map pages, B-tree pages and blocks are marked.
  std::uint64_t spans = (f.size() - kFirstAMap) / kSpan;
  std::vector<std::vector<bool>> bits(spans, std::vector<bool>(3968, false));
  auto mark = [&](std::uint64_t ib, std::uint64_t size) {
    std::uint64_t k = (ib - kFirstAMap) / kSpan, first = (ib - kFirstAMap - k * kSpan) / 64;
    for (std::uint64_t i = 0; i < (size + 63) / 64; ++i) bits[k][first + i] = true;
  };
  for (std::uint64_t k = 0; k < spans; ++k) {
    std::uint64_t start = kFirstAMap + k * kSpan;
    auto check_map = [&](std::uint64_t ib, std::uint8_t type) -> Status {
      if (f[ib + 496] != type || R64(f, ib + 504) != ib || R32(f, ib + 500) != Crc(f.subspan(ib, 496))) {
        return Bad("map page at " + Hex(ib));
      }
      mark(ib, 512);
      return Status::OK();
    };
    s = check_map(start, 0x84);
    if (!s.ok()) return s;
    if (k % 8 == 0) {
      s = check_map(start + 0x200, 0x83);
      if (!s.ok()) return s;
    }
    if (k >= 128 && (k - 128) % 496 == 0) {
      s = check_map(start + 0x400, 0x82);
      if (!s.ok()) return s;
    }
  }
  for (auto [ib, size] : w.used) mark(ib, size);
  // A cleanly written file marks exactly what is used. A killed writer may leave space
  // marked that nothing uses any more (leaked, never lost), but never the reverse.
  std::uint64_t free_slots = 0;
  for (std::uint64_t k = 0; k < spans; ++k) {
    std::uint64_t start = kFirstAMap + k * kSpan;
    for (std::uint64_t i = 0; i < 3968; ++i) {
      bool set = f[start + i / 8] & (0x80 >> (i % 8));
      if (bits[k][i] && !set) return Bad("used slot " + std::to_string(i) + " of span " + std::to_string(k) + " marked free");
      if (set && !bits[k][i] && !allow_tail) return Bad("unused slot " + std::to_string(i) + " of span " + std::to_string(k) + " marked used");
      if (!set) ++free_slots;
    }
  }
  if (R64(f, 0xC8) != free_slots * 64 && !allow_tail) return Bad("free byte count of the allocation maps");
  return store;
}

Result<std::vector<std::uint8_t>> ReadStream(const VerifiedStore& store,
                                             std::span<const std::uint8_t> f, std::uint64_t bid) {
  std::vector<std::uint8_t> out;
  auto it = store.blocks.find(bid);
  if (it == store.blocks.end()) return Bad("missing block " + Hex(bid));
  auto [ib, cb, refs] = it->second;
  if (!(bid & 2)) {
    out.assign(f.begin() + ib, f.begin() + ib + cb);
    if (store.crypt == 1) PermuteDecode(out);
    return out;
  }
  std::uint16_t n = R16(f, ib + 2);
  for (int i = 0; i < n; ++i) {
    auto part = ReadStream(store, f, R64(f, ib + 8 + 8 * i));
    if (!part) return part;
    out.insert(out.end(), part->begin(), part->end());
  }
  if (out.size() != R32(f, ib + 4)) return Bad("stream length " + Hex(bid));
  return out;
}

}  // namespace pst::testing

namespace pst::testing {
namespace {

using wharfline::Result;
using wharfline::Status;

std::uint16_t G16(const std::vector<std::uint8_t>& b, std::size_t o) { return static_cast<std::uint16_t>(b.at(o) | b.at(o + 1) << 8); }
std::uint32_t G32(const std::vector<std::uint8_t>& b, std::size_t o) { return G16(b, o) | static_cast<std::uint32_t>(G16(b, o + 2)) << 16; }

// The blocks of a data tree, each decoded, in order.
Result<std::vector<std::vector<std::uint8_t>>> Blocks(const VerifiedStore& store,
                                                      std::span<const std::uint8_t> f,
                                                      std::uint64_t bid) {
  std::vector<std::vector<std::uint8_t>> out;
  auto it = store.blocks.find(bid);
  if (it == store.blocks.end()) return Status::InvalidArgument("verify", "missing block");
  if (!(bid & 2)) {
    auto one = ReadStream(store, f, bid);
    if (!one) return one.error();
    out.push_back(*one);
    return out;
  }
  std::uint64_t ib = it->second.ib;
  std::uint16_t n = static_cast<std::uint16_t>(f[ib + 2] | f[ib + 3] << 8);
  for (int i = 0; i < n; ++i) {
    std::uint64_t child = 0;
    for (int k = 0; k < 8; ++k) child |= static_cast<std::uint64_t>(f[ib + 8 + 8 * i + k]) << (8 * k);
    auto part = Blocks(store, f, child);
    if (!part) return part;
    out.insert(out.end(), part->begin(), part->end());
  }
  return out;
}

struct Heap {
  std::vector<std::vector<std::uint8_t>> pages;
  Result<std::vector<std::uint8_t>> Get(std::uint32_t hid) const {
    std::size_t page = hid >> 16, index = (hid >> 5) & 0x7FF;
    if (page >= pages.size() || index == 0) return Status::InvalidArgument("verify", "bad HID");
    const auto& p = pages[page];
    std::size_t map = G16(p, 0);
    if (index > G16(p, map)) return Status::InvalidArgument("verify", "HID past the page map");
    std::size_t start = G16(p, map + 4 + 2 * (index - 1)), end = G16(p, map + 4 + 2 * index);
    return std::vector<std::uint8_t>(p.begin() + start, p.begin() + end);
  }
};

Result<std::vector<std::uint8_t>> ValueOf(const VerifiedStore& store, std::span<const std::uint8_t> f,
                                          const Heap& heap, std::uint64_t bid_sub, std::uint32_t hnid) {
  if (hnid == 0) return std::vector<std::uint8_t>{};
  if ((hnid & 0x1F) == 0) return heap.Get(hnid);
  auto sub = FindSubnode(store, f, bid_sub, hnid);
  if (!sub) return sub.error();
  return ReadStream(store, f, sub->first);
}

std::size_t FixedSize(std::uint16_t type) {
  switch (type) {
    case 0x000B: return 1;
    case 0x0002: return 2;
    case 0x0003: case 0x0004: case 0x000A: return 4;
    case 0x0005: case 0x0006: case 0x0007: case 0x0014: case 0x0040: return 8;
    default: return 0;
  }
}

// Leaf records of a BTH, whatever its depth.
Result<std::vector<std::uint8_t>> BthRecords(const Heap& heap, std::uint32_t header_hid) {
  auto h = heap.Get(header_hid);
  if (!h) return h;
  if (h->size() != 8 || (*h)[0] != 0xB5) return Status::InvalidArgument("verify", "BTH header");
  std::size_t key = (*h)[1], ent = (*h)[2];
  int levels = (*h)[3];
  std::vector<std::uint32_t> hids;
  if (G32(*h, 4)) hids.push_back(G32(*h, 4));
  for (; levels > 0; --levels) {
    std::vector<std::uint32_t> next;
    for (auto hid : hids) {
      auto node = heap.Get(hid);
      if (!node) return node;
      for (std::size_t o = 0; o + key + 4 <= node->size(); o += key + 4) next.push_back(G32(*node, o + key));
    }
    hids = next;
  }
  std::vector<std::uint8_t> out;
  for (auto hid : hids) {
    auto leaf = heap.Get(hid);
    if (!leaf) return leaf;
    if (leaf->size() % (key + ent) != 0) return Status::InvalidArgument("verify", "BTH leaf size");
    out.insert(out.end(), leaf->begin(), leaf->end());
  }
  return out;
}

Result<Heap> ReadHeap(const VerifiedStore& store, std::span<const std::uint8_t> f, std::uint64_t bid,
                      std::uint8_t client) {
  auto pages = Blocks(store, f, bid);
  if (!pages) return pages.error();
  Heap heap{std::move(*pages)};
  const auto& p0 = heap.pages.at(0);
  if (p0.size() < 12 || p0[2] != 0xEC || p0[3] != client) return Status::InvalidArgument("verify", "heap header");
  return heap;
}

}  // namespace

Result<std::pair<std::uint64_t, std::uint64_t>> FindSubnode(const VerifiedStore& store,
                                                            std::span<const std::uint8_t> f,
                                                            std::uint64_t bid_sub, std::uint32_t nid) {
  auto it = store.blocks.find(bid_sub);
  if (bid_sub == 0 || it == store.blocks.end()) return Status::NotFound("verify", "no subnodes");
  std::uint64_t ib = it->second.ib;
  auto r64 = [&](std::uint64_t o) {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v |= static_cast<std::uint64_t>(f[o + k]) << (8 * k);
    return v;
  };
  std::uint16_t n = static_cast<std::uint16_t>(f[ib + 2] | f[ib + 3] << 8);
  for (int i = 0; i < n; ++i) {
    if (f[ib + 1] == 0) {
      std::uint64_t e = ib + 8 + 24 * i;
      if (static_cast<std::uint32_t>(r64(e)) == nid) return std::make_pair(r64(e + 8), r64(e + 16));
    } else {
      auto r = FindSubnode(store, f, r64(ib + 8 + 16 * i + 8), nid);
      if (r) return r;
    }
  }
  return Status::NotFound("verify", "subnode not found");
}

Result<StoredProps> ReadPropertyContext(const VerifiedStore& store, std::span<const std::uint8_t> f,
                                        std::uint64_t bid_data, std::uint64_t bid_sub) {
  auto heap = ReadHeap(store, f, bid_data, 0xBC);
  if (!heap) return heap.error();
  auto recs = BthRecords(*heap, G32(heap->pages[0], 4));
  if (!recs) return recs.error();
  StoredProps out;
  for (std::size_t o = 0; o + 8 <= recs->size(); o += 8) {
    std::uint16_t id = G16(*recs, o), type = G16(*recs, o + 2);
    std::uint32_t v = G32(*recs, o + 4);
    StoredValue sv{type, {}};
    std::size_t fixed = FixedSize(type);
    if (fixed > 0 && fixed <= 4) {
      for (std::size_t k = 0; k < fixed; ++k) sv.bytes.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    } else {
      auto val = ValueOf(store, f, *heap, bid_sub, v);
      if (!val) return val.error();
      sv.bytes = std::move(*val);
    }
    out[id] = std::move(sv);
  }
  return out;
}

Result<std::vector<StoredProps>> ReadTable(const VerifiedStore& store, std::span<const std::uint8_t> f,
                                           std::uint64_t bid_data, std::uint64_t bid_sub) {
  auto heap = ReadHeap(store, f, bid_data, 0x7C);
  if (!heap) return heap.error();
  auto info = heap->Get(G32(heap->pages[0], 4));
  if (!info) return info.error();
  std::size_t cols = (*info)[1], row_size = G16(*info, 8);
  std::uint32_t rows_hnid = G32(*info, 14);
  auto index = BthRecords(*heap, G32(*info, 10));
  if (!index) return index.error();
  std::vector<std::uint8_t> matrix;
  std::size_t per_block = 8176 / row_size;
  if (rows_hnid != 0 && (rows_hnid & 0x1F) == 0) {
    auto m = heap->Get(rows_hnid);
    if (!m) return m.error();
    matrix = *m;
  } else if (rows_hnid != 0) {
    auto sub = FindSubnode(store, f, bid_sub, rows_hnid);
    if (!sub) return sub.error();
    auto blocks = Blocks(store, f, sub->first);
    if (!blocks) return blocks.error();
    for (std::size_t i = 0; i < blocks->size(); ++i) {
      auto& b = (*blocks)[i];
      if (i + 1 < blocks->size() && b.size() != 8176) return Status::InvalidArgument("verify", "row block not full");
      b.resize(std::min(b.size(), per_block * row_size));
      matrix.insert(matrix.end(), b.begin(), b.end());
    }
  }
  std::size_t nrows = index->size() / 8;
  if (matrix.size() != nrows * row_size) return Status::InvalidArgument("verify", "row count differs from the row index");
  std::vector<StoredProps> out;
  std::uint32_t last_id = 0;
  for (std::size_t r = 0; r < nrows; ++r) {
    std::uint32_t id = G32(*index, 8 * r), row = G32(*index, 8 * r + 4);
    if (r > 0 && id <= last_id) return Status::InvalidArgument("verify", "row index not sorted");
    last_id = id;
    std::size_t base = row * row_size;
    StoredProps props;
    std::uint32_t prev_tag = 0;
    for (std::size_t c = 0; c < cols; ++c) {
      std::size_t d = 22 + 8 * c;
      std::uint32_t tag = G32(*info, d);
      if (c > 0 && tag <= prev_tag) return Status::InvalidArgument("verify", "columns not sorted by tag");
      prev_tag = tag;
      std::size_t ib = G16(*info, d + 4), cb = (*info)[d + 6], bit = (*info)[d + 7];
      std::size_t ceb = base + G16(*info, 6);
      if (!(matrix[ceb + bit / 8] & (0x80 >> (bit % 8)))) continue;
      std::vector<std::uint8_t> cell(matrix.begin() + base + ib, matrix.begin() + base + ib + cb);
      std::uint16_t type = static_cast<std::uint16_t>(tag & 0xFFFF);
      std::size_t fixed = FixedSize(type);
      if (fixed == 0) {
        auto val = ValueOf(store, f, *heap, bid_sub, G32(cell, 0));
        if (!val) return val.error();
        cell = std::move(*val);
      }
      props[tag] = StoredValue{type, std::move(cell)};
    }
    out.push_back(std::move(props));
  }
  return out;
}

}  // namespace pst::testing

namespace pst::testing {
namespace {

std::u16string Utf16(const std::vector<std::uint8_t>& bytes) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
  }
  return text;
}

}  // namespace

Result<std::vector<ListedMessage>> ListMessages(std::span<const std::uint8_t> file,
                                               bool allow_tail) {
  auto store = VerifyStore(file, allow_tail);
  if (!store) return store.error();
  std::map<std::uint32_t, std::uint32_t> filed;  // folder nid -> messages under it
  std::vector<ListedMessage> messages;
  for (const auto& [nid, node] : store->nodes) {
    if ((nid & 0x1F) != 0x04) continue;
    auto props = ReadPropertyContext(*store, file, node.bid_data, node.bid_sub);
    if (!props) return props.error();
    auto folder = store->nodes.find(node.parent);
    if (folder == store->nodes.end()) return Bad("message " + Hex(nid) + " has no folder");
    auto folder_props = ReadPropertyContext(*store, file, folder->second.bid_data,
                                            folder->second.bid_sub);
    if (!folder_props) return folder_props.error();
    ++filed[node.parent];
    messages.push_back({nid, Utf16((*folder_props)[0x3001].bytes), Utf16((*props)[0x0037].bytes)});
  }
  for (const auto& [nid, node] : store->nodes) {
    if ((nid & 0x1F) != 0x02 || nid == 0x122) continue;
    const std::uint32_t contents = (nid & ~0x1Fu) | 0x0E;
    auto table_node = store->nodes.find(contents);
    if (table_node == store->nodes.end()) continue;  // the search root and its kin
    auto rows = ReadTable(*store, file, table_node->second.bid_data, table_node->second.bid_sub);
    if (!rows) return rows.error();
    auto props = ReadPropertyContext(*store, file, node.bid_data, node.bid_sub);
    if (!props) return props.error();
    const std::uint32_t count = (*props).count(0x3602) ? G32((*props)[0x3602].bytes, 0) : 0;
    if (rows->size() != filed[nid] || count != filed[nid]) {
      return Bad("folder " + Hex(nid) + " lists " + std::to_string(rows->size()) +
                 " rows and counts " + std::to_string(count) + " for " +
                 std::to_string(filed[nid]) + " messages");
    }
  }
  return messages;
}

}  // namespace pst::testing
