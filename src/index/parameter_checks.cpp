#include "index/parameter_checks.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "base/fatal.hpp"
#include "io/number_format.hpp"
#include "kernels/kernels.hpp"

namespace gw {

namespace {

// Traits named in one line at most.
constexpr std::size_t kMaxListed = 10;

// Cholesky factorisation with symmetric pivoting of m restricted to
// `traits`. A diagonal element of the remaining block below -tol proves
// that the pivots taken so far and its trait are not positive
// semi-definite together (diagonal elements only decrease from step to
// step); once every remaining diagonal element is within tol of zero, the
// rest must vanish as well. Returns the traits of the failing submatrix,
// ascending.
std::optional<std::vector<int>> failing_set(ConstMatView m, const std::vector<int>& traits, double tol) {
  const std::size_t k = traits.size();
  std::vector<double> s(k * k);
  for (std::size_t j = 0; j < k; ++j)
    for (std::size_t i = 0; i < k; ++i) s[i + j * k] = m(traits[i], traits[j]);
  const auto at = [&](std::size_t i, std::size_t j) -> double& { return s[i + j * k]; };
  std::vector<std::size_t> order(k);
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto failing = [&](std::size_t step, std::initializer_list<std::size_t> extra) {
    std::vector<int> f;
    for (std::size_t q = 0; q < step; ++q) f.push_back(traits[order[q]]);
    for (const std::size_t e : extra) f.push_back(traits[e]);
    std::sort(f.begin(), f.end());
    return f;
  };
  for (std::size_t step = 0; step < k; ++step) {
    std::size_t p = step;
    for (std::size_t q = step; q < k; ++q) {
      const std::size_t a = order[q];
      if (at(a, a) < -tol) return failing(step, {a});
      if (at(a, a) > at(order[p], order[p])) p = q;
    }
    std::swap(order[step], order[p]);
    const std::size_t c = order[step];
    const double d = at(c, c);
    if (!(d > tol)) {
      for (std::size_t q = step; q < k; ++q)
        for (std::size_t r = q + 1; r < k; ++r)
          if (std::fabs(at(order[q], order[r])) > tol) return failing(step, {order[q], order[r]});
      return std::nullopt;
    }
    for (std::size_t q = step + 1; q < k; ++q) {
      const std::size_t a = order[q];
      const double f = at(a, c) / d;
      for (std::size_t r = step + 1; r < k; ++r) at(a, order[r]) -= f * at(c, order[r]);
    }
  }
  return std::nullopt;
}

// "1", "1 and 2", "1, 2 and 3", "1, 2, ..., 10 and 5 more" (1-based).
std::string trait_list(const std::vector<int>& traits) {
  const std::size_t shown = std::min(traits.size(), kMaxListed);
  std::string s;
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) s += i + 1 == traits.size() ? " and " : ", ";
    s += std::to_string(traits[i] + 1);
  }
  if (shown < traits.size()) s += " and " + std::to_string(traits.size() - shown) + " more";
  return s;
}

bool all_finite(ConstMatView m) {
  for (std::int64_t j = 0; j < m.cols; ++j)
    for (std::int64_t i = 0; i < m.rows; ++i)
      if (!std::isfinite(m(i, j))) return false;
  return true;
}

// Lines of one kind, at most kMaxWarningsPerKind, then one line that
// counts the rest: "FILE: 12 more NOUNs TAIL (not listed)".
class Findings {
 public:
  Findings(std::vector<std::string>& out, const std::string& file, std::string noun, std::string tail)
      : out_(out), file_(file), noun_(std::move(noun)), tail_(std::move(tail)) {}
  Findings(const Findings&) = delete;
  Findings& operator=(const Findings&) = delete;
  ~Findings() {
    if (count_ > kMaxWarningsPerKind)
      out_.push_back(file_ + ": " + plural(count_ - kMaxWarningsPerKind, "more " + noun_) + " " + tail_ +
                     " (not listed)");
  }
  void add(std::string line) {
    if (count_++ < kMaxWarningsPerKind) out_.push_back(std::move(line));
  }
  int count() const { return count_; }

 private:
  std::vector<std::string>& out_;
  const std::string& file_;
  std::string noun_, tail_;
  int count_ = 0;
};

// Correlations outside [-1, 1] of the covariance matrix m, where both
// variances are positive. `where(a, b)` gives the line and the field of the
// covariance of traits a < b (0-based); `advice` ends each line. Returns
// their number.
template <class Where>
int correlation_findings(std::vector<std::string>& out, ConstMatView m, const std::string& file, const char* kind,
                         const char* advice, Where where) {
  Findings f(out, file, std::string(kind) + " correlation", "outside [-1, 1]");
  const auto n = static_cast<int>(m.rows);
  for (int b = 0; b < n; ++b)
    for (int a = 0; a < b; ++a) {
      const double va = m(a, a), vb = m(b, b), c = m(a, b);
      if (!(va > 0.0 && vb > 0.0)) continue;
      // The square roots apart, so that no product of two variances can
      // overflow or underflow.
      const double r = c / (std::sqrt(va) * std::sqrt(vb));
      if (!(std::fabs(r) > 1.0 + 1e-12)) continue;
      const auto [line, field] = where(a, b);
      f.add(file + " line " + std::to_string(line) + ": the " + kind + " correlation of traits " +
            std::to_string(a + 1) + " and " + std::to_string(b + 1) + " is " + format_short(r) + " (covariance " +
            format_short(c) + " in field " + std::to_string(field) + ", " + kind + " variances " + format_short(va) +
            " and " + format_short(vb) + "), outside [-1, 1]; " + advice);
    }
  return f.count();
}

// The definiteness line of one matrix, if it is not positive semi-definite.
void definiteness_finding(std::vector<std::string>& out, ConstMatView m, const std::string& file, const char* kind) {
  if (!all_finite(m)) return;
  const std::optional<std::vector<int>> traits = indefinite_traits(m);
  if (!traits) return;
  std::string line = file + ": the " + std::string(kind) + " covariance matrix is not positive semi-definite: ";
  const std::vector<int>& t = *traits;
  if (t.size() == 1) {
    line += "the " + std::string(kind) + " variance of trait " + std::to_string(t[0] + 1) + " is negative";
  } else if (t.size() == 2) {
    line += "the " + std::string(kind) + " covariance of traits " + trait_list(t) + " (" + format_short(m(t[0], t[1])) +
            ") is not possible with their variances (" + format_short(m(t[0], t[0])) + " and " +
            format_short(m(t[1], t[1])) + ")";
  } else {
    line += "the " + std::string(kind) + " (co)variances of traits " + trait_list(t) +
            " cannot hold together, although each variance and each correlation on its own is possible";
  }
  out.push_back(line + "; check the " + kind + " (co)variances of these traits");
}

// The smallest pivot of a Cholesky factorisation with symmetric pivoting
// of m restricted to `traits` and scaled to unit diagonal (a zero diagonal
// element gives 0): at most kSingularPivot when the set is singular.
constexpr double kSingularPivot = 1e-9;

double smallest_scaled_pivot(ConstMatView m, const std::vector<int>& traits) {
  const std::size_t k = traits.size();
  std::vector<double> s(k * k);
  for (std::size_t j = 0; j < k; ++j)
    for (std::size_t i = 0; i < k; ++i) {
      const double di = m(traits[i], traits[i]), dj = m(traits[j], traits[j]);
      s[i + j * k] = di > 0.0 && dj > 0.0 ? m(traits[i], traits[j]) / std::sqrt(di) / std::sqrt(dj) : 0.0;
    }
  const auto n = static_cast<std::int64_t>(k);
  const MatView view{s.data(), n, n, n};
  std::vector<std::int64_t> order;
  const std::int64_t taken = pivoted_cholesky(view, kSingularPivot, order);
  if (taken == n) return 1.0;
  const std::int64_t c = order[static_cast<std::size_t>(taken)];
  return view(c, c);
}

// The singularity line of G0, if it is singular.
void singularity_finding(std::vector<std::string>& out, ConstMatView g0, const std::string& file) {
  const std::optional<std::vector<int>> traits = singular_traits(g0);
  if (!traits) return;
  const std::vector<int>& t = *traits;
  std::string line = file + ": the genetic covariance matrix is singular: ";
  if (t.size() == 1) {
    line += "the genetic variance of trait " + std::to_string(t[0] + 1) + " is 0, so the trait has no breeding value";
  } else if (t.size() == 2) {
    const double c = g0(t[0], t[1]), va = g0(t[0], t[0]), vb = g0(t[1], t[1]);
    line += "traits " + trait_list(t) + " have a genetic correlation of " +
            format_short(c / (std::sqrt(va) * std::sqrt(vb))) + " (covariance " + format_short(c) +
            ", genetic variances " + format_short(va) + " and " + format_short(vb) +
            "), so their breeding values are one and the same but for scale";
  } else {
    line += "the genetic (co)variances of traits " + trait_list(t) +
            " fix the breeding value of each of them by those of the others";
  }
  out.push_back(line + "; check the genetic (co)variances of these traits");
}

}  // namespace

std::optional<std::vector<int>> singular_traits(ConstMatView g0) {
  const auto n = static_cast<int>(g0.rows);
  if (n == 0 || !all_finite(g0) || indefinite_traits(g0)) return std::nullopt;
  for (int t = 0; t < n; ++t)
    if (g0(t, t) == 0.0) return std::vector<int>{t};
  std::vector<int> set(static_cast<std::size_t>(n));
  std::iota(set.begin(), set.end(), 0);
  if (smallest_scaled_pivot(g0, set) > kSingularPivot) return std::nullopt;
  // Leave out one trait after another while the rest stays singular: what
  // remains is a set from which no trait can be left out.
  for (std::size_t i = 0; i < set.size() && set.size() > 1;) {
    std::vector<int> rest = set;
    rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
    if (smallest_scaled_pivot(g0, rest) <= kSingularPivot)
      set = std::move(rest);
    else
      ++i;
  }
  return set;
}

std::optional<std::vector<int>> indefinite_traits(ConstMatView m) {
  const auto n = static_cast<int>(m.rows);
  double largest = 0.0;
  for (int i = 0; i < n; ++i) largest = std::max(largest, m(i, i));
  const double tol = n * 1e-12 * largest;
  std::vector<int> all(static_cast<std::size_t>(n));
  std::iota(all.begin(), all.end(), 0);
  std::optional<std::vector<int>> f = failing_set(m, all, tol);
  if (!f) return f;
  // The failing set holds every pivot taken before the failure, often most
  // of the traits. It is made smaller by leaving out runs of its traits,
  // halving the run length from pass to pass, and keeping whatever still
  // fails. The last pass, of single traits, leaves a set from which no trait
  // can be left out: a trait that is needed stays needed as the set shrinks,
  // since every principal submatrix of a positive semi-definite matrix is
  // positive semi-definite. The tries cost at most about 20 factorisations
  // of the whole matrix (and 1e8 for small ones); beyond that the set found
  // so far is named.
  double budget = 20.0 * n * n * n + 1e8;
  for (std::size_t run = std::max<std::size_t>(f->size() / 2, 1);; run /= 2) {
    for (std::size_t start = 0; start < f->size() && f->size() > 1;) {
      std::vector<int> rest(f->begin(), f->begin() + static_cast<std::ptrdiff_t>(start));
      rest.insert(rest.end(), f->begin() + static_cast<std::ptrdiff_t>(std::min(start + run, f->size())), f->end());
      const auto k = static_cast<double>(rest.size());
      if ((budget -= k * k * k) < 0) return f;
      if (auto g = failing_set(m, rest, tol))
        f = std::move(g);
      else
        start += run;
    }
    if (run == 1) return f;
  }
}

std::vector<std::string> parameter_warnings(const std::vector<double>& k0, const std::vector<double>& wvp,
                                            ConstMatView g0, ConstMatView r0, const std::string& file) {
  std::vector<std::string> out;
  const auto n = static_cast<int>(k0.size());
  if (n == 0) return out;

  bool negative_genetic = false, negative_residual = false;
  {
    Findings f(out, file, "trait", "with an impossible phenotypic or genetic variance");
    for (int i = 0; i < n; ++i) {
      const double g = g0(i, i), p = wvp[static_cast<std::size_t>(i)];
      const std::string where = file + " line " + std::to_string(i + 1) + ": ";
      const std::string trait = std::to_string(i + 1);
      const std::string field = std::to_string(i + 3);
      negative_genetic = negative_genetic || g < 0.0;
      negative_residual = negative_residual || r0(i, i) < 0.0;
      if (!(p > 0.0)) {
        f.add(where + "the phenotypic variance of trait " + trait + " (" + format_short(p) +
              ") is not positive, so the trait has no heritability (genetic variance " + format_short(g) +
              "); check field 2");
      } else if (g < 0.0) {
        f.add(where + "the genetic variance of trait " + trait + " (" + format_short(g) + ") is negative: heritability " +
              format_short(g / p) + ", outside [0, 1]; check field " + field);
      } else if (g > p) {
        f.add(where + "the genetic variance of trait " + trait + " (" + format_short(g) +
              ") is greater than its phenotypic variance (" + format_short(p) + "): heritability " +
              format_short(g / p) + ", outside [0, 1]; check fields 2 and " + field);
      }
    }
  }

  // The genetic covariance of traits a < b stands on line b, field a + 2;
  // the residual one on line a, field b + 2 (1-based).
  const int genetic = correlation_findings(out, g0, file, "genetic", "check these genetic (co)variances",
                                           [](int a, int b) { return std::pair{b + 1, a + 3}; });
  const int residual = correlation_findings(
      out, r0, file, "residual",
      "check these (co)variances (a residual variance is the phenotypic variance less the genetic one)",
      [](int a, int b) { return std::pair{a + 1, b + 3}; });
  if (!negative_genetic && genetic == 0) definiteness_finding(out, g0, file, "genetic");
  singularity_finding(out, g0, file);
  if (!negative_residual && residual == 0) definiteness_finding(out, r0, file, "residual");

  if (std::all_of(k0.begin(), k0.end(), [](double k) { return k == 0.0; }))
    out.push_back(file + ": the target value K0 (field 1) is 0 for every trait, so every weight is 0; give the "
                         "desired genetic change of each trait in field 1 of its line");
  return out;
}

}  // namespace gw
