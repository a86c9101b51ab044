// pathLogger: the folder walker. Given one folder it visits that folder and every folder below
// it, breadth-first, and records every file the file system lists there into KeyedLists (full
// paths always; bare names and folder pointers on request). It filters nothing and shows
// nothing. One walker serves one walk; lists are shared with whoever reads them, so a list read
// before Terminate stays valid after it. List positions count from 1. One thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "base/status.h"
#include "filelist/KeyedList.h"
#include "filelist/file_system.h"

namespace filelist {

class pathLogger final {
 public:
  // file_system is the accessor PathLogInit takes into use; it must outlive the walker.
  explicit pathLogger(FileSystem& file_system) : file_system_source_(file_system) {}
  pathLogger(const pathLogger&) = delete;
  pathLogger& operator=(const pathLogger&) = delete;

  // Takes the accessor into use, sets fullFileNamesOnly to true and drops the four lists (each
  // is created empty again on its next use). Count keeps its value.
  void PathLogInit();

  // Walks the folder at path. A path that names no existing folder records nothing and leaves
  // Count as it was. Otherwise:
  // - pathNames gets path with a trailing separator (key "K0"), then every sub-folder found, in
  //   breadth-first order, as its parent's entry + name + separator (key "K" + its position);
  // - fullFileNames gets, for file k, its folder's entry + its name (key "K" + k); with
  //   fullFileNamesOnly false, fileNames gets the bare name and pathPointers the position of
  //   its folder in pathNames under the same key;
  // - Count becomes the number of files + 1.
  // A folder's sub-folders are queued before its files are recorded; fullFileNamesOnly is read
  // afresh for every folder. The separator written is "\" for a drive-form path and "/"
  // otherwise. A folder reached again through a link (same device and inode) is not queued
  // again, so loops through links end.
  // A folder that cannot be opened or listed (no access, vanished) is passed over, with what
  // is below it, and noted in SkippedFolders(); the walk goes on with the next folder.
  // Failures, each leaving recorded items in place: a counter that would pass the largest
  // 32-bit value (overflow); a key already in a list, which happens when LogPath runs twice
  // without PathLogInit (KeyedList's duplicate-key error); no PathLogInit at all.
  wharfline::Status LogPath(const QString& path);

  // The folders the last walk passed over, each as the accessor's failure (naming the folder
  // and the system's reason), in the order met. Emptied by PathLogInit.
  const std::vector<wharfline::Status>& SkippedFolders() const { return skipped_; }

  // The number of files recorded + 1 after a walk; 0 on a new walker that found no folder.
  std::int32_t Count() const { return fileCounter; }

  // Drops the accessor and the walker's references to the four lists. Count and
  // fullFileNamesOnly keep their values; a later property read yields a new, empty list.
  void Terminate();

  // Where the full file names go instead of fullFileNames while fullFileNamesOnly is true: each
  // file as its folder's entry and its name, in the same order. A list of a million files
  // costs far more in a keyed list than its text does; a caller that only reads the names
  // once keeps them its own way. A failing sink ends the walk with its failure.
  using FileSink = std::function<wharfline::Status(const QString& folder, const QString& name)>;
  void SetFileSink(FileSink sink) { file_sink_ = std::move(sink); }

  void fullFileNamesOnly(bool value) { full_file_names_only_ = value; }
  bool fullFileNamesOnly() const { return full_file_names_only_; }

  // Each creates its list empty when absent and returns the shared list.
  std::shared_ptr<KeyedList> fileNames();
  std::shared_ptr<KeyedList> pathNames();
  std::shared_ptr<KeyedList> pathPointers();
  std::shared_ptr<KeyedList> fullFileNames();

  // Test hook: the largest value the 32-bit counters may reach (normally INT32_MAX), so that
  // the overflow path can be driven with a small tree. REQUIRES: limit >= 1.
  void SetCounterLimitForTesting(std::int32_t limit) { counter_limit_ = limit; }

 private:
  // Ensures the path ends in the separator of its form: "\" for a drive-form path, "/" for a
  // POSIX one. Its name is the one this walker has always used for the step, from the days it
  // only met drive-form paths.
  static QString EnsureTrailingBackslash(const QString& p);
  // ++counter, or an overflow failure naming what overflowed.
  wharfline::Status Increase(std::int32_t& counter, const char* name) const;

  FileSystem& file_system_source_;
  FileSystem* fileSystem = nullptr;
  std::int32_t fileCounter = 0;
  std::shared_ptr<KeyedList> file_names_;
  std::shared_ptr<KeyedList> path_pointers_;
  std::shared_ptr<KeyedList> path_names_;
  std::shared_ptr<KeyedList> full_file_names_;
  bool full_file_names_only_ = false;
  FileSink file_sink_;
  std::vector<wharfline::Status> skipped_;
  std::int32_t counter_limit_ = std::numeric_limits<std::int32_t>::max();
};

}  // namespace filelist
