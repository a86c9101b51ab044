// KeyedList: the ordered list the folder walker records its results in. Items are appended at
// the end, each with a text key that must be unique within the list; positions count from 1.
// A value is a text or a 32-bit signed integer. Lists are shared (std::shared_ptr) between the
// walker and whoever read them through its properties. Not thread-safe; one thread at a time.
#pragma once

#include <QSet>
#include <QString>
#include <cstdint>
#include <deque>
#include <variant>
#include <vector>

#include "base/result.h"
#include "base/status.h"

namespace filelist {

class KeyedList final {
 public:
  using Value = std::variant<QString, std::int32_t>;

  struct Entry {
    QString key;
    Value value;

    // REQUIRES: the value is of the kind asked for.
    const QString& Text() const { return std::get<QString>(value); }
    std::int32_t Integer() const { return std::get<std::int32_t>(value); }
  };

  // The error number a duplicate key is reported with, as the run-time error the user would see
  // for a collection that already holds the key.
  static constexpr std::int32_t kNumberDuplicateKey = 457;

  KeyedList() = default;
  KeyedList(const KeyedList&) = delete;
  KeyedList& operator=(const KeyedList&) = delete;

  // Appends value under key. Fails with kNumberDuplicateKey (code kAlreadyExists) when the list
  // already holds key, and with an overflow when the list already holds the largest count;
  // on failure the list is unchanged.
  wharfline::Status Add(const QString& key, Value value);

  // Number of items, 0 for an empty list.
  std::int32_t Count() const { return static_cast<std::int32_t>(entries_.size()); }

  // The item at position (1 to Count()); out of range otherwise.
  wharfline::Result<Value> Item(std::int32_t position) const;
  // The key of the item at position (1 to Count()); out of range otherwise.
  wharfline::Result<QString> Key(std::int32_t position) const;

  // Enumeration in the order of adding.
  std::deque<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::deque<Entry>::const_iterator end() const { return entries_.end(); }

 private:
  wharfline::Status CheckPosition(std::int32_t position) const;

  // A deque grows in fixed chunks: a list of a million files never holds twice its size
  // while it is copied to a larger array.
  std::deque<Entry> entries_;
  QSet<QString> keys_;
};

}  // namespace filelist
