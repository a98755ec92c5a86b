// Warnings on the text of the parameter file: values beyond those the run
// reads, and numbers written with a decimal comma, which the value syntax
// reads as two values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/inputs.hpp"
#include "io/input_file.hpp"

namespace gw {
namespace {

struct TextCase {
  const char* name;
  std::string parameters;
  std::vector<std::string> warnings;  // each warning in full, in order
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class ParameterText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ParameterText, WarnsOfValuesTheRunDoesNotRead) {
  const TextCase& c = GetParam();
  const Parameters par = read_parameters(InputText{kParameterFileName, c.parameters});
  EXPECT_EQ(par.warnings, c.warnings);
}

std::string lines_with_an_extra_value(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += "1 10";
    for (int j = 0; j < n; ++j) s += j == i ? " 2" : " 0";
    s += " 99\n";
  }
  return s;
}

const std::string kOneTrait = " (with 1 trait, one a line, a line gives 3 values: the target, the phenotypic variance "
                              "and 1 of the covariance table)";

INSTANTIATE_TEST_SUITE_P(
    Cases, ParameterText,
    ::testing::Values(
        TextCase{"decimal_comma_and_more_values", "20 6400 1920 37,229 0\n",
                 {"GParameter.csv line 1 holds 3 values more than the run reads; they are ignored" + kOneTrait +
                  "; \"37,229\" looks like a number with a decimal comma, which is read as two values: write 37.229 "
                  "if that is meant"}},
        TextCase{"decimal_comma_alone", "20 6400,5\n",
                 {"GParameter.csv line 1: \"6400,5\" looks like a number with a decimal comma, which is read as two "
                  "values: write 6400.5 if that is meant"}},
        TextCase{"one_value_more", "5,10,3,1,9\n2,20,0.5,4\n",
                 {"GParameter.csv line 1 holds 1 value more than the run reads; it is ignored (with 2 traits, one a "
                  "line, a line gives 4 values: the target, the phenotypic variance and 2 of the covariance table)"}},
        TextCase{"a_repeat_counts_its_copies", "5 10 3 3*0\n",
                 {"GParameter.csv line 1 holds 3 values more than the run reads; they are ignored" + kOneTrait}},
        TextCase{"mixed_commas_and_blanks", "5 10 3,1 2\n2,20,0.5,4 0 0\n",
                 {"GParameter.csv line 1 holds 1 value more than the run reads; it is ignored (with 2 traits, one a "
                  "line, a line gives 4 values: the target, the phenotypic variance and 2 of the covariance table); "
                  "\"3,1\" looks like a number with a decimal comma, which is read as two values: write 3.1 if that "
                  "is meant",
                  "GParameter.csv line 2 holds 2 values more than the run reads; they are ignored (with 2 traits, one "
                  "a line, a line gives 4 values: the target, the phenotypic variance and 2 of the covariance "
                  "table)"}},
        TextCase{"commas", "5,10,3,1\n2,20,0.5,4\n", {}},
        TextCase{"commas_and_blanks", "5, 10, 3, 1\n2 ,20 , 0.5 ,4\n", {}},
        TextCase{"a_comma_at_the_end_and_a_slash", "5,10,3,1,\n2,20,0.5,4 / the second trait 7,5\n", {}},
        TextCase{"ten_lines_then_a_count", lines_with_an_extra_value(12),
                 [] {
                   std::vector<std::string> w;
                   for (int i = 1; i <= 10; ++i)
                     w.push_back("GParameter.csv line " + std::to_string(i) +
                                 " holds 1 value more than the run reads; it is ignored (with 12 traits, one a line, a "
                                 "line gives 14 values: the target, the phenotypic variance and 12 of the covariance "
                                 "table)");
                   w.push_back(
                       "GParameter.csv: 2 more lines with more values than the run reads or with a decimal comma");
                   return w;
                 }()}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace gw
