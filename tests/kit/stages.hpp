// A stage observer that writes down what it is told, for the tests of the
// stages' reports: each begin and end, and the shares reported in between,
// with the thread that reported them.
#pragma once

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/stages.hpp"

namespace gw::testing {

class RecordedStages final : public StageObserver {
 public:
  struct Report {
    std::string stage;  // the stage open at the time ("" between stages)
    double share;       // -1 for a begin of a stage that cannot tell its share
    bool measured;
  };

  void begin(std::string_view stage, bool measured) override {
    other_thread_ = other_thread_ || std::this_thread::get_id() != caller_;
    open_ = stage;
    measured_ = measured;
    begun.emplace_back(stage);
    reports.push_back({open_, measured ? 0.0 : -1.0, measured});
  }
  void update(double share) override {
    other_thread_ = other_thread_ || std::this_thread::get_id() != caller_;
    shares.push_back(share);
    reports.push_back({open_, share, measured_});
  }
  void end() override {
    ++ended;
    open_.clear();
  }

  // Whether a report came from a thread other than the one that made the
  // observer.
  bool other_thread() const { return other_thread_; }

  std::vector<std::string> begun;  // the stages, in the order they began
  std::vector<double> shares;      // every share reported, in order
  std::vector<Report> reports;
  int ended = 0;

 private:
  std::thread::id caller_ = std::this_thread::get_id();
  std::string open_;
  bool measured_ = false;
  bool other_thread_ = false;
};

}  // namespace gw::testing
