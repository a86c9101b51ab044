// The file list as the conversion engine reads it: a number of rows and the text of each. The
// window implements it over its grid grdFiles1 (reading a row makes it the grid's current cell,
// so the highlight follows the run), the command line over its argument list. Rows are indexed
// from 0. Window's thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "base/result.h"

namespace convert {

class RowSource {
 public:
  virtual ~RowSource() = default;
  // The number of rows as it is now; the list can change while a long command yields.
  virtual std::int32_t Rows() = 0;
  // The full text of row; fails with out-of-range when there is no such row.
  virtual wharfline::Result<QString> RowText(std::int32_t row) = 0;
  // Every row's text as it is now, for looking ahead; unlike RowText this moves nothing.
  // Sources whose RowText has no side effect can keep this default.
  virtual std::vector<QString> PeekRows() {
    std::vector<QString> texts;
    const std::int32_t n = Rows();
    texts.reserve(static_cast<std::size_t>(n > 0 ? n : 0));
    for (std::int32_t i = 0; i < n; ++i) {
      wharfline::Result<QString> text = RowText(i);
      texts.push_back(text ? *text : QString());
    }
    return texts;
  }
};

}  // namespace convert
