// The LTP and messaging half of the store checker: every heap, BTH, property context and
// table context, then the objects against each other (folders and their tables, messages
// and their attachments, the name map, the search objects, the store's entry IDs).
#include <algorithm>

#include "pst/crc.h"
#include "tests/support/pst_check_internal.h"

namespace pst::testing::check {
namespace {

std::uint16_t G16(const Bytes& b, std::size_t o) {
  return static_cast<std::uint16_t>(b[o] | b[o + 1] << 8);
}
std::uint32_t G32(const Bytes& b, std::size_t o) {
  return G16(b, o) | static_cast<std::uint32_t>(G16(b, o + 2)) << 16;
}

using Props = std::map<std::uint16_t, StoredValue>;  // by property id
using Row = std::map<std::uint32_t, StoredValue>;    // present cells by tag

struct Table {
  std::vector<std::uint32_t> tags;
  std::vector<Row> rows;  // in row-index order
};

// Size of a fixed-size type, 0 for variable ones, -1 for a type that does not exist.
int FixedSize(std::uint16_t type) {
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
    case 0x000D:
    case 0x001E:
    case 0x001F:
    case 0x0102:
    case 0x00FB:
    case 0x00FD:
    case 0x00FE:
      return 0;
    case 0x1002:
    case 0x1003:
    case 0x1004:
    case 0x1005:
    case 0x1006:
    case 0x1007:
    case 0x1014:
    case 0x1040:
    case 0x1048:
    case 0x101E:
    case 0x101F:
    case 0x1102:
      return 0;
    default:
      return -1;
  }
}

// [MS-PST] 2.3.1.2: the fill level of a heap block from its free bytes.
int FillLevel(std::size_t free) {
  static constexpr std::size_t kAtLeast[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                             512,  256,  128,  64,   32,   16,   8};
  for (int level = 0; level < 15; ++level) {
    if (free >= kAtLeast[level]) return level;
  }
  return 15;
}

struct Heap {
  std::string what;
  std::vector<Bytes> pages;
  std::vector<std::vector<std::uint16_t>> offsets;  // rgibAlloc of each page
  std::set<std::uint32_t> used;                     // HIDs something points to

  bool Exists(std::uint32_t hid) const {
    const std::size_t page = hid >> 16, index = (hid >> 5) & 0x7FF;
    return (hid & 0x1F) == 0 && page < offsets.size() && index >= 1 &&
           index < offsets[page].size() && offsets[page][index] > offsets[page][index - 1];
  }
  std::optional<Bytes> Get(std::uint32_t hid) {
    if (!Exists(hid)) return std::nullopt;
    used.insert(hid);
    const auto& o = offsets[hid >> 16];
    const std::size_t index = (hid >> 5) & 0x7FF;
    const Bytes& p = pages[hid >> 16];
    return Bytes(p.begin() + o[index - 1], p.begin() + o[index]);
  }
};

class LtpChecker {
 public:
  LtpChecker(const Ndb& ndb, Findings& out) : ndb_(ndb), out_(out) {}

  void Run() {
    if (ndb_.store.crypt == 2) {
      out_.Warn("header: cyclic encoding; the LTP and messaging layers were not checked");
      return;
    }
    const auto& nodes = ndb_.store.nodes;
    for (const auto& [nid, node] : nodes) {
      const std::string what = "node " + Hex(nid);
      const std::uint32_t type = nid & 0x1F;
      if (nid == 0x21 || nid == 0x61 || type == 2 || type == 3 || type == 7) {
        if (auto p = PC(what, node.bid_data, node.bid_sub)) pcs_[nid] = std::move(*p);
      } else if (type == 4 || type == 8) {
        Message(nid, what, node.bid_data, node.bid_sub, 0);
      } else if ((type >= 0x0B && type <= 0x12) || (type >= 0x16 && type <= 0x18)) {
        if (auto t = TC(what, node.bid_data, node.bid_sub)) tcs_[nid] = std::move(*t);
      }
    }
    Required();
    Folders();
    Store();
    NameMap();
    Search();
  }

 private:
  // ---- heaps ----
  std::optional<Heap> ReadHeap(const std::string& what, std::uint64_t bid, std::uint8_t client) {
    if (bid == 0) {
      out_.Error(what + ": no data, want a heap");
      return std::nullopt;
    }
    auto blocks = ndb_.DataBlocks(bid);
    if (!blocks) return std::nullopt;  // the NDB checks name the block
    Heap heap{what, std::move(*blocks), {}, {}};
    const Bytes& p0 = heap.pages[0];
    if (p0.size() < 12 || p0[2] != 0xEC) {
      out_.Error(what + ": not a heap (bSig is not 0xEC)");
      return std::nullopt;
    }
    if (p0[3] != client) {
      out_.Error(what + ": bClientSig " + Hex(p0[3]) + ", want " + Hex(client));
      return std::nullopt;
    }
    for (std::size_t i = 0; i < heap.pages.size(); ++i) {
      const Bytes& p = heap.pages[i];
      const std::string at = what + ": heap block " + std::to_string(i);
      const std::size_t header = i == 0 ? 12 : i % 128 == 8 ? 66 : 2;
      std::vector<std::uint16_t> offs;
      if (p.size() < header + 4 || G16(p, 0) < header || G16(p, 0) + 4u > p.size()) {
        out_.Error(at + ": ibHnpm out of range");
        heap.offsets.push_back({});
        continue;
      }
      const std::size_t map = G16(p, 0), n = G16(p, map), free = G16(p, map + 2);
      if (map + 4 + 2 * (n + 1) > p.size()) {
        out_.Error(at + ": page map of " + std::to_string(n) + " allocations runs past the block");
        heap.offsets.push_back({});
        continue;
      }
      if (map + 4 + 2 * (n + 1) < p.size()) out_.Warn(at + ": bytes after the page map");
      std::size_t empty = 0;
      for (std::size_t k = 0; k <= n; ++k) offs.push_back(G16(p, map + 4 + 2 * k));
      if (offs[0] != header)
        out_.Error(at + ": first allocation at " + std::to_string(offs[0]) + ", want " +
                   std::to_string(header));
      for (std::size_t k = 1; k <= n; ++k) {
        if (offs[k] < offs[k - 1] || offs[k] > map) {
          out_.Error(at + ": allocation " + std::to_string(k) + " ends at " +
                     std::to_string(offs[k]) + ", out of order");
          offs.resize(k);
          break;
        }
        if (offs[k] == offs[k - 1]) ++empty;
        if (offs[k] - offs[k - 1] > kMaxAlloc) {
          out_.Error(at + ": allocation " + std::to_string(k) + " of " +
                     std::to_string(offs[k] - offs[k - 1]) + " bytes exceeds 3580");
        }
      }
      if (free != empty)
        out_.Error(at + ": cFree " + std::to_string(free) + ", " + std::to_string(empty) +
                   " allocations are free");
      heap.offsets.push_back(std::move(offs));
    }
    FillLevels(heap);
    return heap;
  }

  // Each block's level sits in the HNHDR (blocks 0-7) or in the HNBITMAPHDR of block 8,
  // 136, 264, ... (that block and the 127 after it), low nibble first.
  void FillLevels(const Heap& heap) {
    const std::size_t n = heap.pages.size();
    for (std::size_t first = 0; first < n; first = first == 0 ? 8 : first + 128) {
      const Bytes& p = heap.pages[first];
      const std::size_t at = first == 0 ? 8 : 2, count = first == 0 ? 8 : 128;
      if (p.size() < at + count / 2) continue;
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t block = first + i;
        const int stored = (p[at + i / 2] >> ((i % 2) * 4)) & 0xF;
        const int want =
            block < n ? FillLevel(kMaxData - std::min(kMaxData, heap.pages[block].size())) : 0;
        if (stored != want) {
          out_.Error(heap.what + ": heap block " + std::to_string(block) +
                     (block < n ? " holds " + std::to_string(heap.pages[block].size()) +
                                      " bytes, fill level "
                                : " does not exist, fill level ") +
                     std::to_string(stored) + ", want " + std::to_string(want));
        }
      }
    }
  }

  void Unused(const Heap& heap) {
    for (std::size_t page = 0; page < heap.offsets.size(); ++page) {
      for (std::size_t k = 1; k < heap.offsets[page].size(); ++k) {
        const auto hid = static_cast<std::uint32_t>(page << 16 | k << 5);
        if (heap.Exists(hid) && !heap.used.count(hid))
          out_.Warn(heap.what + ": heap allocation " + Hex(hid) + " is not referenced");
      }
    }
  }

  // ---- BTH ----
  using Records = std::vector<std::pair<Bytes, Bytes>>;  // key, data

  std::optional<Records> Bth(Heap& heap, std::uint32_t hid, std::size_t key, std::size_t ent,
                             const std::string& what) {
    auto h = heap.Get(hid);
    if (!h) {
      out_.Error(what + ": BTH header HID " + Hex(hid) + " names no allocation");
      return std::nullopt;
    }
    if (h->size() != 8 || (*h)[0] != 0xB5 || (*h)[1] != key || (*h)[2] != ent) {
      out_.Error(what + ": BTH header at " + Hex(hid) + " is not bType 0xB5 with " +
                 std::to_string(key) + "-byte keys and " + std::to_string(ent) + "-byte data");
      return std::nullopt;
    }
    Records out;
    std::optional<Bytes> last;
    if (G32(*h, 4) == 0) {
      if ((*h)[3] != 0) out_.Error(what + ": empty BTH with bIdxLevels " + std::to_string((*h)[3]));
      return out;
    }
    if (!BthLevel(heap, G32(*h, 4), (*h)[3], key, ent, std::nullopt, what, out, last))
      return std::nullopt;
    return out;
  }

  static bool Less(const Bytes& a, const Bytes& b) {  // unsigned little-endian keys
    for (std::size_t i = a.size(); i-- > 0;) {
      if (a[i] != b[i]) return a[i] < b[i];
    }
    return false;
  }

  bool BthLevel(Heap& heap, std::uint32_t hid, int level, std::size_t key, std::size_t ent,
                std::optional<Bytes> low, const std::string& what, Records& out,
                std::optional<Bytes>& last) {
    auto node = heap.Get(hid);
    const std::size_t rec = key + (level > 0 ? 4 : ent);
    if (!node || node->empty() || node->size() % rec != 0) {
      out_.Error(what + ": BTH " + (level > 0 ? "index" : "leaf") + " at " + Hex(hid) +
                 " is missing or not whole records");
      return false;
    }
    for (std::size_t o = 0; o < node->size(); o += rec) {
      Bytes k(node->begin() + o, node->begin() + o + key);
      if (o == 0 && low && k != *low)
        out_.Error(what + ": BTH index key differs from the first key of " + Hex(hid));
      if (level > 0) {
        if (!BthLevel(heap, G32(*node, o + key), level - 1, key, ent, k, what, out, last))
          return false;
        continue;
      }
      if (last && !Less(*last, k)) out_.Error(what + ": BTH keys not ascending in " + Hex(hid));
      last = k;
      out.emplace_back(std::move(k), Bytes(node->begin() + o + key, node->begin() + o + rec));
    }
    return true;
  }

  // ---- values ----
  std::optional<Bytes> Value(Heap& heap, const Subnodes& subs, std::uint32_t hnid,
                             const std::string& what) {
    if (hnid == 0) return Bytes{};
    if ((hnid & 0x1F) == 0) {
      auto v = heap.Get(hnid);
      if (!v) out_.Error(what + ": HID " + Hex(hnid) + " names no allocation");
      return v;
    }
    auto s = subs.find(hnid);
    if (s == subs.end()) {
      out_.Error(what + ": subnode " + Hex(hnid) + " does not exist");
      return std::nullopt;
    }
    return ndb_.Stream(s->second.bid_data);
  }

  // Multi-valued and string values hold what their type says.
  void ValueShape(std::uint16_t type, const Bytes& v, const std::string& what) {
    const int fixed = FixedSize(type & 0x0FFF);
    if (type & 0x1000) {
      if (fixed > 0 && v.size() % fixed != 0)
        out_.Error(what + ": multi-value of " + std::to_string(v.size()) + " bytes");
      if (fixed == 0 && !v.empty()) {
        const std::size_t n = v.size() >= 4 ? G32(v, 0) : 0;
        bool ok = v.size() >= 4 && 4 + 4 * n <= v.size();
        for (std::size_t i = 0; ok && i < n; ++i) {
          const std::size_t at = G32(v, 4 + 4 * i), end = i + 1 < n ? G32(v, 8 + 4 * i) : v.size();
          ok = at >= 4 + 4 * n && at <= end && end <= v.size() &&
               (type != 0x101F || (end - at) % 2 == 0);
        }
        if (!ok) out_.Error(what + ": multi-value offsets out of order or range");
      }
    } else if (fixed > 0 && v.size() != static_cast<std::size_t>(fixed)) {
      out_.Error(what + ": " + std::to_string(v.size()) + " bytes for a " + std::to_string(fixed) +
                 "-byte type");
    } else if (type == 0x001F && v.size() % 2 != 0) {
      out_.Error(what + ": string of odd length");
    }
  }

  // ---- property contexts ----
  std::optional<Props> PC(const std::string& what, std::uint64_t bid_data, std::uint64_t bid_sub) {
    auto heap = ReadHeap(what, bid_data, 0xBC);
    if (!heap) return std::nullopt;
    auto recs = Bth(*heap, G32(heap->pages[0], 4), 2, 6, what);
    if (!recs) return std::nullopt;
    const Subnodes& subs = ndb_.SubnodesOf(bid_sub);
    Props props;
    for (const auto& [k, d] : *recs) {
      const std::uint16_t id = G16(k, 0), type = G16(d, 0);
      const std::uint32_t v = G32(d, 2);
      const std::string at = what + ": property " + Hex(id);
      const int fixed = FixedSize(type);
      if (fixed < 0) {
        out_.Error(at + " has unknown type " + Hex(type));
        continue;
      }
      StoredValue sv{type, {}};
      if (fixed > 0 && fixed <= 4) {
        for (int i = 0; i < fixed; ++i) sv.bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        if (type == 0x000B && v > 1) out_.Error(at + ": boolean " + Hex(v));
      } else {
        if (fixed > 4 && v == 0) out_.Error(at + ": fixed-size value without a HID");
        auto bytes = Value(*heap, subs, v, at);
        if (!bytes) continue;
        sv.bytes = std::move(*bytes);
        if (type == 0x000D) {
          if (sv.bytes.size() != 8 || !subs.count(G32(sv.bytes, 0)))
            out_.Error(at + ": object names no subnode");
        } else {
          ValueShape(type, sv.bytes, at);
        }
      }
      props[id] = std::move(sv);
    }
    Unused(*heap);
    return props;
  }

  // ---- table contexts ----
  std::optional<Table> TC(const std::string& what, std::uint64_t bid_data, std::uint64_t bid_sub) {
    auto heap = ReadHeap(what, bid_data, 0x7C);
    if (!heap) return std::nullopt;
    auto info = heap->Get(G32(heap->pages[0], 4));
    if (!info || info->size() < 22 || (*info)[0] != 0x7C || info->size() != 22 + 8u * (*info)[1]) {
      out_.Error(what + ": TCINFO missing or of the wrong size");
      return std::nullopt;
    }
    const std::size_t cols = (*info)[1];
    const std::size_t end4 = G16(*info, 2), end2 = G16(*info, 4), end1 = G16(*info, 6),
                      size = G16(*info, 8);
    bool ok = true;
    if (!(end4 <= end2 && end2 <= end1 && end1 + (cols + 7) / 8 == size && end4 >= 8)) {
      out_.Error(what + ": rgib " + std::to_string(end4) + "/" + std::to_string(end2) + "/" +
                 std::to_string(end1) + "/" + std::to_string(size) +
                 " are not the 4/8-, 2-, 1-byte and CEB boundaries of " + std::to_string(cols) +
                 " columns");
      ok = false;
    }
    Table table;
    std::vector<bool> bits(cols, false), bytes(size, false);
    struct Col {
      std::uint32_t tag;
      std::size_t ib, cb, bit;
    };
    std::vector<Col> desc;
    for (std::size_t c = 0; c < cols; ++c) {
      const std::size_t d = 22 + 8 * c;
      Col col{G32(*info, d), G16(*info, d + 4), (*info)[d + 6], (*info)[d + 7]};
      const std::string at = what + ": column " + Hex(col.tag);
      const std::uint16_t type = col.tag & 0xFFFF;
      const int fixed = FixedSize(type);
      const std::size_t want_cb = fixed > 0 && fixed <= 8 ? fixed : 4;
      if (c > 0 && col.tag <= desc.back().tag) out_.Error(at + " not sorted by tag");
      if (fixed < 0) out_.Error(at + " has unknown type");
      const std::size_t lo = col.cb >= 4   ? 0
                             : col.cb == 2 ? end4
                                           : end2,
                        hi = col.cb >= 4   ? end4
                             : col.cb == 2 ? end2
                                           : end1;
      if (col.cb != want_cb || col.ib < lo || col.ib + col.cb > hi) {
        out_.Error(at + ": offset " + std::to_string(col.ib) + " size " + std::to_string(col.cb) +
                   " do not fit its type and group");
        ok = false;
      } else {
        for (std::size_t b = col.ib; b < col.ib + col.cb; ++b) {
          if (bytes[b]) {
            out_.Error(at + " overlaps another column");
            ok = false;
          }
          bytes[b] = true;
        }
      }
      if (col.bit >= cols || bits[col.bit]) {
        out_.Error(at + ": iBit " + std::to_string(col.bit) + " out of range or shared");
        ok = false;
      } else {
        bits[col.bit] = true;
      }
      desc.push_back(col);
      table.tags.push_back(col.tag);
    }
    auto has = [&](std::uint32_t tag, std::size_t ib, std::size_t bit) {
      return std::any_of(desc.begin(), desc.end(),
                         [&](const Col& c) { return c.tag == tag && c.ib == ib && c.bit == bit; });
    };
    if (!has(0x67F20003, 0, 0) || !has(0x67F30003, 4, 1)) {
      out_.Error(what + ": PidTagLtpRowId/RowVer not at offsets 0/4 with bits 0/1");
      ok = false;
    }
    for (std::size_t b = 0; ok && b < end1; ++b) {
      if (!bytes[b]) {
        out_.Warn(what + ": row byte " + std::to_string(b) + " belongs to no column");
        break;
      }
    }
    auto index = Bth(*heap, G32(*info, 10), 4, 4, what + " row index");
    if (!index || !ok) return std::nullopt;
    const std::size_t n = index->size();
    // The row matrix: one allocation, or a subnode whose blocks each hold whole rows.
    Bytes matrix;
    const std::uint32_t hnid = G32(*info, 14);
    const Subnodes& subs = ndb_.SubnodesOf(bid_sub);
    if (hnid == 0) {
      if (n) out_.Error(what + ": " + std::to_string(n) + " rows indexed but no row matrix");
    } else if ((hnid & 0x1F) == 0) {
      auto m = heap->Get(hnid);
      if (!m) {
        out_.Error(what + ": row matrix HID " + Hex(hnid) + " names no allocation");
        return std::nullopt;
      }
      matrix = std::move(*m);
      if (matrix.size() != n * size) {
        out_.Error(what + ": row matrix of " + std::to_string(matrix.size()) + " bytes for " +
                   std::to_string(n) + " rows of " + std::to_string(size));
      }
    } else {
      auto s = subs.find(hnid);
      auto blocks = s == subs.end() ? std::nullopt : ndb_.DataBlocks(s->second.bid_data);
      if (s == subs.end())
        out_.Error(what + ": row matrix subnode " + Hex(hnid) + " does not exist");
      if (!blocks) return std::nullopt;
      const std::size_t per = kMaxData / size;
      for (std::size_t i = 0; i < blocks->size(); ++i) {
        Bytes& b = (*blocks)[i];
        const bool last = i + 1 == blocks->size();
        if ((!last && b.size() < per * size) ||
            (last && b.size() % size != 0 && b.size() != kMaxData)) {
          out_.Error(what + ": row block " + std::to_string(i) + " of " + std::to_string(b.size()) +
                     " bytes does not hold whole rows");
        }
        b.resize(std::min(b.size(), per * size));
        matrix.insert(matrix.end(), b.begin(), b.end());
      }
      const std::size_t rows = matrix.size() / size;
      const bool spare_empty = std::all_of(matrix.begin() + std::min(matrix.size(), n * size),
                                           matrix.end(), [](std::uint8_t x) { return x == 0; });
      if (rows < n || !spare_empty) {
        out_.Error(what + ": row matrix holds " + std::to_string(rows) + " rows, the row index " +
                   std::to_string(n));
      }
    }
    if (matrix.size() < n * size) return std::nullopt;
    std::set<std::uint32_t> seen_rows;
    for (const auto& [k, d] : *index) {
      const std::uint32_t id = G32(k, 0), r = G32(d, 0);
      const std::string at = what + ": row " + Hex(id);
      if (r >= n || !seen_rows.insert(r).second) {
        out_.Error(at + ": row number " + std::to_string(r) + " out of range or repeated");
        continue;
      }
      const std::size_t base = r * size;
      if (G32(matrix, base) != id)
        out_.Error(at + ": the row index points to row " + std::to_string(r) + " holding RowId " +
                   Hex(G32(matrix, base)));
      Row row;
      for (std::size_t bit = cols; bit < 8 * (size - end1); ++bit) {
        if (matrix[base + end1 + bit / 8] & (0x80 >> (bit % 8)))
          out_.Error(at + ": CEB bit " + std::to_string(bit) + " has no column");
      }
      for (const Col& c : desc) {
        const bool present = matrix[base + end1 + c.bit / 8] & (0x80 >> (c.bit % 8));
        Bytes cell(matrix.begin() + base + c.ib, matrix.begin() + base + c.ib + c.cb);
        if (!present) {
          if (std::any_of(cell.begin(), cell.end(), [](std::uint8_t x) { return x != 0; })) {
            out_.Error(at + ": CEB bit clear for column " + Hex(c.tag) +
                       " but its cell is not empty");
          }
          if (c.bit < 2)
            out_.Error(at + ": CEB bit " + std::to_string(c.bit) + " (RowId/RowVer) clear");
          continue;
        }
        const std::uint16_t type = c.tag & 0xFFFF;
        const int fixed = FixedSize(type);
        if (fixed == 0 || fixed > 8) {
          auto v = Value(*heap, subs, G32(cell, 0), at + " column " + Hex(c.tag));
          if (!v) continue;
          cell = std::move(*v);
          if (type != 0x000D) ValueShape(type, cell, at + " column " + Hex(c.tag));
        }
        row[c.tag] = StoredValue{type, std::move(cell)};
      }
      table.rows.push_back(std::move(row));
    }
    Unused(*heap);
    return table;
  }

  // ---- messages ----
  // `nid` is the NBT NID of a top-level message, 0 for an embedded one.
  void Message(std::uint32_t nid, const std::string& what, std::uint64_t bid_data,
               std::uint64_t bid_sub, int depth) {
    auto props = PC(what, bid_data, bid_sub);
    if (props && nid) messages_[nid] = *props;
    const Subnodes& subs = ndb_.SubnodesOf(bid_sub);
    if (subs.count(0x692)) TC(what + "/0x692", subs.at(0x692).bid_data, subs.at(0x692).bid_sub);
    std::set<std::uint32_t> attachments;
    for (const auto& [sub, s] : subs) {
      if ((sub & 0x1F) == 5) attachments.insert(sub);
    }
    if (!subs.count(0x671)) {
      if (!attachments.empty()) out_.Error(what + ": attachment subnodes but no attachment table");
      return;
    }
    auto table = TC(what + "/0x671", subs.at(0x671).bid_data, subs.at(0x671).bid_sub);
    if (!table) return;
    for (const Row& row : table->rows) {
      const std::uint32_t anid = RowId(row);
      const std::string at = what + "/" + Hex(anid);
      if (!attachments.erase(anid)) {
        out_.Error(what + ": attachment table row " + Hex(anid) + " names no attachment subnode");
        continue;
      }
      const Subnode& s = subs.at(anid);
      auto att = PC(at, s.bid_data, s.bid_sub);
      if (!att) continue;
      Agree(what + ": attachment table row " + Hex(anid), row, *att);
      auto method = att->find(0x3705);
      auto object = att->find(0x3701);
      if (method != att->end() && G32(method->second.bytes, 0) == 5 && object != att->end() &&
          object->second.type == 0x000D && object->second.bytes.size() == 8 && depth < 16) {
        const Subnodes& inner = ndb_.SubnodesOf(s.bid_sub);
        auto m = inner.find(G32(object->second.bytes, 0));
        if (m != inner.end())
          Message(0, at + "/" + Hex(m->first), m->second.bid_data, m->second.bid_sub, depth + 1);
      }
    }
    for (std::uint32_t anid : attachments)
      out_.Error(what + ": attachment subnode " + Hex(anid) +
                 " has no row in the attachment table");
  }

  static std::uint32_t RowId(const Row& row) {
    auto it = row.find(0x67F20003);
    return it == row.end() || it->second.bytes.size() != 4 ? 0 : G32(it->second.bytes, 0);
  }

  // Cells a table copies from an object hold the object's values.
  void Agree(const std::string& what, const Row& row, const Props& props) {
    for (const auto& [tag, cell] : row) {
      auto p = props.find(static_cast<std::uint16_t>(tag >> 16));
      if (p == props.end() || p->second.type != cell.type) continue;
      if (p->second.bytes == cell.bytes) continue;
      // Outlook itself lets a contents row's message size lag behind the message.
      const std::string text =
          what + ": column " + Hex(tag) + " differs from the object's property";
      tag == 0x0E080003 ? out_.Warn(text) : out_.Error(text);
    }
  }

  // ---- messaging ----
  bool Has(std::uint32_t nid) const { return ndb_.store.nodes.count(nid) > 0; }

  void Required() {
    for (std::uint32_t nid : {0x21u, 0x61u, 0x122u, 0x12Du, 0x12Eu, 0x12Fu, 0x1E1u, 0x201u, 0x261u,
                              0x60Du, 0x60Eu, 0x60Fu, 0x610u, 0x62Bu, 0x64Cu, 0x671u, 0x692u}) {
      if (!Has(nid)) out_.Error("required node " + Hex(nid) + " is missing");
    }
    for (std::uint32_t nid : {0x60Du, 0x60Eu, 0x60Fu, 0x610u, 0x671u, 0x692u}) {
      if (tcs_.count(nid) && !tcs_[nid].rows.empty())
        out_.Error("template " + Hex(nid) + " has rows");
    }
  }

  static std::uint32_t Int(const Props& p, std::uint16_t id, std::uint32_t otherwise = 0) {
    auto it = p.find(id);
    return it == p.end() || it->second.bytes.empty() ? otherwise
           : it->second.bytes.size() >= 4            ? G32(it->second.bytes, 0)
                                                     : it->second.bytes[0];
  }

  void Folders() {
    const auto& nodes = ndb_.store.nodes;
    std::map<std::uint32_t, std::set<std::uint32_t>> folder_kids, message_kids, fai_kids;
    for (const auto& [nid, node] : nodes) {
      const std::uint32_t type = nid & 0x1F;
      if (type != 2 && type != 3 && type != 4 && type != 8) continue;
      if (nid == 0x122) {
        if (node.parent != 0x122)
          out_.Error("node 0x122: the root folder's nidParent " + Hex(node.parent) +
                     " is not itself");
        continue;
      }
      auto parent = nodes.find(node.parent);
      if (parent == nodes.end() || (parent->first & 0x1F) != 2) {
        out_.Error("node " + Hex(nid) + ": nidParent " + Hex(node.parent) + " is not a folder");
        continue;
      }
      (type <= 3 ? folder_kids : type == 4 ? message_kids : fai_kids)[node.parent].insert(nid);
    }
    for (const auto& [nid, node] : nodes) {
      if ((nid & 0x1F) != 2) continue;
      const std::string what = "folder " + Hex(nid);
      const std::uint32_t base = nid & ~0x1Fu;
      auto pc = pcs_.find(nid);
      for (std::uint32_t t : {0xDu, 0xEu, 0xFu}) {
        if (!Has(base | t)) out_.Error(what + ": table " + Hex(base | t) + " is missing");
      }
      if (pc == pcs_.end()) continue;
      for (std::uint16_t id : {0x3001, 0x3602, 0x3603, 0x360A}) {
        if (!pc->second.count(id)) out_.Error(what + ": property " + Hex(id) + " is missing");
      }
      Rows(what, "hierarchy", base | 0xD, folder_kids[nid], nid);
      if (Int(pc->second, 0x360A) != (folder_kids[nid].empty() ? 0u : 1u)) {
        out_.Error(what + ": PidTagSubfolders " + std::to_string(Int(pc->second, 0x360A)) +
                   " but " + std::to_string(folder_kids[nid].size()) + " subfolders");
      }
      Rows(what, "contents", base | 0xE, message_kids[nid], nid);
      Rows(what, "FAI contents", base | 0xF, fai_kids[nid], nid);
      std::uint32_t unread = 0;
      for (std::uint32_t m : message_kids[nid]) {
        if (messages_.count(m) && !(Int(messages_[m], 0x0E07) & 1)) ++unread;
      }
      if (Int(pc->second, 0x3602) != message_kids[nid].size()) {
        out_.Error(what + ": content count " + std::to_string(Int(pc->second, 0x3602)) + " but " +
                   std::to_string(message_kids[nid].size()) + " messages");
      }
      if (Int(pc->second, 0x3603) != unread) {
        out_.Error(what + ": unread count " + std::to_string(Int(pc->second, 0x3603)) + " but " +
                   std::to_string(unread) + " unread messages");
      }
    }
  }

  // A folder's table lists exactly the objects whose nidParent is the folder, with their values.
  void Rows(const std::string& what, const char* kind, std::uint32_t table_nid,
            std::set<std::uint32_t> kids, std::uint32_t folder) {
    auto t = tcs_.find(table_nid);
    if (t == tcs_.end()) return;
    for (const Row& row : t->second.rows) {
      const std::uint32_t nid = RowId(row);
      if (!kids.erase(nid)) {
        auto node = ndb_.store.nodes.find(nid);
        out_.Error(what + ": " + kind + " table row " + Hex(nid) +
                   (node == ndb_.store.nodes.end()
                        ? " names no node"
                        : " names a node whose nidParent is " + Hex(node->second.parent)));
        continue;
      }
      auto pc = pcs_.find(nid);
      if (pc != pcs_.end()) Agree(what + ": " + kind + " table row " + Hex(nid), row, pc->second);
      auto m = messages_.find(nid);
      if (m != messages_.end())
        Agree(what + ": " + kind + " table row " + Hex(nid), row, m->second);
    }
    for (std::uint32_t nid : kids) {
      out_.Error("node " + Hex(nid) + ": nidParent is " + Hex(folder) + " but its " + kind +
                 " table has no row for it");
    }
  }

  // The store's entry IDs: no flags, the store's record key, an existing folder.
  void Store() {
    auto store = pcs_.find(0x21);
    if (store == pcs_.end()) return;
    const Props& p = store->second;
    auto key = p.find(0x0FF9);
    if (key == p.end() || key->second.bytes.size() != 16) {
      out_.Error("store: PidTagRecordKey is missing or not 16 bytes");
      return;
    }
    if (!p.count(0x3001)) out_.Error("store: PidTagDisplayName is missing");
    for (std::uint16_t id : {0x35E0, 0x35E3, 0x35E7, 0x35E6}) {
      auto e = p.find(id);
      if (e == p.end()) {
        if (id != 0x35E6) out_.Error("store: entry ID " + Hex(id) + " is missing");
        continue;
      }
      const Bytes& b = e->second.bytes;
      if (b.size() != 24 || G32(b, 0) != 0 ||
          !std::equal(b.begin() + 4, b.begin() + 20, key->second.bytes.begin()) ||
          !Has(G32(b, 20)) || (G32(b, 20) & 0x1F) != 2) {
        out_.Error("store: entry ID " + Hex(id) + " does not name a folder of this store");
      }
    }
  }

  // [MS-PST] 2.4.7: every NAMEID of the entry stream is valid and sits in its hash bucket;
  // the buckets hold nothing else.
  void NameMap() {
    auto map = pcs_.find(0x61);
    if (map == pcs_.end()) return;
    const Props& p = map->second;
    const std::uint32_t buckets = Int(p, 0x0001);
    if (!p.count(0x0001) || buckets == 0 || buckets > 0xF000) {
      out_.Error("name map: PidTagNameidBucketCount missing or out of range");
      return;
    }
    auto stream = [&](std::uint16_t id) { return p.count(id) ? p.at(id).bytes : Bytes{}; };
    const Bytes guids = stream(2), entries = stream(3), strings = stream(4);
    if (!p.count(2) || !p.count(3) || !p.count(4))
      out_.Error("name map: a GUID, entry or string stream is missing");
    if (guids.size() % 16 || entries.size() % 8)
      out_.Error("name map: GUID or entry stream of a partial length");
    std::map<std::uint32_t, std::vector<Bytes>> want;
    std::set<std::uint16_t> indexes;
    for (std::size_t o = 0; o + 8 <= entries.size(); o += 8) {
      std::uint32_t id = G32(entries, o);
      const std::uint16_t w = G16(entries, o + 4), index = G16(entries, o + 6);
      const std::string at =
          "name map: entry " + std::to_string(o / 8) + " (NPID " + Hex(0x8000 + index) + ")";
      if (!indexes.insert(index).second) out_.Error(at + ": wPropIdx used twice");
      if ((w >> 1) == 0 || ((w >> 1) >= 3 && (w >> 1) - 3u >= guids.size() / 16))
        out_.Error(at + ": GUID index " + std::to_string(w >> 1) + " out of range");
      if (w & 1) {
        if (id % 4 || id + 4 > strings.size() || id + 4 + G32(strings, id) > strings.size() ||
            G32(strings, id) % 2) {
          out_.Error(at + ": string offset " + Hex(id) + " out of range");
          continue;
        }
        id = Crc(std::span(strings).subspan(id + 4, G32(strings, id)));
      }
      Bytes rec(8);
      for (int i = 0; i < 4; ++i) rec[i] = static_cast<std::uint8_t>(id >> (8 * i));
      std::copy(entries.begin() + o + 4, entries.begin() + o + 8, rec.begin() + 4);
      want[(id ^ w) % buckets].push_back(rec);
    }
    for (const auto& [id, v] : p) {
      if (id < 0x1000) continue;
      if (id - 0x1000u >= buckets) {
        out_.Error("name map: bucket property " + Hex(id) + " past the bucket count");
        continue;
      }
      if (v.bytes.size() % 8) out_.Error("name map: bucket " + Hex(id) + " of a partial length");
      if (!want.count(id - 0x1000u)) want[id - 0x1000u];
    }
    for (auto& [b, recs] : want) {
      std::vector<Bytes> have;
      auto it = p.find(static_cast<std::uint16_t>(0x1000 + b));
      if (it != p.end()) {
        for (std::size_t o = 0; o + 8 <= it->second.bytes.size(); o += 8)
          have.emplace_back(it->second.bytes.begin() + o, it->second.bytes.begin() + o + 8);
      }
      std::sort(have.begin(), have.end());
      std::sort(recs.begin(), recs.end());
      if (have != recs) {
        out_.Error("name map: bucket " + Hex(0x1000 + b) + " holds " + std::to_string(have.size()) +
                   " records, the entry stream puts " + std::to_string(recs.size()) +
                   (have.size() == recs.size() ? " other ones" : "") + " there");
      }
    }
  }

  // Search folders with their queue, criteria and contents table; the search activity list
  // names only search folders.
  void Search() {
    const auto& nodes = ndb_.store.nodes;
    for (const auto& [nid, node] : nodes) {
      if ((nid & 0x1F) != 3) continue;
      const std::uint32_t base = nid & ~0x1Fu;
      if (!Has(base | 6))
        out_.Error("search folder " + Hex(nid) + ": update queue " + Hex(base | 6) + " is missing");
      if (!pcs_.count(base | 7))
        out_.Error("search folder " + Hex(nid) + ": criteria " + Hex(base | 7) +
                   " missing or not a property context");
      if (!tcs_.count(base | 0x10))
        out_.Error("search folder " + Hex(nid) + ": contents table " + Hex(base | 0x10) +
                   " missing or not a table");
      auto pc = pcs_.find(nid);
      if (pc != pcs_.end() && !pc->second.count(0x3001))
        out_.Error("search folder " + Hex(nid) + ": no display name");
    }
    auto sal = nodes.find(0x201);
    if (sal == nodes.end()) return;
    auto list = ndb_.Stream(sal->second.bid_data);
    if (!list) return;
    if (list->size() % 4)
      out_.Error("search activity list of " + std::to_string(list->size()) + " bytes");
    for (std::size_t o = 0; o + 4 <= list->size(); o += 4) {
      if (!Has(G32(*list, o)) || (G32(*list, o) & 0x1F) != 3)
        out_.Error("search activity list names " + Hex(G32(*list, o)) + ", not a search folder");
    }
  }

  const Ndb& ndb_;
  Findings& out_;
  std::map<std::uint32_t, Props> pcs_;       // folders, store, name map, criteria
  std::map<std::uint32_t, Props> messages_;  // top-level messages
  std::map<std::uint32_t, Table> tcs_;       // top-level tables
};

}  // namespace

void CheckMessaging(const Ndb& ndb, Findings& out) { LtpChecker(ndb, out).Run(); }

}  // namespace pst::testing::check
