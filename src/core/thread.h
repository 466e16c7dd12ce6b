// Background threads carry their names where the operating system shows them
// (top -H, debuggers, /proc/<pid>/task/*/comm).
#pragma once

#include <cerrno>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/ioerror.h"

namespace morvex::core {

// Tells the processor a thread is spinning, so that it yields to its
// sibling hyperthread and saves power.
inline void cpu_relax() {
#if defined(__x86_64__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Linux keeps 15 bytes of a thread's name; longer names are cut to that.
inline constexpr size_t kOsThreadNameMax = 15;

// Names the calling thread (cut to what the system keeps).
void set_current_thread_name(const std::string& name);

// Starts `body` on a new thread named `name`, or returns why it could not.
// On failure `body` (and whatever it owns) is destroyed unrun.
template <class F>
Result<std::thread> spawn_named(std::string name, F body) {
  try {
    return std::thread([name = std::move(name), body = std::move(body)]() mutable {
      set_current_thread_name(name);
      body();
    });
  } catch (const std::system_error& e) {
    return IoError::from_errno(e.code().value() != 0 ? e.code().value() : EAGAIN);
  }
}

}  // namespace morvex::core
