#include <algorithm>
#include <bit>
#include <functional>
#include <limits>
#include <unordered_map>
#include <utility>

#include "base/fatal.hpp"
#include "base/text.hpp"
#include "io/input_file.hpp"
#include "pedigree/fields.hpp"
#include "pedigree/prepare.hpp"

namespace gw {

namespace {

// More offspring than a dam can have (a sow of many litters has fewer): a
// dam with more is most likely a code for an unknown dam, or a sire in the
// dam column.
constexpr std::int64_t kMaxDamOffspring = 200;
// Line numbers named for a message of many lines.
constexpr std::size_t kLinesNamed = 5;
// Values named for a flag column with odd values.
constexpr std::size_t kValuesNamed = 5;
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
  for (const auto& hash_line : hash_lines) {
    const auto number = hash_line.first;
    const auto& line = hash_line.second;
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

}  // namespace gw
