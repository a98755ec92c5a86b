#include "io/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace gw {

namespace {

constexpr int kSignificant = 16;

std::string right_aligned(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

// An integer right-aligned in `width` columns, or `width` asterisks when it
// needs more.
std::string integer_field(std::int64_t value, std::size_t width) {
  std::string text = std::to_string(value);
  if (text.size() > width) return std::string(width, '*');
  return right_aligned(std::move(text), width);
}

// Not-a-number and the infinities, as both layouts write them.
const char* non_finite_text(double x) {
  if (std::isnan(x)) return "NaN";
  return x > 0 ? "Infinity" : "-Infinity";
}

}  // namespace

std::string format_free(double x) {
  if (!std::isfinite(x)) return non_finite_text(x);
  if (x == 0) return "0.000000000000000E+00";

  // The 16 significant digits, correctly rounded (ties to even on the exact
  // binary value), and the decimal exponent after rounding.
  const double magnitude = std::fabs(x);
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific, kSignificant - 1);
  const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));  // d.ddd...e+XX
  const std::size_t e = scientific.find('e');
  std::string digits;
  digits.reserve(kSignificant);
  digits += scientific[0];
  digits.append(scientific.substr(2, e - 2));
  const int exponent = std::atoi(std::string(scientific.substr(e + 1)).c_str());

  std::string text = x < 0 ? "-" : "";
  // The form follows the value before rounding. (Doubles are too sparse
  // below a power of ten for one to round up to it in 16 digits, so the
  // digit count before the point cannot change by rounding; the layout
  // below takes the exponent after rounding all the same.)
  if (magnitude >= 0.1 && magnitude < 1e16) {
    if (exponent < 0) {
      // Below 1: a zero, the point and the 16 digits.
      text += "0.";
      text += digits;
    } else {
      // Every double below 1e16 rounds to at most 16 integer digits: those
      // of 16 digits are whole numbers already.
      const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
      text.append(digits, 0, integer_digits);
      text += '.';
      text.append(digits, integer_digits);
    }
    return text;
  }
  text += digits[0];
  text += '.';
  text.append(digits, 1);
  char exponent_text[16];
  std::snprintf(exponent_text, sizeof exponent_text, "E%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
  text += exponent_text;
  return text;
}

std::string format_short(double x) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.6g", x);
  return buffer;
}

std::string format_weight_field(double x) {
  constexpr std::size_t kWidth = 12;
  if (!std::isfinite(x)) return right_aligned(non_finite_text(x), kWidth);
  char buffer[400];  // the largest double has 309 integer digits
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, 5);
  std::string text(buffer, result.ptr);
  // A negative value keeps its sign even when it rounds to 0.00000; only a
  // zero itself (of either sign) shows without one.
  if (x == 0.0) text = "0.00000";
  if (text.size() > kWidth) return std::string(kWidth, '*');
  return right_aligned(std::move(text), kWidth);
}

std::string format_weight_line(double vv1, double vv2, double vv0, double v0) {
  return format_weight_field(vv1) + format_weight_field(vv2) + format_weight_field(vv0) + format_weight_field(v0);
}

std::string format_count_line(std::string_view label, std::int64_t count) {
  return std::string(label) + integer_field(count, 8);
}

std::string format_progress_line(std::int64_t step) {
  std::string text(1, ' ');
  text += std::to_string(step);
  return text;
}

std::string format_iteration_limit_line(std::int64_t limit) { return "No. iterations = " + integer_field(limit, 10); }

std::string format_date_time_line(const LocalTime& t) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "Date = %04d%02d%02d  Time = %02d%02d%02d.%d", t.year, t.month, t.day, t.hour,
                t.minute, t.second, t.millisecond / 100);
  return buffer;
}

}  // namespace gw
