// gainweights prepare: a pedigree with text identifiers turned into the
// pedigree file of a run and its identifier list (see pedigree/prepare.hpp).
#pragma once

#include <filesystem>
#include <ostream>
#include <string>

#include "io/progress.hpp"

namespace gw {

struct PrepareOptions {
  std::string file;
  bool header = false;
  bool force = false;  // replace existing output files
};

// The whole command in folder `dir`: refuses a FILE that is one of its
// outputs, existing output files without `force`, and outputs that cannot be
// written (see check_output), all before reading; reads options.file
// (relative to `dir` unless absolute) and the parameter file when there is
// one, writes the warnings to `err`, and throws FatalError (exit status 2)
// with one fault a line when there are faults. Otherwise writes the
// pedigree file and the identifier list, which replace the earlier ones
// together or not at all, and the summary to `out`. `progress` shows the
// long stages.
void prepare_folder(const std::filesystem::path& dir, const PrepareOptions& options, std::ostream& out,
                    std::ostream& err, ProgressLine* progress = nullptr);

}  // namespace gw
