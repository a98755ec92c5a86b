// Number layouts of the result file and the console lines.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "io/console.hpp"
#include "io/number_format.hpp"

namespace gw {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FormatFree, Table) {
  const std::vector<std::pair<double, std::string>> rows = {
      {1.5, "1.500000000000000"},
      {-12.25, "-12.25000000000000"},
      {0.5, "0.5000000000000000"},
      {0.05, "5.000000000000000E-02"},
      {2.5e20, "2.500000000000000E+20"},
      {1e-100, "1.000000000000000E-100"},
      {-1e-100, "-1.000000000000000E-100"},
      {1.7976931348623157e308, "1.797693134862316E+308"},
      {4.9e-324, "4.940656458412465E-324"},
      {0.0, "0.000000000000000E+00"},
      {-0.0, "0.000000000000000E+00"},
      {1.0 / 3, "0.3333333333333333"},
      {-2.0 / 3, "-0.6666666666666666"},
      {123456.789, "123456.7890000000"},
      // The form boundaries, decided before rounding.
      {0.1, "0.1000000000000000"},
      {0.09999, "9.999000000000000E-02"},
      {0.09999999999999999, "9.999999999999999E-02"},  // the double just below 0.1
      {0.9999999999999999, "0.9999999999999999"},      // the double just below 1
      {9.999999999999999e14, "999999999999999.9"},
      {9999999999999998.0, "9999999999999998."},
      {1e16, "1.000000000000000E+16"},
      {-1e16, "-1.000000000000000E+16"},
      // Exact halfway cases round to even.
      {1234567890123456.5, "1234567890123456."},
      {1234567890123457.5, "1234567890123458."},
      {3001.0 / (1 << 18), "1.144790649414062E-02"},  // 0.011447906494140625
      {3003.0 / (1 << 18), "1.145553588867188E-02"},  // 0.011455535888671875
      {std::nan(""), "NaN"},
      {kInf, "Infinity"},
      {-kInf, "-Infinity"},
  };
  for (const auto& [x, text] : rows) EXPECT_EQ(format_free(x), text) << x;
}

TEST(FormatWeight, Fields) {
  const std::vector<std::pair<double, std::string>> rows = {
      {1.5, "     1.50000"},
      {-12.25, "   -12.25000"},
      {0.05, "     0.05000"},
      {0.0, "     0.00000"},
      {-0.0, "     0.00000"},
      // A negative value that rounds to zero keeps its sign.
      {-1e-9, "    -0.00000"},
      {-1e-6, "    -0.00000"},
      {-4e-6, "    -0.00000"},
      {-5e-6, "    -0.00001"},  // the double lies just beyond the halfway point
      {-0.000005000001, "    -0.00001"},
      {-6e-6, "    -0.00001"},
      {1e-6, "     0.00000"},
      {999999.999994, "999999.99999"},
      {999999.999996, "************"},  // rounds to 1000000.00000
      {1e6, "************"},
      {-99999.99999, "-99999.99999"},
      {-100000.0, "************"},
      {1e300, "************"},
      {1.0 / 64, "     0.01562"},  // exact halfway cases round to even
      {3.0 / 64, "     0.04688"},
      {-1.0 / 64, "    -0.01562"},
      {std::nan(""), "         NaN"},
      {kInf, "    Infinity"},
      {-kInf, "   -Infinity"},
  };
  for (const auto& [x, text] : rows) EXPECT_EQ(format_weight_field(x), text) << x;
  EXPECT_EQ(format_weight_line(1.5, -12.25, 0.05, 0), "     1.50000   -12.25000     0.05000     0.00000");
}

TEST(FormatLines, CountsProgressLimitAndDate) {
  EXPECT_EQ(format_count_line("No. of animals = ", 123), "No. of animals =      123");
  EXPECT_EQ(format_count_line("No. of records = ", 99999999), "No. of records = 99999999");
  EXPECT_EQ(format_count_line("No. of records = ", 100000000), "No. of records = ********");
  EXPECT_EQ(format_progress_line(200), " 200");
  EXPECT_EQ(format_iteration_limit_line(1000), "No. iterations =       1000");
  EXPECT_EQ(format_date_time_line({2024, 3, 15, 14, 25, 7, 399}), "Date = 20240315  Time = 142507.3");
  EXPECT_EQ(format_date_time_line({987, 1, 2, 3, 4, 5, 999}), "Date = 09870102  Time = 030405.9");
}

TEST(Console, ReportLines) {
  std::ostringstream out;
  int calls = 0;
  Console console(out, [&] {
    ++calls;
    return LocalTime{2024, 12, 31, 23, 59, 59, 950 + calls};
  });
  console.date_time();
  console.empty();
  console.progress(100);
  console.count("No. of animals = ", 3);
  console.weights(1.5, -12.25, 0.05, 0);
  console.line(" Matrix is singular !");
  console.date_time();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(out.str(),
            "Date = 20241231  Time = 235959.9\n"
            "\n"
            " 100\n"
            "No. of animals =        3\n"
            "     1.50000   -12.25000     0.05000     0.00000\n"
            " Matrix is singular !\n"
            "Date = 20241231  Time = 235959.9\n");
}

TEST(Console, LocalTimeIsAPlausibleClockReading) {
  const LocalTime t = local_time_now();
  EXPECT_GE(t.year, 2020);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31);
  EXPECT_TRUE(t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 && t.second >= 0 && t.second <= 60);
  EXPECT_TRUE(t.millisecond >= 0 && t.millisecond < 1000);
}

}  // namespace
}  // namespace gw
