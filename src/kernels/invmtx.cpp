// Blocked Gauss-Jordan inversion, bit-identical to invmtx_plain.
//
// Frame. The plain form shifts the working block one column to the left at
// every step and puts the new inverse column last. After s steps its physical
// column j holds logical column (j + s) mod n, where logical column c is the
// original column c while c >= s and the inverse column c once c < s. Here
// everything is done in the logical frame, in place: step k turns column k
// into the k-th inverse column and updates every other column. After all n
// steps the two frames coincide, so no shifting is needed at all (only a
// stop part-way, see restore_after_stop, has to rotate).
//
// Step k, with rows already exchanged and p = w(k, k), t_i = w(i, k):
//   pivot row, column c != k:  u(c) = w(k, c) / p,    w(k, c) = u(c)
//   other rows, column c != k: w(i, c) = w(i, c) - t_i * u(c)
//   column k:                  w(k, k) = 1.0 / p,     w(i, k) = -(t_i * w(k, k))
// Every element thus receives one rounded product and one rounded difference
// per step, in step order. The blocked scheme below delays these operations
// for most columns but applies exactly the same ones in the same order:
//
// * A panel of consecutive steps is factored on its own columns only
//   (recursively halved, with step-by-step factoring of narrow leaves),
//   recording for each step its pivot row, its pivot and the column of
//   multipliers t. Later exchanges within the panel are applied to the
//   recorded multipliers too, so that they are indexed by the rows' final
//   positions.
// * Every other column then receives the panel's row exchanges, then the
//   panel's pivot rows (a small sequential pass, since each pivot row was
//   itself updated by the earlier steps of the panel), and then all other
//   rows receive c = c - t_k * u_k for the panel's steps k in order (the
//   register-blocked update kernel).
// * Columns are shared among threads in blocks, and the next panel is
//   factored by the calling thread while the others update the rest
//   (lookahead), so that the factoring is off the critical path (see run).
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "base/fatal.hpp"
#include "kernels/invmtx_fast.hpp"
#include "base/aligned.hpp"
#include "kernels/kernels.hpp"

namespace gw {

namespace invmtx_detail {

namespace {

using std::int64_t;

constexpr int kProgressInterval = 100;

// Panels whose multipliers are kept at a time: the one being applied, the
// one factored ahead, and one more so that factoring ahead never waits for
// the stragglers of the panel before.
constexpr int kBuffers = 3;

// Copies a into b over b's whole extent, unless they are the same array. If
// the two arrays share memory without being the same array, the copy goes
// element by element in the plain order so that it reads what the plain form
// reads.
void copy_whole(ConstMatView a, MatView b) {
  if (a.data == b.data && a.ld == b.ld) return;
  if (b.rows <= 0 || b.cols <= 0) return;
  const double* a_end = a.data + (b.cols - 1) * a.ld + b.rows;
  const double* b_end = b.data + (b.cols - 1) * b.ld + b.rows;
  const bool disjoint = a_end <= b.data || b_end <= a.data;
  if (!disjoint) {
    for (int64_t j = 0; j < b.cols; ++j)
      for (int64_t i = 0; i < b.rows; ++i) b(i, j) = a(i, j);
    return;
  }
#pragma omp parallel for schedule(static) if (b.rows * b.cols > (int64_t{1} << 20))
  for (int64_t j = 0; j < b.cols; ++j) std::memcpy(b.col(j), a.col(j), sizeof(double) * b.rows);
}

// Why and after how many completed steps the elimination stopped.
struct Stop {
  int steps = 0;                // steps completed in full
  std::exception_ptr error;     // the pivot-step callback's exception, if it threw
};

class Inverter {
 public:
  Inverter(int n, MatView w, const PivotSteps& pivots, const Blocking& blocking, int threads)
      : n_(n),
        w_(w),
        pivots_(pivots),
        loops_(loops_for(blocking.kernels)),
        nb_(blocking.panel),
        leaf_(blocking.leaf),
        ncb_(blocking.col_block),
        row_block_(blocking.row_block),
        threads_(threads),
        ldt_((int64_t{n} + 7) / 8 * 8),
        perm_(static_cast<std::size_t>(n)),
        piv_(static_cast<std::size_t>(n)),
        pivot_(static_cast<std::size_t>(n)),
        received_(static_cast<std::size_t>(nb_)) {
    for (int i = 0; i < n; ++i) perm_[i] = i;
    const std::size_t packed = static_cast<std::size_t>(n + 2 * loops_.tile_rows) * static_cast<std::size_t>(nb_);
    for (int i = 0; i < kBuffers; ++i) {
      t_[i] = AlignedArray(static_cast<std::size_t>(ldt_) * static_cast<std::size_t>(nb_));
      tpack_[i] = AlignedArray(packed);
    }
    tpack_inner_ = AlignedArray(packed);
    const int64_t tc = loops_.tile_cols;
    const int64_t ucols = (std::max(ncb_, nb_) + tc - 1) / tc * tc;
    for (int i = 0; i < threads_; ++i) {
      ubuf_.emplace_back(static_cast<std::size_t>(ucols * nb_));
      xbuf_.emplace_back(static_cast<std::size_t>(tc * nb_));
    }
  }

  void run();

 private:
  // A panel: steps (and columns) [start, start + width).
  struct Panel {
    int start = 0;
    int width = 0;
    int buf = 0;  // which multiplier buffers it uses
  };
  // The steps [s0, s1) of a panel, ready to be applied to other columns:
  // the multipliers of the rows outside [s0, s1), packed for the kernel, and
  // of the rows inside, unpacked.
  struct Group {
    int s0 = 0;
    int s1 = 0;
    const double* t = nullptr;       // multipliers of step s0, column-major, leading dimension ldt_
    const double* above = nullptr;   // packed multipliers of rows [0, s0)
    const double* below = nullptr;   // packed multipliers of rows [s1, n)
  };

  Panel panel(int index) const {
    const int start = index * nb_;
    return {start, std::min(nb_, n_ - start), index % kBuffers};
  }
  int panels() const { return (n_ + nb_ - 1) / nb_; }
  double* tcol(const Panel& p, int step) const { return t_[p.buf].data() + int64_t{step - p.start} * ldt_; }

  bool factor_panel(const Panel& p);
  bool factor(const Panel& p, int a, int width);
  bool factor_leaf(const Panel& p, int a, int width);
  Group pack(const Panel& p, int s0, int s1, double* out) const;
  void apply(const Group& g, int64_t c0, int64_t c1, int worker);
  void apply_blocked(const Group& g, int64_t c0, int64_t c1, int worker);
  void mark(const Panel& p, int64_t c0, int64_t c1, int steps);
  void restore_after_stop(const Panel& p);
  void undo_exchanges();

  int n_;
  MatView w_;
  const PivotSteps& pivots_;
  const Loops& loops_;
  int nb_, leaf_, ncb_, row_block_, threads_;
  int64_t ldt_;
  std::vector<int> perm_;       // the plain form's permutation record
  std::vector<int> piv_;        // pivot row of each step
  std::vector<double> pivot_;   // pivot of each step
  AlignedArray t_[kBuffers];    // multipliers of a panel's steps, one column per step
  AlignedArray tpack_[kBuffers];  // the same, packed for the update of the other columns
  AlignedArray tpack_inner_;    // packed multipliers of the groups inside a panel
  std::vector<AlignedArray> ubuf_, xbuf_;  // per worker: packed pivot rows, pivot row scratch
  std::vector<int> received_;   // steps received so far by each column of the panel being factored
  Group packed_[kBuffers];      // the groups of the panels in t_ / tpack_
  std::optional<Stop> stop_;
};

// Records that columns [c0, c1) of the panel have received all steps before `steps`.
void Inverter::mark(const Panel& p, int64_t c0, int64_t c1, int steps) {
  for (int64_t c = std::max<int64_t>(c0, p.start); c < std::min<int64_t>(c1, p.start + p.width); ++c)
    received_[c - p.start] = steps;
}

// Steps [a, a + width) of panel p on the columns [a, a + width), which have
// received all steps before a. Returns false if the elimination stopped.
bool Inverter::factor(const Panel& p, int a, int width) {
  if (width <= leaf_) return factor_leaf(p, a, width);
  const int tc = loops_.tile_cols;
  int h = (width / 2 + tc - 1) / tc * tc;
  if (h >= width) h = width / 2;
  if (!factor(p, a, h)) return false;
  apply_blocked(pack(p, a, a + h, tpack_inner_.data()), a + h, a + width, 0);
  mark(p, a + h, a + width, a + h);
  if (!factor(p, a + h, width - h)) return false;
  apply_blocked(pack(p, a + h, a + width, tpack_inner_.data()), a, a + h, 0);
  mark(p, a, a + h, a + width);
  return true;
}

bool Inverter::factor_leaf(const Panel& p, int a, int width) {
  const int64_t n = n_;
  for (int k = a; k < a + width; ++k) {
    double* col = w_.col(k);
    // Pivot search: strict greater-than from 0.0, so the lowest row wins a
    // tie and a not-a-number is never chosen.
    double best = 0.0;
    int l = k;
    for (int i = k; i < n_; ++i) {
      const double v = std::fabs(col[i]);
      if (v > best) {
        best = v;
        l = i;
      }
    }
    if (best < kSingularThreshold) {
      mark(p, a, a + width, k);
      stop_ = Stop{k, nullptr};
      return false;
    }

    std::swap(perm_[l], perm_[k]);
    piv_[k] = l;
    for (int c = a; c < a + width; ++c) std::swap(w_(l, c), w_(k, c));
    for (int s = p.start; s < k; ++s) {
      double* t = tcol(p, s);
      std::swap(t[l], t[k]);
    }

    const double pv = col[k];
    pivot_[k] = pv;
    double* t = tcol(p, k);
    std::memcpy(t, col, sizeof(double) * n);
    for (int c = a; c < a + width; ++c) {
      if (c == k) continue;
      double* cc = w_.col(c);
      const double u = cc[k] / pv;
      cc[k] = u;
      loops_.sub_scaled(cc, t, u, k);
      loops_.sub_scaled(cc + k + 1, t + k + 1, u, n - k - 1);
    }
    const double r = 1.0 / pv;
    for (int64_t i = 0; i < k; ++i) col[i] = -(t[i] * r);
    col[k] = r;
    for (int64_t i = k + 1; i < n; ++i) col[i] = -(t[i] * r);

    if ((k + 1) % kProgressInterval == 0 && pivots_) {
      try {
        pivots_(k + 1);
      } catch (...) {
        mark(p, a, a + width, k + 1);
        stop_ = Stop{k + 1, std::current_exception()};
        return false;
      }
    }
  }
  mark(p, a, a + width, a + width);
  return true;
}

// Packs the multipliers of steps [s0, s1) of panel p for the rows outside
// [s0, s1) into `out`.
Inverter::Group Inverter::pack(const Panel& p, int s0, int s1, double* out) const {
  const int depth = s1 - s0;
  const double* t = tcol(p, s0);
  const int64_t mr = loops_.tile_rows;
  auto pack_rows = [&](int64_t r0, int64_t r1, double* dst) {
    const int64_t tiles = (r1 - r0 + mr - 1) / mr;
    for (int64_t m = 0; m < tiles; ++m) {
      const int64_t base = r0 + m * mr;
      const int64_t rows = std::min<int64_t>(mr, r1 - base);
      double* tile = dst + m * mr * depth;
      for (int k = 0; k < depth; ++k) {
        const double* src = t + k * ldt_ + base;
        double* d = tile + k * mr;
        std::memcpy(d, src, sizeof(double) * rows);
        std::fill(d + rows, d + mr, 0.0);
      }
    }
    return dst + tiles * mr * depth;
  };
  double* below = pack_rows(0, s0, out);
  pack_rows(s1, n_, below);
  return Group{s0, s1, t, out, below};
}

// Applies the steps of group g to the columns [c0, c1), which have received
// all steps before g.s0: the row exchanges, the pivot rows, then the other rows.
void Inverter::apply(const Group& g, int64_t c0, int64_t c1, int worker) {
  const int depth = g.s1 - g.s0;
  const int64_t ld = w_.ld;
  // The exchanged rows are scattered over the columns: touch them all first
  // so that the misses overlap.
  for (int64_t c = c0; c < c1; ++c) {
    const double* col = w_.col(c);
    for (int k = g.s0; k < g.s1; ++k)
      if (piv_[k] >= g.s1) __builtin_prefetch(col + piv_[k], 1, 3);
  }
  for (int64_t c = c0; c < c1; ++c) {
    double* col = w_.col(c);
    for (int k = g.s0; k < g.s1; ++k) std::swap(col[k], col[piv_[k]]);
  }
  double* u = ubuf_[worker].data();
  double* x = xbuf_[worker].data();
  const int64_t tc = loops_.tile_cols;
  for (int64_t q = c0; q < c1; q += tc) {
    const int64_t nc = std::min<int64_t>(tc, c1 - q);
    for (int r = 0; r < depth; ++r) {
      double* xr = x + r * tc;
      for (int64_t j = 0; j < nc; ++j) xr[j] = w_(g.s0 + r, q + j);
      for (int64_t j = nc; j < tc; ++j) xr[j] = 0.0;
    }
    loops_.pivot_rows(x, g.t + g.s0, ldt_, pivot_.data() + g.s0, depth, u + (q - c0) * depth);
    for (int r = 0; r < depth; ++r)
      for (int64_t j = 0; j < nc; ++j) w_(g.s0 + r, q + j) = x[r * tc + j];
  }
  double* c = w_.data + c0 * ld;
  loops_.update(c, ld, g.s0, c1 - c0, g.above, u, depth, row_block_);
  loops_.update(c + g.s1, ld, n_ - g.s1, c1 - c0, g.below, u, depth, row_block_);
}

void Inverter::apply_blocked(const Group& g, int64_t c0, int64_t c1, int worker) {
  for (int64_t c = c0; c < c1; c += ncb_) apply(g, c, std::min<int64_t>(c1, c + ncb_), worker);
}

// Brings the matrix into the state the plain form leaves after stop_->steps
// complete steps: every column receives the steps it still lacks, and the
// columns are rotated into the shifted frame.
void Inverter::restore_after_stop(const Panel& p) {
  const int s = stop_->steps;
  auto complete = [&](int64_t c0, int64_t c1, int from) {
    if (from < s && c0 < c1) apply_blocked(pack(p, from, s, tpack_inner_.data()), c0, c1, 0);
  };
  complete(0, p.start, p.start);
  complete(p.start + p.width, n_, p.start);
  for (int c = p.start; c < p.start + p.width;) {
    int e = c + 1;
    while (e < p.start + p.width && received_[e - p.start] == received_[c - p.start]) ++e;
    complete(c, e, received_[c - p.start]);
    c = e;
  }
  // Rotate columns 0..n-1 left by s (rows 0..n-1): three reversals.
  auto reverse = [&](int64_t c0, int64_t c1) {
    for (--c1; c0 < c1; ++c0, --c1) std::swap_ranges(w_.col(c0), w_.col(c0) + n_, w_.col(c1));
  };
  if (s % n_ != 0) {
    reverse(0, s);
    reverse(s, n_);
    reverse(0, n_);
  }
}

// Undoes the row exchanges as column exchanges, in the plain order. The
// exchanges are listed first and then applied by row slices in parallel.
void Inverter::undo_exchanges() {
  std::vector<std::pair<int, int>> swaps;
  for (int k = 0; k < n_; ++k) {
    int i = k;
    while (perm_[i] != k) ++i;
    perm_[i] = perm_[k];
    if (i != k) swaps.emplace_back(i, k);
  }
  if (swaps.empty()) return;
  const int64_t slice = 512;
  const int64_t slices = (int64_t{n_} + slice - 1) / slice;
#pragma omp parallel for schedule(static) num_threads(threads_) if (threads_ > 1 && slices > 1)
  for (int64_t sl = 0; sl < slices; ++sl) {
    const int64_t r0 = sl * slice;
    const int64_t r1 = std::min<int64_t>(n_, r0 + slice);
    for (const auto& [i, k] : swaps) std::swap_ranges(w_.col(i) + r0, w_.col(i) + r1, w_.col(k) + r0);
  }
}

// Factors panel p on its own columns, which have received all steps before
// it, and packs its multipliers. Returns false if the elimination stopped.
bool Inverter::factor_panel(const Panel& p) {
  std::fill(received_.begin(), received_.end(), p.start);
  if (!factor(p, p.start, p.width)) return false;
  packed_[p.buf] = pack(p, p.start, p.start + p.width, tpack_[p.buf].data());
  return true;
}

// Waits for `done()` to hold, spinning briefly and then yielding, so that an
// oversubscribed machine still makes progress.
template <class Done>
void spin_until(Done done) {
  for (int spins = 0; !done(); ++spins) {
    if (spins < 2000)
      std::atomic_signal_fence(std::memory_order_seq_cst);
    else
      std::this_thread::yield();
  }
}

// The elimination after the first panel, as a stream of tasks without
// rounds of barriers. Columns are split into blocks that never straddle a
// panel. Task (j, b) applies panel j to block b; it needs panel j factored
// and block b to have received panels 0..j-1. Worker 0 alone factors the
// panels, one ahead: it applies panel j to the blocks of panel j+1 and
// factors panel j+1 while the others work on the tasks of panel j. Tasks are
// claimed in one global order, so the task a claimed task waits for was
// claimed earlier by a worker that is running it; worker 0 claims only tasks
// of panels already factored, so nothing ever waits on itself.
void Inverter::run() {
  const int np = panels();
  // Blocks: panel p's columns in pieces of at most ncb_.
  std::vector<int64_t> block_start;
  std::vector<int> panel_block(static_cast<std::size_t>(np) + 1);
  for (int p = 0; p < np; ++p) {
    panel_block[p] = static_cast<int>(block_start.size());
    const Panel pp = panel(p);
    for (int64_t c = pp.start; c < pp.start + pp.width; c += ncb_) block_start.push_back(c);
  }
  panel_block[np] = static_cast<int>(block_start.size());
  const int nblocks = panel_block[np];
  block_start.push_back(n_);
  auto block_panel = [&](int b) { return static_cast<int>(block_start[b] / nb_); };

  // Tasks of panel j: every block outside panels j and j+1, those of panel
  // j+2 first since worker 0 needs them next.
  struct Task {
    int panel;
    int block;
  };
  std::vector<Task> tasks;
  std::vector<int> per_panel(static_cast<std::size_t>(np), 0);
  for (int j = 0; j < np; ++j) {
    const std::size_t first = tasks.size();
    if (j + 2 < np)
      for (int b = panel_block[j + 2]; b < panel_block[j + 3]; ++b) tasks.push_back({j, b});
    for (int b = 0; b < nblocks; ++b) {
      const int p = block_panel(b);
      if (p != j && p != j + 1 && p != j + 2) tasks.push_back({j, b});
    }
    per_panel[j] = static_cast<int>(tasks.size() - first);
  }

  // received[b]: panels block b has received in full. remaining[j]: tasks
  // of panel j not yet finished (its multiplier buffers are free at zero).
  // factored: panels factored and packed. stopped: the panel whose
  // factoring stopped, or np.
  const auto received = std::make_unique<std::atomic<int>[]>(static_cast<std::size_t>(nblocks));
  const auto remaining = std::make_unique<std::atomic<int>[]>(static_cast<std::size_t>(np));
  for (int j = 0; j < np; ++j) remaining[j].store(per_panel[j], std::memory_order_relaxed);
  std::atomic<int> factored{0};
  std::atomic<int> stopped{np};
  std::atomic<std::size_t> next_task{0};

  auto mark_panel = [&](int p, int value) {
    for (int b = panel_block[p]; b < panel_block[p + 1]; ++b) received[b].store(value, std::memory_order_release);
  };
  auto run_task = [&](const Task& t, int worker) {
    spin_until([&] { return received[t.block].load(std::memory_order_acquire) == t.panel; });
    apply(packed_[t.panel % kBuffers], block_start[t.block], block_start[t.block + 1], worker);
    received[t.block].store(t.panel + 1, std::memory_order_release);
    remaining[t.panel].fetch_sub(1, std::memory_order_acq_rel);
  };
  // Worker 0: runs tasks of factored panels until `done()` holds.
  auto help_until = [&](auto done) {
    int spins = 0;
    while (!done()) {
      std::size_t i = next_task.load(std::memory_order_relaxed);
      if (i < tasks.size() && tasks[i].panel < factored.load(std::memory_order_relaxed) &&
          next_task.compare_exchange_strong(i, i + 1, std::memory_order_relaxed)) {
        run_task(tasks[i], 0);
        spins = 0;
      } else if (++spins > 2000) {
        std::this_thread::yield();
      }
    }
  };

  if (factor_panel(panel(0))) {
    mark_panel(0, 1);
    factored.store(1, std::memory_order_release);
  } else {
    stopped.store(0);
  }

#pragma omp parallel num_threads(threads_) if (threads_ > 1 && np > 1 && stopped.load() == np)
  {
    const int worker = omp_get_thread_num();
    if (worker == 0) {
      for (int j = 0; j + 1 < np && stopped.load(std::memory_order_relaxed) == np; ++j) {
        const int b0 = panel_block[j + 1], b1 = panel_block[j + 2];
        help_until([&] {
          for (int b = b0; b < b1; ++b)
            if (received[b].load(std::memory_order_acquire) != j) return false;
          return true;
        });
        apply_blocked(packed_[j % kBuffers], block_start[b0], block_start[b1], 0);
        mark_panel(j + 1, j + 1);
        if (j + 1 >= kBuffers)
          help_until([&] { return remaining[j + 1 - kBuffers].load(std::memory_order_acquire) == 0; });
        if (!factor_panel(panel(j + 1))) {
          stopped.store(j + 1, std::memory_order_release);
          break;
        }
        mark_panel(j + 1, j + 2);
        factored.store(j + 2, std::memory_order_release);
      }
      // The rest, down to the panel that stopped, if any.
      help_until([&] {
        const std::size_t i = next_task.load(std::memory_order_relaxed);
        return i >= tasks.size() || tasks[i].panel >= stopped.load(std::memory_order_relaxed);
      });
    } else {
      for (;;) {
        const std::size_t i = next_task.fetch_add(1, std::memory_order_relaxed);
        if (i >= tasks.size()) break;
        const Task& t = tasks[i];
        // Wait for the panel, unless its factoring stopped.
        spin_until([&] {
          return factored.load(std::memory_order_acquire) > t.panel ||
                 stopped.load(std::memory_order_acquire) <= t.panel;
        });
        if (t.panel >= stopped.load(std::memory_order_acquire)) break;
        run_task(t, worker);
      }
    }
  }

  if (stop_) {
    // Every task before the stopped panel has run; restore needs exactly that.
    restore_after_stop(panel(stopped.load()));
    if (stop_->error) std::rethrow_exception(stop_->error);
    throw FatalError::console_message("Matrix is singular !");
  }
  undo_exchanges();
}

}  // namespace

Blocking default_blocking() {
  Blocking b;
  b.panel = 128;
  b.leaf = 8;
  b.col_block = 128;
  b.row_block = 240;
  b.threads = 0;
  b.kernels = KernelSet::automatic;
  return b;
}

void invmtx_blocked(int n, ConstMatView a, MatView b, const PivotSteps& pivots, const Blocking& blocking) {
  if (n < 1) throw FatalError::console_message("Order of matrix is less than 1 !");
  if (n == 1) {
    const double v = a(0, 0);
    if (std::fabs(v) < kSingularThreshold) throw FatalError::console_message("Matrix is singular !");
    b(0, 0) = 1.0 / v;
    return;
  }
  const Blocking d = default_blocking();
  Blocking bl = blocking;
  if (bl.panel <= 0) bl.panel = d.panel;
  if (bl.leaf <= 0) bl.leaf = d.leaf;
  if (bl.col_block <= 0) bl.col_block = d.col_block;
  if (bl.row_block <= 0) bl.row_block = d.row_block;
  bl.panel = std::min(bl.panel, n);
  bl.leaf = std::max(bl.leaf, 1);
  int threads = bl.threads;
  if (threads <= 0) {
    // Below a few panels the work is too small to share.
    threads = n < 2 * bl.panel ? 1 : omp_get_max_threads();
  }

  copy_whole(a, b);
  Inverter inv(n, b, pivots, bl, threads);
  inv.run();
}

}  // namespace invmtx_detail

void invmtx(int n, ConstMatView a, MatView b, const PivotSteps& pivots) {
  invmtx_detail::invmtx_blocked(n, a, b, pivots, invmtx_detail::Blocking{});
}

}  // namespace gw
