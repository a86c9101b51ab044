// Small readers that turn a KeyedList into plain lists for comparison in tests.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "filelist/KeyedList.h"

namespace wharfline_test {

inline QStringList Texts(const filelist::KeyedList& list) {
  QStringList out;
  for (const auto& entry : list) out << entry.Text();
  return out;
}

inline QStringList Keys(const filelist::KeyedList& list) {
  QStringList out;
  for (const auto& entry : list) out << entry.key;
  return out;
}

inline std::vector<int> Integers(const filelist::KeyedList& list) {
  std::vector<int> out;
  for (const auto& entry : list) out.push_back(entry.Integer());
  return out;
}

}  // namespace wharfline_test
