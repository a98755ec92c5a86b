// The candidate stage.
//
// Why the fast form gives the plain form's bits. For candidate k,
// GA0 = G0 (x) column k of A0, T(j, c) = sum over r of GA0(r, j) PPI(r, c)
// and LHS(j, m) = sum over c of T(j, c) GA0(c, m), each sum from +0.0 in
// ascending order. The terms of records that are absent (their rows and
// columns of PPI are zero) and of animals unrelated to the candidate
// (A0(l, k) = 0, so GA0 is a signed zero there) are signed zeros as long as
// every factor is finite. A running sum that starts at +0.0 is never -0.0
// (x + (-x) = +0 when rounding to nearest), and adding a signed zero to a
// sum that is not -0.0 changes no bit, so these terms may be left out or
// included at will. The fast form therefore sums over the present records
// related to at least one candidate of a batch only, in ascending order, and
// lets the candidates of a batch share the pass over PPI: with lanes
// (candidate b, trait j) and g_bj(r) = G0(i_r, j) * A0(l_r, k_b), exactly the
// plain code's GA0 element,
//   T_bj(c) = sum over the batch's rows r of g_bj(r) PPI(r, c)
// is one sequential sum per lane and column (vectors run over lanes, threads
// over columns c, so each element is computed by one thread in one order),
// and LHS_b(j, m) = sum over the batch's columns c of T_bj(c) g_bm(c).
// PPI(r, c) is always read with r the row index, as the plain code reads it
// (the computed inverse is not symmetric bit for bit).
//
// Finiteness: T(j, c) of a column c that is left out must be finite for its
// zero product to vanish. With every value of G0, of the candidates' columns
// of A0 and of the present block of PPI finite, |T| is at most about
// NREC * max|G0| * max|A0| * max|PPI|; the fast form is used only when four
// times that is finite, and otherwise every candidate goes the plain way.
#include "kernels/candidate_pass.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "base/fatal.hpp"
#include "base/aligned.hpp"
#include "kernels/kernels.hpp"

namespace gw {

// ----------------------------------------------------------------- relationships

namespace {

// Offset of column c of the lower triangle of an n x n matrix packed by
// columns (column c holds rows c .. n-1).
std::int64_t packed_offset(std::int64_t n, std::int64_t c) { return c * n - c * (c - 1) / 2; }

}  // namespace

CandidateRelationships::CandidateRelationships(ConstMatView a0, const std::vector<std::int32_t>& cand)
    : nanim_(static_cast<int>(a0.rows)) {
  for (int k = 0; k < nanim_; ++k)
    if (cand[static_cast<std::size_t>(k)] == 1) animals_.push_back(k);
  const auto n = static_cast<std::int64_t>(nanim_);
  const auto ncand = static_cast<std::int64_t>(animals_.size());
  packed_ = ncand * n > n * (n + 1) / 2;
  if (packed_) {
    values_.resize(static_cast<std::size_t>(n * (n + 1) / 2));
    for (std::int64_t c = 0; c < n; ++c) std::copy(a0.col(c) + c, a0.col(c) + n, values_.data() + packed_offset(n, c));
  } else {
    values_.resize(static_cast<std::size_t>(n * ncand));
    for (std::int64_t b = 0; b < ncand; ++b)
      std::copy(a0.col(animals_[static_cast<std::size_t>(b)]), a0.col(animals_[static_cast<std::size_t>(b)]) + n,
                values_.data() + b * n);
  }
}

std::optional<std::uint64_t> CandidateRelationships::bytes(std::uint64_t nanim, std::uint64_t ncand) {
  constexpr std::uint64_t limit = std::numeric_limits<std::int64_t>::max() / 16;
  if (nanim > 0 && (nanim > limit / (nanim + 1) || ncand > limit / nanim)) return std::nullopt;
  return std::min(ncand * nanim, nanim * (nanim + 1) / 2) * sizeof(double) + ncand * sizeof(std::int32_t);
}

void CandidateRelationships::column(int index, double* out) const {
  const auto n = static_cast<std::int64_t>(nanim_);
  const std::int64_t k = animals_[static_cast<std::size_t>(index)];
  if (!packed_) {
    std::copy(values_.data() + index * n, values_.data() + (index + 1) * n, out);
    return;
  }
  // A0(l, k) for l < k stands in column l at row k.
  for (std::int64_t l = 0; l < k; ++l) out[l] = values_[static_cast<std::size_t>(packed_offset(n, l) + (k - l))];
  std::copy(values_.data() + packed_offset(n, k), values_.data() + packed_offset(n, k) + (n - k), out + k);
}

double CandidateRelationships::diagonal(int index) const {
  const auto n = static_cast<std::int64_t>(nanim_);
  const std::int64_t k = animals_[static_cast<std::size_t>(index)];
  return packed_ ? values_[static_cast<std::size_t>(packed_offset(n, k))]
                 : values_[static_cast<std::size_t>(index * n + k)];
}

CandidateRelationships CandidateRelationships::subset(const std::vector<int>& indices) const {
  CandidateRelationships r;
  r.nanim_ = nanim_;
  r.values_.resize(indices.size() * static_cast<std::size_t>(nanim_));
  for (std::size_t b = 0; b < indices.size(); ++b) {
    r.animals_.push_back(animal(indices[b]));
    column(indices[b], r.values_.data() + b * static_cast<std::size_t>(nanim_));
  }
  return r;
}

// ----------------------------------------------------------------- plain form

void candidate_lhs(ConstMatView g0, ConstMatView a0, ConstMatView ppi, int k, MatView lhs) {
  const std::int64_t ntrait = g0.rows;
  const std::int64_t nanim = a0.rows;
  const std::int64_t d = ntrait * nanim;
  Matrix<double> ga0(d, ntrait);
  for (std::int64_t i = 0; i < ntrait; ++i)
    for (std::int64_t j = 0; j < ntrait; ++j)
      for (std::int64_t l = 0; l < nanim; ++l) ga0(i * nanim + l, j) = g0(i, j) * a0(l, k);
  Matrix<double> t(ntrait, d);  // t = GA0' PPI
  for (std::int64_t c = 0; c < d; ++c)
    for (std::int64_t j = 0; j < ntrait; ++j) {
      double s = 0.0;
      for (std::int64_t r = 0; r < d; ++r) s += ga0(r, j) * ppi(r, c);
      t(j, c) = s;
    }
  for (std::int64_t m = 0; m < ntrait; ++m)
    for (std::int64_t j = 0; j < ntrait; ++j) {
      double s = 0.0;
      for (std::int64_t c = 0; c < d; ++c) s += t(j, c) * ga0(c, m);
      lhs(j, m) = s;
    }
}

namespace {

using candidates_detail::kLaneGroup;
using candidates_detail::kMaxTileCols;
constexpr int kDefaultLanes = 192;           // lanes per batch: reuse of each PPI element
constexpr int kDefaultDepth = 256;           // rows per cache block
constexpr int kDefaultChunk = 32;            // panels of 8 columns per work unit, at most

std::int64_t round_up(std::int64_t x, std::int64_t m) { return (x + m - 1) / m * m; }

// Asks for the cache line at p in the second-level cache. (An asm statement:
// the compiler may drop a function whose only effect is a built-in
// prefetch, and with it the prefetch.)
inline void prefetch_l2(const char* p) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  asm volatile("prefetcht1 %0" : : "m"(*p));
#else
  __builtin_prefetch(p, 0, 2);
#endif
}


void plain_systems(ConstMatView g0, const CandidateRelationships& rel, ConstMatView ppi,
                   const std::function<void(int, ConstMatView)>& visit) {
  const int ntrait = static_cast<int>(g0.rows);
  std::vector<double> column(static_cast<std::size_t>(rel.nanim()));
  Matrix<double> lhs(ntrait, ntrait);
  for (int b = 0; b < rel.count(); ++b) {
    rel.column(b, column.data());
    candidate_lhs(g0, ConstMatView(column.data(), rel.nanim(), 1), ppi, 0, lhs.view());
    visit(b, lhs.cview());
  }
}

// Whether the fast form is exact here: every value involved finite, and no
// sum able to overflow (see the top of this file).
bool fast_form_exact(ConstMatView g0, const CandidateRelationships& rel, ConstMatView ppi,
                     const std::vector<std::int64_t>& pos, int threads) {
  const auto finite = [](double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); };
  double max_g = 0.0, max_a = 0.0;
  for (std::int64_t j = 0; j < g0.cols; ++j)
    for (std::int64_t i = 0; i < g0.rows; ++i) {
      if (!finite(g0(i, j))) return false;
      max_g = std::max(max_g, std::fabs(g0(i, j)));
    }
  std::vector<double> column(static_cast<std::size_t>(rel.nanim()));
  for (int b = 0; b < rel.count(); ++b) {
    rel.column(b, column.data());
    for (const double a : column) {
      if (!finite(a)) return false;
      max_a = std::max(max_a, std::fabs(a));
    }
  }
  const auto nrec = static_cast<std::int64_t>(pos.size());
  double max_p = 0.0;
  bool all_finite = true;
#pragma omp parallel for num_threads(threads) schedule(static) reduction(max : max_p) reduction(&& : all_finite)
  for (std::int64_t y = 0; y < nrec; ++y) {
    const double* col = ppi.col(pos[static_cast<std::size_t>(y)]);
    double m = 0.0;
    bool ok = true;
    for (std::int64_t x = 0; x < nrec; ++x) {
      const double v = std::fabs(col[pos[static_cast<std::size_t>(x)]]);
      ok = ok && v <= std::numeric_limits<double>::max();
      m = std::max(m, v);
    }
    max_p = std::max(max_p, m);
    all_finite = all_finite && ok;
  }
  return all_finite && finite(4.0 * static_cast<double>(nrec) * max_g * max_a * max_p);
}

// The batched pass over PPI and the system matrices of one batch after
// another.
class FastSystems {
 public:
  FastSystems(ConstMatView g0, const CandidateRelationships& rel, ConstMatView ppi, std::vector<std::int64_t> pos,
              const CandidateOptions& options, int threads)
      : g0_(g0),
        rel_(rel),
        ppi_(ppi),
        pos_(std::move(pos)),
        threads_(threads),
        ntrait_(static_cast<int>(g0.rows)),
        nanim_(rel.nanim()),
        tiles_(candidates_detail::tiles_for(options.kernels)),
        block_lanes_(tiles_.groups * kLaneGroup),
        tile_cols_(tiles_.cols) {
    batch_ = options.batch > 0 ? options.batch : std::max(1, kDefaultLanes / ntrait_);
    batch_ = std::min(batch_, rel.count());
    // As many passes as that size needs, shared out evenly.
    if (options.batch <= 0) {
      const int passes = (rel.count() + batch_ - 1) / batch_;
      batch_ = (rel.count() + passes - 1) / passes;
    }
    depth_ = options.depth > 0 ? options.depth : kDefaultDepth;
    chunk_ = options.chunk;
    const auto nrec = static_cast<std::int64_t>(pos_.size());
    const std::int64_t lanes = round_up(static_cast<std::int64_t>(batch_) * ntrait_, kLaneGroup);
    gpack_ = AlignedArray(static_cast<std::size_t>(lanes * nrec));
    tbuf_ = AlignedArray(static_cast<std::size_t>(lanes * round_up(nrec, tile_cols_)));
    for (int t = 0; t < threads_; ++t)
      ppack_.emplace_back(static_cast<std::size_t>(depth_) * tile_cols_ * tiles_.widen);
    columns_.resize(static_cast<std::size_t>(batch_) * nanim_);
    related_.resize(static_cast<std::size_t>(nanim_));
    rows_.reserve(pos_.size());
    lhs_.resize(static_cast<std::size_t>(batch_) * ntrait_ * ntrait_);
  }

  void run(const std::function<void(int, ConstMatView)>& visit) {
    for (int first = 0; first < rel_.count(); first += batch_) {
      const int nb = std::min(batch_, rel_.count() - first);
      prepare(first, nb);
      pass();
      systems(nb);
      for (int b = 0; b < nb; ++b)
        visit(first + b, ConstMatView(lhs_.data() + static_cast<std::size_t>(b) * ntrait_ * ntrait_, ntrait_, ntrait_));
    }
  }

 private:
  // Lane block m: lanes m*B .. m*B + width - 1 (B = block_lanes_, one
  // register tile), packed row by row.
  std::int64_t block_width(std::int64_t m) const {
    return std::min<std::int64_t>(block_lanes_, lanes_ - m * block_lanes_);
  }
  const double* block(std::int64_t m) const { return gpack_.data() + m * block_lanes_ * nu_; }

  // The batch's relationship columns, its rows (the present records of
  // animals related to at least one of its candidates) and g.
  void prepare(int first, int nb) {
    const std::int64_t n = nanim_;
    std::fill(related_.begin(), related_.end(), 0);
    for (int b = 0; b < nb; ++b) {
      double* col = columns_.data() + b * n;
      rel_.column(first + b, col);
      for (std::int64_t l = 0; l < n; ++l)
        if (col[l] != 0.0) related_[static_cast<std::size_t>(l)] = 1;
    }
    rows_.clear();
    for (const std::int64_t r : pos_)
      if (related_[static_cast<std::size_t>(r % n)]) rows_.push_back(r);
    nu_ = static_cast<std::int64_t>(rows_.size());
    lanes_ = round_up(static_cast<std::int64_t>(nb) * ntrait_, kLaneGroup);
    const std::int64_t blocks = (lanes_ + block_lanes_ - 1) / block_lanes_;
    const std::int64_t used = static_cast<std::int64_t>(nb) * ntrait_;
#pragma omp parallel for num_threads(threads_) schedule(static)
    for (std::int64_t u = 0; u < nu_; ++u) {
      const std::int64_t r = rows_[static_cast<std::size_t>(u)];
      const std::int64_t i = r / n, l = r % n;
      for (std::int64_t m = 0; m < blocks; ++m) {
        const std::int64_t w = block_width(m);
        double* dst = gpack_.data() + m * block_lanes_ * nu_ + u * w;
        for (std::int64_t x = 0; x < w; ++x) {
          const std::int64_t lane = m * block_lanes_ + x;
          if (lane < used) {
            const std::int64_t b = lane / ntrait_, j = lane % ntrait_;
            dst[x] = g0_(i, j) * columns_[static_cast<std::size_t>(b * n + l)];
          } else {
            dst[x] = 0.0;
          }
        }
      }
    }
  }

  // T(lane, c) for every lane and every column c of the batch's rows.
  void pass() {
    const std::int64_t nc = tile_cols_, wd = tiles_.widen;
    const std::int64_t panels = round_up(nu_, nc) / nc;
    const std::int64_t blocks = (lanes_ + block_lanes_ - 1) / block_lanes_;
    double* const t = tbuf_.data();
    // Columns are shared out in chunks of panels, taken by whichever thread
    // is free; every T element is computed by the one thread that takes its
    // chunk, over the rows in ascending order.
    const std::int64_t chunk =
        chunk_ > 0 ? chunk_ : std::clamp<std::int64_t>(panels / (8 * threads_), 4, kDefaultChunk);
    const std::int64_t chunks = (panels + chunk - 1) / chunk;
#pragma omp parallel num_threads(threads_)
    {
      double* const pp = ppack_[static_cast<std::size_t>(omp_get_thread_num())].data();
      const std::int64_t* rows = rows_.data();
#pragma omp for schedule(dynamic, 1)
      for (std::int64_t q = 0; q < chunks; ++q) {
        const std::int64_t p0 = q * chunk, p1 = std::min(panels, p0 + chunk);
        std::fill(t + p0 * nc * lanes_, t + p1 * nc * lanes_, 0.0);
        Prefetch next;
        for (std::int64_t kb = 0; kb < nu_; kb += depth_) {
          const std::int64_t depth = std::min<std::int64_t>(depth_, nu_ - kb);
          for (std::int64_t p = p0; p < p1; ++p) {
            for (int c = 0; c < nc; ++c) {
              const std::int64_t y = p * nc + c;
              const double* src = y < nu_ ? ppi_.col(rows[y]) : nullptr;
              if (wd == 1) {
                for (std::int64_t u = 0; u < depth; ++u) pp[u * nc + c] = src ? src[rows[kb + u]] : 0.0;
              } else {
                for (std::int64_t u = 0; u < depth; ++u) {
                  const double v = src ? src[rows[kb + u]] : 0.0;
                  for (std::int64_t w = 0; w < wd; ++w) pp[(u * nc + c) * wd + w] = v;
                }
              }
            }
            // While the tiles run, the block of PPI that is packed next is
            // fetched, spread over the tiles.
            if (p + 1 < p1)
              next.plan(*this, p + 1, kb);
            else if (kb + depth < nu_)
              next.plan(*this, p0, kb + depth);
            else
              next = Prefetch();
            for (std::int64_t m = 0; m < blocks; ++m) {
              next.issue(m, blocks);
              const std::int64_t w = block_width(m);
              tiles_.tile(static_cast<int>(w / kLaneGroup), block(m) + kb * w, pp, depth,
                          t + p * nc * lanes_ + m * block_lanes_, lanes_);
            }
          }
        }
      }
    }
  }

  // The cache lines of one packed block of PPI (panel p, rows from kb on),
  // when its rows lie close together; a scattered block is not prefetched.
  struct Prefetch {
    const char* start[kMaxTileCols] = {};
    std::int64_t lines[kMaxTileCols] = {};
    int cols = 0;
    std::int64_t total = 0;

    void plan(const FastSystems& f, std::int64_t p, std::int64_t kb) {
      total = 0;
      const std::int64_t depth = std::min<std::int64_t>(f.depth_, f.nu_ - kb);
      const std::int64_t r0 = f.rows_[static_cast<std::size_t>(kb)];
      const std::int64_t r1 = f.rows_[static_cast<std::size_t>(kb + depth - 1)];
      cols = f.tile_cols_;
      for (int c = 0; c < cols; ++c) {
        const std::int64_t y = p * cols + c;
        lines[c] = 0;
        if (y >= f.nu_ || r1 - r0 >= 2 * depth) continue;
        const auto* a = reinterpret_cast<const char*>(f.ppi_.col(f.rows_[static_cast<std::size_t>(y)]) + r0);
        const auto* e = reinterpret_cast<const char*>(f.ppi_.col(f.rows_[static_cast<std::size_t>(y)]) + r1 + 1);
        start[c] = reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(a) & ~std::uintptr_t{63});
        lines[c] = (e - start[c] + 63) / 64;
        total += lines[c];
      }
    }

    // Part m of `parts` of the lines.
    void issue(std::int64_t m, std::int64_t parts) const {
      std::int64_t from = total * m / parts, to = total * (m + 1) / parts;
      for (int c = 0; c < cols && from < to; ++c) {
        if (from >= lines[c]) {
          from -= lines[c], to -= lines[c];
          continue;
        }
        const std::int64_t end = std::min(to, lines[c]);
        for (std::int64_t x = from; x < end; ++x) prefetch_l2(start[c] + 64 * x);
        to -= lines[c];
        from = 0;
      }
    }
  };

  // LHS_b(j, m) = sum over the batch's columns c of T_bj(c) g_bm(c).
  void systems(int nb) {
    const std::int64_t nt = ntrait_;
    const double* t = tbuf_.data();
    std::fill(lhs_.begin(), lhs_.end(), 0.0);
    // Each thread sweeps the columns once for its share of the candidates,
    // all nt x nt sums of a candidate side by side, each in ascending c.
#pragma omp parallel num_threads(threads_)
    {
      const int nthr = omp_get_num_threads(), tid = omp_get_thread_num();
      const std::int64_t lane0 = nt * (nb * tid / nthr), lane1 = nt * (nb * (tid + 1) / nthr);
      double* acc = lhs_.data() + lane0 * nt;
      for (std::int64_t c = 0; c < nu_; ++c) {
        const double* tc = t + c * lanes_;
        for (std::int64_t lane = lane0; lane < lane1; lane += nt) {
          double* sums = acc + (lane - lane0) * nt;
          for (std::int64_t m = 0; m < nt; ++m) {
            const std::int64_t blk = (lane + m) / block_lanes_;
            const double g = block(blk)[c * block_width(blk) + (lane + m) % block_lanes_];
            for (std::int64_t j = 0; j < nt; ++j) sums[j + m * nt] += tc[lane + j] * g;
          }
        }
      }
    }
  }

  ConstMatView g0_;
  const CandidateRelationships& rel_;
  ConstMatView ppi_;
  std::vector<std::int64_t> pos_;  // present combined positions, ascending
  int threads_;
  int ntrait_, nanim_;
  const candidates_detail::Tiles& tiles_;
  std::int64_t block_lanes_;  // lanes of a full register tile
  int tile_cols_;             // columns of PPI of a register tile
  int batch_ = 0;
  int depth_ = 0;
  int chunk_ = 0;

  AlignedArray gpack_, tbuf_;
  std::vector<AlignedArray> ppack_;
  std::vector<double> columns_;
  std::vector<char> related_;
  std::vector<std::int64_t> rows_;
  std::vector<double> lhs_;
  std::int64_t nu_ = 0;     // rows (and columns) of the current batch
  std::int64_t lanes_ = 0;  // lanes of the current batch, padded to whole vectors
};

}  // namespace

std::optional<std::uint64_t> candidate_work_bytes(std::uint64_t ntrait, std::uint64_t nanim, std::uint64_t ncand) {
  constexpr std::uint64_t limit = std::uint64_t{1} << 40;
  if (ntrait == 0) return 0;
  if (ntrait >= limit || nanim > limit / ntrait) return std::nullopt;
  const std::uint64_t batch = std::min<std::uint64_t>(std::max<std::uint64_t>(1, kDefaultLanes / ntrait), ncand);
  const std::uint64_t lanes = static_cast<std::uint64_t>(round_up(static_cast<std::int64_t>(batch * ntrait), kLaneGroup));
  // Rows padded to whole register tiles of any set.
  const std::uint64_t rows = static_cast<std::uint64_t>(ntrait * nanim + kMaxTileCols);
  if (rows > 0 && lanes > limit / rows) return std::nullopt;
  // g and T, the batch's relationship columns and row list, and per thread
  // one packed block of PPI (counted for 64 threads).
  return (2 * lanes * rows + batch * nanim + 64 * kDefaultDepth * 2 * kMaxTileCols) * sizeof(double) +
         rows * sizeof(std::int64_t) + nanim;
}

void candidate_systems(ConstMatView g0, const CandidateRelationships& rel, ConstMatView ppi, ConstIntMatView nonr,
                       const CandidateOptions& options, const std::function<void(int, ConstMatView)>& visit) {
  if (rel.count() == 0) return;
  if (options.plain) return plain_systems(g0, rel, ppi, visit);
  const int threads = options.threads > 0 ? options.threads : omp_get_max_threads();
  const std::int64_t nanim = rel.nanim();
  std::vector<std::int64_t> pos;
  for (std::int64_t i = 0; i < g0.rows; ++i)
    for (std::int64_t l = 0; l < nanim; ++l)
      if (nonr(l, i) == 1) pos.push_back(i * nanim + l);
  if (!fast_form_exact(g0, rel, ppi, pos, threads)) return plain_systems(g0, rel, ppi, visit);
  FastSystems(g0, rel, ppi, std::move(pos), options, threads).run(visit);
}

}  // namespace gw
