// The candidate file: every candidate's own weights, the reliabilities of
// its predicted breeding values and the standard deviation of its index,
// one line per candidate in file order. It is written like the result file
// (to a temporary file beside it, renamed over it only when complete, and
// together with it: see commit_together), or as text for standard output.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "io/atomic_file.hpp"

namespace gw {

// One candidate's own result.
struct CandidateRow {
  int line = 0;   // 1-based line of the pedigree file
  int group = 0;  // 1 or 2, as the averages count it
  std::vector<double> w;
  std::vector<double> rel;  // LHS(t, t) / (G0(t, t) A0(c, c)); NaN where G0(t, t) = 0
  double sd_index = 0;      // sqrt(w' LHS w)
  // Why the candidate's weights are not determined; empty when they are.
  // Such a row has no weights and no sd_index.
  std::string undetermined;
};

// The header line "line,id,group,w_1,...,rel_1,...,sd_index,undetermined"
// and LF.
std::string candidate_header(int ntrait);

// Appends one line: the identifier and the reason as append_identifier
// writes them (io/pedigree_ids.hpp), the numbers with 17 significant
// digits; a row whose weights are not determined has no weights and no
// sd_index.
void append_candidate_line(std::string& out, const CandidateRow& row, std::string_view id);

class CandidateFile {
 public:
  // Creates the temporary file beside the target of `path`; `shown` names
  // the file in messages (empty: `path`). Throws FatalError (exit status 3)
  // when it cannot be created.
  CandidateFile(const std::filesystem::path& path, int ntrait, std::string shown = {});

  // One line (see append_candidate_line).
  void write(const CandidateRow& row, std::string_view id);

  // Renames the complete file over `path` on its own. Throws FatalError
  // (exit status 3) on any write, close or rename error.
  void commit();

  AtomicFile& file() { return file_; }

 private:
  AtomicFile file_;
  std::string line_;
};

}  // namespace gw
