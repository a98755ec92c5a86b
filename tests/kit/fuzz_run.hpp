// The body of the whole-run fuzz target, shared by the libFuzzer entry point
// and by the regression test that replays saved inputs through the same
// path (the reader's target is in fuzz_reader.hpp).
//
// Each target returns normally when the program handled the input as it
// must, and throws Finding (or lets some other exception escape) when it did
// not. The sanitizers catch the rest.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "kit/fuzz_reader.hpp"
#include "kit/reference_model.hpp"
#include "cli/run_command.hpp"
#include "io/console.hpp"
#include "io/input_file.hpp"
#include "io/number_format.hpp"
#include "io/result_file.hpp"
#include "base/fatal.hpp"

namespace gw::fuzz {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// A whole run on a pair of small files.
//
// The input is split at its first 0xFF byte into GParameter.csv and
// Pedigree&Record.csv; without one, it is the parameter file alone and the
// pedigree file is missing. Inputs whose line counts give a large problem are
// skipped: the problem size depends on the line counts only.

inline constexpr std::int64_t kMaxTraits = 20;
inline constexpr std::int64_t kMaxTraitsTimesAnimals = 400;
// Runs up to this many record positions are checked against the literal
// reference computation, which is slower than the program.
inline constexpr std::int64_t kMaxReferenceSize = 60;

inline const std::string kSentinel = "an earlier result\n";
inline const std::string kCandidateFile = "Candidates.csv";

inline std::string read_whole(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_whole(const fs::path& p, std::string_view text) {
  std::ofstream out(p, std::ios::binary);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  require(out.good(), "cannot write " + p.string());
}

// A fresh folder, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "gainweights-fuzz-XXXXXX").string();
    require(::mkdtemp(pattern.data()) != nullptr, "cannot create a scratch folder");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The result file that the literal reference computation gives for the
// inputs in `dir`, read with the program's own value reader (an unfilled
// destination holds 0, as in the program).
inline std::string reference_result(const fs::path& dir) {
  const InputText par_text = load_input_file(dir, kParameterFileName);
  const InputText ped_text = load_input_file(dir, kPedigreeFileName);
  const std::int64_t nt = count_lines(par_text.text), na = count_lines(ped_text.text);
  reference::Input in;
  ValueReader par(par_text.name, par_text.text);
  for (std::int64_t i = 0; i < nt; ++i) {
    std::vector<double> line(static_cast<std::size_t>(nt) + 2, 0.0);
    par.read_reals(line, "trait");
    in.parameter_lines.push_back(line);
  }
  ValueReader ped(ped_text.name, ped_text.text);
  for (std::int64_t k = 0; k < na; ++k) {
    std::vector<std::int32_t> line(static_cast<std::size_t>(nt) + 5, 0);
    ped.read_integers(line, "animal");
    in.pedigree_lines.emplace_back(line.begin(), line.end());
  }
  const reference::Output r = reference::compute(in);
  std::string file;
  for (std::size_t i = 0; i < r.vv1.size(); ++i)
    file += " " + format_free(r.vv1[i]) + " " + format_free(r.vv2[i]) + " " + format_free(r.vv0[i]) + " " +
            format_free(r.v0[i]) + "\n";
  return file;
}

// One run (dense or sparse) in `dir`, checked: a stop has exit status 1 or
// 2 and a message, leaves the result file as it was and no stray file.
// Returns the exit status.
inline int checked_run(const fs::path& dir, const RunOptions& options, std::string& console_text) {
  write_whole(dir / kResultFileName, kSentinel);
  std::error_code ec;
  fs::remove(dir / kCandidateFile, ec);
  std::ostringstream out;
  Console console(out, [] { return LocalTime{2024, 1, 2, 3, 4, 5, 600}; });
  int status = 0;
  try {
    run(dir, console, options);
  } catch (const FatalError& e) {
    // Small inputs never exhaust memory, and the folder is writable: only a
    // computation that cannot give a result (1) or bad input (2) may stop.
    require(e.exit_code() == 1 || e.exit_code() == 2,
            "a stop with exit status " + std::to_string(e.exit_code()) + ": " + e.text());
    require(!e.text().empty(), "a stop without a message");
    require(read_whole(dir / kResultFileName) == kSentinel, "a failed run changed the result file");
    status = e.exit_code();
  }
  // Nothing but the two inputs and the result file is left in the folder.
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    require(name == kParameterFileName || name == kPedigreeFileName || name == kResultFileName ||
                (status == 0 && !options.candidates_file.empty() && name == kCandidateFile),
            "a stray file is left behind: " + name);
  }
  console_text = out.str();
  return status;
}

inline void run_target(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = all.find('\xff');
  const std::string_view parameters = all.substr(0, cut);
  const bool has_pedigree = cut != std::string_view::npos;
  const std::string_view pedigree = has_pedigree ? all.substr(cut + 1) : std::string_view();
  const std::int64_t nt = count_lines(parameters), na = count_lines(pedigree);
  if (nt > kMaxTraits || nt * na > kMaxTraitsTimesAnimals) return;

  ScratchDir dir;
  write_whole(dir.path() / kParameterFileName, parameters);
  if (has_pedigree) write_whole(dir.path() / kPedigreeFileName, pedigree);

  // The sparse path first, on the same files: the same checks, and input
  // that one path refuses as bad is bad for the other too.
  // The dense run also writes the candidate file, which must appear only
  // after a complete run.
  std::string console_text;
  RunOptions sparse_options, dense_options;
  sparse_options.sparse = true;
  dense_options.candidates_file = kCandidateFile;
  const int sparse = checked_run(dir.path(), sparse_options, console_text);
  const int dense = checked_run(dir.path(), dense_options, console_text);
  require((sparse == 2) == (dense == 2), "the paths disagree on whether the input is bad: sparse exit status " +
                                             std::to_string(sparse) + ", dense " + std::to_string(dense));
  if (dense != 0) return;

  const std::string result = read_whole(dir.path() / kResultFileName);
  require(plain_line_count(result) == nt && (result.empty() || result.back() == '\n'),
          "the result file does not have one line per trait");
  require(console_text.find("No. of animals = ") != std::string::npos, "the console report lacks the count lines");
  if (nt * na <= kMaxReferenceSize) {
    std::string expected;
    try {
      expected = reference_result(dir.path());
    } catch (const reference::Stop& stop) {
      throw Finding(std::string("the run gave a result where the reference stops: ") + stop.what());
    }
    require(result == expected, "the result differs from the reference computation:\n" + result + "instead of\n" +
                                    expected);
  }
}

}  // namespace gw::fuzz
