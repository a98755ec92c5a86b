// A second, deliberately literal computation of a whole run, used by the
// tests to check the program's numbers bit for bit. It shares no code with
// the program: every step is written out as the arithmetic defines it, one
// element at a time, with its own relationship recursion, its own
// Gauss-Jordan inversion (column-shifting form, row by row), the present
// record block gathered by index instead of compacted and expanded, and its
// own conjugate gradients.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace gw::reference {

struct Mat {
  int rows = 0, cols = 0;
  std::vector<double> v;
  Mat() = default;
  Mat(int r, int c) : rows(r), cols(c), v(static_cast<std::size_t>(r) * c, 0.0) {}
  double& operator()(int i, int j) { return v[static_cast<std::size_t>(j) * rows + i]; }
  double operator()(int i, int j) const { return v[static_cast<std::size_t>(j) * rows + i]; }
};

struct Input {
  std::vector<std::vector<double>> parameter_lines;  // K0, WVP, GP row
  std::vector<std::vector<int>> pedigree_lines;      // id, sire, dam, cand, group, flags...
};

// One candidate's system and weights, in file order.
struct Candidate {
  int line = 0;  // 1-based
  Mat lhs;
  std::vector<double> w;
  double a_cc = 0;  // A(c, c)
};

struct Output {
  std::vector<double> vv1, vv2, vv0, v0;
  int nanim = 0, nrec = 0;
  std::vector<Candidate> candidates;
};

struct Stop : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline Mat invert(const Mat& a) {
  const int n = a.rows;
  if (n < 1) throw Stop("Order of matrix is less than 1 !");
  const double threshold = static_cast<double>(1.0e-12f);
  if (n == 1) {
    if (std::fabs(a(0, 0)) < threshold) throw Stop("Matrix is singular !");
    Mat b(1, 1);
    b(0, 0) = 1.0 / a(0, 0);
    return b;
  }
  Mat w = a;
  std::vector<int> perm(n);
  for (int i = 0; i < n; ++i) perm[i] = i;
  for (int k = 0; k < n; ++k) {
    double best = 0.0;
    int l = 0;
    for (int i = k; i < n; ++i)
      if (std::fabs(w(i, 0)) > best) best = std::fabs(w(i, 0)), l = i;
    if (best < threshold) throw Stop("Matrix is singular !");
    std::swap(perm[l], perm[k]);
    for (int j = 0; j < n; ++j) std::swap(w(l, j), w(k, j));
    const double p = w(k, 0);
    for (int j = 1; j < n; ++j) w(k, j - 1) = w(k, j) / p;
    w(k, n - 1) = 1.0 / p;
    for (int i = 0; i < n; ++i) {
      if (i == k) continue;
      const double t = w(i, 0);
      for (int j = 1; j < n; ++j) w(i, j - 1) = w(i, j) - t * w(k, j - 1);
      w(i, n - 1) = -(t * w(k, n - 1));
    }
  }
  for (int k = 0; k < n; ++k) {
    int i = k;
    while (perm[i] != k) ++i;
    perm[i] = perm[k];
    for (int r = 0; r < n; ++r) std::swap(w(r, i), w(r, k));
  }
  return w;
}

// Conjugate gradients from zero; a zero p'Ap with a zero direction ends the
// iteration, with a non-zero direction the system is singular.
inline std::vector<double> solve(const Mat& a, const std::vector<double>& b) {
  const int n = a.rows;
  std::vector<double> p = b, r = b, x(n, 0.0), q(n), xold(n);
  int count = 0;
  for (;;) {
    xold = x;
    for (int i = 0; i < n; ++i) {
      double s = 0.0;
      for (int l = 0; l < n; ++l) s += a(i, l) * p[l];
      q[i] = s;
    }
    double spq = 0.0, srp = 0.0;
    for (int i = 0; i < n; ++i) spq += q[i] * p[i], srp += r[i] * p[i];
    if (spq == 0.0) {
      for (double e : p)
        if (e != 0.0) throw Stop("singular candidate");
      return x;
    }
    const double alpha = srp / spq;
    for (int i = 0; i < n; ++i) x[i] = x[i] + alpha * p[i];
    double srq = 0.0;
    for (int i = 0; i < n; ++i) {
      r[i] = r[i] - alpha * q[i];
      srq += r[i] * q[i];
    }
    const double beta = -(srq / spq);
    for (int i = 0; i < n; ++i) p[i] = beta * p[i] + r[i];
    double sdx = 0.0, sx = 0.0;
    for (int i = 0; i < n; ++i) sdx += (x[i] - xold[i]) * (x[i] - xold[i]), sx += x[i] * x[i];
    const double change = std::sqrt(sdx / sx);
    if (++count == 100 * n) throw Stop("No. iterations");
    if (change <= 1.0e-12) return x;  // a NaN change never ends the iteration
  }
}

inline Output compute(const Input& in) {
  const int nt = static_cast<int>(in.parameter_lines.size());
  const int na = static_cast<int>(in.pedigree_lines.size());
  Mat g0(nt, nt), r0(nt, nt), p0(nt, nt);
  std::vector<double> k0(nt);
  for (int i = 0; i < nt; ++i) {
    const auto& f = in.parameter_lines[i];
    k0[i] = f[0];
    for (int j = 0; j < nt; ++j) {
      if (i == j) {
        g0(i, i) = f[2 + i];
        r0(i, i) = f[1] - f[2 + i];
      } else if (i > j) {
        g0(i, j) = g0(j, i) = f[2 + j];
      } else {
        r0(i, j) = r0(j, i) = f[2 + j];
      }
    }
  }
  for (int i = 0; i < nt; ++i)
    for (int j = 0; j < nt; ++j) p0(i, j) = g0(i, j) + r0(i, j);
  const Mat p0i = invert(p0);

  // Relationship matrix, row segment then copy into the column.
  Mat a(na, na);
  for (int i = 0; i < na; ++i) a(i, i) = 1.0;
  for (int i = 0; i < na; ++i) {
    const int s = in.pedigree_lines[i][1], d = in.pedigree_lines[i][2];
    if (s == 0 && d == 0) continue;
    if (s != 0 && d != 0) a(i, i) = 1.0 + a(s - 1, d - 1) / 2;
    for (int j = 0; j < i; ++j) {
      if (s == 0)
        a(i, j) = a(d - 1, j) / 2;
      else if (d == 0)
        a(i, j) = a(s - 1, j) / 2;
      else
        a(i, j) = (a(d - 1, j) + a(s - 1, j)) / 2;
    }
    for (int j = 0; j < i; ++j) a(j, i) = a(i, j);
  }

  const int dd = nt * na;
  std::vector<int> present;
  for (int i = 0; i < nt; ++i)
    for (int k = 0; k < na; ++k)
      if (in.pedigree_lines[k][5 + i] == 1) present.push_back(i * na + k);
  const int nrec = static_cast<int>(present.size());
  Mat block(nrec, nrec);
  for (int x = 0; x < nrec; ++x)
    for (int y = 0; y < nrec; ++y) {
      const int r = present[x], c = present[y];
      const int ti = r / na, ak = r % na, tj = c / na, al = c % na;
      double v = g0(ti, tj) * a(ak, al);
      if (ak == al) v += r0(ti, tj);
      block(x, y) = v;
    }
  const Mat binv = invert(block);
  Mat ppi(dd, dd);
  for (int x = 0; x < nrec; ++x)
    for (int y = 0; y < nrec; ++y) ppi(present[x], present[y]) = binv(x, y);

  Output out;
  out.nanim = na;
  out.nrec = nrec;
  std::vector<double> vv1(nt, 0.0), vv2(nt, 0.0), vv0(nt, 0.0);
  int n1 = 0, n2 = 0;
  for (int k = 0; k < na; ++k) {
    if (in.pedigree_lines[k][3] != 1) continue;
    Mat ga(dd, nt);
    for (int i = 0; i < nt; ++i)
      for (int j = 0; j < nt; ++j)
        for (int l = 0; l < na; ++l) ga(i * na + l, j) = g0(i, j) * a(l, k);
    Mat t(nt, dd), lhs(nt, nt);
    for (int j = 0; j < nt; ++j)
      for (int c = 0; c < dd; ++c) {
        double s = 0.0;
        for (int r = 0; r < dd; ++r) s += ga(r, j) * ppi(r, c);
        t(j, c) = s;
      }
    for (int i = 0; i < nt; ++i)
      for (int j = 0; j < nt; ++j) {
        double s = 0.0;
        for (int c = 0; c < dd; ++c) s += t(i, c) * ga(c, j);
        lhs(i, j) = s;
      }
    const std::vector<double> w = solve(lhs, k0);
    out.candidates.push_back(Candidate{k + 1, lhs, w, a(k, k)});
    auto& sum = in.pedigree_lines[k][4] == 1 ? vv1 : vv2;
    for (int i = 0; i < nt; ++i) sum[i] = sum[i] + w[i];
    ++(in.pedigree_lines[k][4] == 1 ? n1 : n2);
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int i = 0; i < nt; ++i) {
    vv1[i] = n1 ? vv1[i] / n1 : nan;
    vv2[i] = n2 ? vv2[i] / n2 : nan;
    vv0[i] = !n1 ? vv2[i] : !n2 ? vv1[i] : (vv1[i] + vv2[i]) / 2;
  }

  Mat t(nt, nt), gpg0(nt, nt);
  for (int i = 0; i < nt; ++i)
    for (int j = 0; j < nt; ++j) {
      double s = 0.0;
      for (int l = 0; l < nt; ++l) s += g0(l, i) * p0i(l, j);
      t(i, j) = s;
    }
  for (int i = 0; i < nt; ++i)
    for (int j = 0; j < nt; ++j) {
      double s = 0.0;
      for (int l = 0; l < nt; ++l) s += t(i, l) * g0(l, j);
      gpg0(i, j) = s;
    }
  const Mat gi = invert(gpg0);
  std::vector<double> v0(nt);
  for (int i = 0; i < nt; ++i) {
    double s = 0.0;
    for (int j = 0; j < nt; ++j) s += gi(i, j) * k0[j];
    v0[i] = s;
  }
  for (int i = 0; i < nt; ++i)
    if (vv0[i] != 0.0 && v0[i] != 0.0) {
      const double q = v0[i] / vv0[i];
      for (double& x : v0) x = x / q;
      break;
    }
  out.vv1 = vv1;
  out.vv2 = vv2;
  out.vv0 = vv0;
  out.v0 = v0;
  return out;
}

}  // namespace gw::reference
