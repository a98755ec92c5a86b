#include <algorithm>
#include <functional>
#include <limits>
#include <utility>

#include "base/fatal.hpp"
#include "base/text.hpp"
#include "pedigree/fields.hpp"
#include "pedigree/prepare.hpp"

namespace gw {

namespace {

// Loops longer than this are shown by their ends.
constexpr std::size_t kMaxLoopShown = 40;
// Further members of a strongly connected group of loops that are named.
constexpr std::size_t kMaxMoreNamed = 10;


// Generation numbers by a pass from the animals without known parents to
// their offspring (parents before offspring): one more than the larger of
// the parents'. An animal that is its own ancestor, or descends from one,
// keeps -1.
std::vector<std::int32_t> generation_numbers(const IdentifierPedigree& ped) {
  const std::size_t n = ped.ids.size();
  std::vector<std::int32_t> start(n + 1, 0);  // offspring lists, by parent
  std::vector<std::int8_t> waiting(n, 0);     // known parents not numbered yet
  for (std::size_t a = 0; a < n; ++a)
    for (const std::int32_t p : {ped.sire[a], ped.dam[a]})
      if (p >= 0) {
        ++start[static_cast<std::size_t>(p) + 1];
        ++waiting[a];
      }
  for (std::size_t a = 0; a < n; ++a) start[a + 1] += start[a];
  std::vector<std::int32_t> offspring(static_cast<std::size_t>(start[n]));
  {
    std::vector<std::int32_t> fill(start.begin(), start.end() - 1);
    for (std::size_t a = 0; a < n; ++a)
      for (const std::int32_t p : {ped.sire[a], ped.dam[a]})
        if (p >= 0) offspring[static_cast<std::size_t>(fill[static_cast<std::size_t>(p)]++)] = static_cast<std::int32_t>(a);
  }
  std::vector<std::int32_t> gen(n, -1), queue;
  queue.reserve(n);
  for (std::size_t a = 0; a < n; ++a)
    if (waiting[a] == 0) {
      gen[a] = 0;
      queue.push_back(static_cast<std::int32_t>(a));
    }
  std::vector<std::int32_t> level(n, 0);  // the largest parent generation + 1 so far
  for (std::size_t q = 0; q < queue.size(); ++q) {
    const auto p = static_cast<std::size_t>(queue[q]);
    for (std::int32_t e = start[p]; e < start[p + 1]; ++e) {
      const auto c = static_cast<std::size_t>(offspring[static_cast<std::size_t>(e)]);
      level[c] = std::max(level[c], gen[p] + 1);
      if (--waiting[c] == 0) {
        gen[c] = level[c];
        queue.push_back(static_cast<std::int32_t>(c));
      }
    }
  }
  return gen;
}

// The groups of animals that are ancestors of one another (strongly
// connected components of more than one animal) among those without a
// generation number, by Tarjan's algorithm with an explicit stack.
std::vector<std::vector<std::int32_t>> loop_groups(const IdentifierPedigree& ped, const std::vector<std::int32_t>& gen,
                                                   const std::vector<std::int32_t>& by_appearance) {
  const std::size_t n = ped.ids.size();
  std::vector<std::vector<std::int32_t>> groups;
  std::vector<std::int32_t> index(n, -1), low(n, 0), stack;
  std::vector<bool> on_stack(n, false);
  struct Frame {
    std::int32_t animal;
    int edge;
  };
  std::vector<Frame> frames;
  std::int32_t counter = 0;
  const auto parent = [&](std::int32_t a, int edge) { return edge == 0 ? ped.sire[static_cast<std::size_t>(a)] : ped.dam[static_cast<std::size_t>(a)]; };
  const auto visit = [&](std::int32_t a) {
    index[static_cast<std::size_t>(a)] = low[static_cast<std::size_t>(a)] = counter++;
    stack.push_back(a);
    on_stack[static_cast<std::size_t>(a)] = true;
    frames.push_back({a, 0});
  };
  for (const std::int32_t root : by_appearance) {
    if (gen[static_cast<std::size_t>(root)] >= 0 || index[static_cast<std::size_t>(root)] >= 0) continue;
    visit(root);
    while (!frames.empty()) {
      Frame& f = frames.back();
      const auto u = static_cast<std::size_t>(f.animal);
      if (f.edge < 2) {
        const std::int32_t w = parent(f.animal, f.edge++);
        if (w < 0 || gen[static_cast<std::size_t>(w)] >= 0) continue;
        const auto wu = static_cast<std::size_t>(w);
        if (index[wu] < 0)
          visit(w);
        else if (on_stack[wu])
          low[u] = std::min(low[u], index[wu]);
        continue;
      }
      const std::int32_t done = f.animal;
      frames.pop_back();
      if (!frames.empty()) {
        const auto up = static_cast<std::size_t>(frames.back().animal);
        low[up] = std::min(low[up], low[u]);
      }
      if (low[u] != index[u]) continue;
      std::vector<std::int32_t> group;
      for (;;) {
        const std::int32_t w = stack.back();
        stack.pop_back();
        on_stack[static_cast<std::size_t>(w)] = false;
        group.push_back(w);
        if (w == done) break;
      }
      if (group.size() > 1) groups.push_back(std::move(group));
    }
  }
  return groups;
}

// A shortest loop through `start` within its group: the animals in order,
// each a parent of the one after it, ending with `start` again.
std::vector<std::int32_t> loop_through(const IdentifierPedigree& ped, std::int32_t start,
                                       const std::vector<std::int32_t>& group_of, std::int32_t group) {
  // Breadth first from `start` towards its ancestors; `from` leads back.
  std::vector<std::pair<std::int32_t, std::int32_t>> seen;  // (animal, index of the one it was reached from)
  seen.push_back({start, -1});
  std::vector<bool> marked(ped.ids.size(), false);
  std::int32_t found = -1;
  for (std::size_t q = 0; q < seen.size() && found < 0; ++q) {
    const auto a = static_cast<std::size_t>(seen[q].first);
    for (const std::int32_t p : {ped.sire[a], ped.dam[a]}) {
      if (p < 0 || group_of[static_cast<std::size_t>(p)] != group) continue;
      if (p == start) {
        found = static_cast<std::int32_t>(q);
        break;
      }
      if (marked[static_cast<std::size_t>(p)]) continue;
      marked[static_cast<std::size_t>(p)] = true;
      seen.push_back({p, static_cast<std::int32_t>(q)});
    }
  }
  // `start` is a parent of the last animal reached, and each animal reached
  // a parent of the one it was reached from: back from the last to `start`
  // is the order of descent.
  std::vector<std::int32_t> loop{start};
  for (std::int32_t q = found; q >= 0; q = seen[static_cast<std::size_t>(q)].second)
    loop.push_back(seen[static_cast<std::size_t>(q)].first);
  return loop;
}

}  // namespace

PreparedPedigree order_pedigree(const IdentifierPedigree& ped, MessageList& faults) {
  const std::size_t n = ped.ids.size();
  PreparedPedigree out;
  out.name = ped.name;
  out.fields = ped.fields;
  out.separator = ped.separator;
  out.repeated_lines = ped.repeated_lines;
  out.comment_lines = ped.comment_lines;
  out.candidates[0] = ped.candidates[0];
  out.candidates[1] = ped.candidates[1];
  out.records = ped.records;
  out.animals_read = std::count_if(ped.line.begin(), ped.line.end(), [](std::int64_t l) { return l != 0; });

  // The animals in order of first appearance: the keys are distinct and
  // below three times the number of lines.
  std::vector<std::int32_t> by_appearance;
  {
    std::int64_t top = 0;
    for (const std::int64_t key : ped.appearance) top = std::max(top, key + 1);
    std::vector<std::int32_t> at(static_cast<std::size_t>(top), -1);
    for (std::size_t a = 0; a < n; ++a) at[static_cast<std::size_t>(ped.appearance[a])] = static_cast<std::int32_t>(a);
    by_appearance.reserve(n);
    for (const std::int32_t a : at)
      if (a >= 0) by_appearance.push_back(a);
  }

  const std::vector<std::int32_t> gen = generation_numbers(ped);
  if (std::find(gen.begin(), gen.end(), -1) != gen.end()) {
    const std::vector<std::vector<std::int32_t>> groups = loop_groups(ped, gen, by_appearance);
    std::vector<std::int32_t> group_of(n, -1);
    for (std::size_t g = 0; g < groups.size(); ++g)
      for (const std::int32_t a : groups[g]) group_of[static_cast<std::size_t>(a)] = static_cast<std::int32_t>(g);
    // Groups in the order of their first member.
    std::vector<std::int32_t> reported(groups.size(), 0);
    for (const std::int32_t first : by_appearance) {
      const std::int32_t g = group_of[static_cast<std::size_t>(first)];
      if (g < 0 || reported[static_cast<std::size_t>(g)]) continue;
      reported[static_cast<std::size_t>(g)] = 1;
      faults.add([&] {
        const std::vector<std::int32_t> loop = loop_through(ped, first, group_of, g);
        std::string ids, lines;
        for (std::size_t i = 0; i < loop.size(); ++i) {
          if (loop.size() > kMaxLoopShown && i == kMaxLoopShown / 2) {
            const std::string skipped = " ... (" + std::to_string(loop.size() - kMaxLoopShown) + " more) ...";
            ids += skipped;
            lines += skipped;
            i = loop.size() - kMaxLoopShown / 2;
          }
          const auto a = static_cast<std::size_t>(loop[i]);
          if (i > 0) ids += " -> ";
          ids += shown(ped.ids[a]);
          if (i + 1 < loop.size()) lines += (i > 0 ? ", " : "") + std::to_string(ped.line[a]);
        }
        std::string m = ped.name + " lines " + lines + ": a loop in the pedigree, " + ids +
                        " (each a parent of the next), so " + shown(ped.ids[static_cast<std::size_t>(first)]) +
                        " is its own ancestor";
        const auto& group = groups[static_cast<std::size_t>(g)];
        if (group.size() + 1 > loop.size()) {
          // Name the members of the group that the loop leaves out, in order of appearance.
          std::vector<bool> in_loop(n, false);
          for (const std::int32_t a : loop) in_loop[static_cast<std::size_t>(a)] = true;
          std::vector<std::int32_t> rest;
          for (const std::int32_t a : group)
            if (!in_loop[static_cast<std::size_t>(a)]) rest.push_back(a);
          std::sort(rest.begin(), rest.end(), [&](std::int32_t x, std::int32_t y) {
            return ped.appearance[static_cast<std::size_t>(x)] < ped.appearance[static_cast<std::size_t>(y)];
          });
          m += "; " + std::to_string(rest.size()) + " more in loops with these animals:";
          for (std::size_t i = 0; i < rest.size() && i < kMaxMoreNamed; ++i) {
            const auto a = static_cast<std::size_t>(rest[i]);
            m += (i > 0 ? ", " : " ") + shown(ped.ids[a]) + " (line " + std::to_string(ped.line[a]) + ")";
          }
          if (rest.size() > kMaxMoreNamed) m += ", ...";
        }
        return m + "; correct the parents that are wrong";
      });
    }
  }

  // Order by generation, then by appearance: a stable counting sort of the
  // appearance order.
  std::int32_t top = -1;
  for (const std::int32_t g : gen) top = std::max(top, g);
  out.generations = top + 1;
  std::vector<std::int64_t> first_of(static_cast<std::size_t>(top) + 2, 0);
  for (const std::int32_t g : gen)
    if (g >= 0) ++first_of[static_cast<std::size_t>(g) + 1];
  for (std::size_t g = 1; g < first_of.size(); ++g) first_of[g] += first_of[g - 1];
  const auto placed = static_cast<std::size_t>(first_of.back());
  std::vector<std::int32_t> order(placed), position(n, 0);
  for (const std::int32_t a : by_appearance) {
    const std::int32_t g = gen[static_cast<std::size_t>(a)];
    if (g < 0) continue;  // in or below a loop: a fault, nothing is written
    const auto at = static_cast<std::size_t>(first_of[static_cast<std::size_t>(g)]++);
    order[at] = a;
    position[static_cast<std::size_t>(a)] = static_cast<std::int32_t>(at + 1);
  }
  out.ids.resize(placed);
  out.id1.resize(placed);
  out.id2.resize(placed);
  out.source.resize(placed);
  out.source_line.resize(placed);
  for (std::size_t k = 0; k < placed; ++k) {
    const auto a = static_cast<std::size_t>(order[k]);
    out.ids[k] = ped.ids[a];
    out.id1[k] = ped.sire[a] < 0 ? 0 : position[static_cast<std::size_t>(ped.sire[a])];
    out.id2[k] = ped.dam[a] < 0 ? 0 : position[static_cast<std::size_t>(ped.dam[a])];
    out.source[k] = ped.text[a];
    out.source_line[k] = ped.line[a];
  }
  return out;
}

}  // namespace gw
