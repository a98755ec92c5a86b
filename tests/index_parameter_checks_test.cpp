// Warnings on implausible parameters: which lines, with which numbers, and
// none for the parameter files that come with the program and its tests.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "io/inputs.hpp"
#include "index/parameter_checks.hpp"
#include "index/paths.hpp"
#include "index/record_matrix.hpp"
#include "io/input_file.hpp"

namespace gw {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> warnings_of(const std::string& parameters) {
  const Parameters par = read_parameters(InputText{kParameterFileName, parameters});
  const TraitMatrices t = trait_matrices(par);
  return parameter_warnings(par.k0, par.wvp, t.g0.cview(), t.r0.cview(), kParameterFileName);
}

// n traits whose genetic variance exceeds the phenotypic one.
std::string too_heritable(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += "1,1";
    for (int j = 0; j < n; ++j) s += j == i ? ",2" : ",0";
    s += "\n";
  }
  return s;
}

struct Case {
  const char* name;
  std::string parameters;
  std::vector<std::string> lines;  // each warning begins with its entry, in this order
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ParameterWarnings : public ::testing::TestWithParam<Case> {};

TEST_P(ParameterWarnings, NameTheLineTheTraitsAndTheValues) {
  const Case& c = GetParam();
  const std::vector<std::string> got = warnings_of(c.parameters);
  ASSERT_EQ(got.size(), c.lines.size()) << ::testing::PrintToString(got);
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].rfind(c.lines[i], 0), 0u) << got[i];
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParameterWarnings,
    ::testing::Values(
        Case{"plausible", "5,10,3,1\n2,20,0.5,4\n", {}},
        // Perfectly correlated traits: a correlation of 1 to rounding and a
        // G0 that is singular but positive semi-definite.
        Case{"correlation_one", "1,10,2,0\n1,10,2.449489742783178,3\n",
             {"GParameter.csv: the genetic covariance matrix is singular: traits 1 and 2 have a genetic correlation "
              "of 1 (covariance 2.44949, genetic variances 2 and 3)"}},
        Case{"genetic_above_phenotypic", "5,10,30,1\n2,20,0.5,4\n",
             {"GParameter.csv line 1: the genetic variance of trait 1 (30) is greater than its phenotypic variance "
              "(10): heritability 3, outside [0, 1]; check fields 2 and 3"}},
        Case{"negative_genetic", "5,10,3,1\n2,20,0.5,-4\n",
             {"GParameter.csv line 2: the genetic variance of trait 2 (-4) is negative: heritability -0.2, outside "
              "[0, 1]; check field 4"}},
        Case{"phenotypic_zero", "1,0,0\n",
             {"GParameter.csv line 1: the phenotypic variance of trait 1 (0) is not positive",
              "GParameter.csv: the genetic covariance matrix is singular: the genetic variance of trait 1 is 0"}},
        // The correlation explains why G0 is not positive semi-definite:
        // no line of its own for that.
        Case{"genetic_correlation", "1,10,3,0\n1,10,4,2\n",
             {"GParameter.csv line 2: the genetic correlation of traits 1 and 2 is 1.63299 (covariance 4 in field 3, "
              "genetic variances 3 and 2), outside [-1, 1]"}},
        Case{"residual_correlation", "5,10,3,100\n2,20,0.5,4\n",
             {"GParameter.csv line 1: the residual correlation of traits 1 and 2 is 9.44911 (covariance 100 in "
              "field 4, residual variances 7 and 16), outside [-1, 1]"}},
        Case{"genetic_not_semidefinite", "1,10,1,0,0\n1,10,0.9,1,0\n1,10,0.9,-0.9,1\n",
             {"GParameter.csv: the genetic covariance matrix is not positive semi-definite: the genetic "
              "(co)variances of traits 1, 2 and 3 cannot hold together"}},
        // Residual variances 9, correlations 0.9, 0.9 and -0.9; trait 4 is
        // unrelated and left out of the line.
        Case{"residual_not_semidefinite", "1,10,1,8.1,0,8.1\n1,10,0,1,0,-8.1\n1,10,0,0,1,0\n1,10,0,0,0,1\n",
             {"GParameter.csv: the residual covariance matrix is not positive semi-definite: the residual "
              "(co)variances of traits 1, 2 and 4 cannot hold together"}},
        Case{"covariance_without_variance", "5,10,0,1\n2,20,0.5,4\n",
             {"GParameter.csv: the genetic covariance matrix is not positive semi-definite: the genetic covariance "
              "of traits 1 and 2 (0.5) is not possible with their variances (0 and 4)"}},
        Case{"targets_all_zero", "0,10,3,1\n0,20,0.5,4\n",
             {"GParameter.csv: the target value K0 (field 1) is 0 for every trait, so every weight is 0"}},
        // Thirty such traits: ten lines and a count of the rest.
        Case{"many", too_heritable(30),
             {"GParameter.csv line 1: the genetic variance of trait 1 (2)", "GParameter.csv line 2:",
              "GParameter.csv line 3:", "GParameter.csv line 4:", "GParameter.csv line 5:", "GParameter.csv line 6:",
              "GParameter.csv line 7:", "GParameter.csv line 8:", "GParameter.csv line 9:",
              "GParameter.csv line 10:",
              "GParameter.csv: 20 more traits with an impossible phenotypic or genetic variance (not listed)"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The parameter files of the examples and of the end-to-end fixtures are
// plausible: a run on them writes nothing on standard error.
TEST(ParameterWarnings, NoneForTheBundledParameterFiles) {
  std::vector<fs::path> dirs;
  for (const char* root : {GAINWEIGHTS_EXAMPLES, GAINWEIGHTS_TEST_DATA "/e2e"})
    for (const auto& e : fs::directory_iterator(root))
      if (fs::exists(e.path() / kParameterFileName)) dirs.push_back(e.path());
  ASSERT_GE(dirs.size(), 10u);
  for (const fs::path& dir : dirs) {
    const Parameters par = read_parameters(load_input_file(dir, kParameterFileName));
    const TraitMatrices t = trait_matrices(par);
    EXPECT_EQ(parameter_warnings(par.k0, par.wvp, t.g0.cview(), t.r0.cview(), kParameterFileName),
              std::vector<std::string>{})
        << dir;
  }
}

// Large matrices: three traits among 300 that cannot hold together are
// found and named alone; a positive definite matrix and a singular positive
// semi-definite one (rank 40) pass.
TEST(IndefiniteTraits, FindsTheTraitsInvolvedAmongMany) {
  const int n = 300;
  Matrix<double> m(n, n);
  for (int i = 0; i < n; ++i) {
    m(i, i) = 2.0;
    if (i + 1 < n) m(i, i + 1) = m(i + 1, i) = 0.5;  // diagonally dominant
  }
  ASSERT_EQ(indefinite_traits(m.cview()), std::nullopt);
  for (const int i : {49, 119, 169})
    for (int j = 0; j < n; ++j)
      if (j != i) m(i, j) = m(j, i) = 0.0;
  m(49, 119) = m(119, 49) = 1.8;
  m(49, 169) = m(169, 49) = 1.8;
  m(119, 169) = m(169, 119) = -1.8;
  EXPECT_EQ(indefinite_traits(m.cview()), (std::vector<int>{49, 119, 169}));

  Matrix<double> b(n, 40), s(n, n);
  for (int j = 0; j < 40; ++j)
    for (int i = 0; i < n; ++i) b(i, j) = std::sin(1.0 + i * 0.37 + j * 1.91);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      for (int l = 0; l < 40; ++l) s(i, j) += b(i, l) * b(j, l);
  EXPECT_EQ(indefinite_traits(s.cview()), std::nullopt);
}

}  // namespace
}  // namespace gw
