#include "io/inputs.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "base/memory.hpp"
#include "base/fatal.hpp"

namespace gw {

namespace {

constexpr const char* kMoreMemory = "Close other programs or run on a machine with more memory";

// A line count becomes an array extent, and the widest read of a line (the
// record flags and five more fields) must still be counted in an int. A
// count beyond that gives arrays that cannot be represented at all.
int checked_count(std::int64_t lines, const std::string& file, const char* noun) {
  if (lines > std::numeric_limits<std::int32_t>::max() - 5)
    check_fits("the " + plural(lines, noun) + " of " + file, std::nullopt, std::nullopt,
               "Check that " + file + " is the right file: it has more lines than the program can take");
  return static_cast<int>(lines);
}

// Lines of warnings about the file's text that are listed; one more line
// counts the rest.
constexpr std::size_t kMaxTextWarnings = 10;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string_view decimal_comma(std::string_view line) {
  line = line.substr(0, line.find('/'));  // a slash ends the values
  std::vector<std::string_view> words;
  for (std::size_t i = 0; i < line.size();) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t begin = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > begin) words.push_back(line.substr(begin, i - begin));
  }
  if (words.size() < 2) return {};  // not separated by blanks
  for (const std::string_view w : words) {
    // Digits, one comma, digits (a sign before, an exponent after).
    const std::size_t comma = w.find(',');
    if (comma == std::string_view::npos || w.find(',', comma + 1) != std::string_view::npos) continue;
    if (comma == 0 || !is_digit(w[comma - 1]) || comma + 1 == w.size() || !is_digit(w[comma + 1])) continue;
    const std::size_t start = (w[0] == '+' || w[0] == '-') ? 1 : 0;
    const std::string_view before = w.substr(start, comma - start);
    if (before.find_first_not_of("0123456789") != std::string_view::npos) continue;
    std::string_view after = w.substr(comma + 1);
    const std::size_t e = after.find_first_of("EeDd");
    if (after.substr(0, e).find_first_not_of("0123456789") != std::string_view::npos) continue;
    return w;
  }
  return {};
}

std::int64_t Pedigree::record_count() const {
  return std::count(nonr.data(), nonr.data() + nonr.rows() * nonr.cols(), 1);
}

std::int64_t Pedigree::candidate_count() const { return std::count(cand.begin(), cand.end(), 1); }

// The first trait line is read into the line buffer before the NTRAIT x
// NTRAIT arrays are sized, so that a file of many blank or short lines ends at
// its end-of-file diagnostic rather than at the memory check; the buffer
// itself is no larger than a few times the file.
Parameters read_parameters(const InputText& file) {
  Parameters par;
  par.ntrait = checked_count(count_lines(file.text), file.name, "trait");
  const int n = par.ntrait;
  const auto width = static_cast<std::size_t>(n) + 2;
  check_fits("a line of " + plural(static_cast<long long>(width), "value") + " of " + file.name,
             array_bytes(width, sizeof(double)), available_memory(), kMoreMemory);
  std::vector<double> line(width);
  ValueReader reader(file.name, file.text);
  std::size_t noted = 0;  // lines with a warning about their text
  const auto read_line = [&](int i) {
    std::fill(line.begin(), line.end(), 0.0);
    reader.read_reals(line, "trait line " + std::to_string(i + 1));
    const std::int64_t extra = reader.leftover_values();
    const std::string_view comma = decimal_comma(reader.last_line());
    if (extra == 0 && comma.empty()) return;
    if (++noted > kMaxTextWarnings) return;
    std::string w = file.name + " line " + std::to_string(reader.last_line_number());
    if (extra > 0)
      w += " holds " + plural(extra, "value") + " more than the run reads; " + (extra == 1 ? "it is" : "they are") +
           " ignored (with " + plural(n, "trait") + ", one a line, a line gives " + plural(n + 2, "value") +
           ": the target, the phenotypic variance and " + std::to_string(n) + " of the covariance table)";
    if (!comma.empty()) {
      w += extra > 0 ? "; " : ": ";
      const std::string number(comma);
      std::string point = number;
      std::replace(point.begin(), point.end(), ',', '.');
      w += "\"" + number + "\" looks like a number with a decimal comma, which is read as two values: write " +
           point + " if that is meant";
    }
    par.warnings.push_back(std::move(w));
  };
  if (n > 0) read_line(0);

  check_fits("the storage for the trait matrices of " + plural(n, "trait") + " (" + file.name + ")",
             add_bytes(trait_arrays_bytes(n), array_bytes(2 * static_cast<std::uint64_t>(n), sizeof(double))),
             available_memory(), kMoreMemory);
  par.k0.assign(static_cast<std::size_t>(n), 0.0);
  par.wvp.assign(static_cast<std::size_t>(n), 0.0);
  par.gp = Matrix<double>(n, n);
  for (int i = 0; i < n; ++i) {
    if (i > 0) read_line(i);
    par.k0[i] = line[0];
    par.wvp[i] = line[1];
    for (int j = 0; j < n; ++j) par.gp(i, j) = line[j + 2];
  }
  if (noted > kMaxTextWarnings)
    par.warnings.push_back(file.name + ": " + std::to_string(noted - kMaxTextWarnings) +
                           " more lines with more values than the run reads or with a decimal comma");
  return par;
}

// The same order for the pedigree: the first animal line, then the check of
// the animal-sized arrays (NONR is NANIM x NTRAIT integers), then the rest.
Pedigree read_pedigree(const InputText& file, int ntrait) {
  Pedigree ped;
  ped.nanim = checked_count(count_lines(file.text), file.name, "animal");
  const int n = ped.nanim;
  const auto size = static_cast<std::size_t>(n);
  std::vector<std::int32_t> line(static_cast<std::size_t>(ntrait) + 5);
  ValueReader reader(file.name, file.text);
  const auto read_line = [&](int k) {
    std::fill(line.begin(), line.end(), 0);
    reader.read_integers(line, "animal line " + std::to_string(k + 1));
  };
  if (n > 0) read_line(0);

  check_fits("the storage for the pedigree and record flags of " + plural(n, "animal") + " and " +
                 plural(ntrait, "trait") + " (" + file.name + ")",
             add_bytes(matrix_bytes(n, ntrait, sizeof(std::int32_t)), matrix_bytes(n, 5, sizeof(std::int32_t))),
             available_memory(), kMoreMemory);
  ped.ident.assign(size, 0);
  ped.id1.assign(size, 0);
  ped.id2.assign(size, 0);
  ped.cand.assign(size, 0);
  ped.gend.assign(size, 0);
  ped.nonr = Matrix<std::int32_t>(n, ntrait);
  for (int k = 0; k < n; ++k) {
    if (k > 0) read_line(k);
    ped.ident[k] = line[0];
    ped.id1[k] = line[1];
    ped.id2[k] = line[2];
    ped.cand[k] = line[3];
    ped.gend[k] = line[4];
    for (int j = 0; j < ntrait; ++j) ped.nonr(k, j) = line[j + 5];
  }
  // Every read succeeded, so each took exactly one line: animal k (0-based)
  // stands on line k + 1.
  for (int k = 0; k < n; ++k) {
    for (const std::int32_t code : {ped.id1[k], ped.id2[k]}) {
      if (code == 0) continue;
      const std::string where = file.name + " line " + std::to_string(k + 1) + ": parent " + std::to_string(code);
      if (code < 0 || code > n)
        throw FatalError::diagnostic(where + " is not a line of the file (0 for unknown, or 1 to " +
                                         std::to_string(n) + ")",
                                     ExitStatus::bad_input);
      if (code > k)
        throw FatalError::diagnostic(where + " does not stand on an earlier line; parents must precede their offspring",
                                     ExitStatus::bad_input);
    }
  }
  return ped;
}

}  // namespace gw
