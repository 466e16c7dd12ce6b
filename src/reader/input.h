// Input: a trace file, or bytes in memory, read front to back through a
// window of at least one chunk. Parsers look at the window, ask for more
// when a record runs past it, and move the cursor past what they consumed.
// The window only grows beyond a chunk for a record that is longer, and
// never beyond kMaxRecord, so memory does not depend on the file's size.
//
// Threads: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ioerror.h"
#include "reader/stop.h"

namespace morvex::reader {

class Input {
 public:
  static constexpr size_t kDefaultChunk = size_t{1} << 20;
  // Longest record a parser may ask for: a longer Perfetto packet counts as
  // corrupt, a longer JSON record fails the read (reader.h).
  static constexpr size_t kMaxRecord = size_t{64} << 20;

  // `stop` is asked when a signal interrupts the open (of a FIFO, which
  // waits for a writer) and before each read.
  static core::Result<Input> open(const std::string& path, size_t chunk = kDefaultChunk,
                                  StopCheck stop = {});
  // The bytes must outlive the Input.
  static Input memory(std::string_view bytes, size_t chunk = kDefaultChunk, StopCheck stop = {});

  Input(Input&& other) noexcept;
  Input& operator=(Input&&) = delete;
  Input(const Input&) = delete;
  ~Input();

  const uint8_t* data() const { return buf_.data() + pos_; }
  size_t avail() const { return len_ - pos_; }
  // Whether n bytes from the cursor are (now) in the window; false when the
  // input ends first, n exceeds kMaxRecord, or a read failed (see error()).
  bool ensure(size_t n);
  void advance(size_t n) { pos_ += n; }
  // Offset of the cursor in the file.
  uint64_t offset() const { return base_ + pos_; }
  // Nothing left: the window is empty and the input has ended.
  bool at_end();
  // Bytes read so far, plus for files what the file's size says remains.
  uint64_t size() const { return size_ > base_ + len_ ? size_ : base_ + len_; }
  const std::optional<core::IoError>& error() const { return error_; }

  // Told after each read: the bytes read so far, and the file's size (0
  // when it has none, as a pipe).
  using ReadProgress = std::function<void(uint64_t read, uint64_t size)>;
  void on_read(ReadProgress progress) { on_read_ = std::move(progress); }

 private:
  Input(int fd, std::string_view memory, size_t chunk, uint64_t size, StopCheck stop);
  bool fill();

  int fd_ = -1;
  std::string_view memory_;  // the source when fd_ < 0
  size_t memory_pos_ = 0;
  size_t chunk_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;     // cursor within buf_
  size_t len_ = 0;     // valid bytes in buf_
  uint64_t base_ = 0;  // file offset of buf_[0]
  uint64_t size_ = 0;
  bool eof_ = false;
  std::optional<core::IoError> error_;
  StopCheck stop_;
  ReadProgress on_read_;
};

}  // namespace morvex::reader
