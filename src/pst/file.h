// The file layer under the PST writer: every operation the writer makes on the disk (create,
// write, sync, truncate, close, rename, remove, folder sync) goes through FileEnv and
// WritableFile, so tests can swap in files kept in memory, files that fail on command, or a
// disk that loses power. Implementations need not be thread-safe; one writer uses one file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/result.h"
#include "base/status.h"

namespace pst {

using wharfline::Result;
using wharfline::Status;

// A file open for writing at any offset. Writing past the end extends the file (the gap
// reads as zeros). Failures are IOError with the system's reason ("No space left on device").
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  WritableFile() = default;
  WritableFile(const WritableFile&) = delete;
  WritableFile& operator=(const WritableFile&) = delete;

  // Writes all of `data` at `offset`. A write that stops short (disk full) fails; the bytes
  // before the failure may or may not be in the file.
  virtual Status WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) = 0;
  // Makes the data written so far durable: after a power cut the file holds at least it.
  virtual Status Sync() = 0;
  // Cuts the file to `size` bytes.
  virtual Status Truncate(std::uint64_t size) = 0;
  // A hint, after the bytes were written: [offset, offset + size) will never be written
  // again, so once on disk they need not stay in the system's cache (where the pages of a
  // large store would push out everything else). Nothing may depend on it.
  virtual void WrittenForGood(std::uint64_t offset, std::uint64_t size) {
    (void)offset;
    (void)size;
  }
  // REQUIRES: called at most once; no other call after it.
  virtual Status Close() = 0;
};

class FileEnv {
 public:
  virtual ~FileEnv() = default;
  FileEnv() = default;
  FileEnv(const FileEnv&) = delete;
  FileEnv& operator=(const FileEnv&) = delete;

  // Creates a new, empty file. Fails with AlreadyExists if anything is at `path`: an
  // existing file is never truncated or reopened.
  virtual Result<std::unique_ptr<WritableFile>> CreateExclusive(const std::string& path) = 0;
  // Gives the file at `from` the name `to` in one step, never replacing anything: fails with
  // AlreadyExists if anything is at `to`. Files open on `from` stay open on the same file.
  virtual Status RenameNoReplace(const std::string& from, const std::string& to) = 0;
  // Removes the name `path`.
  virtual Status Remove(const std::string& path) = 0;
  // Makes the names created, renamed and removed in `folder` durable.
  virtual Status SyncFolder(const std::string& folder) = 0;
};

// The real file system (POSIX: open with O_CREAT|O_EXCL, pwrite, fdatasync, renameat2 with
// RENAME_NOREPLACE or else link and unlink).
FileEnv& DefaultFileEnv();

// The folder part of `path` ("." when it has none), and the name after it.
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);

}  // namespace pst
