#include "sparse/selected_inverse.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "sparse/blas.hpp"

#include <omp.h>

namespace gw {

namespace {

struct Sizes {
  std::int64_t max_rows = 0;   // most off-diagonal rows of a supernode (m)
  std::int64_t max_block = 0;  // largest m x nscol
};

[[noreturn]] void not_on_pattern() {
  throw std::logic_error("selected inverse: the factor's pattern is not closed (a row of a supernode is missing "
                         "from the column that should hold it)");
}

// Z_RR of supernode J, lower triangle, into w (m x m, leading dimension m).
// The rows R that are columns of one later supernode S are handled
// together: their positions in S's row list are found in one walk down it,
// and column R[b] of Z is then read at those positions.
void gather(const SupernodalView& f, const std::vector<std::int64_t>& owners, const std::int64_t* rows,
            std::int64_t m, double* w, std::int64_t* pos) {
  for (std::int64_t a0 = 0; a0 < m;) {
    const std::int64_t c0 = rows[a0];
    const std::int64_t sn = owners[static_cast<std::size_t>(c0)];
    const std::int64_t first = f.super[sn], end = f.super[sn + 1], nsrow = f.nrows(sn);
    const std::int64_t* srows = f.s + f.pi[sn];
    const double* xs = f.x + f.px[sn];
    std::int64_t a1 = a0;
    while (a1 < m && rows[a1] < end) ++a1;
    std::int64_t q = c0 - first;
    for (std::int64_t a = a0; a < m; ++a) {
      while (q < nsrow && srows[q] < rows[a]) ++q;
      if (q == nsrow || srows[q] != rows[a]) not_on_pattern();
      pos[a] = q;
    }
    for (std::int64_t b = a0; b < a1; ++b) {
      const double* zc = xs + (rows[b] - first) * nsrow;
      double* wc = w + b * m;
      for (std::int64_t a = b; a < m; ++a) wc[a] = zc[pos[a]];
    }
    a0 = a1;
  }
}

}  // namespace

std::vector<std::int64_t> column_owners(const SupernodalView& f) {
  std::vector<std::int64_t> owners(static_cast<std::size_t>(f.n));
  for (std::int64_t k = 0; k < f.nsuper; ++k)
    std::fill(owners.begin() + f.super[k], owners.begin() + f.super[k + 1], k);
  return owners;
}

namespace {

// Work space for the supernodes of one thread.
struct Workspace {
  std::vector<double> w, t;
  std::vector<std::int64_t> pos;
  explicit Workspace(const Sizes& z)
      : w(static_cast<std::size_t>(z.max_rows * z.max_rows)),
        t(static_cast<std::size_t>(z.max_block)),
        pos(static_cast<std::size_t>(z.max_rows)) {}
};

// Supernode j's part of Z over its part of L; every supernode that holds a
// row of j (an ancestor of j) must be done.
void invert_supernode(const SupernodalView& f, const std::vector<std::int64_t>& owners, std::int64_t j,
                      Workspace& ws) {
  const double one = 1.0, minus_one = -1.0, zero = 0.0;
  const int nscol = static_cast<int>(f.ncols(j));
  const int nsrow = static_cast<int>(f.nrows(j));
  const int m = nsrow - nscol;
  double* l = f.x + f.px[j];
  double* lr = l + nscol;  // L_RJ, becoming Y, then Z_RJ
  if (m > 0) {
    gather(f, owners, f.s + f.pi[j] + nscol, m, ws.w.data(), ws.pos.data());
    // Y = L_RJ L_JJ^-1, in place.
    dtrsm_("R", "L", "N", "N", &m, &nscol, &one, l, &nsrow, lr, &nsrow, 1, 1, 1, 1);
    // T = -Z_RR Y, from the lower triangle of Z_RR.
    dsymm_("L", "L", &m, &nscol, &minus_one, ws.w.data(), &m, lr, &nsrow, &zero, ws.t.data(), &m, 1, 1);
  }
  // Z_JJ = L_JJ^-T L_JJ^-1 (lower triangle), then less Y' Z_RJ.
  int info = 0;
  dtrtri_("L", "N", &nscol, l, &nsrow, &info, 1, 1);
  if (info != 0) throw std::logic_error("selected inverse: a diagonal element of the factor is zero");
  dlauum_("L", &nscol, l, &nsrow, &info, 1);
  if (m > 0) {
    dgemm_("T", "N", &nscol, &nscol, &m, &minus_one, lr, &nsrow, ws.t.data(), &m, &one, l, &nsrow, 1, 1);
    for (int c = 0; c < nscol; ++c)
      std::copy_n(ws.t.data() + static_cast<std::size_t>(c) * m, m, lr + static_cast<std::int64_t>(c) * nsrow);
  }
}

double supernode_flops(const SupernodalView& f, std::int64_t k) {
  const double c = static_cast<double>(f.ncols(k));
  const double m = static_cast<double>(f.nrows(k)) - c;
  // trsm, symm, trtri + lauum, gemm
  return m * c * c + 2 * m * m * c + 2 * c * c * c / 3 + 2 * c * c * m;
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

Schedule schedule(const SupernodalView& f, const std::vector<std::int64_t>& owners, int threads) {
  const auto n = static_cast<std::size_t>(f.nsuper);
  std::vector<std::int64_t> parent(n, -1);
  std::vector<double> work(n);  // of the subtree
  Schedule sc;
  sc.first.resize(n);
  double total = 0.0;
  for (std::int64_t k = 0; k < f.nsuper; ++k) {
    if (f.nrows(k) > f.ncols(k)) parent[k] = owners[static_cast<std::size_t>(f.s[f.pi[k] + f.ncols(k)])];
    if (parent[k] >= 0 && parent[k] <= k) throw std::logic_error("selected inverse: supernodes not in postorder");
    work[k] = supernode_flops(f, k);
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
    Sizes& z = sc.top[k] ? sc.top_sizes : sc.task_sizes;
    const std::int64_t m = f.nrows(k) - f.ncols(k);
    z.max_rows = std::max(z.max_rows, m);
    z.max_block = std::max(z.max_block, m * f.ncols(k));
  }
  return sc;
}

int thread_count(int threads) { return threads > 0 ? threads : omp_get_max_threads(); }

}  // namespace

void selected_inverse(const SupernodalView& f, int threads, const std::function<void(double)>& progress) {
  threads = thread_count(threads);
  const std::vector<std::int64_t> owners = column_owners(f);
  const Schedule sc = schedule(f, owners, threads);
  // The work done so far, summed over all threads; the calling thread (thread
  // 0 of the parallel part) tells `progress` whenever it has grown by a
  // thousandth of the total since the last time.
  const double total = std::max(selected_inverse_flops(f), 1.0);
  std::atomic<double> done{0.0};
  double told = 0.0;
  const auto finished = [&](std::int64_t k, bool caller) {
    if (!progress) return;
    const double w = supernode_flops(f, k);
    const double now = done.fetch_add(w, std::memory_order_relaxed) + w;
    if (caller && now - told >= 1e-3 * total) {
      told = now;
      progress(std::min(now / total, 1.0));
    }
  };
  {
    Workspace ws(sc.top_sizes);
    for (std::int64_t k = f.nsuper - 1; k >= 0; --k)
      if (sc.top[k]) {
        invert_supernode(f, owners, k, ws);
        finished(k, true);
      }
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
        for (std::int64_t k = root; k >= sc.first[root]; --k) {
          invert_supernode(f, owners, k, ws);
          finished(k, omp_get_thread_num() == 0);
        }
      } catch (const std::logic_error&) {
        failed = true;
      }
    }
  }
  if (failed) throw std::logic_error("selected inverse: the factor is not a valid supernodal Cholesky factor");
  if (progress) progress(1.0);
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

double selected_inverse_flops(const SupernodalView& f) {
  double flops = 0.0;
  for (std::int64_t k = 0; k < f.nsuper; ++k) flops += supernode_flops(f, k);
  return flops;
}

std::uint64_t selected_inverse_work_bytes(const SupernodalView& f, int threads) {
  threads = thread_count(threads);
  const Schedule sc = schedule(f, column_owners(f), threads);
  const auto bytes = [](const Sizes& z) {
    return static_cast<std::uint64_t>(z.max_rows * z.max_rows + z.max_block) * sizeof(double) +
           static_cast<std::uint64_t>(z.max_rows) * sizeof(std::int64_t);
  };
  return bytes(sc.top_sizes) + static_cast<std::uint64_t>(threads) * bytes(sc.task_sizes) +
         static_cast<std::uint64_t>(f.n + 3 * f.nsuper) * sizeof(std::int64_t);
}

}  // namespace gw
