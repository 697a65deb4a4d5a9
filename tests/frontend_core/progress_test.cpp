#include "frontend_core/reading/progress.hpp"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace profile_query {
namespace {

TEST(Progress, LineShowsBytesShareAndRate) {
  EXPECT_EQ(progress_line("reading", "r.json", 120'000'000, 480'000'000, 2.0),
            "reading r.json: 120.0 MB of 480.0 MB (25%), 60.0 MB/s");
  EXPECT_EQ(progress_line("reading", "standard input", 15'500'000, 0, 0.0),
            "reading standard input: 15.5 MB");
  // A file that grew while read never shows more than 100%.
  EXPECT_EQ(progress_line("parsing", "r", 30'000'000, 20'000'000, 0.0),
            "parsing r: 30.0 MB of 20.0 MB (100%)");
}

TEST(Progress, ShownOnlyWhenWatchedAndTheInputIsBig) {
  const struct {
    bool enabled;
    std::uint64_t total;
    std::uint64_t done;
    bool shown;
  } cases[] = {
      {false, 50'000'000, 25'000'000, false},  // not a terminal
      {true, 5'000'000, 4'000'000, false},     // a small file
      {true, 50'000'000, 1'000, true},         // a big file, from the start
      {true, 0, 5'000'000, false},             // a pipe, still small
      {true, 0, 12'000'000, true},             // a pipe, big by now
  };
  for (const auto& c : cases) {
    std::ostringstream out;
    {
      ProgressMeter meter(out, "r.json", c.enabled);
      meter.start("reading", c.total);
      meter.update(c.done);
      EXPECT_EQ(out.str().find("reading r.json") != std::string::npos, c.shown)
          << c.enabled << ' ' << c.total << ' ' << c.done;
    }
    // Whatever was shown is cleared again when the meter goes.
    if (c.shown) {
      EXPECT_EQ(out.str().substr(out.str().size() - 4), "\r\x1b[K");
    }
  }
}

// A listener hears each completed stage through to its end, also where
// the updates were spaced out past the last bytes or fell short of them;
// a stage that failed is not reported complete.
TEST(Progress, ListenerHearsEachCompletedStageEnd) {
  struct Heard {
    std::string stage;
    std::uint64_t done;
    std::uint64_t total;
  };
  std::vector<Heard> heard;
  {
    ProgressMeter meter(
        [&](std::string_view stage, std::uint64_t done, std::uint64_t total) {
          heard.push_back({std::string(stage), done, total});
        },
        "r.json");
    meter.start("reading", 50'000'000);
    meter.update(10'000'000);
    meter.update(50'000'000);  // within the interval: passed over
    meter.complete();
    meter.start("parsing", 50'000'000);
    meter.update(20'000'000);
    meter.update(48'000'000);  // the closing brackets are never counted
    meter.complete();
    meter.start("parsing", 50'000'000);
    meter.update(30'000'000);
    // Failed here: no complete(), the meter goes.
  }
  ASSERT_EQ(heard.size(), 5u);
  EXPECT_EQ(heard[0].done, 10'000'000u);
  EXPECT_EQ(heard[1].stage, "reading");
  EXPECT_EQ(heard[1].done, 50'000'000u);
  EXPECT_EQ(heard[2].stage, "parsing");
  EXPECT_EQ(heard[3].done, 50'000'000u);
  EXPECT_EQ(heard[3].total, 50'000'000u);
  EXPECT_EQ(heard[4].done, 30'000'000u);
}

}  // namespace
}  // namespace profile_query
