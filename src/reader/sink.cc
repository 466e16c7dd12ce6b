#include "reader/sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace morvex::reader {

namespace {

constexpr size_t kBuffer = 1 << 20;

}  // namespace

OutputFile::OutputFile(std::string path, std::string temp, int fd)
    : path_(std::move(path)), temp_(std::move(temp)), fd_(fd) {
  buffer_.reserve(kBuffer);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      temp_(std::move(other.temp_)),
      fd_(std::exchange(other.fd_, -1)),
      errno_(other.errno_),
      buffer_(std::move(other.buffer_)) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(temp_.c_str());
  }
}

core::IoError OutputFile::error(int code) const {
  return core::IoError::other("cannot write " + path_ + ": " + std::strerror(code));
}

core::Result<OutputFile> OutputFile::create(const std::string& path) {
  // The target must be a file we may replace: refuse a directory up front,
  // rather than failing at the rename after all the work.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return core::IoError::other("cannot write " + path + ": " + std::strerror(EISDIR));
  }
  for (int attempt = 0;; ++attempt) {
    std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    int fd;
    do {
      fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return OutputFile(path, std::move(temp), fd);
    if (errno != EEXIST || attempt >= 100) {
      return core::IoError::other("cannot write " + path + ": " + std::strerror(errno));
    }
  }
}

void OutputFile::write(std::string_view bytes) {
  if (errno_ != 0) return;
  buffer_.append(bytes);
  if (buffer_.size() >= kBuffer) flush();
}

void OutputFile::flush() {
  const char* p = buffer_.data();
  size_t left = buffer_.size();
  while (left > 0 && errno_ == 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      errno_ = n < 0 ? errno : EIO;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  buffer_.clear();
}

core::Status OutputFile::commit() {
  flush();
  if (errno_ != 0) return error(errno_);
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp_.c_str());
    return error(err);
  }
  if (::rename(temp_.c_str(), path_.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp_.c_str());
    return error(err);
  }
  return {};
}

}  // namespace morvex::reader
