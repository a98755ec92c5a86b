// Pedigrees as breeders keep them, turned into the pedigree file of a run.
//
// The source file has one line per animal: its identifier, the sire's and
// the dam's identifiers, then the animal's remaining fields of the pedigree
// file (candidate flag, group flag, one record flag per trait). Identifiers
// are any text without separators; 0, NA, ., * and an empty field stand for
// an unknown parent. Lines come in any order, and a parent need not have a
// line of its own. The separators are those of the first data line's kind
// (see Separator).
//
// Preparing numbers the animals so that every parent comes before its
// offspring: by generation number (0 without known parents, otherwise one
// more than the larger generation number of the parents), then by first
// appearance in the source (an animal's own line; a parent without a line
// where it is first named, the sire before the dam). A parent without a line
// of its own gets one, with unknown parents and every further field 0.
//
// Every fault of the source is collected, with the identifiers and the line
// numbers involved (a fault of one kind on many lines once, with a count);
// nothing is written while there is one. What a spreadsheet or a careless
// hand makes of a pedigree gets a warning: codes for an unknown parent that
// are not one (-, ?, null, 00, ...), dams with more offspring than a dam can
// have, blanks that are not ASCII around identifiers, comment lines that
// read as animal lines, a header line that reads as one, flags that are not
// 0 or 1, traits without records.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pedigree/fields.hpp"

namespace gw {

// Messages in the order found: the text of the first kShown, and the number
// of all of them.
class MessageList {
 public:
  static constexpr std::size_t kShown = 50;
  static constexpr std::size_t kNotShown = static_cast<std::size_t>(-1);

  // `make_text` is called only for a message that is shown. Returns the
  // message's place among the shown ones, or kNotShown.
  template <class MakeText>
  std::size_t add(MakeText&& make_text) {
    ++total_;
    if (shown_.size() >= kShown) return kNotShown;
    shown_.push_back(make_text());
    return shown_.size() - 1;
  }
  // Appends `more` to shown message `index` (nothing for kNotShown).
  void amend(std::size_t index, std::string_view more) {
    if (index < shown_.size()) shown_[index] += more;
  }
  bool empty() const { return total_ == 0; }
  std::int64_t total() const { return total_; }
  const std::vector<std::string>& shown() const { return shown_; }

  // The shown messages, one a line, and when some are not shown a last line
  // "N more `what`" (without a final line end).
  std::string report(std::string_view what) const;

 private:
  std::vector<std::string> shown_;
  std::int64_t total_ = 0;
};


struct PedigreeSource {
  std::string name;  // the file as named in messages
  std::string_view text;
  bool header = false;  // the first line of the text is a header
  // The number of traits, when the parameter file is at hand: every line
  // must then have 5 + traits fields. Nothing: any number, at least 5.
  std::optional<int> traits;
  std::string parameter_name = "GParameter.csv";  // named in field count faults
};

// The animals as the source gives them, numbered as first named.
struct IdentifierPedigree {
  std::string name;
  int fields = 0;                      // fields per line
  Separator separator = Separator::free;
  std::int64_t repeated_lines = 0;     // identical repeats, ignored
  std::int64_t comment_lines = 0;      // lines starting with #, skipped
  std::vector<std::string_view> ids;   // views into the source text
  std::vector<std::int32_t> sire, dam;  // animal numbers, -1 unknown
  std::vector<std::int64_t> line;      // source line number of the own line; 0 for a parent without one
  std::vector<std::string_view> text;  // the own line, empty for a parent without one
  std::vector<std::int64_t> appearance;  // sort key of the first appearance
  // Counts over the animals' own lines, for the summary.
  std::int64_t candidates[2] = {0, 0};  // candidate flag 1, by group (group flag 1, other)
  std::vector<std::int64_t> records;   // per trait: record flags equal to 1

  std::int64_t animals() const { return static_cast<std::int64_t>(ids.size()); }
};

// The pedigree file and the identifier list, line by line.
struct PreparedPedigree {
  std::string name;  // the source file
  int fields = 0;
  Separator separator = Separator::free;
  std::int64_t animals_read = 0;   // animals with a line of their own
  std::int64_t repeated_lines = 0;
  std::int64_t comment_lines = 0;
  std::int32_t generations = 0;    // the largest generation number plus 1
  std::int64_t candidates[2] = {0, 0};
  std::vector<std::int64_t> records;
  std::vector<std::string_view> ids;    // per line
  std::vector<std::int32_t> id1, id2;   // parents by line number, 0 unknown
  std::vector<std::string_view> source;  // the animal's source line, empty for an added parent
  std::vector<std::int64_t> source_line;  // its number in the source file, 0 for an added parent

  std::int64_t lines() const { return static_cast<std::int64_t>(ids.size()); }
  std::int64_t added() const { return lines() - animals_read; }
};

// Reads the source and checks each line, its fields and the identifiers:
// repeated animals, own parents, parents used as sire and as dam, and the
// traps of the warnings above. Adds the faults and warnings it finds. The
// views in the result point into source.text.
IdentifierPedigree read_identifier_pedigree(const PedigreeSource& source, MessageList& faults, MessageList& warnings);

// Gives every animal its line: generation numbers, loops (every animal that
// is its own ancestor is named in a loop fault), the order. The result is
// complete only when no fault has been found.
PreparedPedigree order_pedigree(const IdentifierPedigree& pedigree, MessageList& faults);

// The text of the pedigree file: line number, parents' line numbers, and the
// further fields as they stand in the source (0 for an added parent).
std::string pedigree_record_text(const PreparedPedigree& pedigree);

// The identifier list of the prepared pedigree, for the pedigree file of
// text `records_text` (written as io/pedigree_ids.hpp describes).
std::string pedigree_ids_text(const PreparedPedigree& pedigree, std::string_view records_text);

// The summary lines: animals read (with the separator when not the usual
// and the lines skipped), parents added (the first ten named), generations,
// candidates per group, records per trait (the first twenty traits, then the
// rest together), inbred animals (`f`: inbreeding coefficient per line).
std::string prepare_summary(const PreparedPedigree& pedigree, std::span<const double> f);

}  // namespace gw
