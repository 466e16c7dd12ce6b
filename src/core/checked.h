// A value made from what someone gave (an argument, an option, a name), or
// the message saying what is wrong with it: a usage error, which the caller
// reports as such (a usage message and status on the command line,
// ValueError in Python), never as an I/O error (ioerror.h).
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace morvex::core {

// What is wrong with the input, without repeating all of it.
struct Wrong {
  std::string message;
};

template <class T>
class [[nodiscard]] Checked {
 public:
  Checked(T value) : v_(std::move(value)) {}   // NOLINT: implicit on purpose
  Checked(Wrong wrong) : v_(std::move(wrong)) {}  // NOLINT: implicit on purpose

  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const std::string& message() const { return std::get<1>(v_).message; }

 private:
  std::variant<T, Wrong> v_;
};

}  // namespace morvex::core
