// The on-disk layout of a Unicode PST file as this writer produces it, with the constants
// the code uses. Every integer is little-endian. Offsets are file offsets unless stated.
// Sizes below are written as the sum of their fields.
//
// FILE MAP
//   0x0000  HEADER (564 bytes, zeros up to 0x4200)
//   0x4200  DList page (512, empty)
//   0x4400  span 0: AMap page, PMap page, then pages and blocks
//   0x4400 + k * 253952: span k. Each span starts with its AMap page; span k also holds a
//           PMap at +0x200 when k % 8 == 0, an FMap at +0x400 when k >= 128 and
//           (k - 128) % 496 == 0, and an FPMap at +0x600 when k >= 8192 and
//           (k - 8192) % 31744 == 0. Nothing else is placed in those slots and no block
//           crosses into the next span. The file always ends at a span boundary.
//           The FPMap slot (files above about 1.94 GiB) follows Microsoft's published
//           reference crate; the readers ignore these pages, Outlook was not available to
//           confirm the position.
//
// HEADER (Unicode)
//   OFFSET SIZE DESCRIPTION
//   0x000   4   magic "!BDN"
//   0x004   4   CRC of bytes [0x008, 0x1DF)         (471 bytes)
//   0x008   2   client magic "SM"
//   0x00A   2   version 23 (Unicode)
//   0x00C   2   client version 19
//   0x00E   2   platform create / access: 1, 1
//   0x020   8   next page BID (pages step by 1)
//   0x028   4   unique counter, changed on every header write
//   0x02C 128   last used NID index for each of the 32 NID types
//   0x0B4  72   ROOT: reserved(4) file size(8) last AMap offset(8) AMap free bytes(8)
//               PMap free bytes(8) NBT root BREF(16) BBT root BREF(16) AMap valid(1)=2 pad(3)
//   0x100 128   deprecated FMap, all 0xFF
//   0x180 128   deprecated FPMap, all 0xFF
//   0x200   1   sentinel 0x80
//   0x201   1   encoding: 0 none, 1 permute
//   0x204   8   next block BID (blocks step by 4)
//   0x20C   4   CRC of bytes [0x008, 0x20C)          (516 bytes)
//   Example: the empty Outlook sample's partial CRC is 0x77BBFE83.
//
// PAGE (512 bytes) = payload (496) + trailer (16):
//   type(1) type again(1) signature(2) CRC of payload(4) BID(8)
//   Map pages (AMap 0x84, PMap 0x83, FMap 0x82, FPMap 0x85) carry signature 0 and their own
//   offset as BID. B-tree pages (BBT 0x80, NBT 0x81) and the DList (0x86) carry
//   Signature(offset, bid) = low 16 bits of (x ^ x >> 16) with x = offset ^ bid.
//
// B-TREE PAGE payload: entries (488) count(1) capacity(1) entry size(1) level(1) pad(4)
//   intermediate entry (24) = first key(8) + child BID(8) + child offset(8)
//   BBT leaf entry     (24) = BID(8) + offset(8) + data size(2) + refcount(2) + pad(4)
//   NBT leaf entry     (32) = NID(8) + data BID(8) + subnode BID(8) + parent NID(4) + pad(4)
//
// BLOCK = data (cb <= 8176) + zero padding + trailer (16), total rounded up to 64, at most
//   8192; trailer = cb(2) signature(2) CRC of the stored data(4) BID(8). BIDs of internal
//   blocks (XBLOCK, XXBLOCK, SLBLOCK, SIBLOCK) have bit 1 set and are never encoded.
//   XBLOCK/XXBLOCK = 0x01 level(1: 1 or 2) count(2) total bytes(4) BIDs(8 each)
//   SLBLOCK/SIBLOCK = 0x02 level(1: 0 or 1) count(2) pad(4) entries: SL = NID(8) data BID(8)
//   subnode BID(8); SI = NID(8) SLBLOCK BID(8).
#pragma once

#include <cstdint>

namespace pst::format {

constexpr std::uint64_t kHeaderSize = 564;
constexpr std::uint64_t kDListOffset = 0x4200;
constexpr std::uint64_t kFirstAMapOffset = 0x4400;
constexpr std::uint64_t kPageSize = 512;
constexpr std::uint64_t kPagePayload = 496;
constexpr std::uint64_t kSpanSize = 496 * 8 * 64;  // 253,952 bytes covered by one AMap
constexpr std::uint64_t kSlotSize = 64;             // one AMap bit

constexpr std::uint64_t kBlockTrailerSize = 16;
constexpr std::uint64_t kMaxBlockSize = 8192;
constexpr std::uint64_t kMaxBlockData = kMaxBlockSize - kBlockTrailerSize;  // 8176

constexpr std::uint8_t kPageBBT = 0x80;
constexpr std::uint8_t kPageNBT = 0x81;
constexpr std::uint8_t kPageFMap = 0x82;
constexpr std::uint8_t kPagePMap = 0x83;
constexpr std::uint8_t kPageAMap = 0x84;
constexpr std::uint8_t kPageFPMap = 0x85;
constexpr std::uint8_t kPageDList = 0x86;

constexpr std::uint32_t kBtEntriesSize = 488;
constexpr std::uint8_t kBtEntrySize = 24;   // intermediate entries and BBT leaf entries
constexpr std::uint8_t kNbtEntrySize = 32;  // NBT leaf entries
constexpr std::uint8_t kBtMaxEntries = kBtEntriesSize / kBtEntrySize;    // 20
constexpr std::uint8_t kNbtMaxEntries = kBtEntriesSize / kNbtEntrySize;  // 15

constexpr std::uint32_t kXBlockFanout = (kMaxBlockData - 8) / 8;      // 1021
constexpr std::uint32_t kSlBlockFanout = (kMaxBlockData - 8) / 24;    // 340
constexpr std::uint32_t kSiBlockFanout = (kMaxBlockData - 8) / 16;    // 510

constexpr std::uint64_t kBidInternal = 0x2;
constexpr std::uint64_t kBidStep = 4;

constexpr std::uint8_t kCryptNone = 0x00;
constexpr std::uint8_t kCryptPermute = 0x01;

// NID = index << 5 | type.
constexpr std::uint32_t kNidTypeInternal = 0x01;
constexpr std::uint32_t kNidTypeNormalFolder = 0x02;
constexpr std::uint32_t kNidTypeSearchFolder = 0x03;
constexpr std::uint32_t kNidTypeNormalMessage = 0x04;
constexpr std::uint32_t kNidTypeAttachment = 0x05;
constexpr std::uint32_t kNidTypeHierarchyTable = 0x0D;
constexpr std::uint32_t kNidTypeContentsTable = 0x0E;
constexpr std::uint32_t kNidTypeAssocContentsTable = 0x0F;
constexpr std::uint32_t kNidTypeLtp = 0x1F;
constexpr std::uint32_t MakeNid(std::uint32_t type, std::uint32_t index) {
  return (index << 5) | type;
}

constexpr std::uint32_t kNidMessageStore = 0x21;
constexpr std::uint32_t kNidNameToIdMap = 0x61;
constexpr std::uint32_t kNidRootFolder = 0x122;
constexpr std::uint32_t kNidSearchManagementQueue = 0x1E1;
constexpr std::uint32_t kNidSearchActivityList = 0x201;
constexpr std::uint32_t kNidSearchDomainObject = 0x261;
constexpr std::uint32_t kNidHierarchyTableTemplate = 0x60D;
constexpr std::uint32_t kNidContentsTableTemplate = 0x60E;
constexpr std::uint32_t kNidAssocContentsTableTemplate = 0x60F;
constexpr std::uint32_t kNidSearchContentsTableTemplate = 0x610;
constexpr std::uint32_t kNidReceiveFolderTable = 0x62B;
constexpr std::uint32_t kNidOutgoingQueueTable = 0x64C;
constexpr std::uint32_t kNidAttachmentTable = 0x671;
constexpr std::uint32_t kNidRecipientTable = 0x692;
constexpr std::uint32_t kNidSpamSearchFolder = 0x2223;
constexpr std::uint32_t kNidSpamSearchUpdateQueue = 0x2226;
constexpr std::uint32_t kNidSpamSearchCriteria = 0x2227;
constexpr std::uint32_t kNidSpamSearchContents = 0x2230;

// Heap-on-node: a node's data split into pages (one per block). Page 0 starts with
// HNHDR = page map offset(2) 0xEC(1) client signature(1) user root HID(4) fill levels(4)
// (12 bytes); pages 8, 136, 264, ... with page map offset(2) + fill levels(64) (66 bytes);
// the others with page map offset(2). The page map = allocation count(2) free count(2)
// start offsets(2 each, count + 1 of them). HID = block << 16 | (allocation number << 5).
constexpr std::uint8_t kHeapSignature = 0xEC;
constexpr std::uint8_t kClientTable = 0x7C;
constexpr std::uint8_t kClientBth = 0xB5;
constexpr std::uint8_t kClientPropertyContext = 0xBC;
constexpr std::uint32_t kMaxHeapAllocation = 3580;

}  // namespace pst::format
