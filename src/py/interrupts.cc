#include "py/interrupts.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace morvex::py {

namespace {

std::atomic<uint64_t> SIGINTS{0};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "counted in a signal handler");
// What SIGINTS was when the run began watching; read by waiters.
std::atomic<uint64_t> SEEN{0};
// The handler ours displaced; written only while ours is not installed.
struct sigaction DISPLACED;

void on_sigint(int sig, siginfo_t* info, void* context) {
  const int saved = errno;
  SIGINTS.fetch_add(1, std::memory_order_relaxed);
  if (DISPLACED.sa_flags & SA_SIGINFO) {
    DISPLACED.sa_sigaction(sig, info, context);
  } else if (DISPLACED.sa_handler != SIG_DFL && DISPLACED.sa_handler != SIG_IGN) {
    DISPLACED.sa_handler(sig);
  }
  errno = saved;
}

bool ours(const struct sigaction& a) {
  return (a.sa_flags & SA_SIGINFO) && a.sa_sigaction == on_sigint;
}

}  // namespace

void watch_interrupts() {
  SEEN.store(SIGINTS.load(std::memory_order_relaxed), std::memory_order_relaxed);
  struct sigaction current;
  if (sigaction(SIGINT, nullptr, &current) != 0 || ours(current)) return;
  if (!(current.sa_flags & SA_SIGINFO) &&
      (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN))
    return;
  DISPLACED = current;
  struct sigaction mine = current;
  mine.sa_flags |= SA_SIGINFO;
  mine.sa_sigaction = on_sigint;
  sigaction(SIGINT, &mine, nullptr);
}

void unwatch_interrupts() {
  struct sigaction current;
  if (sigaction(SIGINT, nullptr, &current) == 0 && ours(current))
    sigaction(SIGINT, &DISPLACED, nullptr);
}

bool lossless_pause(std::chrono::microseconds pause) {
  if (SIGINTS.load(std::memory_order_relaxed) != SEEN.load(std::memory_order_relaxed)) return false;
  std::this_thread::sleep_for(pause);
  return true;
}

}  // namespace morvex::py
