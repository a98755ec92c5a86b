// Conjugate gradients for A x = b from x = 0, without preconditioning.
//
// Per iteration, with every sum started at 0.0 and taken in ascending index
// order:
//   q = A p                          q(i) = sum_l A(i,l) p(l)
//   s_pq = q.p, s_rp = r.p           (one pass)
//   alpha = s_rp / s_pq              (r.p, not r.r)
//   x += alpha p
//   r -= alpha q, s_rq = r.q         (one pass, new r)
//   beta = -(s_rq / s_pq)            (conjugacy form)
//   p = beta p + r
//   change = sqrt(|x - x_old|^2 / |x|^2)
// The iteration stops with an error when the counter reaches 100 n (tested
// before convergence), and returns when change <= 1e-12.
//
// Degenerate steps:
//
// * s_pq == 0. If every element of p is 0, then either b = 0 (first
//   iteration) or the previous step left p = beta p + r = 0, and no further
//   direction exists: x is the solution (x = 0 for b = 0) and is returned
//   as it is. p is tested rather than the residual: an exactly zero r
//   always gives p = -0 p + 0 = 0 in the same iteration, but p can also
//   vanish exactly while r still holds a rounding remainder, and then x is
//   as good as the iteration can make it. If p is not zero, p'Ap = 0 means
//   A is singular (or not positive definite); that is reported as
//   SingularSystem instead of dividing by zero.
//
// * change is not a number. With s_pq != 0 this needs s_dx = s_x = 0, or a
//   non-finite x (overflow of a diverging iteration). s_dx = s_x = 0 means
//   the step did not move x and x is 0; since b = 0 has already returned
//   through the first case, x = 0 is not the solution, so the iteration must
//   go on. A non-finite x can never become a valid answer. Both are
//   therefore treated as "not converged": the loop continues only while
//   change <= 1e-12 is false, which for every number other than NaN is the
//   same as change > 1e-12. A NaN never ends the loop silently; the
//   iteration either recovers or reaches the limit.
//
// * Overflow. When A and b are finite but a sum, the step length or the
//   iterate is not (r.p = inf for a b of 1e200, say, gives alpha = inf/inf),
//   the iteration can only end at the limit, or worse, as "converged" on a
//   change of 0 / inf. That is reported as SystemOverflow at once. The test
//   only compares numbers the iteration computes anyway, so a system that
//   stays finite is solved with exactly the same operations. With a
//   non-finite A or b the iteration runs as described above.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "base/fatal.hpp"
#include "kernels/kernels.hpp"

namespace gw {

namespace {

bool finite(double x) { return std::isfinite(x); }

// Every element of A's leading n x n block and of b is finite.
bool finite_system(int n, ConstMatView a, const double* b) {
  for (int l = 0; l < n; ++l) {
    if (!finite(b[l])) return false;
    for (int i = 0; i < n; ++i)
      if (!finite(a(i, l))) return false;
  }
  return true;
}

}  // namespace

void spdcgg(int n, ConstMatView a, const double* b, double* x) {
  constexpr double kTolerance = 1.0e-12;
  const auto un = static_cast<std::size_t>(n > 0 ? n : 0);
  std::vector<double> p(un), r(un), q(un), x_old(un);

  for (int i = 0; i < n; ++i) {
    p[i] = b[i];
    r[i] = b[i];
  }
  for (int i = 0; i < n; ++i) x[i] = 0.0;

  const std::int64_t limit = std::int64_t{100} * n;
  std::int64_t count = 0;
  for (;;) {
    for (int i = 0; i < n; ++i) x_old[i] = x[i];

    // q(i) = sum over l of A(i,l) p(l), l ascending, accumulated column by
    // column so that A is read contiguously.
    for (int i = 0; i < n; ++i) q[i] = 0.0;
    for (int l = 0; l < n; ++l) {
      const double* al = a.col(l);
      const double pl = p[l];
      for (int i = 0; i < n; ++i) q[i] += al[i] * pl;
    }

    double s_pq = 0.0;
    double s_rp = 0.0;
    for (int i = 0; i < n; ++i) {
      s_pq += q[i] * p[i];
      s_rp += r[i] * p[i];
    }
    if (s_pq == 0.0) {
      bool p_zero = true;
      for (int i = 0; i < n; ++i) p_zero = p_zero && p[i] == 0.0;
      if (p_zero) return;
      throw SingularSystem("the system matrix is singular or not positive definite (p'Ap = 0 for a direction p != 0)");
    }
    const double alpha = s_rp / s_pq;

    for (int i = 0; i < n; ++i) x[i] = x[i] + alpha * p[i];

    double s_rq = 0.0;
    for (int i = 0; i < n; ++i) {
      r[i] = r[i] - alpha * q[i];
      s_rq += r[i] * q[i];
    }
    const double beta = -(s_rq / s_pq);
    for (int i = 0; i < n; ++i) p[i] = beta * p[i] + r[i];

    double s_dx = 0.0;
    double s_x = 0.0;
    for (int i = 0; i < n; ++i) {
      const double dx = x[i] - x_old[i];
      s_dx += dx * dx;
      s_x += x[i] * x[i];
    }
    const double change = std::sqrt(s_dx / s_x);
    if (!(finite(s_pq) && finite(s_rp) && finite(alpha) && finite(s_rq) && finite(beta) && finite(s_dx) &&
          finite(s_x)) &&
        finite_system(n, a, b))
      throw SystemOverflow("the numbers of the conjugate gradient iteration exceed the range of double precision "
                           "although the system matrix and the right-hand side are finite");

    ++count;
    if (count == limit) {
      char text[64];
      std::snprintf(text, sizeof text, "%s%10lld", "No. iterations = ", static_cast<long long>(limit));
      throw FatalError(text, ExitStatus::failure, Channel::console);
    }
    if (change <= kTolerance) return;
  }
}

}  // namespace gw
