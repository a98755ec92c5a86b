#include "io/candidate_file.hpp"

#include <cmath>
#include <cstdio>

#include "io/input_file.hpp"

namespace gw {

namespace {

std::filesystem::path folder_of(const std::filesystem::path& path) {
  return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

void append(std::string& s, double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", x);
  s += buf;
}

void append_text(std::string& s, std::string_view id) {
  const bool quote = id.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!id.empty() && (id.front() == ' ' || id.back() == ' ' || id.front() == '\t' || id.back() == '\t'));
  if (!quote) {
    s += id;
    return;
  }
  s += '"';
  for (const char c : id) {
    if (c == '"') s += '"';
    s += c;
  }
  s += '"';
}

}  // namespace

std::optional<std::vector<std::string>> read_pedigree_ids(const std::filesystem::path& dir, std::int64_t nanim,
                                                          std::string& warning) {
  const std::optional<InputText> file = load_existing_file(dir, kPedigreeIdsFileName);
  if (!file) return std::nullopt;
  const std::string_view text = file->text;
  std::vector<std::string> ids;
  std::size_t pos = 0;
  std::int64_t line = 0;
  const auto fail = [&](const std::string& why) {
    warning = std::string(kPedigreeIdsFileName) + (line > 0 ? " line " + std::to_string(line) : std::string()) +
              ": " + why;
    return std::nullopt;
  };
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view l = text.substr(pos, end - pos);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    pos = end + 1;
    ++line;
    if (line == 1) {
      if (l != "line,id,added") return fail("the first line is not the header line,id,added");
      continue;
    }
    const std::size_t c1 = l.find(','), c2 = l.rfind(',');
    if (c1 == std::string_view::npos || c1 == c2) return fail("not three fields line,id,added");
    const std::optional<std::int32_t> k = parse_int32(l.substr(0, c1));
    const std::string_view id = l.substr(c1 + 1, c2 - c1 - 1), added = l.substr(c2 + 1);
    if (!k || *k != line - 1) return fail("the line number is not " + std::to_string(line - 1));
    if (id.empty() || (added != "0" && added != "1")) return fail("not an identifier followed by 0 or 1");
    ids.emplace_back(id);
  }
  if (static_cast<std::int64_t>(ids.size()) != nanim) {
    line = 0;
    return fail("it lists " + std::to_string(ids.size()) + " lines, but " + kPedigreeFileName + " has " +
                std::to_string(nanim));
  }
  return ids;
}

CandidateFile::CandidateFile(const std::filesystem::path& path, int ntrait)
    : file_(folder_of(path), path.filename().string()) {
  line_ = "line,id,group";
  for (const char* col : {"w_", "rel_"})
    for (int t = 1; t <= ntrait; ++t) {
      line_ += ',';
      line_ += col;
      line_ += std::to_string(t);
    }
  line_ += ",sd_index,undetermined\n";
  file_.write(line_);
}

void CandidateFile::write(const CandidateRow& row, std::string_view id) {
  line_ = std::to_string(row.line);
  line_ += ',';
  append_text(line_, id);
  line_ += ',';
  line_ += std::to_string(row.group);
  // A candidate whose weights are not determined has none (nor an index
  // standard deviation), only its reliabilities and the reason.
  const bool determined = row.undetermined.empty();
  for (const double w : row.w) {
    line_ += ',';
    if (determined) append(line_, w);
  }
  for (const double r : row.rel) {
    line_ += ',';
    if (!std::isnan(r)) append(line_, r);
  }
  line_ += ',';
  if (determined) append(line_, row.sd_index);
  line_ += ',';
  append_text(line_, row.undetermined);
  line_ += '\n';
  file_.write(line_);
}

void CandidateFile::commit() { file_.commit(AtomicFile::Replace::allow); }

}  // namespace gw
