// The candidate file (--candidates FILE): every candidate's weights,
// reliabilities and index standard deviation, against the literal reference
// computation, the result file and the sparse path; its identifiers; the
// names it refuses; and that a failed run leaves it alone.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>

#include "kit/process.hpp"
#include "kit/herd.hpp"
#include "io/pedigree_ids.hpp"
#include "kit/reference_model.hpp"

namespace gw {
namespace {

using namespace gw::testing;
using namespace std::string_literals;

const fs::path kCases = fs::path(GAINWEIGHTS_TEST_DATA) / "e2e";
const std::string kTwo = "5,10,3,1\n2,20,0.5,4\n";
const std::string kPedigree = "1001,0,0,0,2,1,1\n1002,0,0,1,2,1,1\n1003,1,2,1,1,1,0\n";

struct Row {
  int line = 0, group = 0;
  std::string id;
  std::vector<double> w, rel;  // an empty field reads as NaN
  double sd = 0;
  std::vector<double> response;
  std::string source_line;
};

// The file's rows after checking its header for `ntrait` traits.
std::vector<Row> read_rows(const std::string& text, int ntrait) {
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);
  std::string header = "line,id,group";
  for (const char* col : {"w_", "rel_"})
    for (int t = 1; t <= ntrait; ++t) {
      header += ',';
      header += col;
      header += std::to_string(t);
    }
  header += ",sd_index,undetermined";
  for (int t = 1; t <= ntrait; ++t) header += ",response_" + std::to_string(t);
  header += ",source_line";
  EXPECT_EQ(line, header);
  std::vector<Row> rows;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, ',');) f.push_back(x);
    if (line.back() == ',') f.push_back("");
    EXPECT_EQ(f.size(), static_cast<std::size_t>(6 + 3 * ntrait)) << line;
    if (f.size() != static_cast<std::size_t>(6 + 3 * ntrait)) break;
    EXPECT_EQ(f[4 + 2 * ntrait], "") << "a determined candidate";
    Row r{std::stoi(f[0]), std::stoi(f[2]), f[1], {}, {}, std::stod(f[3 + 2 * ntrait]), {}, f.back()};
    for (int t = 0; t < ntrait; ++t) {
      r.w.push_back(std::stod(f[3 + t]));
      const std::string& rel = f[3 + ntrait + t];
      r.rel.push_back(rel.empty() ? std::numeric_limits<double>::quiet_NaN() : std::stod(rel));
      r.response.push_back(std::stod(f[5 + 2 * ntrait + t]));
    }
    rows.push_back(r);
  }
  return rows;
}

class CandidateFixture : public ::testing::TestWithParam<std::string> {};

// The weights are the reference computation's to the bit (the dense path is
// exact); the reliabilities are the reference's Var(û)(t, t) / (G0(t, t)
// A(c, c)) and lie in [0, 1]; sd_index^2 = w' K0; the group means of the
// weights are the result file's first two columns.
TEST_P(CandidateFixture, AgreesWithTheReferenceAndTheResultFile) {
  const fs::path dir = kCases / GetParam();
  reference::Input in;
  in.parameter_lines = parse_table<double>(read_file(dir / "GParameter.csv"));
  in.pedigree_lines = parse_table<int>(read_file(dir / "Pedigree&Record.csv"));
  const reference::Output ref = reference::compute(in);
  const int nt = static_cast<int>(in.parameter_lines.size());

  TempDir tmp;
  for (const char* name : {"GParameter.csv", "Pedigree&Record.csv"}) fs::copy_file(dir / name, tmp / name);
  const RunResult r = run_in(tmp.path(), "--candidates cands.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), read_file(dir / "expected.csv"));
  const std::vector<Row> rows = read_rows(read_file(tmp / "cands.csv"), nt);
  ASSERT_EQ(rows.size(), ref.candidates.size());

  std::vector<double> sum[2] = {std::vector<double>(nt, 0.0), std::vector<double>(nt, 0.0)};
  int count[2] = {0, 0};
  for (std::size_t b = 0; b < rows.size(); ++b) {
    const Row& row = rows[b];
    const reference::Candidate& c = ref.candidates[b];
    EXPECT_EQ(row.line, c.line);
    EXPECT_EQ(row.id, std::to_string(in.pedigree_lines[c.line - 1][0]));
    EXPECT_EQ(row.group, in.pedigree_lines[c.line - 1][4] == 1 ? 1 : 2);
    double wk = 0.0;
    for (int t = 0; t < nt; ++t) {
      EXPECT_EQ(row.w[t], c.w[t]) << "line " << row.line << " trait " << t + 1;
      const double g = in.parameter_lines[t][2 + t];
      const double expected = c.lhs(t, t) / (g * c.a_cc);
      EXPECT_NEAR(row.rel[t], expected, 1e-13 * std::fabs(expected)) << "line " << row.line;
      EXPECT_GE(row.rel[t], 0.0);
      EXPECT_LE(row.rel[t], 1.0);
      wk += row.w[t] * in.parameter_lines[t][0];
      // The expected response per unit of selection intensity: K0 / sd_index.
      EXPECT_EQ(row.response[t], in.parameter_lines[t][0] / row.sd) << "line " << row.line;
    }
    EXPECT_EQ(row.source_line, "") << "no pedigree ids file";
    EXPECT_NEAR(row.sd * row.sd, wk, 1e-9 * std::fabs(wk)) << "line " << row.line;
    const int g = row.group - 1;
    for (int t = 0; t < nt; ++t) sum[g][t] = sum[g][t] + row.w[t];
    ++count[g];
  }
  const auto result = result_values(read_file(tmp / "Weighted_value.csv"));
  for (int t = 0; t < nt; ++t)
    for (int g = 0; g < 2; ++g) {
      if (count[g] == 0) {
        EXPECT_TRUE(std::isnan(result[t][g]));
        continue;
      }
      const double mean = sum[g][t] / count[g];
      EXPECT_NEAR(result[t][g], mean, 1e-15 * std::fabs(mean)) << "trait " << t + 1 << " group " << g + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CandidateFixture,
                         ::testing::Values("two_traits", "one_trait", "sparse_trait", "one_group", "inbred"),
                         [](const auto& info) { return info.param; });

// The sparse path gives the same list to 1e-9 relative.
TEST(CandidateFile, SparsePathGivesTheSameList) {
  herd::Shape shape{3, 700, 5, 0.2, 0.2, 21};
  TempDir tmp;
  std::mt19937_64 rng(shape.seed);
  write_file(tmp / "GParameter.csv", herd::parameter_file(shape, rng));
  write_file(tmp / "Pedigree&Record.csv", herd::pedigree_file(shape, rng));
  ASSERT_EQ(run_in(tmp.path(), "--candidates dense.csv").status, 0);
  ASSERT_EQ(run_in(tmp.path(), "--sparse --candidates=sparse.csv").status, 0);
  const auto dense = read_rows(read_file(tmp / "dense.csv"), 3), sparse = read_rows(read_file(tmp / "sparse.csv"), 3);
  ASSERT_EQ(dense.size(), sparse.size());
  ASSERT_EQ(dense.size(), 140u);
  const auto close = [](double a, double b) { return std::fabs(a - b) <= 1e-9 * std::fabs(b); };
  for (std::size_t b = 0; b < dense.size(); ++b) {
    EXPECT_EQ(sparse[b].line, dense[b].line);
    EXPECT_EQ(sparse[b].id, dense[b].id);
    EXPECT_EQ(sparse[b].group, dense[b].group);
    for (int t = 0; t < 3; ++t) {
      EXPECT_TRUE(close(sparse[b].w[t], dense[b].w[t])) << sparse[b].w[t] << " " << dense[b].w[t];
      EXPECT_TRUE(close(sparse[b].rel[t], dense[b].rel[t])) << sparse[b].rel[t] << " " << dense[b].rel[t];
    }
    EXPECT_TRUE(close(sparse[b].sd, dense[b].sd));
  }
}

struct IdCase {
  const char* name;
  std::string ids_file;  // "<missing>": none, "<folder>": a folder; "{fp}" stands for the pedigree's fingerprint line
  std::vector<std::string> expected;
  std::string warning;  // fragment of standard error, "" = nothing
  std::vector<std::string> sources = {"", ""};  // the candidates' source_line
};

void PrintTo(const IdCase& c, std::ostream* os) { *os << c.name; }

class CandidateIds : public ::testing::TestWithParam<IdCase> {};

// The identifiers of Pedigree_ids.csv are used only when its fingerprint
// line names this very pedigree file; anything else, an unreadable file
// included, is a warning (before anything is computed) and field 1 is used.
TEST_P(CandidateIds, ComeFromThePedigreeIdsFileWhenItMatches) {
  const IdCase& c = GetParam();
  TempDir tmp;
  write_file(tmp / "GParameter.csv", kTwo);
  write_file(tmp / "Pedigree&Record.csv", kPedigree);
  std::string ids = c.ids_file;
  for (std::size_t at; (at = ids.find("{fp}")) != std::string::npos;)
    ids.replace(at, 4, "0," + pedigree_fingerprint(kPedigree) + ",");
  if (ids == "<folder>")
    fs::create_directory(tmp / "Pedigree_ids.csv");
  else if (ids != "<missing>")
    write_file(tmp / "Pedigree_ids.csv", ids);
  const RunResult r = run_in(tmp.path(), "--candidates out.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto rows = read_rows(read_file(tmp / "out.csv"), 2);
  ASSERT_EQ(rows.size(), c.expected.size());
  for (std::size_t b = 0; b < rows.size(); ++b) {
    EXPECT_EQ(rows[b].id, c.expected[b]);
    EXPECT_EQ(rows[b].source_line, c.sources[b]);
  }
  if (c.warning.empty()) {
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("; the candidate file and the picture show field 1 of Pedigree&Record.csv as the id instead"),
              std::string::npos)
        << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CandidateIds,
    ::testing::Values(
        IdCase{"without_ids_file", "<missing>", {"1002", "1003"}, ""},
        IdCase{"matching_crlf", "line,id,added\r\n{fp}\r\n1,DK-0141,1\r\n2,S-7,0\r\n3,DE0912,0\r\n", {"S-7", "DE0912"}, ""},
        IdCase{"matching_plain", "line,id,added\n{fp}\n1,A1,0\n2,B2,0\n3,C3,0\n", {"B2", "C3"}, ""},
        // The line in the file given to prepare; none for an added parent
        // or where the field is no line number.
        IdCase{"source_lines", "line,id,added,source_line\n{fp},\n1,A1,0,9\n2,B2,0,4\n3,C3,0,12\n", {"B2", "C3"}, "",
               {"4", "12"}},
        IdCase{"source_lines_unknown", "line,id,added,source_line\n{fp},\n1,A1,0,1\n2,B2,1,4\n3,C3,0,x\n",
               {"B2", "C3"}, "", {"", ""}},
        // A later column is left alone, and so is an apostrophe that keeps a
        // spreadsheet from taking an identifier for a formula.
        IdCase{"further_column_and_formula_guard",
               "line,id,added,note\n{fp}\n1,A1,0,x\n2,'=B2,0,y\n3,'+C3,0,\n",
               {"'=B2", "'+C3"},
               ""},
        IdCase{"no_fingerprint", "line,id,added\n1,A1,0\n2,B2,0\n3,C3,0\n", {"1002", "1003"},
               "warning: Pedigree_ids.csv line 2: the file has no fingerprint of Pedigree&Record.csv (line 0)"},
        IdCase{"fingerprint_of_another_pedigree",
               "line,id,added\n0,fingerprint of Pedigree&Record.csv (3 lines): 0123456789abcdef,\n1,A1,0\n2,B2,0\n3,C3,0\n",
               {"1002", "1003"},
               "warning: Pedigree_ids.csv: it belongs to another Pedigree&Record.csv (its fingerprint line says "
               "\"fingerprint of Pedigree&Record.csv (3 lines): 0123456789abcdef\", but the file is"},
        IdCase{"too_few_lines", "line,id,added\n{fp}\n1,A1,0\n2,B2,0\n", {"1002", "1003"},
               "warning: Pedigree_ids.csv: it lists 2 lines, but Pedigree&Record.csv has 3"},
        IdCase{"no_header", "{fp}\n1,A1,0\n2,B2,0\n3,C3,0\n", {"1002", "1003"},
               "warning: Pedigree_ids.csv line 1: the first line is not the header line,id,added"},
        IdCase{"lines_out_of_order", "line,id,added\n{fp}\n1,A1,0\n3,C3,0\n2,B2,0\n", {"1002", "1003"},
               "Pedigree_ids.csv line 4: the line number is not 2"},
        IdCase{"nul_byte", "line,id,added\n{fp}\n1,A1,0\n2,B\0002,0\n3,C3,0\n"s, {"1002", "1003"},
               "warning: Pedigree_ids.csv line 4: the file holds a NUL byte"},
        IdCase{"a_folder", "<folder>", {"1002", "1003"}, "warning: Pedigree_ids.csv: is a folder, not a file"}),
    [](const auto& info) { return std::string(info.param.name); });

// Quotes in an identifier are doubled and the field quoted, so that a CSV
// reader gets the identifier back; one that a spreadsheet would take for a
// formula gets an apostrophe (field 1 of the pedigree file, a whole number,
// never does).
TEST(CandidateFile, QuotesAnIdentifierThatNeedsIt) {
  TempDir tmp;
  write_file(tmp / "GParameter.csv", kTwo);
  write_file(tmp / "Pedigree&Record.csv", kPedigree);
  write_file(tmp / "Pedigree_ids.csv",
             "line,id,added\n0," + pedigree_fingerprint(kPedigree) + ",\n1,A,0\n2,say \"hi\",0\n3,@C3,0\n");
  ASSERT_EQ(run_in(tmp.path(), "--candidates out.csv").status, 0);
  const std::string text = read_file(tmp / "out.csv");
  EXPECT_NE(text.find("\n2,\"say \"\"hi\"\"\",2,"), std::string::npos) << text;
  EXPECT_NE(text.find("\n3,'@C3,1,"), std::string::npos) << text;
  TempDir numbers;
  write_file(numbers / "GParameter.csv", kTwo);
  write_file(numbers / "Pedigree&Record.csv", "-7,0,0,0,2,1,1\n-8,0,0,1,2,1,1\n+9,1,2,1,1,1,0\n");
  ASSERT_EQ(run_in(numbers.path(), "--candidates out.csv").status, 0);
  const std::string plain = read_file(numbers / "out.csv");
  EXPECT_NE(plain.find("\n2,-8,2,"), std::string::npos) << plain;
  EXPECT_NE(plain.find("\n3,9,1,"), std::string::npos) << plain;
}

struct Refusal {
  const char* name;
  std::string file;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class RefusedName : public ::testing::TestWithParam<Refusal> {};

// Refused before anything is computed or printed: exit status 2, nothing on
// standard output, every file as it was.
TEST_P(RefusedName, StopsBeforeAnyComputation) {
  TempDir tmp;
  write_file(tmp / "GParameter.csv", kTwo);
  write_file(tmp / "Pedigree&Record.csv", kPedigree);
  write_file(tmp / "Weighted_value.csv", "earlier\n");
  write_file(tmp / "Pedigree_ids.csv", "line,id,added\n1,A1,0\n2,B2,0\n3,C3,0\n");
  fs::create_hard_link(tmp / "GParameter.csv", tmp / "hard-link.csv");
  fs::create_symlink("Weighted_value.csv", tmp / "soft-link.csv");
  fs::create_directory(tmp / "folder");
  const auto before = stray_files(tmp.path());
  const RunResult r = run_in(tmp.path(), "--candidates '" + GetParam().file + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("--candidates " + GetParam().file + ": "), std::string::npos) << r.err;
  EXPECT_EQ(read_file(tmp / "GParameter.csv"), kTwo);
  EXPECT_EQ(read_file(tmp / "Weighted_value.csv"), "earlier\n");
  EXPECT_EQ(stray_files(tmp.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedName,
                         ::testing::Values(Refusal{"parameter_file", "GParameter.csv"},
                                           Refusal{"pedigree_file", "./Pedigree&Record.csv"},
                                           Refusal{"result_file", "Weighted_value.csv"},
                                           Refusal{"ids_file", "folder/../Pedigree_ids.csv"},
                                           Refusal{"hard_link_to_an_input", "hard-link.csv"},
                                           Refusal{"link_to_the_result", "soft-link.csv"},
                                           Refusal{"a_folder", "folder"},
                                           Refusal{"missing_folder", "missing/out.csv"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A run that stops writes no candidate file and leaves an earlier one alone.
TEST(CandidateFile, AFailedRunLeavesItAlone) {
  TempDir tmp;
  write_file(tmp / "GParameter.csv", kTwo);
  write_file(tmp / "Pedigree&Record.csv", "1,0,0,1,1,1,1\n2,0,0,1,2,0,0\n");
  write_file(tmp / "out.csv", "earlier\n");
  for (const char* args : {"--candidates out.csv", "--sparse --candidates out.csv"}) {
    const RunResult r = run_in(tmp.path(), args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(read_file(tmp / "out.csv"), "earlier\n") << args;
    EXPECT_EQ(stray_files(tmp.path()), std::vector<std::string>{"out.csv"}) << args;
  }
}

}  // namespace
}  // namespace gw
