// The store's file layer on the real file system, where the system's cache shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "pst/file.h"

#ifdef __linux__
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>
#endif

namespace pst {
namespace {

#ifdef __linux__
// The share of the file's pages in the system's cache.
double Resident(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const off_t size = ::lseek(fd, 0, SEEK_END);
  void* map = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return -1;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> in_core((static_cast<std::size_t>(size) + page - 1) / page);
  const int got = ::mincore(map, static_cast<std::size_t>(size), in_core.data());
  ::munmap(map, static_cast<std::size_t>(size));
  if (got != 0) return -1;
  std::size_t resident = 0;
  for (unsigned char c : in_core) resident += c & 1;
  return static_cast<double>(resident) / static_cast<double>(in_core.size());
}
#endif

// What the writer says it wrote for good leaves the cache once on disk, whether the last
// sync or the writing since put it there; what it did not say stays, as a store's maps and
// indexes are written again and would otherwise be read back from the disk first.
TEST(PosixFiles, BytesWrittenForGoodLeaveTheCacheOnceOnDisk) {
#ifndef __linux__
  GTEST_SKIP() << "the cache hint is given on Linux only";
#else
  std::string dir = (std::filesystem::temp_directory_path() / "wharfline-cache-XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  struct statfs fs {};
  ASSERT_EQ(::statfs(dir.c_str(), &fs), 0);
  if (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC) {
    std::filesystem::remove_all(dir);
    GTEST_SKIP() << dir << " is kept in memory: its pages never leave the cache";
  }
  const std::string told = dir + "/told", kept = dir + "/kept";
  {
    auto f = DefaultFileEnv().CreateExclusive(told);
    auto g = DefaultFileEnv().CreateExclusive(kept);
    ASSERT_TRUE(f.has_value() && g.has_value());
    const std::vector<std::uint8_t> chunk(1 << 20, 0x5A);
    for (std::uint64_t at = 0; at < (24u << 20); at += chunk.size()) {
      ASSERT_TRUE((*f)->WriteAt(at, chunk).ok());
      (*f)->WrittenForGood(at, chunk.size());
      ASSERT_TRUE((*g)->WriteAt(at, chunk).ok());
    }
    ASSERT_TRUE((*f)->Sync().ok());
    ASSERT_TRUE((*g)->Sync().ok());
    ASSERT_TRUE((*f)->Close().ok());
    ASSERT_TRUE((*g)->Close().ok());
  }
  const double told_resident = Resident(told), kept_resident = Resident(kept);
  std::filesystem::remove_all(dir);
  if (kept_resident < 0.9) GTEST_SKIP() << "this system keeps few written pages in its cache";
  EXPECT_LT(told_resident, 0.1);
#endif
}

}  // namespace
}  // namespace pst
