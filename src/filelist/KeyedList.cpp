#include "filelist/KeyedList.h"

#include <limits>
#include <utility>

namespace filelist {

wharfline::Status KeyedList::Add(const QString& key, Value value) {
  if (keys_.contains(key)) {
    return wharfline::Status::WithNumber(
        wharfline::Status::Code::kAlreadyExists, kNumberDuplicateKey,
        "This key is already associated with an element of this collection: " + key.toStdString());
  }
  if (entries_.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return wharfline::Status::Overflow("KeyedList", "more than 2147483647 items");
  }
  entries_.push_back(Entry{key, std::move(value)});
  keys_.insert(key);
  return wharfline::Status::OK();
}

wharfline::Status KeyedList::CheckPosition(std::int32_t position) const {
  if (position < 1 || position > Count()) {
    return wharfline::Status::OutOfRange(
        "KeyedList", "position " + std::to_string(position) + " of " + std::to_string(Count()));
  }
  return wharfline::Status::OK();
}

wharfline::Result<KeyedList::Value> KeyedList::Item(std::int32_t position) const {
  if (wharfline::Status s = CheckPosition(position); !s.ok()) return s;
  return entries_[static_cast<std::size_t>(position - 1)].value;
}

wharfline::Result<QString> KeyedList::Key(std::int32_t position) const {
  if (wharfline::Status s = CheckPosition(position); !s.ok()) return s;
  return entries_[static_cast<std::size_t>(position - 1)].key;
}

}  // namespace filelist
