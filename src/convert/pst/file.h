// The small file layer under the PST writer: everything the writer does to the disk goes
// through FileEnv and WritableFile, so tests can swap in files kept in memory or files that
// fail on command. Implementations need not be thread-safe; one writer uses one file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "convert/result.h"
#include "convert/status.h"

namespace pst {

using wharfline::Result;
using wharfline::Status;

// A file open for writing at any offset. Writing past the end extends the file (the gap
// reads as zeros).
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  WritableFile() = default;
  WritableFile(const WritableFile&) = delete;
  WritableFile& operator=(const WritableFile&) = delete;

  // Writes all of `data` at `offset`. A short write (disk full) is an IOError.
  virtual Status WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) = 0;
  // Hands buffered data to the operating system.
  virtual Status Flush() = 0;
  // Makes written data durable.
  virtual Status Sync() = 0;
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
};

// The real file system (POSIX open with O_CREAT|O_EXCL, pwrite, fsync).
FileEnv& DefaultFileEnv();

}  // namespace pst
