#include "reader/progress.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "reader/text.h"

namespace morvex::reader {

std::string progress_text(uint64_t read, uint64_t size, uint64_t written) {
  std::string text = "read " + format_bytes(read);
  if (size != 0) {
    text += " of " + format_bytes(size) + " (" +
            std::to_string(std::min<uint64_t>(read, size) * 100 / size) + "%)";
  }
  if (written != 0) text += ", wrote " + format_bytes(written);
  return text;
}

ProgressLine::ProgressLine(Emit emit, Clock clock)
    : emit_(std::move(emit)), clock_(std::move(clock)) {
  if (!clock_) {
    clock_ = [] {
      return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count());
    };
  }
  start_ = clock_();
  next_ = start_ + kDelay;
}

void ProgressLine::read(uint64_t bytes, uint64_t size) {
  read_ = bytes;
  size_ = size;
  update();
}

void ProgressLine::wrote(uint64_t bytes) {
  written_ = bytes;
  update();
}

void ProgressLine::update() {
  const uint64_t now = clock_();
  if (now < next_) return;
  next_ = now + kInterval;
  const std::string text = "morvex: " + progress_text(read_, size_, written_);
  // A shorter line leaves the end of the longer one behind unless blanked.
  const size_t width = text.size();
  std::string line = "\r" + text;
  if (width < shown_) line.append(shown_ - width, ' ');
  shown_ = width;
  emit_(line);
}

void ProgressLine::clear() {
  if (shown_ == 0) return;
  emit_("\r" + std::string(shown_, ' ') + "\r");
  shown_ = 0;
}

}  // namespace morvex::reader
