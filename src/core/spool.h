// The raw batches of a spooled run, kept in a file without a name until the
// run ends. While the program runs, the serializer only appends each batch
// it takes from the rings, as the traced thread wrote it; decoding, nesting
// repair and encoding happen once the run has ended, by reading the batches
// back in the order they were taken. That moves nearly all of the writer
// threads' work out of the program's time, for a program that has no spare
// CPU to give them.
//
// The file lies beside the trace (the place the user chose for a trace's
// bytes; /tmp may be memory) and has no name, so nothing of it outlives the
// process. Memory stays bounded: one buffer of kBuffer bytes.
//
// A batch that cannot be appended (the disk is full) is not taken: the
// caller reads back what is held and goes on without a spool.
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
  static constexpr size_t kBuffer = 1 << 20;

  // A spool in `dir`; an error when no file can be made there.
  static Result<std::shared_ptr<Spool>> create(const std::string& dir);

  // Takes ownership of a descriptor open for reading and writing.
  explicit Spool(int fd);
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;
  ~Spool();

  // False, with nothing taken, when the batch could not be kept; the spool
  // takes nothing after that.
  bool append(const EventBatch& batch);
  bool failed() const { return failed_; }
  uint64_t events() const { return events_; }

  // Hands every batch held to `each`, in the order appended, and empties the
  // spool. False with a reason when the held batches can't be read back
  // whole: those not handed over are lost, and counted by the caller.
  Status drain(const std::function<void(const EventBatch&)>& each);

 private:
  bool flush();

  int fd_;
  std::vector<uint8_t> buffer_;
  uint64_t written_ = 0;  // bytes in the file, each batch whole
  uint64_t events_ = 0;   // events held, in the file or the buffer
  bool failed_ = false;
};

}  // namespace morvex::core
