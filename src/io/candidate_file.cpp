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

CandidateColumns CandidateColumns::of(const std::vector<double>& k0, const std::vector<std::string>& names) {
  CandidateColumns c;
  c.k0 = k0;
  for (std::size_t t = 0; t < k0.size(); ++t) c.traits.push_back(names.empty() ? std::to_string(t + 1) : names[t]);
  return c;
}

std::string candidate_header(const CandidateColumns& columns) {
  std::string line = "line,id,group";
  const auto named = [&](const char* prefix) {
    for (const std::string& trait : columns.traits) {
      line += ',';
      line += prefix;
      line += trait;
    }
  };
  named("w_");
  named("rel_");
  line += ",sd_index,undetermined";
  named("response_");
  line += ",source_line\n";
  return line;
}

void append_candidate_line(std::string& out, const CandidateRow& row, std::string_view id,
                           const CandidateColumns& columns, std::string_view source_line) {
  out += std::to_string(row.line);
  out += ',';
  append_identifier(out, id);
  out += ',';
  out += std::to_string(row.group);
  // A candidate whose weights are not determined has none (nor an index
  // standard deviation or responses), only its reliabilities and the reason.
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
  for (const double k0 : columns.k0) {
    out += ',';
    const double response = k0 / row.sd_index;
    if (determined && std::isfinite(response)) append(out, response);
  }
  out += ',';
  out += source_line;
  out += '\n';
}

CandidateFile::CandidateFile(const std::filesystem::path& path, CandidateColumns columns, std::string shown)
    : file_(path, std::move(shown)), columns_(std::move(columns)) {
  file_.write(candidate_header(columns_));
}

void CandidateFile::write(const CandidateRow& row, std::string_view id, std::string_view source_line) {
  line_.clear();
  append_candidate_line(line_, row, id, columns_, source_line);
  file_.write(line_);
}

void CandidateFile::commit() { file_.commit(AtomicFile::Replace::allow); }

}  // namespace gw
