#include "io/console.hpp"
namespace gw {
LocalTime local_time_now() { return {}; }
void Console::date_time() { out_ << format_date_time_line(clock_()) << '\n'; }
void Console::empty() { out_ << '\n'; }
void Console::count(std::string_view label, std::int64_t n) { out_ << format_count_line(label, n) << '\n'; }
void Console::weights(double a, double b, double c, double d) { out_ << format_weight_line(a, b, c, d) << '\n'; }
void Console::progress(std::int64_t step) { out_ << format_progress_line(step) << '\n'; }
void Console::line(std::string_view text) { out_ << text << '\n'; }
}  // namespace gw
