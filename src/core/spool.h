// The raw batches of a spooled run, kept until the run ends. While the
// program runs, the serializer only hands over each batch it takes from the
// rings, as the traced thread wrote it; decoding, nesting repair and
// encoding happen once the run has ended, on the batches read back in the
// order they were taken. That moves nearly all of the writer threads' work
// out of the program's time, for a program that has no spare CPU to give
// them.
//
// The first kMemory bytes are kept in memory, in chunks of kChunk bytes; the
// batches themselves go back to the allocator, to be the traced threads'
// next ones. A page's first touch is a fault, slow in a virtual machine and
// slower still for a huge page (zeroed, perhaps compacted for, at once): a
// serializer held up by faults lets the rings overflow. So the next chunk
// is touched ahead of need, a little at a time while the serializer is
// idle (prepare), in ordinary pages, and the first one before the run. What comes after goes
// to a file without a name beside the trace (the place the user chose for a
// trace's bytes; /tmp may be memory), through one buffer of kBuffer bytes,
// so memory stays bounded and nothing of the file outlives the process.
//
// A batch that cannot be kept (the disk is full) is not taken: the caller
// reads back what is held and goes on without a spool.
//
// Threads: a Spool belongs to the serializer thread alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/ioerror.h"

namespace morvex::core {

class Spool {
 public:
  static constexpr size_t kMemory = size_t{64} << 20;
  static constexpr size_t kChunk = size_t{2} << 20;
  static constexpr size_t kBuffer = size_t{1} << 20;
  // Touched when the spool is made, before the run begins.
  static constexpr size_t kFirstTouch = size_t{1} << 20;

  // A spool whose file, once needed, is made in `dir`; an error when no
  // file can be made there.
  static Result<std::shared_ptr<Spool>> create(const std::string& dir);

  // Takes ownership of a descriptor open for reading and writing; keeps up
  // to `memory` bytes in memory, in chunks of `chunk` bytes, before the file
  // is used.
  explicit Spool(int fd, size_t memory = kMemory, size_t chunk = kChunk);
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;
  ~Spool();

  // Keeps a copy of the batch; false, with nothing kept, when it could not.
  // Keeps nothing after that.
  bool append(const EventBatch& batch);
  bool failed() const { return failed_; }
  // Touches up to `bytes` more of the memory the next batches will need.
  void prepare(size_t bytes);
  uint64_t events() const { return events_; }

  // Hands every batch held to `each`, in the order appended, and empties the
  // spool. False with a reason when the held batches can't be read back
  // whole: those not handed over are lost, and counted by the caller.
  Status drain(const std::function<void(const EventBatch&)>& each);

 private:
  struct FreeChunk {
    void operator()(uint8_t* p) const;
  };
  struct Chunk {
    std::unique_ptr<uint8_t, FreeChunk> bytes;
    size_t used = 0;
    size_t touched = 0;  // pages touched ahead of use, from the start
  };

  bool allocate(Chunk& c);
  bool flush();
  // Room for `size` more bytes in memory; null when memory is full (or the
  // file has been started: the order is memory's batches, then the file's).
  uint8_t* memory_room(size_t size);

  int fd_;
  const size_t memory_;
  const size_t chunk_;
  std::vector<Chunk> chunks_;
  Chunk next_;  // the chunk to use next, once allocated
  std::vector<uint8_t> buffer_;
  uint64_t written_ = 0;  // bytes in the file, each batch whole
  uint64_t events_ = 0;   // events held, in memory, the file or the buffer
  bool failed_ = false;
};

}  // namespace morvex::core
