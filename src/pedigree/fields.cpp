#include "pedigree/fields.hpp"

#include <charconv>

#include "base/text.hpp"

namespace gw {

namespace {

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

}  // namespace

std::string_view trim_wide_blanks(std::string_view field, bool& trimmed) {
  for (std::size_t n; (n = wide_blank_at_start(field)) > 0; trimmed = true) field.remove_prefix(n);
  for (std::size_t n; (n = wide_blank_at_end(field)) > 0; trimmed = true) field.remove_suffix(n);
  return field;
}

bool is_unknown(std::string_view field) {
  return field.empty() || field == "0" || field == "NA" || field == "." || field == "*";
}

Separator separator_of(std::string_view line) {
  if (line.find(';') != std::string_view::npos) return Separator::semicolon;
  if (line.find('\t') != std::string_view::npos && line.find(',') == std::string_view::npos) return Separator::tab;
  return Separator::free;
}


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

void append_number(std::string& s, std::int64_t value) {
  char buf[24];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  s.append(buf, end);
}

std::string where(const std::string& name, std::int64_t line) { return name + " line " + std::to_string(line); }

std::string line_list(const std::vector<std::int64_t>& lines, std::int64_t total) {
  std::string s;
  for (const std::int64_t l : lines) {
    if (!s.empty()) s += ", ";
    s += std::to_string(l);
  }
  if (total > static_cast<std::int64_t>(lines.size())) s += ", ...";
  return s;
}

}  // namespace gw
