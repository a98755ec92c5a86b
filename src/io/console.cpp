#include "io/console.hpp"

#include <chrono>
#include <ctime>

namespace gw {

LocalTime local_time_now() {
  const auto now = std::chrono::system_clock::now();
  const auto since_epoch = now.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - seconds);
  const std::time_t whole = static_cast<std::time_t>(seconds.count());
  std::tm local{};
  localtime_r(&whole, &local);
  return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min,         local.tm_sec,     static_cast<int>(milliseconds.count())};
}

// Every line is flushed at once, so that the report is complete up to the
// point where a run ends, whatever ends it.
void Console::date_time() { line(format_date_time_line(clock_())); }
void Console::empty() { line(""); }
void Console::count(std::string_view label, std::int64_t n) { line(format_count_line(label, n)); }
void Console::weights(double vv1, double vv2, double vv0, double v0) {
  line(format_weight_line(vv1, vv2, vv0, v0));
}
void Console::progress(std::int64_t step) { line(format_progress_line(step)); }
void Console::line(std::string_view text) { out_ << text << '\n' << std::flush; }

}  // namespace gw
