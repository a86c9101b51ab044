#include "pst/crc.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define WHARFLINE_X86_SIMD 1
#endif

namespace pst {
namespace {

// Eight tables for slicing-by-8: table k gives the CRC of a byte followed by k zero bytes,
// so eight input bytes are folded per step.
constexpr std::array<std::array<std::uint32_t, 256>, 8> MakeCrcTables() {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (int k = 1; k < 8; ++k) {
    for (std::uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}
constexpr auto kCrcTables = MakeCrcTables();

// Decoding side of the permutation: stored byte -> plain byte. The encoding side is its
// inverse and is derived below, so only one table is written out.
constexpr std::array<std::uint8_t, 256> kDecode = {
    0x47, 0xf1, 0xb4, 0xe6, 0x0b, 0x6a, 0x72, 0x48, 0x85, 0x4e, 0x9e, 0xeb, 0xe2, 0xf8, 0x94, 0x53,
    0xe0, 0xbb, 0xa0, 0x02, 0xe8, 0x5a, 0x09, 0xab, 0xdb, 0xe3, 0xba, 0xc6, 0x7c, 0xc3, 0x10, 0xdd,
    0x39, 0x05, 0x96, 0x30, 0xf5, 0x37, 0x60, 0x82, 0x8c, 0xc9, 0x13, 0x4a, 0x6b, 0x1d, 0xf3, 0xfb,
    0x8f, 0x26, 0x97, 0xca, 0x91, 0x17, 0x01, 0xc4, 0x32, 0x2d, 0x6e, 0x31, 0x95, 0xff, 0xd9, 0x23,
    0xd1, 0x00, 0x5e, 0x79, 0xdc, 0x44, 0x3b, 0x1a, 0x28, 0xc5, 0x61, 0x57, 0x20, 0x90, 0x3d, 0x83,
    0xb9, 0x43, 0xbe, 0x67, 0xd2, 0x46, 0x42, 0x76, 0xc0, 0x6d, 0x5b, 0x7e, 0xb2, 0x0f, 0x16, 0x29,
    0x3c, 0xa9, 0x03, 0x54, 0x0d, 0xda, 0x5d, 0xdf, 0xf6, 0xb7, 0xc7, 0x62, 0xcd, 0x8d, 0x06, 0xd3,
    0x69, 0x5c, 0x86, 0xd6, 0x14, 0xf7, 0xa5, 0x66, 0x75, 0xac, 0xb1, 0xe9, 0x45, 0x21, 0x70, 0x0c,
    0x87, 0x9f, 0x74, 0xa4, 0x22, 0x4c, 0x6f, 0xbf, 0x1f, 0x56, 0xaa, 0x2e, 0xb3, 0x78, 0x33, 0x50,
    0xb0, 0xa3, 0x92, 0xbc, 0xcf, 0x19, 0x1c, 0xa7, 0x63, 0xcb, 0x1e, 0x4d, 0x3e, 0x4b, 0x1b, 0x9b,
    0x4f, 0xe7, 0xf0, 0xee, 0xad, 0x3a, 0xb5, 0x59, 0x04, 0xea, 0x40, 0x55, 0x25, 0x51, 0xe5, 0x7a,
    0x89, 0x38, 0x68, 0x52, 0x7b, 0xfc, 0x27, 0xae, 0xd7, 0xbd, 0xfa, 0x07, 0xf4, 0xcc, 0x8e, 0x5f,
    0xef, 0x35, 0x9c, 0x84, 0x2b, 0x15, 0xd5, 0x77, 0x34, 0x49, 0xb6, 0x12, 0x0a, 0x7f, 0x71, 0x88,
    0xfd, 0x9d, 0x18, 0x41, 0x7d, 0x93, 0xd8, 0x58, 0x2c, 0xce, 0xfe, 0x24, 0xaf, 0xde, 0xb8, 0x36,
    0xc8, 0xa1, 0x80, 0xa6, 0x99, 0x98, 0xa8, 0x2f, 0x0e, 0x81, 0x65, 0x73, 0xe4, 0xc2, 0xa2, 0x8a,
    0xd4, 0xe1, 0x11, 0xd0, 0x08, 0x8b, 0x2a, 0xf2, 0xed, 0x9a, 0x64, 0x3f, 0xc1, 0x6c, 0xf9, 0xec,
};

constexpr std::array<std::uint8_t, 256> MakeEncode() {
  std::array<std::uint8_t, 256> enc{};
  for (int i = 0; i < 256; ++i) enc[kDecode[i]] = static_cast<std::uint8_t>(i);
  return enc;
}
constexpr std::array<std::uint8_t, 256> kEncode = MakeEncode();

}  // namespace

namespace {

std::uint32_t CrcTable(const std::uint8_t* p, std::size_t n, std::uint32_t crc) {
  const auto& t = kCrcTables;
  while (n >= 8) {
    std::uint32_t lo = crc ^ (p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24);
    std::uint32_t hi = p[4] | p[5] << 8 | p[6] << 16 | static_cast<std::uint32_t>(p[7]) << 24;
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

#ifdef WHARFLINE_X86_SIMD
__attribute__((target("pclmul,sse4.1"))) inline __m128i Load(const std::uint8_t* q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// x * k (high halves) + x * k (low halves) + next: one lane moved forward by k's distance.
__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)), next);
}

// Carry-less multiplication folds 64 bytes per step: four 128-bit lanes are each multiplied
// by x^(512+32) and x^(512-32) modulo the polynomial and added to the next 64 bytes; at the
// end the lanes are folded into one and reduced to 32 bits (Barrett). The constants are those
// powers of x for the reflected polynomial 0xEDB88320. n must be a multiple of 16, at least 64.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t CrcFold(const std::uint8_t* p,
                                                               std::size_t n,
                                                               std::uint32_t crc) {
  alignas(16) static constexpr std::uint64_t kFold4[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static constexpr std::uint64_t kFold1[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static constexpr std::uint64_t kFold64[] = {0x0163cd6124, 0};
  alignas(16) static constexpr std::uint64_t kBarrett[] = {0x01db710641, 0x01f7011641};
  __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = Load(p + 16);
  __m128i x3 = Load(p + 32);
  __m128i x4 = Load(p + 48);
  p += 64;
  n -= 64;
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold4));
  while (n >= 64) {
    x1 = Fold(x1, k, Load(p));
    x2 = Fold(x2, k, Load(p + 16));
    x3 = Fold(x3, k, Load(p + 32));
    x4 = Fold(x4, k, Load(p + 48));
    p += 64;
    n -= 64;
  }
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold1));
  x1 = Fold(x1, k, x2);
  x1 = Fold(x1, k, x3);
  x1 = Fold(x1, k, x4);
  while (n >= 16) {
    x1 = Fold(x1, k, Load(p));
    p += 16;
    n -= 16;
  }
  // 128 bits to 64.
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x00), x2);
  // Barrett reduction to 32 bits.
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low32), k, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

// The permutation as four 64-byte tables: two two-table lookups pick the entry from the low
// seven bits of each byte, and its top bit chooses between them. 64 bytes per step.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void PermuteWide(std::uint8_t* p,
                                                                        std::size_t n,
                                                                        const std::uint8_t* table) {
  const __m512i t0 = _mm512_loadu_si512(table);
  const __m512i t1 = _mm512_loadu_si512(table + 64);
  const __m512i t2 = _mm512_loadu_si512(table + 128);
  const __m512i t3 = _mm512_loadu_si512(table + 192);
  while (n >= 64) {
    const __m512i in = _mm512_loadu_si512(p);
    const __m512i low = _mm512_permutex2var_epi8(t0, in, t1);
    const __m512i high = _mm512_permutex2var_epi8(t2, in, t3);
    _mm512_storeu_si512(p, _mm512_mask_blend_epi8(_mm512_movepi8_mask(in), low, high));
    p += 64;
    n -= 64;
  }
  for (; n > 0; --n, ++p) *p = table[*p];
}

const bool kHaveClmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
const bool kHaveVbmi = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                       __builtin_cpu_supports("avx512vbmi");
#endif

void Permute(std::span<std::uint8_t> data, const std::array<std::uint8_t, 256>& table) {
#ifdef WHARFLINE_X86_SIMD
  if (kHaveVbmi && data.size() >= 64) {
    PermuteWide(data.data(), data.size(), table.data());
    return;
  }
#endif
  for (auto& b : data) b = table[b];
}

}  // namespace

std::uint32_t Crc(std::span<const std::uint8_t> data, std::uint32_t crc) {
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
#ifdef WHARFLINE_X86_SIMD
  if (kHaveClmul && n >= 64) {
    const std::size_t folded = n & ~std::size_t{15};
    crc = CrcFold(p, folded, crc);
    p += folded;
    n -= folded;
  }
#endif
  return CrcTable(p, n, crc);
}

std::uint32_t CrcPortable(std::span<const std::uint8_t> data, std::uint32_t crc) {
  return CrcTable(data.data(), data.size(), crc);
}

void PermuteEncode(std::span<std::uint8_t> data) { Permute(data, kEncode); }
void PermuteDecode(std::span<std::uint8_t> data) { Permute(data, kDecode); }
const std::uint8_t* PermuteEncodeTable() { return kEncode.data(); }
const std::uint8_t* PermuteDecodeTable() { return kDecode.data(); }

}  // namespace pst
