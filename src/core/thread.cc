#include "core/thread.h"

#include <pthread.h>

namespace morvex::core {

void set_current_thread_name(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, kOsThreadNameMax).c_str());
}

std::string current_thread_os_name() {
  char buf[32] = {};
  if (pthread_getname_np(pthread_self(), buf, sizeof buf) != 0) return {};
  return buf;
}

}  // namespace morvex::core
