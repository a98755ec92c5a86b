// The progress line of the long stages of a run, on standard error.
//
// When standard error is a terminal, one line shows the stage that runs,
// the share of it done and an estimate of the time left:
//
//   inverting the record matrix: 42% done, about 1 min 20 s left
//
// A stage whose share cannot be told shows its time so far instead. The line
// is rewritten in place ("\r") at most once per interval (a quarter of a
// second), the first time when the stage has run that long, so that short
// stages show nothing; it is cleared when the stage ends, also when it ends
// by an exception. A ticker thread redraws it between reports, so that the
// time keeps moving through long steps that report nothing. When standard
// error is not a terminal, nothing is written at all.
//
// Anything else written to the same terminal while a stage runs (standard
// output included) must go through write(), which takes the line away and
// puts it back, so that no other text lands in the middle of it.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>

#include "base/stages.hpp"

namespace gw {

// The text of the line: "STAGE: P% done, about T left" for a share in
// (0, 1] ("under 1 s left" near the end), "STAGE: 0% done, T so far" for a
// share of zero, and "STAGE: T so far" for a share below zero (not known).
// `elapsed` and `left` are in seconds.
std::string progress_text(const std::string& stage, double share, double elapsed, double left);

// A duration rounded to whole seconds: "42 s", "1 min 20 s", "2 h 05 min".
std::string format_duration(double seconds);

// The observer of a run's stages (base/stages.hpp) that draws the line.
class ProgressLine final : public StageObserver {
 public:
  // Seconds on a steady clock.
  using Clock = std::function<double()>;

  struct Settings {
    double interval = 0.25;  // seconds between two updates, and before the first
    bool ticker = true;      // a thread that redraws the line between reports
    int width = 0;           // columns of the terminal; 0: asked from standard error (80 if unknown)
    Clock clock;             // default: std::chrono::steady_clock
  };

  // Writes nothing, ever.
  ProgressLine();
  // Writes to `err` when `terminal` is set.
  ProgressLine(std::ostream& err, bool terminal);
  ProgressLine(std::ostream& err, bool terminal, Settings settings);
  ~ProgressLine() override;
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Whether file descriptor 2 is a terminal.
  static bool standard_error_is_terminal();

  // A new stage starts now (and the one before, if any, ends). With
  // `measured` unset its share is not known and the line shows its time so
  // far.
  void begin(std::string_view stage, bool measured = true) override;
  // The share of the stage done, 0 to 1. May be called from any thread.
  void update(double share) override;
  // The stage is over: the line is cleared.
  void end() override;
  // Runs `output` with the line out of the way.
  void write(const std::function<void()>& output);

 private:
  void tick();
  void draw(double now);  // the caller holds mutex_
  void erase();           // the caller holds mutex_

  std::ostream* err_ = nullptr;
  double interval_ = 0.25;
  std::size_t width_ = 80;
  Clock clock_;

  std::mutex mutex_;
  std::string stage_;  // empty: no stage
  bool measured_ = true;
  double start_ = 0, share_ = 0, share_time_ = 0, last_draw_ = 0;
  std::string shown_;  // the text on the terminal now

  std::condition_variable wake_;
  bool stop_ = false;
  std::thread ticker_;
};


}  // namespace gw
