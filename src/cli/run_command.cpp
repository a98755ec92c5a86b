#include "cli/run_command.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/fatal.hpp"
#include "index/parameter_checks.hpp"
#include "index/paths.hpp"
#include "index/traits.hpp"
#include "io/atomic_file.hpp"
#include "io/candidate_file.hpp"
#include "io/input_file.hpp"
#include "io/inputs.hpp"
#include "io/number_format.hpp"
#include "io/pedigree_ids.hpp"
#include "io/plot.hpp"
#include "io/result_file.hpp"
#include "kernels/kernel_sets.hpp"

namespace gw {

namespace {

// Every output of the run is checked before anything is read or computed
// (exit status 2, or 3 for a folder that cannot be written): the result
// file, the candidate file and the picture must be absent or regular files
// (written through a link, never replacing a device, FIFO or socket) in
// folders that can be written, and none may reach an input file, the
// pedigree ids file or another output. The picture's name must end in the
// format to draw.
void check_outputs(const std::filesystem::path& dir, const RunOptions& options) {
  const std::filesystem::path result = dir / kResultFileName;
  for (const char* name : {kParameterFileName, kPedigreeFileName, kPedigreeIdsFileName})
    if (same_file(result, dir / name))
      throw FatalError::diagnostic(std::string(kResultFileName) + ": leads to " + name +
                                       ", which the run reads; remove the link so that the result does not replace it",
                                   ExitStatus::bad_input);
  check_output(result, kResultFileName, "move it out of the way, or run in another folder");
  const auto check_file = [&](const std::filesystem::path& file, const std::string& flag, const std::string& other,
                              const std::string& advice) {
    const std::string what = flag + " " + file.string();
    const auto refuse = [&](const std::string& why) {
      throw FatalError::diagnostic(what + ": " + why + "; name another file", ExitStatus::bad_input);
    };
    if (!file.has_filename()) refuse("not a file name");
    const std::filesystem::path path = dir / file;
    for (const char* name : {kParameterFileName, kPedigreeFileName, kResultFileName, kPedigreeIdsFileName})
      if (same_file(path, dir / name)) refuse(std::string("that is ") + name + ", which the run reads or writes");
    if (!other.empty() && other != "-" && same_file(path, dir / other))
      refuse("that is " + other + ", which the run writes as well");
    check_output(path, what, advice);
  };
  const std::filesystem::path& candidates = options.candidates_file;
  if (!candidates.empty() && candidates != "-")
    check_file(candidates, "--candidates", {}, "name another file (- writes the list to standard output)");
  const std::filesystem::path& plot = options.plot_file;
  if (plot.empty()) return;
  if (plot == "-" || !plot_format(plot))
    throw FatalError::diagnostic("--plot " + plot.string() +
                                     ": the picture's name must end in .png, .svg or .pdf, the format to draw; "
                                     "name such a file",
                                 ExitStatus::bad_input);
  check_file(plot, "--plot", candidates.string(), "name another file");
}

// The traits' names of --trait-names: one per trait, distinct, and usable
// in a CSV header (no quotes, line ends or blanks at either end).
void check_trait_names(const std::vector<std::string>& names, int ntrait) {
  if (names.empty()) return;
  const auto refuse = [&](const std::string& why) {
    throw FatalError::diagnostic("--trait-names: " + why, ExitStatus::bad_input);
  };
  if (static_cast<int>(names.size()) != ntrait)
    refuse(plural(static_cast<long long>(names.size()), "name") + " given, but " + kParameterFileName + " has " +
           plural(ntrait, "trait") + " (one a line); give one name per trait, separated by commas");
  for (std::size_t t = 0; t < names.size(); ++t) {
    const std::string& n = names[t];
    const std::string which = "the name of trait " + std::to_string(t + 1);
    if (n.empty()) refuse(which + " is empty; give every trait a name");
    if (n.find_first_of("\"\r\n\t") != std::string::npos || n.front() == ' ' || n.back() == ' ')
      refuse(which + ", " + gw::quoted(n) + ", holds a quote, a tab or a line end or starts or ends with a blank; "
             "name it without");
    for (std::size_t u = 0; u < t; ++u)
      if (names[u] == n) refuse("traits " + std::to_string(u + 1) + " and " + std::to_string(t + 1) + " are both " +
                                gw::quoted(n) + "; give every trait its own name");
  }
}

// The identifiers of the animals, from the pedigree ids file when it
// belongs to the pedigree file, for the candidate file, the picture and the
// messages that name candidates; read right after the pedigree, so that a
// file that cannot be used is a warning before anything is computed (given
// only when the candidate file or the picture is written).
std::optional<PedigreeIds> candidate_ids(const std::filesystem::path& dir, const InputText& pedigree, int nanim,
                                         bool warn, const RunFeedback& feedback) {
  std::string warning;
  std::optional<PedigreeIds> ids = read_pedigree_ids(dir, pedigree.text, nanim, warning);
  if (warn && !warning.empty() && feedback.warnings)
    *feedback.warnings << "gainweights: warning: " << warning << "; the candidate file and the picture show field 1 of "
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
std::string candidate_name(int line, const std::optional<PedigreeIds>& ids) {
  std::string s = "line " + std::to_string(line);
  if (ids) s += " (" + ids->ids[static_cast<std::size_t>(line - 1)] + ")";
  return s;
}

// One line per undetermined candidate (the first kMaxListed), then a count.
std::string undetermined_list(const std::vector<Undetermined>& list, const std::optional<PedigreeIds>& ids) {
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
  check_trait_names(options.trait_names, par.ntrait);
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
  // The pivot-step lines of the console report go out with the progress
  // line out of the way.
  const PivotSteps pivots = [&](int step) {
    if (feedback.progress)
      feedback.progress->write([&] { console.progress(step); });
    else
      console.progress(step);
  };
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
  invert_phenotypic(trait_work, pivots);
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
  const bool keep_rows = !options.candidates_file.empty() || !options.plot_file.empty();
  // Without any record the inversion of the record block stops the run on its
  // own; otherwise a run without candidates is refused before the costly work.
  if (ped.record_count() > 0 && ped.candidate_count() == 0)
    throw FatalError::diagnostic(pedigree_file.name + ": no animal has candidate flag 1 (field 4), so there is nothing to compute",
                                 ExitStatus::failure);
  if (ped.record_count() > 0) check_every_trait_recorded(ped, pedigree_file.name);
  const std::optional<PedigreeIds> ids = candidate_ids(dir, pedigree_file, nanim, keep_rows, feedback);

  // The path is chosen here and nowhere else.
  PathInput input{par, traits, ped, kParameterFileName, pedigree_file.name, keep_rows, feedback.progress, pivots,
                   options.distributed, nullptr};
  PathResult path = options.sparse ? sparse_path(input) : dense_path(input);
  const CandidateAverages& avg = path.averages;
  const std::vector<CandidateRow>& rows = path.rows;
  const std::int64_t nrec = path.nrec;
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
         (options.candidates_file.empty() ? std::string()
                                          : " and have no weights in " + options.candidates_file.string()) +
         ":" + list);
  }
  const std::vector<double> v0 = reference_weights(traits.g0.cview(), traits.p0i.cview(), par.k0, avg.vv0, pivots);

  // The result file, the candidate file and the picture are written whole
  // and replace the earlier ones together; the closing report follows only
  // then, so that a run that cannot write its files shows no weights.
  ResultFile result(dir);
  for (int i = 0; i < ntrait; ++i) result.write_line(avg.vv1[i], avg.vv2[i], avg.vv0[i], v0[i]);
  std::vector<AtomicFile*> group{&result.file()};
  std::optional<CandidateFile> candidates;
  std::string listing;  // --candidates -: the list for standard output
  const auto id_of = [&](const CandidateRow& row) {
    const auto k = static_cast<std::size_t>(row.line - 1);
    return ids ? ids->ids[k] : std::to_string(ped.ident[k]);
  };
  const auto source_of = [&](const CandidateRow& row) -> std::string_view {
    return ids ? std::string_view(ids->source_lines[static_cast<std::size_t>(row.line - 1)]) : std::string_view();
  };
  const CandidateColumns columns = CandidateColumns::of(par.k0, options.trait_names);
  if (options.candidates_file == "-") {
    listing = candidate_header(columns);
    for (const CandidateRow& row : rows) append_candidate_line(listing, row, id_of(row), columns, source_of(row));
  } else if (!options.candidates_file.empty()) {
    candidates.emplace(dir / options.candidates_file, columns, options.candidates_file.string());
    for (const CandidateRow& row : rows) candidates->write(row, id_of(row), source_of(row));
    group.push_back(&candidates->file());
  }
  std::optional<AtomicFile> plot;
  if (!options.plot_file.empty()) {
    PlotInput picture;
    for (int t = 0; t < ntrait; ++t)
      picture.titles.push_back(options.trait_names.empty() ? "trait " + std::to_string(t + 1)
                                                           : options.trait_names[static_cast<std::size_t>(t)]);
    for (const CandidateRow& row : rows) {
      if (!row.undetermined.empty()) {
        ++picture.left_out;
        continue;
      }
      picture.candidates.push_back({id_of(row), row.group, row.w, row.rel});
    }
    picture.vv1 = avg.ncand1 > 0 ? avg.vv1 : std::vector<double>(avg.vv1.size(), std::nan(""));
    picture.vv2 = avg.ncand2 > 0 ? avg.vv2 : std::vector<double>(avg.vv2.size(), std::nan(""));
    const std::string bytes = render_plot(picture, *plot_format(options.plot_file));
    plot.emplace(dir / options.plot_file, options.plot_file.string());
    plot->write(bytes);
    group.push_back(&*plot);
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

}  // namespace

}  // namespace gw
