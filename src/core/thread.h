// Background threads carry their names where the operating system shows them
// (top -H, debuggers, /proc/<pid>/task/*/comm).
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "core/ioerror.h"

namespace morvex::core {

// Linux keeps 15 bytes of a thread's name; longer names are cut to that.
inline constexpr size_t kOsThreadNameMax = 15;

// Starts `body` on a new thread named `name`, or returns why it could not.
Result<std::thread> spawn_named(std::string name, std::function<void()> body);

// The calling thread's name as the operating system shows it.
std::string current_thread_os_name();

}  // namespace morvex::core
