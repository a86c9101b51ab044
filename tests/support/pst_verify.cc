#include "tests/support/pst_verify.h"

#include <algorithm>
#include <string>

#include "pst/crc.h"
#include "tests/support/pst_check_internal.h"

namespace pst::testing {
namespace {

using wharfline::Result;
using wharfline::Status;

using check::Hex;
using check::R16;
using check::R32;
using check::R64;
Status Bad(const std::string& what) { return Status::InvalidArgument("verify", what); }

}  // namespace

std::string CheckReport::Text() const {
  std::string out;
  for (bool warnings : {false, true}) {
    for (const Finding& f : findings) {
      if (f.warning == warnings) out += (warnings ? "warning: " : "error: ") + f.text + "\n";
    }
  }
  return out;
}

CheckReport CheckStore(std::span<const std::uint8_t> file, const CheckOptions& options) {
  CheckReport report;
  std::vector<Finding> all;
  check::Findings out(&all);
  check::Ndb ndb;
  check::CheckNdb(file, options, ndb, out);
  if (options.messaging && !ndb.store.nodes.empty()) check::CheckMessaging(ndb, out);
  for (Finding& f : all) {
    const bool known = std::any_of(options.accept.begin(), options.accept.end(),
                                   [&](const std::string& a) { return f.text.find(a) != std::string::npos; });
    (known ? report.accepted : report.findings).push_back(std::move(f));
  }
  report.store = std::move(ndb.store);
  return report;
}

Result<VerifiedStore> VerifyStore(std::span<const std::uint8_t> f, bool allow_tail) {
  CheckReport report = CheckStore(f, {.allow_tail = allow_tail});
  if (!report.ok()) {
    std::string text;
    for (std::size_t i = 0; i < report.findings.size() && i < 5; ++i) text += (i ? "; " : "") + report.findings[i].text;
    if (report.findings.size() > 5) text += "; and " + std::to_string(report.findings.size() - 5) + " more";
    return Bad(text);
  }
  return std::move(report.store);
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

namespace {

Result<NodeSchema> SchemaOf(const VerifiedStore& store, std::span<const std::uint8_t> f,
                            std::uint32_t nid, std::uint64_t bid_data, std::uint64_t bid_sub) {
  NodeSchema out;
  out.nid = nid;
  if (bid_data == 0) return out;
  auto first = Blocks(store, f, bid_data);
  if (!first) return first.error();
  const auto& p0 = first->at(0);
  if (p0.size() < 12 || p0[2] != 0xEC) return out;  // not a heap: raw data
  out.client = p0[3];
  if (out.client == 0xBC) {
    auto props = ReadPropertyContext(store, f, bid_data, bid_sub);
    if (!props) return props.error();
    for (const auto& [id, v] : *props) out.properties.push_back(static_cast<std::uint32_t>(id) << 16 | v.type);
  } else if (out.client == 0x7C) {
    auto heap = ReadHeap(store, f, bid_data, 0x7C);
    if (!heap) return heap.error();
    auto info = heap->Get(G32(heap->pages[0], 4));
    if (!info) return info.error();
    out.row_size = G16(*info, 8);
    for (std::size_t c = 0; c < (*info)[1]; ++c) {
      std::size_t d = 22 + 8 * c;
      out.columns.push_back({G32(*info, d), G16(*info, d + 4), (*info)[d + 6], (*info)[d + 7]});
    }
    auto rows = ReadTable(store, f, bid_data, bid_sub);
    if (!rows) return rows.error();
    out.rows = rows->size();
  }
  return out;
}

// The subnodes of an SLBLOCK/SIBLOCK tree: (nid, data bid, sub bid).
void Subnodes(const VerifiedStore& store, std::span<const std::uint8_t> f, std::uint64_t bid,
              std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint64_t>>& out) {
  auto it = store.blocks.find(bid);
  if (bid == 0 || it == store.blocks.end()) return;
  std::uint64_t ib = it->second.ib;
  std::uint16_t n = static_cast<std::uint16_t>(f[ib + 2] | f[ib + 3] << 8);
  for (int i = 0; i < n; ++i) {
    if (f[ib + 1] == 0) {
      std::uint64_t e = ib + 8 + 24 * i;
      out.emplace_back(static_cast<std::uint32_t>(R64(f, e)), R64(f, e + 8), R64(f, e + 16));
    } else {
      Subnodes(store, f, R64(f, ib + 8 + 16 * i + 8), out);
    }
  }
}

}  // namespace

Result<StoreSchema> ReadSchema(const VerifiedStore& store, std::span<const std::uint8_t> f) {
  StoreSchema out;
  for (const auto& [nid, node] : store.nodes) {
    auto schema = SchemaOf(store, f, nid, node.bid_data, node.bid_sub);
    if (!schema) return schema.error();
    schema->parent = node.parent;
    out.nodes[nid] = std::move(*schema);
    std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint64_t>> subs;
    Subnodes(store, f, node.bid_sub, subs);
    for (auto [sub, data, subsub] : subs) {
      if ((sub & 0x1F) != 0x12 && (sub & 0x1F) != 0x11 && (sub & 0x1F) != 0x05) continue;  // tables, attachments
      auto sub_schema = SchemaOf(store, f, sub, data, subsub);
      if (!sub_schema) return sub_schema.error();
      out.subnodes[{nid, sub}] = std::move(*sub_schema);
    }
  }
  return out;
}

}  // namespace pst::testing
