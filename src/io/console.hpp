// The console report: every line the program shows on standard output.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string_view>

#include "io/number_format.hpp"

namespace gw {

// Reads the local wall clock.
LocalTime local_time_now();

class Console {
 public:
  using Clock = std::function<LocalTime()>;

  explicit Console(std::ostream& out, Clock clock = local_time_now) : out_(out), clock_(std::move(clock)) {}

  void date_time();  // reads the clock anew
  void empty();
  void count(std::string_view label, std::int64_t count);
  void weights(double vv1, double vv2, double vv0, double v0);
  void progress(std::int64_t step);
  // A line exactly as given (the text of a fatal condition).
  void line(std::string_view text);

 private:
  std::ostream& out_;
  Clock clock_;
};

}  // namespace gw
