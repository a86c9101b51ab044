#include "filelist/file_list.h"

#include <cassert>
#include <utility>

#include "filelist/file_grid.h"

namespace filelist {

namespace {

constexpr std::int32_t kStartColumnTwips = 50000;
constexpr std::int32_t kFilledColumnTwips = 10000;
const QString kFilesSuffix = QStringLiteral(" files");
const QString kNoFiles = QStringLiteral("0 files");

// For grid calls that cannot fail on the cells this list always has (row 0, column 0).
void MustSucceed(const wharfline::Status& status) {
  assert(status.ok());
  (void)status;
}

}  // namespace

using wharfline::Status;

FileList::FileList(FileGrid& grid, std::function<void(const QString&)> set_count_caption)
    : grid_(grid), set_count_caption_(std::move(set_count_caption)) {}

void FileList::InitFileList() {
  MustSucceed(grid_.SetColWidth(0, kStartColumnTwips));
  set_count_caption_(kNoFiles);
}

Status FileList::AddFileToList(QString entry) {
  bool reuse_row0 = false;
  if (grid_.Rows() == 1) {
    if (Status s = grid_.SetRow(0); !s.ok()) return s;
    if (Status s = grid_.SetCol(0); !s.ok()) return s;
    if (grid_.Text().isEmpty()) {
      // Filling the empty list: one column, no header row, and the narrower column.
      if (Status s = grid_.SetRows(1); !s.ok()) return s;
      if (Status s = grid_.SetCols(1); !s.ok()) return s;
      if (Status s = grid_.SetFixedRows(0); !s.ok()) return s;
      if (Status s = grid_.SetColWidth(0, kFilledColumnTwips); !s.ok()) return s;
      reuse_row0 = true;
    }
  }
  if (!reuse_row0) {
    if (grid_.Rows() == INT32_MAX) return Status::Overflow("Overflow");
    if (Status s = grid_.SetRows(grid_.Rows() + 1); !s.ok()) return s;
  }
  if (Status s = grid_.SetRow(grid_.Rows() - 1); !s.ok()) return s;
  if (Status s = grid_.SetCol(0); !s.ok()) return s;
  grid_.SetText(entry);
  set_count_caption_(QString::number(grid_.Rows()) + kFilesSuffix);
  return Status::OK();
}

void FileList::ClearFileList() {
  MustSucceed(grid_.SetRows(1));
  grid_.Clear();
  set_count_caption_(kNoFiles);
}

bool FileList::HoldsEntries() {
  MustSucceed(grid_.SetRow(0));
  MustSucceed(grid_.SetCol(0));
  return !grid_.Text().isEmpty();
}

}  // namespace filelist
