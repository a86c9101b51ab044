// FileGrid: the table behind grdFiles1. A model with the operations of the grid control the
// file list was designed around: row count, column count, fixed rows, column widths in twips,
// a current cell, cell text read and written through the current cell, and clearing every text.
// Rows and columns count from 0. The view (shell/) follows the current cell and the column
// widths through the signals. Window thread only.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <vector>

#include "base/status.h"

namespace filelist {

class FileGrid final : public QAbstractTableModel {
  Q_OBJECT

 public:
  // The grid's own error numbers, as the control raised them.
  static constexpr std::int32_t kErrInvalidRow = 30009;
  static constexpr std::int32_t kErrInvalidCol = 30010;
  static constexpr std::int32_t kErrOutOfMemory = 7;

  // A new grid has one row, one column, no fixed rows and an empty cell (0, 0).
  explicit FileGrid(QObject* parent = nullptr);

  std::int32_t Rows() const { return rows_; }
  // Grows or shrinks the table; new rows are empty. Fails for fewer than one row, for more than
  // the row limit, and when memory runs out; the table is unchanged then.
  wharfline::Status SetRows(std::int32_t rows);
  std::int32_t Cols() const { return static_cast<std::int32_t>(columns_.size()); }
  wharfline::Status SetCols(std::int32_t cols);
  std::int32_t FixedRows() const { return fixed_rows_; }
  wharfline::Status SetFixedRows(std::int32_t fixed_rows);

  // Column widths are kept in twips, whatever the screen.
  std::int32_t ColWidth(std::int32_t col) const;
  wharfline::Status SetColWidth(std::int32_t col, std::int32_t twips);

  std::int32_t Row() const { return row_; }
  wharfline::Status SetRow(std::int32_t row);
  std::int32_t Col() const { return col_; }
  wharfline::Status SetCol(std::int32_t col);

  // The text of the current cell.
  QString Text() const;
  void SetText(const QString& text);
  // The text of any cell without making it current; empty outside the table.
  QString TextAt(std::int32_t row, std::int32_t col) const;

  // Empties every cell; the row and column counts stay.
  void Clear();

  // The most rows the grid accepts (the whole 32-bit range unless lowered).
  void SetRowLimit(std::int32_t limit) { row_limit_ = limit; }

  // QAbstractItemModel
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 signals:
  void currentCellChanged(int row, int col);
  void columnWidthChanged(int col, int twips);

 private:
  std::int32_t rows_ = 1;
  std::int32_t fixed_rows_ = 0;
  std::int32_t row_ = 0;
  std::int32_t col_ = 0;
  std::int32_t row_limit_ = INT32_MAX;
  std::vector<std::vector<QString>> columns_;  // columns_[col][row]
  std::vector<std::int32_t> col_widths_;       // twips
};

}  // namespace filelist
