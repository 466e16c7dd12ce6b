#include "reader/merge.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>

#include "reader/chrome_json.h"
#include "reader/reader.h"
#include "reader/sink.h"

namespace morvex::reader {

namespace {

// Above the largest pid Linux hands out (pid_max is at most 2^22), so a
// renumbered process never takes the pid of a real one of another input.
constexpr uint32_t kPidStep = uint32_t{1} << 22;

// The anchor of a trace: its earliest process's, as processes that joined
// one trace file share its time 0.
std::optional<uint64_t> anchor_of(const Trace& t, std::string* host) {
  std::optional<uint64_t> best;
  for (const Process& p : t.processes) {
    if (p.realtime_ns && (!best || *p.realtime_ns < *best)) {
      best = p.realtime_ns;
      *host = p.host;
    }
  }
  return best;
}

std::string base_name(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One input's stream into the shared writer: its ids after those of the
// inputs before it, its pids renumbered, its times moved by its offset.
class Shifted final : public SliceObserver {
 public:
  Shifted(ChromeJsonWriter& out, const std::unordered_map<uint32_t, uint32_t>& pids,
          uint64_t offset, uint32_t functions, uint32_t threads, uint32_t counters)
      : out_(out),
        pids_(pids),
        offset_(offset),
        function_base_(functions),
        thread_base_(threads),
        counter_base_(counters) {}

  uint32_t pid(uint32_t old) const {
    auto found = pids_.find(old);
    return found != pids_.end() ? found->second : old;
  }
  // A main thread's tid is its pid, and stays so.
  uint32_t tid(uint32_t old_pid, uint32_t old_tid) const {
    return old_tid == old_pid ? pid(old_pid) : old_tid;
  }

  void open(uint32_t thread, uint32_t function, uint64_t ts, bool call) override {
    out_.open(thread_base_ + thread, function_base_ + function, ts + offset_, call);
  }
  void close(uint32_t thread, uint32_t function, uint64_t ts) override {
    out_.close(thread_base_ + thread, function_base_ + function, ts + offset_);
  }
  void function_added(uint32_t id, const Function& f) override {
    out_.function_added(function_base_ + id, f);
  }
  void thread_added(uint32_t id, uint32_t p, uint32_t t) override {
    out_.thread_added(thread_base_ + id, pid(p), tid(p, t));
  }
  void counter_added(uint32_t id, const Counter& c) override {
    Counter moved = c;
    moved.pid = pid(c.pid);
    out_.counter_added(counter_base_ + id, moved);
  }
  void unmatched_end(uint32_t thread, uint64_t ts) override {
    out_.unmatched_end(thread_base_ + thread, ts + offset_);
  }
  void instant(uint32_t thread, uint64_t ts, std::string_view name) override {
    out_.instant(thread_base_ + thread, ts + offset_, name);
  }
  void sample(uint32_t counter, uint64_t ts, double value) override {
    out_.sample(counter_base_ + counter, ts + offset_, value);
  }
  void ending() override { out_.ending(); }

 private:
  ChromeJsonWriter& out_;
  const std::unordered_map<uint32_t, uint32_t>& pids_;
  uint64_t offset_;
  uint32_t function_base_, thread_base_, counter_base_;
};

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

using PidMap = std::unordered_map<uint32_t, uint32_t>;

// Where each trace goes: its offset and its new pids.
struct Plan {
  MergeResult result;
  std::vector<PidMap> pids;
};

Plan place(const std::vector<const Trace*>& traces) {
  Plan plan;
  MergeResult& result = plan.result;
  plan.pids.resize(traces.size());
  std::set<uint32_t> taken;
  for (size_t i = 0; i < traces.size(); ++i) {
    const Trace& trace = *traces[i];
    PidMap& pid_map = plan.pids[i];
    MergedInput in;
    in.path = trace.path;
    in.realtime_ns = anchor_of(trace, &in.host);
    std::vector<uint32_t> now_taken;
    for (const Process& p : trace.processes) {
      uint32_t pid = p.pid;
      while (taken.count(pid) != 0) pid += kPidStep;
      now_taken.push_back(pid);
      if (pid != p.pid) {
        in.renumbered.emplace_back(p.pid, pid);
        pid_map[p.pid] = pid;
      }
    }
    taken.insert(now_taken.begin(), now_taken.end());
    if (in.realtime_ns && (!result.realtime_ns || *in.realtime_ns < *result.realtime_ns))
      result.realtime_ns = in.realtime_ns;
    result.inputs.push_back(std::move(in));
  }
  for (MergedInput& in : result.inputs) {
    if (in.realtime_ns) in.offset_ns = *in.realtime_ns - *result.realtime_ns;
  }
  return plan;
}

uint32_t mapped(const PidMap& pids, uint32_t old) {
  auto found = pids.find(old);
  return found != pids.end() ? found->second : old;
}

// A process as the merged trace names it: after its host and its file.
void relabel(Process& p, const std::string& path, const PidMap& pids,
             std::optional<uint64_t> time_zero) {
  p.pid = mapped(pids, p.pid);
  std::string name = p.name.empty() ? "process" : p.name;
  const std::string file = base_name(path);
  name += p.host.empty() ? " (" + file + ")" : " on " + p.host + " (" + file + ")";
  p.name = std::move(name);
  // Time 0 of the merged trace, where this input's now lies.
  if (p.realtime_ns) p.realtime_ns = time_zero;
}

}  // namespace

core::Result<MergeResult> merge(const std::vector<std::string>& inputs, const std::string& output,
                                const StopCheck& stop) {
  if (inputs.empty()) return core::IoError::other("nothing to merge: no input traces");
  for (const std::string& in : inputs) {
    if (same_file(in, output))
      return core::IoError::other("cannot write " + output + ": it is one of the traces merged");
  }
  // First the anchors and pids of every input, which decide where each of
  // them goes before any of its events is written.
  std::vector<Trace> looked;
  ReadOptions look;
  look.stop = stop;
  for (const std::string& path : inputs) {
    auto trace = read_trace(path, look);
    if (!trace.ok()) return trace.error();
    looked.push_back(std::move(trace.value()));
    looked.back().path = path;
  }
  std::vector<const Trace*> views;
  for (const Trace& t : looked) views.push_back(&t);
  Plan plan = place(views);
  looked.clear();
  MergeResult& result = plan.result;
  std::vector<PidMap>& pid_maps = plan.pids;

  auto file = OutputFile::create(output, stop);
  if (!file.ok()) return file.error();
  ChromeJsonWriter writer(file.value());
  // The merged model, for the names and records the writer ends with.
  Trace merged;
  uint32_t functions = 0, threads = 0, counters = 0;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const MergedInput& in = result.inputs[i];
    Shifted shifted(writer, pid_maps[i], in.offset_ns, functions, threads, counters);
    ReadOptions read;
    read.stop = stop;
    read.observer = &shifted;
    auto trace = read_trace(inputs[i], read);
    if (!trace.ok()) return trace.error();
    writer.next_input();
    Trace& t = trace.value();
    functions += static_cast<uint32_t>(t.functions.size());
    threads += static_cast<uint32_t>(t.threads.size());
    counters += static_cast<uint32_t>(t.counters.size());
    for (Process& p : t.processes) {
      relabel(p, in.path, pid_maps[i], result.realtime_ns);
      merged.processes.push_back(std::move(p));
    }
    for (Thread& th : t.threads) {
      th.tid = shifted.tid(th.pid, th.tid);
      th.pid = shifted.pid(th.pid);
      merged.threads.push_back(std::move(th));
    }
  }
  writer.finish(merged);
  if (core::Status s = file.value().commit(); !s.ok()) return s.error();
  return result;
}

Trace combine(std::vector<Trace> traces) {
  if (traces.size() == 1) return std::move(traces.front());
  std::vector<const Trace*> views;
  for (const Trace& t : traces) views.push_back(&t);
  const Plan plan = place(views);
  Trace out;
  out.format = traces.front().format;
  std::map<std::tuple<std::string, std::string, uint32_t, bool>, uint32_t> functions;
  for (size_t i = 0; i < traces.size(); ++i) {
    Trace& t = traces[i];
    const PidMap& pids = plan.pids[i];
    const uint64_t offset = plan.result.inputs[i].offset_ns;
    out.path += (i == 0 ? "" : ", ") + t.path;
    std::vector<uint32_t> function_ids;
    for (Function& f : t.functions) {
      auto [at, added] = functions.try_emplace({f.name, f.file, f.line, f.span},
                                               static_cast<uint32_t>(out.functions.size()));
      if (added) out.functions.push_back(std::move(f));
      function_ids.push_back(at->second);
    }
    for (Thread& th : t.threads) {
      if (th.tid == th.pid) th.tid = mapped(pids, th.pid);
      th.pid = mapped(pids, th.pid);
      th.root = kNone;
      th.id = static_cast<uint32_t>(out.threads.size());
      for (FunctionStats& s : th.functions) s.function = function_ids[s.function];
      if (th.slices != 0 || th.last_ts != 0) {
        th.first_ts += offset;
        th.last_ts += offset;
      }
      out.threads.push_back(std::move(th));
    }
    for (Process& p : t.processes) {
      relabel(p, t.path, pids, plan.result.realtime_ns);
      out.processes.push_back(std::move(p));
    }
    for (Counter& c : t.counters) {
      c.pid = mapped(pids, c.pid);
      out.counters.push_back(std::move(c));
    }
    out.events += t.events;
    out.instants += t.instants;
    if (t.has_time) {
      const uint64_t first = t.first_ts + offset, last = t.last_ts + offset;
      out.first_ts = out.has_time ? std::min(out.first_ts, first) : first;
      out.last_ts = out.has_time ? std::max(out.last_ts, last) : last;
      out.has_time = true;
    }
    out.open_at_end += t.open_at_end;
    out.unmatched_ends += t.unmatched_ends;
    out.skipped_complete += t.skipped_complete;
    if (out.damage == Damage::None && t.damage != Damage::None) {
      out.damage = t.damage;
      out.damage_offset = t.damage_offset;
    }
    out.file_size += t.file_size;
  }
  return out;
}

std::string merge_summary(const MergeResult& result) {
  std::string text;
  char line[64];
  size_t anchored = 0;
  for (const MergedInput& in : result.inputs) {
    text += "  " + in.path + ": ";
    text += in.host.empty() ? "host unknown" : "host " + in.host;
    if (in.realtime_ns) {
      ++anchored;
      std::snprintf(line, sizeof line, ", +%.6f s", static_cast<double>(in.offset_ns) / 1e9);
      text += line;
    } else {
      text += ", no wall-clock anchor: placed at 0";
    }
    for (auto [from, to] : in.renumbered)
      text += ", pid " + std::to_string(from) + " is " + std::to_string(to) + " here";
    text += "\n";
  }
  if (anchored > 1) {
    text +=
        "The traces were lined up by the wall clock each host read as its trace began: they are "
        "as well aligned as those hosts' clocks were synchronised (NTP: milliseconds apart; "
        "PTP: microseconds).\n";
  }
  for (const MergedInput& in : result.inputs) {
    if (!in.realtime_ns) {
      text += "warning: " + in.path +
              " has no wall-clock anchor (written by an older morvex): it starts at 0, its "
              "place on the timeline beside the others is unknown\n";
    }
  }
  return text;
}

}  // namespace morvex::reader
