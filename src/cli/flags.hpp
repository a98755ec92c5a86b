// The program's command line: one table of flags, from which the usage
// text, the manual page and the parser all come.
#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

enum class Command { run, prepare };

struct Flag {
  std::string_view name;   // "--sparse"
  std::string_view value;  // the placeholder of its value ("FILE"); empty for a switch
  // The command it belongs to; both: either (--help, --version).
  enum class Scope { run, prepare, both } scope;
  std::string_view help;  // one paragraph, wrapped where it is shown
};

// Every flag, in the order the usage text and the manual page list them.
std::span<const Flag> flag_table();

struct CommandLine {
  Command command = Command::run;
  bool help = false, version = false;
  std::map<std::string, std::string, std::less<>> values;  // flag name -> value ("" for a switch)
  std::vector<std::string> operands;                        // prepare's FILE

  bool has(std::string_view flag) const { return values.find(flag) != values.end(); }
  std::string value(std::string_view flag) const;
};

// Reads argv. --help and --version are taken wherever they stand (for
// prepare, before a "--" that ends its options). A flag may be repeated
// with the same value; the same flag with two values, a flag that takes a
// value without one or with another flag in its place ("--candidates
// --sparse"), an unknown flag and an operand where none belongs are
// refused with FatalError (exit status 2) whose text is the problem alone
// (the caller adds the usage text).
CommandLine parse_command_line(int argc, const char* const* argv);

// The usage text (--help, and after a usage error).
void write_usage(std::ostream& os);

// The manual page gainweights(1), in roff.
void write_man_page(std::ostream& os, std::string_view version);

}  // namespace gw
