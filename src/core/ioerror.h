// The one error value of the core and the writers: an operating-system error
// number, or an error made inside the program with a fixed message. The
// binding turns it into a Python exception in exactly one place.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "core/value_or.h"

namespace morvex::core {

class IoError {
 public:
  static IoError from_errno(int code) { return IoError(code, {}); }
  static IoError other(std::string message) { return IoError(0, std::move(message)); }

  // 0 for an error made inside the program.
  int os_code() const { return code_; }

  // "<system message> (os error N)", or the fixed message.
  std::string text() const;

 private:
  IoError(int code, std::string message) : code_(code), message_(std::move(message)) {}

  int code_;
  std::string message_;
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(IoError error) : error_(std::move(error)) {}  // NOLINT: implicit on purpose

  bool ok() const { return !error_.has_value(); }
  const IoError& error() const { return *error_; }

 private:
  std::optional<IoError> error_;
};

template <class T>
class [[nodiscard]] Result : public ValueOr<T, IoError> {
 public:
  using ValueOr<T, IoError>::ValueOr;
};

}  // namespace morvex::core
