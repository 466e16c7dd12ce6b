// Per-thread recorders, and the per-event path that writes into them.
//
// Each recording thread owns three thread-locals:
//   HOT   - what the per-event path reads and writes: the write cursor and the
//           few values that decide whether the fast path may be taken. It is
//           constant-initialised with no destructor, so reaching it is one
//           TLS-relative access with no guard.
//   COLD  - the thread's ring producer and current batch, touched once per
//           batch. Created on first use, destroyed at thread exit.
//   CODES - a 256-slot code-object cache maintained by the monitoring hookup.
//           4 KiB is too big for the static TLS block an initial-exec module
//           may claim, so the table lives on the heap, owned by COLD.
//
// RECORDERS lists every thread's recorder so the end of a run can hand over
// every partial batch, and a forked child can forget the threads that did
// not survive the fork.
//
// Threads: HOT, COLD and CODES are touched by their own thread only, except
// by flush_every_thread, whose caller guarantees that no thread is inside the
// recording path (monitoring is off and the caller holds the interpreter
// lock, which every callback needs). RECORDERS has its own mutex, never held
// together with a queue mutex; an exiting thread hands its last batch over
// while holding it, so a thread is unlisted only once its events are in the
// ring (or counted as lost).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <type_traits>

#include "core/event.h"
#include "core/loss.h"
#include "core/ring.h"

namespace morvex::core {

class EventQueue;

struct CodeSlot;

// One cache line: everything an event reads, in the order it reads it.
struct alignas(64) Hot {
  PackedEvent* cursor = nullptr;  // next free record of the current batch
  PackedEvent* end = nullptr;     // end of the current batch's buffer
  uint64_t base = 0;              // raw time of the batch's first record
  uint64_t queue_id = 0;          // bound queue (0: none)
  uintptr_t last_code = UINTPTR_MAX;
  // The thread's CODES, valid while queue_id is a live run's: what the
  // single-entry cache misses on is looked up here without leaving the
  // per-event path.
  CodeSlot* codes = nullptr;
  uint32_t last_code_id = UINT32_MAX;
  uint32_t tid = UINT32_MAX;  // the id its events carry; all ones: not yet obtained
  uint32_t depth = 0;         // recorded frames open, kept only under a maximum depth
                              // or within an asyncio task's step
  uint8_t name_attempts = 0;
  bool settled = false;  // named, or out of attempts: the caches may serve it
};
static_assert(std::is_trivially_destructible_v<Hot>);
static_assert(sizeof(Hot) == 64);

// A shared object's default TLS model goes through __tls_get_addr on every
// access; initial-exec makes HOT one %fs-relative load on the per-event path.
extern constinit thread_local Hot HOT __attribute__((tls_model("initial-exec")));

// ---- the per-event path ----------------------------------------------------

// Stores one event the fast path could not: the batch is full, the delta
// does not fit 32 bits, or the thread is bound to another queue (the first
// event of a run binds it). Defined with the queue, whose lanes it feeds.
// Never fails, never waits for the consumer.
void slow_path(EventQueue& q, Hot& hot, uint64_t now, uint32_t tid, uint32_t word);

// The per-event store: one bounds test, one 32-bit range test and an 8-byte
// store. False when the event needs slow_path instead (a full batch, or a
// time that does not fit the batch's 32-bit deltas).
inline bool try_store(Hot& hot, uint64_t now, uint32_t word) {
  // The delta is taken once; its high half tells whether it fits.
  const uint64_t delta = now - hot.base;
  if (hot.cursor < hot.end && (delta >> 32) == 0) [[likely]] {
    *hot.cursor = PackedEvent{static_cast<uint32_t>(delta), word};
    ++hot.cursor;
    return true;
  }
  return false;
}

// Records one event on the calling thread, whose recorder is `hot`.
inline void record(EventQueue& q, uint64_t queue_id, Hot& hot, uint64_t now, uint32_t word) {
  if (hot.queue_id != queue_id || !try_store(hot, now, word)) slow_path(q, hot, now, hot.tid, word);
}

// Records a user event: its header, then its payload records right after
// it in the same batch. `payload` holds at most kMaxPayloadBytes / 8 records.
void record_user(EventQueue& q, uint64_t queue_id, Hot& hot, uint64_t now, EventKind kind,
                 std::span<const uint64_t> payload);

struct CodeSlot {
  uint64_t address = 0;  // 0: empty
  uint32_t code_id = 0;
};
inline constexpr size_t kCodeSlots = 256;

// The slot of a code object's address: the top 8 bits of a Fibonacci hash.
inline size_t code_slot(uintptr_t address) {
  return static_cast<size_t>((uint64_t{address} * 0x9E3779B97F4A7C15ull) >> 56);
}

using BatchRing = SpscRing<EventBatch, 64>;

struct Cold {
  uint64_t queue_id = 0;  // queue whose ring `producer` belongs to (0: none)
  BatchRing::Producer producer;
  std::unique_ptr<EventBatch> batch;
  // The events discarded since the last batch that got through; while not
  // empty, `batch` starts with its Lost record.
  LossSummary loss;
  // Where events lost at thread exit are counted; expires with the run.
  std::weak_ptr<EventQueue> queue;
  std::unique_ptr<CodeSlot[]> codes;
  // Its place in RECORDERS if listed (it is, when the entry there is its
  // own), guarded by the registry's mutex.
  size_t registry_index = 0;
  // The kernel's id of the thread, and the id its events carry in the run
  // `keyed_queue`: they differ when that run saw an earlier thread with the
  // same kernel id.
  uint32_t os_tid = UINT32_MAX;
  uint32_t key = 0;
  uint64_t keyed_queue = 0;

  // Hands the batch `hot` writes into over to the ring if it holds events,
  // as the thread's last for now: it may take the ring's spare slot. Returns
  // the number of events discarded because the ring was full.
  static uint64_t flush_partial(Cold& cold, Hot& hot);

  // Points `hot` at the start of `batch`, which becomes the current one.
  void install(std::unique_ptr<EventBatch> b, Hot& hot);
};

// The calling thread's COLD, created on first use; nullptr once the thread is
// being torn down and COLD was destroyed.
Cold* cold_state();

// The calling thread's CODES table (kCodeSlots entries), nullptr during
// thread teardown.
CodeSlot* code_cache();

struct Recorder {
  Cold* cold;
  Hot* hot;
};

// Lists the calling thread's recorder once.
void register_current();

// Hands every registered thread's partial batch to its ring; returns the sum
// of events discarded because a ring was full. Every thread's single-entry
// code cache is emptied too: the callbacks trust a hit without asking which
// run the thread is bound to, and after a flush the next run may begin.
uint64_t flush_every_thread();

// Empties every registered thread's single-entry code cache. The caller
// guarantees that no thread is inside the recording path.
void forget_last_codes();

// In a freshly forked child: forget every recorder but the calling thread's,
// and the calling thread's single-entry code cache (a new run begins).
void forget_other_threads();

// Clears every thread's caches of a code object that died, so that a new
// one at its address is not taken for it. The caller guarantees that no
// thread is inside the recording path, as for flush_every_thread.
void forget_code_everywhere(uintptr_t address);

// Number of registered recorders (tests and diagnostics).
size_t recorder_count();

// The registry's mutex, for tests that must hold it across a fork.
std::mutex& recorders_mutex();

}  // namespace morvex::core
