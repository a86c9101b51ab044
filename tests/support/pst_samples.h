// Generated sample messages for the PST writer's tests and benchmarks, and a JSON manifest
// of what was written so the reader round-trip scripts can check it. Deterministic: the
// same layout gives the same message. Attachment bytes follow PatternBytes, which the
// round-trip scripts reproduce.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pst/message.h"

namespace pst::testing {

struct SampleLayout {
  int index = 0;            // makes subject, addresses and times distinct
  int recipients = 2;
  int attachments = 0;
  std::size_t attachment_size = 100;
  std::size_t body_size = 0;  // 0: a short body
  bool html = true;
  bool embedded = false;      // add an attached message with its own attachment
  bool unread = false;
  bool sourced = false;       // attachment bytes and recipients given through sources
};

std::string ToUtf8(std::u16string_view s);
// Byte i of the pattern is (seed + i * i) mod 256 over a 251-byte period.
pst::Bytes PatternBytes(std::uint32_t seed, std::size_t size);
pst::MessageContent MakeMessage(const SampleLayout& layout);

// A source of `bytes` that states `size`: reading past what it holds fails.
std::shared_ptr<const pst::ContentSource> MemorySource(pst::Bytes bytes, std::uint64_t size);
// A source of `bytes` that states their size.
inline std::shared_ptr<const pst::ContentSource> MemorySource(pst::Bytes bytes) {
  const std::uint64_t size = bytes.size();
  return MemorySource(std::move(bytes), size);
}
// The recipients of `m` moved into a source.
void MoveRecipientsToSource(pst::MessageContent& m);

// Collects the expected content of a store as JSON.
class Manifest {
 public:
  explicit Manifest(std::u16string display_name);
  void AddFolder(const std::vector<std::u16string>& path, std::uint32_t count);
  void AddMessage(const std::vector<std::u16string>& folder, const pst::MessageContent& m);
  std::string Json() const;

 private:
  std::string display_name_;
  std::vector<std::string> folders_;
  std::vector<std::string> messages_;
};

}  // namespace pst::testing
