#include "core/pipeline.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "core/slices.h"
#include "core/spool.h"
#include "core/thread.h"

namespace morvex::core {

namespace {

using std::chrono::microseconds;

// Idle polling: 20, 40, 80, 160, 200, 200, ... microseconds.
class Backoff {
 public:
  void reset() { wait_ = kFirst; }
  void sleep() { std::this_thread::sleep_for(next()); }
  microseconds next() {
    const microseconds now = wait_;
    wait_ = std::min(wait_ * 2, kCap);
    return now;
  }

 private:
  static constexpr microseconds kFirst{20};
  static constexpr microseconds kCap{200};
  microseconds wait_ = kFirst;
};

// What the serializer leaves for the exporter thread. `done` is stored with
// release after everything else, so reading it with acquire makes `lost`,
// `panicked` and every vector pushed to `filled` visible.
struct SerializerOutcome {
  std::atomic<bool> done{false};
  // Counts vectors pushed to `filled`, and the end: the exporter thread
  // sleeps on it rather than polling, which a program with no spare CPU
  // would pay for. Bumped after the push (or `done`) it tells of, so a
  // value read before looking at `filled` can't miss one.
  std::atomic<uint32_t> signals{0};
  void signal() {
    signals.fetch_add(1, std::memory_order_release);
    signals.notify_one();
  }
  bool panicked = false;
  uint64_t lost = 0;
  uint64_t short_events = 0;
  // The exporter thread stopped taking vectors (a write failed): a lossless
  // serializer stops waiting for it.
  std::atomic<bool> exporter_gone{false};
};

class Serializer {
 public:
  Serializer(EventQueue& queue, VecRing::Producer& filled, VecRing::Consumer& recycled,
             uint64_t min_duration_ns, SerializerOutcome& outcome, std::shared_ptr<Spool> spool)
      : queue_(queue),
        filled_(filled),
        recycled_(recycled),
        shaper_(min_duration_ns),
        outcome_(outcome),
        spool_(std::move(spool)) {
    raw_.reserve(kVecCapacity + EventBatch::kCapacity);
  }

  void run() {
    v_ = fresh();
    queue_.serving();
    Backoff idle;
    for (;;) {
      if (drain_once()) {
        idle.reset();
        continue;
      }
      // Only after a drain came back empty: whatever was handed over before
      // close() is then caught by the final drains.
      if (queue_.is_closed()) {
        while (drain_once()) {
        }
        if (spool_) replay();
        v_->clear();
        shaper_.finish(*v_);
        if (!v_->empty()) deliver();
        outcome_.short_events = shaper_.short_events();
        return;
      }
      // Idle: the spool's next pages are touched now, not while the rings fill.
      if (spool_) spool_->prepare(kPrepareBytes);
      queue_.idle_wait(idle.next());
    }
  }

 private:
  static std::unique_ptr<EventVec> fresh() {
    auto v = std::make_unique<EventVec>();
    v->reserve(kVecCapacity);
    return v;
  }

  // One drain, shaped and handed on (or spooled); false when the queue had
  // nothing.
  bool drain_once() {
    raw_.clear();
    if (spool_) return spool_once();
    if (queue_.drain_nonblocking(raw_, EventQueue::kDrainLimit) == 0) return false;
    shape_raw();
    return true;
  }

  void shape_raw() {
    v_->clear();
    if (queue_.hurried()) [[unlikely]] {
      discard_raw();
    } else {
      shaper_.process(raw_, *v_);
    }
    if (!v_->empty()) deliver();
    raw_.clear();
  }

  bool spool_once() {
    // Batches the spool refuses are decoded here, to follow what it holds.
    size_t taken = queue_.drain_batches(
        [&](const EventBatch& batch) {
          if (!spool_->append(batch)) decode_into(batch, queue_.clock(), late_);
        },
        EventQueue::kDrainLimit);
    if (spool_->failed()) {
      // From here on without a spool: what it holds first, then the rest.
      replay();
      raw_.swap(late_);
      shape_raw();
    }
    return taken != 0;
  }

  // Everything the spool holds, in the order it was taken from the rings,
  // as the drains would have handed it on.
  void replay() {
    replaying_ = true;
    Status read = spool_->drain([&](const EventBatch& batch) {
      decode_into(batch, queue_.clock(), raw_);
      if (raw_.size() >= EventQueue::kDrainLimit) shape_raw();
    });
    shape_raw();
    // A spool that can't be read back loses what is left of it, counted.
    if (!read.ok()) outcome_.lost += spool_->events();
    spool_.reset();
    replaying_ = false;
  }

  // What is left once the program will not wait: counted, not written; the
  // slices it would have ended end with each thread's last written event.
  void discard_raw() {
    if (!ended_everything_) {
      shaper_.end_everything(*v_);
      ended_everything_ = true;
    }
    for (const Event& e : raw_) {
      // Payload records are not events; a Lost record's were counted by its
      // thread already.
      const uint8_t kind = e.kind();
      outcome_.lost +=
          kind != 0 && kind != static_cast<uint8_t>(EventKind::Lost) && !is_task_marker(kind);
    }
  }

  // Hands v_ on, waiting for room in `filled` as long as the exporter
  // thread is there to make it. Events are shaped by now: dropping some here
  // would break the nesting, and the gap could not be marked. While this
  // waits the rings fill, and the traced threads lose whole batches where
  // their loss is told (or wait, in a lossless run).
  void deliver() {
    Backoff wait;
    while ((filled_.full() || (replaying_ && filled_.pending() >= kReplayAhead)) &&
           !outcome_.exporter_gone.load(std::memory_order_acquire))
      wait.sleep();
    v_ = ship(filled_, recycled_, std::move(v_), outcome_.lost);
    outcome_.signal();
  }

  EventQueue& queue_;
  VecRing::Producer& filled_;
  VecRing::Consumer& recycled_;
  SliceShaper shaper_;
  SerializerOutcome& outcome_;
  // A replay runs ahead of the exporter thread by this many vectors at
  // most: the spool is read far faster than it is written out, and every
  // vector more is memory the program's end pays page faults for.
  static constexpr size_t kReplayAhead = 4;
  // What an idle serializer touches of the spool's next chunk: 64 pages
  // every 200 us at least, more than the fastest threads fill.
  static constexpr size_t kPrepareBytes = 256 * 1024;
  std::shared_ptr<Spool> spool_;  // while the run spools its batches
  bool replaying_ = false;
  EventVec raw_;
  EventVec late_;
  std::unique_ptr<EventVec> v_;
  bool ended_everything_ = false;
};

}  // namespace

std::unique_ptr<EventVec> ship(VecRing::Producer& filled, VecRing::Consumer& recycled,
                               std::unique_ptr<EventVec> v, uint64_t& lost) {
  if (!filled.try_push(v)) {
    lost += v->size();
    return v;
  }
  if (std::unique_ptr<EventVec> r = recycled.try_pop()) return r;
  auto fresh = std::make_unique<EventVec>();
  fresh->reserve(kVecCapacity);
  return fresh;
}

Status run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> code,
                    std::shared_ptr<const ThreadNames> threads, std::unique_ptr<Exporter> exporter,
                    PipelineOptions options) {
  auto [filled_in, filled_out] = VecRing::make();
  auto [recycled_in, recycled_out] = VecRing::make();
  auto outcome = std::make_shared<SerializerOutcome>();
  Result<std::thread> spawned = spawn_named(
      "morvex-serializer",
      [queue, outcome, filled = std::move(filled_in), recycled = std::move(recycled_out),
       min_ns = options.filters.min_duration_ns.value_or(0), spool = options.spool]() mutable {
        try {
          Serializer(*queue, filled, recycled, min_ns, *outcome, std::move(spool)).run();
        } catch (...) {
          outcome->panicked = true;
        }
        // Nothing drains the rings any more: threads of a lossless run that
        // still find theirs full must not wait. Then let go of the queue
        // before announcing the end.
        queue->abandon();
        queue.reset();
        outcome->done.store(true, std::memory_order_release);
        outcome->signal();
      });
  if (!spawned.ok()) return IoError::other("spawn serializer: " + spawned.error().text());
  std::thread serializer = std::move(spawned.value());

  // Writes every vector the serializer has filled so far, handing each back
  // for reuse; false once a write failed, the serializer being told and let go.
  Status failed;
  auto write_filled = [&](size_t& written) {
    while (std::unique_ptr<EventVec> v = filled_out.try_pop()) {
      Status st = exporter->write_batch(*v, *code, *threads);
      if (!st.ok()) {
        // The serializer ends on its own once the queue is closed.
        outcome->exporter_gone.store(true, std::memory_order_release);
        serializer.detach();
        failed = std::move(st);
        return false;
      }
      if (!recycled_in.try_push(v)) v.reset();
      ++written;
    }
    return true;
  };
  for (;;) {
    // The signal count before `filled` is looked at: a vector pushed after
    // that look changes it, and the wait below returns at once.
    const uint32_t signals = outcome->signals.load(std::memory_order_acquire);
    // `done` first: whatever was filled before it is then written below.
    const bool serializer_done = outcome->done.load(std::memory_order_acquire);
    size_t written = 0;
    if (!write_filled(written)) return failed;
    if (serializer_done) {
      serializer.join();
      if (outcome->panicked) return IoError::other("serializer panicked");
      queue->add_unwritten(outcome->lost);
      RunEnd end{queue->counts().lost(), std::nullopt};
      if (options.filters.any()) {
        FilterReport report{options.filters, 0, 0, outcome->short_events};
        if (options.counters) {
          report.functions = options.counters->functions.load(std::memory_order_relaxed);
          report.depth_events = options.counters->depth_events.load(std::memory_order_relaxed);
        }
        end.filters = std::move(report);
      }
      return exporter->finish(*code, *threads, end);
    }
    if (written == 0) outcome->signals.wait(signals, std::memory_order_acquire);
  }
}

}  // namespace morvex::core
