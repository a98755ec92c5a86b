// The pedigree ids file that prepare writes beside the pedigree file, and
// identifiers as the program writes them into CSV files.
//
// The file is CSV: the header "line,id,added,source_line"; then the
// fingerprint line "0,fingerprint of Pedigree&Record.csv (N lines):
// HHHHHHHHHHHHHHHH,,", which names the pedigree file it belongs to by its
// line count and the 64-bit FNV-1a checksum of its bytes (16 hexadecimal
// digits); then one line per line of the pedigree file: its number, the
// original identifier, 1 for an added parent and otherwise 0, and the
// animal's line in the file given to prepare (empty for an added parent).
// The fingerprint line is an ordinary row of line 0, which is no line of
// the pedigree file. Readers take the first three fields of each line, the
// fourth when the header names it source_line (files of earlier versions
// have three), and leave any further ones alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

// The 64-bit FNV-1a checksum of `bytes`.
std::uint64_t fnv1a64(std::string_view bytes);

// The text of the fingerprint field for a pedigree file of text
// `pedigree_text` (without commas, semicolons or quotes, so that it stays
// one field for any CSV reader).
std::string pedigree_fingerprint(std::string_view pedigree_text);

// The text of the pedigree ids file for a pedigree file of text
// `pedigree_text` whose line k + 1 is the animal `ids[k]`, from line
// `source_lines[k]` of the file given to prepare (0 for an added parent).
std::string pedigree_ids_text(std::span<const std::string_view> ids, std::span<const std::int64_t> source_lines,
                              std::string_view pedigree_text);

// Appends identifier `id` as a field of a CSV file the program writes. A
// spreadsheet would take a field that starts with =, +, - or @ for a
// formula: such an identifier (other than a plain whole number such as -5)
// gets a leading apostrophe, and so does one that starts with an apostrophe
// itself, so that the original comes back by dropping one (see
// identifier_from_field). An identifier that holds a comma, a double quote,
// a line end or blanks at either end is then written in double quotes.
void append_identifier(std::string& out, std::string_view id);

// The identifier that append_identifier wrote as the unquoted field `field`.
std::string_view identifier_from_field(std::string_view field);

struct PedigreeIds {
  std::vector<std::string> ids;           // one per animal, in line order
  std::vector<std::string> source_lines;  // its line in the file given to prepare; empty when unknown
};

// The identifiers of the pedigree ids file in `dir`, one per animal in line
// order, and their source lines, when the file exists, its fingerprint line matches
// `pedigree_text` (the pedigree file's text) and it lists exactly `nanim`
// lines "k,ID,0" or "k,ID,1" with k = 1, 2, ... in order. Nothing when the
// file does not exist, and nothing with `warning` set to the reason when it
// exists but does not belong to the pedigree file or cannot be read (a
// folder, an unreadable file or one that is not text are reasons too, never
// errors).
std::optional<PedigreeIds> read_pedigree_ids(const std::filesystem::path& dir,
                                                          std::string_view pedigree_text, std::int64_t nanim,
                                                          std::string& warning);

}  // namespace gw
