// modMain: the text list routines the conversion engine builds its folder list with. Lists
// are indexed from 0 and changed in place; texts compare ordinally by UTF-16 code units, case
// distinguished (QString's operator<). Failures are values. Any thread, one list at a time.
#pragma once

#include <QStringList>
#include <cstdint>

#include "base/status.h"

namespace modMain {

// Sorts the entries lo to hi of list in place, ascending (quicksort on the middle entry, the
// middle index rounded half to even). lo > hi sorts nothing.
// Fails with out-of-range, changing nothing, when lo or hi is not an index of list.
wharfline::Status QuickSortStrings(QStringList& list, std::int32_t lo, std::int32_t hi);

// In a list whose equal entries stand next to each other: keeps the first of each run of equal
// entries, drops every empty entry, keeps the order and shrinks the list to what is kept. An
// empty entry between two equal ones keeps both.
// Fails with out-of-range for a list without entries, and for one in which no non-empty entry
// remains (the list is then left part-way).
wharfline::Status RemoveDuplicateStrings(QStringList& list);

}  // namespace modMain
