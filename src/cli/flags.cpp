#include "cli/flags.hpp"

#include <sstream>
#include <vector>

#include "base/fatal.hpp"

namespace gw {

namespace {

constexpr Flag kFlags[] = {
    {"--sparse", "", Flag::Scope::run,
     "compute each candidate's system from the sparse mixed-model equations (a sparse Cholesky factor and its "
     "selected inverse) instead of the dense inverse of the record covariance matrix. For large populations: "
     "memory and time grow with the factor's size, not with the square and cube of animals x traits. The results "
     "agree with the default path to rounding (1e-9 relative or better), not bit for bit, and are the same from "
     "run to run for a given number of threads (OMP_NUM_THREADS). The default path gives the same bits for any "
     "number of threads."},
    {"--distributed", "", Flag::Scope::run,
     "with --sparse: factorise the mixed-model equations with MUMPS over the MPI ranks the program is started on "
     "(mpirun -np N gainweights --sparse --distributed, on one machine or several with a host file); rank 0 reads "
     "and writes every file, the others only compute. Without mpirun it runs as one rank. The results agree with "
     "--sparse to rounding and are the same from run to run for a given number of ranks and threads."},
    {"--out-of-core", "DIR", Flag::Scope::run,
     "with --distributed: every rank keeps its part of the factor in files in DIR (an existing folder, the same "
     "path on every host) instead of memory."},
    {"--candidates", "FILE", Flag::Scope::run,
     "also write FILE (CSV): for every candidate its line, its identifier (from Pedigree_ids.csv when that file "
     "belongs to the pedigree, else field 1), its group, its weights w_1 ... (17 significant digits), the "
     "reliability of each of its predicted breeding values rel_1 ..., the standard deviation of its index, "
     "sd_index, why its weights are not determined where they are not, the expected response of each trait per "
     "unit of selection intensity on its index, response_1 ... (K0 / sd_index), and its line in the file given to "
     "prepare, source_line (from Pedigree_ids.csv). Written only after a complete run, together with the result "
     "file; never over an input file, the result file or anything but a regular file. FILE - writes the list to "
     "standard output (the console report then goes to standard error)."},
    {"--trait-names", "NAMES", Flag::Scope::run,
     "name the traits in the candidate file's columns and the picture's panels: one name per line of "
     "GParameter.csv, separated by commas (gain,backfat,born_alive gives w_gain, rel_gain, response_gain, ...)."},
    {"--plot", "FILE", Flag::Scope::run,
     "also draw FILE, a picture ending in .png, .svg or .pdf: one panel per trait with each candidate's weight "
     "against the reliability of its predicted breeding value, coloured by group, the two group averages as "
     "lines, and the candidates farthest from their group's average labelled by identifier. Written with the "
     "result file, like the candidate file."},
    {"--skip-undetermined", "", Flag::Scope::run,
     "leave candidates whose weights are not determined (the records tell nothing about some trait of theirs "
     "beyond what they tell about the others) out of the group averages, with a warning that lists them, instead "
     "of stopping; in the candidate file they have no weights and a column that says why."},
    {"--header", "", Flag::Scope::prepare, "skip the first line of FILE."},
    {"--force", "", Flag::Scope::prepare, "replace existing Pedigree&Record.csv and Pedigree_ids.csv."},
    {"--help", "", Flag::Scope::both, "show this text and stop (anywhere on the command line)."},
    {"--version", "", Flag::Scope::both, "show the program's version and stop."},
};

constexpr std::string_view kRunText =
    "Run in a folder that holds GParameter.csv (one line per trait: target value, phenotypic variance, one row "
    "of the genetic/residual covariance table) and Pedigree&Record.csv (one line per animal: identifier, parents "
    "by line position, candidate flag, group flag, one record flag per trait). Computes the index weights of every "
    "candidate, their averages in the two groups and overall, and a reference weight vector, and writes them to "
    "Weighted_value.csv, one line per trait. A missing input file is created empty.";

constexpr std::string_view kPrepareText =
    "prepare writes Pedigree&Record.csv and Pedigree_ids.csv in the current folder from FILE, a pedigree with "
    "text identifiers in any order: one line per animal with its identifier, sire, dam, then candidate flag, "
    "group flag and one record flag per trait (separated by commas, semicolons, blanks or tabs; 0, NA, ., * or "
    "an empty field for an unknown parent; lines starting with # and blank lines skipped). Parents without a "
    "line are added as founders; every parent comes before its offspring. Every fault is listed and nothing is "
    "written while there is one.";

constexpr std::string_view kExitText =
    "0 success; 1 no result can be computed (singular matrix, no records, a trait without records, no "
    "candidate, candidates whose weights are not determined, iteration limit, a candidate system that "
    "overflows, matrix not positive definite); 2 bad input or usage; 3 out of memory or a file that cannot be "
    "written. SIGINT and SIGTERM remove the temporary files and end the program by the signal (status 130 or "
    "143 in a shell); the files written before stay as they were.";

constexpr std::string_view kEnvironmentText =
    "OMP_NUM_THREADS sets the number of threads. GAINWEIGHTS_KERNELS=portable|sse2|avx2|avx512|neon forces a set "
    "of fast kernels (for tests and measurements; every set gives the same bits).";

// `text` in lines of at most `width` columns, each after `indent`.
std::string wrapped(std::string_view text, std::size_t indent, std::size_t width, std::size_t first_column = 0) {
  std::string out, line(first_column < indent ? indent - first_column : 0, ' ');
  std::size_t column = std::max(first_column, indent);
  bool empty = true;
  std::istringstream words{std::string(text)};
  for (std::string word; words >> word;) {
    if (!empty && column + 1 + word.size() > width) {
      out += line + "\n";
      line = std::string(indent, ' ');
      column = indent;
      empty = true;
    }
    if (!empty) {
      line += ' ';
      ++column;
    }
    line += word;
    column += word.size();
    empty = false;
  }
  return out + line + "\n";
}

std::string synopsis(Flag::Scope scope) {
  std::string s;
  for (const Flag& f : kFlags) {
    if (f.scope != scope) continue;
    s.append(" [").append(f.name);
    if (!f.value.empty()) s.append(" ").append(f.value);
    s.append("]");
  }
  return s;
}

// `lead` and the bracketed flags of `scope`, then `tail`, in lines of at most
// `width` columns; a flag and its value stay on one line, and continuation
// lines start under the first flag.
std::string synopsis_lines(Flag::Scope scope, std::string_view lead, std::string_view tail, std::size_t width) {
  std::vector<std::string> items;
  for (const Flag& f : kFlags) {
    if (f.scope != scope) continue;
    std::string item = "[";
    item.append(f.name);
    if (!f.value.empty()) item.append(" ").append(f.value);
    items.push_back(item.append("]"));
  }
  if (!tail.empty()) items.emplace_back(tail);
  std::string out, line(lead);
  for (const std::string& item : items) {
    if (line.size() > lead.size() && line.size() + 1 + item.size() > width) {
      out.append(line).append("\n");
      line.assign(lead.size(), ' ');
    }
    line.append(" ").append(item);
  }
  return out.append(line).append("\n");
}

// The roff text of `text`, with its leading dots and backslashes escaped.
std::string roff(std::string_view text) {
  std::string s;
  for (const char c : text) {
    if (c == '\\') s += "\\e";
    else if (c == '-') s += "\\-";
    else s += c;
  }
  if (!s.empty() && (s[0] == '.' || s[0] == '\'')) s = "\\&" + s;
  return s;
}

[[noreturn]] void usage_fault(const std::string& problem) { throw FatalError::diagnostic(problem, ExitStatus::bad_input); }

}  // namespace

std::span<const Flag> flag_table() { return kFlags; }

std::string CommandLine::value(std::string_view flag) const {
  const auto it = values.find(flag);
  return it == values.end() ? std::string() : it->second;
}

CommandLine parse_command_line(int argc, const char* const* argv) {
  CommandLine cl;
  int first = 1;
  if (argc > 1 && std::string_view(argv[1]) == "prepare") {
    cl.command = Command::prepare;
    first = 2;
  }
  const auto find = [&](std::string_view name) -> const Flag* {
    for (const Flag& f : kFlags)
      if (f.name == name && (f.scope == Flag::Scope::both ||
                             (f.scope == Flag::Scope::run) == (cl.command == Command::run)))
        return &f;
    return nullptr;
  };
  const std::string where = cl.command == Command::prepare ? "prepare: " : "";
  bool options_end = false;
  // --help and --version first, so that they answer whatever else stands.
  for (int i = first; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (cl.command == Command::prepare && arg == "--") break;
    cl.help = cl.help || arg == "--help" || arg == "-h";
    cl.version = cl.version || arg == "--version";
  }
  if (cl.help || cl.version) return cl;
  for (int i = first; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_end && cl.command == Command::prepare && arg == "--") {
      options_end = true;
      continue;
    }
    if (options_end || arg.size() < 2 || arg[0] != '-' || (cl.command == Command::prepare && arg == "-")) {
      if (cl.command == Command::run) usage_fault("unexpected argument '" + std::string(arg) + "'");
      cl.operands.emplace_back(arg);
      continue;
    }
    const std::size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    const Flag* flag = find(name);
    if (!flag)
      usage_fault(where + (cl.command == Command::prepare ? "unknown option '" : "unexpected argument '") +
                  std::string(arg) + "'");
    std::string value;
    if (flag->value.empty()) {
      if (eq != std::string_view::npos) usage_fault(where + std::string(name) + " takes no value");
    } else {
      const std::string need = std::string(name) + " needs a " + std::string(flag->value) + " name";
      if (eq != std::string_view::npos) {
        value = arg.substr(eq + 1);
      } else {
        if (i + 1 == argc) usage_fault(where + need);
        value = argv[++i];
      }
      if (value.empty()) usage_fault(where + need);
      if (value.starts_with("--"))
        usage_fault(where + need + ", not the option '" + value + "' (a file whose name starts with -- is written as ./" +
                    value + ")");
    }
    const auto [it, fresh] = cl.values.try_emplace(std::string(name), value);
    if (!fresh && it->second != value)
      usage_fault(where + std::string(name) + " is given twice ('" + it->second + "' and '" + value + "'); name one " +
                  std::string(flag->value));
  }
  if (cl.command == Command::prepare) {
    if (cl.operands.empty() || cl.operands[0].empty()) usage_fault("prepare: name the pedigree FILE to prepare");
    if (cl.operands.size() > 1)
      usage_fault("prepare: more than one FILE ('" + cl.operands[0] + "' and '" + cl.operands[1] + "')");
  }
  return cl;
}

void write_usage(std::ostream& os) {
  constexpr std::size_t kWidth = 79, kIndent = 13;
  os << synopsis_lines(Flag::Scope::run, "Usage: gainweights", "", kWidth)
     << synopsis_lines(Flag::Scope::prepare, "       gainweights prepare", "FILE", kWidth)
     << "       gainweights --help | --version\n\n"
     << wrapped(kRunText, 0, kWidth) << "\n";
  const auto list = [&](Flag::Scope scope) {
    for (const Flag& f : kFlags) {
      if (f.scope != scope) continue;
      std::string head = "  ";
      head.append(f.name);
      if (!f.value.empty()) head.append(" ").append(f.value);
      if (head.size() + 1 < kIndent) {
        head.resize(kIndent - 1, ' ');
        os << head << wrapped(f.help, kIndent, kWidth, kIndent - 1);
      } else {
        os << head << "\n" << wrapped(f.help, kIndent, kWidth);
      }
    }
  };
  list(Flag::Scope::run);
  os << "\n" << wrapped(kPrepareText, 0, kWidth);
  list(Flag::Scope::prepare);
  os << "\n";
  list(Flag::Scope::both);
  os << "\n" << wrapped("Exit status: " + std::string(kExitText), 0, kWidth) << "\n"
     << wrapped("Environment: " + std::string(kEnvironmentText), 0, kWidth);
}

void write_man_page(std::ostream& os, std::string_view version) {
  os << ".TH GAINWEIGHTS 1 \"\" \"gainweights " << version << "\" \"User Commands\"\n"
     << ".SH NAME\ngainweights \\- index weights of selection candidates for desired genetic gains\n"
     << ".SH SYNOPSIS\n.nf\n"
     << "\\fBgainweights\\fR" << roff(synopsis_lines(Flag::Scope::run, "gainweights", "", 72).substr(11))
     << "\\fBgainweights prepare\\fR"
     << roff(synopsis_lines(Flag::Scope::prepare, "gainweights prepare", "FILE", 72).substr(19))
     << "\\fBgainweights\\fR \\-\\-help | \\-\\-version\n.fi\n"
     << ".SH DESCRIPTION\n" << roff(kRunText) << "\n";
  const auto list = [&](Flag::Scope scope) {
    for (const Flag& f : kFlags) {
      if (f.scope != scope) continue;
      os << ".TP\n.B " << roff(f.name);
      if (!f.value.empty()) os << " \\fI" << roff(f.value) << "\\fR";
      os << "\n" << roff(f.help) << "\n";
    }
  };
  os << ".SH OPTIONS\n";
  list(Flag::Scope::run);
  list(Flag::Scope::both);
  os << ".SH PREPARE\n" << roff(kPrepareText) << "\n";
  list(Flag::Scope::prepare);
  os << ".SH EXIT STATUS\n" << roff(kExitText) << "\n"
     << ".SH ENVIRONMENT\n" << roff(kEnvironmentText) << "\n"
     << ".SH FILES\n.TP\n.B GParameter.csv\nthe genetic parameters, one line per trait\n"
     << ".TP\n.B Pedigree&Record.csv\nthe animals, one line each\n"
     << ".TP\n.B Weighted_value.csv\nthe result, one line per trait\n"
     << ".TP\n.B Pedigree_ids.csv\nthe identifiers that prepare numbered\n"
     << ".SH SEE ALSO\nThe user guide, docs/user-guide.md in the program's sources.\n";
}

}  // namespace gw
