// Status: the outcome of an operation that can fail, as a value (OK costs one null pointer).
// A failure carries a code, a numeric error number in the style of the run-time errors the
// user sees as "number:description", and a message made of a context and a detail.
// Plain standard C++, shared by every layer; values are immutable and safe to copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace wharfline {

class [[nodiscard]] Status {
 public:
  enum class Code : std::uint8_t {
    kOk = 0,
    kIOError,
    kOutOfRange,
    kOverflow,
    kInvalidArgument,
    kNotFound,
    kAlreadyExists,
    kComponentFailed,
  };

  // Error numbers shown to the user for each code unless a failure names its own.
  static constexpr std::int32_t kNumberIOError = 57;          // "Device I/O error"
  static constexpr std::int32_t kNumberOutOfRange = 9;        // "Subscript out of range"
  static constexpr std::int32_t kNumberOverflow = 6;          // "Overflow"
  static constexpr std::int32_t kNumberInvalidArgument = 5;   // "Invalid procedure call"
  static constexpr std::int32_t kNumberNotFound = 53;         // "File not found"
  static constexpr std::int32_t kNumberAlreadyExists = 58;    // "File already exists"
  static constexpr std::int32_t kNumberComponentFailed = 440; // "Automation error"

  Status() noexcept = default;
  Status(const Status& other) : rep_(other.rep_ ? std::make_unique<Rep>(*other.rep_) : nullptr) {}
  Status& operator=(const Status& other) {
    if (this != &other) rep_ = other.rep_ ? std::make_unique<Rep>(*other.rep_) : nullptr;
    return *this;
  }
  Status(Status&&) noexcept = default;
  Status& operator=(Status&&) noexcept = default;

  static Status OK() { return Status(); }
  static Status IOError(std::string_view context, std::string_view detail = {}) {
    return Status(Code::kIOError, kNumberIOError, context, detail);
  }
  static Status OutOfRange(std::string_view context, std::string_view detail = {}) {
    return Status(Code::kOutOfRange, kNumberOutOfRange, context, detail);
  }
  static Status Overflow(std::string_view context, std::string_view detail = {}) {
    return Status(Code::kOverflow, kNumberOverflow, context, detail);
  }
  static Status InvalidArgument(std::string_view context, std::string_view detail = {}) {
    return Status(Code::kInvalidArgument, kNumberInvalidArgument, context, detail);
  }
  static Status NotFound(std::string_view context, std::string_view detail = {}) {
    return Status(Code::kNotFound, kNumberNotFound, context, detail);
  }
  static Status AlreadyExists(std::string_view context, std::string_view detail = {}) {
    return Status(Code::kAlreadyExists, kNumberAlreadyExists, context, detail);
  }
  // A failure with an error number of its own (a control's or a dialog's error code).
  static Status WithNumber(Code code, std::int32_t number, std::string_view description) {
    return Status(code, number, description, {});
  }

  bool ok() const noexcept { return rep_ == nullptr; }
  Code code() const noexcept { return rep_ ? rep_->code : Code::kOk; }
  bool IsIOError() const noexcept { return code() == Code::kIOError; }
  bool IsOutOfRange() const noexcept { return code() == Code::kOutOfRange; }
  bool IsOverflow() const noexcept { return code() == Code::kOverflow; }
  bool IsInvalidArgument() const noexcept { return code() == Code::kInvalidArgument; }
  bool IsNotFound() const noexcept { return code() == Code::kNotFound; }
  bool IsAlreadyExists() const noexcept { return code() == Code::kAlreadyExists; }

  // 0 for OK.
  std::int32_t number() const noexcept { return rep_ ? rep_->number : 0; }
  // "context: detail", or "context" when there is no detail; empty for OK.
  const std::string& message() const noexcept {
    static const std::string kEmpty;
    return rep_ ? rep_->message : kEmpty;
  }
  // The detail alone ("No space left on device"), or the message when there is none.
  std::string detail() const {
    if (!rep_) return {};
    return rep_->detail_at == 0 ? rep_->message : rep_->message.substr(rep_->detail_at);
  }
  // "OK", or the message prefixed by the code's name ("IO error: ...").
  std::string ToString() const;

 private:
  struct Rep {
    Code code;
    std::int32_t number;
    std::string message;
    std::size_t detail_at = 0;  // where the detail starts in message; 0 when there is none
  };

  Status(Code code, std::int32_t number, std::string_view context, std::string_view detail)
      : rep_(std::make_unique<Rep>(Rep{code, number, std::string(context)})) {
    if (!detail.empty()) {
      rep_->message += ": ";
      rep_->detail_at = rep_->message.size();
      rep_->message += detail;
    }
  }

  std::unique_ptr<Rep> rep_;
};

inline std::string Status::ToString() const {
  if (ok()) return "OK";
  const char* name = "";
  switch (rep_->code) {
    case Code::kOk: name = "OK"; break;
    case Code::kIOError: name = "IO error"; break;
    case Code::kOutOfRange: name = "Out of range"; break;
    case Code::kOverflow: name = "Overflow"; break;
    case Code::kInvalidArgument: name = "Invalid argument"; break;
    case Code::kNotFound: name = "Not found"; break;
    case Code::kAlreadyExists: name = "Already exists"; break;
    case Code::kComponentFailed: name = "Component failed"; break;
  }
  return std::string(name) + ": " + rep_->message;
}

}  // namespace wharfline
