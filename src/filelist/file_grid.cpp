#include "filelist/file_grid.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace filelist {

namespace {

using wharfline::Status;

constexpr std::int32_t kDefaultColWidth = 960;  // twips, until someone sets a width

Status InvalidRow() {
  return Status::WithNumber(Status::Code::kOutOfRange, FileGrid::kErrInvalidRow,
                            "Invalid Row value");
}
Status InvalidCol() {
  return Status::WithNumber(Status::Code::kOutOfRange, FileGrid::kErrInvalidCol,
                            "Invalid Col value");
}
Status OutOfMemory() {
  return Status::WithNumber(Status::Code::kOutOfRange, FileGrid::kErrOutOfMemory,
                            "Out of memory");
}

}  // namespace

FileGrid::FileGrid(QObject* parent)
    : QAbstractTableModel(parent), columns_(1, std::vector<QString>(1)),
      col_widths_(1, kDefaultColWidth) {}

Status FileGrid::SetRows(std::int32_t rows) {
  if (rows < 1 || rows > row_limit_ || rows <= fixed_rows_) return InvalidRow();
  if (rows == rows_) return Status::OK();
  // Room is made before the model announces the change, so running out of memory leaves the
  // table as it was; capacity grows geometrically to keep one-row-at-a-time growth linear.
  try {
    for (auto& column : columns_) {
      const auto wanted = static_cast<std::size_t>(rows);
      if (column.capacity() < wanted) column.reserve(std::max(wanted, column.capacity() * 2));
    }
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  } catch (const std::length_error&) {
    return OutOfMemory();
  }
  if (rows > rows_) {
    beginInsertRows({}, rows_, rows - 1);
    for (auto& column : columns_) column.resize(static_cast<std::size_t>(rows));
    rows_ = rows;
    endInsertRows();
  } else {
    beginRemoveRows({}, rows, rows_ - 1);
    for (auto& column : columns_) column.resize(static_cast<std::size_t>(rows));
    rows_ = rows;
    endRemoveRows();
    if (row_ >= rows_) {
      row_ = rows_ - 1;
      emit currentCellChanged(row_, col_);
    }
  }
  return Status::OK();
}

Status FileGrid::SetCols(std::int32_t cols) {
  const auto old_cols = Cols();
  if (cols < 1 || cols > 5000) return InvalidCol();
  if (cols == old_cols) return Status::OK();
  if (cols > old_cols) {
    beginInsertColumns({}, old_cols, cols - 1);
    columns_.resize(static_cast<std::size_t>(cols),
                    std::vector<QString>(static_cast<std::size_t>(rows_)));
    col_widths_.resize(static_cast<std::size_t>(cols), kDefaultColWidth);
    endInsertColumns();
  } else {
    beginRemoveColumns({}, cols, old_cols - 1);
    columns_.resize(static_cast<std::size_t>(cols));
    col_widths_.resize(static_cast<std::size_t>(cols));
    endRemoveColumns();
    if (col_ >= cols) {
      col_ = cols - 1;
      emit currentCellChanged(row_, col_);
    }
  }
  return Status::OK();
}

Status FileGrid::SetFixedRows(std::int32_t fixed_rows) {
  if (fixed_rows < 0 || fixed_rows >= rows_) return InvalidRow();
  fixed_rows_ = fixed_rows;
  return Status::OK();
}

std::int32_t FileGrid::ColWidth(std::int32_t col) const {
  if (col < 0 || col >= Cols()) return 0;
  return col_widths_[static_cast<std::size_t>(col)];
}

Status FileGrid::SetColWidth(std::int32_t col, std::int32_t twips) {
  if (col < 0 || col >= Cols()) return InvalidCol();
  if (twips < 0) return Status::InvalidArgument("Invalid column width");
  col_widths_[static_cast<std::size_t>(col)] = twips;
  emit columnWidthChanged(col, twips);
  return Status::OK();
}

Status FileGrid::SetRow(std::int32_t row) {
  if (row < 0 || row >= rows_) return InvalidRow();
  if (row != row_) {
    row_ = row;
    emit currentCellChanged(row_, col_);
  }
  return Status::OK();
}

Status FileGrid::SetCol(std::int32_t col) {
  if (col < 0 || col >= Cols()) return InvalidCol();
  if (col != col_) {
    col_ = col;
    emit currentCellChanged(row_, col_);
  }
  return Status::OK();
}

QString FileGrid::Text() const {
  return columns_[static_cast<std::size_t>(col_)][static_cast<std::size_t>(row_)];
}

QString FileGrid::TextAt(std::int32_t row, std::int32_t col) const {
  if (row < 0 || row >= rows_ || col < 0 || col >= Cols()) return {};
  return columns_[static_cast<std::size_t>(col)][static_cast<std::size_t>(row)];
}

void FileGrid::SetText(const QString& text) {
  columns_[static_cast<std::size_t>(col_)][static_cast<std::size_t>(row_)] = text;
  const auto cell = index(row_, col_);
  emit dataChanged(cell, cell, {Qt::DisplayRole});
}

void FileGrid::Clear() {
  for (auto& column : columns_) {
    for (auto& text : column) text.clear();
  }
  if (rows_ > 0) emit dataChanged(index(0, 0), index(rows_ - 1, Cols() - 1), {Qt::DisplayRole});
}

int FileGrid::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int FileGrid::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : Cols();
}

QVariant FileGrid::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) return {};
  return columns_[static_cast<std::size_t>(index.column())][static_cast<std::size_t>(index.row())];
}

Qt::ItemFlags FileGrid::flags(const QModelIndex& index) const {
  return index.isValid() ? (Qt::ItemIsEnabled | Qt::ItemIsSelectable) : Qt::NoItemFlags;
}

}  // namespace filelist
