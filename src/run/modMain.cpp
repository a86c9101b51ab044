#include "run/modMain.h"

#include <utility>

namespace modMain {

namespace {

// (lo + hi) / 2 rounded to the nearest whole number, halves to the even neighbour.
qsizetype MiddleIndex(qsizetype lo, qsizetype hi) {
  const qsizetype sum = lo + hi;
  qsizetype mid = sum / 2;  // sum >= 0, so this rounds down
  if (sum % 2 != 0 && mid % 2 != 0) ++mid;
  return mid;
}

void SortRange(QStringList& list, qsizetype lo, qsizetype hi) {
  // The two parts a pass leaves are disjoint, so sorting them in either order gives the same
  // list. Recursing into the smaller part and looping on the larger keeps the depth of the
  // recursion logarithmic however unlucky the pivots are.
  while (lo < hi) {
    qsizetype i = lo;
    qsizetype j = hi;
    const QString pivot = list.at(MiddleIndex(lo, hi));
    do {
      while (list.at(i) < pivot && i < hi) ++i;
      while (pivot < list.at(j) && j > lo) --j;
      if (i <= j) {
        list.swapItemsAt(i, j);
        ++i;
        --j;
      }
    } while (i <= j);

    const bool left = lo < j;
    const bool right = i < hi;
    if (left && right) {
      if (j - lo < hi - i) {
        SortRange(list, lo, j);
        lo = i;
      } else {
        SortRange(list, i, hi);
        hi = j;
      }
    } else if (left) {
      hi = j;
    } else if (right) {
      lo = i;
    } else {
      return;
    }
  }
}

}  // namespace

wharfline::Status QuickSortStrings(QStringList& list, std::int32_t lo, std::int32_t hi) {
  if (lo < 0 || lo >= list.size() || hi < 0 || hi >= list.size()) {
    return wharfline::Status::OutOfRange(
        "QuickSortStrings", "range " + std::to_string(lo) + " to " + std::to_string(hi) +
                                " outside a list of " + std::to_string(list.size()));
  }
  SortRange(list, lo, hi);
  return wharfline::Status::OK();
}

wharfline::Status RemoveDuplicateStrings(QStringList& list) {
  if (list.isEmpty()) return wharfline::Status::OutOfRange("RemoveDuplicateStrings", "no entries");
  const qsizetype last = list.size() - 1;

  // Marking: an entry equal to the one at j, further along the same run, becomes empty.
  qsizetype j = 0;
  qsizetype k = 1;
  while (j <= last) {
    if (j + k > last) break;
    if (!list.at(j).isEmpty()) {
      if (list.at(j + k) == list.at(j)) {
        list[j + k] = QString();
        ++k;
      } else {
        k = 1;
        ++j;
      }
    } else {
      ++j;
    }
  }

  // Packing.
  qsizetype kept = 0;
  for (qsizetype n = 0; n <= last; ++n) {
    if (list.at(n).isEmpty()) continue;
    if (n != kept) list[kept] = std::move(list[n]);
    ++kept;
  }
  if (kept == 0) {
    return wharfline::Status::OutOfRange("RemoveDuplicateStrings", "no non-empty entry");
  }
  list.resize(kept);
  return wharfline::Status::OK();
}

}  // namespace modMain
