// The candidate file: every candidate's own weights, the reliabilities of
// its predicted breeding values, the standard deviation of its index, the
// expected response of each trait and its line in the file given to
// prepare, one line per candidate in file order. It is written like the result file
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

// What every line of the file shares: the traits' names in the column
// headers and their targets, from which the responses come.
struct CandidateColumns {
  std::vector<std::string> traits;  // one per trait: "1", "2", ... or the names given
  std::vector<double> k0;           // the desired gains

  // The columns of `ntrait` traits named `names` (none: 1, 2, ...).
  static CandidateColumns of(const std::vector<double>& k0, const std::vector<std::string>& names = {});
};

// The header line "line,id,group,w_1,...,rel_1,...,sd_index,undetermined,
// response_1,...,source_line" (the trait names in place of 1, 2, ... when
// given) and LF.
std::string candidate_header(const CandidateColumns& columns);

// Appends one line: the identifier and the reason as append_identifier
// writes them (io/pedigree_ids.hpp), the numbers with 17 significant
// digits. The response of trait t is K0(t) / sd_index: the expected change
// of its breeding value per unit of selection intensity on this
// candidate's index. A row whose weights are not determined has no
// weights, no sd_index and no responses. `source_line` is the candidate's
// line in the file given to prepare (empty when unknown).
void append_candidate_line(std::string& out, const CandidateRow& row, std::string_view id,
                           const CandidateColumns& columns, std::string_view source_line);

class CandidateFile {
 public:
  // Creates the temporary file beside the target of `path`; `shown` names
  // the file in messages (empty: `path`). Throws FatalError (exit status 3)
  // when it cannot be created.
  CandidateFile(const std::filesystem::path& path, CandidateColumns columns, std::string shown = {});

  // One line (see append_candidate_line).
  void write(const CandidateRow& row, std::string_view id, std::string_view source_line = {});

  // Renames the complete file over `path` on its own. Throws FatalError
  // (exit status 3) on any write, close or rename error.
  void commit();

  AtomicFile& file() { return file_; }

 private:
  AtomicFile file_;
  CandidateColumns columns_;
  std::string line_;
};

}  // namespace gw
