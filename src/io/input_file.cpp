#include "io/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <system_error>

#include "base/memory.hpp"
#include "base/fatal.hpp"
#include "base/text.hpp"

namespace gw {

namespace {

// Longest line a reader accepts; anything longer is not a sane input line.
constexpr std::size_t kMaxLineLength = std::size_t{1} << 20;

[[noreturn]] void fail_input(std::string text) {
  throw FatalError::diagnostic(std::move(text), ExitStatus::bad_input);
}

std::string os_error(int err) { return std::error_code(err, std::generic_category()).message(); }

// Closes a file descriptor when it goes out of scope.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// 1-based number of the line that holds byte `pos`.
std::int64_t line_of(std::string_view text, std::size_t pos) {
  return 1 + static_cast<std::int64_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(pos), '\n'));
}

// Length of the well-formed UTF-8 sequence starting at text[i] (a byte of
// 0x80 or above), or 0 when the bytes there are not UTF-8.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  std::size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return len;
}

// Rejects text that is not plain text: NUL and other control characters
// (TAB, LF and a CR that ends a line are fine) and bytes that are not UTF-8.
void check_plain_text(const std::string& name, std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      ++i;
      continue;
    }
    if (c == '\t' || c == '\n') {
      ++i;
      continue;
    }
    std::string problem;
    if (c == '\r') {
      // A CR belongs to a line end only right before the LF (or at the very
      // end of the file). A CR alone elsewhere would hide line ends from the
      // line count.
      if (i + 1 == text.size() || text[i + 1] == '\n') {
        ++i;
        continue;
      }
      problem = "a carriage return that is not followed by a line feed (lines must end with LF or CR LF)";
    } else if (c >= 0x80) {
      if (const std::size_t len = utf8_sequence_length(text, i); len > 0) {
        i += len;
        continue;
      }
      problem = "bytes that are not UTF-8 text";
    } else if (c == 0) {
      problem = "a NUL byte";
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(c));
      problem = std::string("the control character ") + hex;
    }
    fail_input(name + " line " + std::to_string(line_of(text, i)) + ": the file holds " + problem +
               "; it must be a plain text file");
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

enum class Parse { ok, malformed, out_of_range };

// Optional sign and decimal digits, within the signed 32-bit range.
Parse parse_value(std::string_view s, std::int32_t& out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return Parse::malformed;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  bool too_large = false;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return Parse::malformed;
    if (!too_large) {
      magnitude = magnitude * 10 + (s[i] - '0');
      too_large = magnitude > kLimit;
    }
  }
  if (too_large || (!negative && magnitude == kLimit)) return Parse::out_of_range;
  out = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return Parse::ok;
}

// Optional sign, digits with an optional point (at least one digit), and an
// optional exponent: one of E, D, Q (either case) and a whole number with an
// optional sign, or a sign and a whole number alone (1.5+3 is 1500).
// Converted with correct rounding; a value too small for a double becomes
// the nearest double (a zero of the value's sign when nothing is nearer).
Parse parse_value(std::string_view s, double& out) {
  const std::size_t n = s.size();
  std::size_t i = 0;
  const bool negative = n > 0 && s[0] == '-';
  if (n > 0 && (s[0] == '+' || s[0] == '-')) ++i;
  const std::size_t mantissa_begin = i;
  std::size_t integer_digits = 0, fraction_digits = 0;
  while (i < n && is_digit(s[i])) ++i, ++integer_digits;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && is_digit(s[i])) ++i, ++fraction_digits;
  }
  const std::size_t mantissa_end = i;
  if (integer_digits + fraction_digits == 0) return Parse::malformed;

  std::string_view exponent_sign, exponent_digits;
  if (i < n) {
    if (std::strchr("EeDdQq", s[i]) != nullptr) ++i;
    else if (s[i] != '+' && s[i] != '-') return Parse::malformed;
    if (i < n && (s[i] == '+' || s[i] == '-')) exponent_sign = s.substr(i++, 1);
    const std::size_t digits_begin = i;
    while (i < n && is_digit(s[i])) ++i;
    if (i != n || i == digits_begin) return Parse::malformed;
    exponent_digits = s.substr(digits_begin);
  }

  // The same number in the syntax std::from_chars takes: no plus sign, the
  // exponent introduced by 'e'.
  std::string normal;
  normal.reserve(n + 2);
  if (negative) normal += '-';
  normal.append(s.substr(mantissa_begin, mantissa_end - mantissa_begin));
  if (!exponent_digits.empty()) {
    normal += 'e';
    normal.append(exponent_sign);
    normal.append(exponent_digits);
  }
  double value = 0;
  const auto [ptr, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Overflow or underflow. The decimal exponent of the first non-zero digit
    // tells them apart: every overflow has it above 300, every underflow
    // below -300 (an all-zero mantissa never gets here).
    const std::string_view mantissa = s.substr(mantissa_begin, mantissa_end - mantissa_begin);
    const std::size_t first = mantissa.find_first_not_of("0.");
    std::int64_t lead = 0;
    if (first < integer_digits) {
      lead = static_cast<std::int64_t>(integer_digits - 1 - first);
    } else {
      lead = -static_cast<std::int64_t>(first - integer_digits);  // the point sits between them
    }
    std::int64_t exponent = 0;
    for (char c : exponent_digits) exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
    if (exponent_sign == "-") exponent = -exponent;
    if (lead + exponent > 0) return Parse::out_of_range;
    out = negative ? -0.0 : 0.0;
    return Parse::ok;
  }
  if (ec != std::errc() || ptr != normal.data() + normal.size()) return Parse::malformed;
  out = value;
  return Parse::ok;
}

const char* kind_name(const std::int32_t*) { return "an integer"; }
const char* kind_name(const double*) { return "a real number"; }
const char* range_text(const std::int32_t*) {
  return "is outside the range of a 32-bit integer (-2147483648 to 2147483647)";
}
const char* range_text(const double*) { return "is out of range for a double"; }

// The first blank line of the text (only blanks and tabs), or 0 if none.
std::int64_t first_blank_line(std::string_view text) {
  std::int64_t line = 1;
  for (std::size_t pos = 0; pos < text.size(); ++line) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view content = text.substr(pos, end - pos);
    if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
    if (content.find_first_not_of(" \t") == std::string_view::npos) return line;
    pos = end + 1;
  }
  return 0;
}

// Reads the open file `fd` whole as the text of input file `name`.
InputText read_open_file(int fd, const std::string& name) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) fail_input(name + ": cannot read the file: " + os_error(errno));
  if (S_ISDIR(info.st_mode)) fail_input(name + ": is a folder, not a file");
  if (!S_ISREG(info.st_mode)) fail_input(name + ": is not a regular file");

  // The whole text is held in memory: refuse a file larger than what can be
  // allocated (a sparse file, say) before reading it. A file that grows while
  // it is read (or reports no size) is checked again as it grows.
  InputText input{name, std::string()};
  std::string& text = input.text;
  const auto reserve = [&](std::uint64_t bytes) {
    const std::string what = "the text of " + name;
    check_fits(what, bytes, available_memory(),
               "Check that " + name + " is the right file, or close other programs to free memory");
    try {
      text.resize(static_cast<std::size_t>(bytes));
    } catch (const std::exception&) {  // bad_alloc, or length_error beyond max_size()
      throw FatalError::diagnostic("not enough memory: " + what + " needs " +
                                       plural(static_cast<long long>(bytes), "byte") +
                                       ", which cannot be allocated; close other programs or run on a machine "
                                       "with more memory",
                                   ExitStatus::resource);
    }
  };
  reserve(static_cast<std::uint64_t>(info.st_size) + 1);  // one more byte to see the end
  std::size_t size = 0;
  for (;;) {
    if (size == text.size()) reserve(std::uint64_t{text.size()} * 2);
    const ssize_t got = ::read(fd, text.data() + size, text.size() - size);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail_input(name + ": cannot read the file: " + os_error(errno));
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  text.resize(size);

  // A byte order mark, as some spreadsheet programs put at the start of a
  // UTF-8 file, is not part of the values.
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  check_plain_text(name, text);
  return input;
}

}  // namespace

InputText load_input_file(const std::filesystem::path& dir, const std::string& name) {
  const std::filesystem::path path = dir / name;
  // O_NONBLOCK keeps the open from hanging on a FIFO; only regular files
  // are read below.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    // A missing input file is created empty and read as empty.
    const int created = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (created >= 0) {
      ::close(created);
      return InputText{name, std::string()};
    }
    if (errno != EEXIST) {
      throw FatalError::diagnostic(name + ": the file does not exist and cannot be created: " + os_error(errno),
                                   ExitStatus::resource);
    }
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // appeared meanwhile
  }
  if (fd < 0) fail_input(name + ": cannot open the file: " + os_error(errno));
  const FdGuard guard(fd);
  return read_open_file(fd, name);
}

std::optional<InputText> load_existing_file(const std::filesystem::path& dir, const std::string& name) {
  const int fd = ::open((dir / name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return std::nullopt;
  if (fd < 0) fail_input(name + ": cannot open the file: " + os_error(errno));
  const FdGuard guard(fd);
  return read_open_file(fd, name);
}

std::optional<std::int32_t> parse_int32(std::string_view s) {
  std::int32_t value = 0;
  if (parse_value(s, value) != Parse::ok) return std::nullopt;
  return value;
}

std::int64_t count_lines(std::string_view text) {
  if (text.empty()) return 0;
  const auto feeds = static_cast<std::int64_t>(std::count(text.begin(), text.end(), '\n'));
  return text.back() == '\n' ? feeds : feeds + 1;
}

ValueReader::ValueReader(std::string file_name, std::string_view text)
    : file_name_(std::move(file_name)), text_(text) {}

void ValueReader::read_reals(std::span<double> values, std::string_view what) { read_values(values, what); }

void ValueReader::read_integers(std::span<std::int32_t> values, std::string_view what) {
  read_values(values, what);
}

// One read. Each line is split into values on its own:
// - blanks and tabs at the start and the end of a line are ignored;
// - a comma directly after a value (blanks between allowed) only separates;
// - any other comma ends an empty value: a comma at the start of a line (after
//   blanks), and the second of two commas. So ",5" is an empty value and 5,
//   "5,,6" is 5, an empty value and 6, and "5," at the end of a line is just
//   5: a trailing comma makes no empty value;
// - a slash ends the read, directly after a value too ("5/").
// The line end separates values like a blank, so a read that needs more
// values continues with the next line, which again starts a fresh split.
namespace {

// The values of `rest`, the part of a line after a read, counted as a read
// would count them: a comma directly after a value only separates, a
// repeat r*v counts r (at most 2^31), a slash ends the values.
std::int64_t count_values(std::string_view rest) {
  std::int64_t count = 0;
  bool expecting_value = false;  // the rest starts right after a value or a separator
  for (std::size_t i = 0; i < rest.size();) {
    const char c = rest[i];
    if (is_blank(c)) {
      ++i;
      continue;
    }
    if (c == '/') break;
    if (c == ',') {
      if (expecting_value) ++count;
      expecting_value = true;
      ++i;
      continue;
    }
    const std::size_t begin = i;
    while (i < rest.size() && !is_blank(rest[i]) && rest[i] != ',' && rest[i] != '/') ++i;
    const std::string_view token = rest.substr(begin, i - begin);
    const std::size_t star = token.find('*');
    std::int64_t r = 1;
    if (star != std::string_view::npos && star > 0 &&
        std::all_of(token.begin(), token.begin() + static_cast<std::ptrdiff_t>(star), is_digit)) {
      r = 0;
      for (std::size_t k = 0; k < star; ++k) r = std::min<std::int64_t>(r * 10 + (token[k] - '0'), 1LL << 31);
    }
    count += r;
    expecting_value = false;
  }
  return count;
}

}  // namespace

template <class T>
void ValueReader::read_values(std::span<T> values, std::string_view what) {
  last_read_line_ = next_line_;
  leftover_ = 0;
  const std::size_t wanted = values.size();
  std::size_t filled = 0;  // destinations this read has passed, empty values included
  for (;;) {
    if (pos_ >= text_.size()) {
      std::string text = file_name_ + ": end of file while reading " + std::string(what) + " (" +
                         plural(static_cast<long long>(wanted), "value") + " expected, " +
                         std::to_string(filled) + " found)";
      if (const std::int64_t blank = first_blank_line(text_); blank > 0) {
        text += "; line " + std::to_string(blank) + " is blank: the file must not contain blank lines";
      }
      fail_input(std::move(text));
    }
    const std::int64_t line_number = next_line_;
    std::size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    if (end - pos_ > kMaxLineLength) {
      fail_input(file_name_ + " line " + std::to_string(line_number) + ": the line is longer than " +
                 std::to_string(kMaxLineLength) + " characters");
    }
    std::string_view line = text_.substr(pos_, end - pos_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos_ = std::min(end + 1, text_.size());
    ++next_line_;
    last_line_ = line;

    // A word where the first line should hold values is most likely a header.
    const auto malformed = [&](std::string_view token, std::string_view detail) {
      std::string text = file_name_ + " line " + std::to_string(line_number) + ": " + std::string(detail);
      const char first = token.empty() ? ' ' : token.front();
      if (line_number == 1 && (((first | 0x20) >= 'a' && (first | 0x20) <= 'z') || first == '"')) {
        text += " (the file must not have a header line)";
      }
      fail_input(std::move(text));
    };
    const auto parse_into = [&](std::string_view token, std::string_view whole, T& destination) {
      T value{};
      const Parse result = parse_value(token, value);
      if (result == Parse::ok) {
        destination = value;
        return;
      }
      std::string where = quoted(token);
      if (token.size() != whole.size()) where += " in " + quoted(whole);
      malformed(whole, where + " " +
                (result == Parse::malformed ? std::string("is not ") + kind_name(&value) : range_text(&value)));
    };

    bool expecting_value = true;  // no value since the line start or the last comma
    std::size_t i = 0;
    while (filled < wanted) {
      while (i < line.size() && is_blank(line[i])) ++i;
      if (i == line.size()) break;
      const char c = line[i];
      if (c == ',') {
        if (expecting_value) ++filled;  // an empty value: the destination keeps its content
        expecting_value = true;
        ++i;
        continue;
      }
      if (c == '/') return;  // the rest of the line is ignored, unfilled destinations keep theirs
      const std::size_t begin = i;
      while (i < line.size() && !is_blank(line[i]) && line[i] != ',' && line[i] != '/') ++i;
      const std::string_view token = line.substr(begin, i - begin);
      expecting_value = false;

      const std::size_t star = token.find('*');
      if (star == std::string_view::npos) {
        parse_into(token, token, values[filled++]);
        continue;
      }
      // A repeat r*v or r*: r copies of v, or r empty values. Only as many
      // copies as there are destinations left are used, the rest is ignored.
      const std::string_view count_text = token.substr(0, star);
      if (count_text.empty() || !std::all_of(count_text.begin(), count_text.end(), is_digit) ||
          count_text.find_first_not_of('0') == std::string_view::npos) {
        malformed(token,
                  quoted(token) + " is not a repeat (a positive whole number, an asterisk and a value or nothing)");
      }
      std::size_t count = 0;
      for (char d : count_text) count = std::min(count * 10 + static_cast<std::size_t>(d - '0'), wanted);
      count = std::min(count, wanted - filled);
      const std::string_view repeated = token.substr(star + 1);
      if (!repeated.empty()) {
        T value{};
        parse_into(repeated, token, value);
        std::fill_n(values.begin() + static_cast<std::ptrdiff_t>(filled), count, value);
      }
      filled += count;
    }
    if (filled == wanted) {
      leftover_ = count_values(line.substr(i));
      return;
    }
  }
}

}  // namespace gw
