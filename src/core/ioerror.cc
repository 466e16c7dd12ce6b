#include "core/ioerror.h"

#include <cstring>

namespace morvex::core {

std::string IoError::text() const {
  if (code_ == 0) return message_;
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* msg = strerror_r(code_, buf, sizeof buf);
  return std::string(msg) + " (os error " + std::to_string(code_) + ")";
}

}  // namespace morvex::core
