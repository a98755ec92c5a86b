// Inbreeding coefficients and A^-1 from the parent lists, against the dense
// relationship matrix of the tabular method; the fast inbreeding routine also
// against its plain twin.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "kit/herd.hpp"
#include "kit/stages.hpp"
#include "kernels/kernels.hpp"
#include "pedigree/relationships.hpp"

namespace gw {
namespace {

struct Ped {
  std::vector<std::int32_t> id1, id2;
};

// A random pedigree of n animals: a few founders, then animals whose
// parents are drawn from the last `window` animals (small windows give deep
// inbreeding), with unknown parents, selfing, runs of full sibs with the
// parents in either order, matings of relatives of every degree (parent and
// offspring too), animals that are sire of some offspring and dam of others,
// and founders among the later animals.
Ped random_pedigree(int n, int window, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Ped p;
  for (int i = 0; i < n; ++i) {
    std::int32_t s = 0, d = 0;
    if (i >= 3) {
      const auto pick = [&] { return static_cast<std::int32_t>(i - static_cast<int>(rng() % std::min(i, window))); };
      const int kind = static_cast<int>(rng() % 20);
      if (kind == 0) {
        s = pick();  // dam unknown
      } else if (kind == 1) {
        d = pick();  // sire unknown
      } else if (kind == 2) {
        s = d = pick();  // selfing
      } else if (kind < 6 && (p.id1[i - 1] != 0 || p.id2[i - 1] != 0)) {
        s = p.id2[i - 1], d = p.id1[i - 1];  // full sib of the animal before, parents swapped
      } else if (kind < 8) {
        s = p.id1[i - 1], d = p.id2[i - 1];  // full sib, parents in the same order
      } else if (kind != 19) {
        s = pick(), d = pick();
      }
    }
    p.id1.push_back(s);
    p.id2.push_back(d);
  }
  return p;
}

// A herd of generations with few sires and many dams: each sire has many
// mates, as in the pedigrees the fast routine is built for.
Ped herd_pedigree(int n, int generations, std::uint64_t seed) {
  herd::Shape shape;
  shape.animals = n;
  shape.generations = generations;
  std::mt19937_64 rng(seed);
  Ped p;
  for (const herd::Animal& a : herd::animals(shape, rng)) {
    p.id1.push_back(a.sire + 1);
    p.id2.push_back(a.dam + 1);
  }
  return p;
}

Matrix<double> dense_a(const Ped& p) {
  const int n = static_cast<int>(p.id1.size());
  Matrix<double> a(n, n);
  amrx(p.id1.data(), p.id2.data(), a.view(), n);
  return a;
}

Matrix<double> dense_of(const SparseLower& m) {
  Matrix<double> a(m.n, m.n);
  for (std::int64_t c = 0; c < m.n; ++c)
    for (std::int64_t e = m.colptr[c]; e < m.colptr[c + 1]; ++e) {
      a(m.rowind[e], c) = m.values[e];
      a(c, m.rowind[e]) = m.values[e];
    }
  return a;
}

// The six-animal pedigree of the textbooks: 3 = 1 x 2, 4 = 1 x ?,
// 5 = 4 x 3, 6 = 5 x 2. F(5) = F(6) = 1/8 and A^-1 has the known values.
TEST(Relationships, TextbookPedigree) {
  const Ped p{{0, 0, 1, 1, 4, 5}, {0, 0, 2, 0, 3, 2}};
  const std::vector<double> f = inbreeding(p.id1, p.id2);
  const std::vector<double> expected_f = {0, 0, 0, 0, 0.125, 0.125};
  EXPECT_EQ(f, expected_f);
  EXPECT_EQ(inbreeding_plain(p.id1, p.id2), expected_f);
  const std::vector<double> dvar = mendelian_variances(p.id1, p.id2, f);
  EXPECT_EQ(dvar, (std::vector<double>{1, 1, 0.5, 0.75, 0.5, 0.46875}));
  const Matrix<double> ainv = dense_of(pedigree_inverse(p.id1, p.id2, dvar));
  const double known[6][6] = {{11 / 6.0, 0.5, -1, -2 / 3.0, 0, 0},          {0.5, 61 / 30.0, -1, 0, 8 / 15.0, -16 / 15.0},
                              {-1, -1, 2.5, 0.5, -1, 0},                    {-2 / 3.0, 0, 0.5, 11 / 6.0, -1, 0},
                              {0, 8 / 15.0, -1, -1, 38 / 15.0, -16 / 15.0}, {0, -16 / 15.0, 0, 0, -16 / 15.0, 32 / 15.0}};
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) EXPECT_NEAR(ainv(i, j), known[i][j], 1e-15) << i << "," << j;
}

struct Case {
  const char* name;
  int n, window;  // window 0: a herd of `generations` generations
  std::uint64_t seed;
  int generations = 0;
};

// A case shows as its name in the test output.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class RandomPedigree : public ::testing::TestWithParam<Case> {};

// F of every routine against the diagonal of the tabular A and against each
// other (the tabular method against A(s, d) / 2 bit for bit), and
// A^-1 A = I.
TEST_P(RandomPedigree, AgreesWithTheTabularRelationshipMatrix) {
  const Case& c = GetParam();
  const Ped p = c.window > 0 ? random_pedigree(c.n, c.window, c.seed) : herd_pedigree(c.n, c.generations, c.seed);
  const Matrix<double> a = dense_a(p);
  const std::vector<double> f = inbreeding(p.id1, p.id2), plain = inbreeding_plain(p.id1, p.id2);
  const std::vector<double> products = inbreeding_products(p.id1, p.id2), tabular = inbreeding_tabular(p.id1, p.id2);
  EXPECT_EQ(f, inbreeding_method(p.id1, p.id2) == InbreedingMethod::tabular ? tabular : products);
  double max_f = 0;
  for (int i = 0; i < c.n; ++i) {
    EXPECT_NEAR(products[i], a(i, i) - 1.0, 1e-13) << "animal " << i + 1;
    EXPECT_NEAR(plain[i], a(i, i) - 1.0, 1e-14) << "animal " << i + 1;
    EXPECT_NEAR(products[i], plain[i], 1e-13) << "animal " << i + 1;
    const int s = p.id1[i], d = p.id2[i];
    EXPECT_EQ(tabular[i], s > 0 && d > 0 ? a(s - 1, d - 1) / 2.0 : 0.0) << "animal " << i + 1;
    max_f = std::max(max_f, f[i]);
  }
  if (c.n > 1 && c.window > 0 && c.window <= 6) {
    EXPECT_GT(max_f, 0.5) << "the case is meant to be deeply inbred";
  }
  const SparseLower ainv = pedigree_inverse(p.id1, p.id2, mendelian_variances(p.id1, p.id2, f));
  for (std::int64_t col = 0; col < ainv.n; ++col) {
    ASSERT_EQ(ainv.rowind[ainv.colptr[col]], col) << "diagonal first";
    for (std::int64_t e = ainv.colptr[col] + 1; e < ainv.colptr[col + 1]; ++e)
      ASSERT_LT(ainv.rowind[e - 1], ainv.rowind[e]);
  }
  const Matrix<double> m = dense_of(ainv);
  for (int i = 0; i < c.n; ++i)
    for (int j = 0; j < c.n; ++j) {
      double s = 0;
      for (int l = 0; l < c.n; ++l) s += m(i, l) * a(l, j);
      EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-11) << i << "," << j;
    }
}

// A herd with many sires in each generation, so that the products fill all
// their lanes with drivers of one generation (too large for the tabular
// matrix, and too many parents at one time for the tabular method): against
// the plain routine.
TEST(Relationships, FastInbreedingOfALargeHerd) {
  const Ped p = herd_pedigree(30000, 6, 7);
  EXPECT_EQ(inbreeding_method(p.id1, p.id2), InbreedingMethod::products);
  const std::vector<double> f = inbreeding(p.id1, p.id2), plain = inbreeding_plain(p.id1, p.id2);
  double max_f = 0;
  for (std::size_t i = 0; i < f.size(); ++i) {
    ASSERT_NEAR(f[i], plain[i], 1e-13) << "animal " << i + 1;
    max_f = std::max(max_f, f[i]);
  }
  EXPECT_GT(max_f, 0.1);
}

// Full-sib mating over many generations: few parents at any one time, so
// the tabular method is taken, whatever the depth; its F are those of the
// plain tracing on a prefix (within rounding), they approach 1, full sibs
// share theirs, and the progress reaches 1.
TEST(Relationships, DeepFullSibLine) {
  Ped p;
  for (int i = 0; i < 64000; ++i) {
    const int g = i / 2;
    p.id1.push_back(g == 0 ? 0 : 2 * g - 1);
    p.id2.push_back(g == 0 ? 0 : 2 * g);
  }
  EXPECT_EQ(parents_at_one_time(p.id1, p.id2), 4);
  EXPECT_EQ(inbreeding_method(p.id1, p.id2), InbreedingMethod::tabular);
  testing::RecordedStages stages;
  const std::vector<double> f = inbreeding(p.id1, p.id2, &stages);
  EXPECT_TRUE(std::is_sorted(stages.shares.begin(), stages.shares.end()));
  ASSERT_FALSE(stages.shares.empty());
  EXPECT_EQ(stages.shares.back(), 1.0);
  const std::size_t prefix = 1500;
  const std::vector<double> plain = inbreeding_plain(std::span(p.id1).first(prefix), std::span(p.id2).first(prefix));
  for (std::size_t i = 0; i < prefix; ++i) ASSERT_NEAR(f[i], plain[i], 1e-13) << "animal " << i + 1;
  EXPECT_EQ(f[2], 0.0);
  EXPECT_EQ(f[4], 0.25);
  EXPECT_EQ(f[6], 0.375);
  for (std::size_t i = 2; i < f.size(); i += 2) ASSERT_EQ(f[i], f[i + 1]);
  EXPECT_GT(f.back(), 1 - 1e-12);
  EXPECT_LE(f.back(), 1.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, RandomPedigree,
                         ::testing::Values(Case{"wide", 120, 60, 1}, Case{"deep_inbred", 150, 5, 2},
                                           Case{"selfing_and_sibs", 90, 3, 3}, Case{"one_animal", 1, 1, 4},
                                           Case{"herd", 400, 0, 5, 8}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace gw
