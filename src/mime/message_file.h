// Reading a message file whole, for the importer: one open, one status query and (for a
// regular file) one read, into a buffer that is not cleared first. Only ever reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "base/result.h"

namespace mime {

// A file larger than this is not a message (and would not fit a store's limits).
inline constexpr std::uint64_t kMaxMessageFileBytes = std::uint64_t{1} << 31;
// A file of at least this size that is not in memory is read straight from the disk into the
// buffer, where the system allows it, instead of through the system's cache: that copies
// nothing and fills no cache pages that are never read again. Reading ahead with the system's
// cache is for smaller files.
inline constexpr std::uint64_t kDirectReadBytes = std::uint64_t{4} << 20;

class MessageFileBytes {
 public:
  std::string_view view() const { return {data_.get(), size_}; }
  std::span<const std::byte> bytes() const { return std::as_bytes(std::span(data_.get(), size_)); }
  // The file's modification time (seconds since 1970 UTC), when the system gave one.
  std::optional<std::int64_t> mtime;
  // The buffer starts and ends on a page boundary, as reading past the system's cache needs.
  static constexpr std::size_t kAlign = 4096;

 private:
  friend wharfline::Result<MessageFileBytes> ReadMessageFileBytes(const std::filesystem::path&);
  void Grow(std::size_t capacity);
  char* end() { return data_.get() + size_; }
  std::size_t room() const { return capacity_ - size_; }

  struct Free {
    void operator()(char* p) const { ::operator delete[](p, std::align_val_t{kAlign}); }
  };
  std::unique_ptr<char[], Free> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Fails (IOError naming the path) when the file cannot be opened or read, is anything but a
// regular file (a folder, a named pipe, a device: refused at once, without waiting or reading),
// or is larger than kMaxMessageFileBytes (refused before reading, and while reading should it
// grow).
wharfline::Result<MessageFileBytes> ReadMessageFileBytes(const std::filesystem::path& path);

// Whether the start of an open file is in memory, so that reading it need not wait for the
// disk. Where the system cannot tell, the file counts as on disk.
bool StartsInMemory(int fd);

// A look at a message file without reading it: its size and first bytes.
struct MessageFileProbe {
  std::uint64_t size = 0;
  std::array<char, 24> head{};
  std::size_t head_size = 0;
  std::string_view Head() const { return {head.data(), head_size}; }
};
// Fails as ReadMessageFileBytes does.
wharfline::Result<MessageFileProbe> ProbeMessageFile(const std::filesystem::path& path);

}  // namespace mime
