// The fields of a pedigree with text identifiers, as prepare reads them:
// how a line is split, which identifiers stand for an unknown parent, and
// the names of the fields in messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

// How the fields of a line are separated, taken from the first data line:
// - free: a run of blanks and tabs separates, and so does a comma with
//   blanks around it; a comma at the start of a line or right after another
//   comma ends an empty field, a comma at the end of a line makes none;
// - semicolon (the first data line holds a semicolon, as the CSV of many
//   spreadsheets does): a semicolon acts as a comma does;
// - tab (the first data line holds a tab but no comma or semicolon, as a
//   spreadsheet's tab-separated export): every tab separates one field from
//   the next, so that two tabs in a row enclose an empty field (a cell left
//   empty), and a tab at the end of a line ends an empty last field; blanks
//   around and between fields separate as in free.
// In each, blanks that are not ASCII (U+00A0 and the other Unicode spaces,
// zero-width spaces, U+FEFF) at either end of a field are dropped.
enum class Separator { free, semicolon, tab };

// The separator of a file whose first data line is `line`.
Separator separator_of(std::string_view line);

// Fields that had blanks that are not ASCII at an end: how many, and the
// first of them.
struct Split {
  std::int64_t trimmed = 0;
  std::size_t first = 0;
};

// Splits `line` into fields as `sep` says.
Split split_fields(std::string_view line, Separator sep, std::vector<std::string_view>& fields);

// `field` without blanks that are not ASCII at either end; `trimmed` tells
// whether there were any.
std::string_view trim_wide_blanks(std::string_view field, bool& trimmed);

// One of the codes for an unknown parent: 0, NA, ., * or an empty field.
bool is_unknown(std::string_view field);

// A parent's identifier that looks like a code for an unknown parent without
// being one of the codes: no letter or digit at all (-, ?, --), only zeros
// (00, 0.0), or a word for "unknown" in any case (na, n/a, null, none, ...).
bool looks_unknown(std::string_view id);

// Digits with an optional sign: an integer, if perhaps out of range.
bool looks_integer(std::string_view s);

// The name of 0-based field j > 0 in messages ("sire", "candidate flag", ...).
std::string field_name(std::size_t j);

// "FILE line N".
std::string where(const std::string& name, std::int64_t line);

// "3, 7, 12" and ", ..." when `total` is more than the lines given.
std::string line_list(const std::vector<std::int64_t>& lines, std::int64_t total);

// Appends the decimal digits of `value`.
void append_number(std::string& s, std::int64_t value);

}  // namespace gw
