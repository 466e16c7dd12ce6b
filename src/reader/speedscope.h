// `morvex convert` to speedscope (https://www.speedscope.app): a document of
// the published file format with one evented profile per thread, named
// "THREAD (pid P, tid T)", in nanoseconds on the trace's clock, the frames
// shared between profiles ("[span] NAME" for user spans; file and line where
// the trace knows them).
//
// Events come from the read itself: SpeedscopeSpill is the read's
// SliceObserver and keeps each thread's opens and closes in a temporary
// file (unlinked as soon as it is made) in blocks of a few KiB chained per
// thread, so that memory stays bounded while the output, which lists every
// event, grows with the trace. The events of a profile are nested, in time
// order, and every frame opened is closed by the profile's endValue.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/ioerror.h"
#include "reader/builder.h"
#include "reader/model.h"
#include "reader/sink.h"

namespace morvex::reader {

class SpeedscopeSpill final : public SliceObserver {
 public:
  // The temporary file goes into `dir`. Errors read "cannot write DIR: ...".
  static core::Result<SpeedscopeSpill> create(const std::string& dir);

  SpeedscopeSpill(SpeedscopeSpill&& other) noexcept;
  SpeedscopeSpill& operator=(SpeedscopeSpill&&) = delete;
  SpeedscopeSpill(const SpeedscopeSpill&) = delete;
  ~SpeedscopeSpill() override;

  void open(uint32_t thread, uint32_t function, uint64_t ts, bool) override {
    add(thread, function, ts, false);
  }
  void close(uint32_t thread, uint32_t function, uint64_t ts) override {
    add(thread, function, ts, true);
  }

  // The document, once `trace` (read with this observer) is complete.
  core::Status write(const Trace& trace, Sink& out);
  // About the bytes write() will write.
  uint64_t estimate(const Trace& trace) const;

 private:
  struct ThreadSpill {
    uint64_t first_block = UINT64_MAX;  // offsets in the file
    uint64_t last_block = UINT64_MAX;
    uint64_t last_ts = 0;
    std::string pending;  // encoded events not yet in a block
  };

  SpeedscopeSpill(int fd, std::string dir);
  void add(uint32_t thread, uint32_t function, uint64_t ts, bool close);
  void spill(ThreadSpill& t);
  bool write_events(const ThreadSpill& t, Sink& out);

  int fd_ = -1;
  std::string dir_;
  uint64_t file_end_ = 0;
  uint64_t events_ = 0;
  int errno_ = 0;                     // first failed write or read of the spill file
  std::vector<ThreadSpill> threads_;  // by the builder's thread id
};

}  // namespace morvex::reader
