#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/loss_note.h"

namespace morvex::app {
namespace {

TEST(LossNote, TallyLinesAddUpAndCutOrForeignLinesAreSkipped) {
  std::string text = tally_line(10, {1000, 300, 0}, true) + tally_line(11, {50, 0, 0}, true) +
                     "12 garbage\n" + "13 1 2 3 7\n" +  // a "whole" flag that is no flag
                     tally_line(14, {400, 100, 20}, false) + "15 999 999";  // cut short
  EXPECT_EQ(tally_line(10, {1000, 300, 0}, true), "10 1000 300 0 1\n");
  LossTally t;
  add_tally_lines(text, t);
  EXPECT_EQ(t.processes, 3u);
  EXPECT_EQ(t.lossy, 2u);
  EXPECT_EQ(t.counts.recorded, 1450u);
  EXPECT_EQ(t.counts.behind, 400u);
  EXPECT_EQ(t.counts.unwritten, 20u);
  EXPECT_FALSE(t.complete);
}

TEST(LossNote, TheLineSaysHowManyOfHowManyWhereAndWhy) {
  struct Case {
    core::LossCounts counts;
    uint32_t others = 0;  // more processes that lost nothing
    bool whole = true;
    bool lossless = false;
    std::optional<std::string> line;
  };
  const Case cases[] = {
      {{2000000, 1234567, 0},
       0,
       true,
       false,
       "morvex: 1234567 of 2000000 events dropped in out.pftrace (the writers fell behind); "
       "--lossless keeps every event"},
      {{100, 0, 0}, 0, true, false, std::nullopt},
      {{100, 0, 40},
       0,
       true,
       false,
       "morvex: 40 of 100 events dropped in out.pftrace (the stop was interrupted before they "
       "were written)"},
      {{100, 30, 40}, 2, true, false,
       "morvex: 70 of 100 events dropped in out.pftrace by 1 of 3 processes (30 as the writers "
       "fell behind, 40 as the stop was interrupted before they were written); --lossless keeps "
       "every event"},
      {{100, 30, 0}, 0, true, true,
       "morvex: 30 of 100 events dropped in out.pftrace (the lossless wait was interrupted)"},
      {{100, 30, 0}, 0, false, false,
       "morvex: at least 30 of 100 events dropped in out.pftrace (the writers fell behind); "
       "--lossless keeps every event"},
  };
  for (const Case& c : cases) {
    LossTally t;
    t.add(c.counts, c.whole);
    for (uint32_t i = 0; i < c.others; ++i) t.add({0, 0, 0}, true);
    EXPECT_EQ(loss_line(t, "out.pftrace", c.lossless), c.line);
  }
}

}  // namespace
}  // namespace morvex::app
