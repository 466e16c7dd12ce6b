// `morvex report --summary`: what a known trace says about itself, as text
// and as the one JSON object scripts read.
#include <gtest/gtest.h>

#include "reader/summary.h"
#include "reader_fixtures.h"

namespace morvex::test {
namespace {

using reader::Trace;

// The known program in one process, and a second that dropped events.
Trace two_processes(Fmt fmt) {
  TraceFile file;
  write_runs(file, fmt, program_code(), program_threads(),
             {ProcessRun{.events = program()},
              ProcessRun{.pid = 200, .sequence_base = 1000, .events = program(), .dropped = 17}});
  Trace t = read_ok(file.path());
  t.path = "app.trace";  // a fixed name for the expected text
  return t;
}

TEST(Summary, JsonOfAKnownTrace) {
  Trace t = two_processes(Fmt::Json);
  const std::string size = std::to_string(t.file_size);
  EXPECT_EQ(reader::summary_json(t),
            "{\"file\":\"app.trace\",\"format\":\"json\",\"file_size\":" + size +
                ",\"events\":56,\"instants\":0,\"first_ts\":0,\"last_ts\":300,\"dropped\":17,"
                "\"lost_gaps\":0,\"filters\":null,"
                "\"processes\":[{\"pid\":100,\"name\":\"\",\"dropped\":0,\"filters\":null},"
                "{\"pid\":200,\"name\":\"\",\"dropped\":17,\"filters\":null}],"
                "\"threads\":["
                "{\"pid\":100,\"tid\":1,\"name\":\"MainThread\",\"slices\":12,\"traced_ns\":300,"
                "\"first_ts\":0,\"last_ts\":300},"
                "{\"pid\":100,\"tid\":2,\"name\":\"worker-0\",\"slices\":2,\"traced_ns\":45,"
                "\"first_ts\":50,\"last_ts\":95},"
                "{\"pid\":200,\"tid\":1,\"name\":\"MainThread\",\"slices\":12,\"traced_ns\":300,"
                "\"first_ts\":0,\"last_ts\":300},"
                "{\"pid\":200,\"tid\":2,\"name\":\"worker-0\",\"slices\":2,\"traced_ns\":45,"
                "\"first_ts\":50,\"last_ts\":95}],"
                "\"open_at_end\":0,\"unmatched_ends\":0,\"damage\":null,"
                "\"notes\":[\"17 events were dropped while tracing; figures are lower bounds.\"]}"
                "\n");
}

TEST(Summary, TextOfAKnownTrace) {
  Trace t = two_processes(Fmt::Proto);
  t.file_size = 2048;
  EXPECT_EQ(reader::summary_text(t),
            "17 events were dropped while tracing; figures are lower bounds.\n"
            "\n"
            "Trace      app.trace (Perfetto, 2.00 KiB)\n"
            "Events     56\n"
            "Dropped    17 events\n"
            "Filters    none\n"
            "Processes  2\n"
            "  pid 100 python: 2 threads\n"
            "  pid 200 python: 2 threads, 17 events dropped\n"
            "Threads    4\n"
            "  MainThread (pid 100, tid 1): 12 slices, 300 ns traced\n"
            "  worker-0 (pid 100, tid 2): 2 slices, 45 ns traced\n"
            "  MainThread (pid 200, tid 1): 12 slices, 300 ns traced\n"
            "  worker-0 (pid 200, tid 2): 2 slices, 45 ns traced\n");
}

TEST(Summary, DamageAndFiltersThatDiffer) {
  Trace t = two_processes(Fmt::Json);
  t.damage = reader::Damage::CutOff;
  t.damage_offset = 120;
  reader::FilterInfo a;
  a.include = "app";
  a.filtered_functions = 3;
  reader::FilterInfo b = a;
  b.max_depth = 4;
  b.max_depth_events = 9;
  t.processes[0].filters = a;
  t.processes[1].filters = b;
  const std::string json = reader::summary_json(t);
  EXPECT_NE(json.find("\"damage\":{\"kind\":\"cut_off\",\"offset\":120}"), std::string::npos);
  // Summed counts; no options, which would hold for one process only.
  EXPECT_NE(json.find("\"filters\":{\"include\":null,\"exclude\":null,\"max_depth\":null,"
                      "\"min_duration_ns\":null,\"filtered_functions\":6,\"max_depth_events\":9,"
                      "\"min_duration_events\":0,\"same_options\":false}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"pid\":200,\"name\":\"\",\"dropped\":17,\"filters\":{\"include\":\"app\","
                      "\"exclude\":null,\"max_depth\":4,"),
            std::string::npos)
      << json;
  EXPECT_EQ(reader::summary_text(t).find("Filters    none"), std::string::npos);
}

}  // namespace
}  // namespace morvex::test
