#include "reader/input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace morvex::reader {

Input::Input(int fd, std::string_view memory, size_t chunk, uint64_t size, StopCheck stop)
    : fd_(fd),
      memory_(memory),
      chunk_(std::max<size_t>(chunk, 1)),
      size_(size),
      stop_(std::move(stop)) {
  buf_.resize(chunk_);
}

Input::Input(Input&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      memory_(other.memory_),
      memory_pos_(other.memory_pos_),
      chunk_(other.chunk_),
      buf_(std::move(other.buf_)),
      pos_(other.pos_),
      len_(other.len_),
      base_(other.base_),
      size_(other.size_),
      eof_(other.eof_),
      error_(std::move(other.error_)),
      stop_(std::move(other.stop_)),
      on_read_(std::move(other.on_read_)) {}

Input::~Input() {
  if (fd_ >= 0) ::close(fd_);
}

core::Result<Input> Input::open(const std::string& path, size_t chunk, StopCheck stop) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == EINTR && stop && stop()) break;
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return core::IoError::from_errno(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return core::IoError::from_errno(err);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return core::IoError::from_errno(EISDIR);
  }
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return Input(fd, {}, chunk, S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0,
               std::move(stop));
}

Input Input::memory(std::string_view bytes, size_t chunk, StopCheck stop) {
  return Input(-1, bytes, chunk, bytes.size(), std::move(stop));
}

bool Input::fill() {
  if (eof_) return false;
  auto stopped = [&] {
    if (!stop_ || !stop_()) return false;
    error_ = core::IoError::from_errno(EINTR);
    eof_ = true;
    return true;
  };
  if (stopped()) return false;
  uint8_t* dst = buf_.data() + len_;
  const size_t room = buf_.size() - len_;
  if (fd_ < 0) {
    const size_t n = std::min(room, memory_.size() - memory_pos_);
    std::memcpy(dst, memory_.data() + memory_pos_, n);
    memory_pos_ += n;
    len_ += n;
    if (n == 0) eof_ = true;
    if (n != 0 && on_read_) on_read_(base_ + len_, size_);
    return n != 0;
  }
  for (;;) {
    ssize_t n = ::read(fd_, dst, room);
    if (n > 0) {
      len_ += static_cast<size_t>(n);
      if (on_read_) on_read_(base_ + len_, size_);
      return true;
    }
    // A signal cut a read short: its handler may want the work stopped.
    if (n < 0 && errno == EINTR) {
      if (stopped()) return false;
      continue;
    }
    if (n < 0) error_ = core::IoError::from_errno(errno);
    eof_ = true;
    return false;
  }
}

bool Input::ensure(size_t n) {
  if (len_ - pos_ >= n) return true;
  if (n > kMaxRecord) return false;
  if (pos_ > 0) {
    std::memmove(buf_.data(), buf_.data() + pos_, len_ - pos_);
    base_ += pos_;
    len_ -= pos_;
    pos_ = 0;
  }
  while (len_ < n) {
    // Doubled as the bytes arrive: a length field claiming more than the
    // file holds costs no memory, and a record longer than a chunk, asked
    // for a byte more at a time, still takes few reads and re-parses.
    if (len_ == buf_.size()) {
      buf_.resize(std::min(std::max(buf_.size() * 2, chunk_), std::max(kMaxRecord, chunk_)));
    }
    if (!fill()) return false;
  }
  // Top the window up to a whole chunk, so parsers see many records at once.
  while (len_ < std::min(chunk_, buf_.size()) && fill()) {
  }
  return true;
}

bool Input::at_end() { return avail() == 0 && !ensure(1); }

}  // namespace morvex::reader
