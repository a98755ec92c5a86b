#include "pedigree/relationships.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <limits>
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

// d(i) of an animal with parents s and d (-1 unknown) from their F.
inline double mendelian_variance(std::int64_t s, std::int64_t d, std::span<const double> f) {
  if (s >= 0 && d >= 0) return 0.5 - 0.25 * (f[static_cast<std::size_t>(s)] + f[static_cast<std::size_t>(d)]);
  if (s >= 0 || d >= 0) return 0.75 - 0.25 * f[static_cast<std::size_t>(std::max(s, d))];
  return 1.0;
}

}  // namespace

std::vector<double> mendelian_variances(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2,
                                        std::span<const double> f) {
  std::vector<double> dvar(id1.size());
  for (std::size_t i = 0; i < id1.size(); ++i) {
    const auto [s, d] = parents_of(id1, id2, i);
    dvar[i] = mendelian_variance(s, d, f);
  }
  return dvar;
}

// Row i of L holds the share of animal i's genes that comes from each
// ancestor j: L(i, i) = 1 and L(i, p) gains L(i, j) / 2 for each parent p of
// j. A(i, i) = sum over j of L(i, j)^2 d(j). The ancestors are visited from
// the youngest to the oldest (a max-heap of positions), so that every
// L(i, j) is complete when j is taken; d(j) needs only F of j's parents,
// which stand before i. Full sibs that follow one another share F.
std::vector<double> inbreeding_plain(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2) {
  const std::size_t n = id1.size();
  std::vector<double> f(n, 0.0), dvar(n, 1.0), l(n, 0.0);
  std::vector<std::int64_t> heap;
  for (std::size_t i = 0; i < n; ++i) {
    const auto [s, d] = parents_of(id1, id2, i);
    assert(s < static_cast<std::int64_t>(i) && d < static_cast<std::int64_t>(i));
    dvar[i] = mendelian_variance(s, d, f);
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

namespace {

// A set of node indices as a bitmap with one summary bit per word of it,
// taken out again from the highest index down. Every member added while the
// set is emptied lies below the one being taken, as parents do, so one
// descending sweep over the summary takes each member once and leaves the
// set empty for the next use.
class DescendingSet {
 public:
  explicit DescendingSet(std::size_t n) : bits_((n + 63) / 64), summary_((bits_.size() + 63) / 64) {}

  void insert(std::uint32_t p) {
    bits_[p >> 6] |= std::uint64_t{1} << (p & 63);
    summary_[p >> 12] |= std::uint64_t{1} << ((p >> 6) & 63);
  }

  // Calls take(p) for every member from the highest down, removing it;
  // take may insert indices below p.
  template <class Take>
  void drain(Take&& take) {
    for (std::size_t sw = summary_.size(); sw-- > 0;) {
      while (summary_[sw] != 0) {
        const int hb = 63 - std::countl_zero(summary_[sw]);
        const std::size_t wi = sw * 64 + static_cast<std::size_t>(hb);
        while (bits_[wi] != 0) {
          const int b = 63 - std::countl_zero(bits_[wi]);
          bits_[wi] &= ~(std::uint64_t{1} << b);
          take(static_cast<std::uint32_t>(wi * 64 + static_cast<std::size_t>(b)));
        }
        summary_[sw] &= ~(std::uint64_t{1} << hb);
      }
    }
  }

 private:
  std::vector<std::uint64_t> bits_, summary_;
};

// Counting sort: the items 0 .. keys.size()-1 grouped by key (< buckets),
// in their order within a group. start has buckets + 1 offsets into list.
struct Buckets {
  std::vector<std::uint32_t> start, list;

  Buckets(std::span<const std::uint32_t> keys, std::size_t buckets) : start(buckets + 1, 0), list(keys.size()) {
    for (const std::uint32_t k : keys) ++start[std::size_t{k} + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < keys.size(); ++i) list[fill[keys[i]]++] = static_cast<std::uint32_t>(i);
  }
  std::span<const std::uint32_t> of(std::size_t k) const { return {list.data() + start[k], list.data() + start[k + 1]}; }
};

// The driver of every animal with both parents known (else n): of its two
// parents, the one with more distinct mates (the older on a tie). Sires
// with many mates then carry all their matings through one reduced
// pedigree; with the parent of fewer mates as driver, each dam's few
// matings need a reduced pedigree of their own, which took 5 to 8 times as
// long on generated herds.
std::vector<std::uint32_t> drivers(std::span<const Parents> par) {
  const std::size_t n = par.size();
  const auto none = static_cast<std::uint32_t>(n);
  const auto both_known = [&](std::size_t o) { return par[o].s >= 0 && par[o].d >= 0; };
  const auto older = [&](std::size_t o) { return static_cast<std::uint32_t>(std::min(par[o].s, par[o].d)); };
  const auto younger = [&](std::size_t o) { return static_cast<std::uint32_t>(std::max(par[o].s, par[o].d)); };

  // Distinct mates of every animal, from the offspring by their older parent.
  std::vector<std::uint32_t> mates(n, 0);
  {
    std::vector<std::uint32_t> key(n);
    for (std::size_t o = 0; o < n; ++o) key[o] = both_known(o) ? older(o) : none;
    const Buckets by_older(key, n + 1);
    std::vector<std::uint32_t> seen(n, none);
    for (std::uint32_t a = 0; a < n; ++a)
      for (const std::uint32_t o : by_older.of(a)) {
        const std::uint32_t b = younger(o);
        if (seen[b] == a) continue;
        seen[b] = a;
        ++mates[a];
        if (b != a) ++mates[b];
      }
  }
  std::vector<std::uint32_t> driver(n, none);
  for (std::size_t o = 0; o < n; ++o)
    if (both_known(o)) {
      const std::uint32_t a = older(o), b = younger(o);
      driver[o] = mates[a] >= mates[b] ? a : b;
    }
  return driver;
}

// A parent in the sweeps: its own parents as node indices, the unknown
// parent being the extra node whose values stay 0, d(i) once known, and its
// values in the current products, one per lane (y, then d(i) y, then w).
// Six lanes fill a node's cache line. The sweeps are bound by the cache
// misses on the nodes; more lanes share one pass over the ancestors, but a
// larger node costs more traffic where the lanes' reduced pedigrees
// overlap little. Of 1, 2, 6 and 14 lanes (8 to 128 bytes a node), six took
// the least time on herds of 20 generations and little more than two on 10.
constexpr int kLanes = 6;
struct alignas(64) Node {
  std::uint32_t s, d;
  double dvar;
  double v[kLanes];
};

// w = A x for up to kLanes unit vectors x at once, one lane each, over the
// reduced pedigree of their nodes and the wanted nodes. Every value is 0
// between products.
class LaneProducts {
 public:
  explicit LaneProducts(std::span<Node> node)
      : node_(node), none_(static_cast<std::uint32_t>(node.size() - 1)), reduced_(node.size() - 1) {}

  void unit(std::uint32_t u, int lane) {
    reduced_.insert(u);
    node_[u].v[lane] = 1.0;
  }
  void want(std::uint32_t a) { reduced_.insert(a); }

  // y = T' x from the youngest member down, each passing half its y to
  // each parent (so a member is complete when taken); y becomes d(i) y in
  // place; then w = T (D y) from the oldest member up. d(i) matters on the
  // ancestors of the unit nodes only, where y is not 0. Afterwards the
  // members' values hold w. There are no branches on the values, which the
  // predictor would miss on most members. The lane loops vectorise; the
  // clones for wider vectors give the same bits (no contraction, one
  // operation per element).
  __attribute__((target_clones("default", "arch=x86-64-v3", "arch=x86-64-v4"))) void run() {
    order_.clear();
    reduced_.drain([&](std::uint32_t p) {
      order_.push_back(p);
      Node& m = node_[p];
      double half[kLanes];
      for (int l = 0; l < kLanes; ++l) {
        half[l] = 0.5 * m.v[l];
        m.v[l] *= m.dvar;
      }
      for (const std::uint32_t q : {m.s, m.d})
        if (q != none_) {
          reduced_.insert(q);
          for (int l = 0; l < kLanes; ++l) node_[q].v[l] += half[l];
        }
    });
    for (std::size_t r = order_.size(); r-- > 0;) {
      Node& m = node_[order_[r]];
      const Node &ms = node_[m.s], &md = node_[m.d];
      for (int l = 0; l < kLanes; ++l) m.v[l] += 0.5 * (ms.v[l] + md.v[l]);
    }
  }

  double value(std::uint32_t a, int lane) const { return node_[a].v[lane]; }

  // Values back to 0 once w has been read.
  void clear() {
    for (const std::uint32_t p : order_) std::fill_n(node_[p].v, kLanes, 0.0);
  }

 private:
  std::span<Node> node_;
  std::uint32_t none_;
  DescendingSet reduced_;
  std::vector<std::uint32_t> order_;
};

}  // namespace

// The matings are split among drivers (see drivers above). For a driver s,
// x = e_s and
//   y = T' x   (youngest to oldest: each animal passes y/2 to each parent),
//   w = T D y  (oldest to youngest: w_i = d(i) y_i + (w_sire + w_dam) / 2)
// give w = A e_s, so w at each mate m is A(s, m) and every offspring of s
// and m has F = A(s, m) / 2. y is non-zero on s and its ancestors only, so
// both sweeps run over the reduced pedigree of s, its mates and all their
// ancestors, which one descending sweep over a bitmap collects in order while
// it computes y. Drivers, mates and their ancestors all have offspring, so
// the sweeps work on nodes for the parents alone, ordered by generation (any
// order with parents before offspring would do) and within one by drivers
// first: that keeps the nodes small in total and the much-used ones close
// together.
//
// Drivers go in node order, kLanes at a time on the lanes of one pair of
// sweeps: a group closes before a driver that is not older than every
// offspring of the group that is itself a parent. d(i) needs F of i's
// parents; for every ancestor i of a group's drivers those come from
// earlier groups (each F from a driver that is a parent of the animal, so
// before it in node order). Each lane's sums are the same whatever runs
// beside it (the other lanes, and the members the lane does not need, add
// exact zeros to its y), so the grouping does not change any bit.
//
// Single-threaded: the sweeps are bound by the memory traffic on the nodes,
// and two threads, each with its own copy of the nodes, took hardly less
// time on two cores than one.
std::vector<double> inbreeding_products(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2,
                                        StageObserver* stages) {
  const std::size_t n = id1.size();
  assert(n < std::numeric_limits<std::uint32_t>::max());
  const auto none = static_cast<std::uint32_t>(n);
  std::vector<Parents> par(n);
  std::vector<std::uint32_t> gen(n, 0);
  std::vector<bool> is_parent(n, false);
  for (std::size_t i = 0; i < n; ++i) {
    par[i] = parents_of(id1, id2, i);
    assert(par[i].s < static_cast<std::int64_t>(i) && par[i].d < static_cast<std::int64_t>(i));
    for (const std::int64_t p : {par[i].s, par[i].d})
      if (p >= 0) {
        gen[i] = std::max(gen[i], gen[static_cast<std::size_t>(p)] + 1);
        is_parent[static_cast<std::size_t>(p)] = true;
      }
  }
  const std::vector<std::uint32_t> driver = drivers(par);
  std::vector<bool> is_driver(n, false);
  for (const std::uint32_t d : driver)
    if (d != none) is_driver[d] = true;

  // Nodes: the parents by generation, drivers first within one.
  std::vector<std::uint32_t> node_of(n, none), animal_of;
  {
    std::uint32_t top = 0;
    for (std::size_t i = 0; i < n; ++i) top = std::max(top, gen[i]);
    std::vector<std::uint32_t> key(n);
    for (std::size_t i = 0; i < n; ++i) key[i] = is_parent[i] ? 2 * gen[i] + (is_driver[i] ? 0 : 1) : 2 * top + 2;
    const Buckets by_key(key, 2 * std::size_t{top} + 3);
    animal_of.assign(by_key.list.begin(), by_key.list.begin() + by_key.start[2 * std::size_t{top} + 2]);
  }
  gen = {};
  is_parent = {};
  is_driver = {};
  const auto nodes = static_cast<std::uint32_t>(animal_of.size());
  for (std::uint32_t c = 0; c < nodes; ++c) node_of[animal_of[c]] = c;
  std::vector<Node> node(std::size_t{nodes} + 1, Node{nodes, nodes, 1.0, {}});
  const auto node_or_none = [&](std::int64_t p) { return p >= 0 ? node_of[static_cast<std::size_t>(p)] : nodes; };
  for (std::uint32_t c = 0; c < nodes; ++c) {
    node[c].s = node_or_none(par[animal_of[c]].s);
    node[c].d = node_or_none(par[animal_of[c]].d);
  }

  // The matings of every driver node: each offspring with the mate's node.
  std::vector<std::uint32_t> key(n);
  for (std::size_t o = 0; o < n; ++o) key[o] = driver[o] != none ? node_of[driver[o]] : nodes;
  const Buckets by_driver(key, std::size_t{nodes} + 1);
  key = {};
  const auto mate_of = [&](std::uint32_t o) {
    const std::int64_t a = par[o].s, b = par[o].d;
    return node_of[static_cast<std::size_t>(a == driver[o] ? b : a)];
  };
  // The first offspring node of each driver node.
  std::vector<std::uint32_t> first_offspring(nodes, nodes);
  for (std::size_t o = 0; o < n; ++o)
    if (driver[o] != none && node_of[o] != none) {
      std::uint32_t& fo = first_offspring[node_of[driver[o]]];
      fo = std::min(fo, node_of[o]);
    }

  std::vector<double> f(n, 0.0);
  LaneProducts products(node);
  std::uint32_t dvar_ready = 0;  // d(i) is set below this node
  std::uint32_t next = 0;        // the next node that may be a driver
  std::uint32_t group[kLanes];
  const std::uint32_t report_every = std::max<std::uint32_t>(1, nodes / 1000);
  std::uint32_t reported = 0;
  while (true) {
    if (stages && next - reported >= report_every) {
      reported = next;
      stages->update(static_cast<double>(next) / nodes);
    }
    int lanes = 0;
    for (std::uint32_t group_offspring = nodes; next < nodes && lanes < kLanes && next < group_offspring; ++next)
      if (!by_driver.of(next).empty()) {
        group[lanes++] = next;
        group_offspring = std::min(group_offspring, first_offspring[next]);
      }
    if (lanes == 0) break;
    for (; dvar_ready <= group[lanes - 1]; ++dvar_ready) {
      const Parents p = par[animal_of[dvar_ready]];
      node[dvar_ready].dvar = mendelian_variance(p.s, p.d, f);
    }
    for (int l = 0; l < lanes; ++l) products.unit(group[l], l);
    for (int l = 0; l < lanes; ++l)
      for (const std::uint32_t o : by_driver.of(group[l])) products.want(mate_of(o));
    products.run();
    for (int l = 0; l < lanes; ++l)
      for (const std::uint32_t o : by_driver.of(group[l])) f[o] = 0.5 * products.value(mate_of(o), l);
    products.clear();
  }
  return f;
}

namespace {

// Position of the last offspring of every animal, -1 for none.
std::vector<std::int64_t> last_offspring(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2) {
  std::vector<std::int64_t> last(id1.size(), -1);
  for (std::size_t i = 0; i < id1.size(); ++i) {
    const auto [s, d] = parents_of(id1, id2, i);
    if (s >= 0) last[static_cast<std::size_t>(s)] = static_cast<std::int64_t>(i);
    if (d >= 0) last[static_cast<std::size_t>(d)] = static_cast<std::int64_t>(i);
  }
  return last;
}

struct ParentCounts {
  std::int64_t most = 0;   // the most animals that are parents at one time
  double work = 0;         // the sum over the parents of that number when each is born
};

// An animal is counted from its own position to its last offspring's.
ParentCounts parent_counts(std::span<const std::int64_t> last) {
  ParentCounts c;
  std::vector<std::int32_t> ends(last.size() + 1, 0);  // parents whose last offspring is at i
  std::int64_t live = 0;
  for (std::size_t i = 0; i < last.size(); ++i) {
    if (last[i] >= 0) {
      ++live;
      c.work += static_cast<double>(live);
      ++ends[static_cast<std::size_t>(last[i])];
    }
    c.most = std::max(c.most, live);
    live -= ends[i];
  }
  return c;
}

// The tabular method is chosen while its matrix of relationships stays
// small (2048 parents at one time: 32 MiB) and its work per animal stays
// below what the products take per animal on herds of many generations.
constexpr std::int64_t kTabularMaxParents = 2048;
constexpr double kTabularWorkPerAnimal = 512;

}  // namespace

std::int64_t parents_at_one_time(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2) {
  return parent_counts(last_offspring(id1, id2)).most;
}

// Every animal that has offspring holds a slot of the matrix while its
// offspring are still to come: M(a, b) = A(a, b) for the animals in the
// slots, a row of the matrix per slot. A slot is taken when a parent is
// born (after its row has been computed from its parents' rows) and given
// back after the last offspring of its animal. A slot that is free holds
// old values, which enter the new rows only in the columns of free slots
// and are overwritten when the slot is taken again.
std::vector<double> inbreeding_tabular(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2,
                                       StageObserver* stages) {
  const std::size_t n = id1.size();
  const std::vector<std::int64_t> last = last_offspring(id1, id2);
  const auto width = static_cast<std::size_t>(parent_counts(last).most);
  std::vector<double> m(width * width, 0.0), f(n, 0.0);
  std::vector<std::int32_t> slot(n, -1), free;
  for (std::size_t k = width; k-- > 0;) free.push_back(static_cast<std::int32_t>(k));
  std::size_t top = 0;  // slots at and above are never taken yet
  const auto at = [&](std::int32_t a, std::int32_t b) -> double& {
    return m[static_cast<std::size_t>(a) * width + static_cast<std::size_t>(b)];
  };
  for (std::size_t i = 0; i < n; ++i) {
    if (stages && (i & 4095) == 0) stages->update(static_cast<double>(i) / static_cast<double>(n));
    const auto [s, d] = parents_of(id1, id2, i);
    assert(s < static_cast<std::int64_t>(i) && d < static_cast<std::int64_t>(i));
    const std::int32_t ss = s >= 0 ? slot[static_cast<std::size_t>(s)] : -1;
    const std::int32_t sd = d >= 0 ? slot[static_cast<std::size_t>(d)] : -1;
    if (ss >= 0 && sd >= 0) f[i] = at(ss, sd) / 2.0;
    if (last[i] >= 0) {
      const std::int32_t k = free.back();
      free.pop_back();
      top = std::max(top, static_cast<std::size_t>(k) + 1);
      double* row = &at(k, 0);
      if (ss >= 0 && sd >= 0) {
        const double *rs = &at(ss, 0), *rd = &at(sd, 0);
        for (std::size_t j = 0; j < top; ++j) row[j] = (rd[j] + rs[j]) / 2.0;
      } else if (ss >= 0 || sd >= 0) {
        const double* rp = &at(ss >= 0 ? ss : sd, 0);
        for (std::size_t j = 0; j < top; ++j) row[j] = rp[j] / 2.0;
      } else {
        std::fill_n(row, top, 0.0);
      }
      row[k] = 1.0 + f[i];
      for (std::size_t j = 0; j < top; ++j) m[j * width + static_cast<std::size_t>(k)] = row[j];
      slot[i] = k;
    }
    // The parents' slots go back after their last offspring.
    for (const std::int64_t p : {s, d})
      if (p >= 0 && last[static_cast<std::size_t>(p)] == static_cast<std::int64_t>(i) &&
          slot[static_cast<std::size_t>(p)] >= 0) {
        free.push_back(slot[static_cast<std::size_t>(p)]);
        slot[static_cast<std::size_t>(p)] = -1;
      }
  }
  report_share(stages, 1.0);
  return f;
}

InbreedingMethod inbreeding_method(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2) {
  const ParentCounts c = parent_counts(last_offspring(id1, id2));
  const bool small = c.most <= kTabularMaxParents && c.work <= kTabularWorkPerAnimal * static_cast<double>(id1.size());
  return small ? InbreedingMethod::tabular : InbreedingMethod::products;
}

std::vector<double> inbreeding(std::span<const std::int32_t> id1, std::span<const std::int32_t> id2,
                               StageObserver* stages) {
  if (inbreeding_method(id1, id2) == InbreedingMethod::tabular) return inbreeding_tabular(id1, id2, stages);
  return inbreeding_products(id1, id2, stages);
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
