// Result<T>: a value, or the Status saying why there is none. Shaped like std::expected so
// it can become one: has_value(), value(), operator*, error().
#pragma once

#include <cassert>
#include <utility>
#include <variant>

#include "base/status.h"

namespace wharfline {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Status status) : v_(std::in_place_index<1>, std::move(status)) {  // NOLINT
    assert(!std::get<1>(v_).ok() && "a Result built from a Status must hold a failure");
  }

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  // REQUIRES: has_value().
  T& value() & { assert(has_value()); return std::get<0>(v_); }
  const T& value() const& { assert(has_value()); return std::get<0>(v_); }
  T&& value() && { assert(has_value()); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // OK when a value is held.
  Status status() const { return has_value() ? Status::OK() : std::get<1>(v_); }
  // REQUIRES: !has_value().
  const Status& error() const { assert(!has_value()); return std::get<1>(v_); }

 private:
  std::variant<T, Status> v_;
};

}  // namespace wharfline
