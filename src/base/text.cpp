#include "base/text.hpp"

namespace gw {

std::string shown(std::string_view s) {
  if (s.size() <= kMaxShown) return std::string(s);
  std::size_t cut = kMaxShown;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return std::string(s.substr(0, cut)) + "...";
}

std::string quoted(std::string_view s) { return "\"" + shown(s) + "\""; }

std::string_view next_line(std::string_view text, std::size_t& pos) {
  std::size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(pos, end - pos);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  pos = end + 1;
  return line;
}

}  // namespace gw
