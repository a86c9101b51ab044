// SHA-256 through libcrypto, which uses the processor's SHA instructions where it has them
// (several times the speed of a portable one: the importer hashes every message body).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct evp_md_ctx_st;

namespace wharfline {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Add(const void* data, std::size_t size);
  // The digest of everything added. REQUIRES: called once, with no Add after it.
  std::array<std::uint8_t, 32> Digest();

 private:
  evp_md_ctx_st* ctx_;
};

}  // namespace wharfline
