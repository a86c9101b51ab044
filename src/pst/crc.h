// The two byte transforms of the file format: the checksum over headers, pages and blocks,
// and the permutation encoding applied to data blocks. Pure functions, thread-safe.
#pragma once

#include <cstdint>
#include <span>

namespace pst {

// CRC-32 with the reflected polynomial 0xEDB88320, initial value 0 and no final XOR.
// Chain calls by passing the previous result as `crc`.
// Uses carry-less multiplication where the processor has it.
std::uint32_t Crc(std::span<const std::uint8_t> data, std::uint32_t crc = 0);
// The same by table lookups only, which every fast path must agree with (for tests).
std::uint32_t CrcPortable(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

// Permutation encoding of data blocks, in place. Decode is the inverse of Encode.
void PermuteEncode(std::span<std::uint8_t> data);
void PermuteDecode(std::span<std::uint8_t> data);

// The 256-entry tables, for tests.
const std::uint8_t* PermuteEncodeTable();
const std::uint8_t* PermuteDecodeTable();

}  // namespace pst
