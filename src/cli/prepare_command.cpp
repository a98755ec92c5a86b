#include "cli/prepare_command.hpp"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "base/fatal.hpp"
#include "io/atomic_file.hpp"
#include "io/input_file.hpp"
#include "io/inputs.hpp"
#include "io/pedigree_ids.hpp"
#include "pedigree/prepare.hpp"
#include "pedigree/relationships.hpp"

namespace gw {

namespace {

constexpr const char* kWritingStage = "writing Pedigree&Record.csv and Pedigree_ids.csv";

// The number of traits, read from the parameter file in `dir` as a run
// reads it; nothing without the file, with an empty one (as a run leaves
// behind when the file is missing), or with one that a run cannot read
// either, which gets a warning.
std::optional<int> parameter_traits(const std::filesystem::path& dir, MessageList& warnings) {
  try {
    const std::optional<InputText> text = load_existing_file(dir, kParameterFileName);
    if (!text) return std::nullopt;
    const Parameters par = read_parameters(*text);
    for (const std::string& w : par.warnings) warnings.add([&] { return w; });
    if (par.ntrait > 0) return par.ntrait;
  } catch (const FatalError& e) {
    warnings.add([&] {
      return e.text() + "; a run stops there too, and the number of fields is not checked against " +
             kParameterFileName;
    });
  }
  return std::nullopt;
}

}  // namespace

void prepare_folder(const std::filesystem::path& dir, const PrepareOptions& options, std::ostream& out,
                    std::ostream& err, ProgressLine* progress) {
  ProgressLine silent;
  ProgressLine& status = progress ? *progress : silent;
  const char* const outputs[] = {kPedigreeIdsFileName, kPedigreeFileName};
  // The refusal for each output file that exists; empty when none does.
  const auto existing = [&] {
    std::string text;
    for (const char* file : outputs) {
      struct stat info {};
      if (::lstat((dir / file).c_str(), &info) != 0) continue;
      if (!text.empty()) text += '\n';
      text += file;
      text += ": the file exists already and is left as it is; prepare with --force to replace it";
    }
    return text;
  };
  // The source must not be one of the files prepare writes: --force would
  // replace it by the numbered pedigree.
  for (const char* file : outputs)
    if (same_file(dir / options.file, dir / file))
      throw FatalError::diagnostic(options.file + ": that is " + file +
                                       ", which prepare writes; name the pedigree with text identifiers (a file "
                                       "of another name) to prepare",
                                   ExitStatus::bad_input);
  if (!options.force)
    if (const std::string text = existing(); !text.empty()) throw FatalError::diagnostic(text, ExitStatus::bad_input);
  for (const char* file : outputs)
    check_output(dir / file, file, "move it out of the way, or prepare in another folder");

  const std::optional<InputText> input = load_existing_file(dir, options.file);
  if (!input)
    throw FatalError::diagnostic(options.file + ": no such file; name the pedigree file to prepare",
                                 ExitStatus::bad_input);
  PedigreeSource source{options.file, input->text, options.header, std::nullopt, kParameterFileName};
  MessageList faults, warnings;
  source.traits = parameter_traits(dir, warnings);

  IdentifierPedigree identified;
  PreparedPedigree ped;
  {
    const Stage stage(&status, "reading and checking " + options.file, false);
    identified = read_identifier_pedigree(source, faults, warnings);
  }
  {
    const Stage stage(&status, "ordering the animals", false);
    ped = order_pedigree(identified, faults);
  }
  status.write([&] {
    for (const std::string& w : warnings.shown()) err << "gainweights: warning: " << w << '\n';
    if (warnings.total() > static_cast<std::int64_t>(warnings.shown().size()))
      err << "gainweights: warning: " << warnings.total() - static_cast<std::int64_t>(warnings.shown().size())
          << " more warnings about " << options.file << '\n';
    err << std::flush;
  });
  if (!faults.empty()) {
    throw FatalError::diagnostic(faults.report("faults in " + options.file), ExitStatus::bad_input);
  }

  std::vector<double> f;
  {
    const Stage stage(&status, "inbreeding coefficients");
    f = inbreeding(ped.id1, ped.id2, &status);
  }
  {
    // Both files are written whole first and then replace the earlier ones
    // together, or neither does.
    const Stage stage(&status, kWritingStage, false);
    const std::string records_text = pedigree_record_text(ped);
    AtomicFile ids(dir / kPedigreeIdsFileName, kPedigreeIdsFileName);
    AtomicFile records(dir / kPedigreeFileName, kPedigreeFileName);
    ids.write(pedigree_ids_text(ped, records_text));
    records.write(records_text);
    AtomicFile* const group[] = {&ids, &records};
    // False when an output was created by someone else since the check.
    if (!commit_together(group, options.force ? AtomicFile::Replace::allow : AtomicFile::Replace::refuse))
      throw FatalError::diagnostic(existing(), ExitStatus::bad_input);
  }
  out << prepare_summary(ped, f) << "Written:          " << kPedigreeFileName << " (" << plural(ped.lines(), "line")
      << "), " << kPedigreeIdsFileName << '\n'
      << std::flush;
}

}  // namespace gw
