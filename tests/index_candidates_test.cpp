// The fast candidate stage against the plain one, bit for bit, and the
// compact forms the run keeps A0 and the record matrix in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "kernels/candidate_pass.hpp"
#include "index/paths.hpp"
#include "index/record_matrix.hpp"
#include "kernels/kernels.hpp"

namespace gw {
namespace {

struct Shape {
  const char* name;
  int ntrait, nanim;
  double parent_share;  // chance that a parent is known
  double missing;       // chance that a record is absent
  double candidates;    // chance that an animal is a candidate
};

// A random problem and its PPI, held inside a larger array so that the
// leading dimension exceeds the order.
struct Case {
  Pedigree ped;
  TraitMatrices traits;
  Matrix<double> a0;
  Matrix<double> store;
  MatView ppi;
  int nrec = 0;
};

Case make_case(const Shape& s, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Case c;
  const int nt = s.ntrait, na = s.nanim;
  Parameters par;
  par.ntrait = nt;
  par.k0.assign(nt, 1.0);
  par.wvp.resize(nt);
  par.gp = Matrix<double>(nt, nt);
  for (int i = 0; i < nt; ++i) {
    par.wvp[i] = 2.0 + 3.0 * u(rng);
    for (int j = 0; j < nt; ++j) par.gp(i, j) = i == j ? 0.3 + u(rng) : 0.2 * (u(rng) - 0.5);
  }
  c.traits = trait_covariances(par, {});
  Pedigree& ped = c.ped;
  ped.nanim = na;
  ped.id1.resize(na);
  ped.id2.resize(na);
  ped.cand.resize(na);
  ped.gend.resize(na);
  ped.nonr = Matrix<std::int32_t>(na, nt);
  for (int k = 0; k < na; ++k) {
    ped.id1[k] = k > 0 && u(rng) < s.parent_share ? static_cast<int>(rng() % k) + 1 : 0;
    ped.id2[k] = k > 0 && u(rng) < s.parent_share ? static_cast<int>(rng() % k) + 1 : 0;
    ped.cand[k] = u(rng) < s.candidates ? 1 : 0;
    ped.gend[k] = static_cast<int>(rng() % 2) + 1;
    for (int i = 0; i < nt; ++i) ped.nonr(k, i) = u(rng) < s.missing ? 0 : 1;
  }
  ped.nonr(0, 0) = 1;
  // A share of 0 asks for exactly one candidate.
  if (s.candidates == 0.0 || std::count(ped.cand.begin(), ped.cand.end(), 1) == 0) ped.cand[na / 2] = 1;
  c.a0 = Matrix<double>(na, na);
  amrx(ped.id1.data(), ped.id2.data(), c.a0.view(), na);
  const int d = nt * na;
  c.store = Matrix<double>(d + 5, d + 3);
  c.ppi = MatView(c.store.data(), d, d, d + 5);
  c.nrec =
      record_covariance_inverse(c.traits.g0.cview(), c.traits.r0.cview(), c.a0.cview(), ped.nonr.cview(), c.ppi, {});
  return c;
}

// Every candidate's system matrix, one after another.
std::vector<double> systems(const Case& c, ConstMatView g0, const CandidateOptions& opt) {
  const CandidateRelationships rel(c.a0.cview(), c.ped.cand);
  std::vector<double> all;
  int next = 0;
  candidate_systems(g0, rel, c.ppi, c.ped.nonr.cview(), opt, [&](int index, ConstMatView lhs) {
    EXPECT_EQ(index, next++);
    for (std::int64_t j = 0; j < lhs.cols; ++j)
      for (std::int64_t i = 0; i < lhs.rows; ++i) all.push_back(lhs(i, j));
  });
  EXPECT_EQ(next, rel.count());
  return all;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

CandidateOptions plain() {
  CandidateOptions o;
  o.plain = true;
  return o;
}

// A case shows as its name in the test output.
void PrintTo(const Shape& c, std::ostream* os) { *os << c.name; }

class FastCandidates : public ::testing::TestWithParam<Shape> {};

// Every batch size (one candidate, a divisor, none, more than all), thread
// count, kernel set the processor runs, cache block depth and work unit
// size gives the plain bits.
TEST_P(FastCandidates, GiveThePlainSystemsBitForBit) {
  const Shape& s = GetParam();
  const Case c = make_case(s, 1000u + static_cast<std::uint32_t>(s.ntrait * 131 + s.nanim));
  const std::vector<double> ref = systems(c, c.traits.g0.cview(), plain());
  ASSERT_FALSE(ref.empty());
  for (const int batch : {0, 1, 3, 4, 1000})
    for (const int threads : {1, 2})
      for (const KernelSet set : supported_kernel_sets())
        for (const int blocking : {0, 5}) {
          CandidateOptions o;
          o.batch = batch, o.threads = threads, o.kernels = set;
          o.depth = o.chunk = blocking;  // 5 rows per block, 5 panels per work unit
          EXPECT_TRUE(same_bits(systems(c, c.traits.g0.cview(), o), ref))
              << "batch " << batch << " threads " << threads << " kernels " << kernel_set_name(set) << " blocking "
              << blocking;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FastCandidates,
    ::testing::Values(Shape{"one_trait", 1, 37, 0.7, 0.1, 0.6}, Shape{"two_traits_related", 2, 45, 0.9, 0.2, 0.4},
                      Shape{"three_traits_most_missing", 3, 29, 0.8, 0.7, 0.5},
                      // Founders only: each candidate is related to itself
                      // alone, so a batch reads a few rows of PPI.
                      Shape{"unrelated", 3, 41, 0.0, 0.3, 0.5}, Shape{"sparse_pedigree", 4, 33, 0.15, 0.4, 0.7},
                      // 5 and 9 traits: lanes that do not fill whole vectors
                      // and (with 9) batches of several register tiles.
                      Shape{"five_traits", 5, 23, 0.6, 0.25, 0.5}, Shape{"nine_traits", 9, 11, 0.6, 0.2, 0.9},
                      Shape{"single_candidate", 2, 19, 0.6, 0.2, 0.0}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

// A value that is not finite, or one that could let a sum overflow, sends
// the stage the plain way, and the results are again the plain ones
// (NaN payloads and all).
TEST(FastCandidates, FallBackToThePlainFormOnValuesThatAreNotFiniteOrTooLarge) {
  // A sparse pedigree, so that single-candidate batches leave out rows and
  // columns of PPI that the plain form multiplies by zero.
  const Shape s{"x", 3, 27, 0.3, 0.3, 0.5};
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Poison {
    const char* what;
    bool in_g0;
    double value;
  };
  for (const Poison& p :
       {Poison{"inf in PPI", false, inf}, Poison{"NaN in PPI", false, nan}, Poison{"-inf in PPI", false, -inf},
        Poison{"huge PPI", false, 1e308}, Poison{"inf in G0", true, inf}, Poison{"NaN in G0", true, nan},
        Poison{"huge G0", true, 1e308}}) {
    Case c = make_case(s, 77);
    Matrix<double> g0(3, 3);
    std::copy_n(c.traits.g0.data(), 9, g0.data());
    if (p.in_g0) {
      g0(1, 2) = p.value;
    } else {
      // A present record of the first trait, from the middle of the file.
      int r = 13;
      while (c.ped.nonr(r, 0) != 1) ++r;
      c.ppi(r, r) = p.value;
    }
    const std::vector<double> ref = systems(c, g0.cview(), plain());
    for (const int batch : {0, 1})
      for (const KernelSet set : supported_kernel_sets()) {
        CandidateOptions o;
        o.threads = 2, o.batch = batch, o.kernels = set;
        EXPECT_TRUE(same_bits(systems(c, g0.cview(), o), ref))
            << p.what << ", batch " << batch << ", kernels " << kernel_set_name(set);
      }
  }
}

// Column 1 of PPI is left out for candidate 0, which is related to animal
// 0 alone; but there T overflows, and the plain form's inf * 0 makes its
// system NaN. All values are finite, so only the bound on the sums sends the
// stage the plain way.
TEST(FastCandidates, FallBackToThePlainFormWhereASumCouldOverflow) {
  Case c;
  c.ped.nanim = 3;
  c.ped.cand = {1, 0, 0};
  c.ped.nonr = Matrix<std::int32_t>(3, 1);
  std::fill_n(c.ped.nonr.data(), 3, 1);
  c.a0 = Matrix<double>(3, 3);
  Matrix<double> g0(1, 1);
  g0(0, 0) = 2.0;
  c.store = Matrix<double>(3, 3);
  c.ppi = c.store.view();
  for (int i = 0; i < 3; ++i) c.a0(i, i) = 1.0, c.ppi(i, i) = 1.0;
  c.ppi(0, 1) = std::numeric_limits<double>::max();
  const std::vector<double> ref = systems(c, g0.cview(), plain());
  ASSERT_TRUE(std::isnan(ref[0]));
  CandidateOptions o;
  o.batch = 1;
  EXPECT_TRUE(same_bits(systems(c, g0.cview(), o), ref));
}

// The candidates' relationships in either compact form give A0's columns.
TEST(CandidateRelationships, HoldTheCandidatesColumnsInEitherForm) {
  const Case c = make_case({"x", 1, 23, 0.8, 0.0, 0.0}, 5);
  for (const double share : {0.2, 0.9}) {  // columns, then the packed triangle
    std::vector<std::int32_t> cand(23);
    std::mt19937 rng(3);
    for (auto& f : cand) f = std::uniform_real_distribution<double>(0, 1)(rng) < share ? 1 : 0;
    const CandidateRelationships rel(c.a0.cview(), cand);
    const auto n = static_cast<std::uint64_t>(std::count(cand.begin(), cand.end(), 1));
    ASSERT_EQ(rel.count(), static_cast<int>(n));
    EXPECT_EQ(CandidateRelationships::bytes(23, n), std::min<std::uint64_t>(n * 23, 23 * 24 / 2) * 8 + n * 4);
    std::vector<double> col(23);
    for (int b = 0; b < rel.count(); ++b) {
      EXPECT_EQ(cand[rel.animal(b)], 1);
      rel.column(b, col.data());
      EXPECT_EQ(0, std::memcmp(col.data(), c.a0.cview().col(rel.animal(b)), sizeof(double) * 23)) << b;
    }
    const CandidateRelationships some = rel.subset({0, rel.count() - 1});
    ASSERT_EQ(some.count(), 2);
    EXPECT_EQ(some.animal(1), rel.animal(rel.count() - 1));
    some.column(1, col.data());
    EXPECT_EQ(0, std::memcmp(col.data(), c.a0.cview().col(some.animal(1)), sizeof(double) * 23));
  }
}

// The record matrix formed around A0 in its own storage is the Kronecker
// product plus residuals formed from A0 apart, bit for bit, also with a
// leading dimension larger than the order (A0's columns then overlap those
// of V differently) and with one trait (every column of V overwrites the
// A0 column it reads).
TEST(RecordCovarianceInPlace, EqualsTheProductFromASeparateA0) {
  for (const int nt : {1, 2, 4})
    for (const int extra : {0, 3}) {
      const Case c = make_case({"x", nt, 17, 0.8, 0.0, 0.5}, 11u + nt);
      const int na = 17, d = nt * na, ld = d + extra;
      Matrix<double> ref(ld, d, false), got(ld, d, false);
      const MatView rv(ref.data(), d, d, ld), gv(got.data(), d, d, ld);
      kron(c.traits.g0.cview(), c.a0.cview(), rv, nt, nt, na, na);
      for (int i = 0; i < nt; ++i)
        for (int j = 0; j < nt; ++j)
          for (int k = 0; k < na; ++k) rv(i * na + k, j * na + k) += c.traits.r0(i, j);
      amrx(c.ped.id1.data(), c.ped.id2.data(), relationship_block(gv, na), na);
      record_covariance_in_place(c.traits.g0.cview(), c.traits.r0.cview(), na, gv);
      for (int j = 0; j < d; ++j)
        EXPECT_EQ(0, std::memcmp(rv.col(j), gv.col(j), sizeof(double) * d))
            << "traits " << nt << " ld " << ld << " column " << j;
    }
}

}  // namespace
}  // namespace gw
