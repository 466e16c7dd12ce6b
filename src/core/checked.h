// A value made from what someone gave (an argument, an option, a name), or
// the message saying what is wrong with it: a usage error, which the caller
// reports as such (a usage message and status on the command line,
// ValueError in Python), never as an I/O error (ioerror.h).
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "core/value_or.h"

namespace morvex::core {

// What is wrong with the input, without repeating all of it.
struct Wrong {
  std::string message;
};

template <class T>
class [[nodiscard]] Checked : public ValueOr<T, Wrong> {
 public:
  using ValueOr<T, Wrong>::ValueOr;
  const std::string& message() const { return this->error().message; }
};

}  // namespace morvex::core
