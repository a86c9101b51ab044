// FileList: the list of message files that the next run imports, kept as the rows of the grid
// (one full path per row, in the order added, duplicates kept). The empty list is one row with
// an empty text; the grid never has zero rows. Window thread only.
#pragma once

#include <QString>
#include <functional>

#include "base/status.h"

namespace filelist {

class FileGrid;

class FileList {
 public:
  // grid must outlive the list; set_count_caption receives the count label's new caption.
  FileList(FileGrid& grid, std::function<void(const QString&)> set_count_caption);
  FileList(const FileList&) = delete;
  FileList& operator=(const FileList&) = delete;

  // The load-time state: column 0 is 50000 twips wide.
  void InitFileList();
  // Appends one entry (any text, kept unchanged) as the last row and makes it the current cell.
  // A grid failure is returned as it is; rows added earlier stay.
  wharfline::Status AddFileToList(QString entry);
  // Back to the empty list; the column width stays.
  void ClearFileList();
  // True when cell (0, 0) holds text. Makes (0, 0) the current cell, as reading it always did.
  bool HoldsEntries();

 private:
  FileGrid& grid_;
  std::function<void(const QString&)> set_count_caption_;
};

// The texts the clear command shows.
inline constexpr char kClearQuestion[] = "Do you want to clear all the files in the list\r\n Proceed?";

}  // namespace filelist
