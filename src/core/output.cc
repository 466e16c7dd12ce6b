#include "core/output.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

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

Status write_whole(int fd, const uint8_t* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return IoError::from_errno(errno);
    }
    if (n == 0) return IoError::other("failed to write whole buffer");
    data += n;
    len -= static_cast<size_t>(n);
  }
  return {};
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

SharedFile::SharedFile(int fd) : fd_(fd) { pending_.reserve(kInitialBuffer); }

SharedFile::SharedFile(SharedFile&& other) noexcept
    : pending_(std::move(other.pending_)), fd_(other.fd_) {
  other.fd_ = -1;
  other.pending_.clear();
}

SharedFile& SharedFile::operator=(SharedFile&& other) noexcept {
  if (this != &other) {
    close_fd();
    pending_ = std::move(other.pending_);
    fd_ = other.fd_;
    other.fd_ = -1;
    other.pending_.clear();
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
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

Status SharedFile::flush() {
  if (pending_.empty()) return {};
  if (flock_retrying(fd_, LOCK_EX) != 0) return IoError::from_errno(errno);
  // Where this write begins: the end of the file, which no other process
  // moves while the lock is held (-1 for what is not a regular file).
  const off_t start = ::lseek(fd_, 0, SEEK_END);
  Status result = write_whole(fd_, pending_.data(), pending_.size());
  if (!result.ok() && start >= 0) {
    // A record cut off at the end would make a reader stop there, or worse:
    // take back whatever part of this write got in.
    while (::ftruncate(fd_, start) != 0 && errno == EINTR) {
    }
  }
  pending_.clear();
  (void)flock_retrying(fd_, LOCK_UN);
  return result;
}

}  // namespace morvex::core
