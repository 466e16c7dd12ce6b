#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "app/format.h"
#include "fakes.h"

namespace morvex::app {
namespace {

using test::TraceFile;

TEST(Format, ParsesTheExactNames) {
  const std::pair<const char*, std::optional<Format>> cases[] = {
      {"json", Format::Json},   {"protobuf", Format::Protobuf}, {"proto", Format::Protobuf},
      {"pb", Format::Protobuf}, {"JSON", std::nullopt},         {" json", std::nullopt},
      {"", std::nullopt},       {"perfetto", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    auto r = Format::parse(text);
    if (expected) {
      ASSERT_TRUE(r.ok()) << text;
      EXPECT_EQ(r.value(), *expected);
    } else {
      ASSERT_FALSE(r.ok()) << text;
      EXPECT_EQ(r.message(), std::string("unknown format: ") + text);
    }
  }
}

TEST(Format, StartingATraceEmptiesTheFileJoiningKeepsIt) {
  for (Format f : {Format::Json, Format::Protobuf}) {
    SCOPED_TRACE(f.name());
    TraceFile file;
    { std::ofstream(file.path()) << "old"; }
    {
      auto e = f.open(file.path(), 0, /*append=*/false);
      ASSERT_TRUE(e.ok());
    }
    // JSON begins a document with its one bracket; Perfetto writes nothing
    // until there is something to say.
    EXPECT_EQ(file.contents(), f == Format::Json ? "[" : "");
    {
      auto e = f.open(file.path(), 4242, /*append=*/true);
      ASSERT_TRUE(e.ok());
    }
    EXPECT_EQ(file.contents(), f == Format::Json ? "[" : "");
  }
}

TEST(Format, OpenErrorsCarryTheSystemError) {
  for (Format f : {Format::Json, Format::Protobuf}) {
    for (bool append : {false, true}) {
      auto e = f.open("/nonexistent-dir/t", 0, append);
      ASSERT_FALSE(e.ok());
      EXPECT_EQ(e.error().os_code(), ENOENT);
    }
  }
}

}  // namespace
}  // namespace morvex::app
