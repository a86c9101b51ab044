// Known-answer tests for the byte-level pieces: checksum, permutation, signatures, the
// header checksums of an Outlook-made sample file, and data trees at their boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pst/coding.h"
#include "pst/crc.h"
#include "pst/ndb.h"
#include "tests/support/pst_fake_files.h"
#include "tests/support/pst_verify.h"

namespace pst {
namespace {

std::vector<std::uint8_t> ReadSample(const std::string& name) {
  std::ifstream in(std::string(PST_CORPUS_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(Crc, MatchesKnownAnswers) {
  // The PST checksum is zlib's CRC-32 table with initial value 0 and no final XOR; the
  // value for "123456789" was computed as zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF.
  std::string text = "123456789";
  EXPECT_EQ(Crc({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}), 0x2DFD2D88u);
  std::vector<std::uint8_t> zeros(100, 0);
  EXPECT_EQ(Crc(zeros), 0u);
  // Chaining two halves gives the checksum of the whole.
  auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  EXPECT_EQ(Crc({p + 4, 5}, Crc({p, 4})), 0x2DFD2D88u);
}

// The fast paths (carry-less multiplication, wide table lookups) against the byte-by-byte
// definitions, over every length around their block sizes, unaligned starts and chaining.
TEST(Crc, FastPathsAgreeWithTableDefinitions) {
  std::vector<std::uint8_t> data(70000);
  std::uint32_t seed = 12345;
  for (auto& b : data) b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  for (std::size_t length : {0, 1, 15, 16, 17, 63, 64, 65, 79, 80, 127, 128, 129, 255, 256, 1000,
                             8192, 65536, 69990}) {
    for (std::size_t offset : {0, 1, 7, 9}) {
      std::span<const std::uint8_t> piece(data.data() + offset, length);
      SCOPED_TRACE(::testing::Message() << "length " << length << " offset " << offset);
      ASSERT_EQ(Crc(piece, 0x12345678u), CrcPortable(piece, 0x12345678u));
      ASSERT_EQ(Crc(piece.subspan(length / 3), Crc(piece.first(length / 3))), CrcPortable(piece));

      std::vector<std::uint8_t> encoded(piece.begin(), piece.end());
      PermuteEncode(encoded);
      for (std::size_t i = 0; i < length; ++i) {
        ASSERT_EQ(encoded[i], PermuteEncodeTable()[piece[i]]) << "byte " << i;
      }
      PermuteDecode(encoded);
      ASSERT_TRUE(std::equal(encoded.begin(), encoded.end(), piece.begin()));
    }
  }
}

TEST(Crc, ReproducesOutlookHeaderChecksums) {
  auto f = ReadSample("outlook-empty-unicode.pst");
  ASSERT_GT(f.size(), 0x4400u);
  // Values stored by Outlook in the sample's header.
  EXPECT_EQ(Crc({f.data() + 8, 471}), 0x77BBFE83u);
  EXPECT_EQ(Crc({f.data() + 8, 516}), 0xF0304BC1u);
  EXPECT_EQ(Get32(f.data() + 4), 0x77BBFE83u);
}

TEST(Permute, TablesAreInversePermutations) {
  const std::uint8_t* enc = PermuteEncodeTable();
  const std::uint8_t* dec = PermuteDecodeTable();
  // First entries as published with the encoding.
  EXPECT_EQ(enc[0], 0x41);
  EXPECT_EQ(enc[1], 0x36);
  EXPECT_EQ(enc[2], 0x13);
  EXPECT_EQ(enc[3], 0x62);
  EXPECT_EQ(dec[0], 0x47);
  EXPECT_EQ(dec[1], 0xF1);
  std::vector<bool> seen(256, false);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(dec[enc[i]], i);
    seen[enc[i]] = true;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
}

TEST(Permute, DecodesOutlookBlock) {
  // The sample's message store block (offset 0x5D40, 294 bytes) starts with an encoded
  // heap header; its trailer holds the CRC of the stored bytes and the block signature.
  auto f = ReadSample("outlook-empty-unicode.pst");
  std::vector<std::uint8_t> block(f.begin() + 0x5D40, f.begin() + 0x5D40 + 294);
  EXPECT_EQ(Crc(block), 0x5C37ABCEu);
  PermuteDecode(block);
  EXPECT_EQ(block[2], 0xEC);
  EXPECT_EQ(block[3], 0xBC);
  std::vector<std::uint8_t> again = block;
  PermuteEncode(again);
  EXPECT_EQ(again[0], 0xE8);
  EXPECT_EQ(again[1], 0x36);
}

TEST(Signature, MatchesOutlookPages) {
  // The empty sample's node B-tree root: offset 0x9200, BID 0x17D, signature 0x937D.
  EXPECT_EQ(ComputeSignature(0x9200, 0x17D), 0x937D);
  auto f = ReadSample("outlook-empty-unicode.pst");
  EXPECT_EQ(Get16(f.data() + 0x9200 + 498), 0x937D);
}

TEST(Coding, LittleEndianRoundTrip) {
  ByteVec b;
  Put16(b, 0x1234);
  Put32(b, 0x89ABCDEF);
  Put64(b, 0x0102030405060708ull);
  ASSERT_EQ(b.size(), 14u);
  EXPECT_EQ(b[0], 0x34);
  EXPECT_EQ(b[2], 0xEF);
  EXPECT_EQ(b[6], 0x08);
  EXPECT_EQ(Get16(b.data()), 0x1234);
  EXPECT_EQ(Get32(b.data() + 2), 0x89ABCDEFu);
  EXPECT_EQ(Get64(b.data() + 6), 0x0102030405060708ull);
}

}  // namespace
}  // namespace pst

namespace pst {
namespace {

// Data trees at the sizes where their shape changes: every XBLOCK and XXBLOCK must state
// exactly the bytes beneath it, also when its blocks are not full (a table's blocks hold
// whole rows), or readers refuse the whole node.
TEST(DataTree, EveryLevelStatesTheBytesBeneathIt) {
  struct Case {
    const char* name;
    std::size_t blocks;
    std::size_t last;  // bytes in the last block
    bool chunks;       // uneven blocks, as a table writes them
  };
  constexpr std::size_t kFull = 8176;
  for (const Case c : {Case{"one block", 1, 100, false}, Case{"one XBLOCK full", 1021, kFull, false},
                       Case{"one block over", 1022, 1, false},
                       Case{"two XBLOCKs full", 2042, kFull, false},
                       Case{"uneven, one over", 1022, 10, true},
                       Case{"uneven, three XBLOCKs", 2100, 7000, true}}) {
    SCOPED_TRACE(c.name);
    testing::MemFileEnv env;
    auto ndb = NdbWriter::Create(env, "tree.pst", {});
    ASSERT_TRUE(ndb.has_value());
    std::vector<ByteVec> chunks;
    ByteVec all;
    for (std::size_t i = 0; i < c.blocks; ++i) {
      const std::size_t size = i + 1 == c.blocks ? c.last : c.chunks ? 8000 + i % 170 : kFull;
      chunks.emplace_back(size, static_cast<std::uint8_t>(i * 7));
      all.insert(all.end(), chunks.back().begin(), chunks.back().end());
    }
    auto bid = c.chunks ? (*ndb)->WriteChunks(chunks) : (*ndb)->WriteStream(all);
    ASSERT_TRUE(bid.has_value());
    (*ndb)->PutNode({0x21, 0, *bid, 0});
    ASSERT_TRUE((*ndb)->Commit().ok());
    ASSERT_TRUE((*ndb)->Close().ok());
    const auto& file = *env.Contents("tree.pst");
    // Raw nodes only: the NDB layer is checked, not the layers above it.
    const testing::CheckReport report = testing::CheckStore(file, {.messaging = false});
    ASSERT_TRUE(report.ok()) << report.Text();
    auto stream = testing::ReadStream(report.store, file, *bid);
    ASSERT_TRUE(stream.has_value()) << stream.error().ToString();
    EXPECT_TRUE(*stream == all);
  }
}

}  // namespace
}  // namespace pst
