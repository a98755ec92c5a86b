#include "io/candidate_file.hpp"

#include <cmath>
#include <cstdio>

#include "io/pedigree_ids.hpp"

namespace gw {

namespace {

void append(std::string& s, double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", x);
  s += buf;
}

}  // namespace

std::string candidate_header(int ntrait) {
  std::string line = "line,id,group";
  for (const char* col : {"w_", "rel_"})
    for (int t = 1; t <= ntrait; ++t) {
      line += ',';
      line += col;
      line += std::to_string(t);
    }
  line += ",sd_index,undetermined\n";
  return line;
}

void append_candidate_line(std::string& out, const CandidateRow& row, std::string_view id) {
  out += std::to_string(row.line);
  out += ',';
  append_identifier(out, id);
  out += ',';
  out += std::to_string(row.group);
  // A candidate whose weights are not determined has none (nor an index
  // standard deviation), only its reliabilities and the reason.
  const bool determined = row.undetermined.empty();
  for (const double w : row.w) {
    out += ',';
    if (determined) append(out, w);
  }
  for (const double r : row.rel) {
    out += ',';
    if (!std::isnan(r)) append(out, r);
  }
  out += ',';
  if (determined) append(out, row.sd_index);
  out += ',';
  append_identifier(out, row.undetermined);
  out += '\n';
}

CandidateFile::CandidateFile(const std::filesystem::path& path, int ntrait, std::string shown)
    : file_(path, std::move(shown)) {
  file_.write(candidate_header(ntrait));
}

void CandidateFile::write(const CandidateRow& row, std::string_view id) {
  line_.clear();
  append_candidate_line(line_, row, id);
  file_.write(line_);
}

void CandidateFile::commit() { file_.commit(AtomicFile::Replace::allow); }

}  // namespace gw
