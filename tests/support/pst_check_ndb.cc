// The NDB half of the store checker: header, allocation maps (AMap, PMap, FMap, FPMap,
// DList), the two B-trees, blocks and their references, and the header's counters.
#include <algorithm>
#include <cstdio>

#include "pst/crc.h"
#include "tests/support/pst_check_internal.h"

namespace pst::testing::check {

std::string Hex(std::uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
  return b;
}

namespace {

std::uint16_t Sig(std::uint64_t ib, std::uint64_t bid) {
  std::uint64_t x = ib ^ bid;
  return static_cast<std::uint16_t>((x >> 16) ^ x);
}

std::uint8_t Level(std::uint8_t btype, std::uint8_t clevel) { return btype << 4 | clevel; }
constexpr std::uint8_t kXBlock = 0x11, kXXBlock = 0x12, kSLBlock = 0x20, kSIBlock = 0x21;

const char* PageName(std::uint8_t ptype) {
  switch (ptype) {
    case 0x80:
      return "BBT page";
    case 0x81:
      return "NBT page";
    case 0x82:
      return "FMap";
    case 0x83:
      return "PMap";
    case 0x84:
      return "AMap";
    case 0x85:
      return "FPMap";
    case 0x86:
      return "DList";
    default:
      return "page";
  }
}

class NdbChecker {
 public:
  NdbChecker(std::span<const std::uint8_t> file, const CheckOptions& o, Ndb& ndb, Findings& out)
      : f_(file), o_(o), ndb_(ndb), out_(out) {}

  void Run() {
    if (!Header()) return;
    for (bool nbt : {true, false}) {
      last_key_.reset();
      const std::uint64_t at = nbt ? 0xD8 : 0xE8;
      TreePage(nbt, R64(f_, at + 8), R64(f_, at), -1, std::nullopt, std::nullopt, 0);
    }
    Blocks();
    References();
    Counters();
    Maps();
  }

 private:
  // ---- header ----
  bool Header() {
    if (f_.size() < kFirstAMap + 1024) {
      out_.Error("file of " + std::to_string(f_.size()) + " bytes is too short for a store");
      return false;
    }
    if (f_[0] != '!' || f_[1] != 'B' || f_[2] != 'D' || f_[3] != 'N') {
      out_.Error("header: dwMagic is not !BDN");
      return false;
    }
    if (f_[8] != 'S' || f_[9] != 'M') out_.Error("header: wMagicClient is not SM");
    if (R16(f_, 10) != 23) {
      out_.Error("header: wVer " + std::to_string(R16(f_, 10)) + ", want 23 (Unicode)");
      return false;
    }
    if (R16(f_, 12) != 19)
      out_.Error("header: wVerClient " + std::to_string(R16(f_, 12)) + ", want 19");
    if (f_[14] != 1 || f_[15] != 1) out_.Error("header: bPlatformCreate/bPlatformAccess not 0x01");
    if (f_[0x200] != 0x80) out_.Error("header: bSentinel " + Hex(f_[0x200]) + ", want 0x80");
    if (R32(f_, 4) != Crc(f_.subspan(8, 471))) out_.Error("header: dwCRCPartial does not match");
    if (R32(f_, 0x20C) != Crc(f_.subspan(8, 516))) out_.Error("header: dwCRCFull does not match");
    ndb_.store.crypt = f_[0x201];
    if (f_[0x201] > 2) out_.Error("header: bCryptMethod " + Hex(f_[0x201]) + " is not defined");
    if (f_[0xF8] != 2)
      out_.Error("header: fAMapValid " + Hex(f_[0xF8]) + ", want 0x2 (VALID_AMAP2)");
    const std::uint64_t eof = R64(f_, 0xB8);
    if (eof < kFirstAMap + kSpan || (eof - kFirstAMap) % kSpan != 0) {
      out_.Error("header: ibFileEof " + Hex(eof) + " is not 0x4400 plus whole AMap spans");
    }
    if (eof != f_.size()) {
      std::string tail;
      if (!o_.allow_tail || eof > f_.size()) {
        out_.Error("file size " + Hex(f_.size()) + " differs from ibFileEof " + Hex(eof));
      } else if (!(tail = NotEmptySpans(eof)).empty()) {
        out_.Error("past ibFileEof " + Hex(eof) + ": " + tail);
      }
    }
    // Everything past the committed end (or past the real end) is outside the store.
    std::uint64_t end = std::min<std::uint64_t>(eof, f_.size());
    end = end < kFirstAMap + kSpan ? kFirstAMap + kSpan : end;
    spans_ = (std::min<std::uint64_t>(end, f_.size()) - kFirstAMap) / kSpan;
    if (spans_ == 0) {
      out_.Error("file holds no whole AMap span");
      return false;
    }
    f_ = f_.first(kFirstAMap + spans_ * kSpan);
    ndb_.f = f_;
    const std::uint64_t last_amap = kFirstAMap + (spans_ - 1) * kSpan;
    if (R64(f_, 0xC0) != last_amap) {
      out_.Error("header: ibAMapLast " + Hex(R64(f_, 0xC0)) + ", want " + Hex(last_amap));
    }
    return true;
  }

  // ---- allocations ----
  void Use(std::uint64_t ib, std::uint64_t size, const std::string& what) {
    auto next = used_.lower_bound(ib);
    if (next != used_.end() && next->first < ib + size) {
      out_.Error(what + " overlaps " + next->second.second);
    } else if (next != used_.begin() &&
               std::prev(next)->first + std::prev(next)->second.first > ib) {
      out_.Error(what + " overlaps " + std::prev(next)->second.second);
    }
    used_.emplace(ib, std::make_pair(size, what));
  }

  // ---- B-trees ----
  void TreePage(bool nbt, std::uint64_t ib, std::uint64_t bid, int want_level,
                std::optional<std::uint64_t> low, std::optional<std::uint64_t> high, int depth) {
    const std::uint8_t ptype = nbt ? 0x81 : 0x80;
    const std::string what = std::string(PageName(ptype)) + " at " + Hex(ib);
    if (ib % 512 != 0 || ib < kFirstAMap || ib + 512 > f_.size()) {
      out_.Error(what + " (BID " + Hex(bid) + ") lies outside the file or off a page boundary");
      return;
    }
    Use(ib, 512, what);
    pages_.insert(ib);
    if (!page_bids_.insert(bid).second) out_.Error(what + ": page BID " + Hex(bid) + " used twice");
    max_page_bid_ = std::max(max_page_bid_, bid);
    if (f_[ib + 496] != ptype || f_[ib + 497] != ptype) {
      out_.Error(what + ": page type " + Hex(f_[ib + 496]) + "/" + Hex(f_[ib + 497]) + ", want " +
                 Hex(ptype));
      return;
    }
    if (R64(f_, ib + 504) != bid) {
      out_.Error(what + ": trailer BID " + Hex(R64(f_, ib + 504)) + " differs from its reference " +
                 Hex(bid));
    }
    if (R16(f_, ib + 498) != Sig(ib, bid))
      out_.Error(what + ": wSig " + Hex(R16(f_, ib + 498)) + ", want " + Hex(Sig(ib, bid)));
    if (R32(f_, ib + 500) != Crc(f_.subspan(ib, 496)))
      out_.Error(what + ": page CRC does not match");
    const std::uint8_t cent = f_[ib + 488], cmax = f_[ib + 489], cb = f_[ib + 490],
                       level = f_[ib + 491];
    if (want_level >= 0 && level != want_level) {
      out_.Error(what + ": cLevel " + std::to_string(level) + ", want " +
                 std::to_string(want_level));
      return;
    }
    if (level > 8 || depth > 8) {
      out_.Error(what + ": cLevel " + std::to_string(level) + " is implausible");
      return;
    }
    const std::uint8_t want_cb = level == 0 && nbt ? 32 : 24;
    if (cb != want_cb || cmax != 488 / want_cb) {
      out_.Error(what + ": cbEnt " + std::to_string(cb) + " cEntMax " + std::to_string(cmax) +
                 ", want " + std::to_string(want_cb) + " and " + std::to_string(488 / want_cb));
      return;
    }
    if (cent > cmax || (cent == 0 && depth > 0)) {
      out_.Error(what + ": cEnt " + std::to_string(cent) + " out of range");
      return;
    }
    if (R32(f_, ib + 492) != 0) out_.Warn(what + ": dwPadding is not zero");
    std::optional<std::uint64_t> prev;
    for (int i = 0; i < cent; ++i) {
      const std::uint64_t e = ib + i * cb, key = R64(f_, e);
      if (prev && key <= *prev)
        out_.Error(what + ": key " + Hex(key) + " of entry " + std::to_string(i) + " not above " +
                   Hex(*prev));
      if (i == 0 && low && key != *low)
        out_.Error(what + ": first key " + Hex(key) + " differs from the parent's key " +
                   Hex(*low));
      if ((low && key < *low) || (high && key >= *high))
        out_.Error(what + ": key " + Hex(key) + " outside the parent's range");
      prev = key;
      if (level > 0) {
        std::optional<std::uint64_t> next_high =
            i + 1 < cent ? std::optional(R64(f_, e + cb)) : high;
        TreePage(nbt, R64(f_, e + 16), R64(f_, e + 8), level - 1, key, next_high, depth + 1);
        continue;
      }
      if (key == 0) out_.Error(what + ": key 0 in a leaf");
      if (last_key_ && key <= *last_key_)
        out_.Error(what + ": key " + Hex(key) + " not above the previous leaf's " +
                   Hex(*last_key_));
      last_key_ = key;
      if (nbt) {
        if (key < 0x21 || key > 0xFFFFFFFFu)
          out_.Error(what + ": NID " + Hex(key) + " out of range");
        const auto nid = static_cast<std::uint32_t>(key);
        if (!ndb_.store.nodes
                 .emplace(nid, VerifiedNode{R64(f_, e + 8), R64(f_, e + 16), R32(f_, e + 24)})
                 .second) {
          out_.Error("NID " + Hex(nid) + " is in the NBT twice");
        }
      } else {
        if (key & 1) out_.Error(what + ": BID " + Hex(key) + " has the reserved bit set");
        if (!ndb_.store.blocks
                 .emplace(key, VerifiedBlock{R64(f_, e + 8), R16(f_, e + 16), R16(f_, e + 18)})
                 .second) {
          out_.Error("BID " + Hex(key) + " is in the BBT twice");
        }
      }
    }
  }

  // ---- blocks ----
  void Blocks() {
    for (const auto& [bid, b] : ndb_.store.blocks) {
      const std::string what = "block " + Hex(bid) + " at " + Hex(b.ib);
      const std::uint64_t size = (b.cb + 16 + 63) / 64 * 64;
      if (b.ib % 64 != 0 || b.ib < kFirstAMap || b.ib + size > f_.size() || size > 8192) {
        out_.Error(what + " (cb " + std::to_string(b.cb) +
                   ") lies outside the file or off a 64-byte boundary");
        ndb_.unreadable.insert(bid);
        continue;
      }
      if ((b.ib - kFirstAMap) / kSpan != (b.ib + size - 1 - kFirstAMap) / kSpan) {
        out_.Error(what + " crosses an AMap span");
      }
      Use(b.ib, size, what);
      const std::uint64_t t = b.ib + size - 16;
      bool ok = true;
      if (R16(f_, t) != b.cb) {
        out_.Error(what + ": trailer cb " + std::to_string(R16(f_, t)) + ", BBT says " +
                   std::to_string(b.cb));
        ok = false;
      }
      if (R64(f_, t + 8) != bid) {
        out_.Error(what + ": trailer BID " + Hex(R64(f_, t + 8)));
        ok = false;
      }
      if (R16(f_, t + 2) != Sig(b.ib, bid))
        out_.Error(what + ": wSig " + Hex(R16(f_, t + 2)) + ", want " + Hex(Sig(b.ib, bid)));
      if (R32(f_, t + 4) != Crc(f_.subspan(b.ib, b.cb))) {
        out_.Error(what + ": block CRC does not match");
        ok = false;
      }
      for (std::uint64_t p = b.ib + b.cb; p < t; ++p) {
        if (f_[p] != 0) {
          out_.Warn(what + ": padding before the trailer is not zero");
          break;
        }
      }
      if (!ok) {
        ndb_.unreadable.insert(bid);
        continue;
      }
      if (bid & 2) Internal(bid, b, what);
    }
  }

  void Internal(std::uint64_t bid, const VerifiedBlock& b, const std::string& what) {
    if (b.cb < 8) {
      out_.Error(what + ": internal block of " + std::to_string(b.cb) + " bytes");
      ndb_.unreadable.insert(bid);
      return;
    }
    const std::uint8_t kind = Level(f_[b.ib], f_[b.ib + 1]);
    const std::uint16_t n = R16(f_, b.ib + 2);
    const std::size_t entry = kind == kSLBlock ? 24 : kind == kSIBlock ? 16 : 8;
    const std::size_t fanout = (kMaxData - 8) / entry;
    if (kind != kXBlock && kind != kXXBlock && kind != kSLBlock && kind != kSIBlock) {
      out_.Error(what + ": unknown internal block type " + Hex(f_[b.ib]) + "/" + Hex(f_[b.ib + 1]));
      ndb_.unreadable.insert(bid);
      return;
    }
    if (n == 0 || n > fanout || b.cb != 8 + entry * n) {
      out_.Error(what + ": cEnt " + std::to_string(n) + " does not fit cb " + std::to_string(b.cb));
      ndb_.unreadable.insert(bid);
      return;
    }
    kinds_[bid] = kind;
    auto& kids = children_[bid];
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t e = b.ib + 8 + entry * i;
      if (entry == 8) {
        kids.push_back({R64(f_, e), kind == kXBlock ? 'd' : 'x'});
      } else if (kind == kSLBlock) {
        kids.push_back({R64(f_, e + 8), 'D'});
        if (R64(f_, e + 16)) kids.push_back({R64(f_, e + 16), 's'});
      } else {
        kids.push_back({R64(f_, e + 8), 'l'});
      }
    }
  }

  // What a reference expects: 'd' data block, 'x' XBLOCK, 'D' data tree (data block, XBLOCK
  // or XXBLOCK), 's' subnode tree (SLBLOCK or SIBLOCK), 'l' SLBLOCK.
  bool Fits(std::uint64_t bid, char want) const {
    auto k = kinds_.find(bid);
    const std::uint8_t kind = k == kinds_.end() ? 0 : k->second;
    const bool internal = bid & 2;
    switch (want) {
      case 'd':
        return !internal;
      case 'x':
        return kind == kXBlock;
      case 'D':
        return !internal || kind == kXBlock || kind == kXXBlock;
      case 's':
        return kind == kSLBlock || kind == kSIBlock;
      case 'l':
        return kind == kSLBlock;
    }
    return false;
  }

  void References() {
    std::map<std::uint64_t, int> refs;
    auto ref = [&](std::uint64_t bid, char want, const std::string& from) {
      if (bid == 0) {
        if (want != 'D') out_.Error(from + " names BID 0");
        return;
      }
      if (!ndb_.store.blocks.count(bid)) {
        out_.Error(from + " names missing block " + Hex(bid));
        return;
      }
      ++refs[bid];
      if (!ndb_.unreadable.count(bid) && !Fits(bid, want)) {
        out_.Error(from + " names block " + Hex(bid) + " of the wrong kind");
      }
    };
    for (const auto& [nid, n] : ndb_.store.nodes) {
      ref(n.bid_data, 'D', "node " + Hex(nid));
      if (n.bid_sub) ref(n.bid_sub, 's', "node " + Hex(nid) + " (subnodes)");
    }
    for (const auto& [bid, kids] : children_) {
      for (const auto& [child, want] : kids) ref(child, want, "block " + Hex(bid));
    }
    for (auto& [bid, b] : ndb_.store.blocks) {
      const int n = refs[bid];
      if (n == 0) {
        out_.Error("block " + Hex(bid) + " is not referenced");
      } else if (b.refs != n + 1) {
        out_.Error("block " + Hex(bid) + ": cRef " + std::to_string(b.refs) + ", want " +
                   std::to_string(n + 1) + " (1 + " + std::to_string(n) + " references)");
      }
    }
    StreamTotals();
    for (const auto& [bid, kind] : kinds_) {
      if (kind == kSLBlock || kind == kSIBlock) SubnodeTree(bid);
    }
  }

  // lcbTotal of every XBLOCK and XXBLOCK against what its children hold.
  void StreamTotals() {
    std::map<std::uint64_t, std::uint64_t> totals;
    for (int pass : {0, 1}) {
      for (const auto& [bid, kind] : kinds_) {
        if (kind != (pass == 0 ? kXBlock : kXXBlock)) continue;
        const VerifiedBlock& b = ndb_.store.blocks.at(bid);
        std::uint64_t sum = 0;
        bool known = true;
        for (const auto& [child, want] : children_[bid]) {
          if (!ndb_.Readable(child)) {
            known = false;
          } else if (pass == 0) {
            sum += ndb_.store.blocks.at(child).cb;
          } else {
            sum += totals.count(child) ? totals[child] : 0;
          }
        }
        totals[bid] = R32(f_, b.ib + 4);
        if (known && sum != R32(f_, b.ib + 4)) {
          out_.Error("block " + Hex(bid) + ": lcbTotal " + std::to_string(R32(f_, b.ib + 4)) +
                     ", children hold " + std::to_string(sum));
        }
      }
    }
  }

  // SLBLOCK/SIBLOCK entries: sorted NIDs, SIENTRY keys equal to the first NID below them.
  void SubnodeTree(std::uint64_t bid) {
    const VerifiedBlock& b = ndb_.store.blocks.at(bid);
    Subnodes& out = ndb_.subnode_trees[bid];
    const bool leaf = kinds_[bid] == kSLBlock;
    const std::uint16_t n = R16(f_, b.ib + 2);
    std::optional<std::uint32_t> prev;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t e = b.ib + 8 + (leaf ? 24 : 16) * i;
      const auto nid = static_cast<std::uint32_t>(R64(f_, e));
      if (prev && nid <= *prev)
        out_.Error("block " + Hex(bid) + ": subnode NID " + Hex(nid) + " not above " + Hex(*prev));
      prev = nid;
      if (leaf) {
        out[nid] = {R64(f_, e + 8), R64(f_, e + 16)};
        continue;
      }
      const std::uint64_t child = R64(f_, e + 8);
      if (!ndb_.Readable(child) || kinds_[child] != kSLBlock) continue;
      const VerifiedBlock& c = ndb_.store.blocks.at(child);
      if (static_cast<std::uint32_t>(R64(f_, c.ib + 8)) != nid) {
        out_.Error("block " + Hex(bid) + ": SIENTRY key " + Hex(nid) + " is not the first NID of " +
                   Hex(child));
      }
      if (!ndb_.subnode_trees.count(child)) SubnodeTree(child);
      const Subnodes& below = ndb_.subnode_trees[child];
      out.insert(below.begin(), below.end());
    }
  }

  // ---- counters ----
  void Counters() {
    std::uint64_t max_bid = 0;
    for (const auto& [bid, b] : ndb_.store.blocks)
      max_bid = std::max(max_bid, bid & ~std::uint64_t{3});
    const std::uint64_t next_b = R64(f_, 0x204), next_p = R64(f_, 0x20);
    if (next_b <= max_bid)
      out_.Error("header: bidNextB " + Hex(next_b) + " is not above block " + Hex(max_bid));
    if (next_p <= max_page_bid_)
      out_.Error("header: bidNextP " + Hex(next_p) + " is not above page BID " +
                 Hex(max_page_bid_));
    std::set<std::uint32_t> nids;
    for (const auto& [nid, n] : ndb_.store.nodes) nids.insert(nid);
    for (const auto& [bid, tree] : ndb_.subnode_trees) {
      for (const auto& [nid, s] : tree) nids.insert(nid);
    }
    for (std::uint32_t nid : nids) {
      const std::uint32_t last = R32(f_, 0x2C + 4 * (nid & 0x1F));
      if ((nid >> 5) > last) {
        out_.Error("NID " + Hex(nid) + " has an index above rgnid[" + Hex(nid & 0x1F) + "] " +
                   Hex(last));
      }
    }
  }

  // ---- maps ----
  bool MapPage(std::uint64_t ib, std::uint8_t ptype) {
    const std::string what = std::string(PageName(ptype)) + " at " + Hex(ib);
    Use(ib, 512, what);
    pages_.insert(ib);
    bool ok = true;
    if (f_[ib + 496] != ptype || f_[ib + 497] != ptype) {
      out_.Error(what + ": page type " + Hex(f_[ib + 496]) + ", want " + Hex(ptype));
      ok = false;
    }
    if (R64(f_, ib + 504) != ib)
      out_.Error(what + ": trailer BID " + Hex(R64(f_, ib + 504)) + " is not its offset");
    if (R16(f_, ib + 498) != 0) out_.Error(what + ": wSig is not 0");
    if (R32(f_, ib + 500) != Crc(f_.subspan(ib, 496))) {
      out_.Error(what + ": page CRC does not match");
      ok = false;
    }
    return ok;
  }

  // A store only ever grows by whole spans, first all zero, then given maps that mark
  // nothing but the map pages used, so that is all a crash may leave past the committed
  // end (a map page or two may be missing). Returns what else is there.
  std::string NotEmptySpans(std::uint64_t eof) const {
    auto zero = [](std::span<const std::uint8_t> s) {
      return std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0; });
    };
    if ((f_.size() - eof) % kSpan != 0) return "not whole AMap spans";
    for (std::uint64_t start = eof; start < f_.size(); start += kSpan) {
      const std::uint64_t k = (start - kFirstAMap) / kSpan;
      const std::uint64_t fp = k >= 8192 && (k - 8192) % 31744 == 0;
      const std::uint64_t fm = fp || (k >= 128 && (k - 128) % 496 == 0);
      const std::uint64_t pm = fm || k % 8 == 0;
      const std::uint64_t reserved = 512 * (1 + pm + fm + fp);
      if (!zero(f_.subspan(start + reserved, kSpan - reserved))) {
        return "data in the span at " + Hex(start);
      }
      if (zero(f_.subspan(start, 512))) continue;
      if (f_[start + 496] != 0x84 || R64(f_, start + 504) != start ||
          R32(f_, start + 500) != Crc(f_.subspan(start, 496))) {
        return "no AMap page at " + Hex(start);
      }
      for (std::uint64_t s = 0; s < 3968; ++s) {
        if (Bit(f_, start, s) != (s < reserved / 64)) {
          return "the AMap at " + Hex(start) + " marks more than its map pages used";
        }
      }
    }
    return "";
  }

  static bool Bit(std::span<const std::uint8_t> f, std::uint64_t map, std::uint64_t i) {
    return f[map + i / 8] & (0x80 >> (i % 8));
  }

  void Maps() {
    DList();
    std::vector<std::uint64_t> pmaps, fmaps;
    for (std::uint64_t k = 0; k < spans_; ++k) {
      const std::uint64_t start = kFirstAMap + k * kSpan;
      MapPage(start, 0x84);
      if (k % 8 == 0 && MapPage(start + 0x200, 0x83)) pmaps.push_back(start + 0x200);
      if (k >= 128 && (k - 128) % 496 == 0 && MapPage(start + 0x400, 0x82))
        fmaps.push_back(start + 0x400);
      if (k >= 8192 && (k - 8192) % 31744 == 0) MapPage(start + 0x600, 0x85);
    }
    // Pages the PMaps mark free are reserved for pages: older Outlook marks them used in
    // the AMap before it places a page there.
    std::set<std::uint64_t> reserved;
    for (std::uint64_t pmap : pmaps) {
      for (std::uint64_t i = 0; i < 3968 && pmap - 0x200 + 512 * i < f_.size(); ++i) {
        if (!Bit(f_, pmap, i)) reserved.insert(pmap - 0x200 + 512 * i);
      }
    }
    // AMap bits against what is used, span by span.
    std::uint64_t free_slots = 0;
    std::vector<std::uint64_t> longest(spans_, 0);
    free_per_span_.assign(spans_, 0);
    auto it = used_.begin();
    for (std::uint64_t k = 0; k < spans_; ++k) {
      const std::uint64_t start = kFirstAMap + k * kSpan;
      std::vector<bool> used(3968, false);
      for (; it != used_.end() && it->first < start + kSpan; ++it) {
        for (std::uint64_t s = (it->first - start) / 64;
             s < (it->first + it->second.first - start + 63) / 64 && s < 3968; ++s)
          used[s] = true;
      }
      std::uint64_t run = 0;
      std::optional<std::uint64_t> stray;  // first slot of a run marked used that nothing uses
      for (std::uint64_t s = 0; s <= 3968; ++s) {
        const bool set = s < 3968 && Bit(f_, start, s);
        if (s < 3968 && used[s] && !set) {
          out_.Error("AMap at " + Hex(start) + ": slot at " + Hex(start + 64 * s) +
                     " is used but marked free");
        }
        const bool extra =
            s < 3968 && set && !used[s] && !reserved.count((start + 64 * s) & ~std::uint64_t{511});
        if (extra && !stray) stray = s;
        if (!extra && stray) {
          if (!o_.allow_tail) {
            out_.Error("AMap at " + Hex(start) + ": " + Hex(start + 64 * *stray) + ".." +
                       Hex(start + 64 * s) + " marked used but nothing is there");
          }
          stray.reset();
        }
        if (s == 3968) break;
        run = set ? 0 : run + 1;
        longest[k] = std::max(longest[k], run);
        if (!set) ++free_slots, ++free_per_span_[k];
      }
    }
    if (R64(f_, 0xC8) != free_slots * 64 && !o_.allow_tail) {
      out_.Error("header: cbAMapFree " + Hex(R64(f_, 0xC8)) + ", the AMaps hold " +
                 Hex(free_slots * 64) + " free bytes");
    }
    // PMaps: one bit per page, every page in use marked; cbPMapFree counts the pages marked
    // free inside the file.
    std::uint64_t free_pages = 0;
    for (std::uint64_t pmap : pmaps) {
      const std::uint64_t start = pmap - 0x200;
      std::uint64_t here = 0;
      for (std::uint64_t i = 0; i < 3968 && start + 512 * i < f_.size(); ++i) {
        if (Bit(f_, pmap, i)) continue;
        ++here;
        auto u = used_.find(start + 512 * i);
        if (pages_.count(start + 512 * i)) {
          out_.Error("PMap at " + Hex(pmap) + ": " + u->second.second + " is marked free");
        }
      }
      if (here)
        out_.Warn("PMap at " + Hex(pmap) + " marks " + std::to_string(here) +
                  " pages free (Outlook fills PMaps)");
      free_pages += here;
    }
    if (R64(f_, 0xD0) != free_pages * 512) {
      out_.Error("header: cbPMapFree " + Hex(R64(f_, 0xD0)) + ", the PMaps mark " +
                 Hex(free_pages * 512) + " bytes free");
    }
    // FMaps: the longest free run of each AMap they cover.
    for (std::uint64_t fmap : fmaps) {
      const std::uint64_t first = (fmap - 0x400 - kFirstAMap) / kSpan;
      for (std::uint64_t i = 0; i < 496 && first + i < spans_; ++i) {
        const std::uint64_t want = std::min<std::uint64_t>(255, longest[first + i]);
        // Space marked for the next commit may already be counted (see allow_tail): an
        // entry that understates the free run is then accepted.
        if (f_[fmap + i] != want && !(o_.allow_tail && f_[fmap + i] < want)) {
          out_.Error("FMap at " + Hex(fmap) + ": entry for the AMap at " +
                     Hex(kFirstAMap + (first + i) * kSpan) + " is " + std::to_string(f_[fmap + i]) +
                     ", its longest free run is " + std::to_string(want));
        }
      }
    }
    if (!free_per_span_.empty()) DListEntries();
  }

  void DList() {
    bool present = false;
    for (std::uint64_t i = 0x4200; i < 0x4400; ++i) present |= f_[i] != 0;
    if (!present) return;
    dlist_ = true;
    const std::string what = "DList at 0x4200";
    if (f_[0x4200 + 496] != 0x86 || f_[0x4200 + 497] != 0x86) {
      out_.Error(what + ": page type " + Hex(f_[0x4200 + 496]));
      dlist_ = false;
      return;
    }
    const std::uint64_t bid = R64(f_, 0x4200 + 504);
    if (R16(f_, 0x4200 + 498) != Sig(0x4200, bid)) out_.Error(what + ": wSig does not match");
    if (R32(f_, 0x4200 + 500) != Crc(f_.subspan(0x4200, 496)))
      out_.Error(what + ": page CRC does not match");
    if (bid > R64(f_, 0x20)) out_.Error(what + ": BID " + Hex(bid) + " is above bidNextP");
  }

  // DList entries: AMap pages that exist, each with its real count of free slots.
  void DListEntries() {
    if (!dlist_) return;
    const std::uint8_t n = f_[0x4201];
    if (n > 119) {
      out_.Error("DList: cEntDList " + std::to_string(n) + " above 119");
      return;
    }
    if (R32(f_, 0x4204) >= spans_ && n > 0)
      out_.Error("DList: ulCurrentPage " + Hex(R32(f_, 0x4204)) + " past the last AMap");
    for (int i = 0; i < n; ++i) {
      const std::uint32_t e = R32(f_, 0x4208 + 4 * i), page = e & 0xFFFFF, slots = e >> 20;
      if (page >= spans_) {
        out_.Error("DList: entry " + std::to_string(i) + " names AMap page " +
                   std::to_string(page) + " past the file");
      } else if (slots != free_per_span_[page]) {
        out_.Error("DList: entry " + std::to_string(i) + " gives " + std::to_string(slots) +
                   " free slots to AMap page " + std::to_string(page) + ", which has " +
                   std::to_string(free_per_span_[page]));
      }
    }
  }

  std::span<const std::uint8_t> f_;
  const CheckOptions& o_;
  Ndb& ndb_;
  Findings& out_;
  std::uint64_t spans_ = 0;
  std::map<std::uint64_t, std::pair<std::uint64_t, std::string>> used_;  // offset -> (size, what)
  std::optional<std::uint64_t> last_key_;
  std::set<std::uint64_t> page_bids_;
  std::set<std::uint64_t> pages_;  // offsets of BT and map pages
  std::uint64_t max_page_bid_ = 0;
  std::map<std::uint64_t, std::uint8_t> kinds_;  // internal blocks by BID
  std::map<std::uint64_t, std::vector<std::pair<std::uint64_t, char>>> children_;
  std::vector<std::uint64_t> free_per_span_;
  bool dlist_ = false;
};

}  // namespace

void CheckNdb(std::span<const std::uint8_t> file, const CheckOptions& options, Ndb& ndb,
              Findings& out) {
  ndb.f = file;
  NdbChecker(file, options, ndb, out).Run();
}

std::optional<std::vector<Bytes>> Ndb::DataBlocks(std::uint64_t bid) const {
  if (!Readable(bid)) return std::nullopt;
  const VerifiedBlock& b = store.blocks.at(bid);
  std::vector<Bytes> out;
  if (!(bid & 2)) {
    Bytes data(f.begin() + b.ib, f.begin() + b.ib + b.cb);
    if (store.crypt == 1) PermuteDecode(data);
    out.push_back(std::move(data));
    return out;
  }
  const std::uint8_t level = f[b.ib + 1];
  if (f[b.ib] != 1 || level < 1 || level > 2) return std::nullopt;
  for (std::uint16_t i = 0; i < R16(f, b.ib + 2); ++i) {
    const std::uint64_t child = R64(f, b.ib + 8 + 8 * i);
    // An XBLOCK names data blocks, an XXBLOCK names XBLOCKs: nothing else is followed.
    if (((child & 2) != 0) != (level == 2) ||
        (level == 2 && Readable(child) && f[store.blocks.at(child).ib + 1] != 1)) {
      return std::nullopt;
    }
    auto part = DataBlocks(child);
    if (!part) return std::nullopt;
    for (auto& p : *part) out.push_back(std::move(p));
  }
  return out;
}

std::optional<Bytes> Ndb::Stream(std::uint64_t bid) const {
  if (bid == 0) return Bytes{};
  auto blocks = DataBlocks(bid);
  if (!blocks) return std::nullopt;
  Bytes out;
  for (const auto& b : *blocks) out.insert(out.end(), b.begin(), b.end());
  return out;
}

const Subnodes& Ndb::SubnodesOf(std::uint64_t bid_sub) const {
  static const Subnodes kNone;
  auto it = subnode_trees.find(bid_sub);
  return it == subnode_trees.end() ? kNone : it->second;
}

}  // namespace pst::testing::check
