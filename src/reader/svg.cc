// The flame graph: one icicle per thread, stacked under a heading each.
// Each frame is a rectangle as wide as its stack's total time on the
// thread, its callees in the row below in order of first call, so a thread
// reads from top (outermost) to bottom (innermost). Frames narrower than
// kMinWidth are left out with what they called. Every frame carries a
// <title> (the browser's tooltip) with its name, file:line and figures.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "reader/labels.h"
#include "reader/report.h"
#include "reader/stacks.h"
#include "reader/stats.h"
#include "reader/strindex.h"
#include "reader/text.h"

namespace morvex::reader {

namespace {

constexpr double kMargin = 10;
constexpr double kRow = 17;  // a frame's height plus a one-pixel gap
constexpr double kFrame = 16;
constexpr double kMinWidth = 0.3;   // narrower frames are left out
constexpr double kCharWidth = 7.3;  // of the 12px monospace face, rounded up
constexpr double kTextPad = 3;
constexpr double kMinChars = 3;  // fewer fit: no text at all

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
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

void text_line(std::string& out, double x, double y, const char* cls, std::string_view s) {
  out += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" class=\"" + cls + "\">";
  append_xml_text(out, s);
  out += "</text>\n";
}

// Draws one thread's icicle with its top at `top`; returns its height.
double draw_thread(std::string& out, const Trace& trace, const Thread& t, double top,
                   double width) {
  const double scale = (width - 2 * kMargin) / static_cast<double>(t.traced_ns);
  std::vector<double> next_x(2, kMargin);  // where the next frame at each depth starts
  size_t deepest = 0;
  walk(
      trace, t.root,
      [&](uint32_t index, size_t depth) {
        if (next_x.size() <= depth + 1) next_x.resize(depth + 2, kMargin);
        if (depth == 0) {
          next_x[1] = kMargin;
          return true;
        }
        const Node& n = trace.nodes[index];
        const double x = next_x[depth];
        const double w = static_cast<double>(n.total_ns) * scale;
        next_x[depth] += w;
        next_x[depth + 1] = x;
        if (w < kMinWidth) return false;
        deepest = std::max(deepest, depth);
        const Function& f = trace.functions[n.function];
        const double y = top + static_cast<double>(depth - 1) * kRow;
        const std::string label = frame_label(f);
        out += "<g><title>";
        std::string tip = label + "\n";
        if (!f.file.empty()) tip += location(f) + "\n";
        tip += "total " + format_duration(n.total_ns) + percent(n.total_ns, t.traced_ns) +
               ", self " + format_duration(n.self_ns) + ", calls " + format_count(n.calls);
        if (n.slices != n.calls) tip += ", resumes " + format_count(n.slices - n.calls);
        append_xml_text(out, tip);
        out += "</title><rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) +
               "\" height=\"" + num(kFrame) + "\" fill=\"" + colour(f) + "\"/>";
        const double room = std::floor((w - 2 * kTextPad) / kCharWidth);
        if (room >= kMinChars) {
          out += "<text x=\"" + num(x + kTextPad) + "\" y=\"" + num(y + 12) + "\">";
          append_xml_text(out, keep_end(label, static_cast<size_t>(room)));
          out += "</text>";
        }
        out += "</g>\n";
        return true;
      },
      [](uint32_t, size_t) {});
  return static_cast<double>(deepest) * kRow;
}

}  // namespace

std::string render_svg(const Trace& trace, const SvgOptions& options) {
  const double width = std::max(options.width, 200.0);
  std::string body;
  double y = kMargin + 18;
  text_line(body, kMargin, y, "t",
            "Flame graph of " + sanitize_utf8(options.title.empty() ? trace.path : options.title));
  y += 18;
  text_line(body, kMargin, y, "s",
            "Icicle per thread: each frame calls the frames below it; width is the time the "
            "frame ran, children included. Hover for details. Blue frames are user spans.");
  for (const std::string& note : trace_notes(trace)) {
    y += 16;
    text_line(body, kMargin, y, "w", note);
  }
  y += 12;
  for (const Thread& t : trace.threads) {
    if (!trace.has_tree || t.traced_ns == 0) continue;
    y += 24;
    text_line(body, kMargin, y, "h",
              thread_title(t) + ": " + format_duration(t.traced_ns) + " traced, " +
                  format_count(t.slices) + " slices");
    y += 8;
    y += draw_thread(body, trace, t, y, width) + 4;
  }
  if (!trace.has_tree || trace.threads.empty()) {
    y += 24;
    text_line(body, kMargin, y, "s", "No function slices were recorded.");
  }
  y += kMargin;

  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + num(width) +
         "\" height=\"" + num(y) + "\" viewBox=\"0 0 " + num(width) + " " + num(y) + "\">\n";
  out +=
      "<style>\n"
      "text { font-family: ui-monospace, 'DejaVu Sans Mono', Menlo, Consolas, monospace; "
      "font-size: 12px; fill: #000; }\n"
      "text.t { font: bold 17px sans-serif; }\n"
      "text.h { font: bold 14px sans-serif; }\n"
      "text.s { font: 12px sans-serif; fill: #444; }\n"
      "text.w { font: 12px sans-serif; fill: #a40000; }\n"
      "rect { stroke: #fff; stroke-width: 0.5; }\n"
      "g:hover rect { stroke: #000; }\n"
      "</style>\n";
  out +=
      "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"#fdfaf3\" stroke=\"none\"/>\n";
  out += body;
  out += "</svg>\n";
  return out;
}

}  // namespace morvex::reader
