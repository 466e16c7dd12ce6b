#include "reader/speedscope.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "format/json_text.h"
#include "reader/labels.h"
#include "reader/text.h"
#include "reader/wire.h"

namespace morvex::reader {

namespace {

// A thread's events go to the file once this many bytes have gathered.
constexpr size_t kBlock = 16 * 1024;
// Block header: the next block's offset (UINT64_MAX: none yet), the length.
constexpr size_t kHeader = 12;

void put_varint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

// The whole of len bytes at offset, through pread or pwrite (which may move
// less than asked); err is set when it stops short.
template <typename Byte, typename Move>
bool move_all(Byte* p, size_t len, uint64_t offset, int& err, Move move) {
  while (len > 0) {
    ssize_t n = move(p, len, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool pwrite_all(int fd, const void* data, size_t len, uint64_t offset, int& err) {
  return move_all(static_cast<const char*>(data), len, offset, err,
                  [fd](const char* p, size_t n, off_t at) { return ::pwrite(fd, p, n, at); });
}

bool pread_all(int fd, void* data, size_t len, uint64_t offset, int& err) {
  return move_all(static_cast<char*>(data), len, offset, err,
                  [fd](char* p, size_t n, off_t at) { return ::pread(fd, p, n, at); });
}

}  // namespace

SpeedscopeSpill::SpeedscopeSpill(int fd, std::string dir) : fd_(fd), dir_(std::move(dir)) {}

SpeedscopeSpill::SpeedscopeSpill(SpeedscopeSpill&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      dir_(std::move(other.dir_)),
      file_end_(other.file_end_),
      events_(other.events_),
      errno_(other.errno_),
      threads_(std::move(other.threads_)) {}

SpeedscopeSpill::~SpeedscopeSpill() {
  if (fd_ >= 0) ::close(fd_);
}

core::Result<SpeedscopeSpill> SpeedscopeSpill::create(const std::string& dir) {
  std::string path = (dir.empty() ? std::string(".") : dir) + "/.morvex-spill-XXXXXX";
  int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) {
    return core::IoError::other("cannot write " + (dir.empty() ? std::string(".") : dir) + ": " +
                                std::strerror(errno));
  }
  ::unlink(path.c_str());  // the open descriptor keeps it until we close it
  return SpeedscopeSpill(fd, dir);
}

void SpeedscopeSpill::add(uint32_t thread, uint32_t function, uint64_t ts, bool close) {
  if (threads_.size() <= thread) threads_.resize(thread + 1);
  ThreadSpill& t = threads_[thread];
  ++events_;
  put_varint(t.pending, (uint64_t{function} << 1) | close);
  put_varint(t.pending, ts - t.last_ts);  // the builder keeps a thread's times in order
  t.last_ts = ts;
  if (t.pending.size() >= kBlock) spill(t);
}

void SpeedscopeSpill::spill(ThreadSpill& t) {
  if (t.pending.empty() || errno_ != 0) return;
  char header[kHeader];
  const uint64_t none = UINT64_MAX;
  const auto len = static_cast<uint32_t>(t.pending.size());
  std::memcpy(header, &none, 8);
  std::memcpy(header + 8, &len, 4);
  const uint64_t at = file_end_;
  if (!pwrite_all(fd_, header, kHeader, at, errno_) ||
      !pwrite_all(fd_, t.pending.data(), len, at + kHeader, errno_)) {
    return;
  }
  file_end_ += kHeader + len;
  if (t.last_block == UINT64_MAX) {
    t.first_block = at;
  } else if (!pwrite_all(fd_, &at, 8, t.last_block, errno_)) {
    return;
  }
  t.last_block = at;
  t.pending.clear();
}

bool SpeedscopeSpill::write_events(const ThreadSpill& t, Sink& out) {
  std::string block, text;
  uint64_t ts = 0;
  bool first = true;
  auto emit = [&](std::string_view events) {
    const uint8_t* p = wire::begin_of(events);
    const uint8_t* end = wire::end_of(events);
    while (p < end) {
      uint64_t word = 0, delta = 0;
      p = wire::read_varint(p, end, word);
      if (p != nullptr) p = wire::read_varint(p, end, delta);
      if (p == nullptr) return false;  // only if the disk handed back other bytes
      ts += delta;
      text.clear();
      text += first ? "\n{\"type\":\"" : ",\n{\"type\":\"";
      first = false;
      text += (word & 1) != 0 ? "C" : "O";
      text += "\",\"frame\":" + std::to_string(word >> 1) + ",\"at\":" + std::to_string(ts) + "}";
      out.write(text);
    }
    return true;
  };
  for (uint64_t at = t.first_block; at != UINT64_MAX;) {
    char header[kHeader];
    uint32_t len;
    if (!pread_all(fd_, header, kHeader, at, errno_)) return false;
    std::memcpy(&len, header + 8, 4);
    block.resize(len);
    if (!pread_all(fd_, block.data(), len, at + kHeader, errno_)) return false;
    if (!emit(block)) {
      errno_ = EIO;
      return false;
    }
    std::memcpy(&at, header, 8);
  }
  return emit(t.pending);
}

uint64_t SpeedscopeSpill::estimate(const Trace& trace) const {
  // ,\n{"type":"O","frame":F,"at":T} with F and T about as long as the
  // largest of each; frames about as long as their names and files.
  const uint64_t per_event = 29 + std::to_string(trace.functions.size()).size() +
                             std::to_string(trace.last_ts).size();
  uint64_t frames = 0;
  for (const Function& f : trace.functions) frames += 40 + f.name.size() + f.file.size();
  return events_ * per_event + frames;
}

core::Status SpeedscopeSpill::write(const Trace& trace, Sink& out) {
  auto failed = [&]() {
    return core::IoError::other("cannot write a temporary file in " +
                                (dir_.empty() ? std::string(".") : dir_) + ": " +
                                std::strerror(errno_));
  };
  if (errno_ != 0) return failed();
  std::string head = "{\"$schema\":\"https://www.speedscope.app/file-format-schema.json\",\n";
  head += "\"shared\":{\"frames\":[";
  for (size_t i = 0; i < trace.functions.size(); ++i) {
    const Function& f = trace.functions[i];
    head += i == 0 ? "\n{\"name\":" : ",\n{\"name\":";
    format::push_json_string(head, frame_label(f));
    if (!f.file.empty() && !f.span) {
      head += ",\"file\":";
      format::push_json_string(head, f.file);
      if (f.line != 0) head += ",\"line\":" + std::to_string(f.line);
    }
    head += "}";
  }
  head += "]},\n\"profiles\":[";
  out.write(head);

  size_t profiles = 0, active = 0;
  uint64_t most = 0;
  for (const Thread& t : trace.threads) {
    if (t.slices == 0 || t.id >= threads_.size()) continue;
    if (t.traced_ns > most || profiles == 0) {
      most = t.traced_ns;
      active = profiles;
    }
    std::string p = profiles == 0 ? "\n" : ",\n";
    p += "{\"type\":\"evented\",\"name\":";
    format::push_json_string(p, thread_title(t));
    p += ",\"unit\":\"nanoseconds\",\"startValue\":" + std::to_string(trace.first_ts) +
         ",\"endValue\":" + std::to_string(trace.last_ts) + ",\"events\":[";
    out.write(p);
    if (!write_events(threads_[t.id], out)) return failed();
    out.write("]}");
    ++profiles;
  }
  std::string tail = "],\n\"name\":";
  format::push_json_string(tail, sanitize_utf8(trace.path));
  tail += ",\"activeProfileIndex\":" + std::to_string(active) + ",\"exporter\":\"morvex\"}\n";
  out.write(tail);
  return {};
}

}  // namespace morvex::reader
