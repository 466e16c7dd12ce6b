// The flame graph: an icicle per thread, stacked under a heading each, or,
// past kSeparateThreads threads, one icicle for all of them. Each frame is
// a rectangle as wide as its stack's total time, its callees in the row
// below in order of first call, so a graph reads from top (outermost) to
// bottom (innermost). Every frame carries a <title> (the browser's tooltip)
// with its name, file:line and figures.
//
// Without a script (an <img>, an image viewer) the picture is
// SvgOptions::width wide and scales as any image, labels and all. The
// script (svg_script.h) makes it as wide as the window at its own scale,
// cuts the labels again for the real width, searches and zooms; places are
// percentages of the graph so that either way they need no arithmetic.
//
// Frames narrower than a thousandth of their graph are drawn as part of
// their caller, with everything they called: however long the trace, a
// graph holds at most a thousand frames a row, and a browser opens it at once.
// The file says how many stacks and how much time went that way.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/flatmap.h"
#include "reader/labels.h"
#include "reader/report.h"
#include "reader/stacks.h"
#include "reader/stats.h"
#include "reader/strindex.h"
#include "reader/svg_script.h"
#include "reader/text.h"

namespace morvex::reader {

namespace {

constexpr double kMargin = 10;
constexpr double kRow = 17;  // a frame's height plus a one-pixel gap
constexpr double kFrame = 16;
// Frames narrower than 1 / kShareDivisor of their graph's width merge.
constexpr uint64_t kShareDivisor = 1000;
constexpr double kCharWidth = 7.3;  // of the 12px monospace face, rounded up
constexpr double kTextPad = 3;
constexpr double kBaseline = 12;  // a label's, below its frame's top
constexpr double kMinChars = 3;   // fewer fit: no text at all
// The graphs' place across the window, in percent: about the margin
// either side at the usual width, without knowing the width.
constexpr double kGraphLeft = 0.8;
constexpr double kGraphWidth = 98.4;
constexpr double kSearchWidth = 260;

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// Seven decimals of a fraction: a frame zoomed from the narrowest drawn to
// the whole window is still placed to a tenth of a pixel.
std::string pct(double fraction) {
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "%.5f", 100 * fraction);
  while (n > 0 && buf[n - 1] == '0') --n;
  if (n > 0 && buf[n - 1] == '.') --n;
  return std::string(buf, static_cast<size_t>(n)) + "%";
}

// Colours stable per function (name, file and line, so that two functions
// of one name side by side look apart): warm for functions, blue for user
// spans.
std::string colour(const Function& f) {
  const uint64_t h = hash_bytes(f.name, hash_bytes(f.file, 0x5bd1e995 + f.line));
  const unsigned a = h & 0xFF, b = (h >> 8) & 0xFF, c = (h >> 16) & 0xFF;
  int r, g, bl;
  if (f.span) {
    r = 70 + static_cast<int>(a % 50);
    g = 140 + static_cast<int>(b % 60);
    bl = 205 + static_cast<int>(c % 50);
  } else {
    r = 205 + static_cast<int>(a % 50);
    g = 60 + static_cast<int>(b % 150);
    bl = static_cast<int>(c % 55);
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", r, g, bl);
  return buf;
}

std::string percent(uint64_t part, uint64_t whole) {
  if (whole == 0) return "";
  char buf[32];
  std::snprintf(buf, sizeof buf, " (%.1f%%)",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return buf;
}

void text_line(std::string& out, double x, double y, const char* cls, std::string_view s,
               const char* id = nullptr) {
  out += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" class=\"" + cls + "\"";
  if (id != nullptr) out += std::string(" id=\"") + id + "\"";
  out += ">";
  append_xml_text(out, s);
  out += "</text>\n";
}

// A tooltip's lines are its fields (the script reads them so): a name or
// path that breaks a line would pass for two.
std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

bool too_narrow(uint64_t ns, uint64_t graph_ns) {
  return ns == 0 || static_cast<unsigned __int128>(ns) * kShareDivisor < graph_ns;
}

std::string plural(uint64_t n, const char* one, const char* many) {
  return format_count(n) + " " + (n == 1 ? one : many);
}

// Every thread's tree as one under a root of its own: stacks of the same
// functions on different threads become one node, their figures added up
// (max the largest), in order of first appearance.
std::vector<Node> merged_tree(const Trace& trace, const std::vector<const Thread*>& threads) {
  std::vector<Node> nodes(1);
  std::vector<uint32_t> last_child(1, kNone);
  core::FlatMap<uint64_t, uint32_t> children;
  std::vector<uint32_t> path;  // merged node per depth
  for (const Thread* t : threads) {
    nodes[0].total_ns += t->traced_ns;
    nodes[0].slices += t->slices;
    walk(
        trace, t->root,
        [&](uint32_t index, size_t depth) {
          if (path.size() <= depth) path.resize(depth + 1);
          if (depth == 0) {
            path[0] = 0;
            return true;
          }
          const Node& n = trace.nodes[index];
          const uint32_t parent = path[depth - 1];
          const uint64_t key = (uint64_t{parent} << 32) | n.function;
          uint32_t m;
          if (const uint32_t* found = children.find(key)) {
            m = *found;
          } else {
            m = static_cast<uint32_t>(nodes.size());
            nodes.push_back(Node{.function = n.function, .parent = parent});
            last_child.push_back(kNone);
            if (last_child[parent] == kNone) {
              nodes[parent].first_child = m;
            } else {
              nodes[last_child[parent]].next_sibling = m;
            }
            last_child[parent] = m;
            children.insert(key, m);
          }
          Node& to = nodes[m];
          to.calls += n.calls;
          to.slices += n.slices;
          to.total_ns += n.total_ns;
          to.self_ns += n.self_ns;
          to.max_ns = std::max(to.max_ns, n.max_ns);
          path[depth] = m;
          return true;
        },
        [](uint32_t, size_t) {});
  }
  return nodes;
}

struct Graph {
  const std::vector<Node>* nodes = nullptr;
  uint32_t root = kNone;
  uint64_t total_ns = 0;  // what the full width stands for
  std::string heading;
  std::string root_tip;  // the root is drawn, with this title, when not empty
};

// What went into callers for being too narrow.
struct Narrow {
  uint64_t stacks = 0;  // nodes not drawn, everything under them included
  uint64_t ns = 0;      // the outermost ones' time
};

// Draws one graph into `out`, its rows from y = 0; returns how many rows it
// took. `label_px` is the width the labels are cut for.
size_t draw_graph(std::string& out, const Trace& trace, const Graph& g, double label_px,
                  Narrow& narrow) {
  const std::vector<Node>& nodes = *g.nodes;
  const double whole = static_cast<double>(g.total_ns);
  const size_t first = g.root_tip.empty() ? 1 : 0;  // the depth of the top row
  struct Level {
    uint64_t next = 0;  // where the next frame starts, in ns from the graph's start
    uint64_t end = 0;   // its caller's end: a callee never reaches past it
  };
  std::vector<Level> levels(2);
  size_t hidden = SIZE_MAX;  // the depth of the undrawn frame being walked under
  size_t rows = 0;
  walk(
      nodes, g.root,
      [&](uint32_t index, size_t depth) {
        if (levels.size() <= depth + 1) levels.resize(depth + 2);
        if (depth > hidden) {
          ++narrow.stacks;
          return true;
        }
        const Node& n = nodes[index];
        uint64_t start = 0, span = g.total_ns;
        if (depth != 0) {
          Level& here = levels[depth];
          start = std::min(here.next, here.end);
          span = std::min(n.total_ns, here.end - start);
          here.next = start + span;
        }
        levels[depth + 1] = {start, start + span};
        if (depth < first) return true;
        if (too_narrow(span, g.total_ns)) {
          hidden = depth;
          ++narrow.stacks;
          narrow.ns += n.total_ns;
          return true;
        }
        rows = std::max(rows, depth - first + 1);
        const double y = static_cast<double>(depth - first) * kRow;
        const double x = static_cast<double>(start) / whole, w = static_cast<double>(span) / whole;
        std::string label, fill, tip;
        if (depth == 0) {
          label = "all threads";
          fill = "#c8c8c8";
          tip = label + "\n" + g.root_tip;
        } else {
          const Function& f = trace.functions[n.function];
          label = one_line(frame_label(f));
          fill = colour(f);
          tip = label + "\n";
          if (!f.file.empty()) tip += one_line(location(f)) + "\n";
          tip += "total " + format_duration(n.total_ns) + percent(n.total_ns, g.total_ns) +
                 ", self " + format_duration(n.self_ns) + ", calls " + format_count(n.calls);
          if (n.slices != n.calls) tip += ", resumes " + format_count(n.slices - n.calls);
        }
        uint64_t merged = 0, merged_ns = 0;
        for (uint32_t c = n.first_child; c != kNone; c = nodes[c].next_sibling) {
          if (too_narrow(nodes[c].total_ns, g.total_ns)) {
            ++merged;
            merged_ns += nodes[c].total_ns;
          }
        }
        if (merged != 0) {
          tip += "\nwith " + plural(merged, "callee", "callees") +
                 " too narrow to draw: " + format_duration(merged_ns);
        }
        out += "<g><title>";
        append_xml_text(out, tip);
        out += "</title><rect x=\"" + pct(x) + "\" y=\"" + num(y) + "\" width=\"" + pct(w) +
               "\" height=\"" + num(kFrame) + "\" fill=\"" + fill + "\"/>";
        const double room = std::floor((w * label_px - 2 * kTextPad) / kCharWidth);
        if (room >= kMinChars) {
          out += "<text x=\"" + pct(x) + "\" dx=\"" + num(kTextPad) + "\" y=\"" +
                 num(y + kBaseline) + "\">";
          append_xml_text(out, keep_end(label, static_cast<size_t>(room)));
          out += "</text>";
        }
        out += "</g>\n";
        return true;
      },
      [&](uint32_t, size_t depth) {
        if (depth == hidden) hidden = SIZE_MAX;
      });
  return rows;
}

std::string merged_heading(const std::vector<const Thread*>& threads, uint64_t total_ns,
                           uint64_t slices) {
  std::vector<uint32_t> pids;
  for (const Thread* t : threads) {
    if (std::find(pids.begin(), pids.end(), t->pid) == pids.end()) pids.push_back(t->pid);
  }
  std::string s = "All " + format_count(threads.size()) + " threads";
  if (pids.size() == 1) {
    s += " (pid " + std::to_string(pids.front()) + ")";
  } else {
    s += " of " + format_count(pids.size()) + " processes";
  }
  return s + ": " + format_duration(total_ns) + " traced, " + format_count(slices) + " slices";
}

}  // namespace

std::string render_svg(const Trace& trace, const SvgOptions& options) {
  const double width = std::max(options.width, 200.0);
  const double label_px = width * kGraphWidth / 100;
  std::vector<const Thread*> threads;
  if (trace.has_tree) {
    for (const Thread& t : trace.threads) {
      if (t.traced_ns != 0) threads.push_back(&t);
    }
  }
  const bool merge = !options.per_thread && threads.size() > kSeparateThreads;

  std::vector<Node> merged;
  std::vector<Graph> graphs;
  if (merge) {
    merged = merged_tree(trace, threads);
    Graph g{.nodes = &merged, .root = 0, .total_ns = merged[0].total_ns};
    g.heading = merged_heading(threads, g.total_ns, merged[0].slices);
    g.root_tip = "total " + format_duration(g.total_ns) + " (100.0%), " +
                 plural(threads.size(), "thread", "threads");
    graphs.push_back(std::move(g));
  } else {
    for (const Thread* t : threads) {
      graphs.push_back(Graph{.nodes = &trace.nodes,
                             .root = t->root,
                             .total_ns = t->traced_ns,
                             .heading = thread_title(*t) + ": " + format_duration(t->traced_ns) +
                                        " traced, " + format_count(t->slices) + " slices"});
    }
  }

  // The graphs first, from y = 0, as the heading says what they left out.
  std::string drawn;
  Narrow narrow;
  uint64_t whole_ns = 0;
  double y = 0;
  for (const Graph& g : graphs) {
    whole_ns += g.total_ns;
    y += 24;
    text_line(drawn, kMargin, y, "h", g.heading);
    y += 8;
    std::string frames;
    const size_t rows = draw_graph(frames, trace, g, label_px, narrow);
    const double height = static_cast<double>(rows) * kRow;
    drawn += "<svg class=\"graph\" x=\"" + pct(kGraphLeft / 100) + "\" y=\"" + num(y) +
             "\" width=\"" + pct(kGraphWidth / 100) + "\" height=\"" + num(height) +
             "\" data-total=\"" + std::to_string(g.total_ns) + "\">\n" + frames + "</svg>\n";
    y += height + 4;
  }
  if (graphs.empty()) {
    y += 24;
    text_line(drawn, kMargin, y, "s", "No function slices were recorded.");
  }
  const double graphs_height = y;

  std::string head;
  y = kMargin + 18;
  text_line(head, kMargin, y, "t",
            "Flame graph of " + sanitize_utf8(options.title.empty() ? trace.path : options.title));
  y += 18;
  const std::string reading =
      "frame calls the frames below it; width is the time the frame ran, children included. "
      "Hover for details. Blue frames are user spans.";
  if (merge) {
    // Two lines: one would be cut off in a window of half a screen.
    text_line(head, kMargin, y, "s",
              "One icicle for all " + format_count(threads.size()) +
                  " threads, the same stacks on any thread merged (convert --svg-per-thread "
                  "draws one per thread):");
    y += 16;
    text_line(head, kMargin, y, "s", "Each " + reading);
  } else {
    text_line(head, kMargin, y, "s", "Icicle per thread: each " + reading);
  }
  for (const std::string& note : trace_notes(trace)) {
    y += 16;
    text_line(head, kMargin, y, "w", note);
  }
  if (narrow.stacks != 0) {
    y += 16;
    text_line(head, kMargin, y, "s",
              plural(narrow.stacks, "stack", "stacks") + " narrower than " +
                  pct(1.0 / kShareDivisor) + " of the width " +
                  (narrow.stacks == 1 ? "is drawn as part of its caller: "
                                      : "are drawn as part of their callers: ") +
                  format_duration(narrow.ns) + percent(narrow.ns, whole_ns) + " of the time.",
              "merged");
  }
  // Shown by the script: without one (an <img>, an image viewer) they
  // would do nothing.
  y += 10;
  head += "<g id=\"controls\" display=\"none\">\n<foreignObject x=\"" + num(kMargin) + "\" y=\"" +
          num(y) + "\" width=\"" + num(kSearchWidth) +
          "\" height=\"22\"><input xmlns=\"http://www.w3.org/1999/xhtml\" id=\"search\" "
          "type=\"search\" placeholder=\"Search functions and files\"/></foreignObject>\n";
  text_line(head, kMargin + kSearchWidth + 12, y + 15, "off", "Reset zoom", "reset");
  text_line(head, kMargin + kSearchWidth + 100, y + 15, "s",
            "Click a frame to zoom into it, Escape or Reset zoom to zoom out; Ctrl-F searches.",
            "matched");
  head += "</g>\n";
  y += 22;

  const double top = y;
  y += graphs_height + 20;
  std::string details;
  text_line(details, kMargin, y, "s", "", "details");
  y += kMargin;

  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + num(width) +
         "\" height=\"" + num(y) + "\" viewBox=\"0 0 " + num(width) + " " + num(y) + "\">\n";
  out += "<style>";
  out += kSvgStyle;
  out += "</style>\n";
  out +=
      "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"#fdfaf3\" stroke=\"none\"/>\n";
  out += head;
  out += "<g transform=\"translate(0," + num(top) + ")\">\n" + drawn + "</g>\n";
  out += details;
  out += "<script type=\"text/ecmascript\"><![CDATA[\nvar ROW = " + num(kRow) +
         ", PAD = " + num(kTextPad) + ", BASELINE = " + num(kBaseline) +
         ", MIN_CHARS = " + num(kMinChars) + ";";
  out += kSvgScript;
  out += "]]></script>\n";
  out += "</svg>\n";
  return out;
}

}  // namespace morvex::reader
