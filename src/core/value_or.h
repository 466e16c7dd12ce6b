// A value, or the error that kept it from being made: what Result (an I/O
// error, ioerror.h) and Checked (a usage error, checked.h) both are.
#pragma once

#include <utility>
#include <variant>

namespace morvex::core {

template <class T, class E>
class [[nodiscard]] ValueOr {
 public:
  ValueOr(T value) : v_(std::move(value)) {}  // NOLINT: implicit on purpose
  ValueOr(E error) : v_(std::move(error)) {}  // NOLINT: implicit on purpose

  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace morvex::core
