#include "core/output.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace morvex::core {

namespace {

int open_retrying(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int flock_retrying(int fd, int op) {
  int rc;
  do {
    rc = ::flock(fd, op);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

Result<SharedFile> SharedFile::open(const std::string& path, bool truncate) {
  if (truncate) {
    int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return IoError::from_errno(errno);
    ::close(fd);
  }
  int fd = open_retrying(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC);
  if (fd < 0) return IoError::from_errno(errno);
  return SharedFile(fd);
}

SharedFile::SharedFile(int fd)
    : buf_(std::make_unique_for_overwrite<uint8_t[]>(kInitialBuffer)),
      cap_(kInitialBuffer),
      fd_(fd) {}

SharedFile::SharedFile(SharedFile&& other) noexcept
    : buf_(std::move(other.buf_)),
      len_(std::exchange(other.len_, 0)),
      cap_(std::exchange(other.cap_, 0)),
      fd_(std::exchange(other.fd_, -1)) {}

SharedFile& SharedFile::operator=(SharedFile&& other) noexcept {
  if (this != &other) {
    close_fd();
    buf_ = std::move(other.buf_);
    len_ = std::exchange(other.len_, 0);
    cap_ = std::exchange(other.cap_, 0);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

SharedFile::~SharedFile() { close_fd(); }

void SharedFile::close_fd() {
  if (fd_ < 0) return;
  (void)flush();
  ::close(fd_);
  fd_ = -1;
}

void SharedFile::write_all(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  std::memcpy(room(bytes.size()).data(), bytes.data(), bytes.size());
  commit(bytes.size());
}

std::span<uint8_t> SharedFile::room(size_t at_least) {
  if (cap_ - len_ < at_least) {
    size_t cap = std::max({cap_ * 2, len_ + at_least, kInitialBuffer});
    auto grown = std::make_unique_for_overwrite<uint8_t[]>(cap);
    if (len_ != 0) std::memcpy(grown.get(), buf_.get(), len_);
    buf_ = std::move(grown);
    cap_ = cap;
  }
  return {buf_.get() + len_, cap_ - len_};
}

Status SharedFile::flush() {
  if (len_ == 0) return {};
  if (flock_retrying(fd_, LOCK_EX) != 0) return IoError::from_errno(errno);
  // Where this write begins: the end of the file, which no other process
  // moves while the lock is held (-1 for what is not a regular file).
  const off_t start = ::lseek(fd_, 0, SEEK_END);
  Status result = write_whole(fd_, buf_.get(), len_);
  if (!result.ok() && start >= 0) {
    // A record cut off at the end would make a reader stop there, or worse:
    // take back whatever part of this write got in.
    while (::ftruncate(fd_, start) != 0 && errno == EINTR) {
    }
  }
  len_ = 0;
  (void)flock_retrying(fd_, LOCK_UN);
  return result;
}

namespace {

// Calls `io(done)`, a read or write of what is left after `done` bytes,
// until `len` have moved; a call that moves nothing fails with `cut`.
template <typename Io>
Status move_whole(size_t len, const char* cut, Io io) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = io(done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return IoError::from_errno(errno);
    }
    if (n == 0) return IoError::other(cut);
    done += static_cast<size_t>(n);
  }
  return {};
}

}  // namespace

Status write_whole(int fd, const uint8_t* data, size_t len) {
  return move_whole(len, "failed to write whole buffer",
                    [&](size_t done) { return ::write(fd, data + done, len - done); });
}

Status pwrite_whole(int fd, const uint8_t* data, size_t len, uint64_t at) {
  return move_whole(len, "failed to write whole buffer", [&](size_t done) {
    return ::pwrite(fd, data + done, len - done, static_cast<off_t>(at + done));
  });
}

Status pread_whole(int fd, void* to, size_t len, uint64_t at) {
  auto* p = static_cast<uint8_t*>(to);
  return move_whole(len, "file cut short", [&](size_t done) {
    return ::pread(fd, p + done, len - done, static_cast<off_t>(at + done));
  });
}

}  // namespace morvex::core
