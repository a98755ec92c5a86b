// How far the long stages of a run have come.
//
// Every long stage of both paths tells one observer when it begins (with
// its name, and whether it can tell its share done), how much of it is done
// (a share from 0 to 1) as it goes, and when it ends. The progress line on
// a terminal is one observer; a benchmark's stage timer is another. A stage
// that cannot tell its share reports none and shows its time so far. Calls
// come from the thread that runs the stage; update() may also come from a
// worker thread, so an observer must take it from any thread.
#pragma once

#include <string_view>

namespace gw {

class StageObserver {
 public:
  virtual ~StageObserver() = default;
  // A stage starts now (and the one before, if any, ends).
  virtual void begin(std::string_view stage, bool measured) = 0;
  // The share of the stage done, 0 to 1.
  virtual void update(double share) = 0;
  // The stage is over.
  virtual void end() = 0;
};

// Begins a stage on construction and ends it on destruction, however the
// scope is left. Without an observer it does nothing.
class Stage {
 public:
  Stage(StageObserver* observer, std::string_view name, bool measured = true) : observer_(observer) {
    if (observer_) observer_->begin(name, measured);
  }
  ~Stage() {
    if (observer_) observer_->end();
  }
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

  void update(double share) const {
    if (observer_) observer_->update(share);
  }

 private:
  StageObserver* observer_;
};

// Stages that follow one another: next() ends the stage before, if any,
// and begins the next; the last one ends with finish() or on destruction,
// however the scope is left. Without an observer it does nothing.
class StageSequence {
 public:
  explicit StageSequence(StageObserver* observer) : observer_(observer) {}
  ~StageSequence() { finish(); }
  StageSequence(const StageSequence&) = delete;
  StageSequence& operator=(const StageSequence&) = delete;

  void next(std::string_view name, bool measured = false) {
    finish();
    if (observer_) observer_->begin(name, measured);
    open_ = observer_ != nullptr;
  }
  void update(double share) const {
    if (open_) observer_->update(share);
  }
  void finish() {
    if (open_) observer_->end();
    open_ = false;
  }

 private:
  StageObserver* observer_;
  bool open_ = false;
};

// The share of a stage that runs inside another one's report: update()
// tells the observer the share done of its own work only, without a stage
// of its own (inbreeding inside a path's first stage, say). Without an
// observer it does nothing.
inline void report_share(StageObserver* observer, double share) {
  if (observer) observer->update(share);
}

}  // namespace gw
