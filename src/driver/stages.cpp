#include "driver/stages.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "kernels/fatal.hpp"

namespace gw {

namespace {

// c = a' b for small matrices: c(i, j) = sum over l of a(l, i) b(l, j),
// ascending l from 0.0.
void transposed_product(ConstMatView a, ConstMatView b, MatView c) {
  for (std::int64_t j = 0; j < b.cols; ++j)
    for (std::int64_t i = 0; i < a.cols; ++i) {
      double s = 0.0;
      for (std::int64_t l = 0; l < a.rows; ++l) s += a(l, i) * b(l, j);
      c(i, j) = s;
    }
}

// c = a b: c(i, j) = sum over l of a(i, l) b(l, j), ascending l from 0.0.
void product(ConstMatView a, ConstMatView b, MatView c) {
  for (std::int64_t j = 0; j < b.cols; ++j)
    for (std::int64_t i = 0; i < a.rows; ++i) {
      double s = 0.0;
      for (std::int64_t l = 0; l < a.cols; ++l) s += a(i, l) * b(l, j);
      c(i, j) = s;
    }
}

}  // namespace

TraitMatrices trait_covariances(const Parameters& par, const ProgressFn& progress) {
  const int n = par.ntrait;
  TraitMatrices t{Matrix<double>(n, n), Matrix<double>(n, n), Matrix<double>(n, n)};
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      if (i == j) {
        t.g0(i, i) = par.gp(i, i);
        t.r0(i, i) = par.wvp[i] - par.gp(i, i);
      } else if (i > j) {
        t.g0(i, j) = t.g0(j, i) = par.gp(i, j);
      } else {
        t.r0(i, j) = t.r0(j, i) = par.gp(i, j);
      }
    }
  Matrix<double> p0(n, n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) p0(i, j) = t.g0(i, j) + t.r0(i, j);
  invmtx(n, p0.cview(), t.p0i.view(), progress);
  return t;
}

int record_covariance_inverse(ConstMatView g0, ConstMatView r0, ConstMatView a0, ConstIntMatView nonr, MatView v,
                              const ProgressFn& progress) {
  const int ntrait = static_cast<int>(g0.rows);
  const int nanim = static_cast<int>(a0.rows);
  kron(g0, a0, v, ntrait, ntrait, nanim, nanim);
  for (int i = 0; i < ntrait; ++i)
    for (int j = 0; j < ntrait; ++j)
      for (int k = 0; k < nanim; ++k)
        v(static_cast<std::int64_t>(i) * nanim + k, static_cast<std::int64_t>(j) * nanim + k) += r0(i, j);
  const int nrec = cutm(v, nonr, ntrait, nanim);
  // The packed block is inverted in place: the inverse needs no second array
  // of the record matrix's size.
  invmtx(nrec, v, v, progress);
  addm(v, nonr, ntrait, nanim, nrec);
  return nrec;
}

void candidate_lhs(ConstMatView g0, ConstMatView a0, ConstMatView ppi, int k, MatView lhs) {
  const std::int64_t ntrait = g0.rows;
  const std::int64_t nanim = a0.rows;
  const std::int64_t d = ntrait * nanim;
  Matrix<double> ga0(d, ntrait);
  for (std::int64_t i = 0; i < ntrait; ++i)
    for (std::int64_t j = 0; j < ntrait; ++j)
      for (std::int64_t l = 0; l < nanim; ++l) ga0(i * nanim + l, j) = g0(i, j) * a0(l, k);
  Matrix<double> t(ntrait, d);  // t = GA0' PPI
  transposed_product(ga0.cview(), ppi, t.view());
  product(t.cview(), ga0.cview(), lhs);
}

CandidateAverages candidate_weights(ConstMatView g0, ConstMatView a0, ConstMatView ppi, const Pedigree& ped,
                                    const std::vector<double>& k0, const std::string& pedigree_file) {
  const int ntrait = static_cast<int>(g0.rows);
  const auto n = static_cast<std::size_t>(ntrait);
  CandidateAverages avg;
  avg.vv1.assign(n, 0.0);
  avg.vv2.assign(n, 0.0);
  avg.vv0.assign(n, 0.0);
  Matrix<double> lhs(ntrait, ntrait);
  std::vector<double> rhs(n), w(n);
  for (int k = 0; k < ped.nanim; ++k) {
    if (ped.cand[k] != 1) continue;
    candidate_lhs(g0, a0, ppi, k, lhs.view());
    rhs = k0;
    try {
      spdcgg(ntrait, lhs.cview(), rhs.data(), w.data());
    } catch (const SingularSystem&) {
      throw FatalError(pedigree_file + " line " + std::to_string(k + 1) +
                           ": the candidate's weights cannot be computed: no present record carries information on "
                           "it (its system matrix is singular)",
                       ExitStatus::failure, Channel::diagnostic);
    }
    std::vector<double>& sum = ped.gend[k] == 1 ? avg.vv1 : avg.vv2;
    for (std::size_t i = 0; i < n; ++i) sum[i] = sum[i] + w[i];
    ++(ped.gend[k] == 1 ? avg.ncand1 : avg.ncand2);
  }
  // An empty group has no average (NaN), and the overall average is then the
  // other group's average alone.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = 0; i < n; ++i) {
    avg.vv1[i] = avg.ncand1 > 0 ? avg.vv1[i] / static_cast<double>(avg.ncand1) : nan;
    avg.vv2[i] = avg.ncand2 > 0 ? avg.vv2[i] / static_cast<double>(avg.ncand2) : nan;
    if (avg.ncand1 == 0)
      avg.vv0[i] = avg.vv2[i];
    else if (avg.ncand2 == 0)
      avg.vv0[i] = avg.vv1[i];
    else
      avg.vv0[i] = (avg.vv1[i] + avg.vv2[i]) / 2;
  }
  return avg;
}

std::vector<double> reference_weights(ConstMatView g0, ConstMatView p0i, const std::vector<double>& k0,
                                      const std::vector<double>& vv0, const ProgressFn& progress) {
  const int n = static_cast<int>(g0.rows);
  Matrix<double> t(n, n), gpg0(n, n), gpg0i(n, n);
  transposed_product(g0, p0i, t.view());
  product(t.cview(), g0, gpg0.view());
  invmtx(n, gpg0.cview(), gpg0i.view(), progress);
  std::vector<double> v0(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    double s = 0.0;
    for (int j = 0; j < n; ++j) s += gpg0i(i, j) * k0[j];
    v0[i] = s;
  }
  for (int i = 0; i < n; ++i) {
    if (vv0[i] != 0.0 && v0[i] != 0.0) {
      const double q = v0[i] / vv0[i];
      for (double& x : v0) x = x / q;
      break;
    }
  }
  return v0;
}

}  // namespace gw
