#include "driver/run.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "driver/inputs.hpp"
#include "driver/parameter_checks.hpp"
#include "kernels/memory.hpp"
#include "driver/stages.hpp"
#include "io/atomic_file.hpp"
#include "io/candidate_file.hpp"
#include "io/input_file.hpp"
#include "io/number_format.hpp"
#include "io/pedigree_ids.hpp"
#include "io/result_file.hpp"
#include "kernels/fatal.hpp"
#include "kernels/kernel_sets.hpp"
#include "kernels/kernels.hpp"
#include "pedigree/prepare.hpp"
#if GAINWEIGHTS_MPI
#include "sparse/distributed_variances.hpp"
#include "sparse/mpi.hpp"
#endif

namespace gw {

namespace {

// The dense path: the record covariance matrix V of every present record,
// inverted, and each candidate's system from it. Returns NREC.
int dense_candidate_stage(const Parameters& par, const TraitMatrices& traits, const Pedigree& ped,
                          const std::string& pedigree_file, const ProgressFn& progress, Progress& status,
                          std::vector<CandidateRow>* rows, CandidateAverages& avg) {
  const int ntrait = par.ntrait;
  const int nanim = ped.nanim;
  // The record matrix dominates the memory of a run. The relationship matrix
  // is built in the record matrix's own storage and only the candidates'
  // relationships are kept apart from it, in compact form; the candidate
  // stage adds work space of a few NTRAIT x D arrays. Check that all of it
  // fits before anything large is allocated.
  const auto d = static_cast<std::uint64_t>(ntrait) * static_cast<std::uint64_t>(nanim);
  const auto ncand = static_cast<std::uint64_t>(ped.candidate_count());
  const Bytes needed = add_bytes(matrix_bytes(d, d), add_bytes(CandidateRelationships::bytes(nanim, ncand),
                                                               candidate_work_bytes(ntrait, nanim, ncand)));
  check_fits("the record covariance matrix of " + plural(nanim, "animal") + " and " + plural(ntrait, "trait"), needed,
             available_memory(),
             "The sparse path (gainweights --sparse) handles large populations in far less memory");

  Matrix<double> ppi = allocate_record_matrix(static_cast<std::int64_t>(d));
  const MatView a0 = relationship_block(ppi.view(), nanim);
  CandidateRelationships relationships;
  {
    ProgressStage stage(status, "building the record covariance matrix", false);
    amrx(ped.id1.data(), ped.id2.data(), a0, nanim);
    relationships = CandidateRelationships(a0, ped.cand);
    record_covariance_in_place(traits.g0.cview(), traits.r0.cview(), nanim, ppi.view());
  }
  int nrec = 0;
  {
    // Every pivot step of the inversion costs the same, so the share of the
    // steps done is the share of the work done.
    ProgressStage stage(status, "inverting the record matrix");
    const auto records = static_cast<double>(ped.record_count());
    nrec = invert_present_block(ped.nonr.cview(), ntrait, nanim, ppi.view(), [&](int step) {
      status.write([&] { progress(step); });
      stage.update(step / records);
    });
  }
  ProgressStage stage(status, kCandidateStage);
  CandidateOptions options;
  options.progress = [&](int done, int total) { stage.update(static_cast<double>(done) / total); };
  avg = candidate_weights(traits.g0.cview(), relationships, ppi.cview(), ped, par.k0, pedigree_file, options, rows);
  return nrec;
}

// Every output of the run is checked before anything is read or computed
// (exit status 2, or 3 for a folder that cannot be written): the result
// file and the candidate file must be absent or regular files (written
// through a link, never replacing a device, FIFO or socket) in folders that
// can be written, and neither may reach an input file, the pedigree ids
// file or the other output.
void check_outputs(const std::filesystem::path& dir, const RunOptions& options) {
  const std::filesystem::path result = dir / kResultFileName;
  for (const char* name : {kParameterFileName, kPedigreeFileName, kPedigreeIdsFileName})
    if (same_file(result, dir / name))
      throw FatalError::diagnostic(std::string(kResultFileName) + ": leads to " + name +
                                       ", which the run reads; remove the link so that the result does not replace it",
                                   ExitStatus::bad_input);
  check_output(result, kResultFileName, "move it out of the way, or run in another folder");
  const std::filesystem::path& file = options.candidates_file;
  if (file.empty() || file == "-") return;
  const std::string what = "--candidates " + file.string();
  const auto refuse = [&](const std::string& why) {
    throw FatalError::diagnostic(what + ": " + why + "; name another file", ExitStatus::bad_input);
  };
  if (!file.has_filename()) refuse("not a file name");
  const std::filesystem::path path = dir / file;
  for (const char* name : {kParameterFileName, kPedigreeFileName, kResultFileName, kPedigreeIdsFileName})
    if (same_file(path, dir / name)) refuse(std::string("that is ") + name + ", which the run reads or writes");
  check_output(path, what, "name another file (- writes the list to standard output)");
}

// The identifiers of the animals, from the pedigree ids file when it
// belongs to the pedigree file, for the candidate file and the messages
// that name candidates; read right after the pedigree, so that a file that
// cannot be used is a warning before anything is computed (given only when
// the candidate file is written).
std::optional<std::vector<std::string>> candidate_ids(const std::filesystem::path& dir, const InputText& pedigree,
                                                      int nanim, bool warn, const RunFeedback& feedback) {
  std::string warning;
  std::optional<std::vector<std::string>> ids = read_pedigree_ids(dir, pedigree.text, nanim, warning);
  if (warn && !warning.empty() && feedback.warnings)
    *feedback.warnings << "gainweights: warning: " << warning << "; the candidate file shows field 1 of "
                       << pedigree.name << " as the id instead" << std::endl;
  return ids;
}

// At most this many undetermined candidates are listed by line in a
// diagnostic or warning; the rest are counted.
constexpr std::size_t kMaxListed = 20;

// A run that cannot give every candidate weights because a trait has no
// record at all: no candidate's breeding value for it can be predicted
// independently of the other traits, so every candidate's Var(û) is
// singular. Checked right after reading, before any matrix is built.
void check_every_trait_recorded(const Pedigree& ped, const std::string& pedigree_file) {
  for (int t = 0; t < ped.nonr.cols(); ++t) {
    bool recorded = false;
    for (int k = 0; k < ped.nanim && !recorded; ++k) recorded = ped.nonr(k, t) == 1;
    if (recorded) continue;
    const std::string trait = std::to_string(t + 1);
    throw FatalError::diagnostic(
        pedigree_file + ": no animal has a record of trait " + trait + " (field " + std::to_string(t + 6) +
            ", its record flag, is never 1), so no candidate's breeding value for trait " + trait +
            " can be predicted on its own and no index weights are determined. Record the trait, or leave it out "
            "of both files (line " + trait + " and field " + std::to_string(t + 3) + " of every line of " +
            kParameterFileName + ", field " + std::to_string(t + 6) + " of " + pedigree_file + ")",
        ExitStatus::failure);
  }
}

// The candidate's line, with its identifier from the pedigree ids file when
// there is one: "line 12 (DE-0815)".
std::string candidate_name(int line, const std::optional<std::vector<std::string>>& ids) {
  std::string s = "line " + std::to_string(line);
  if (ids) s += " (" + (*ids)[static_cast<std::size_t>(line - 1)] + ")";
  return s;
}

// One line per undetermined candidate (the first kMaxListed), then a count.
std::string undetermined_list(const std::vector<Undetermined>& list,
                              const std::optional<std::vector<std::string>>& ids) {
  std::string s;
  for (std::size_t i = 0; i < list.size() && i < kMaxListed; ++i)
    s += "\n  " + candidate_name(list[i].line, ids) + ": " + list[i].reason();
  if (list.size() > kMaxListed) s += "\n  and " + std::to_string(list.size() - kMaxListed) + " more";
  return s;
}

// The stops whose cause may be the scale of the parameters rather than
// their meaning: the absolute pivot threshold of the inversions, and the
// iteration of a candidate's system that overflows or never settles.
bool depends_on_scale(const FatalError& e) {
  return e.text() == " Matrix is singular !" || e.text().starts_with("No. iterations = ") ||
         e.text().find("overflows the range of double precision") != std::string::npos;
}

// Advice for those stops when the variances are far from 1; empty when
// they are not. Within these bounds a stop more likely has another cause:
// the bundled herd still runs with all its variances scaled by 1e-10 and by
// 1e150 (it stops at 1e-12 and 1e200).
constexpr double kSmallVariances = 1e-3;
constexpr double kLargeVariances = 1e30;
std::string rescaling_advice(const Parameters& par) {
  double largest = 0.0;
  for (int i = 0; i < par.ntrait; ++i) {
    largest = std::max(largest, std::fabs(par.wvp[i]));
    for (int j = 0; j < par.ntrait; ++j) largest = std::max(largest, std::fabs(par.gp(i, j)));
  }
  if (!std::isfinite(largest) || largest == 0.0 || (largest >= kSmallVariances && largest <= kLargeVariances))
    return {};
  return std::string(kParameterFileName) + ": the (co)variances are very " +
         (largest < kSmallVariances ? "small" : "large") + " (the largest is " + format_short(largest) +
         "), and the singularity threshold and the sums of the computation are absolute, not relative to them. "
         "Rescale the parameters to values near 1: dividing every variance and covariance by a factor f and every "
         "target K0 by the square root of f describes the same traits in other units, and multiplies every "
         "weight by the square root of f";
}

void compute(const std::filesystem::path& dir, Console& console, const RunOptions& options,
             const RunFeedback& feedback, const Parameters& par);

}  // namespace

void run(const std::filesystem::path& dir, Console& console, const RunOptions& options, const RunFeedback& feedback) {
  check_outputs(dir, options);
  // A kernel set forced through GAINWEIGHTS_KERNELS that is no set, or one
  // this processor cannot run, is refused before anything is read.
  resolve_kernel_set();

  console.date_time();
  console.empty();

  const Parameters par = read_parameters(load_input_file(dir, kParameterFileName));
  try {
    compute(dir, console, options, feedback, par);
  } catch (const FatalError& e) {
    if (!depends_on_scale(e)) throw;
    const std::string advice = rescaling_advice(par);
    if (advice.empty()) throw;
    throw e.with_advice(advice);
  }
}

namespace {

void compute(const std::filesystem::path& dir, Console& console, const RunOptions& options,
             const RunFeedback& feedback, const Parameters& par) {
  const ProgressFn progress = [&console](int step) { console.progress(step); };
  Progress silent;
  Progress& status = feedback.progress ? *feedback.progress : silent;
  // A warning of several lines has the program's name before each.
  const auto warn = [&](const std::string& text) {
    if (!feedback.warnings) return;
    std::string_view rest = text;
    *feedback.warnings << "gainweights: warning: ";
    for (std::size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1))
      *feedback.warnings << rest.substr(0, end) << "\ngainweights: ";
    *feedback.warnings << rest << std::endl;
  };

  TraitMatrices trait_work = trait_matrices(par);
  for (const std::string& w : par.warnings) warn(w);
  for (const std::string& w :
       parameter_warnings(par.k0, par.wvp, trait_work.g0.cview(), trait_work.r0.cview(), kParameterFileName))
    warn(w);
  invert_phenotypic(trait_work, progress);
  // Then every candidate's Var(û) is singular as well: no weights can be
  // determined, whatever the pedigree.
  if (singular_traits(trait_work.g0.cview()))
    throw FatalError::diagnostic(std::string(kParameterFileName) +
                                     ": the genetic covariance matrix is singular (see the warning above), so no "
                                     "candidate's index weights are determined; correct the genetic (co)variances "
                                     "of the traits named there, or leave a trait that has no breeding value of its "
                                     "own out of both input files",
                                 ExitStatus::failure);
  const TraitMatrices& traits = trait_work;
  const int ntrait = par.ntrait;

  const InputText pedigree_file = load_input_file(dir, kPedigreeFileName);
  const Pedigree ped = read_pedigree(pedigree_file, ntrait);
  const int nanim = ped.nanim;
  const bool keep_rows = !options.candidates_file.empty();
  // Without any record the inversion of the record block stops the run on its
  // own; otherwise a run without candidates is refused before the costly work.
  if (ped.record_count() > 0 && ped.candidate_count() == 0)
    throw FatalError::diagnostic(pedigree_file.name + ": no animal has candidate flag 1 (field 4), so there is nothing to compute",
                                 ExitStatus::failure);
  if (ped.record_count() > 0) check_every_trait_recorded(ped, pedigree_file.name);
  const std::optional<std::vector<std::string>> ids = candidate_ids(dir, pedigree_file, nanim, keep_rows, feedback);

  // The path is chosen here and nowhere else.
  std::vector<CandidateRow> rows;
  CandidateAverages avg;
  int nrec = 0;
  if (options.sparse) {
    // The same stop as the dense path's inversion of an empty record block.
    nrec = static_cast<int>(ped.record_count());
    if (nrec == 0) throw FatalError::console_message("Order of matrix is less than 1 !");
    avg = sparse_candidate_weights(traits, ped, par.k0, kParameterFileName, pedigree_file.name,
                                   keep_rows ? &rows : nullptr, nullptr, &status, options.distributed);
  } else {
    nrec = dense_candidate_stage(par, traits, ped, pedigree_file.name, progress, status, keep_rows ? &rows : nullptr,
                                 avg);
  }
  if (!avg.undetermined.empty()) {
    const std::string what = pedigree_file.name + ": the index weights of " +
                             plural(static_cast<long long>(avg.undetermined.size()), "candidate") +
                             " are not determined: the covariance matrix of their predicted breeding values, "
                             "Var(û), is singular (or not positive definite), so any weights would be arbitrary";
    const std::string list = undetermined_list(avg.undetermined, ids);
    if (!options.skip_undetermined)
      throw FatalError::diagnostic(what + ":" + list +
                                       "\nGive these animals candidate flag 0 (field 4), or run with "
                                       "--skip-undetermined to leave them out of the group averages",
                                   ExitStatus::failure);
    if (avg.ncand1 + avg.ncand2 == 0)
      throw FatalError::diagnostic(what + "; that is every candidate, so there is nothing to average:" + list,
                                   ExitStatus::failure);
    warn(what + "; they are left out of the group averages" +
         (keep_rows ? " and have no weights in " + options.candidates_file.string() : std::string()) + ":" + list);
  }
  const std::vector<double> v0 = reference_weights(traits.g0.cview(), traits.p0i.cview(), par.k0, avg.vv0, progress);

  // The result file and the candidate file are written whole and replace
  // the earlier ones together; the closing report follows only then, so
  // that a run that cannot write its files shows no weights.
  ResultFile result(dir);
  for (int i = 0; i < ntrait; ++i) result.write_line(avg.vv1[i], avg.vv2[i], avg.vv0[i], v0[i]);
  std::vector<AtomicFile*> group{&result.file()};
  std::optional<CandidateFile> candidates;
  std::string listing;  // --candidates -: the list for standard output
  const auto id_of = [&](const CandidateRow& row) {
    const auto k = static_cast<std::size_t>(row.line - 1);
    return ids ? (*ids)[k] : std::to_string(ped.ident[k]);
  };
  if (keep_rows && options.candidates_file == "-") {
    listing = candidate_header(ntrait);
    for (const CandidateRow& row : rows) append_candidate_line(listing, row, id_of(row));
  } else if (keep_rows) {
    candidates.emplace(dir / options.candidates_file, ntrait, options.candidates_file.string());
    for (const CandidateRow& row : rows) candidates->write(row, id_of(row));
    group.push_back(&candidates->file());
  }
  commit_together(group);
  if (!listing.empty()) {
    if (!feedback.candidates_out) throw std::logic_error("run: --candidates - without a stream for the list");
    std::ostream& out = *feedback.candidates_out;
    out << listing << std::flush;
    if (!out)
      throw FatalError::diagnostic("--candidates -: cannot write the list to standard output", ExitStatus::resource);
  }

  console.count("No. of animals = ", nanim);
  console.count("No. of records = ", nrec);
  console.empty();
  for (int i = 0; i < ntrait; ++i) console.weights(avg.vv1[i], avg.vv2[i], avg.vv0[i], v0[i]);
  console.empty();
  console.date_time();
}

void usage(std::ostream& os) {
  os << "Usage: gainweights [--sparse [--distributed [--out-of-core DIR]]] [--candidates FILE]\n"
        "                  [--skip-undetermined]\n"
        "       gainweights prepare [--header] [--force] FILE\n"
        "       gainweights --help | --version\n"
        "\n"
        "Run in a folder that holds GParameter.csv (one line per trait: target value,\n"
        "phenotypic variance, one row of the genetic/residual covariance table) and\n"
        "Pedigree&Record.csv (one line per animal: identifier, parents by line\n"
        "position, candidate flag, group flag, one record flag per trait). Computes the\n"
        "index weights of every candidate, their averages in the two groups and\n"
        "overall, and a reference weight vector, and writes them to\n"
        "Weighted_value.csv, one line per trait. A missing input file is created empty.\n"
        "\n"
        "  --sparse   compute each candidate's system from the sparse mixed-model\n"
        "             equations (sparse Cholesky factor and its selected inverse)\n"
        "             instead of the dense inverse of the record covariance matrix.\n"
        "             For large populations: memory and time grow with the factor's\n"
        "             size, not with the square and cube of animals x traits. The\n"
        "             results agree with the default path to rounding (1e-9 relative\n"
        "             or better), not bit for bit, and are the same from run to run\n"
        "             for a given number of threads (OMP_NUM_THREADS). The default\n"
        "             path gives the same bits for any number of threads.\n"
        "  --distributed\n"
        "             with --sparse: factorise the mixed-model equations with MUMPS\n"
        "             over the MPI ranks the program is started on (mpirun -np N\n"
        "             gainweights --sparse --distributed, on one machine or several\n"
        "             with a host file); rank 0 reads and writes every file, the\n"
        "             others only compute. Without mpirun it runs as one rank. The\n"
        "             results agree with --sparse to rounding and are the same from\n"
        "             run to run for a given number of ranks and threads.\n"
        "  --out-of-core DIR\n"
        "             with --distributed: every rank keeps its part of the factor in\n"
        "             files in DIR (an existing folder, the same path on every host)\n"
        "             instead of memory, for problems whose factor does not fit.\n"
        "  --candidates FILE\n"
        "             also write FILE (CSV): for every candidate its line, its\n"
        "             identifier (from Pedigree_ids.csv when that file matches the\n"
        "             pedigree, else field 1), its group, its weights w_1 ...\n"
        "             (17 significant digits), the reliability of each of its\n"
        "             predicted breeding values rel_1 ... and the standard\n"
        "             deviation of its index, sd_index. Written only after a\n"
        "             complete run, together with the result file; never over an\n"
        "             input file, the result file or anything but a regular file.\n"
        "             FILE - writes the list to standard output (the console\n"
        "             report then goes to standard error).\n"
        "  --skip-undetermined\n"
        "             leave candidates whose weights are not determined (the records\n"
        "             tell nothing about some trait of theirs beyond what they tell\n"
        "             about the others) out of the group averages, with a warning\n"
        "             that lists them, instead of stopping; in the candidate file\n"
        "             they have no weights and a column that says why.\n"
        "\n"
        "prepare: writes Pedigree&Record.csv and Pedigree_ids.csv in the current folder\n"
        "from FILE, a pedigree with text identifiers in any order: one line per animal\n"
        "with its identifier, sire, dam, then candidate flag, group flag and one record\n"
        "flag per trait (separated by commas, semicolons, blanks or tabs; 0, NA, ., *\n"
        "or an empty field for an unknown parent; lines starting with # and blank\n"
        "lines skipped).\n"
        "Parents without a line are added as founders; every parent comes before its\n"
        "offspring. Every fault is listed and nothing is written while there is one.\n"
        "  --header  skip the first line of FILE\n"
        "  --force   replace existing Pedigree&Record.csv and Pedigree_ids.csv\n"
        "\n"
        "Exit status: 0 success; 1 no result can be computed (singular matrix, no\n"
        "records, a trait without records, no candidate, candidates whose weights are\n"
        "not determined, iteration limit, a candidate system that overflows, matrix\n"
        "not positive definite); 2 bad input or usage; 3 out of memory or a file that\n"
        "cannot be written. SIGINT and SIGTERM remove the temporary files\n"
        "and end the program by the signal (status 130 or 143 in a shell); the files\n"
        "written before stay as they were.\n";
}

int usage_error(std::ostream& err, const std::string& problem) {
  err << "gainweights: " << problem << "\n\n";
  usage(err);
  return static_cast<int>(ExitStatus::bad_input);
}

// The words after "prepare": options and one FILE ("--" ends the options;
// --help is answered before). Nothing after a usage error, which is
// written to `err`.
std::optional<PrepareOptions> prepare_command_line(int argc, const char* const* argv, std::ostream& err) {
  PrepareOptions options;
  bool have_file = false, options_end = false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_end && arg == "--") {
      options_end = true;
    } else if (!options_end && arg == "--header") {
      options.header = true;
    } else if (!options_end && arg == "--force") {
      options.force = true;
    } else if (!options_end && arg.size() > 1 && arg[0] == '-') {
      usage_error(err, "prepare: unknown option '" + std::string(arg) + "'");
      return std::nullopt;
    } else if (have_file) {
      usage_error(err, "prepare: more than one FILE ('" + options.file + "' and '" + std::string(arg) + "')");
      return std::nullopt;
    } else {
      options.file = arg;
      have_file = true;
    }
  }
  if (!have_file || options.file.empty()) {
    usage_error(err, "prepare: name the pedigree FILE to prepare");
    return std::nullopt;
  }
  return options;
}

// Runs `action` and turns what it throws into output and the exit status:
// a console line on `out` (the console report's stream), a diagnostic on
// `err`, where a diagnostic of several lines gets the program's prefix on
// each.
template <class Action>
int exit_status_of(Action action, std::ostream& out, std::ostream& err) {
  try {
    action();
    return 0;
  } catch (const FatalError& e) {
    const auto diagnostic = [&err](std::string_view text) {
      for (std::size_t end; (end = text.find('\n')) != std::string_view::npos; text.remove_prefix(end + 1))
        err << "gainweights: " << text.substr(0, end) << '\n';
      err << "gainweights: " << text << std::endl;
    };
    if (e.channel() == Channel::console) {
      Console(out).line(e.text());
      out.flush();
    } else {
      diagnostic(e.text());
    }
    if (!e.advice().empty()) diagnostic(e.advice());
    return e.exit_code();
  } catch (const std::bad_alloc&) {
    err << "gainweights: not enough memory for the work arrays of this problem" << std::endl;
    return static_cast<int>(ExitStatus::resource);
  } catch (const std::exception& e) {
    err << "gainweights: " << e.what() << std::endl;
    return static_cast<int>(ExitStatus::resource);
  }
}

}  // namespace

int run_program(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool err_is_terminal,
                MpiSession* mpi) {
  const bool prepare = argc > 1 && std::string_view(argv[1]) == "prepare";
  // Every rank reads the same command line; only rank 0 writes anything.
#if GAINWEIGHTS_MPI
  const bool worker = mpi && mpi->rank() != 0;
#else
  const bool worker = false;
#endif
  std::ostream silent(nullptr);
  std::ostream& diag = worker ? silent : err;
  std::ostream& answer = worker ? silent : out;
  // --help and --version answer wherever they stand (in prepare's words,
  // before a "--" that ends its options).
  bool help = false, version = false;
  for (int i = prepare ? 2 : 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (prepare && arg == "--") break;
    help = help || arg == "--help" || arg == "-h";
    version = version || (!prepare && arg == "--version");
  }
  if (help) {
    usage(answer);
    return 0;
  }
  if (version) {
    answer << "gainweights " << GAINWEIGHTS_VERSION << '\n';
    return 0;
  }
  if (prepare) {
    const std::optional<PrepareOptions> options = prepare_command_line(argc, argv, err);
    if (!options) return static_cast<int>(ExitStatus::bad_input);
    Progress status(err, err_is_terminal);
    return exit_status_of([&] { prepare_folder(".", *options, out, err, &status); }, out, err);
  }
  RunOptions options;
  bool distributed = false;
  std::filesystem::path out_of_core;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    // A repeat of a flag changes nothing.
    if (arg == "--sparse") {
      options.sparse = true;
      continue;
    }
    if (arg == "--skip-undetermined") {
      options.skip_undetermined = true;
      continue;
    }
    if (arg == "--distributed") {
      distributed = true;
      continue;
    }
    if (arg == "--candidates" || arg.starts_with("--candidates=")) {
      if (arg == "--candidates" && i + 1 == argc) return usage_error(diag, "--candidates needs a FILE name");
      const std::string file = arg == "--candidates" ? std::string(argv[++i]) : std::string(arg.substr(13));
      if (file.empty()) return usage_error(diag, "--candidates needs a FILE name");
      if (file.starts_with("--"))
        return usage_error(diag, "--candidates needs a FILE name, not the option '" + file +
                                     "' (a file whose name starts with -- is written as ./" + file + ")");
      if (!options.candidates_file.empty() && options.candidates_file != file)
        return usage_error(diag, "--candidates is given twice ('" + options.candidates_file.string() + "' and '" +
                                     file + "'); name one FILE");
      options.candidates_file = file;
      continue;
    }
    if (arg == "--out-of-core" || arg.starts_with("--out-of-core=")) {
      if (arg == "--out-of-core" && i + 1 == argc) return usage_error(diag, "--out-of-core needs a folder DIR");
      const std::string folder = arg == "--out-of-core" ? std::string(argv[++i]) : std::string(arg.substr(14));
      if (folder.empty()) return usage_error(diag, "--out-of-core needs a folder DIR");
      if (folder.starts_with("--"))
        return usage_error(diag, "--out-of-core needs a folder DIR, not the option '" + folder + "'");
      if (!out_of_core.empty() && out_of_core != folder)
        return usage_error(diag, "--out-of-core is given twice ('" + out_of_core.string() + "' and '" + folder +
                                     "'); name one DIR");
      out_of_core = folder;
      continue;
    }
    return usage_error(diag, "unexpected argument '" + std::string(arg) + "'");
  }
  if (!out_of_core.empty() && !distributed)
    return usage_error(diag, "--out-of-core keeps the factor of a distributed run on disk: give --sparse "
                             "--distributed as well");
  if (distributed && !options.sparse)
    return usage_error(diag, "--distributed runs the sparse path over MPI ranks: give --sparse as well");
  if (distributed && !mpi) {
    diag << "gainweights: --distributed is not available in this build: it was built without MPI and MUMPS "
            "(install OpenMPI and MUMPS as scripts/setup.sh does, and build again), or MPI was not started; "
            "run gainweights --sparse instead"
         << std::endl;
    return static_cast<int>(ExitStatus::bad_input);
  }
#if GAINWEIGHTS_MPI
  if (worker) {
    serve_distributed(mpi->comm());
    return 0;
  }
  DistributedOptions distributed_options;
  if (distributed) {
    std::error_code ec;
    if (!out_of_core.empty()) {
      if (!std::filesystem::is_directory(out_of_core, ec)) {
        err << "gainweights: --out-of-core " << out_of_core.string()
            << ": no such folder; create it (on every host of the run, at the same path) or name another" << std::endl;
        finish_workers(mpi->comm());
        return static_cast<int>(ExitStatus::bad_input);
      }
      distributed_options.out_of_core = std::filesystem::absolute(out_of_core, ec);
      // MUMPS keeps the folder's name in a field of 256 characters.
      if (distributed_options.out_of_core.string().size() > 255) {
        err << "gainweights: --out-of-core " << out_of_core.string()
            << ": the folder's full path is longer than 255 characters, which MUMPS cannot take; name a folder "
               "with a shorter path"
            << std::endl;
        finish_workers(mpi->comm());
        return static_cast<int>(ExitStatus::bad_input);
      }
    }
    distributed_options.comm = mpi->comm();
    options.distributed = &distributed_options;
  }
#endif
  // With --candidates - the list takes standard output, and the console
  // report goes to standard error.
  const bool list_to_out = options.candidates_file == "-";
  std::ostream& report = list_to_out ? err : out;
  Console console(report);
  // A stage that an exception ends clears the progress line on its way, so
  // that every diagnostic starts on a clean line.
  Progress status(err, err_is_terminal);
  const int code = exit_status_of(
      [&] { run(".", console, options, RunFeedback{&err, &status, list_to_out ? &out : nullptr}); }, report, err);
#if GAINWEIGHTS_MPI
  if (mpi) finish_workers(mpi->comm());
#endif
  return code;
}

bool distributed_requested(int argc, const char* const* argv) {
  if (argc > 1 && std::string_view(argv[1]) == "prepare") return false;
  for (int i = 1; i < argc; ++i)
    if (std::string_view(argv[i]) == "--distributed") return true;
  return false;
}

}  // namespace gw
