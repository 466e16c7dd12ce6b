#include "core/recorder.h"

#include <cxxabi.h>
#include <pthread.h>

#include <mutex>
#include <new>
#include <vector>

#include "core/evqueue.h"

extern "C" void* __dso_handle;

namespace morvex::core {

constinit thread_local Hot HOT __attribute__((tls_model("initial-exec")));

namespace {

enum class CellState : uint8_t { Uninit, Alive, Destroyed };

// COLD with explicit lifetime: a plain C++ thread_local with a destructor
// would hide the destroyed state, which events during thread teardown must
// be able to see.
struct ColdCell {
  CellState state = CellState::Uninit;
  alignas(Cold) unsigned char storage[sizeof(Cold)] = {};

  Cold* get() { return std::launder(reinterpret_cast<Cold*>(storage)); }
};
constinit thread_local ColdCell COLD __attribute__((tls_model("initial-exec")));

struct Registry {
  std::mutex mu;
  std::vector<Recorder> list;
};

// Never destroyed: threads may still exit (and deregister) while static
// destructors run.
Registry& recorders() {
  static Registry* r = new Registry;
  return *r;
}

// Holding the registry across fork() means the child never inherits it
// locked by a thread that does not exist there. Holders are short: the
// interpreter lock keeps register_current and flush_every_thread out while
// the forking thread holds it, and a thread-exit destructor does not wait.
void install_fork_guard() {
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_atfork([] { recorders().mu.lock(); }, [] { recorders().mu.unlock(); },
                   [] { recorders().mu.unlock(); });
  });
}

// Whether `cold` is listed, in O(1); caller holds the mutex. An entry that
// forget_other_threads dropped is not there any more.
bool listed(const Registry& r, const Cold* cold) {
  size_t at = cold->registry_index;
  return at < r.list.size() && r.list[at].cold == cold;
}

// O(1): the last entry takes the leaving one's place. Caller holds the mutex.
void remove_entry(Registry& r, Cold* cold) {
  if (!listed(r, cold)) return;
  size_t at = cold->registry_index;
  r.list[at] = r.list.back();
  r.list[at].cold->registry_index = at;
  r.list.pop_back();
}

void destroy_cold(void*) {
  ColdCell& cell = COLD;
  Cold* cold = cell.get();
  cell.state = CellState::Destroyed;
  {
    // The last batch is handed over (or its loss counted) and the entry
    // removed in one hold of the mutex. A run ending meanwhile (this thread
    // need not have been joined) then either flushes the batch itself, the
    // entry still being there, or finds it in the ring, or counted, before it
    // closes the queue: handed over after the entry went, it could land after
    // the run's final drain, lost uncounted. In a lossless run this may wait
    // for room with the mutex held; the pipeline that makes room never takes
    // it.
    Registry& r = recorders();
    std::lock_guard lock(r.mu);
    // A run must never under-report loss: count what a full ring refused.
    if (uint64_t lost = Cold::flush_partial(*cold, HOT); lost != 0) {
      if (auto q = cold->queue.lock()) q->add_dropped(lost);
    }
    remove_entry(r, cold);
  }
  cold->~Cold();
  // Nothing may write into the freed batch: every later event takes the slow
  // path, which finds COLD destroyed and records nothing.
  HOT.cursor = nullptr;
  HOT.end = nullptr;
  HOT.queue_id = 0;
  HOT.codes = nullptr;
  HOT.last_code = UINTPTR_MAX;
}

}  // namespace

Cold* cold_state() {
  ColdCell& cell = COLD;
  if (cell.state == CellState::Alive) return cell.get();
  if (cell.state == CellState::Destroyed) return nullptr;
  new (cell.storage) Cold();
  cell.state = CellState::Alive;
  __cxxabiv1::__cxa_thread_atexit(destroy_cold, nullptr, &__dso_handle);
  return cell.get();
}

CodeSlot* code_cache() {
  Cold* cold = cold_state();
  if (cold == nullptr) return nullptr;
  if (!cold->codes) cold->codes = std::make_unique<CodeSlot[]>(kCodeSlots);
  return cold->codes.get();
}

namespace {

// HOT writes from the start of `b` on.
void aim(Hot& hot, EventBatch& b) {
  hot.cursor = b.begin_ptr();
  hot.end = b.end_ptr();
  hot.base = b.base;
}

}  // namespace

void Cold::install(std::unique_ptr<EventBatch> b, Hot& hot) {
  aim(hot, *b);
  batch = std::move(b);
}

uint64_t Cold::flush_partial(Cold& cold, Hot& hot) {
  if (!cold.batch) return 0;
  EventBatch& old = *cold.batch;
  old.len = static_cast<uint32_t>(hot.cursor - old.begin_ptr());
  if (!cold.producer || old.len == 0) {
    aim(hot, old);
    return 0;
  }
  std::unique_ptr<EventBatch> full = std::move(cold.batch);
  cold.install(std::make_unique<EventBatch>(full->base, full->tid), hot);
  // A lossless run waits for room here too: at the end of a run and when a
  // thread exits, the pipeline is still there.
  std::shared_ptr<EventQueue> q = cold.queue.lock();
  if (q ? q->hand_over(cold.producer, full, true) : cold.producer.try_push(full)) {
    cold.loss.clear();
    return 0;
  }
  // Refused even the spare slot: nothing of this run follows on the thread
  // to tell of it, so it is only counted.
  return full->event_count();
}

void register_current() {
  install_fork_guard();
  Cold* cold = cold_state();
  if (cold == nullptr) return;
  Registry& r = recorders();
  std::lock_guard lock(r.mu);
  if (listed(r, cold)) return;
  cold->registry_index = r.list.size();
  r.list.push_back({cold, &HOT});
}

uint64_t flush_every_thread() {
  Registry& r = recorders();
  std::lock_guard lock(r.mu);
  uint64_t lost = 0;
  for (const Recorder& e : r.list) {
    lost += Cold::flush_partial(*e.cold, *e.hot);
    e.hot->last_code = UINTPTR_MAX;
  }
  return lost;
}

void forget_last_codes() {
  Registry& r = recorders();
  std::lock_guard lock(r.mu);
  for (const Recorder& e : r.list) e.hot->last_code = UINTPTR_MAX;
}

void forget_other_threads() {
  Cold* own = cold_state();
  Registry& r = recorders();
  std::lock_guard lock(r.mu);
  std::erase_if(r.list, [own](const Recorder& e) { return e.cold != own; });
  if (own != nullptr) own->registry_index = 0;
  HOT.last_code = UINTPTR_MAX;
}

void forget_code_everywhere(uintptr_t address) {
  Registry& r = recorders();
  std::lock_guard lock(r.mu);
  for (const Recorder& e : r.list) {
    if (e.hot->last_code == address) e.hot->last_code = UINTPTR_MAX;
    if (e.cold->codes) {
      CodeSlot& slot = e.cold->codes[code_slot(address)];
      if (slot.address == address) slot = {};
    }
  }
}

std::mutex& recorders_mutex() { return recorders().mu; }

size_t recorder_count() {
  Registry& r = recorders();
  std::lock_guard lock(r.mu);
  return r.list.size();
}

}  // namespace morvex::core
