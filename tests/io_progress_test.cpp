// The progress line: its text, when it is drawn, and that it is always
// cleared; nothing at all without a terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "io/progress.hpp"

namespace gw {
namespace {

TEST(ProgressText, DurationsAndLines) {
  const std::pair<double, const char*> durations[] = {
      {0.4, "0 s"},           {59.4, "59 s"},        {59.6, "1 min 0 s"},  {80, "1 min 20 s"},
      {3599.4, "59 min 59 s"}, {3600, "1 h 00 min"}, {7500, "2 h 05 min"}, {-3, "0 s"},
  };
  for (const auto& [s, text] : durations) EXPECT_EQ(format_duration(s), text) << s;
  EXPECT_EQ(progress_text("inverting", 0.42, 58, 80), "inverting: 42% done, about 1 min 20 s left");
  EXPECT_EQ(progress_text("inverting", 0.999, 58, 0.3), "inverting: 99% done, under 1 s left");
  EXPECT_EQ(progress_text("inverting", 0.0, 3.2, -1), "inverting: 0% done, 3 s so far");
  EXPECT_EQ(progress_text("factorising", -1, 12.2, -1), "factorising: 12 s so far");
}

// A clock the test sets; no ticker, so that every write is the test's own.
struct Fixture {
  double now = 0;
  std::ostringstream err;
  ProgressLine progress{err, true, ProgressLine::Settings{0.25, false, 60, [this] { return now; }}};
};

// What erases a line of n characters. (Built in place: GCC 12 gives a
// spurious -Wrestrict for "\r" + std::string(n, ' ').)
std::string erased(std::size_t n) {
  std::string s(n + 2, ' ');
  s.front() = s.back() = '\r';
  return s;
}

TEST(ProgressLine, DrawsAtMostEveryIntervalAndClearsTheLine) {
  Fixture f;
  f.progress.begin("inverting");
  f.now = 0.1;
  f.progress.update(0.01);  // the stage has not yet run a quarter of a second
  EXPECT_EQ(f.err.str(), "");
  f.now = 10;
  f.progress.update(0.02);
  const std::string first = "inverting: 2% done, about 8 min 10 s left";
  EXPECT_EQ(f.err.str(), "\r" + first);
  f.now = 10.1;
  f.progress.update(0.03);  // too soon after the last update
  EXPECT_EQ(f.err.str(), "\r" + first);
  // Other output: the line goes away and comes back unchanged.
  f.progress.write([&] { f.err << "[other]\n"; });
  EXPECT_EQ(f.err.str(), "\r" + first + erased(first.size()) + "[other]\n\r" + first);
  // A shorter text covers the rest of the longer one with blanks.
  const std::string second = "inverting: 50% done, about 20 s left";
  const std::string want = f.err.str() + "\r" + second + std::string(first.size() - second.size(), ' ');
  f.now = 20;
  f.progress.update(0.5);
  EXPECT_EQ(f.err.str(), want);
  f.progress.end();
  EXPECT_EQ(f.err.str(), want + erased(second.size()));
  // After the stage nothing more is drawn.
  f.now = 30;
  f.progress.update(0.9);
  EXPECT_EQ(f.err.str(), want + erased(second.size()));
}

TEST(ProgressLine, AStageEndedByAnExceptionLeavesNoLine) {
  Fixture f;
  try {
    const Stage stage(&f.progress, "factorising", false);
    f.now = 12.2;
    stage.update(0);
    throw std::runtime_error("stop");
  } catch (const std::runtime_error&) {
  }
  const std::string line = "factorising: 12 s so far";
  EXPECT_EQ(f.err.str(), "\r" + line + erased(line.size()));
}

TEST(ProgressLine, ALineNeverWiderThanTheTerminal) {
  Fixture f;
  f.progress.begin(std::string(100, 'x'));
  f.now = 1;
  f.progress.update(0.5);
  std::string expected(60, 'x');
  expected[0] = '\r';
  EXPECT_EQ(f.err.str(), expected);
}

TEST(ProgressLine, WritesNothingWithoutATerminal) {
  std::ostringstream err;
  ProgressLine progress(err, false);
  progress.begin("inverting");
  progress.update(0.5);
  bool ran = false;
  progress.write([&] { ran = true; });
  progress.end();
  EXPECT_TRUE(ran);
  EXPECT_EQ(err.str(), "");
}

// The ticker redraws the line between reports, so that the time moves on
// through a long step that reports nothing.
TEST(ProgressLine, TickerRedrawsBetweenReports) {
  std::atomic<double> now{0};
  std::ostringstream err;
  ProgressLine progress(err, true, ProgressLine::Settings{0.01, true, 80, [&] { return now.load(); }});
  progress.begin("factorising", false);
  now = 7.2;
  std::string seen;
  for (int i = 0; i < 500 && seen.find("factorising: 7 s so far") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    progress.write([&] { seen = err.str(); });
  }
  EXPECT_NE(seen.find("\rfactorising: 7 s so far"), std::string::npos) << seen;
}

}  // namespace
}  // namespace gw
