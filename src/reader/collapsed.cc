#include <string>
#include <vector>

#include "core/flatmap.h"
#include "reader/labels.h"
#include "reader/stacks.h"
#include "reader/stats.h"
#include "reader/strindex.h"

namespace morvex::reader {

namespace {

// A frame as one collapsed-stack field: no separator, no line break.
std::string field(std::string text) {
  for (char& c : text) {
    if (c == ';') c = ',';
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

std::string frame_text(const Function& f) {
  std::string loc = f.span ? std::string() : location(f);
  return field(loc.empty() ? frame_label(f) : frame_label(f) + " (" + loc + ")");
}

// The threads' trees merged by printed frame: one node per distinct line.
class MergedStacks {
 public:
  explicit MergedStacks(const Trace& trace)
      : trace_(trace), text_of_(trace.functions.size(), kNone) {
    nodes_.push_back(Merged{});  // the root above every thread
  }

  void add_thread(const Thread& t, const std::string& label) {
    std::vector<uint32_t> path;  // merged node per depth
    walk(
        trace_, t.root,
        [&](uint32_t index, size_t depth) {
          const Node& n = trace_.nodes[index];
          const uint32_t parent = depth == 0 ? 0 : path[depth - 1];
          const uint32_t text = depth == 0 ? intern(label) : function_text(n.function);
          const uint32_t m = child(parent, text);
          if (path.size() <= depth) path.resize(depth + 1);
          path[depth] = m;
          nodes_[m].self_ns += n.self_ns;
          return true;
        },
        [](uint32_t, size_t) {});
  }

  // Every node with self time, as "a;b;c NS" lines, depth first.
  void write(Sink& out) const {
    std::string line;
    std::vector<size_t> ends;  // of `line` after each depth's frame
    each([&](const Merged& m, size_t depth) {
      if (ends.size() <= depth) ends.resize(depth + 1);
      line.resize(depth == 0 ? 0 : ends[depth - 1]);
      if (depth != 0) line.push_back(';');
      line += texts_[m.text];
      ends[depth] = line.size();
      if (m.self_ns != 0) {
        out.write(line);
        out.write(" " + std::to_string(m.self_ns) + "\n");
      }
    });
  }

  // The bytes write() writes: a line repeats its whole stack, so a deep
  // recursion, one distinct stack per depth, takes the square of its depth.
  uint64_t size() const {
    std::vector<uint64_t> ends;
    uint64_t total = 0;
    each([&](const Merged& m, size_t depth) {
      if (ends.size() <= depth) ends.resize(depth + 1);
      ends[depth] = (depth == 0 ? 0 : ends[depth - 1] + 1) + texts_[m.text].size();
      if (m.self_ns != 0) total += ends[depth] + 2 + std::to_string(m.self_ns).size();
    });
    return total;
  }

 private:
  struct Merged {
    uint32_t text = kNone;
    uint32_t parent = kNone;
    uint32_t first_child = kNone;
    uint32_t last_child = kNone;
    uint32_t next_sibling = kNone;
    uint64_t self_ns = 0;
  };

  // visit(node, depth) for every node under the root, depth first, in
  // the order of first appearance; a thread's own node has depth 0.
  template <class Visit>
  void each(Visit&& visit) const {
    uint32_t n = nodes_[0].first_child;
    if (n == kNone) return;
    size_t depth = 0;
    for (;;) {
      visit(nodes_[n], depth);
      if (nodes_[n].first_child != kNone) {
        n = nodes_[n].first_child;
        ++depth;
        continue;
      }
      for (;;) {
        if (nodes_[n].next_sibling != kNone) {
          n = nodes_[n].next_sibling;
          break;
        }
        n = nodes_[n].parent;
        if (n == 0) return;
        --depth;
      }
    }
  }

  uint32_t intern(const std::string& text) {
    uint32_t id = index_.find(text);
    if (id == StringIndex::kMissing) {
      id = static_cast<uint32_t>(texts_.size());
      index_.insert(text, id);
      texts_.push_back(text);
    }
    return id;
  }

  uint32_t function_text(uint32_t function) {
    if (text_of_[function] == kNone)
      text_of_[function] = intern(frame_text(trace_.functions[function]));
    return text_of_[function];
  }

  uint32_t child(uint32_t parent, uint32_t text) {
    const uint64_t key = (uint64_t{parent} << 32) | text;
    if (const uint32_t* found = children_.find(key)) return *found;
    const auto m = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back(Merged{.text = text, .parent = parent});
    Merged& p = nodes_[parent];
    if (p.last_child == kNone) {
      p.first_child = m;
    } else {
      nodes_[p.last_child].next_sibling = m;
    }
    p.last_child = m;
    children_.insert(key, m);
    return m;
  }

  const Trace& trace_;
  std::vector<uint32_t> text_of_;  // function -> text
  std::vector<std::string> texts_;
  StringIndex index_;
  std::vector<Merged> nodes_;
  core::FlatMap<uint64_t, uint32_t> children_;
};

}  // namespace

core::Status render_collapsed(const Trace& trace, Sink& out) {
  if (!trace.has_tree) return {};
  const bool several = trace.processes.size() > 1;
  MergedStacks stacks(trace);
  for (const Thread& t : trace.threads) {
    std::string label = thread_label(t);
    if (several) label += " (pid " + std::to_string(t.pid) + ")";
    stacks.add_thread(t, field(std::move(label)));
  }
  if (core::Status room = out.expect(stacks.size()); !room.ok()) return room;
  stacks.write(out);
  return {};
}

}  // namespace morvex::reader
