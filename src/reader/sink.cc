#include "reader/sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "reader/text.h"

namespace morvex::reader {

namespace {

constexpr size_t kBuffer = 1 << 20;

// The temporary files a signal handler removes: fixed slots, since a
// handler may neither allocate nor lock. A slot is claimed, its path
// written, and only then marked ready; the handler reads ready slots only.
// Memory ordering: sequentially consistent stores and loads of `ready`, so
// a handler on any thread that sees it true sees the whole path.
struct TempSlot {
  std::atomic<bool> claimed{false};
  std::atomic<bool> ready{false};
  char path[PATH_MAX];
};
TempSlot TEMP_SLOTS[8];

// -1 when every slot is taken or the path is too long: the file is then
// still removed by its OutputFile, only not by a signal handler.
int register_temp(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < static_cast<int>(std::size(TEMP_SLOTS)); ++i) {
    TempSlot& s = TEMP_SLOTS[i];
    bool expected = false;
    if (!s.claimed.compare_exchange_strong(expected, true)) continue;
    std::memcpy(s.path, path.c_str(), path.size() + 1);
    s.ready.store(true);
    return i;
  }
  return -1;
}

void unregister_temp(int slot) {
  if (slot < 0) return;
  TEMP_SLOTS[slot].ready.store(false);
  TEMP_SLOTS[slot].claimed.store(false);
}

}  // namespace

void remove_temporary_files() {
  const int saved = errno;
  for (TempSlot& s : TEMP_SLOTS) {
    if (s.ready.load()) ::unlink(s.path);
  }
  errno = saved;
}

OutputFile::OutputFile(std::string path, std::string target, std::string temp,
                       std::string scratch_dir, int fd, StopCheck stop, int slot)
    : path_(std::move(path)),
      target_(std::move(target)),
      temp_(std::move(temp)),
      scratch_dir_(std::move(scratch_dir)),
      fd_(fd),
      stop_(std::move(stop)),
      slot_(slot) {
  buffer_.reserve(kBuffer);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      scratch_dir_(std::move(other.scratch_dir_)),
      fd_(std::exchange(other.fd_, -1)),
      errno_(other.errno_),
      buffer_(std::move(other.buffer_)),
      stop_(std::move(other.stop_)),
      slot_(std::exchange(other.slot_, -1)) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) {
    ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }
  // After the unlink: a signal in between finds the file gone, not left.
  unregister_temp(slot_);
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

int open_retrying(const char* path, int flags, mode_t mode, const StopCheck& stop) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
    if (fd < 0 && errno == EINTR && stop && stop()) break;
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

core::Result<OutputFile> OutputFile::create(const std::string& path, StopCheck stop) {
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
    int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666, stop);
    if (fd < 0) return fail(errno);
    return OutputFile(path, path, "", temporary_directory(), fd, std::move(stop), -1);
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
    // Registered before it exists, so that no signal finds it unregistered.
    const int slot = register_temp(temp);
    int fd = open_retrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666, stop);
    if (fd >= 0) {
      // Replacing a file keeps who may read it.
      if (exists) (void)::fchmod(fd, st.st_mode & 07777);
      return OutputFile(path, target, std::move(temp), directory_of(target), fd, std::move(stop),
                        slot);
    }
    unregister_temp(slot);
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
  auto stopped = [&] {
    if (!stop_ || !stop_()) return false;
    errno_ = EINTR;
    return true;
  };
  if (errno_ == 0) (void)stopped();
  while (left > 0 && errno_ == 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) {
      (void)stopped();
      continue;
    }
    if (n <= 0) {
      errno_ = n < 0 ? errno : EIO;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  buffer_.clear();
}

core::Status OutputFile::expect(uint64_t bytes) {
  if (temp_.empty() || fd_ < 0 || errno_ != 0) return {};
  struct statvfs fs;
  if (::fstatvfs(fd_, &fs) != 0) return {};  // unknown: ENOSPC still stops the writing
  const uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  const uint64_t coming = bytes + buffer_.size();
  if (coming <= free) return {};
  return core::IoError::other("cannot write " + path_ + ": it would take " +
                              format_bytes(coming) + ", and its file system has " +
                              format_bytes(free) + " free");
}

core::Status OutputFile::commit() {
  flush();
  if (errno_ != 0) return error(errno_);
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) {
    const int err = errno;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    unregister_temp(std::exchange(slot_, -1));
    return error(err);
  }
  if (temp_.empty()) return {};
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp_.c_str());
    unregister_temp(std::exchange(slot_, -1));
    return error(err);
  }
  unregister_temp(std::exchange(slot_, -1));
  return {};
}

}  // namespace morvex::reader
