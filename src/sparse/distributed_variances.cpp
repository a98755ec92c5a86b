#include "sparse/distributed_variances.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>

#include "base/memory.hpp"
#include "sparse/cholmod.hpp"
#include "sparse/mpi.hpp"
#include "sparse/mumps.hpp"

namespace gw {

namespace {

enum Command : std::int64_t { kFinish = 0, kVariances = 1, kEstimate = 2 };

// MUMPS is not reproducible from run to run across ranks with its default
// settings: it sums the contributions that several children send to a front
// in the order their messages arrive where a front is split over ranks (its
// "type 2" fronts, and the root in ScaLAPACK's 2D distribution), and where
// it assembles the child whose contribution block lies on top of its stack
// first. Measured on 20 000- and 40 000-animal herds over 2 ranks, the
// candidates' blocks differed in the last bits in one run of three to five.
// So every front stays whole on one rank (KEEP(9), the smallest front that
// is split, set beyond any order), the root is factorised like any other
// front (ICNTL(13) = 1), and the children are assembled in the tree's order
// (KEEP(234) = 0). (KEEP is MUMPS 5.5's array of internal parameters.) The
// solve is reproducible as it is: the right-hand sides of entries of C^-1
// are unit vectors, and the only non-zero contribution to an entry comes
// from one child, the others adding exact zeros.
//
// What this costs: the parallelism stays in the tree (independent subtrees
// on different ranks), and the largest front must fit on one rank. On the
// benchmark's herd of 1 000 000 animals, MUMPS's estimate for the largest
// rank is 127 GB on one rank and 144 GB on 2 or 4: the fronts at the top of
// the tree decide it.
constexpr MUMPS_INT kNeverSplit = std::numeric_limits<MUMPS_INT>::max() / 2;

// Columns of C^-1 computed together. Measured on the 40 000-animal herd
// (D = 120 000, 21 600 columns): 1 column at a time 125 s, 16 18.6 s, 64
// 7.8 s, 128 7.4 s, 256 6.2 to 7.2 s, 512 9.0 s with more memory; sorting
// the columns by their position in the elimination order, in separate
// calls, changed nothing measurable (MUMPS orders them along its tree
// itself).
constexpr int kBlock = 128;

// What every rank must know about the run, from rank 0.
struct Settings {
  std::string out_of_core;
  int block = kBlock;
  int ordering = -1;
  bool reproducible = true;
};

// Collective: rank 0 gives `options`, the others null.
Settings share(const Collective& all, const DistributedOptions* options) {
  Settings s;
  if (options) {
    s.out_of_core = options->out_of_core.string();
    s.block = options->block > 0 ? options->block : kBlock;
    s.ordering = options->ordering;
    s.reproducible = options->reproducible;
  }
  s.out_of_core = all.broadcast(s.out_of_core);
  s.block = static_cast<int>(all.broadcast(s.block));
  s.ordering = static_cast<int>(all.broadcast(s.ordering));
  s.reproducible = all.broadcast(s.reproducible ? 1 : 0) != 0;
  return s;
}

// The matrix, its ordering and the requested entries of its inverse, on rank
// 0; everything is prepared before the first collective call, so that rank 0
// cannot fail on its own between two of them.
struct Problem {
  std::string what;  // for the messages: "the factor of the mixed-model equations of ..."
  MUMPS_INT n = 0;
  std::vector<MUMPS_INT> irn, jcn, perm_in;
  std::vector<double> a;
  std::vector<MUMPS_INT> rhs_ptr, rhs_rows;
  std::vector<double> rhs_values;
};

std::string bytes_text(std::int64_t bytes) { return plural(bytes, "byte"); }

// Ranks listed as "ranks 0, 1 and 2" or "rank 3".
std::string rank_list(const std::vector<int>& ranks) {
  std::string s = ranks.size() == 1 ? "rank " : "ranks ";
  for (std::size_t i = 0; i < ranks.size(); ++i) {
    if (i > 0) s += i + 1 == ranks.size() ? " and " : ", ";
    s += std::to_string(ranks[i]);
  }
  return s;
}

// Each host's share: the sum over its ranks of what they need, against the
// least that any of its ranks found available (they share the memory).
struct HostNeed {
  std::vector<int> ranks;
  std::int64_t need = 0;
  std::optional<std::int64_t> available;
};

std::map<std::string, HostNeed> per_host(const std::vector<std::string>& hosts, const std::vector<std::int64_t>& need,
                                         const std::vector<std::int64_t>& available) {
  std::map<std::string, HostNeed> out;
  for (std::size_t r = 0; r < hosts.size(); ++r) {
    HostNeed& h = out[hosts[r]];
    h.ranks.push_back(static_cast<int>(r));
    h.need += need[r];
    if (available[r] >= 0) h.available = h.available ? std::min(*h.available, available[r]) : available[r];
  }
  return out;
}

// The memory check after the analysis, on rank 0: MUMPS's own estimate of
// every rank's memory for the factorisation and the solves (in core, or
// with the factor on disk), and the work space of a block of right-hand
// sides, against what each host has available. Nothing when it fits, else
// the diagnostic.
std::optional<std::string> memory_fault(const Problem& p, bool out_of_core, const std::vector<std::string>& hosts,
                                        const std::vector<std::int64_t>& in_core,
                                        const std::vector<std::int64_t>& on_disk,
                                        const std::vector<std::int64_t>& available) {
  const std::vector<std::int64_t>& need = out_of_core ? on_disk : in_core;
  const auto hosts_need = per_host(hosts, need, available);
  for (const auto& [host, h] : hosts_need) {
    if (!h.available || h.need <= *h.available) continue;
    std::int64_t total = 0, total_disk = 0, host_disk = 0;
    for (const std::int64_t b : need) total += b;
    for (std::size_t r = 0; r < on_disk.size(); ++r) total_disk += on_disk[r];
    for (const int r : h.ranks) host_disk += on_disk[static_cast<std::size_t>(r)];
    const std::int64_t machines = (total + *h.available - 1) / std::max<std::int64_t>(*h.available, 1);
    std::string msg = "not enough memory: " + p.what + " on " + plural(static_cast<long long>(hosts.size()), "rank") +
                      " needs " + bytes_text(h.need) + " on host " + host + " (" + rank_list(h.ranks) +
                      (out_of_core ? ", with the factor on disk" : "") +
                      "; MUMPS's estimate after its analysis), but only " + bytes_text(*h.available) +
                      " are available there. The whole problem needs about " + bytes_text(total) +
                      (out_of_core ? " with the factor on disk" : " in memory") +
                      ": with machines like this one, at least " + std::to_string(std::max<std::int64_t>(machines, 2)) +
                      " of them, one rank each (mpirun -np N --hostfile FILE)";
    if (!out_of_core)
      msg += "; or keep the factor on disk with --out-of-core DIR, which needs about " + bytes_text(host_disk) +
             " of memory on this host (" + bytes_text(total_disk) + " on all ranks)";
    return msg;
  }
  return std::nullopt;
}

// The factor on disk: each host's ranks against the space free in the
// out-of-core folder there.
std::optional<std::string> disk_fault(const std::string& folder, const std::vector<std::string>& hosts,
                                      const std::vector<std::int64_t>& factor_bytes,
                                      const std::vector<std::int64_t>& free_bytes) {
  for (const auto& [host, h] : per_host(hosts, factor_bytes, free_bytes))
    if (h.available && h.need > *h.available)
      return "not enough disk space: the factor of the mixed-model equations needs about " + bytes_text(h.need) +
             " in the out-of-core folder " + folder + " on host " + host + " (" + rank_list(h.ranks) +
             "), but only " + bytes_text(*h.available) +
             " are free there. Name a folder on a larger disk, or spread the run over more machines";
  return std::nullopt;
}

// A C string field of MUMPS's structure; `text` must fit.
template <std::size_t N>
void set_text(char (&field)[N], const std::string& text) {
  if (text.size() >= N) throw std::length_error("MUMPS: '" + text + "' is longer than its field");
  std::fill(field, field + N, '\0');
  std::copy(text.begin(), text.end(), field);
}

std::int64_t megabytes(MUMPS_INT mb) { return static_cast<std::int64_t>(mb) * 1'000'000; }

// Why a failed call stopped, on rank 0: the diagnostic and its exit status.
struct Stop {
  std::string text;
  ExitStatus status = ExitStatus::resource;
};

// One MUMPS run on every rank of `all`: analysis, the memory check, and
// unless `estimate` is set the factorisation and the requested entries of
// the inverse. `p`, `in` and `stages` are given on rank 0 only, where the
// entries end in p->rhs_values, an estimate in `estimate` and the
// factor's statistics in `stats` (when given). Every rank
// takes the same branches, decided by MUMPS's global information or by rank
// 0's broadcast; rank 0 throws the stop only after the MUMPS instance is
// gone on every rank.
void mumps_run(const Collective& all, const Settings& s, Problem* p, const SparseInput* in, StageSequence* stages,
               DistributedEstimate* estimate, SparseStats* stats = nullptr) {
  const bool root = all.root();
  std::optional<Stop> stop;
  {
    namespace fs = std::filesystem;
    const bool out_of_core = !s.out_of_core.empty();
    // The out-of-core folder must exist on every host.
    if (out_of_core) {
      std::error_code ec;
      const std::vector<std::string> hosts = all.gather(host_name());
      const std::vector<std::int64_t> there = all.gather(fs::is_directory(s.out_of_core, ec) ? 1 : 0);
      std::string missing;
      for (std::size_t r = 0; r < there.size(); ++r)
        if (!there[r] && missing.find(hosts[r]) == std::string::npos) missing += (missing.empty() ? "" : ", ") + hosts[r];
      if (all.broadcast(missing.empty() ? 0 : 1) != 0) {
        if (root)
          throw FatalError::diagnostic("--out-of-core " + s.out_of_core + ": no such folder on host " + missing +
                                           "; every host of the run needs it, at the same path",
                                       ExitStatus::bad_input);
        return;
      }
    }

    Mumps m(all.comm());
    DMUMPS_STRUC_C& id = m.id();
    if (s.reproducible) {
      m.icntl(13) = 1;
      id.keep[9 - 1] = kNeverSplit;
      id.keep[234 - 1] = 0;
    }
    m.icntl(33) = 1;  // the determinant: its sign and finiteness tell a failed factorisation
    if (s.ordering >= 0) {
      m.icntl(7) = s.ordering;
    } else {
      m.icntl(7) = 1;
      m.icntl(28) = 1;
    }
    if (out_of_core) {
      m.icntl(22) = 1;
      // MUMPS's start fills these with a placeholder: the whole field is
      // written, up to its terminating zero.
      set_text(id.ooc_tmpdir, s.out_of_core);
      set_text(id.ooc_prefix, "gainweights");
    }
    if (root) {
      id.n = p->n;
      id.nnz = static_cast<MUMPS_INT8>(p->a.size());
      id.irn = p->irn.data();
      id.jcn = p->jcn.data();
      id.a = p->a.data();
      if (s.ordering < 0) id.perm_in = p->perm_in.data();
      stages->next("analysing the mixed-model equations (MUMPS)");
    }
    const auto t0 = std::chrono::steady_clock::now();
    if (const int e = m.run(1); e < 0) {
      if (root) stop = Stop{"the analysis of the mixed-model equations failed: " + mumps_failure(e, m.infog(2))};
    } else {
      const std::vector<std::string> hosts = all.gather(host_name());
      const std::vector<std::int64_t> in_core = all.gather(megabytes(m.info(15)));
      const std::vector<std::int64_t> on_disk = all.gather(megabytes(m.info(17)));
      const std::int64_t factor_bytes = mumps_count(m.info(3)) * static_cast<std::int64_t>(sizeof(double));
      const std::vector<std::int64_t> factors = all.gather(factor_bytes);
      if (estimate) {
        estimate->in_core = in_core;
        estimate->out_of_core = on_disk;
        estimate->factor_entries = mumps_count(m.infog(20));
        estimate->flops = m.rinfog(1);
        estimate->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      }
      // The right-hand sides of a block: MUMPS's solve works on them densely
      // over each rank's share of the unknowns.
      const std::int64_t block_bytes =
          static_cast<std::int64_t>(s.block) * (all.root() ? p->n : 0) * static_cast<std::int64_t>(sizeof(double));
      const std::int64_t rhs_share = all.broadcast(block_bytes) / all.size();
      const Bytes room = available_memory();
      const std::vector<std::int64_t> available = all.gather(room ? static_cast<std::int64_t>(*room) : -1);
      std::error_code ec;
      const std::vector<std::int64_t> free_disk =
          all.gather(out_of_core ? static_cast<std::int64_t>(std::filesystem::space(s.out_of_core, ec).available) : -1);
      std::int64_t go = 1;
      if (root && !estimate) {
        std::vector<std::int64_t> with_rhs = in_core, disk_with_rhs = on_disk;
        for (auto& b : with_rhs) b += rhs_share;
        for (auto& b : disk_with_rhs) b += rhs_share;
        std::optional<std::string> fault = memory_fault(*p, out_of_core, hosts, with_rhs, disk_with_rhs, available);
        if (!fault && out_of_core) fault = disk_fault(s.out_of_core, hosts, factors, free_disk);
        if (fault) {
          stop = Stop{*fault};
          go = 0;
        }
      }
      if (estimate) go = 0;
      if (all.broadcast(go) != 0) {
        if (root) stages->next("factorising the mixed-model equations (MUMPS)");
        const int e = m.run(2);
        // Rank 0 frees the matrix: MUMPS has its own copy, distributed.
        if (root) {
          p->irn = {};
          p->jcn = {};
          p->a = {};
        }
        std::int64_t failed = 0;
        if (root && stats) {
          stats->factor_flops = m.rinfog(1);
          stats->factor_entries = static_cast<double>(mumps_count(m.infog(29)));
          stats->largest_front = m.infog(11);
        }
        if (root) {
          const double det = m.rinfog(12);
          if (e < 0 && e != -10 && e != -40) {
            stop = Stop{"the factorisation of the mixed-model equations failed: " + mumps_failure(e, m.infog(2))};
            failed = 1;
          } else if (e < 0 || m.infog(12) > 0 || !std::isfinite(det) || !(det > 0.0)) {
            const std::string where =
                e == -10 ? "a pivot is zero"
                : m.infog(12) > 0
                    ? plural(m.infog(12), "pivot") + (m.infog(12) == 1 ? " is" : " are") + " negative"
                    : "a pivot is not a finite number";
            stop = Stop{factorisation_failure(*in, where).text(), ExitStatus::failure};
            failed = 1;
          }
        }
        if (all.broadcast(failed) == 0) {
          if (root) {
            stages->next("computing the candidates' blocks of the inverse (MUMPS)");
            id.nz_rhs = static_cast<MUMPS_INT>(p->rhs_rows.size());
            id.nrhs = p->n;
            id.irhs_ptr = p->rhs_ptr.data();
            id.irhs_sparse = p->rhs_rows.data();
            id.rhs_sparse = p->rhs_values.data();
          }
          m.icntl(30) = 1;
          m.icntl(27) = s.block;
          if (const int e3 = m.run(3); e3 < 0) {
            if (root) stop = Stop{"the entries of the inverse could not be computed: " + mumps_failure(e3, m.infog(2))};
          }
        }
      }
    }
  }
  if (root && stop) throw FatalError::diagnostic(stop->text, stop->status);
}

// On rank 0: the problem for MUMPS from the mixed-model equations.
Problem prepare(const SparseInput& in, MixedModelEquations& eq, int ordering, StageSequence& stages) {
  Problem p;
  const auto nt = static_cast<std::int64_t>(in.g0.rows);
  const auto na = static_cast<std::int64_t>(in.id1.size());
  p.what = "the factor of the mixed-model equations of " + plural(na, "animal") + " and " + plural(nt, "trait");
  const SparseLower& c = eq.c;
  if (c.n > std::numeric_limits<MUMPS_INT>::max() - 1)
    throw FatalError::diagnostic("not enough memory: the mixed-model equations of " + plural(na, "animal") + " and " +
                                     plural(nt, "trait") + " have more unknowns than MUMPS's 32-bit indices can "
                                     "number",
                                 ExitStatus::resource);
  p.n = static_cast<MUMPS_INT>(c.n);
  stages.next("ordering the mixed-model equations");
  if (ordering < 0) {
    // The ordering the CHOLMOD path keeps (AMD or METIS, whichever factor
    // takes less memory), from the symbolic analysis alone.
    Cholmod cm;
    CholmodFactor factor;
    {
      CholmodSparse a = to_cholmod(cm, c);
      if (ordering == -1) {
        factor = std::move(analyse(cm, a.get()).factor);
      } else {
        cm->nmethods = 1;
        cm->method[0].ordering = ordering == -2 ? CHOLMOD_METIS : CHOLMOD_AMD;
        factor = CholmodFactor(cholmod_l_analyze(a.get(), cm.get()), CholmodFactorDeleter{cm.get()});
      }
    }
    const auto* perm = static_cast<const std::int64_t*>(factor->Perm);
    p.perm_in.resize(static_cast<std::size_t>(c.n));
    for (std::int64_t k = 0; k < c.n; ++k) p.perm_in[static_cast<std::size_t>(perm[k])] = static_cast<MUMPS_INT>(k + 1);
  }
  const auto nnz = static_cast<std::size_t>(c.nonzeros());
  p.irn.resize(nnz);
  p.jcn.resize(nnz);
  for (std::int64_t j = 0; j < c.n; ++j)
    for (std::int64_t e = c.colptr[static_cast<std::size_t>(j)]; e < c.colptr[static_cast<std::size_t>(j) + 1]; ++e) {
      p.irn[static_cast<std::size_t>(e)] = static_cast<MUMPS_INT>(c.rowind[static_cast<std::size_t>(e)] + 1);
      p.jcn[static_cast<std::size_t>(e)] = static_cast<MUMPS_INT>(j + 1);
    }
  // Equations that overflow already as they are built fail where the first
  // value is not finite: the unknown that the CHOLMOD path names then too.
  // (MUMPS would only tell that some pivot is not a number.)
  for (std::int64_t j = 0; j < c.n; ++j)
    for (std::int64_t e = c.colptr[static_cast<std::size_t>(j)]; e < c.colptr[static_cast<std::size_t>(j) + 1]; ++e)
      if (!std::isfinite(c.values[static_cast<std::size_t>(e)]))
        throw factorisation_failure(in, "at " + unknown_name(in, j));
  const std::int64_t n = c.n;
  p.a = std::move(eq.c.values);
  eq.c = SparseLower();
  // Column c T + t2 of C^-1, rows c T + t2 .. c T + T - 1: the lower
  // triangle of each candidate's block.
  p.rhs_ptr.assign(static_cast<std::size_t>(n) + 1, 0);
  std::vector<MUMPS_INT> count(static_cast<std::size_t>(n), 0);
  for (const int k : in.candidates)
    for (std::int64_t t2 = 0; t2 < nt; ++t2) count[static_cast<std::size_t>(k * nt + t2)] = static_cast<MUMPS_INT>(nt - t2);
  p.rhs_ptr[0] = 1;
  for (std::size_t j = 0; j < count.size(); ++j) p.rhs_ptr[j + 1] = p.rhs_ptr[j] + count[j];
  p.rhs_rows.resize(static_cast<std::size_t>(p.rhs_ptr.back() - 1));
  for (const int k : in.candidates)
    for (std::int64_t t2 = 0; t2 < nt; ++t2) {
      const std::size_t j = static_cast<std::size_t>(k * nt + t2);
      for (std::int64_t t1 = t2; t1 < nt; ++t1)
        p.rhs_rows[static_cast<std::size_t>(p.rhs_ptr[j] - 1 + (t1 - t2))] = static_cast<MUMPS_INT>(k * nt + t1 + 1);
    }
  p.rhs_values.assign(p.rhs_rows.size(), 0.0);
  return p;
}

}  // namespace

CandidateVariances distributed_variances(const SparseInput& in, const DistributedOptions& options,
                                         SparseStats* stats) {
  SparseStats local;
  SparseStats& st = stats ? *stats : local;
  StageSequence stages(in.stages);
  const int nt = static_cast<int>(in.g0.rows);
  MixedModelEquations eq = mixed_model_equations(in, stages);
  const std::vector<double> f = std::move(eq.f);
  Problem p = prepare(in, eq, options.ordering, stages);
  st.order = p.n;
  st.inverse_columns = static_cast<std::int64_t>(in.candidates.size()) * nt;

  const Collective all(options.comm);
  all.broadcast_waiting(kVariances);
  const Settings s = share(all, &options);
  mumps_run(all, s, &p, &in, &stages, nullptr, &st);
  stages.finish();

  CandidateVariances out;
  out.ntrait = nt;
  out.var.resize(in.candidates.size() * static_cast<std::size_t>(nt) * nt);
  out.a_diag.resize(in.candidates.size());
  std::vector<double> pev(static_cast<std::size_t>(nt) * nt, 0.0);
  for (std::size_t b = 0; b < in.candidates.size(); ++b) {
    const std::int64_t c = in.candidates[b];
    for (int t2 = 0; t2 < nt; ++t2) {
      const std::size_t j = static_cast<std::size_t>(c * nt + t2);
      for (MUMPS_INT e = p.rhs_ptr[j] - 1; e < p.rhs_ptr[j + 1] - 1; ++e) {
        const std::int64_t t1 = p.rhs_rows[static_cast<std::size_t>(e)] - 1 - c * nt;
        pev[static_cast<std::size_t>(t1 + t2 * nt)] = p.rhs_values[static_cast<std::size_t>(e)];
      }
    }
    out.a_diag[b] = 1.0 + f[static_cast<std::size_t>(c)];
    candidate_variance(in.g0, out.a_diag[b], pev.data(), out.var.data() + b * nt * nt);
  }
  return out;
}

DistributedEstimate distributed_estimate(const SparseInput& in, const DistributedOptions& options) {
  StageSequence stages(in.stages);
  MixedModelEquations eq = mixed_model_equations(in, stages);
  Problem p = prepare(in, eq, options.ordering, stages);
  const Collective all(options.comm);
  all.broadcast_waiting(kEstimate);
  const Settings s = share(all, &options);
  DistributedEstimate e;
  mumps_run(all, s, &p, &in, &stages, &e);
  return e;
}

void serve_distributed(MPI_Comm comm) {
  const Collective all(comm);
  try {
    for (;;) {
      const std::int64_t command = all.broadcast_waiting(std::int64_t{0});
      if (command == kFinish) return;
      const Settings s = share(all, nullptr);
      DistributedEstimate ignored;
      try {
        mumps_run(all, s, nullptr, nullptr, nullptr, command == kEstimate ? &ignored : nullptr);
      } catch (const MumpsStartFailure&) {
        // Every rank failed to start its instance at the same point; rank 0
        // reports it.
      }
    }
  } catch (...) {
    // A rank that cannot go on cannot tell rank 0 in the middle of a
    // collective call either: the whole job ends.
    MPI_Abort(comm, static_cast<int>(ExitStatus::resource));
  }
}

void finish_workers(MPI_Comm comm) {
  const Collective all(comm);
  if (all.size() > 1) all.broadcast_waiting(std::int64_t{kFinish});
}

}  // namespace gw
