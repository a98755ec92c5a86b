#include <cstdio>
#include <string>

#include "base/fatal.hpp"
#include "base/text.hpp"
#include "io/pedigree_ids.hpp"
#include "pedigree/fields.hpp"
#include "pedigree/prepare.hpp"

namespace gw {

namespace {

// Added parents named in the summary, and traits with a line of their own.
constexpr std::size_t kAddedNamed = 10;
constexpr std::size_t kTraitLines = 20;

}  // namespace

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
  return pedigree_ids_text(ped.ids, ped.source_line, records_text);
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

}  // namespace gw
