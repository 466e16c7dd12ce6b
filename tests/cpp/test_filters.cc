#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "core/filters.h"

namespace morvex::core {
namespace {

TEST(Glob, MatchesLikeFnmatchWithSlashesInStars) {
  const std::string many_a(60, 'a');
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"*/vendor/*", "/srv/app/vendor/lib.py", true},
      {"*/vendor/*", "/srv/app/vendors/lib.py", false},
      {"/srv/app/*.py", "/srv/app/x/y.py", true},  // '*' crosses '/'
      {"/srv/app/*.py", "/srv/app/y.pyc", false},
      {"*.py", "", false},
      {"*", "", true},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"[ab]x", "bx", true},
      {"[!ab]x", "bx", false},
      {"[a-c]x", "cx", true},
      {"[a-c]x", "dx", false},
      {"x[", "x[", true},  // an unclosed '[' is itself
      {"**a**b**", "xxaxxbxx", true},
      {"*a*a*a*a*b", many_a.c_str(), false},  // no exponential blow-up
  };
  for (const auto& [pattern, text, expected] : cases)
    EXPECT_EQ(glob_match(pattern, text), expected) << pattern << " ~ " << text;
}

TEST(CodeFilter, ChecksPatternsBeforeAnythingRuns) {
  for (const char* ok : {"myapp", "myapp.db", "__main__", "*/vendor/*", "/srv/x.py", ":stdlib",
                         ":site-packages", "pkg_ü"}) {
    EXPECT_EQ(CodeFilter::check(ok), std::nullopt) << ok;
  }
  for (const char* bad : {"", ":std", "my app", "a..b", ".a", "a.", "a,b", "C:\\x"}) {
    EXPECT_NE(CodeFilter::check(bad), std::nullopt) << bad;
  }
  EXPECT_NE(CodeFilter::check(":std")->find(":stdlib"), std::string::npos);
  // A NUL would pass as a glob, yet no name holds one; the caller names the
  // pattern, so the message need not (and a NUL in it would cut it short).
  using namespace std::string_literals;
  for (const std::string& nul : {"*/a\0b"s, "a\0b"s, "\0"s}) {
    std::optional<std::string> why = CodeFilter::check(nul);
    ASSERT_NE(why, std::nullopt);
    EXPECT_EQ(*why, "a NUL character matches no name");
  }
}

TEST(CodeFilter, ExcludesWinIncludesNarrow) {
  CodePlaces places{{"/usr/lib/python3.13"},
                    {"/usr/lib/python3.13/site-packages", "/home/u/.local/lib/site"}};
  struct Code {
    const char* module;
    const char* file;
  };
  const Code app{"myapp.db", "/srv/myapp/db.py"};
  const Code app_main{"__main__", "/srv/run.py"};
  const Code vendored{"myapp.vendor.x", "/srv/myapp/vendor/x.py"};
  const Code json{"json.decoder", "/usr/lib/python3.13/json/decoder.py"};
  const Code frozen{"importlib._bootstrap", "<frozen importlib._bootstrap>"};
  const Code numpy{"numpy.core", "/usr/lib/python3.13/site-packages/numpy/core.py"};
  const Code user_site{"req", "/home/u/.local/lib/site/req.py"};
  const Code unknown{"", "<string>"};
  struct Case {
    FilterSettings settings;
    std::vector<Code> recorded, left_out;
  };
  const Case cases[] = {
      {{}, {app, json, frozen, unknown}, {}},
      {{{"myapp"}, {}}, {app, vendored}, {app_main, json, numpy, unknown}},
      {{{"myapp"}, {"*/vendor/*"}}, {app}, {vendored, json}},
      {{{}, {":stdlib"}}, {app, numpy, user_site, unknown}, {json, frozen}},
      {{{}, {":site-packages"}}, {app, json}, {numpy, user_site}},
      {{{"__main__", "myapp.db"}, {}}, {app_main, app}, {vendored}},
      // "myapp" is not "myapp2" even though it is a prefix.
      {{{"myapp"}, {}}, {}, {{"myapp2.x", "/srv/myapp2/x.py"}}},
  };
  for (const Case& c : cases) {
    CodeFilter f(c.settings, places);
    for (const Code& code : c.recorded)
      EXPECT_TRUE(f.records({code.module, code.file})) << code.module << " " << code.file;
    for (const Code& code : c.left_out)
      EXPECT_FALSE(f.records({code.module, code.file})) << code.module << " " << code.file;
  }
}

TEST(Durations, NumbersOfSecondsOrWithAUnit) {
  const std::pair<const char*, uint64_t> good[] = {
      {"50us", 50'000},    {"1.5ms", 1'500'000},  {"2s", 2'000'000'000},
      {"100ns", 100},      {"0.25", 250'000'000}, {"3", 3'000'000'000},
      {"1e-3", 1'000'000}, {"7 ms", 7'000'000},   {"5\xc2\xb5s", 5'000},
  };
  for (const auto& [text, ns] : good) {
    auto r = parse_duration(text);
    ASSERT_TRUE(r.ok()) << text;
    EXPECT_EQ(r.value(), ns) << text;
  }
  for (const char* bad : {"", "ms", "-1ms", "+1s", "1 fortnight", "nan", "inf", "1e30s", "1,5ms"}) {
    auto r = parse_duration(bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_NE(r.message().find(bad), std::string::npos);
  }
}

TEST(FilterReport, StatesTheOptionsSetAndWhatEachLeftOut) {
  FilterReport r{{{"a", "b.c"}, {}, 5, std::nullopt}, 3, 42, 0};
  std::string shown;
  for (const FilterField& f : filter_fields(r))
    shown += std::string(f.key) + "=" + (f.is_number ? std::to_string(f.number) : f.text) + " ";
  EXPECT_EQ(shown, "include=a,b.c max_depth=5 filtered_functions=3 max_depth_events=42 ");
}

}  // namespace
}  // namespace morvex::core
