#include "pedigree/relationships.hpp"

#include <algorithm>
#include <cassert>
#include <numeric>

namespace gw {

namespace {

// Parent positions of animal i, 0-based, -1 for unknown.
struct Parents {
  std::int64_t s, d;
};

inline Parents parents_of(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2, std::size_t i) {
  return {static_cast<std::int64_t>(id1[i]) - 1, static_cast<std::int64_t>(id2[i]) - 1};
}

}  // namespace

std::vector<double> mendelian_variances(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2,
                                        std::span<const double> f) {
  std::vector<double> dvar(id1.size());
  for (std::size_t i = 0; i < id1.size(); ++i) {
    const auto [s, d] = parents_of(id1, id2, i);
    if (s >= 0 && d >= 0)
      dvar[i] = 0.5 - 0.25 * (f[static_cast<std::size_t>(s)] + f[static_cast<std::size_t>(d)]);
    else if (s >= 0 || d >= 0)
      dvar[i] = 0.75 - 0.25 * f[static_cast<std::size_t>(std::max(s, d))];
    else
      dvar[i] = 1.0;
  }
  return dvar;
}

// Row i of L holds the share of animal i's genes that comes from each
// ancestor j: L(i, i) = 1 and L(i, p) gains L(i, j) / 2 for each parent p of
// j. A(i, i) = sum over j of L(i, j)^2 d(j). The ancestors are visited from
// the youngest to the oldest (a max-heap of positions), so that every
// L(i, j) is complete when j is taken; d(j) needs only F of j's parents,
// which stand before i. Full sibs that follow one another share F.
std::vector<double> inbreeding(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2) {
  const std::size_t n = id1.size();
  std::vector<double> f(n, 0.0), dvar(n, 1.0), l(n, 0.0);
  std::vector<std::int64_t> heap;
  for (std::size_t i = 0; i < n; ++i) {
    const auto [s, d] = parents_of(id1, id2, i);
    assert(s < static_cast<std::int64_t>(i) && d < static_cast<std::int64_t>(i));
    if (s >= 0 && d >= 0)
      dvar[i] = 0.5 - 0.25 * (f[static_cast<std::size_t>(s)] + f[static_cast<std::size_t>(d)]);
    else if (s >= 0 || d >= 0)
      dvar[i] = 0.75 - 0.25 * f[static_cast<std::size_t>(std::max(s, d))];
    if (s < 0 || d < 0) continue;  // F = 0 unless both parents are known
    if (i > 0) {
      const auto [ps, pd] = parents_of(id1, id2, i - 1);
      if ((ps == s && pd == d) || (ps == d && pd == s)) {
        f[i] = f[i - 1];
        continue;
      }
    }
    // A(i, i) = 1 + A(s, d) / 2, and A(s, d) = sum over the common
    // ancestry of L(s, j) L(d, j) d(j); tracing row i directly gives
    // A(i, i) = sum over j of L(i, j)^2 d(j).
    double aii = 0.0;
    l[i] = 1.0;
    heap.assign(1, static_cast<std::int64_t>(i));
    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end());
      const std::int64_t j = heap.back();
      heap.pop_back();
      const double lj = l[static_cast<std::size_t>(j)];
      l[static_cast<std::size_t>(j)] = 0.0;
      aii += lj * lj * dvar[static_cast<std::size_t>(j)];
      const auto [js, jd] = parents_of(id1, id2, static_cast<std::size_t>(j));
      for (const std::int64_t p : {js, jd}) {
        if (p < 0) continue;
        double& lp = l[static_cast<std::size_t>(p)];
        if (lp == 0.0) {
          heap.push_back(p);
          std::push_heap(heap.begin(), heap.end());
        }
        lp += 0.5 * lj;
      }
    }
    f[i] = aii - 1.0;
  }
  return f;
}

SparseLower pedigree_inverse(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2,
                             std::span<const double> dvar) {
  const auto n = static_cast<std::int64_t>(id1.size());
  // Contributions as (column, row, value) with row >= column, in animal
  // order; duplicates are summed in that order.
  struct Entry {
    std::int64_t col, row;
    double value;
  };
  std::vector<Entry> entries;
  entries.reserve(static_cast<std::size_t>(n) * 6);
  const auto add = [&](std::int64_t a, std::int64_t b, double v) {
    entries.push_back({std::min(a, b), std::max(a, b), v});
  };
  for (std::int64_t i = 0; i < n; ++i) {
    const auto [s, d] = parents_of(id1, id2, static_cast<std::size_t>(i));
    const double alpha = 1.0 / dvar[static_cast<std::size_t>(i)];
    add(i, i, alpha);
    for (const std::int64_t p : {s, d})
      if (p >= 0) add(i, p, -alpha / 2);
    for (const std::int64_t p : {s, d})
      for (const std::int64_t q : {s, d})
        if (p >= 0 && q >= 0 && p <= q) add(p, q, alpha / 4);
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.col != b.col ? a.col < b.col : a.row < b.row;
  });
  SparseLower m;
  m.n = n;
  m.colptr.assign(static_cast<std::size_t>(n) + 1, 0);
  for (std::size_t e = 0; e < entries.size();) {
    std::size_t f = e;
    double v = 0.0;
    for (; f < entries.size() && entries[f].col == entries[e].col && entries[f].row == entries[e].row; ++f)
      v += entries[f].value;
    m.rowind.push_back(entries[e].row);
    m.values.push_back(v);
    ++m.colptr[static_cast<std::size_t>(entries[e].col) + 1];
    e = f;
  }
  std::partial_sum(m.colptr.begin(), m.colptr.end(), m.colptr.begin());
  return m;
}

}  // namespace gw
