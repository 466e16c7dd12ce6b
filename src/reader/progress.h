// How far a long conversion has got, as one line on a terminal that is
// rewritten in place: "morvex: read 1.20 GiB of 4.40 GiB (27%), wrote 3.10
// GiB". A conversion done within kDelay shows nothing, and the line changes
// at most every kInterval, so that it costs nothing and does not flicker.
// clear() blanks it, before anything else is printed and at the end.
//
// The line goes wherever `emit` puts it; the caller decides whether there
// is a terminal to show it on. The clock is injectable for tests.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace morvex::reader {

// "read 1.20 GiB of 4.40 GiB (27%), wrote 3.10 GiB"; the total and the
// share left out when the input's size is unknown (0), what was written
// when nothing was yet.
std::string progress_text(uint64_t read, uint64_t size, uint64_t written);

class ProgressLine {
 public:
  static constexpr uint64_t kDelay = 500'000'000;     // ns
  static constexpr uint64_t kInterval = 250'000'000;  // ns

  using Emit = std::function<void(std::string_view)>;
  using Clock = std::function<uint64_t()>;  // monotonic nanoseconds

  explicit ProgressLine(Emit emit, Clock clock = {});

  void read(uint64_t bytes, uint64_t size);
  void wrote(uint64_t bytes);
  // Blanks the line if one is shown.
  void clear();

 private:
  void update();

  Emit emit_;
  Clock clock_;
  uint64_t start_;
  uint64_t next_;  // the earliest time the line may change
  uint64_t read_ = 0, size_ = 0, written_ = 0;
  size_t shown_ = 0;  // columns of the line on the terminal
};

}  // namespace morvex::reader
