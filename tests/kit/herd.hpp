// A generated herd for tests and benchmarks: the two input files of a run.
//
// The herd has `generations` generations of about animals / generations
// animals; parents come from the `overlap` generations before (a share
// `sires` of the males becomes a sire, every female a dam; each parent from one of those
// generations chosen at random; a few parents are unknown, but none of a
// candidate), the youngest `candidates` share of the animals are the
// candidates (group 1 males, group 2 females), and each record is absent
// with chance `missing`. Trait parameters: heritabilities 0.15 to 0.5,
// phenotypic variances over two decades, genetic and residual correlations
// from a two-factor model (so both matrices are positive definite), targets
// of either sign. The same seed gives the same files.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace gw::herd {

struct Shape {
  int traits = 3, animals = 2000, generations = 5;
  double missing = 0.1, candidates = 0.18;
  std::uint64_t seed = 1;
  int overlap = 1;
  double sires = 0.05;
};

inline std::string number(double x) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", x);
  return buf;
}

inline std::string parameter_file(const Shape& o, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const int t = o.traits;
  auto correlations = [&](double strength) {
    std::vector<std::vector<double>> f(t, std::vector<double>(2)), c(t, std::vector<double>(t));
    for (auto& row : f)
      for (double& x : row) x = strength * (2 * u(rng) - 1);
    for (int i = 0; i < t; ++i)
      for (int j = 0; j < t; ++j) {
        double s = i == j ? 1.0 : 0.0;
        for (int k = 0; k < 2; ++k) s += f[i][k] * f[j][k];
        c[i][j] = s;
      }
    for (int i = 0; i < t; ++i)
      for (int j = 0; j < t; ++j)
        if (i != j) c[i][j] /= std::sqrt(c[i][i] * c[j][j]);
    for (int i = 0; i < t; ++i) c[i][i] = 1.0;
    return c;
  };
  const auto rg = correlations(0.8), re = correlations(0.5);
  std::vector<double> vp(t), vg(t), ve(t);
  for (int i = 0; i < t; ++i) {
    vp[i] = std::pow(10.0, 2 * u(rng));
    const double h2 = 0.15 + 0.35 * u(rng);
    vg[i] = h2 * vp[i];
    ve[i] = vp[i] - vg[i];
  }
  std::string s;
  for (int i = 0; i < t; ++i) {
    s += number((2 * u(rng) - 1) * std::sqrt(vg[i]));
    s += ',';
    s += number(vp[i]);
    for (int j = 0; j < t; ++j) {
      double v;
      if (j < i)
        v = rg[i][j] * std::sqrt(vg[i] * vg[j]);
      else if (j == i)
        v = vg[i];
      else
        v = re[i][j] * std::sqrt(ve[i] * ve[j]);
      s += ',';
      s += number(v);
    }
    s += "\n";
  }
  return s;
}

// One animal of the herd: parents as 0-based positions (-1 unknown).
struct Animal {
  int sire = -1, dam = -1;
  bool candidate = false;
  int group = 2;
  std::vector<int> records;  // 1 present, 0 absent, one per trait
};

inline std::vector<Animal> animals(const Shape& o, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const int n = o.animals, g = o.generations;
  const int first_candidate = n - static_cast<int>(std::lround(o.candidates * n));
  std::vector<Animal> herd(static_cast<std::size_t>(n));
  // The sires and dams of the last `overlap` generations, the latest last.
  std::vector<std::vector<int>> sires, dams;
  std::vector<int> next_sires, next_dams;
  const auto pick = [&](const std::vector<std::vector<int>>& pools) {
    const std::vector<int>& pool =
        pools.size() == 1 ? pools[0] : pools[pools.size() - 1 - rng() % pools.size()];
    return pool.empty() ? -1 : pool[rng() % pool.size()];
  };
  int line = 0;
  for (int gen = 0; gen < g; ++gen) {
    const int size = n / g + (gen == g - 1 ? n % g : 0);
    next_sires.clear();
    next_dams.clear();
    for (int a = 0; a < size; ++a, ++line) {
      Animal& x = herd[static_cast<std::size_t>(line)];
      const bool male = u(rng) < 0.5;
      if (gen > 0) {
        // A few parents are unknown, but not those of candidates: a candidate
        // without relatives and with a record missing would have a singular
        // system, and its weights would swamp the averages.
        const double unknown = line >= first_candidate ? 0.0 : 0.03;
        if (!sires.back().empty() && u(rng) >= unknown) x.sire = pick(sires);
        if (!dams.back().empty() && u(rng) >= unknown) x.dam = pick(dams);
      }
      if (male && u(rng) < o.sires) next_sires.push_back(line);
      if (!male) next_dams.push_back(line);
      x.candidate = line >= first_candidate;
      x.group = male ? 1 : 2;
      x.records.resize(static_cast<std::size_t>(o.traits));
      for (int& r : x.records) r = u(rng) < o.missing ? 0 : 1;
    }
    // A generation in which no male was chosen gets its last male as the sire.
    if (next_sires.empty())
      for (int k = line - 1; k >= line - size; --k)
        if (herd[static_cast<std::size_t>(k)].group == 1) {
          next_sires.push_back(k);
          break;
        }
    sires.push_back(next_sires);
    dams.push_back(next_dams);
    if (static_cast<int>(sires.size()) > std::max(1, o.overlap)) {
      sires.erase(sires.begin());
      dams.erase(dams.begin());
    }
  }
  return herd;
}

// The pedigree file: identifier = line number, parents by line number.
inline std::string pedigree_file(const std::vector<Animal>& herd) {
  std::string s;
  s.reserve(herd.size() * (24 + 2 * (herd.empty() ? 0 : herd[0].records.size())));
  for (std::size_t k = 0; k < herd.size(); ++k) {
    const Animal& x = herd[k];
    s += std::to_string(k + 1) + "," + std::to_string(x.sire + 1) + "," + std::to_string(x.dam + 1) + "," +
         (x.candidate ? "1" : "0") + "," + std::to_string(x.group);
    for (const int r : x.records) s += r ? ",1" : ",0";
    s += "\n";
  }
  return s;
}

inline std::string pedigree_file(const Shape& o, std::mt19937_64& rng) { return pedigree_file(animals(o, rng)); }

// Whether each animal is a parent of another.
inline std::vector<bool> parents(const std::vector<Animal>& herd) {
  std::vector<bool> is_parent(herd.size(), false);
  for (const Animal& a : herd)
    for (const int p : {a.sire, a.dam})
      if (p >= 0) is_parent[static_cast<std::size_t>(p)] = true;
  return is_parent;
}

// A pedigree with text identifiers, as breeders keep them: the animals at
// the 0-based positions `order`, one a line in that order, each with its
// identifier, its sire's and its dam's as tag(position) (tag(-1) for an
// unknown parent), then its flags; fields separated by `separator`.
template <class Tag>
std::string tagged_pedigree_file(const std::vector<Animal>& herd, const std::vector<int>& order, Tag tag,
                                 char separator = '\t') {
  std::string s;
  s.reserve(order.size() * (40 + 2 * (herd.empty() ? 0 : herd[0].records.size())));
  for (const int k : order) {
    const Animal& x = herd[static_cast<std::size_t>(k)];
    for (const int id : {k, x.sire, x.dam}) {
      s += tag(id);
      s += separator;
    }
    s += x.candidate ? '1' : '0';
    s += separator;
    s += std::to_string(x.group);
    for (const int r : x.records) {
      s += separator;
      s += r ? '1' : '0';
    }
    s += '\n';
  }
  return s;
}

}  // namespace gw::herd
