#include "core/spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "core/output.h"

namespace morvex::core {

namespace {

// A batch as held: its header as the thread left it, then its records.
constexpr size_t kHeader = offsetof(EventBatch, events);

}  // namespace

Result<std::shared_ptr<Spool>> Spool::create(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    // File systems without unnamed files: a named one, unlinked at once.
    std::string name = dir + "/.morvex-spool-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return IoError::from_errno(errno);
    ::unlink(name.c_str());
  }
  return std::make_shared<Spool>(fd);
}

Spool::Spool(int fd, size_t memory, size_t chunk) : fd_(fd), memory_(memory), chunk_(chunk) {
  // The serializer's first drains find the rings full from the start.
  prepare(kFirstTouch);
}

Spool::~Spool() { ::close(fd_); }

void Spool::FreeChunk::operator()(uint8_t* p) const { std::free(p); }

uint8_t* Spool::memory_room(size_t size) {
  if (written_ != 0 || !buffer_.empty()) return nullptr;
  if (chunks_.empty() || chunks_.back().used + size > chunk_) {
    if ((chunks_.size() + 1) * chunk_ > memory_) return nullptr;
    if (!next_.bytes && !allocate(next_)) return nullptr;
    chunks_.push_back({std::move(next_.bytes), 0, next_.touched});
    next_.touched = 0;
  }
  Chunk& c = chunks_.back();
  uint8_t* at = c.bytes.get() + c.used;
  c.used += size;
  return at;
}

bool Spool::allocate(Chunk& c) {
  c.bytes.reset(static_cast<uint8_t*>(std::malloc(chunk_)));
  c.used = c.touched = 0;
  return c.bytes != nullptr;
}

void Spool::prepare(size_t bytes) {
  if (written_ != 0 || !buffer_.empty() || failed_) return;
  // The rest of the chunk in use first, then the next one.
  Chunk* c = !chunks_.empty() && chunks_.back().touched < chunk_ ? &chunks_.back() : &next_;
  if (c == &next_) {
    if ((chunks_.size() + 1) * chunk_ > memory_) return;
    if (!next_.bytes && !allocate(next_)) return;
  }
  constexpr size_t kPage = 4096;
  const size_t end = std::min(chunk_, c->touched + bytes);
  volatile uint8_t* p = c->bytes.get();
  // Bytes not used yet: the write changes nothing the spool holds.
  for (size_t at = std::max(c->touched, c->used); at < end; at += kPage) p[at] = 0;
  c->touched = std::max(end, c->touched);
}

bool Spool::flush() {
  if (!pwrite_whole(fd_, buffer_.data(), buffer_.size(), written_).ok()) {
    failed_ = true;
    return false;
  }
  written_ += buffer_.size();
  buffer_.clear();
  return true;
}

bool Spool::append(const EventBatch& batch) {
  if (failed_) return false;
  const size_t size = kHeader + size_t{batch.len} * sizeof(PackedEvent);
  uint8_t* to = memory_room(size);
  if (to == nullptr) {
    if (buffer_.size() + size > kBuffer && !flush()) return false;
    if (buffer_.capacity() < kBuffer) buffer_.reserve(kBuffer);
    buffer_.resize(buffer_.size() + size);
    to = buffer_.data() + buffer_.size() - size;
  }
  std::memcpy(to, &batch, size);
  events_ += batch.event_count();
  return true;
}

Status Spool::drain(const std::function<void(const EventBatch&)>& each) {
  auto batch = std::make_unique<EventBatch>(0, 0);
  // What cannot be made sense of is not handed on as events.
  auto take = [&](const uint8_t* header, auto&& read_records) -> Status {
    std::memcpy(static_cast<void*>(batch.get()), header, kHeader);
    if (batch->len > EventBatch::kCapacity || batch->payload > batch->len)
      return IoError::other("spool: a batch is damaged");
    if (Status st = read_records(batch->events, size_t{batch->len} * sizeof(PackedEvent));
        !st.ok())
      return st;
    events_ -= batch->event_count();
    each(*batch);
    return {};
  };
  // Records laid end to end in memory: a chunk, or the file's buffer.
  auto take_all = [&](const uint8_t* bytes, size_t len) -> Status {
    size_t off = 0;
    while (off < len) {
      const uint8_t* header = bytes + off;
      off += kHeader;
      Status st = take(header, [&](void* to, size_t n) -> Status {
        std::memcpy(to, bytes + off, n);
        off += n;
        return {};
      });
      if (!st.ok()) return st;
    }
    return {};
  };
  for (Chunk& c : chunks_) {
    if (Status st = take_all(c.bytes.get(), c.used); !st.ok()) return st;
    c.bytes.reset();  // memory goes back as the replay goes on
  }
  chunks_.clear();
  uint64_t at = 0;
  while (at < written_) {
    uint8_t header[kHeader];
    if (Status st = pread_whole(fd_, header, kHeader, at); !st.ok()) return st;
    at += kHeader;
    Status st = take(header, [&](void* to, size_t n) {
      Status r = pread_whole(fd_, to, n, at);
      at += n;
      return r;
    });
    if (!st.ok()) return st;
  }
  if (Status st = take_all(buffer_.data(), buffer_.size()); !st.ok()) return st;
  buffer_.clear();
  written_ = 0;
  // The blocks go back to the file system at once; if they can't, they do
  // when the file is closed.
  (void)::ftruncate(fd_, 0);
  return {};
}

}  // namespace morvex::core
