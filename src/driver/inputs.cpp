#include "driver/inputs.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "kernels/fatal.hpp"

namespace gw {

namespace {

// A line count becomes an array extent; refuse counts no array could hold.
int checked_count(std::int64_t lines, const std::string& file, const char* what) {
  if (lines > std::numeric_limits<std::int32_t>::max())
    throw FatalError::diagnostic(file + ": " + std::to_string(lines) + " lines is more " + what +
                                     " than the program can handle",
                                 ExitStatus::bad_input);
  return static_cast<int>(lines);
}

}  // namespace

std::int64_t Pedigree::record_count() const {
  return std::count(nonr.data(), nonr.data() + nonr.rows() * nonr.cols(), 1);
}

std::int64_t Pedigree::candidate_count() const { return std::count(cand.begin(), cand.end(), 1); }

Parameters read_parameters(const InputText& file) {
  Parameters par;
  par.ntrait = checked_count(count_lines(file.text), file.name, "traits");
  const int n = par.ntrait;
  par.k0.assign(static_cast<std::size_t>(n), 0.0);
  par.wvp.assign(static_cast<std::size_t>(n), 0.0);
  par.gp = Matrix<double>(n, n);
  ValueReader reader(file.name, file.text);
  std::vector<double> line(static_cast<std::size_t>(n) + 2);
  for (int i = 0; i < n; ++i) {
    std::fill(line.begin(), line.end(), 0.0);
    reader.read_reals(line, "trait line " + std::to_string(i + 1));
    par.k0[i] = line[0];
    par.wvp[i] = line[1];
    for (int j = 0; j < n; ++j) par.gp(i, j) = line[j + 2];
  }
  return par;
}

Pedigree read_pedigree(const InputText& file, int ntrait) {
  Pedigree ped;
  ped.nanim = checked_count(count_lines(file.text), file.name, "animals");
  const int n = ped.nanim;
  const auto size = static_cast<std::size_t>(n);
  ped.id1.assign(size, 0);
  ped.id2.assign(size, 0);
  ped.cand.assign(size, 0);
  ped.gend.assign(size, 0);
  ped.nonr = Matrix<std::int32_t>(n, ntrait);
  ValueReader reader(file.name, file.text);
  std::vector<std::int32_t> line(static_cast<std::size_t>(ntrait) + 5);
  for (int k = 0; k < n; ++k) {
    std::fill(line.begin(), line.end(), 0);
    reader.read_integers(line, "animal line " + std::to_string(k + 1));
    ped.id1[k] = line[1];
    ped.id2[k] = line[2];
    ped.cand[k] = line[3];
    ped.gend[k] = line[4];
    for (int j = 0; j < ntrait; ++j) ped.nonr(k, j) = line[j + 5];
  }
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
