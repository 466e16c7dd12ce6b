#include "core/clock.h"

#include <chrono>
#include <thread>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace morvex::core {

namespace {

#if defined(__x86_64__)

bool invariant_tsc() {
  unsigned a, b, c, d;
  if (__get_cpuid_max(0x80000000, nullptr) < 0x80000007) return false;
  __cpuid(0x80000007, a, b, c, d);
  return (d >> 8) & 1;
}

// The TSC frequency where the processor or the hypervisor states it.
uint64_t reported_tsc_frequency() {
  unsigned a, b, c, d;
  if (__get_cpuid_max(0, nullptr) >= 0x15) {
    __cpuid_count(0x15, 0, a, b, c, d);
    if (a != 0 && b != 0 && c != 0) return uint64_t{c} * b / a;
  }
  // Hypervisor timing leaf (KVM, VMware): TSC frequency in kHz.
  __cpuid(0x40000000, a, b, c, d);
  if (a >= 0x40000010) {
    __cpuid(0x40000010, a, b, c, d);
    if (a != 0) return uint64_t{a} * 1000;
  }
  return 0;
}

// A (counter, monotonic ns) pair taken as close together as this machine
// allows: the tightest of a few brackets.
struct Sample {
  uint64_t ticks;
  uint64_t nanos;
};

Sample take_sample() {
  Sample best{};
  uint64_t best_width = UINT64_MAX;
  for (int i = 0; i < 5; i++) {
    uint64_t t0 = read_counter();
    uint64_t ns = monotonic_nanos();
    uint64_t t1 = read_counter();
    if (t1 - t0 < best_width) {
      best_width = t1 - t0;
      best = {t0 + (t1 - t0) / 2, ns};
    }
  }
  return best;
}

const Sample& anchor() {
  static const Sample first = take_sample();
  return first;
}

constexpr uint64_t kCalibrationNanos = 20'000'000;

uint64_t calibrate() {
  const Sample& a = anchor();
  uint64_t elapsed = monotonic_nanos() - a.nanos;
  if (elapsed < kCalibrationNanos)
    std::this_thread::sleep_for(std::chrono::nanoseconds(kCalibrationNanos - elapsed));
  Sample b = take_sample();
  unsigned __int128 ticks = b.ticks - a.ticks;
  return static_cast<uint64_t>(ticks * 1'000'000'000u / (b.nanos - a.nanos));
}

uint64_t find_frequency() {
  if (!invariant_tsc()) return 0;
  uint64_t f = reported_tsc_frequency();
  return f != 0 ? f : calibrate();
}

#elif defined(__aarch64__)

uint64_t find_frequency() {
  uint64_t f;
  asm volatile("mrs %0, cntfrq_el0" : "=r"(f));
  return f;
}

#else

uint64_t find_frequency() { return 0; }

#endif

}  // namespace

void prime_counter_frequency() {
#if defined(__x86_64__)
  if (invariant_tsc() && reported_tsc_frequency() == 0) (void)anchor();
#endif
}

uint64_t counter_frequency() {
  static const uint64_t freq = find_frequency();
  return freq;
}

Clock Clock::starting_now() {
  uint64_t f = counter_frequency();
  Clock c(f, 0);
  c.start_ = c.raw();
  c.mono_start_ = f != 0 ? monotonic_nanos() : c.start_;
  // Right after the monotonic reading; the microsecond or so between them
  // is far below what clock synchronisation between hosts achieves.
  c.real_start_ = clock_nanos(CLOCK_REALTIME);
  return c;
}

}  // namespace morvex::core
