// The file list as the conversion engine reads it: a number of rows and the text of each. The
// window implements it over its grid grdFiles1 (reading a row makes it the grid's current cell,
// so the highlight follows the run), the command line over its argument list. Rows are indexed
// from 0. Window's thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "base/result.h"
#include "run/path_list.h"

namespace convert {

class RowSource {
 public:
  virtual ~RowSource() = default;
  // The number of rows as it is now; the list can change while a long command yields.
  virtual std::int32_t Rows() = 0;
  // The full text of row; fails with out-of-range when there is no such row.
  virtual wharfline::Result<QString> RowText(std::int32_t row) = 0;
  // Every row's text as it is now, for looking ahead; unlike RowText this moves nothing. The
  // list may be read on other threads, so it is a copy or never changes. Sources whose RowText
  // has no side effect can keep this default.
  virtual std::shared_ptr<const PathList> PeekRows() {
    auto texts = std::make_shared<PathList>();
    const std::int32_t n = Rows();
    texts->Reserve(static_cast<std::size_t>(n > 0 ? n : 0));
    for (std::int32_t i = 0; i < n; ++i) {
      wharfline::Result<QString> text = RowText(i);
      texts->Append(text ? QStringView(*text) : QStringView());
    }
    return texts;
  }
};

}  // namespace convert
