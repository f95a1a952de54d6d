#pragma once
// Errors from the operating system, carried as values across module boundaries.

#include <optional>
#include <string>
#include <utility>

namespace vellumark::platform {

struct OsError {
  int code = 0;          // errno value; 0 when the failure is not an OS error
  std::string context;   // what was being done, e.g. "open /dev/sdb"

  // One line for a person: context, the system's text and, where it helps, what to do.
  [[nodiscard]] std::string message() const;
};

// A value or an OsError. Small stand-in for std::expected, which C++20 lacks.
template <typename T>
class Expected {
 public:
  Expected(T value) : value_(std::move(value)) {}            // NOLINT(google-explicit-constructor)
  Expected(OsError error) : error_(std::move(error)) {}      // NOLINT(google-explicit-constructor)

  [[nodiscard]] bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T& operator*() { return *value_; }
  T* operator->() { return &*value_; }
  const OsError& error() const { return error_; }

 private:
  std::optional<T> value_;
  OsError error_;
};

}  // namespace vellumark::platform
