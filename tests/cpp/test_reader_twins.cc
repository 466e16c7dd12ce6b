// Functions that share a name stay apart in the model and in every renderer,
// kept apart by their file and first line; a generator's resumes are slices
// but not calls. The program is twins() in reader_fixtures.h.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "reader/builder.h"
#include "reader/convert.h"
#include "reader/pstats.h"
#include "reader/report.h"
#include "reader/sink.h"
#include "reader/stacks.h"
#include "reader_fixtures.h"

namespace morvex::test {
namespace {

using reader::FunctionStats;
using reader::Trace;

// ---- the builder ----

TEST(Builder, AFunctionIsItsNameFileLineAndKind) {
  reader::Builder b;
  const uint32_t a = b.function("parse", "/app/lib/util.py", 3, false);
  EXPECT_EQ(b.function("parse", "/app/lib/util.py", 3, false), a);
  const uint32_t ids[] = {
      a,
      b.function("parse", "/usr/lib/python3.13/re/_parser.py", 3, false),  // another file
      b.function("parse", "/app/lib/util.py", 30, false),                   // another line
      b.function("parse", "", 0, false),                                    // no file
      b.function("parse", "", 0, true),                                     // a user span
  };
  for (size_t i = 0; i < std::size(ids); ++i) {
    for (size_t k = i + 1; k < std::size(ids); ++k) EXPECT_NE(ids[i], ids[k]) << i << " " << k;
  }
  // The same four fields find the same function again, whichever parser asks.
  EXPECT_EQ(b.function("parse", "/app/lib/util.py", 30, false), ids[2]);
  EXPECT_EQ(b.function("parse", "", 0, true), ids[4]);
  const uint32_t thread = b.thread(1, 1);
  for (uint32_t f : ids) {
    b.begin(thread, f, 10, true);
    b.end(thread, 11);
  }
  Trace t = b.finish();
  ASSERT_EQ(t.functions.size(), std::size(ids));
  EXPECT_EQ(t.functions[ids[1]].file, "/usr/lib/python3.13/re/_parser.py");
  EXPECT_EQ(t.functions[ids[2]].line, 30u);
  EXPECT_EQ(all_rows(t).size(), std::size(ids));
}

// ---- the model ----

class Twins : public ::testing::TestWithParam<Fmt> {
 protected:
  Trace read() {
    TraceFile file;
    write_runs(file, GetParam(), twins_code(), program_threads(), {ProcessRun{.events = twins()}},
               5);
    Trace t = read_ok(file.path());
    t.path = "twins.trace";  // a fixed name for the expected text
    return t;
  }
};

const FunctionStats* find_row(const Trace& t, const std::vector<FunctionStats>& rows,
                              std::string_view name, std::string_view file, uint32_t line) {
  for (const auto& r : rows) {
    const auto& f = t.functions[r.function];
    if (f.name == name && f.file == file && f.line == line) return &r;
  }
  return nullptr;
}

TEST_P(Twins, OneRowPerFunctionWithItsCallsAndResumes) {
  Trace t = read();
  struct Want {
    const char* name;
    const char* file;
    uint32_t line;
    uint64_t calls, slices, total, self, max;
  } const want[] = {
      {"<module>", "/app/main.py", 1, 1, 1, 105, 25, 105},
      {"<module>", "/app/lib/util.py", 1, 1, 1, 10, 10, 10},
      // Two runs to the end, three values each: every run a start and three
      // resumes, the last of which returns.
      {"tokens", "/app/main.py", 7, 2, 8, 32, 32, 4},
      {"parse", "/app/lib/util.py", 3, 3, 3, 15, 15, 5},
      {"parse", "/usr/lib/python3.13/re/_parser.py", 970, 2, 2, 14, 14, 7},
      {"parse", "/app/lib/util.py", 30, 1, 1, 9, 9, 9},
  };
  auto rows = all_rows(t);
  EXPECT_EQ(rows.size(), std::size(want));
  for (const Want& w : want) {
    SCOPED_TRACE(std::string(w.name) + " " + w.file + ":" + std::to_string(w.line));
    const FunctionStats* r = find_row(t, rows, w.name, w.file, w.line);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->calls, w.calls);
    EXPECT_EQ(r->primitive_calls, w.calls);
    EXPECT_EQ(r->slices, w.slices);
    EXPECT_EQ(r->total_ns, w.total);
    EXPECT_EQ(r->self_ns, w.self);
    EXPECT_EQ(r->max_ns, w.max);
  }
}

// ---- report ----

std::string text_of(const Trace& t, const reader::ReportOptions& o = {}) {
  auto r = reader::report_text(t, o);
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : "";
}

TEST_P(Twins, ReportTextHasARowPerFunctionWithItsLocationAndResumes) {
  const std::string text = text_of(read());
  const std::string table =
      "6 functions by self time, all threads:\n"
      "function  location                               "
      "calls  resumes   total   self    mean     max\n"
      "tokens    /app/main.py:7                         "
      "    2        6   32 ns  32 ns   16 ns    4 ns\n"
      "<module>  /app/main.py:1                         "
      "    1        0  105 ns  25 ns  105 ns  105 ns\n"
      "parse     /app/lib/util.py:3                     "
      "    3        0   15 ns  15 ns    5 ns    5 ns\n"
      "parse     /usr/lib/python3.13/re/_parser.py:970  "
      "    2        0   14 ns  14 ns    7 ns    7 ns\n"
      "<module>  /app/lib/util.py:1                     "
      "    1        0   10 ns  10 ns   10 ns   10 ns\n"
      "parse     /app/lib/util.py:30                    "
      "    1        0    9 ns   9 ns    9 ns    9 ns\n"
      "\n"
      "Location: the file and first line of the function; a long path keeps its last parts.\n"
      "Resumes: slices begun by resuming a generator or coroutine (or by throwing into it);\n"
      "they are not calls, but their time counts in total, self, mean and max.\n";
  EXPECT_NE(text.find(table), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with(table)) << text;

  // Narrow: a long path keeps its last parts and the line number, one that
  // fits stays whole.
  reader::ReportOptions o;
  o.width = 60;
  const std::string narrow = text_of(read(), o);
  EXPECT_NE(narrow.find("\nparse     \xE2\x80\xA6/re/_parser.py:970       2"), std::string::npos)
      << narrow;
  EXPECT_NE(narrow.find("\nparse     /app/lib/util.py:30       1"), std::string::npos) << narrow;

  // Sorted by calls, the calls column decides, not calls and resumes.
  o = {};
  o.sort = reader::SortKey::Calls;
  const std::string by_calls = text_of(read(), o);
  const size_t parse = by_calls.find("\nparse     /app/lib/util.py:3 ");
  const size_t tokens = by_calls.find("\ntokens ");
  ASSERT_NE(parse, std::string::npos);
  EXPECT_LT(parse, tokens) << by_calls;
}

TEST_P(Twins, ReportJsonRowsAddResumesAndKeepEveryKey) {
  Trace t = read();
  reader::ReportOptions o;
  o.top = 3;
  EXPECT_EQ(
      reader::report_json(t, o).value(),
      "[\n"
      "  {\"function\":\"tokens\",\"file\":\"/app/main.py\",\"line\":7,\"kind\":\"function\","
      "\"calls\":2,\"primitive_calls\":2,\"resumes\":6,\"total_ns\":32,\"self_ns\":32,"
      "\"max_ns\":4},\n"
      "  {\"function\":\"<module>\",\"file\":\"/app/main.py\",\"line\":1,\"kind\":\"function\","
      "\"calls\":1,\"primitive_calls\":1,\"resumes\":0,\"total_ns\":105,\"self_ns\":25,"
      "\"max_ns\":105},\n"
      "  {\"function\":\"parse\",\"file\":\"/app/lib/util.py\",\"line\":3,\"kind\":\"function\","
      "\"calls\":3,\"primitive_calls\":3,\"resumes\":0,\"total_ns\":15,\"self_ns\":15,"
      "\"max_ns\":5}\n"
      "]\n");
}

// ---- pstats ----

std::string hex_text(std::string_view s) {
  return hex(std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

std::string le32(uint32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

// The marshal bytes of the key (file, line, name) and of the head of its
// entry: (primitive calls, calls, ...
std::string entry_head(std::string_view file, uint32_t line, std::string_view name,
                       uint32_t calls) {
  std::string b = ")\x03u" + le32(static_cast<uint32_t>(file.size())) + std::string(file) + "i" +
                  le32(line) + "u" + le32(static_cast<uint32_t>(name.size())) + std::string(name) +
                  ")\x05i" + le32(calls) + "i" + le32(calls);
  return hex_text(b);
}

TEST_P(Twins, PstatsKeysAreFileLineAndName) {
  const std::string all = hex_text(reader::render_pstats(read()));
  EXPECT_NE(all.find(entry_head("/app/lib/util.py", 3, "parse", 3)), std::string::npos);
  EXPECT_NE(all.find(entry_head("/usr/lib/python3.13/re/_parser.py", 970, "parse", 2)),
            std::string::npos);
  EXPECT_NE(all.find(entry_head("/app/lib/util.py", 30, "parse", 1)), std::string::npos);
  EXPECT_NE(all.find(entry_head("/app/main.py", 1, "<module>", 1)), std::string::npos);
  EXPECT_NE(all.find(entry_head("/app/lib/util.py", 1, "<module>", 1)), std::string::npos);
  // A generator's calls are its starts, as in the report.
  EXPECT_NE(all.find(entry_head("/app/main.py", 7, "tokens", 2)), std::string::npos);
  EXPECT_EQ(all.find(hex_text("u\x01\x00\x00\x00~")), std::string::npos);  // no "~" file
}

// ---- collapsed stacks, speedscope, SVG ----

TEST_P(Twins, CollapsedFramesNameTheirFileAndLine) {
  reader::StringSink out;
  ASSERT_TRUE(reader::render_collapsed(read(), out).ok());
  EXPECT_EQ(out.text,
            "MainThread;<module> (/app/main.py:1) 25\n"
            "MainThread;<module> (/app/main.py:1);<module> (/app/lib/util.py:1) 10\n"
            "MainThread;<module> (/app/main.py:1);tokens (/app/main.py:7) 32\n"
            "MainThread;<module> (/app/main.py:1);parse (/app/lib/util.py:3) 15\n"
            "MainThread;<module> (/app/main.py:1);"
            "parse (/usr/lib/python3.13/re/_parser.py:970) 14\n"
            "MainThread;<module> (/app/main.py:1);parse (/app/lib/util.py:30) 9\n");
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_P(Twins, SpeedscopeHasAFrameWithFileAndLinePerFunction) {
  TraceFile file, out;
  write_runs(file, GetParam(), twins_code(), program_threads(), {ProcessRun{.events = twins()}}, 5);
  const std::string path = out.path() + ".speedscope.json";
  auto r = reader::convert(file.path(), path);
  ASSERT_TRUE(r.ok()) << r.error().text();
  const std::string doc = slurp(path);
  ::unlink(path.c_str());
  EXPECT_NE(doc.find("\"shared\":{\"frames\":["
                     "\n{\"name\":\"<module>\",\"file\":\"/app/main.py\",\"line\":1},"
                     "\n{\"name\":\"<module>\",\"file\":\"/app/lib/util.py\",\"line\":1},"
                     "\n{\"name\":\"tokens\",\"file\":\"/app/main.py\",\"line\":7},"
                     "\n{\"name\":\"parse\",\"file\":\"/app/lib/util.py\",\"line\":3},"
                     "\n{\"name\":\"parse\",\"file\":\"/usr/lib/python3.13/re/_parser.py\","
                     "\"line\":970},"
                     "\n{\"name\":\"parse\",\"file\":\"/app/lib/util.py\",\"line\":30}]}"),
            std::string::npos)
      << doc.substr(0, 600);
  // Every slice of a frame opens and closes that frame: 8 of tokens (2).
  static const std::regex open_tokens(R"re("type":"O","frame":2,)re");
  const auto n = std::distance(std::sregex_iterator(doc.begin(), doc.end(), open_tokens),
                               std::sregex_iterator());
  EXPECT_EQ(n, 8);
}

TEST_P(Twins, SvgDrawsEachFunctionOnce) {
  const std::string svg = reader::render_svg(read());
  auto count = [&](std::string_view what) {
    size_t n = 0;
    for (size_t at = svg.find(what); at != std::string::npos; at = svg.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("<g><title>"), 6u);
  EXPECT_EQ(count("<g><title>parse\n"), 3u);
  EXPECT_EQ(count("<g><title>&lt;module&gt;\n"), 2u);
  EXPECT_NE(svg.find("<g><title>parse\n/usr/lib/python3.13/re/_parser.py:970\ntotal 14 ns "),
            std::string::npos);
  EXPECT_NE(svg.find("<g><title>parse\n/app/lib/util.py:30\ntotal 9 ns "), std::string::npos);
  EXPECT_NE(svg.find("<g><title>tokens\n/app/main.py:7\ntotal 32 ns (30.5%), self 32 ns, "
                     "calls 2, resumes 6</title>"),
            std::string::npos)
      << svg;
  // Same-named neighbours look apart: each function its own colour here.
  static const std::regex fill(R"re(fill="(#[0-9a-f]{6})"/>)re");
  std::set<std::string> fills;
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), fill); it != std::sregex_iterator();
       ++it) {
    fills.insert((*it)[1]);
  }
  EXPECT_EQ(fills.size(), 6u);
}

INSTANTIATE_TEST_SUITE_P(Formats, Twins, ::testing::Values(Fmt::Proto, Fmt::Json),
                         [](const auto& info) { return std::string(fmt_name(info.param)); });

}  // namespace
}  // namespace morvex::test
