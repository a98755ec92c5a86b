#include "io/pedigree_ids.hpp"

#include <cstdio>

#include "io/input_file.hpp"
#include "base/fatal.hpp"

namespace gw {

namespace {

constexpr std::string_view kHeader = "line,id,added";

bool is_plain_integer(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

bool needs_apostrophe(std::string_view id) {
  if (id.empty()) return false;
  const char c = id.front();
  if (c == '\'') return true;
  return (c == '=' || c == '+' || c == '-' || c == '@') && !is_plain_integer(id);
}

// The first four comma-separated fields of `line` (the fourth empty when
// there are three); false when it has fewer than three.
bool leading_fields(std::string_view line, std::string_view (&field)[4]) {
  for (int k = 0; k < 4; ++k) {
    const std::size_t comma = line.find(',');
    if (k < 2 && comma == std::string_view::npos) return false;
    field[k] = line.substr(0, comma);
    line = comma == std::string_view::npos ? std::string_view() : line.substr(comma + 1);
  }
  return true;
}

}  // namespace

std::uint64_t fnv1a64(std::string_view bytes) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

std::string pedigree_fingerprint(std::string_view pedigree_text) {
  const std::int64_t lines = count_lines(pedigree_text);
  char hex[24];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a64(pedigree_text)));
  return std::string("fingerprint of ") + kPedigreeFileName + " (" + std::to_string(lines) +
         (lines == 1 ? " line" : " lines") + "): " + hex;
}

std::string pedigree_ids_text(std::span<const std::string_view> ids, std::span<const std::int64_t> source_lines,
                              std::string_view pedigree_text) {
  std::string s = std::string(kHeader) + ",source_line\n0," + pedigree_fingerprint(pedigree_text) + ",,\n";
  s.reserve(ids.size() * 28 + s.size());
  for (std::size_t k = 0; k < ids.size(); ++k) {
    s += std::to_string(k + 1);
    s += ',';
    append_identifier(s, ids[k]);
    if (source_lines[k] == 0) {
      s += ",1,\n";
    } else {
      s += ",0,";
      s += std::to_string(source_lines[k]);
      s += '\n';
    }
  }
  return s;
}

void append_identifier(std::string& out, std::string_view id) {
  std::string safe;
  if (needs_apostrophe(id)) {
    safe = "'";
    safe += id;
    id = safe;
  }
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  const bool quote = id.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!id.empty() && (blank(id.front()) || blank(id.back())));
  if (!quote) {
    out += id;
    return;
  }
  out += '"';
  for (const char c : id) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

std::string_view identifier_from_field(std::string_view field) {
  if (!field.empty() && field.front() == '\'') field.remove_prefix(1);
  return field;
}

std::optional<PedigreeIds> read_pedigree_ids(const std::filesystem::path& dir, std::string_view pedigree_text,
                                             std::int64_t nanim, std::string& warning) {
  std::optional<InputText> file;
  try {
    file = load_existing_file(dir, kPedigreeIdsFileName);
  } catch (const FatalError& e) {
    warning = e.text();
    return std::nullopt;
  }
  if (!file) return std::nullopt;
  const std::string_view text = file->text;
  PedigreeIds out;
  bool with_source = false;
  std::size_t pos = 0;
  std::int64_t line = 0;
  const auto fail = [&](const std::string& why) {
    warning = std::string(kPedigreeIdsFileName) + (line > 0 ? " line " + std::to_string(line) : std::string()) +
              ": " + why;
    return std::nullopt;
  };
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view l = text.substr(pos, end - pos);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    pos = end + 1;
    ++line;
    if (line == 1) {
      if (!l.starts_with(kHeader) || (l.size() > kHeader.size() && l[kHeader.size()] != ','))
        return fail("the first line is not the header line,id,added");
      with_source = l.substr(kHeader.size()) == ",source_line" || l.substr(kHeader.size()).starts_with(",source_line,");
      continue;
    }
    std::string_view field[4];
    if (!leading_fields(l, field)) return fail("not three fields line,id,added");
    if (line == 2) {
      const std::string expected = pedigree_fingerprint(pedigree_text);
      if (field[0] != "0" || !field[1].starts_with("fingerprint of "))
        return fail("the file has no fingerprint of " + std::string(kPedigreeFileName) +
                    " (line 0), so it cannot be told whether it belongs to it; prepare the pedigree again");
      if (field[1] != expected) {
        line = 0;
        return fail("it belongs to another " + std::string(kPedigreeFileName) + " (its fingerprint line says \"" +
                    std::string(field[1]) + "\", but the file is \"" + expected +
                    "\"): the pedigree file was changed or prepared again without it");
      }
      continue;
    }
    const std::optional<std::int32_t> k = parse_int32(field[0]);
    if (!k || *k != line - 2) return fail("the line number is not " + std::to_string(line - 2));
    if (field[1].empty() || (field[2] != "0" && field[2] != "1"))
      return fail("not an identifier followed by 0 or 1");
    // A source line is a whole number, and only an animal of the source
    // file has one; anything else is left unknown rather than misleading.
    std::string_view source = with_source ? field[3] : std::string_view();
    const std::optional<std::int32_t> number = parse_int32(source);
    if (field[2] != "0" || !number || *number < 1) source = {};
    out.ids.emplace_back(identifier_from_field(field[1]));
    out.source_lines.emplace_back(source);
  }
  if (line == 0) return fail("the file is empty; prepare the pedigree again");
  if (line < 2)
    return fail("the file has no fingerprint of " + std::string(kPedigreeFileName) + "; prepare the pedigree again");
  if (static_cast<std::int64_t>(out.ids.size()) != nanim) {
    line = 0;
    return fail("it lists " + std::to_string(out.ids.size()) + " lines, but " + kPedigreeFileName + " has " +
                std::to_string(nanim));
  }
  return out;
}

}  // namespace gw
