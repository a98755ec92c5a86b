#include "pedigree/prepare.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <functional>
#include <limits>
#include <unordered_map>
#include <utility>

#include "driver/inputs.hpp"
#include "io/atomic_file.hpp"
#include "io/input_file.hpp"
#include "io/pedigree_ids.hpp"
#include "kernels/fatal.hpp"
#include "pedigree/relationships.hpp"

namespace gw {

namespace {

// Longest identifier or field quoted in a message.
constexpr std::size_t kMaxShown = 60;
// Loops longer than this are shown by their ends.
constexpr std::size_t kMaxLoopShown = 40;
// Further members of a strongly connected group of loops that are named.
constexpr std::size_t kMaxMoreNamed = 10;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_unknown(std::string_view field) {
  return field.empty() || field == "0" || field == "NA" || field == "." || field == "*";
}

// An identifier or field as shown in a message, cut short when long (never
// inside a UTF-8 sequence).
std::string shown(std::string_view s) {
  if (s.size() <= kMaxShown) return std::string(s);
  std::size_t cut = kMaxShown;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return std::string(s.substr(0, cut)) + "...";
}

std::string quoted(std::string_view s) {
  std::string text(1, '"');
  text += shown(s);
  text += '"';
  return text;
}

// Length of a blank that is not ASCII (U+00A0, U+1680, U+2000 to U+200B,
// U+202F, U+205F, U+2060, U+3000, U+FEFF in UTF-8) at the start of `s`, or 0.
std::size_t wide_blank_at_start(std::string_view s) {
  const auto b = [&](std::size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
  if (b(0) == 0xC2 && b(1) == 0xA0) return 2;
  if (b(0) == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;
  if (b(0) == 0xE2 && b(1) == 0x80 && ((b(2) >= 0x80 && b(2) <= 0x8B) || b(2) == 0xAF)) return 3;
  if (b(0) == 0xE2 && b(1) == 0x81 && (b(2) == 0x9F || b(2) == 0xA0)) return 3;
  if (b(0) == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;
  if (b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF) return 3;
  return 0;
}

// The same at the end of `s`.
std::size_t wide_blank_at_end(std::string_view s) {
  for (const std::size_t len : {std::size_t{2}, std::size_t{3}})
    if (s.size() >= len && wide_blank_at_start(s.substr(s.size() - len)) == len) return len;
  return 0;
}

// `field` without blanks that are not ASCII at either end; `trimmed` tells
// whether there were any.
std::string_view trim_wide_blanks(std::string_view field, bool& trimmed) {
  for (std::size_t n; (n = wide_blank_at_start(field)) > 0; trimmed = true) field.remove_prefix(n);
  for (std::size_t n; (n = wide_blank_at_end(field)) > 0; trimmed = true) field.remove_suffix(n);
  return field;
}

// The separator of a file whose first data line is `line` (see Separator).
Separator separator_of(std::string_view line) {
  if (line.find(';') != std::string_view::npos) return Separator::semicolon;
  if (line.find('\t') != std::string_view::npos && line.find(',') == std::string_view::npos) return Separator::tab;
  return Separator::free;
}

// Fields that had blanks that are not ASCII at an end: how many, and the
// first of them.
struct Split {
  std::int64_t trimmed = 0;
  std::size_t first = 0;
};

// Splits `line` into fields as `sep` says (see Separator).
Split split_fields(std::string_view line, Separator sep, std::vector<std::string_view>& fields) {
  fields.clear();
  const auto is_comma = [&](char c) { return c == ',' || (sep == Separator::semicolon && c == ';'); };
  const auto is_space = [&](char c) { return c == ' ' || (sep != Separator::tab && c == '\t'); };
  bool expecting = true;    // no field since the line start, the last comma or (tab) the last tab
  bool after_tab = false;   // the last thing read was a tab that separates
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && is_space(line[i])) ++i;
    if (i == line.size()) {
      if (after_tab) fields.push_back(line.substr(i, 0));  // a tab at the end: an empty last field
      break;
    }
    const bool tab = sep == Separator::tab && line[i] == '\t';
    if (tab || is_comma(line[i])) {
      if (expecting) fields.push_back(line.substr(i, 0));
      expecting = true;
      after_tab = tab;
      ++i;
      continue;
    }
    const std::size_t begin = i;
    while (i < line.size() && !is_space(line[i]) && !is_comma(line[i]) && line[i] != '\t') ++i;
    fields.push_back(line.substr(begin, i - begin));
    expecting = after_tab = false;
  }
  Split split;
  for (std::size_t j = 0; j < fields.size(); ++j) {
    bool t = false;
    fields[j] = trim_wide_blanks(fields[j], t);
    if (t && split.trimmed++ == 0) split.first = j;
  }
  return split;
}

// The line's text without its line end; `pos` moves to the next line.
std::string_view next_line(std::string_view text, std::size_t& pos) {
  std::size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(pos, end - pos);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  pos = end + 1;
  return line;
}

// Digits with an optional sign: an integer, if perhaps out of range.
bool looks_integer(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string field_name(std::size_t j) {
  if (j == 1) return "sire";
  if (j == 2) return "dam";
  if (j == 3) return "candidate flag";
  if (j == 4) return "group flag";
  return "record flag of trait " + std::to_string(j - 4);
}

// Identifier -> animal number, open addressing with linear probing. A slot
// holds 32 bits of the identifier's hash and the animal number plus 1 (0:
// empty), so that probes and growth rarely touch the identifiers' text.
class IdentifierTable {
 public:
  explicit IdentifierTable(std::size_t expected) { resize(std::bit_ceil(std::max<std::size_t>(16, 2 * expected))); }

  // The number of `id`, and whether it was new: then it is `next`.
  std::pair<std::int32_t, bool> find_or_insert(std::string_view id, std::int32_t next,
                                               const std::vector<std::string_view>& ids) {
    const std::uint32_t h = hash(id);
    for (std::size_t at = h & mask_;; at = (at + 1) & mask_) {
      const std::uint64_t slot = slots_[at];
      if (slot == 0) {
        slots_[at] = std::uint64_t{h} << 32 | static_cast<std::uint32_t>(next + 1);
        if (++used_ * 2 > slots_.size()) grow();
        return {next, true};
      }
      const auto number = static_cast<std::int32_t>(static_cast<std::uint32_t>(slot) - 1);
      if (static_cast<std::uint32_t>(slot >> 32) == h && ids[static_cast<std::size_t>(number)] == id)
        return {number, false};
    }
  }

  // The number of `id`, or -1.
  std::int32_t find(std::string_view id, const std::vector<std::string_view>& ids) const {
    const std::uint32_t h = hash(id);
    for (std::size_t at = h & mask_;; at = (at + 1) & mask_) {
      const std::uint64_t slot = slots_[at];
      if (slot == 0) return -1;
      const auto number = static_cast<std::int32_t>(static_cast<std::uint32_t>(slot) - 1);
      if (static_cast<std::uint32_t>(slot >> 32) == h && ids[static_cast<std::size_t>(number)] == id) return number;
    }
  }

 private:
  std::vector<std::uint64_t> slots_;
  std::size_t mask_ = 0, used_ = 0;

  static std::uint32_t hash(std::string_view id) {
    const std::uint64_t h = std::hash<std::string_view>{}(id);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }
  void resize(std::size_t size) {
    slots_.assign(size, 0);
    mask_ = size - 1;
  }
  void grow() {
    std::vector<std::uint64_t> old = std::move(slots_);
    resize(old.size() * 2);
    for (const std::uint64_t slot : old) {
      if (slot == 0) continue;
      std::size_t at = (slot >> 32) & mask_;
      while (slots_[at] != 0) at = (at + 1) & mask_;
      slots_[at] = slot;
    }
  }
};

// The first field in which two lines of one animal differ in meaning, or 0:
// unknown-parent codes are all alike, flags compare by value.
std::size_t first_difference(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
  for (std::size_t j = 1; j < a.size(); ++j) {
    if (j <= 2) {
      if (is_unknown(a[j]) && is_unknown(b[j])) continue;
    } else {
      const auto x = parse_int32(a[j]), y = parse_int32(b[j]);
      if (x && y && *x == *y) continue;
    }
    if (a[j] != b[j]) return j;
  }
  return 0;
}

void append_number(std::string& s, std::int64_t value) {
  char buf[24];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  s.append(buf, end);
}

std::string where(const std::string& name, std::int64_t line) { return name + " line " + std::to_string(line); }

// More offspring than a dam can have (a sow of many litters has fewer): a
// dam with more is most likely a code for an unknown dam, or a sire in the
// dam column.
constexpr std::int64_t kMaxDamOffspring = 200;
// Line numbers named for a message of many lines.
constexpr std::size_t kLinesNamed = 5;
// Values named for a flag column with odd values.
constexpr std::size_t kValuesNamed = 5;
// Added parents named in the summary, and traits with a line of their own.
constexpr std::size_t kAddedNamed = 10;
constexpr std::size_t kTraitLines = 20;

// A parent's identifier that looks like a code for an unknown parent without
// being one of the codes: no letter or digit at all (-, ?, --), only zeros
// (00, 0.0), or a word for "unknown" in any case (na, n/a, null, none, ...).
bool looks_unknown(std::string_view id) {
  if (is_unknown(id)) return false;
  bool letter_or_digit = false, other_than_zero = false;
  std::string lower;
  for (const char ch : id) {
    const auto c = static_cast<unsigned char>(ch);
    const bool alnum = c >= 0x80 || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
    letter_or_digit = letter_or_digit || alnum;
    other_than_zero = other_than_zero || (alnum && c != '0');
    lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
  }
  if (!letter_or_digit || !other_than_zero) return true;
  for (const std::string_view word : {"na", "n/a", "n.a.", "n.a", "#n/a", "nan", "null", "nil", "none", "unknown",
                                      "unk", "missing"})
    if (lower == word) return true;
  return false;
}

std::string line_list(const std::vector<std::int64_t>& lines, std::int64_t total) {
  std::string s;
  for (const std::int64_t l : lines) {
    if (!s.empty()) s += ", ";
    s += std::to_string(l);
  }
  if (total > static_cast<std::int64_t>(lines.size())) s += ", ...";
  return s;
}

// Messages of one kind (one key) on many lines, reported once: the first in
// full, then "; the same on N more lines: L1, L2, ...".
class Grouped {
 public:
  explicit Grouped(MessageList& list) : list_(list) {}

  template <class MakeText>
  void add(const std::string& key, std::int64_t line, MakeText&& make_text) {
    const auto [it, inserted] = groups_.try_emplace(key);
    Group& g = it->second;
    if (inserted) {
      g.index = list_.add(std::forward<MakeText>(make_text));
      return;
    }
    ++g.more;
    if (g.lines.size() < kLinesNamed) g.lines.push_back(line);
  }

  void finish() {
    for (const auto& [key, g] : groups_)
      if (g.more > 0)
        list_.amend(g.index, "; the same on " + plural(g.more, "more line") + ": " + line_list(g.lines, g.more));
  }

 private:
  struct Group {
    std::size_t index = MessageList::kNotShown;
    std::int64_t more = 0;
    std::vector<std::int64_t> lines;
  };
  MessageList& list_;
  std::unordered_map<std::string, Group> groups_;
};

}  // namespace

std::string MessageList::report(std::string_view what) const {
  std::string text;
  for (const std::string& m : shown_) {
    if (!text.empty()) text += '\n';
    text += m;
  }
  const std::int64_t more = total_ - static_cast<std::int64_t>(shown_.size());
  if (more > 0) {
    text += '\n';
    text += std::to_string(more);
    text += " more ";
    text += what;
  }
  return text;
}

IdentifierPedigree read_identifier_pedigree(const PedigreeSource& src, MessageList& faults, MessageList& warnings) {
  IdentifierPedigree ped;
  ped.name = src.name;
  const std::string& name = src.name;
  const std::string_view text = src.text;
  const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  IdentifierTable table(lines + lines / 8);
  const std::size_t expected_fields = src.traits ? static_cast<std::size_t>(5 + *src.traits) : 0;
  if (src.traits) ped.records.assign(static_cast<std::size_t>(*src.traits), 0);
  Grouped grouped_faults(faults), grouped_warnings(warnings);

  // The first offspring line in which each animal is a sire and a dam, and
  // its offspring as either.
  std::vector<std::int32_t> sire_of, dam_of, offspring;
  const auto animal = [&](std::string_view id, std::int64_t appearance) {
    if (ped.ids.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
      throw FatalError::diagnostic(name + ": more animals than a pedigree file can number", ExitStatus::bad_input);
    const auto [k, inserted] = table.find_or_insert(id, static_cast<std::int32_t>(ped.ids.size()), ped.ids);
    if (inserted) {
      ped.ids.push_back(id);
      ped.sire.push_back(-1);
      ped.dam.push_back(-1);
      ped.line.push_back(0);
      ped.text.emplace_back();
      ped.appearance.push_back(appearance);
      sire_of.push_back(-1);
      dam_of.push_back(-1);
      offspring.push_back(0);
    }
    return std::pair{k, inserted};
  };

  // Lines kept for checks once the shape of a data line is known: the
  // header, and comment lines whose # is the first character of a word
  // (perhaps an animal's identifier).
  std::string_view header_line;
  std::vector<std::pair<std::int64_t, std::string_view>> hash_lines;
  // Fields with blanks that are not ASCII at an end: how many, and the first.
  std::int64_t wide = 0, wide_line = 0;
  std::string_view wide_field;
  std::size_t wide_column = 0;
  // Flags other than 0 and 1 (group flags other than 0, 1 and 2), by field.
  struct OddFlags {
    std::int64_t count = 0, first_line = 0;
    std::vector<std::int32_t> values;
  };
  std::vector<OddFlags> odd;

  std::vector<std::string_view> fields, earlier;
  std::vector<std::int32_t> flags;
  std::int64_t line_number = 0, data_lines = 0, first_data_line = 0;
  std::int64_t flag_lines = 0;  // own lines of animals whose flags are read
  std::size_t reference = 0;    // the fields every line must have
  for (std::size_t pos = 0; pos < text.size();) {
    const std::string_view line = next_line(text, pos);
    ++line_number;
    if (src.header && line_number == 1) {
      header_line = line;
      continue;
    }
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) continue;
    if (line[first] == '#') {
      ++ped.comment_lines;
      if (first + 1 < line.size() && !is_blank(line[first + 1]) && hash_lines.size() < 10 * MessageList::kShown)
        hash_lines.emplace_back(line_number, line);
      continue;
    }
    if (data_lines == 0) ped.separator = separator_of(line);
    if (const Split split = split_fields(line, ped.separator, fields); split.trimmed > 0) {
      if (wide == 0) {
        wide_line = line_number;
        wide_field = fields[split.first];
        wide_column = split.first;
      }
      wide += split.trimmed;
    }
    const std::int64_t data_line = data_lines++;

    if (data_line == 0) {
      first_data_line = line_number;
      reference = src.traits ? expected_fields : fields.size();
      ped.fields = static_cast<int>(std::min<std::size_t>(reference, std::numeric_limits<int>::max()));
    }
    if (fields.size() != reference || fields.size() < 5) {
      grouped_faults.add("fields " + std::to_string(fields.size()), line_number, [&] {
        std::string m = where(name, line_number) + ": " + std::to_string(fields.size()) + " fields, but ";
        if (src.traits) {
          m += src.parameter_name + " has " + std::to_string(*src.traits) + (*src.traits == 1 ? " trait" : " traits") +
               ", so every line needs " + std::to_string(expected_fields) +
               " (identifier, sire, dam, candidate flag, group flag and one record flag per trait); correct the line or " +
               src.parameter_name;
        } else if (fields.size() < 5) {
          m += "a line needs at least 5 (identifier, sire, dam, candidate flag, group flag, then one record flag per trait)";
        } else {
          m += "the first data line (line " + std::to_string(first_data_line) + ") has " + std::to_string(reference) +
               "; every line needs the same number of fields";
        }
        if (ped.separator == Separator::tab)
          m += " (the fields are separated by tabs, each tab by itself: two tabs in a row enclose an empty field)";
        else if (fields.size() == 1 && line.find_first_of("|:") != std::string_view::npos)
          m += " (the fields are separated by commas, semicolons, blanks or tabs)";
        return m;
      });
      continue;  // the line takes no further part
    }
    const std::string_view id = fields[0];
    // A quoted identifier would not match the same animal unquoted, and a
    // quoted unknown code ("" or "0") would make all its offspring sibs.
    bool quoted_id = false;
    for (std::size_t j = 0; j < 3; ++j) {
      if (fields[j].find('"') == std::string_view::npos) continue;
      quoted_id = true;
      grouped_faults.add("quote " + std::to_string(j), line_number, [&] {
        return where(name, line_number) + ": field " + std::to_string(j + 1) + " (" +
               (j == 0 ? std::string("identifier") : field_name(j)) + ") " + shown(fields[j]) +
               " holds a double quote; write identifiers without quotes";
      });
    }
    if (quoted_id) continue;
    if (is_unknown(id)) {
      grouped_faults.add("unknown " + std::string(id), line_number, [&] {
        return where(name, line_number) + ": the identifier " + quoted(id) +
               " stands for an unknown parent (0, NA, ., * or an empty field) and cannot name an animal; give the "
               "animal its own identifier";
      });
      continue;
    }

    // Fields 4 and on must be integers.
    flags.assign(fields.size() - 3, 0);
    bool flags_ok = true;
    for (std::size_t j = 3; j < fields.size(); ++j) {
      if (const auto v = parse_int32(fields[j])) {
        flags[j - 3] = *v;
        continue;
      }
      flags_ok = false;
      grouped_faults.add("flag " + std::to_string(j) + (looks_integer(fields[j]) ? " range" : ""), line_number, [&] {
        std::string m = where(name, line_number) + ": field " + std::to_string(j + 1) + " (" + field_name(j) + ") " +
                        quoted(fields[j]) +
                        (looks_integer(fields[j]) ? " is outside the range of a 32-bit integer" : " is not an integer") +
                        " (animal " + shown(id) + "); the fields after the third are whole numbers";
        if (line_number == 1 && !src.header) m += "; if the first line is a header, prepare with --header";
        return m;
      });
    }

    const std::int64_t key = data_line * 3;
    const auto [k, inserted] = animal(id, key);
    const auto ku = static_cast<std::size_t>(k);
    if (ped.line[ku] != 0) {
      // The animal has a line already.
      split_fields(ped.text[ku], ped.separator, earlier);
      const std::size_t j = first_difference(fields, earlier);
      const std::int64_t before = ped.line[ku];
      if (j == 0) {
        ++ped.repeated_lines;
        grouped_warnings.add("repeat", line_number, [&] {
          return where(name, line_number) + " repeats line " + std::to_string(before) + " (animal " + shown(id) +
                 "); the repeat is ignored";
        });
      } else {
        faults.add([&] {
          return where(name, line_number) + ": animal " + shown(id) + " has a line already, line " +
                 std::to_string(before) + ", with other fields (field " + std::to_string(j + 1) + ", " +
                 field_name(j) + ": " + quoted(fields[j]) + " here, " + quoted(earlier[j]) + " there); keep one line per animal";
        });
      }
      continue;
    }
    ped.line[ku] = line_number;
    ped.text[ku] = line;
    ped.appearance[ku] = key;

    std::int32_t parents[2] = {-1, -1};
    for (std::size_t slot = 1; slot <= 2; ++slot) {
      if (is_unknown(fields[slot])) continue;
      parents[slot - 1] = animal(fields[slot], key + static_cast<std::int64_t>(slot)).first;
    }
    const bool own_sire = parents[0] == k, own_dam = parents[1] == k;
    if (own_sire || own_dam) {
      faults.add([&] {
        return where(name, line_number) + ": animal " + shown(id) + " is given as its own " +
               (own_sire && own_dam ? "sire and dam" : own_sire ? "sire" : "dam") + "; correct the parent";
      });
    }
    // An own parent is left out of the pedigree, so that it is not reported
    // again as a loop or as both sire and dam.
    if (!own_sire) ped.sire[ku] = parents[0];
    if (!own_dam) ped.dam[ku] = parents[1];
    if (ped.sire[ku] >= 0) ++offspring[static_cast<std::size_t>(ped.sire[ku])];
    if (ped.dam[ku] >= 0 && ped.dam[ku] != ped.sire[ku]) ++offspring[static_cast<std::size_t>(ped.dam[ku])];
    if (ped.sire[ku] >= 0 && sire_of[static_cast<std::size_t>(ped.sire[ku])] < 0)
      sire_of[static_cast<std::size_t>(ped.sire[ku])] = k;
    if (ped.dam[ku] >= 0 && dam_of[static_cast<std::size_t>(ped.dam[ku])] < 0)
      dam_of[static_cast<std::size_t>(ped.dam[ku])] = k;

    if (flags_ok) {
      ++flag_lines;
      if (flags[0] == 1) ++ped.candidates[flags[1] == 1 ? 0 : 1];
      if (ped.records.size() < flags.size() - 2) ped.records.resize(flags.size() - 2, 0);
      for (std::size_t t = 2; t < flags.size(); ++t)
        if (flags[t] == 1) ++ped.records[t - 2];
      if (odd.size() < flags.size()) odd.resize(flags.size());
      for (std::size_t j = 0; j < flags.size(); ++j) {
        const std::int32_t v = flags[j];
        if (v == 0 || v == 1 || (j == 1 && v == 2)) continue;
        OddFlags& o = odd[j];
        if (o.count++ == 0) o.first_line = line_number;
        if (o.values.size() < kValuesNamed && std::find(o.values.begin(), o.values.end(), v) == o.values.end())
          o.values.push_back(v);
      }
    }
  }
  if (data_lines == 0) {
    faults.add([&] {
      return name + ": no animal line (every line is blank, a comment or " + (src.header ? "the header" : "empty") +
             "); the file must list the animals, one a line";
    });
  }

  // Parents used as sire and as dam, in the order first named.
  for (std::size_t a = 0; a < ped.ids.size(); ++a) {
    const std::int32_t s = sire_of[a], d = dam_of[a];
    if (s < 0 || d < 0) continue;
    faults.add([&] {
      const auto su = static_cast<std::size_t>(s), du = static_cast<std::size_t>(d);
      std::string m = name + ": " + shown(ped.ids[a]) + " is used ";
      if (s == d) {
        m += "as both sire and dam of " + shown(ped.ids[su]) + " (line " + std::to_string(ped.line[su]) + ")";
      } else {
        m += "as a sire (line " + std::to_string(ped.line[su]) + ", offspring " + shown(ped.ids[su]) +
             ") and as a dam (line " + std::to_string(ped.line[du]) + ", offspring " + shown(ped.ids[du]) + ")";
      }
      if (looks_unknown(ped.ids[a]) && ped.line[a] == 0)
        return m + "; " + quoted(ped.ids[a]) +
               " looks like a code for an unknown parent, but only 0, NA, ., * and an empty field are: write one of "
               "those where the parent is unknown";
      return m + "; an animal is either a sire or a dam, correct the parent that is wrong";
    });
  }

  grouped_faults.finish();

  // A header line (--header) and comment lines that read as animal lines:
  // the right number of fields, integers after the third.
  const auto reads_as_animal = [&](std::string_view line) {
    split_fields(line, ped.separator, fields);
    if (fields.size() != reference || fields.size() < 5 || is_unknown(fields[0])) return false;
    for (std::size_t j = 3; j < fields.size(); ++j)
      if (!parse_int32(fields[j])) return false;
    return true;
  };
  // What becomes of an animal whose own line is skipped: named as a parent,
  // it is added as a founder without that line's fields.
  const auto fate = [&](std::string_view id) {
    const std::int32_t k = table.find(id, ped.ids);
    if (k < 0 || ped.line[static_cast<std::size_t>(k)] != 0) return std::string();
    const auto ku = static_cast<std::size_t>(k);
    const std::int32_t child = sire_of[ku] >= 0 ? sire_of[ku] : dam_of[ku];
    if (child < 0) return std::string();
    return "; " + shown(id) + " is named as a parent (line " + std::to_string(ped.line[static_cast<std::size_t>(child)]) +
           ") and so added as a founder without the fields of this line";
  };
  if (src.header && !header_line.empty() && data_lines > 0 && reads_as_animal(header_line)) {
    const std::string id(fields[0]);
    warnings.add([&] {
      return where(name, 1) + " is skipped as the header (--header), but it reads as an animal line (" +
             quoted(header_line) + ")" + fate(id) + "; prepare without --header if the file has no header line";
    });
  }
  for (const auto& [number, line] : hash_lines) {
    if (!reads_as_animal(line)) continue;
    const std::string id(fields[0]);
    grouped_warnings.add("hash", number, [&] {
      return where(name, number) + " starts with # and is skipped as a comment, but it reads as an animal line (" +
             quoted(line) + ")" + fate(id) +
             "; if it is an animal, give it an identifier that does not start with #";
    });
  }
  if (wide > 0) {
    warnings.add([&] {
      return name + ": " + plural(wide, "field") +
             " had blanks that are not ASCII (such as the no-break space U+00A0) at an end, first on line " +
             std::to_string(wide_line) + " (field " + std::to_string(wide_column + 1) + ", " + quoted(wide_field) +
             "); they are dropped, so that such an identifier names the same animal as without them";
    });
  }
  for (std::size_t j = 0; j < odd.size(); ++j) {
    const OddFlags& o = odd[j];
    if (o.count == 0) continue;
    warnings.add([&] {
      std::string values;
      for (const std::int32_t v : o.values) values += (values.empty() ? "" : ", ") + std::to_string(v);
      if (o.count > static_cast<std::int64_t>(o.values.size())) values += ", ...";
      const bool group = j == 1;
      return name + ": field " + std::to_string(j + 4) + " (" + field_name(j + 3) + ") is " + values + " on " +
             plural(o.count, "line") + " (first on line " + std::to_string(o.first_line) + "), not " +
             (group ? "1 or 2" : "0 or 1") + ": " +
             (group ? "every value other than 1 means group 2" : "only 1 means yes, every other value no") +
             "; check that the field holds the flag";
    });
  }
  if (flag_lines > 0)
    for (std::size_t t = 0; t < ped.records.size(); ++t)
      if (ped.records[t] == 0)
        warnings.add([&] {
          return name + ": no animal has a record of trait " + std::to_string(t + 1) + " (field " +
                 std::to_string(t + 6) +
                 " is 1 on no line); a trait without records has no information of its own: check the field";
        });
  // Parents that look like a code for an unknown parent, and dams with more
  // offspring than a dam can have (not those used as sire and dam too,
  // which are faults).
  for (std::size_t a = 0; a < ped.ids.size(); ++a) {
    const bool as_sire = sire_of[a] >= 0, as_dam = dam_of[a] >= 0;
    if (as_sire == as_dam) continue;
    const bool code = ped.line[a] == 0 && looks_unknown(ped.ids[a]);
    if (!code && !(as_dam && offspring[a] > kMaxDamOffspring)) continue;
    warnings.add([&] {
      const auto child = static_cast<std::size_t>(as_sire ? sire_of[a] : dam_of[a]);
      const std::string role = as_sire ? "sire" : "dam";
      std::string m = name + ": the " + role + " " + quoted(ped.ids[a]) + " of " + plural(offspring[a], "animal") +
                      " (first on line " + std::to_string(ped.line[child]) + ", " + shown(ped.ids[child]) + ")";
      if (code)
        return m + " looks like a code for an unknown parent, but only 0, NA, ., * and an empty field are: it is "
                   "taken as one animal without a line of its own, added as a founder and parent of all of them; "
                   "write one of those codes where the parent is unknown";
      m += " has more offspring than a dam can have (" + std::to_string(kMaxDamOffspring) + ")";
      if (ped.line[a] == 0) m += "; it has no line of its own and is added as a founder";
      return m + "; check the dam field (is it a code for an unknown dam, or are sire and dam swapped?)";
    });
  }
  grouped_warnings.finish();
  return ped;
}

namespace {

// Generation numbers by a pass from the animals without known parents to
// their offspring (parents before offspring): one more than the larger of
// the parents'. An animal that is its own ancestor, or descends from one,
// keeps -1.
std::vector<std::int32_t> generation_numbers(const IdentifierPedigree& ped) {
  const std::size_t n = ped.ids.size();
  std::vector<std::int32_t> start(n + 1, 0);  // offspring lists, by parent
  std::vector<std::int8_t> waiting(n, 0);     // known parents not numbered yet
  for (std::size_t a = 0; a < n; ++a)
    for (const std::int32_t p : {ped.sire[a], ped.dam[a]})
      if (p >= 0) {
        ++start[static_cast<std::size_t>(p) + 1];
        ++waiting[a];
      }
  for (std::size_t a = 0; a < n; ++a) start[a + 1] += start[a];
  std::vector<std::int32_t> offspring(static_cast<std::size_t>(start[n]));
  {
    std::vector<std::int32_t> fill(start.begin(), start.end() - 1);
    for (std::size_t a = 0; a < n; ++a)
      for (const std::int32_t p : {ped.sire[a], ped.dam[a]})
        if (p >= 0) offspring[static_cast<std::size_t>(fill[static_cast<std::size_t>(p)]++)] = static_cast<std::int32_t>(a);
  }
  std::vector<std::int32_t> gen(n, -1), queue;
  queue.reserve(n);
  for (std::size_t a = 0; a < n; ++a)
    if (waiting[a] == 0) {
      gen[a] = 0;
      queue.push_back(static_cast<std::int32_t>(a));
    }
  std::vector<std::int32_t> level(n, 0);  // the largest parent generation + 1 so far
  for (std::size_t q = 0; q < queue.size(); ++q) {
    const auto p = static_cast<std::size_t>(queue[q]);
    for (std::int32_t e = start[p]; e < start[p + 1]; ++e) {
      const auto c = static_cast<std::size_t>(offspring[static_cast<std::size_t>(e)]);
      level[c] = std::max(level[c], gen[p] + 1);
      if (--waiting[c] == 0) {
        gen[c] = level[c];
        queue.push_back(static_cast<std::int32_t>(c));
      }
    }
  }
  return gen;
}

// The groups of animals that are ancestors of one another (strongly
// connected components of more than one animal) among those without a
// generation number, by Tarjan's algorithm with an explicit stack.
std::vector<std::vector<std::int32_t>> loop_groups(const IdentifierPedigree& ped, const std::vector<std::int32_t>& gen,
                                                   const std::vector<std::int32_t>& by_appearance) {
  const std::size_t n = ped.ids.size();
  std::vector<std::vector<std::int32_t>> groups;
  std::vector<std::int32_t> index(n, -1), low(n, 0), stack;
  std::vector<bool> on_stack(n, false);
  struct Frame {
    std::int32_t animal;
    int edge;
  };
  std::vector<Frame> frames;
  std::int32_t counter = 0;
  const auto parent = [&](std::int32_t a, int edge) { return edge == 0 ? ped.sire[static_cast<std::size_t>(a)] : ped.dam[static_cast<std::size_t>(a)]; };
  const auto visit = [&](std::int32_t a) {
    index[static_cast<std::size_t>(a)] = low[static_cast<std::size_t>(a)] = counter++;
    stack.push_back(a);
    on_stack[static_cast<std::size_t>(a)] = true;
    frames.push_back({a, 0});
  };
  for (const std::int32_t root : by_appearance) {
    if (gen[static_cast<std::size_t>(root)] >= 0 || index[static_cast<std::size_t>(root)] >= 0) continue;
    visit(root);
    while (!frames.empty()) {
      Frame& f = frames.back();
      const auto u = static_cast<std::size_t>(f.animal);
      if (f.edge < 2) {
        const std::int32_t w = parent(f.animal, f.edge++);
        if (w < 0 || gen[static_cast<std::size_t>(w)] >= 0) continue;
        const auto wu = static_cast<std::size_t>(w);
        if (index[wu] < 0)
          visit(w);
        else if (on_stack[wu])
          low[u] = std::min(low[u], index[wu]);
        continue;
      }
      const std::int32_t done = f.animal;
      frames.pop_back();
      if (!frames.empty()) {
        const auto up = static_cast<std::size_t>(frames.back().animal);
        low[up] = std::min(low[up], low[u]);
      }
      if (low[u] != index[u]) continue;
      std::vector<std::int32_t> group;
      for (;;) {
        const std::int32_t w = stack.back();
        stack.pop_back();
        on_stack[static_cast<std::size_t>(w)] = false;
        group.push_back(w);
        if (w == done) break;
      }
      if (group.size() > 1) groups.push_back(std::move(group));
    }
  }
  return groups;
}

// A shortest loop through `start` within its group: the animals in order,
// each a parent of the one after it, ending with `start` again.
std::vector<std::int32_t> loop_through(const IdentifierPedigree& ped, std::int32_t start,
                                       const std::vector<std::int32_t>& group_of, std::int32_t group) {
  // Breadth first from `start` towards its ancestors; `from` leads back.
  std::vector<std::pair<std::int32_t, std::int32_t>> seen;  // (animal, index of the one it was reached from)
  seen.push_back({start, -1});
  std::vector<bool> marked(ped.ids.size(), false);
  std::int32_t found = -1;
  for (std::size_t q = 0; q < seen.size() && found < 0; ++q) {
    const auto a = static_cast<std::size_t>(seen[q].first);
    for (const std::int32_t p : {ped.sire[a], ped.dam[a]}) {
      if (p < 0 || group_of[static_cast<std::size_t>(p)] != group) continue;
      if (p == start) {
        found = static_cast<std::int32_t>(q);
        break;
      }
      if (marked[static_cast<std::size_t>(p)]) continue;
      marked[static_cast<std::size_t>(p)] = true;
      seen.push_back({p, static_cast<std::int32_t>(q)});
    }
  }
  // `start` is a parent of the last animal reached, and each animal reached
  // a parent of the one it was reached from: back from the last to `start`
  // is the order of descent.
  std::vector<std::int32_t> loop{start};
  for (std::int32_t q = found; q >= 0; q = seen[static_cast<std::size_t>(q)].second)
    loop.push_back(seen[static_cast<std::size_t>(q)].first);
  return loop;
}

}  // namespace

PreparedPedigree order_pedigree(const IdentifierPedigree& ped, MessageList& faults) {
  const std::size_t n = ped.ids.size();
  PreparedPedigree out;
  out.name = ped.name;
  out.fields = ped.fields;
  out.separator = ped.separator;
  out.repeated_lines = ped.repeated_lines;
  out.comment_lines = ped.comment_lines;
  out.candidates[0] = ped.candidates[0];
  out.candidates[1] = ped.candidates[1];
  out.records = ped.records;
  out.animals_read = std::count_if(ped.line.begin(), ped.line.end(), [](std::int64_t l) { return l != 0; });

  // The animals in order of first appearance: the keys are distinct and
  // below three times the number of lines.
  std::vector<std::int32_t> by_appearance;
  {
    std::int64_t top = 0;
    for (const std::int64_t key : ped.appearance) top = std::max(top, key + 1);
    std::vector<std::int32_t> at(static_cast<std::size_t>(top), -1);
    for (std::size_t a = 0; a < n; ++a) at[static_cast<std::size_t>(ped.appearance[a])] = static_cast<std::int32_t>(a);
    by_appearance.reserve(n);
    for (const std::int32_t a : at)
      if (a >= 0) by_appearance.push_back(a);
  }

  const std::vector<std::int32_t> gen = generation_numbers(ped);
  if (std::find(gen.begin(), gen.end(), -1) != gen.end()) {
    const std::vector<std::vector<std::int32_t>> groups = loop_groups(ped, gen, by_appearance);
    std::vector<std::int32_t> group_of(n, -1);
    for (std::size_t g = 0; g < groups.size(); ++g)
      for (const std::int32_t a : groups[g]) group_of[static_cast<std::size_t>(a)] = static_cast<std::int32_t>(g);
    // Groups in the order of their first member.
    std::vector<std::int32_t> reported(groups.size(), 0);
    for (const std::int32_t first : by_appearance) {
      const std::int32_t g = group_of[static_cast<std::size_t>(first)];
      if (g < 0 || reported[static_cast<std::size_t>(g)]) continue;
      reported[static_cast<std::size_t>(g)] = 1;
      faults.add([&] {
        const std::vector<std::int32_t> loop = loop_through(ped, first, group_of, g);
        std::string ids, lines;
        for (std::size_t i = 0; i < loop.size(); ++i) {
          if (loop.size() > kMaxLoopShown && i == kMaxLoopShown / 2) {
            const std::string skipped = " ... (" + std::to_string(loop.size() - kMaxLoopShown) + " more) ...";
            ids += skipped;
            lines += skipped;
            i = loop.size() - kMaxLoopShown / 2;
          }
          const auto a = static_cast<std::size_t>(loop[i]);
          if (i > 0) ids += " -> ";
          ids += shown(ped.ids[a]);
          if (i + 1 < loop.size()) lines += (i > 0 ? ", " : "") + std::to_string(ped.line[a]);
        }
        std::string m = ped.name + " lines " + lines + ": a loop in the pedigree, " + ids +
                        " (each a parent of the next), so " + shown(ped.ids[static_cast<std::size_t>(first)]) +
                        " is its own ancestor";
        const auto& group = groups[static_cast<std::size_t>(g)];
        if (group.size() + 1 > loop.size()) {
          // Name the members of the group that the loop leaves out, in order of appearance.
          std::vector<bool> in_loop(n, false);
          for (const std::int32_t a : loop) in_loop[static_cast<std::size_t>(a)] = true;
          std::vector<std::int32_t> rest;
          for (const std::int32_t a : group)
            if (!in_loop[static_cast<std::size_t>(a)]) rest.push_back(a);
          std::sort(rest.begin(), rest.end(), [&](std::int32_t x, std::int32_t y) {
            return ped.appearance[static_cast<std::size_t>(x)] < ped.appearance[static_cast<std::size_t>(y)];
          });
          m += "; " + std::to_string(rest.size()) + " more in loops with these animals:";
          for (std::size_t i = 0; i < rest.size() && i < kMaxMoreNamed; ++i) {
            const auto a = static_cast<std::size_t>(rest[i]);
            m += (i > 0 ? ", " : " ") + shown(ped.ids[a]) + " (line " + std::to_string(ped.line[a]) + ")";
          }
          if (rest.size() > kMaxMoreNamed) m += ", ...";
        }
        return m + "; correct the parents that are wrong";
      });
    }
  }

  // Order by generation, then by appearance: a stable counting sort of the
  // appearance order.
  std::int32_t top = -1;
  for (const std::int32_t g : gen) top = std::max(top, g);
  out.generations = top + 1;
  std::vector<std::int64_t> first_of(static_cast<std::size_t>(top) + 2, 0);
  for (const std::int32_t g : gen)
    if (g >= 0) ++first_of[static_cast<std::size_t>(g) + 1];
  for (std::size_t g = 1; g < first_of.size(); ++g) first_of[g] += first_of[g - 1];
  const auto placed = static_cast<std::size_t>(first_of.back());
  std::vector<std::int32_t> order(placed), position(n, 0);
  for (const std::int32_t a : by_appearance) {
    const std::int32_t g = gen[static_cast<std::size_t>(a)];
    if (g < 0) continue;  // in or below a loop: a fault, nothing is written
    const auto at = static_cast<std::size_t>(first_of[static_cast<std::size_t>(g)]++);
    order[at] = a;
    position[static_cast<std::size_t>(a)] = static_cast<std::int32_t>(at + 1);
  }
  out.ids.resize(placed);
  out.id1.resize(placed);
  out.id2.resize(placed);
  out.source.resize(placed);
  for (std::size_t k = 0; k < placed; ++k) {
    const auto a = static_cast<std::size_t>(order[k]);
    out.ids[k] = ped.ids[a];
    out.id1[k] = ped.sire[a] < 0 ? 0 : position[static_cast<std::size_t>(ped.sire[a])];
    out.id2[k] = ped.dam[a] < 0 ? 0 : position[static_cast<std::size_t>(ped.dam[a])];
    out.source[k] = ped.text[a];
  }
  return out;
}

std::string pedigree_record_text(const PreparedPedigree& ped) {
  std::string s;
  s.reserve(static_cast<std::size_t>(ped.lines()) * (static_cast<std::size_t>(ped.fields) * 2 + 20));
  std::vector<std::string_view> fields;
  for (std::size_t k = 0; k < ped.ids.size(); ++k) {
    append_number(s, static_cast<std::int64_t>(k) + 1);
    s += ',';
    append_number(s, ped.id1[k]);
    s += ',';
    append_number(s, ped.id2[k]);
    if (ped.source[k].empty()) {
      for (int j = 3; j < ped.fields; ++j) s += ",0";
    } else {
      split_fields(ped.source[k], ped.separator, fields);
      for (std::size_t j = 3; j < fields.size(); ++j) {
        s += ',';
        s += fields[j];
      }
    }
    s += '\n';
  }
  return s;
}

std::string pedigree_ids_text(const PreparedPedigree& ped, std::string_view records_text) {
  std::string s = "line,id,added\n0," + pedigree_fingerprint(records_text) + ",\n";
  s.reserve(static_cast<std::size_t>(ped.lines()) * 24 + s.size());
  for (std::size_t k = 0; k < ped.ids.size(); ++k) {
    append_number(s, static_cast<std::int64_t>(k) + 1);
    s += ',';
    append_identifier(s, ped.ids[k]);
    s += ped.source[k].empty() ? ",1\n" : ",0\n";
  }
  return s;
}

std::string prepare_summary(const PreparedPedigree& ped, std::span<const double> f) {
  const auto line = [](std::string label, const std::string& value) {
    label.resize(std::max<std::size_t>(label.size() + 1, 18), ' ');
    return label + value + "\n";
  };
  std::string s;
  std::string read = std::to_string(ped.animals_read) + " (" + ped.name;
  if (ped.separator == Separator::semicolon) read += "; fields separated by semicolons";
  if (ped.separator == Separator::tab) read += "; fields separated by tabs";
  if (ped.comment_lines > 0)
    read += "; " + std::to_string(ped.comment_lines) + (ped.comment_lines == 1 ? " comment line" : " comment lines") +
            " skipped";
  if (ped.repeated_lines > 0)
    read += "; " + std::to_string(ped.repeated_lines) + (ped.repeated_lines == 1 ? " repeated line" : " repeated lines") +
            " ignored";
  s += line("Animals read:", read + ")");
  std::string added = std::to_string(ped.added()) + " (no line of their own; added as founders)";
  std::size_t named = 0;
  for (std::size_t k = 0; k < ped.ids.size() && named < kAddedNamed; ++k)
    if (ped.source[k].empty()) added += (named++ == 0 ? ": " : ", ") + shown(ped.ids[k]);
  if (ped.added() > static_cast<std::int64_t>(named)) {
    if (named > 0) added += " and " + std::to_string(ped.added() - static_cast<std::int64_t>(named)) + " more";
  }
  s += line("Parents added:", added);
  s += line("Generations:", std::to_string(ped.generations) + " (numbered 0 to " + std::to_string(ped.generations - 1) + ")");
  s += line("Candidates:", std::to_string(ped.candidates[0]) + " in group 1, " + std::to_string(ped.candidates[1]) +
                               " in group 2");
  if (ped.records.empty()) s += line("Records:", "no record flags (5 fields a line)");
  for (std::size_t t = 0; t < ped.records.size() && t < kTraitLines; ++t)
    s += line("Records trait " + std::to_string(t + 1) + ":", std::to_string(ped.records[t]));
  if (ped.records.size() > kTraitLines) {
    std::int64_t rest = 0;
    for (std::size_t t = kTraitLines; t < ped.records.size(); ++t) rest += ped.records[t];
    s += line("Records traits " + std::to_string(kTraitLines + 1) + " to " + std::to_string(ped.records.size()) + ":",
              std::to_string(rest) + " in all");
  }
  // A coefficient within rounding of 0 is no inbreeding.
  constexpr double kInbred = 1e-12;
  std::int64_t inbred = 0;
  double sum = 0, largest = 0;
  for (const double x : f)
    if (x > kInbred) {
      ++inbred;
      sum += x;
      largest = std::max(largest, x);
    }
  std::string value = std::to_string(inbred) + " of " + std::to_string(ped.lines());
  if (inbred > 0) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "; mean F over the inbred animals %.4f, largest F %.4f", sum / static_cast<double>(inbred),
                  largest);
    value += buf;
  }
  s += line("Inbred animals:", value);
  return s;
}

namespace {

constexpr const char* kWritingStage = "writing Pedigree&Record.csv and Pedigree_ids.csv";

// The number of traits, read from the parameter file in `dir` as a run
// reads it; nothing without the file, with an empty one (as a run leaves
// behind when the file is missing), or with one that a run cannot read
// either, which gets a warning.
std::optional<int> parameter_traits(const std::filesystem::path& dir, MessageList& warnings) {
  try {
    const std::optional<InputText> text = load_existing_file(dir, kParameterFileName);
    if (!text) return std::nullopt;
    const Parameters par = read_parameters(*text);
    for (const std::string& w : par.warnings) warnings.add([&] { return w; });
    if (par.ntrait > 0) return par.ntrait;
  } catch (const FatalError& e) {
    warnings.add([&] {
      return e.text() + "; a run stops there too, and the number of fields is not checked against " +
             kParameterFileName;
    });
  }
  return std::nullopt;
}

}  // namespace

void prepare_folder(const std::filesystem::path& dir, const PrepareOptions& options, std::ostream& out,
                    std::ostream& err, Progress* progress) {
  Progress silent;
  Progress& status = progress ? *progress : silent;
  const char* const outputs[] = {kPedigreeIdsFileName, kPedigreeFileName};
  // The refusal for each output file that exists; empty when none does.
  const auto existing = [&] {
    std::string text;
    for (const char* file : outputs) {
      struct stat info {};
      if (::lstat((dir / file).c_str(), &info) != 0) continue;
      if (!text.empty()) text += '\n';
      text += file;
      text += ": the file exists already and is left as it is; prepare with --force to replace it";
    }
    return text;
  };
  // The source must not be one of the files prepare writes: --force would
  // replace it by the numbered pedigree.
  for (const char* file : outputs)
    if (same_file(dir / options.file, dir / file))
      throw FatalError::diagnostic(options.file + ": that is " + file +
                                       ", which prepare writes; name the pedigree with text identifiers (a file "
                                       "of another name) to prepare",
                                   ExitStatus::bad_input);
  if (!options.force)
    if (const std::string text = existing(); !text.empty()) throw FatalError::diagnostic(text, ExitStatus::bad_input);
  for (const char* file : outputs)
    check_output(dir / file, file, "move it out of the way, or prepare in another folder");

  const std::optional<InputText> input = load_existing_file(dir, options.file);
  if (!input)
    throw FatalError::diagnostic(options.file + ": no such file; name the pedigree file to prepare",
                                 ExitStatus::bad_input);
  PedigreeSource source{options.file, input->text, options.header, std::nullopt, kParameterFileName};
  MessageList faults, warnings;
  source.traits = parameter_traits(dir, warnings);

  IdentifierPedigree identified;
  PreparedPedigree ped;
  {
    ProgressStage stage(status, "reading and checking " + options.file, false);
    identified = read_identifier_pedigree(source, faults, warnings);
  }
  {
    ProgressStage stage(status, "ordering the animals", false);
    ped = order_pedigree(identified, faults);
  }
  status.write([&] {
    for (const std::string& w : warnings.shown()) err << "gainweights: warning: " << w << '\n';
    if (warnings.total() > static_cast<std::int64_t>(warnings.shown().size()))
      err << "gainweights: warning: " << warnings.total() - static_cast<std::int64_t>(warnings.shown().size())
          << " more warnings about " << options.file << '\n';
    err << std::flush;
  });
  if (!faults.empty()) {
    throw FatalError::diagnostic(faults.report("faults in " + options.file), ExitStatus::bad_input);
  }

  std::vector<double> f;
  {
    ProgressStage stage(status, "inbreeding coefficients");
    f = inbreeding(ped.id1, ped.id2, [&](double share) { stage.update(share); });
  }
  {
    // Both files are written whole first and then replace the earlier ones
    // together, or neither does.
    ProgressStage stage(status, kWritingStage, false);
    const std::string records_text = pedigree_record_text(ped);
    AtomicFile ids(dir / kPedigreeIdsFileName, kPedigreeIdsFileName);
    AtomicFile records(dir / kPedigreeFileName, kPedigreeFileName);
    ids.write(pedigree_ids_text(ped, records_text));
    records.write(records_text);
    AtomicFile* const group[] = {&ids, &records};
    // False when an output was created by someone else since the check.
    if (!commit_together(group, options.force ? AtomicFile::Replace::allow : AtomicFile::Replace::refuse))
      throw FatalError::diagnostic(existing(), ExitStatus::bad_input);
  }
  out << prepare_summary(ped, f) << "Written:          " << kPedigreeFileName << " (" << plural(ped.lines(), "line")
      << "), " << kPedigreeIdsFileName << '\n'
      << std::flush;
}

}  // namespace gw
