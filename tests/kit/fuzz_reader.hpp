// The body of the reader's fuzz target, shared by the libFuzzer entry point
// and by the regression test that replays saved inputs through the same
// path.
//
// A target returns normally when the program handled the input as it must,
// and throws Finding (or lets some other exception escape) when it did not.
// The sanitizers catch the rest.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/fatal.hpp"
#include "io/input_file.hpp"

namespace gw::fuzz {

struct Finding : std::logic_error {
  using std::logic_error::logic_error;
};

inline void require(bool ok, const std::string& what) {
  if (!ok) throw Finding(what);
}

// Line count written out the slow way: the line feeds, plus one for a last
// line without one.
inline std::int64_t plain_line_count(std::string_view text) {
  std::int64_t lines = 0;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n' || i + 1 == text.size()) ++lines;
  return lines;
}

// ---------------------------------------------------------------------------
// The value reader and the line counter.
//
// Byte 0: bit 0 chooses integers (1) or reals (0), bits 1 to 7 give the
// number of destinations of every read less one (1 to 128). Byte 1: the
// number of reads (0 to 255). The rest is the text. Every read must either
// fill its destinations or end with a bad-input diagnostic that names the
// file; every real read back from its shortest exact text must give the
// same bits.
inline void reader_target(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const bool integers = (data[0] & 1) != 0;
  const std::size_t width = static_cast<std::size_t>(data[0] >> 1) + 1;
  const int reads = data[1];
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);

  const std::int64_t lines = count_lines(text);
  require(lines == plain_line_count(text), "count_lines disagrees with the plain count");

  ValueReader reader("F.csv", text);
  std::vector<double> reals(width, 0.0);
  std::vector<std::int32_t> ints(width, 0);
  for (int r = 0; r < reads; ++r) {
    try {
      if (integers)
        reader.read_integers(ints, "the record");
      else
        reader.read_reals(reals, "the record");
    } catch (const FatalError& e) {
      require(e.status() == ExitStatus::bad_input && e.channel() == Channel::diagnostic,
              "a reader error that is not a bad-input diagnostic: " + e.text());
      require(e.text().starts_with("F.csv"), "a reader error that does not name the file: " + e.text());
      return;
    }
    require(reader.last_read_line() >= 1 && reader.last_read_line() <= lines,
            "a read that started on line " + std::to_string(reader.last_read_line()) + " of " +
                std::to_string(lines));
    if (integers) continue;
    for (const double v : reals) {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, "%.17g", v);
      ValueReader again("G.csv", buffer);
      double w = 0;
      again.read_reals({&w, 1}, "the value");
      require(std::bit_cast<std::uint64_t>(v) == std::bit_cast<std::uint64_t>(w),
              std::string("the value ") + buffer + " does not read back to the same bits");
    }
  }
}

}  // namespace gw::fuzz
