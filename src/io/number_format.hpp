// Text layouts of numbers and of the console report lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace gw {

// Free-form layout of the result file: 16 significant digits, fixed notation
// for 0.1 <= |x| < 1e16, exponent notation otherwise, zero (of either sign)
// as 0.000000000000000E+00. Not-a-number and infinities as "NaN",
// "Infinity", "-Infinity". Halfway cases round half to even on the exact
// binary value.
std::string format_free(double x);

// A number in a message: up to 6 significant digits, as printf's %g
// ("30", "1.63299", "1e+200", "-inf").
std::string format_short(double x);

// A weight field of the console: right-aligned in 12 columns with 5 digits
// after the point; 12 asterisks when the text needs more than 12 columns. A
// negative value has its minus sign even when it rounds to -0.00000; only a
// zero of either sign shows as 0.00000.
std::string format_weight_field(double x);

// The weight line of one trait: four weight fields, 48 characters.
std::string format_weight_line(double vv1, double vv2, double vv0, double v0);

// A count line: the 17-character label, then the count right-aligned in 8
// columns (8 asterisks when it needs more).
std::string format_count_line(std::string_view label, std::int64_t count);

// A progress line: a blank and the number.
std::string format_progress_line(std::int64_t step);

// The line of the iteration limit: "No. iterations = " and the number
// right-aligned in 10 columns.
std::string format_iteration_limit_line(std::int64_t limit);

// The local time of day as the console shows it.
struct LocalTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// "Date = YYYYMMDD  Time = hhmmss.s" (tenths cut, not rounded).
std::string format_date_time_line(const LocalTime& t);

}  // namespace gw
