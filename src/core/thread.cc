#include "core/thread.h"

#include <pthread.h>

namespace morvex::core {

void set_current_thread_name(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, kOsThreadNameMax).c_str());
}

}  // namespace morvex::core
