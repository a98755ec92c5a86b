// The value syntax of the input files, line counting and file loading.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kit/fuzz_reader.hpp"
#include "io/input_file.hpp"
#include "base/fatal.hpp"

namespace gw {
namespace {

using namespace std::string_literals;

// Destinations start with this value, so that a kept content shows.
constexpr int kUntouched = 9;

// One row: the text, the sizes of the reads done one after the other, and
// either the values of all reads in order or a fragment of the diagnostic.
template <class T>
struct Row {
  std::string text;
  std::vector<std::size_t> reads;
  std::vector<T> values;
  std::string error = {};
};

template <class T>
void run_rows(const std::vector<Row<T>>& rows) {
  for (const Row<T>& row : rows) {
    SCOPED_TRACE("text: \"" + row.text + "\"");
    ValueReader reader("F.csv", row.text);
    std::vector<T> got;
    try {
      for (std::size_t n : row.reads) {
        std::vector<T> values(n, T(kUntouched));
        if constexpr (std::is_same_v<T, double>) reader.read_reals(values, "the record");
        else reader.read_integers(values, "the record");
        got.insert(got.end(), values.begin(), values.end());
      }
    } catch (const FatalError& e) {
      EXPECT_EQ(e.status(), ExitStatus::bad_input);
      EXPECT_EQ(e.channel(), Channel::diagnostic);
      EXPECT_NE(row.error, "") << "unexpected error: " << e.text();
      EXPECT_NE(e.text().find(row.error), std::string::npos) << e.text();
      continue;
    }
    ASSERT_EQ(row.error, "") << "no error";
    ASSERT_EQ(got.size(), row.values.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
      // Bit for bit, so that a zero of the wrong sign shows.
      if constexpr (std::is_same_v<T, double>) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got[k]), std::bit_cast<std::uint64_t>(row.values[k]))
            << "value " << k << ": " << got[k] << " != " << row.values[k];
      } else {
        EXPECT_EQ(got[k], row.values[k]) << "value " << k;
      }
    }
  }
}

TEST(ValueReader, RealSyntax) {
  const std::vector<double> two_traits = {5, 10, 3, 1, 2, 20, 0.5, 4};
  const double u = kUntouched;
  run_rows<double>({
      // Separators, line ends, leftovers.
      {"5,10,3,1\n2,20,0.5,4\n", {4, 4}, two_traits},
      {"5 10  3\t1\n2\t 20 0.5 4", {4, 4}, two_traits},
      {"  5 , 10,3 ,\t1  \r\n2, 20 ,0.5,4\r\n", {4, 4}, two_traits},
      {"5,10,3,1,99\n2,20,0.5,4\n", {4, 4}, two_traits},
      {"5,10,3\n2,20,0.5,4\n", {4}, {5, 10, 3, 2}},
      {"1\n \t\n2\n", {2}, {1, 2}},
      // Empty values: two commas, or a comma first on a line; a comma last
      // on a line is no empty value.
      {"1,,3", {3}, {1, u, 3}},
      {",,3", {3}, {u, u, 3}},
      {" , ,3", {3}, {u, u, 3}},
      {"1,2,\n3", {3}, {1, 2, 3}},
      {"1,2\n,3", {3}, {1, 2, u}},
      // Repeats; a count beyond the destinations left is cut off there.
      {"2*0.5,1", {3}, {0.5, 0.5, 1}},
      {"3*,7", {4}, {u, u, u, 7}},
      {"1,3*2\n5", {3, 1}, {1, 2, 2, 5}},
      {"2147483647*1.5\n4", {3, 1}, {1.5, 1.5, 1.5, 4}},
      {"99999999999999999999999*-2", {2}, {-2, -2}},
      // A slash ends the read, also directly after a value.
      {"1,2/3\n4", {3, 1}, {1, 2, u, 4}},
      {"1 / 2\n/\n5", {2, 2, 1}, {1, u, u, u, 5}},
      {"2*/", {3}, {u, u, u}},
      // Reals: exponent letters, the sign-only exponent, whole numbers.
      {"1.5+3 2.5-1 1d2 1Q-2 -.5 +3. 7 1E+2 2e0 4q1", {10}, {1500, 0.25, 100, 0.01, -0.5, 3, 7, 100, 2, 40}},
      // Correct rounding, underflow to the nearest double, negative zero.
      {"0.1 9007199254740993 2.2250738585072011e-308 4.9e-324", {4},
       {0.1, 9007199254740992.0, 2.2250738585072011e-308, 4.9e-324}},
      {"1e-400 -1e-400 -0 0.0000e99999999999", {4}, {0.0, -0.0, -0.0, 0.0}},
      // Malformed values.
      {"abc", {1}, {}, "F.csv line 1: \"abc\" is not a real number (the file must not have a header line)"},
      {"1,2\n3,1.5x", {2, 2}, {}, "F.csv line 2: \"1.5x\" is not a real number"},
      {"1\n2\n\"3\"", {3}, {}, "F.csv line 3: \"\"3\"\" is not a real number"},
      {"+", {1}, {}, "\"+\" is not a real number"},
      {"-", {1}, {}, "\"-\" is not a real number"},
      {".", {1}, {}, "\".\" is not a real number"},
      {"1e", {1}, {}, "\"1e\" is not a real number"},
      {"1e+", {1}, {}, "\"1e+\" is not a real number"},
      {"1.5e3.2", {1}, {}, "is not a real number"},
      {"1..2", {1}, {}, "is not a real number"},
      {"e5", {1}, {}, "is not a real number"},
      {"1+-3", {1}, {}, "is not a real number"},
      {"1e999", {1}, {}, "F.csv line 1: \"1e999\" is out of range for a double"},
      {"-1.8e308", {1}, {}, "is out of range for a double"},
      {"0*5", {1}, {}, "\"0*5\" is not a repeat"},
      {"*5", {1}, {}, "\"*5\" is not a repeat"},
      {"+2*5", {1}, {}, "\"+2*5\" is not a repeat"},
      {"2*x", {1}, {}, "\"x\" in \"2*x\" is not a real number"},
      {"2**", {1}, {}, "\"*\" in \"2**\" is not a real number"},
      {std::string(200, '7') + "x", {1}, {}, "\"" + std::string(60, '7') + "...\" is not a real number"},
      // A read past the end of the text.
      {"5,10,3,1\n2,20,0.5\n", {4, 4}, {}, "F.csv: end of file while reading the record (4 values expected, 3 found)"},
      {"5,10,3\n2,20,0.5,4\n", {4, 4}, {}, "(4 values expected, 0 found)"},
      {"1,2\n\n3\n", {2, 2}, {},
       "end of file while reading the record (2 values expected, 1 found); line 2 is blank: the file must not "
       "contain blank lines"},
      {"", {1}, {}, "F.csv: end of file while reading the record (1 value expected, 0 found)"},
  });
}

TEST(ValueReader, IntegerSyntax) {
  run_rows<std::int32_t>({
      {"1,0,0,0,2,1,1\n2,0,0,1,2,1,1\r\n3,1,2,1,1,1,0", {7, 7, 7},
       {1, 0, 0, 0, 2, 1, 1, 2, 0, 0, 1, 2, 1, 1, 3, 1, 2, 1, 1, 1, 0}},
      {"-2147483648 2147483647 +5 007 -0 3*-1", {7}, {INT32_MIN, INT32_MAX, 5, 7, 0, -1, -1}},
      {"1,,2*", {4}, {1, kUntouched, kUntouched, kUntouched}},
      {"1\n1.5", {1, 1}, {}, "F.csv line 2: \"1.5\" is not an integer"},
      {"1e3", {1}, {}, "\"1e3\" is not an integer"},
      {"2*1.", {2}, {}, "\"1.\" in \"2*1.\" is not an integer"},
      {"+", {1}, {}, "\"+\" is not an integer"},
      {"2147483648", {1}, {}, "\"2147483648\" is outside the range of a 32-bit integer"},
      {"-2147483649", {1}, {}, "is outside the range of a 32-bit integer"},
      {"99999999999999999999", {1}, {}, "is outside the range of a 32-bit integer"},
      {"Id,Sire,Dam\n1,0,0", {3}, {}, "F.csv line 1: \"Id\" is not an integer (the file must not have a header line)"},
  });
}

TEST(ValueReader, ReadsStartOnTheirLines) {
  const std::string text = "1 2\n3\n4 5 6\n7\n";
  ValueReader reader("F.csv", text);
  std::vector<double> v(3);
  reader.read_reals(v, "a");
  EXPECT_EQ(reader.last_read_line(), 1);
  reader.read_reals(v, "b");  // 4 5 6, starting on line 3
  EXPECT_EQ(reader.last_read_line(), 3);
  EXPECT_EQ(v, (std::vector<double>{4, 5, 6}));
}

TEST(ValueReader, OverlongLine) {
  const std::string text = "1\n" + std::string((std::size_t{1} << 20) + 1, ' ') + "2\n";
  ValueReader reader("F.csv", text);
  std::vector<double> v(1);
  reader.read_reals(v, "a");
  try {
    reader.read_reals(v, "b");
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.status(), ExitStatus::bad_input);
    EXPECT_EQ(e.text(), "F.csv line 2: the line is longer than 1048576 characters");
  }
}

TEST(CountLines, Table) {
  const std::vector<std::pair<std::string, std::int64_t>> rows = {
      {"", 0},    {"a", 1},    {"a\n", 1},        {"\n", 1},
      {"\n\n", 2}, {"a\nb", 2}, {"a\r\nb\r\n", 2}, {"a\r\nb", 2},
  };
  for (const auto& [text, lines] : rows) EXPECT_EQ(count_lines(text), lines) << '"' << text << '"';
}

class LoadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("gw_io_load_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void write(const std::string& content) {
    std::ofstream(dir_ / "F.csv", std::ios::binary) << content;
  }
  // The status and text of the error of loading F.csv, or status success.
  std::pair<ExitStatus, std::string> load_error(const std::filesystem::path& dir) {
    try {
      load_input_file(dir, "F.csv");
    } catch (const FatalError& e) {
      EXPECT_EQ(e.channel(), Channel::diagnostic);
      return {e.status(), e.text()};
    }
    return {ExitStatus::success, ""};
  }
  std::filesystem::path dir_;
};

TEST_F(LoadInput, MissingFileIsCreatedEmpty) {
  const InputText input = load_input_file(dir_, "F.csv");
  EXPECT_EQ(input.name, "F.csv");
  EXPECT_EQ(input.text, "");
  EXPECT_TRUE(std::filesystem::is_regular_file(dir_ / "F.csv"));
  EXPECT_EQ(std::filesystem::file_size(dir_ / "F.csv"), 0u);
}

TEST_F(LoadInput, FileThatCannotBeReadOrCreated) {
  std::filesystem::create_directory(dir_ / "F.csv");
  EXPECT_EQ(load_error(dir_), std::make_pair(ExitStatus::bad_input, std::string("F.csv: is a folder, not a file")));

  const auto [status, text] = load_error(dir_ / "no such folder");
  EXPECT_EQ(status, ExitStatus::resource);
  EXPECT_EQ(text, "F.csv: the file does not exist and cannot be created: No such file or directory");
}

TEST_F(LoadInput, PlainTextOnly) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"1,2\n3,\0\n"s, "F.csv line 2: the file holds a NUL byte; it must be a plain text file"},
      {"1\x1b[0m", "F.csv line 1: the file holds the control character 0x1B"},
      {"1\n2\n\xff", "F.csv line 3: the file holds bytes that are not UTF-8 text"},
      {"\xc3(", "bytes that are not UTF-8 text"},      // a cut sequence
      {"\xc0\xaf", "bytes that are not UTF-8 text"},   // an overlong form
      {"\xed\xa0\x80", "bytes that are not UTF-8 text"},  // a surrogate
      {"1\r2\n", "F.csv line 1: the file holds a carriage return that is not followed by a line feed"},
      {"1\t2\r\n3\r", ""},
      {"Gr\xc3\xb6\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x90\x84\n", ""},
  };
  for (const auto& [content, error] : rows) {
    write(content);
    const auto [status, text] = load_error(dir_);
    EXPECT_EQ(status, error.empty() ? ExitStatus::success : ExitStatus::bad_input) << text;
    EXPECT_NE(text.find(error), std::string::npos) << text;
  }
}

TEST_F(LoadInput, TextIsReadWholeWithoutByteOrderMark) {
  write("\xEF\xBB\xBF" "5,10,3\r\n");
  const InputText input = load_input_file(dir_, "F.csv");
  EXPECT_EQ(input.text, "5,10,3\r\n");

  // A UTF-8 word among the values is an ordinary malformed value.
  write("1 Gr\xc3\xb6\xc3\x9f" "e\n");
  const InputText word = load_input_file(dir_, "F.csv");
  ValueReader reader(word.name, word.text);
  std::vector<double> v(2);
  try {
    reader.read_reals(v, "a");
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(),
              "F.csv line 1: \"Gr\xc3\xb6\xc3\x9f" "e\" is not a real number (the file must not have a header line)");
  }
}

// Saved inputs of the reader's fuzz target (crashes once found, and seeds),
// replayed through the same path.
TEST(FuzzRegressions, ValueReader) {
  const std::filesystem::path folder = std::filesystem::path(GAINWEIGHTS_TEST_DATA) / "hostile" / "reader";
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NO_THROW(fuzz::reader_target(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
        << file.filename().string();
  }
}

}  // namespace
}  // namespace gw
