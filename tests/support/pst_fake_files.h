// Test doubles for the store's file layer: a disk kept in memory that knows what a power cut
// would leave, and a wrapper that counts every call through the layer and fails one of them,
// fills the disk from one of them on, or cuts the power after one of them.
// Single-threaded, like the writer.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pst/file.h"

namespace pst::testing {

using Image = std::map<std::string, std::vector<std::uint8_t>>;  // name -> bytes

// Names point to files; a file keeps its bytes as written and its bytes as of its last sync.
// Names change at once (as a journalling file system orders them), contents only at a sync.
class MemFileEnv final : public FileEnv {
 public:
  struct Inode {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> durable;
    // The last write since the last sync, which may reach the disk before earlier ones: its
    // bytes are still those of `bytes` there, as nothing was written after it.
    std::uint64_t last_offset = 0;
    std::uint64_t last_size = 0;
  };

  Result<std::unique_ptr<WritableFile>> CreateExclusive(const std::string& path) override;
  Status RenameNoReplace(const std::string& from, const std::string& to) override;
  Status Remove(const std::string& path) override;
  Status SyncFolder(const std::string&) override { return Status::OK(); }

  // The bytes of a file, or nullptr when there is none.
  const std::vector<std::uint8_t>* Contents(const std::string& path) const;
  void Put(const std::string& path, std::vector<std::uint8_t> bytes);
  // Every name with what the file holds now (what a killed process leaves) or with what it
  // held at its last sync (what a power cut leaves).
  Image Now() const;
  Image Durable() const;
  // What a power cut leaves when, of the writes since the last sync, only the last one had
  // reached the disk: writes are not ordered until a sync orders them.
  Image DurableAndLastWrite() const;

 private:
  std::map<std::string, std::shared_ptr<Inode>> names_;
};

// Wraps another env and counts every call made through it or the files it opens (1-based).
class FaultFileEnv final : public FileEnv {
 public:
  enum class Mode {
    kNone,
    kFailOnce,  // call `at` fails with `error`; a failing write first writes half its bytes
    kDiskFull,  // from call `at` on, every write that would make a file longer fails with
                // ENOSPC after writing what fits; other calls go through
    // For these three, every call after call `at` fails: nothing more reaches the disk.
    kPowerCut,  // the disk as it would be after losing power just after call `at`
    kPowerCutReordered,  // the same, but the last write since each file's sync got through
    kKill,      // the disk as it would be after the process died just after call `at`
  };
  struct Plan {
    Mode mode = Mode::kNone;
    std::uint64_t at = 0;
    int error = EIO;
  };
  FaultFileEnv(MemFileEnv& base, Plan plan) : base_(base), plan_(plan) {}

  Result<std::unique_ptr<WritableFile>> CreateExclusive(const std::string& path) override;
  Status RenameNoReplace(const std::string& from, const std::string& to) override;
  Status Remove(const std::string& path) override;
  Status SyncFolder(const std::string& folder) override;

  std::uint64_t calls() const { return calls_; }
  std::uint64_t faults() const { return faults_; }
  // The kind of the call that failed last ("" while none did).
  const std::string& failed_kind() const { return failed_kind_; }
  // Counts of each kind of call ("write", "sync", "create", ...).
  const std::map<std::string, std::uint64_t>& kinds() const { return kinds_; }
  // For kPowerCut and kKill: the disk at that moment (empty until it came).
  bool cut() const { return cut_; }
  const Image& image() const { return image_; }

 private:
  friend class FaultFile;
  // Counts a call; returns the injected failure for it, or OK.
  Status Enter(const char* kind, const std::string& path);
  void After();  // takes the picture once call `at` has been made

  MemFileEnv& base_;
  Plan plan_;
  std::uint64_t calls_ = 0, faults_ = 0;
  std::map<std::string, std::uint64_t> kinds_;
  std::string failed_kind_;
  bool cut_ = false;
  Image image_;
};

}  // namespace pst::testing
