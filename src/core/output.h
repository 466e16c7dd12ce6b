// The trace output file, shared between the processes of one trace.
//
// Writes only append to an in-memory buffer; flush hands the whole buffer to
// the file under an exclusive flock. The file is in append mode, so each
// flush lands contiguously at the end even when a forked child or a child
// process appends to the same path at the same time. A writer that renders
// its own bytes renders them straight into that buffer (room, then commit)
// rather than copying them in.
//
// Threads: a SharedFile belongs to one exporter and is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/ioerror.h"

namespace morvex::core {

class SharedFile {
 public:
  static constexpr size_t kInitialBuffer = 128 * 1024;

  // truncate: empty (or create) the file first, as a run that starts a trace
  // does; without it the file is joined as it is, as a child run does.
  static Result<SharedFile> open(const std::string& path, bool truncate);

  // Takes ownership of an open descriptor.
  explicit SharedFile(int fd);
  SharedFile(SharedFile&& other) noexcept;
  SharedFile& operator=(SharedFile&& other) noexcept;
  SharedFile(const SharedFile&) = delete;
  SharedFile& operator=(const SharedFile&) = delete;
  // Flushes once more, ignoring the outcome, then closes.
  ~SharedFile();

  // Never touches the file and never fails.
  void write_all(std::span<const uint8_t> bytes);
  void write_all(std::string_view text) {
    write_all(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }

  // The free space after the pending bytes, at least `at_least` bytes of it.
  // Bytes written there are not pending until committed; the span is valid
  // until the next call that adds, commits or flushes.
  std::span<uint8_t> room(size_t at_least);
  // Makes the first `n` bytes of the last room() pending.
  void commit(size_t n) { len_ += n; }

  // Nothing pending: no system call at all. A failed lock keeps the bytes for
  // a later flush; a failed write discards them, and what part of them got
  // into a regular file is cut off again, so the file always ends where a
  // whole flush ended.
  Status flush();

  int fd() const { return fd_; }
  std::span<const uint8_t> pending() const { return {buf_.get(), len_}; }

 private:
  void close_fd();

  // Not a vector: growing it must not zero bytes that are about to be
  // rendered over.
  std::unique_ptr<uint8_t[]> buf_;
  size_t len_ = 0;
  size_t cap_ = 0;
  int fd_ = -1;
};

// Whole-buffer I/O that retries short and interrupted calls; a call that
// moves nothing is a failure, not a loop.
Status write_whole(int fd, const uint8_t* data, size_t len);
Status pwrite_whole(int fd, const uint8_t* data, size_t len, uint64_t at);
Status pread_whole(int fd, void* to, size_t len, uint64_t at);

}  // namespace morvex::core
