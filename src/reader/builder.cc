#include "reader/builder.h"

#include <algorithm>
#include <cmath>

#include "reader/text.h"

namespace morvex::reader {

uint32_t Builder::function(std::string_view name, std::string_view file, uint32_t line, bool span) {
  key_.clear();
  key_.push_back(span ? 'S' : 'F');
  key_.append(reinterpret_cast<const char*>(&line), sizeof line);
  key_.append(name);
  key_.push_back('\0');
  key_.append(file);
  uint32_t id = function_index_.find(key_);
  if (id != StringIndex::kMissing) return id;
  id = static_cast<uint32_t>(functions_.size());
  // Perfetto interns "" for a code object without a name; JSON says "<unknown>".
  functions_.push_back(Function{name.empty() ? std::string("<unknown>") : sanitize_utf8(name),
                                sanitize_utf8(file), line, span});
  function_index_.insert(key_, id);
  if (options_.observer != nullptr) options_.observer->function_added(id, functions_.back());
  return id;
}

uint32_t Builder::process(uint32_t pid) {
  if (const uint32_t* found = process_index_.find(pid)) return *found;
  auto index = static_cast<uint32_t>(processes_.size());
  processes_.push_back(Process{.pid = pid});
  process_index_.insert(pid, index);
  return index;
}

void Builder::set_process_name(uint32_t pid, std::string_view name) {
  processes_[process(pid)].name = sanitize_utf8(name);
}

void Builder::set_anchor(uint32_t pid, uint64_t realtime_ns, std::string_view host) {
  Process& p = processes_[process(pid)];
  p.realtime_ns = realtime_ns;
  p.host = sanitize_utf8(host);
}

uint32_t Builder::thread(uint32_t pid, uint32_t tid) {
  const uint64_t key = (uint64_t{pid} << 32) | tid;
  if (const uint32_t* found = thread_index_.find(key)) return *found;
  process(pid);
  auto id = static_cast<uint32_t>(threads_.size());
  ThreadState state;
  if (options_.tree) {
    state.root = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back(Node{});
    last_child_.push_back(kNone);
  }
  threads_.push_back(std::move(state));
  thread_info_.push_back(Thread{.pid = pid, .tid = tid, .root = threads_.back().root, .id = id});
  thread_index_.insert(key, id);
  if (options_.observer != nullptr) options_.observer->thread_added(id, pid, tid);
  return id;
}

void Builder::set_thread_name(uint32_t thread, std::string_view name) {
  thread_info_[thread].name = sanitize_utf8(name);
}

uint32_t Builder::add_slot(uint32_t thread, uint32_t function, uint64_t key) {
  auto index = static_cast<uint32_t>(slots_.size());
  Slot s;
  s.stats.function = function;
  s.thread = thread;
  slots_.push_back(s);
  slot_index_.insert(key, index);
  return index;
}

void Builder::enter_pair(uint32_t caller_slot, Frame& f, bool call) {
  const uint32_t callee = slots_[f.slot].stats.function;
  const uint64_t key = (uint64_t{caller_slot} << 32) | callee;
  uint32_t* found = pair_index_.find(key);
  if (found == nullptr) {
    found = pair_index_.try_emplace(key, static_cast<uint32_t>(pairs_.size())).first;
    Pair p;
    p.stats.caller = slots_[caller_slot].stats.function;
    p.stats.callee = callee;
    pairs_.push_back(p);
  }
  f.pair = *found;
  Pair& p = pairs_[f.pair];
  p.stats.calls += call;
  if (p.active++ == 0) {
    f.pair_outermost = true;
    p.stats.primitive_calls += call;
  }
}

uint32_t Builder::add_child(uint32_t parent, uint32_t function, uint64_t key) {
  auto node = static_cast<uint32_t>(nodes_.size());
  nodes_.push_back(Node{.function = function, .parent = parent});
  last_child_.push_back(kNone);
  if (last_child_[parent] == kNone) {
    nodes_[parent].first_child = node;
  } else {
    nodes_[last_child_[parent]].next_sibling = node;
  }
  last_child_[parent] = node;
  children_.insert(key, node);
  return node;
}

void Builder::instant(uint32_t thread, uint64_t ts, std::string_view name) {
  if (options_.observer != nullptr) options_.observer->instant(thread, ts, name);
  note_time(ts);
  ++events_;
  ++instants_;
}

uint32_t Builder::counter(uint32_t pid, std::string_view name) {
  key_.assign(reinterpret_cast<const char*>(&pid), sizeof pid);
  key_.append(name);
  uint32_t id = counter_index_.find(key_);
  if (id != StringIndex::kMissing) return id;
  process(pid);
  id = static_cast<uint32_t>(counters_.size());
  counters_.push_back(Counter{.pid = pid, .name = sanitize_utf8(name)});
  counter_index_.insert(key_, id);
  if (options_.observer != nullptr) options_.observer->counter_added(id, counters_.back());
  return id;
}

void Builder::sample(uint32_t counter, uint64_t ts, double value) {
  if (options_.observer != nullptr) options_.observer->sample(counter, ts, value);
  note_time(ts);
  ++events_;
  Counter& c = counters_[counter];
  c.last = value;
  ++c.samples;
  // A NaN compares false with everything: taken into the range, it would
  // stick there for good.
  if (std::isnan(value)) {
    ++c.nan_samples;
    return;
  }
  const bool first = c.samples - c.nan_samples == 1;
  if (first || value < c.min) c.min = value;
  if (first || value > c.max) c.max = value;
}

void Builder::add_dropped(uint32_t pid, uint64_t count) {
  Process& p = processes_[process(pid)];
  p.dropped = count > UINT64_MAX - p.dropped ? UINT64_MAX : p.dropped + count;
}

void Builder::set_filters(uint32_t pid, const FilterInfo& filters) {
  processes_[process(pid)].filters = filters;
}

Trace Builder::finish() {
  Trace trace;
  if (options_.observer != nullptr) options_.observer->ending();
  for (uint32_t id = 0; id < threads_.size(); ++id) {
    ThreadState& t = threads_[id];
    if (!t.stack.empty()) t.last_ts = last_ts_;
    while (!t.stack.empty()) {
      ++trace.open_at_end;
      close_top(id, t, last_ts_);
    }
    Thread& info = thread_info_[id];
    info.traced_ns = t.traced_ns;
    info.first_ts = t.first_ts;
    info.last_ts = t.last_ts;
    info.slices = t.slices;
  }
  for (const Slot& s : slots_) {
    if (s.stats.slices != 0) thread_info_[s.thread].functions.push_back(s.stats);
  }
  // Pairs are kept per calling thread while reading; one per pair remains.
  core::FlatMap<uint64_t, uint32_t> merged;
  for (const Pair& p : pairs_) {
    const uint64_t key = (uint64_t{p.stats.caller} << 32) | p.stats.callee;
    auto [index, fresh] = merged.try_emplace(key, static_cast<uint32_t>(trace.callers.size()));
    if (fresh) {
      trace.callers.push_back(p.stats);
      continue;
    }
    CallerStats& c = trace.callers[*index];
    c.calls += p.stats.calls;
    c.primitive_calls += p.stats.primitive_calls;
    c.total_ns += p.stats.total_ns;
    c.self_ns += p.stats.self_ns;
  }
  // Threads grouped by process, each group in order of first sight. Threads
  // that are only named (JSON names every thread the process registered)
  // are left out.
  std::vector<Thread> threads;
  for (uint32_t id = 0; id < threads_.size(); ++id) {
    if (threads_[id].timed) threads.push_back(std::move(thread_info_[id]));
  }
  std::stable_sort(threads.begin(), threads.end(), [&](const Thread& a, const Thread& b) {
    return *process_index_.find(a.pid) < *process_index_.find(b.pid);
  });
  trace.has_tree = options_.tree;
  trace.has_callers = options_.callers;
  trace.functions = std::move(functions_);
  trace.nodes = std::move(nodes_);
  trace.threads = std::move(threads);
  trace.processes = std::move(processes_);
  trace.counters = std::move(counters_);
  trace.events = events_;
  trace.instants = instants_;
  trace.unmatched_ends = unmatched_ends_;
  trace.skipped_complete = skipped_complete_;
  trace.has_time = has_time_;
  trace.first_ts = first_ts_;
  trace.last_ts = last_ts_;
  return trace;
}

}  // namespace morvex::reader
