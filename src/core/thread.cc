#include "core/thread.h"

#include <pthread.h>

#include <cerrno>
#include <system_error>

namespace morvex::core {

Result<std::thread> spawn_named(std::string name, std::function<void()> body) {
  if (name.size() > kOsThreadNameMax) name.resize(kOsThreadNameMax);
  try {
    return std::thread([name = std::move(name), body = std::move(body)] {
      pthread_setname_np(pthread_self(), name.c_str());
      body();
    });
  } catch (const std::system_error& e) {
    return IoError::from_errno(e.code().value() != 0 ? e.code().value() : EAGAIN);
  }
}

std::string current_thread_os_name() {
  char buf[32] = {};
  if (pthread_getname_np(pthread_self(), buf, sizeof buf) != 0) return {};
  return buf;
}

}  // namespace morvex::core
