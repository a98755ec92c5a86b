// The two input files: loading, line counting and the free-form value syntax.
//
// Values are separated by a comma, by blanks or tabs, or by a comma with
// blanks or tabs around it. Two commas with only blanks between them stand
// for an empty value (the destination keeps its content), and so does a comma
// at the start of a line, while a comma at the end of a line makes no empty
// value; "r*v" stands for r copies of v and "r*" for r empty values; a slash
// ends the read in progress.
// A read takes as many values as it has destinations and crosses line ends as
// needed; values left over on its last line are ignored, and the next read
// starts on the following line. Line ends are LF or CR LF.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace gw {

inline constexpr const char* kParameterFileName = "GParameter.csv";
inline constexpr const char* kPedigreeFileName = "Pedigree&Record.csv";
// Written by prepare beside the pedigree file: the original identifier of
// every line.
inline constexpr const char* kPedigreeIdsFileName = "Pedigree_ids.csv";

// The whole text of an input file, read at once and closed again.
struct InputText {
  std::string name;  // the file name as shown in diagnostics
  std::string text;
};

// Reads `name` in folder `dir`. A file that does not exist is created empty
// and read as empty. Throws FatalError (exit status 2) when the file cannot
// be read, is not a regular file or is not plain text (NUL and other control
// characters, bytes that are not UTF-8, a CR that does not end a line), and
// (exit status 3) when it cannot be created or its text does not fit in the
// available memory. A byte order mark at the start is dropped.
InputText load_input_file(const std::filesystem::path& dir, const std::string& name);

// The same for a file that must not be created: nothing when `name` does not
// exist (a dangling link included), its text otherwise, with the same checks.
std::optional<InputText> load_existing_file(const std::filesystem::path& dir, const std::string& name);

// The integer `s` stands for (an optional sign and decimal digits, within the
// signed 32-bit range), or nothing.
std::optional<std::int32_t> parse_int32(std::string_view s);

// Number of lines from the start of the text to its end: a last line without
// a line end counts, an empty text has 0 lines.
std::int64_t count_lines(std::string_view text);

// Reads values from the text of one input file, one read at a time.
class ValueReader {
 public:
  ValueReader(std::string file_name, std::string_view text);

  // One read of reals, in order, into `values`. A destination left unfilled
  // by an empty value or a slash keeps its content. `what` names the record
  // being read in the end-of-file diagnostic ("trait line 2").
  // Throws FatalError (exit status 2) on a malformed value, on a line longer
  // than 1 MiB, or when the read runs past the end of the text.
  void read_reals(std::span<double> values, std::string_view what);

  // The same for integers (optional sign and decimal digits, 32-bit signed).
  void read_integers(std::span<std::int32_t> values, std::string_view what);

  // 1-based number of the line on which the last read started.
  std::int64_t last_read_line() const { return last_read_line_; }

  // The line on which the last read ended (its text without the line end,
  // and its number), and how many values it holds after those the read
  // took, which the read ignored (a repeat r*v counts r; 0 after a slash).
  std::string_view last_line() const { return last_line_; }
  std::int64_t last_line_number() const { return next_line_ - 1; }
  std::int64_t leftover_values() const { return leftover_; }

 private:
  std::string file_name_;
  std::string_view text_;
  std::size_t pos_ = 0;          // start of the next unread line
  std::int64_t next_line_ = 1;   // its 1-based number
  std::int64_t last_read_line_ = 0;
  std::string_view last_line_;
  std::int64_t leftover_ = 0;

  template <class T>
  void read_values(std::span<T> values, std::string_view what);
};

}  // namespace gw
