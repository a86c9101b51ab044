// Helpers shared by the conversion engine tests: readable QString output, a file list over a
// vector, and an event pump that counts yields and can run an action on the n-th one.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <ostream>
#include <vector>

#include "run/row_source.h"
#include "platform/platform.h"

inline void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << text.toStdString() << '"';
}

namespace convert_test {

class VectorRows final : public convert::RowSource {
 public:
  explicit VectorRows(QStringList rows) : rows_(std::move(rows)) {}
  std::int32_t Rows() override { return static_cast<std::int32_t>(rows_.size()); }
  wharfline::Result<QString> RowText(std::int32_t row) override {
    ++reads_;
    if (row < 0 || row >= rows_.size() || row == fail_row_) {
      return wharfline::Status::OutOfRange("grid", "no row " + std::to_string(row));
    }
    return rows_.at(row);
  }
  void FailRow(std::int32_t row) { fail_row_ = row; }
  void Append(const QString& row) { rows_ << row; }
  int reads() const { return reads_; }

 private:
  QStringList rows_;
  std::int32_t fail_row_ = -1;
  int reads_ = 0;
};

class CountingPump final : public platform::EventPump {
 public:
  void ProcessPendingEvents() override {
    ++count_;
    if (on_yield_) on_yield_(count_);
  }
  int count() const { return count_; }
  // Runs action(n) on every yield, n counting from 1.
  void OnYield(std::function<void(int)> action) { on_yield_ = std::move(action); }

 private:
  int count_ = 0;
  std::function<void(int)> on_yield_;
};

}  // namespace convert_test
