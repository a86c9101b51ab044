// Test doubles for the PST writer's file layer: files kept in memory, and a wrapper that
// injects write failures, short writes (disk full) and sync failures on a countdown.
// Single-threaded, like the writer.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "convert/pst/file.h"

namespace pst::testing {

// Files live in a map from path to bytes; they survive the WritableFile that wrote them.
class MemFileEnv final : public FileEnv {
 public:
  Result<std::unique_ptr<WritableFile>> CreateExclusive(const std::string& path) override;
  // The bytes of a file, or nullptr when there is none.
  const std::vector<std::uint8_t>* Contents(const std::string& path) const;
  void Put(const std::string& path, std::vector<std::uint8_t> bytes);

 private:
  std::map<std::string, std::shared_ptr<std::vector<std::uint8_t>>> files_;
};

// Wraps another env. Counts WriteAt calls (1-based) and fails the n-th one, once or from
// then on; a failing write can first write half its bytes (a short write, as a full disk
// gives). Sync can fail too. Every call after the first failure is recorded, so a test can
// check that nothing was written after it.
class FaultFileEnv final : public FileEnv {
 public:
  struct Plan {
    std::uint64_t fail_write = 0;  // 0 = never
    bool forever = false;
    bool short_write = false;
    std::uint64_t fail_sync = 0;   // 0 = never; counts Sync calls
  };
  FaultFileEnv(FileEnv& base, Plan plan) : base_(base), plan_(plan) {}

  Result<std::unique_ptr<WritableFile>> CreateExclusive(const std::string& path) override;

  std::uint64_t writes() const { return writes_; }
  std::uint64_t faults() const { return faults_; }
  // Successful writes that came after the first fault.
  std::uint64_t writes_after_fault() const { return writes_after_fault_; }

 private:
  friend class FaultFile;
  FileEnv& base_;
  Plan plan_;
  std::uint64_t writes_ = 0, syncs_ = 0, faults_ = 0, writes_after_fault_ = 0;
};

}  // namespace pst::testing
