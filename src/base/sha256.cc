#include "base/sha256.h"

#include <openssl/evp.h>

#include <new>

namespace wharfline {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx_);
    throw std::bad_alloc();
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

void Sha256::Add(const void* data, std::size_t size) {
  if (size > 0) EVP_DigestUpdate(ctx_, data, size);
}

std::array<std::uint8_t, 32> Sha256::Digest() {
  std::array<std::uint8_t, 32> out{};
  unsigned int n = 0;
  EVP_DigestFinal_ex(ctx_, out.data(), &n);
  return out;
}

}  // namespace wharfline
