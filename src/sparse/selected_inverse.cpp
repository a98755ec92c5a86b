#include "sparse/selected_inverse.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>

#include "sparse/blas.hpp"

namespace gw {

namespace {

// Z_RR is gathered a panel of at most this many columns at a time (by
// default), so that the work space grows with the rows of the largest
// supernode, not with their square.
constexpr std::int64_t kPanel = 512;

// Root supernodes wider than this are inverted in panels of this many
// columns (see invert_root_in_panels).
constexpr std::int64_t kSplit = 256;

struct Sizes {
  std::int64_t max_rows = 0;   // most off-diagonal rows of a supernode (m)
  std::int64_t max_block = 0;  // largest m x nscol
  std::int64_t max_panel = 0;  // largest m x min(m, panel)

  void add(std::int64_t m, std::int64_t nscol, std::int64_t panel) {
    max_rows = std::max(max_rows, m);
    max_block = std::max(max_block, m * nscol);
    max_panel = std::max(max_panel, m * std::min(m, panel));
  }
  std::uint64_t bytes() const {
    return static_cast<std::uint64_t>(max_panel + max_block) * sizeof(double) +
           static_cast<std::uint64_t>(max_rows) * sizeof(std::int64_t);
  }
};

[[noreturn]] void not_on_pattern() {
  throw std::logic_error("selected inverse: the factor's pattern is not closed (a row of a supernode is missing "
                         "from the column that should hold it)");
}

// Columns a0 .. a1-1 of Z_RR (R = `rows`, m of them), from the diagonal down,
// into g: Z(R[a], R[b]) at g[(a - a0) + (b - a0) * (m - a0)] for a >= b. The
// rows R that are columns of one later supernode S are handled together:
// their positions in S's row list are found in one walk down it, and column
// R[b] of Z is then read at those positions.
void gather(const SupernodalView& f, const std::vector<std::int64_t>& owners, const std::int64_t* rows,
            std::int64_t m, std::int64_t a0, std::int64_t a1, double* g, std::int64_t* pos) {
  const std::int64_t ld = m - a0;
  for (std::int64_t b0 = a0; b0 < a1;) {
    const std::int64_t c0 = rows[b0];
    const std::int64_t sn = owners[static_cast<std::size_t>(c0)];
    const std::int64_t first = f.super[sn], end = f.super[sn + 1], nsrow = f.nrows(sn);
    const std::int64_t* srows = f.s + f.pi[sn];
    const double* xs = f.x + f.px[sn];
    std::int64_t b1 = b0;
    while (b1 < a1 && rows[b1] < end) ++b1;
    std::int64_t q = c0 - first;
    for (std::int64_t a = b0; a < m; ++a) {
      while (q < nsrow && srows[q] < rows[a]) ++q;
      if (q == nsrow || srows[q] != rows[a]) not_on_pattern();
      pos[a] = q;
    }
    for (std::int64_t b = b0; b < b1; ++b) {
      const double* zc = xs + (rows[b] - first) * nsrow;
      double* gc = g + (b - a0) * ld - a0;
      for (std::int64_t a = b; a < m; ++a) gc[a] = zc[pos[a]];
    }
    b0 = b1;
  }
}

// Work space for the supernodes of one thread, left uninitialised: every
// element is written before it is read.
struct Workspace {
  std::unique_ptr<double[]> g, t;
  std::unique_ptr<std::int64_t[]> pos;
  explicit Workspace(const Sizes& z)
      : g(std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(z.max_panel))),
        t(std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(z.max_block))),
        pos(std::make_unique_for_overwrite<std::int64_t[]>(static_cast<std::size_t>(z.max_rows))) {}
};

// Supernode j's part of Z over its part of L; every supernode that holds a
// row of j (an ancestor of j) must be done. `worked` is told the operations
// of each step as it ends (they add up to block_flops), so that the
// progress of a large supernode moves while it is inverted.
//
// T = -Z_RR Y is summed a panel of Z_RR's columns P at a time, from the
// panel's lower part alone (Z_RR is symmetric): with D the diagonal block of
// the panel and B the rows below it,
//   T(P) -= D Y(P),  T(below) -= B Y(P),  T(P) -= B' Y(below).
template <class Worked>
void invert_supernode(const SupernodalView& f, const std::vector<std::int64_t>& owners, std::int64_t j, int panel,
                      Workspace& ws, Worked&& worked) {
  const double one = 1.0, minus_one = -1.0;
  const int nscol = static_cast<int>(f.ncols(j));
  const int nsrow = static_cast<int>(f.nrows(j));
  const int m = nsrow - nscol;
  double* l = f.x + f.px[j];
  double* lr = l + nscol;  // L_RJ, becoming Y, then Z_RJ
  double* t = ws.t.get();
  if (m > 0) {
    // Y = L_RJ L_JJ^-1, in place.
    dtrsm_("R", "L", "N", "N", &m, &nscol, &one, l, &nsrow, lr, &nsrow, 1, 1, 1, 1);
    worked(static_cast<double>(m) * nscol * nscol);
    std::fill_n(t, static_cast<std::size_t>(m) * nscol, 0.0);
    for (int a0 = 0; a0 < m; a0 += panel) {
      const int a1 = std::min(m, a0 + panel);
      const int c = a1 - a0, below = m - a1, ld = m - a0;
      gather(f, owners, f.s + f.pi[j] + nscol, m, a0, a1, ws.g.get(), ws.pos.get());
      const double* d = ws.g.get();
      dsymm_("L", "L", &c, &nscol, &minus_one, d, &ld, lr + a0, &nsrow, &one, t + a0, &m, 1, 1);
      if (below > 0) {
        dgemm_("N", "N", &below, &nscol, &c, &minus_one, d + c, &ld, lr + a0, &nsrow, &one, t + a1, &m, 1, 1);
        dgemm_("T", "N", &c, &nscol, &below, &minus_one, d + c, &ld, lr + a1, &nsrow, &one, t + a0, &m, 1, 1);
      }
      worked(2.0 * c * nscol * (c + 2.0 * below));
    }
  }
  // Z_JJ = L_JJ^-T L_JJ^-1 (lower triangle), then less Y' Z_RJ.
  int info = 0;
  dtrtri_("L", "N", &nscol, l, &nsrow, &info, 1, 1);
  if (info != 0) throw std::logic_error("selected inverse: a diagonal element of the factor is zero");
  dlauum_("L", &nscol, l, &nsrow, &info, 1);
  worked(2.0 * nscol * nscol * nscol / 3);
  if (m > 0) {
    dgemm_("T", "N", &nscol, &nscol, &m, &minus_one, lr, &nsrow, t, &m, &one, l, &nsrow, 1, 1);
    for (int col = 0; col < nscol; ++col)
      std::copy_n(t + static_cast<std::size_t>(col) * m, m, lr + static_cast<std::int64_t>(col) * nsrow);
    worked(2.0 * nscol * nscol * m);
  }
}

// Operations of a supernode (or a panel) of c columns and m rows below them:
// trsm, symm and gemm for Z_RR Y, trtri + lauum, gemm.
double block_flops(double c, double m) { return m * c * c + 2 * m * m * c + 2 * c * c * c / 3 + 2 * c * c * m; }

// Whether supernode k is a root that is inverted in panels of `split`
// columns.
bool in_panels(const SupernodalView& f, std::int64_t k, int split) {
  return f.nrows(k) == f.ncols(k) && f.ncols(k) > split;
}

// The first column of the last panel of a root of c columns: panels start
// at multiples of `split`.
std::int64_t last_panel(std::int64_t c, int split) { return (c - 1) / split * split; }

double supernode_flops(const SupernodalView& f, std::int64_t k, int split) {
  const std::int64_t c = f.ncols(k);
  if (!in_panels(f, k, split)) return block_flops(static_cast<double>(c), static_cast<double>(f.nrows(k) - c));
  double flops = 0.0;
  for (std::int64_t k0 = last_panel(c, split); k0 >= 0; k0 -= split) {
    const std::int64_t k1 = std::min(c, k0 + split);
    flops += block_flops(static_cast<double>(k1 - k0), static_cast<double>(c - k1));
  }
  return flops;
}

// Root supernode j (no rows below) in panels of `split` columns, from the
// last to the first. For the panel P of columns k0 .. k1-1, the rows R are
// the columns k1 .. c-1 of the same supernode, whose part of Z (its lower
// triangle) the later panels have left in place:
//   Y = L_RP L_PP^-1,  T = -Z_RR Y,  Z_PP = L_PP^-T L_PP^-1 - Y' T,  Z_RP = T.
template <class Worked>
void invert_root_in_panels(const SupernodalView& f, std::int64_t j, int split, Workspace& ws, Worked&& worked) {
  const double one = 1.0, minus_one = -1.0, zero = 0.0;
  const int c = static_cast<int>(f.ncols(j));
  const int ld = c;
  double* x = f.x + f.px[j];
  double* t = ws.t.get();
  for (std::int64_t start = last_panel(c, split); start >= 0; start -= split) {
    const int k0 = static_cast<int>(start), k1 = std::min(c, k0 + split);
    const int p = k1 - k0, m = c - k1;
    double* lpp = x + k0 + static_cast<std::int64_t>(k0) * ld;
    double* lrp = lpp + p;  // rows k1 .., the panel's columns
    if (m > 0) {
      dtrsm_("R", "L", "N", "N", &m, &p, &one, lpp, &ld, lrp, &ld, 1, 1, 1, 1);
      worked(static_cast<double>(m) * p * p);
      const double* zrr = x + k1 + static_cast<std::int64_t>(k1) * ld;
      dsymm_("L", "L", &m, &p, &minus_one, zrr, &ld, lrp, &ld, &zero, t, &m, 1, 1);
      worked(2.0 * m * m * p);
    }
    int info = 0;
    dtrtri_("L", "N", &p, lpp, &ld, &info, 1, 1);
    if (info != 0) throw std::logic_error("selected inverse: a diagonal element of the factor is zero");
    dlauum_("L", &p, lpp, &ld, &info, 1);
    worked(2.0 * p * p * p / 3);
    if (m > 0) {
      dgemm_("T", "N", &p, &p, &m, &minus_one, lrp, &ld, t, &m, &one, lpp, &ld, 1, 1);
      for (int col = 0; col < p; ++col)
        std::copy_n(t + static_cast<std::size_t>(col) * m, m, lrp + static_cast<std::int64_t>(col) * ld);
      worked(2.0 * p * p * m);
    }
  }
}

// Supernode k by the method that fits it.
template <class Worked>
void invert(const SupernodalView& f, const std::vector<std::int64_t>& owners, std::int64_t k, int panel, int split,
            Workspace& ws, Worked&& worked) {
  if (in_panels(f, k, split))
    invert_root_in_panels(f, k, split, ws, worked);
  else
    invert_supernode(f, owners, k, panel, ws, worked);
}

// How the supernodes are shared out. A supernode's parent is the one that
// holds its first row below the diagonal block; CHOLMOD numbers the
// supernodes in postorder, so every subtree is a contiguous range that ends
// at its root and every parent comes after its children. The supernodes
// whose subtree holds more than a small share of the work form the top of
// the tree: they are taken one by one from the root down, each with
// multithreaded BLAS. The subtrees below them are independent tasks, each
// taken whole by one thread (BLAS then runs on that thread alone).
struct Schedule {
  std::vector<char> top;
  std::vector<std::int64_t> tasks;  // roots of the subtrees below the top, largest first
  std::vector<std::int64_t> first;  // first supernode of each subtree
  Sizes top_sizes, task_sizes;
};

Schedule schedule(const SupernodalView& f, const std::vector<std::int64_t>& owners, int threads, int panel,
                  int split) {
  const auto n = static_cast<std::size_t>(f.nsuper);
  std::vector<std::int64_t> parent(n, -1);
  std::vector<double> work(n);  // of the subtree
  Schedule sc;
  sc.first.resize(n);
  double total = 0.0;
  for (std::int64_t k = 0; k < f.nsuper; ++k) {
    if (f.nrows(k) > f.ncols(k)) parent[k] = owners[static_cast<std::size_t>(f.s[f.pi[k] + f.ncols(k)])];
    if (parent[k] >= 0 && parent[k] <= k) throw std::logic_error("selected inverse: supernodes not in postorder");
    work[k] = supernode_flops(f, k, split);
    total += work[k];
    sc.first[k] = k;
  }
  for (std::int64_t k = 0; k < f.nsuper; ++k)
    if (parent[k] >= 0) {
      work[parent[k]] += work[k];
      sc.first[parent[k]] = std::min(sc.first[parent[k]], sc.first[k]);
    }
  const double share = threads > 1 ? total / (8.0 * threads) : total + 1.0;
  sc.top.assign(n, 0);
  for (std::int64_t k = f.nsuper - 1; k >= 0; --k) {
    sc.top[k] = work[k] > share;
    if (!sc.top[k] && (parent[k] < 0 || sc.top[parent[k]])) sc.tasks.push_back(k);
  }
  std::stable_sort(sc.tasks.begin(), sc.tasks.end(),
                   [&](std::int64_t a, std::int64_t b) { return work[a] > work[b]; });
  for (std::int64_t k = 0; k < f.nsuper; ++k) {
    Sizes& sizes = sc.top[k] ? sc.top_sizes : sc.task_sizes;
    if (in_panels(f, k, split))
      sizes.add(f.ncols(k), split, 0);  // T of a panel: at most the later columns times the panel's
    else
      sizes.add(f.nrows(k) - f.ncols(k), f.ncols(k), panel);
  }
  return sc;
}

int thread_count(const SelectedInverseOptions& o) { return o.threads > 0 ? o.threads : omp_get_max_threads(); }
int panel_width(const SelectedInverseOptions& o) { return o.panel > 0 ? o.panel : static_cast<int>(kPanel); }
int split_width(const SelectedInverseOptions& o) { return o.split > 0 ? o.split : static_cast<int>(kSplit); }

}  // namespace

std::vector<std::int64_t> column_owners(const SupernodalView& f) {
  std::vector<std::int64_t> owners(static_cast<std::size_t>(f.n));
  for (std::int64_t k = 0; k < f.nsuper; ++k)
    std::fill(owners.begin() + f.super[k], owners.begin() + f.super[k + 1], k);
  return owners;
}

void selected_inverse(const SupernodalView& f, const SelectedInverseOptions& options, StageObserver* stages) {
  const int threads = thread_count(options), panel = panel_width(options), split = split_width(options);
  const std::vector<std::int64_t> owners = column_owners(f);
  const Schedule sc = schedule(f, owners, threads, panel, split);
  // The work done so far, summed over all threads, step by step within
  // each supernode; the calling thread (thread 0 of the parallel part)
  // tells `stages` whenever it has grown by a thousandth of the total
  // since the last time.
  const double total = std::max(selected_inverse_flops(f, options), 1.0);
  std::atomic<double> done{0.0};
  double told = 0.0;
  const auto worked = [&](double w, bool caller) {
    if (!stages) return;
    const double now = done.fetch_add(w, std::memory_order_relaxed) + w;
    if (caller && now - told >= 1e-3 * total) {
      told = now;
      stages->update(std::min(now / total, 1.0));
    }
  };
  {
    Workspace ws(sc.top_sizes);
    for (std::int64_t k = f.nsuper - 1; k >= 0; --k)
      if (sc.top[k]) invert(f, owners, k, panel, split, ws, [&](double w) { worked(w, true); });
  }
  const auto ntasks = static_cast<std::int64_t>(sc.tasks.size());
  bool failed = false;
#pragma omp parallel num_threads(threads) if (threads > 1 && ntasks > 1) reduction(|| : failed)
  {
    Workspace ws(sc.task_sizes);
#pragma omp for schedule(dynamic, 1)
    for (std::int64_t q = 0; q < ntasks; ++q) {
      const std::int64_t root = sc.tasks[static_cast<std::size_t>(q)];
      try {
        const bool caller = omp_get_thread_num() == 0;
        for (std::int64_t k = root; k >= sc.first[root]; --k)
          invert(f, owners, k, panel, split, ws, [&](double w) { worked(w, caller); });
      } catch (const std::logic_error&) {
        failed = true;
      }
    }
  }
  if (failed) throw std::logic_error("selected inverse: the factor is not a valid supernodal Cholesky factor");
  report_share(stages, 1.0);
}

double selected_element(const SupernodalView& f, const std::vector<std::int64_t>& owners, std::int64_t r,
                        std::int64_t c) {
  if (r < c) std::swap(r, c);
  const std::int64_t sn = owners[static_cast<std::size_t>(c)];
  const std::int64_t offset = c - f.super[sn], nsrow = f.nrows(sn);
  const std::int64_t* srows = f.s + f.pi[sn];
  const std::int64_t* at = std::lower_bound(srows + offset, srows + nsrow, r);
  if (at == srows + nsrow || *at != r) not_on_pattern();
  return f.x[f.px[sn] + offset * nsrow + (at - srows)];
}

void selected_inverse_plain(const SupernodalView& f) {
  const std::vector<std::int64_t> owners = column_owners(f);
  std::vector<double> l, z;
  for (std::int64_t j = f.n - 1; j >= 0; --j) {
    const std::int64_t sn = owners[static_cast<std::size_t>(j)];
    const std::int64_t o = j - f.super[sn], nsrow = f.nrows(sn);
    double* col = f.x + f.px[sn] + o * nsrow;
    const std::int64_t* rows = f.s + f.pi[sn] + o + 1;  // the rows below j
    const std::int64_t m = nsrow - o - 1;
    const double ljj = col[o];
    l.assign(col + o + 1, col + nsrow);
    z.assign(static_cast<std::size_t>(m), 0.0);
    // z = -Z_RR l / l_jj, Z_jj = 1 / l_jj^2 - (l / l_jj)' z
    for (std::int64_t a = 0; a < m; ++a) {
      double sum = 0.0;
      for (std::int64_t b = 0; b < m; ++b) sum += selected_element(f, owners, rows[a], rows[b]) * l[b];
      z[a] = -sum / ljj;
    }
    double zjj = 1.0 / (ljj * ljj);
    for (std::int64_t a = 0; a < m; ++a) zjj -= l[a] / ljj * z[a];
    col[o] = zjj;
    std::copy(z.begin(), z.end(), col + o + 1);
  }
}

double selected_inverse_flops(const SupernodalView& f, const SelectedInverseOptions& options) {
  const int split = split_width(options);
  double flops = 0.0;
  for (std::int64_t k = 0; k < f.nsuper; ++k) flops += supernode_flops(f, k, split);
  return flops;
}

std::uint64_t selected_inverse_work_bytes(const SupernodalView& f, const SelectedInverseOptions& options) {
  const int threads = thread_count(options);
  const Schedule sc = schedule(f, column_owners(f), threads, panel_width(options), split_width(options));
  // The top's work space is freed before the threads take theirs.
  const std::uint64_t tasks = static_cast<std::uint64_t>(sc.tasks.size() > 1 ? threads : 1) * sc.task_sizes.bytes();
  return std::max(sc.top_sizes.bytes(), tasks) + static_cast<std::uint64_t>(f.n + 3 * f.nsuper) * sizeof(std::int64_t);
}

}  // namespace gw
