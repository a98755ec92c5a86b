// The candidate file: every candidate's own weights, the reliabilities of
// its predicted breeding values and the standard deviation of its index,
// one line per candidate in file order. It is written like the result file:
// to a temporary file beside it, renamed over it only when complete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
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

// The identifiers of the pedigree ids file in `dir`, one per animal in line
// order: used when the file exists, starts with the header "line,id,added"
// and holds exactly `nanim` further lines "k,ID,0" or "k,ID,1" with k = 1, 2,
// ... in order. Nothing when the file does not exist, and nothing with
// `warning` set to the reason when it exists but cannot be used.
std::optional<std::vector<std::string>> read_pedigree_ids(const std::filesystem::path& dir, std::int64_t nanim,
                                                          std::string& warning);

class CandidateFile {
 public:
  // Creates the temporary file beside `path`. Throws FatalError (exit
  // status 3) when it cannot be created.
  CandidateFile(const std::filesystem::path& path, int ntrait);

  // One line. An identifier or a reason that holds a comma, a double
  // quote, a line end or blanks at either end is written in double quotes.
  void write(const CandidateRow& row, std::string_view id);

  // Renames the complete file over `path`. Throws FatalError (exit status 3)
  // on any write, close or rename error.
  void commit();

 private:
  AtomicFile file_;
  std::string line_;
};

}  // namespace gw
