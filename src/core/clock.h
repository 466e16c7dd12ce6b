// The run's clock. Traced threads store raw counter readings (cheap: no
// system call, no conversion); the serializer converts them to nanoseconds
// since the clock's start.
//
// Two variants: the direct counter (x86-64 TSC where the CPU reports it
// invariant, AArch64 CNTVCT_EL0) with a frequency known at creation, and the
// fallback, CLOCK_MONOTONIC nanoseconds.
//
// Threads: immutable after creation; read concurrently without locks.
#pragma once

#include <cstdint>
#include <ctime>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace morvex::core {

inline uint64_t clock_nanos(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

inline uint64_t monotonic_nanos() { return clock_nanos(CLOCK_MONOTONIC); }

// One read of the platform's free-running counter. Only meaningful where
// counter_frequency() is non-zero.
inline uint64_t read_counter() {
#if defined(__x86_64__)
  return __rdtsc();
#elif defined(__aarch64__)
  // The barrier keeps the read from being done early, out of order with the
  // code around it, which could make a later reading look older.
  uint64_t v;
  asm volatile("isb\n\tmrs %0, cntvct_el0" : "=r"(v)::"memory");
  return v;
#else
  return monotonic_nanos();
#endif
}

// Frequency of the direct counter in Hz, or 0 where there is no usable one.
// Found once per process (CPUID, CNTFRQ_EL0, or a calibration against
// CLOCK_MONOTONIC) so that starting a run stays fast.
uint64_t counter_frequency();

// Starts the once-per-process calibration early (for instance at import), so
// that the first run does not wait for it.
void prime_counter_frequency();

// Exact unsigned 64-bit division by a divisor fixed in advance, done as a
// multiply-high and shifts (the round-up method of Granlund and Montgomery).
class Divider {
 public:
  Divider() = default;
  explicit Divider(uint64_t d) : d_(d) {
    if (d == 0) return;
    unsigned log2 = 63 - static_cast<unsigned>(__builtin_clzll(d));
    if ((d & (d - 1)) == 0) {
      shift_ = log2;
      power_of_two_ = true;
      return;
    }
    // m = floor(2^(64 + log2) / d), refined to the 65-bit magic 2^64 + magic_.
    unsigned __int128 num = static_cast<unsigned __int128>(1) << (64 + log2);
    uint64_t m = static_cast<uint64_t>(num / d);
    uint64_t rem = static_cast<uint64_t>(num % d);
    uint64_t twice = rem * 2;
    m *= 2;
    if (twice >= d || twice < rem) m += 1;
    magic_ = m + 1;
    shift_ = log2;
  }

  uint64_t divisor() const { return d_; }

  uint64_t operator()(uint64_t n) const {
    if (power_of_two_) return n >> shift_;
    uint64_t q = static_cast<uint64_t>((static_cast<unsigned __int128>(magic_) * n) >> 64);
    return (((n - q) >> 1) + q) >> shift_;
  }

 private:
  uint64_t d_ = 0;
  uint64_t magic_ = 0;
  unsigned shift_ = 0;
  bool power_of_two_ = false;
};

class Clock {
 public:
  static Clock starting_now();
  static Clock direct(uint64_t freq, uint64_t start) { return Clock(freq, start); }
  static Clock nanos(uint64_t start) { return Clock(0, start); }

  bool is_direct() const { return freq_ != 0; }
  uint64_t start() const { return start_; }
  uint64_t frequency() const { return freq_; }

  // CLOCK_MONOTONIC nanoseconds at the start (starting_now only): the zero
  // point of a trace, which processes that join it share.
  uint64_t monotonic_start() const { return mono_start_; }

  // CLOCK_REALTIME nanoseconds at trace time 0: what places this trace
  // beside traces of other hosts. Read beside the monotonic start, so it is
  // as good as the host's clock synchronisation, no better.
  uint64_t realtime_at_zero() const { return real_start_ - offset_; }

  // Times are counted from `zero` (CLOCK_MONOTONIC nanoseconds, at or before
  // this clock's start) instead of from the start: a run that joins another
  // process's trace lines its events up with that process's timeline.
  Clock counting_from(uint64_t zero) const {
    Clock c = *this;
    c.offset_ = mono_start_ > zero ? mono_start_ - zero : 0;
    return c;
  }
  uint64_t offset() const { return offset_; }

  uint64_t raw() const { return is_direct() ? read_counter() : monotonic_nanos(); }

  // Raw values before the start give 0 (plus the offset), never a wrapped
  // huge value.
  uint64_t nanos_since_start(uint64_t raw) const {
    if (is_direct()) {
      if (raw < start_) return offset_;
      unsigned __int128 p = static_cast<unsigned __int128>(raw - start_) * 1'000'000'000u;
      return offset_ + static_cast<uint64_t>(p / freq_);
    }
    return offset_ + (raw > start_ ? raw - start_ : 0);
  }

  // Converts the records of one batch: exact like nanos_since_start, but with
  // one 128-bit division per batch and, per record, a division by the
  // counter frequency done as a multiplication (dividing is what limits the
  // serializer otherwise).
  class BatchDecoder {
   public:
    uint64_t operator()(uint32_t delta) const {
      if (div_.divisor() == 0) return nanos0_ + delta;
      // rem0_ < freq and delta * 1e9 < 2^62, so the sum fits 64 bits.
      return nanos0_ + div_(rem0_ + uint64_t{delta} * 1'000'000'000u);
    }

   private:
    friend class Clock;
    uint64_t nanos0_ = 0;
    uint64_t rem0_ = 0;
    Divider div_;
  };

  // Valid for raw values base + delta when base >= start; callers fall back
  // to nanos_since_start otherwise.
  BatchDecoder decoder(uint64_t base) const {
    BatchDecoder d;
    if (is_direct()) {
      unsigned __int128 p = static_cast<unsigned __int128>(base - start_) * 1'000'000'000u;
      d.nanos0_ = offset_ + static_cast<uint64_t>(p / freq_);
      d.rem0_ = static_cast<uint64_t>(p % freq_);
      d.div_ = div_;
    } else {
      d.nanos0_ = offset_ + (base - start_);
    }
    return d;
  }

 private:
  Clock(uint64_t freq, uint64_t start) : freq_(freq), start_(start), div_(freq) {}

  uint64_t freq_;  // 0: the fallback variant
  uint64_t start_;
  uint64_t mono_start_ = 0;
  uint64_t real_start_ = 0;  // CLOCK_REALTIME at mono_start_
  uint64_t offset_ = 0;  // added to every converted time
  Divider div_;
};

}  // namespace morvex::core
