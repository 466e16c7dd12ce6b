#include "reader/sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace morvex::reader {

namespace {

constexpr size_t kBuffer = 1 << 20;

}  // namespace

OutputFile::OutputFile(std::string path, std::string target, std::string temp,
                       std::string scratch_dir, int fd)
    : path_(std::move(path)),
      target_(std::move(target)),
      temp_(std::move(temp)),
      scratch_dir_(std::move(scratch_dir)),
      fd_(fd) {
  buffer_.reserve(kBuffer);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      scratch_dir_(std::move(other.scratch_dir_)),
      fd_(std::exchange(other.fd_, -1)),
      errno_(other.errno_),
      buffer_(std::move(other.buffer_)) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) {
    ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }
}

core::IoError OutputFile::error(int code) const {
  return core::IoError::other("cannot write " + path_ + ": " + std::strerror(code));
}

namespace {

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string temporary_directory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
}

int open_retrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

core::Result<OutputFile> OutputFile::create(const std::string& path) {
  auto fail = [&](int code) {
    return core::IoError::other("cannot write " + path + ": " + std::strerror(code));
  };
  struct stat st;
  const bool exists = ::stat(path.c_str(), &st) == 0;
  // The target must be a file we may replace: refuse a directory up front,
  // rather than failing at the rename after all the work.
  if (exists && S_ISDIR(st.st_mode)) return fail(EISDIR);
  struct stat link;
  const bool is_link = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  // A device, FIFO or socket, or a link to nothing yet: written in place.
  if ((exists && !S_ISREG(st.st_mode)) || (!exists && is_link)) {
    int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail(errno);
    return OutputFile(path, path, "", temporary_directory(), fd);
  }
  std::string target = path;
  if (is_link) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return fail(errno);
    target = resolved;
    std::free(resolved);
  }
  for (int attempt = 0;; ++attempt) {
    std::string temp =
        target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    int fd = open_retrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      // Replacing a file keeps who may read it.
      if (exists) (void)::fchmod(fd, st.st_mode & 07777);
      return OutputFile(path, target, std::move(temp), directory_of(target), fd);
    }
    if (errno != EEXIST || attempt >= 100) return fail(errno);
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
    if (!temp_.empty()) ::unlink(temp_.c_str());
    return error(err);
  }
  if (temp_.empty()) return {};
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp_.c_str());
    return error(err);
  }
  return {};
}

}  // namespace morvex::reader
