// The contents of the two input files, as the run uses them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io/input_file.hpp"
#include "base/matrix.hpp"

namespace gw {

struct Parameters {
  int ntrait = 0;
  std::vector<double> k0;   // target value of every trait
  std::vector<double> wvp;  // phenotypic variance of every trait
  Matrix<double> gp;        // row i: the covariance table row of trait i
  // About the text of the file: lines that hold more values than the run
  // reads, or a number that looks written with a decimal comma (at most
  // ten, then a count of the rest).
  std::vector<std::string> warnings;
};

struct Pedigree {
  int nanim = 0;
  std::vector<std::int32_t> ident;     // field 1 of each line, as read (the animal's identifier)
  std::vector<std::int32_t> id1, id2;  // parents by 1-based line position, 0 = unknown
  std::vector<std::int32_t> cand;      // 1: candidate
  std::vector<std::int32_t> gend;      // 1: group 1, otherwise group 2
  Matrix<std::int32_t> nonr;           // nanim x ntrait, 1: record present

  std::int64_t record_count() const;     // flags equal to 1
  std::int64_t candidate_count() const;  // candidate flags equal to 1
};

// Counts the lines of the parameter file and reads one trait per line. The
// first line is read before the ntrait x ntrait arrays are sized; arrays
// that cannot be represented or do not fit in the available memory end the
// run with the "not enough memory" diagnostic (exit status 3) before they are
// allocated. Read errors are bad input (exit status 2).
Parameters read_parameters(const InputText& file);

// A number written with a decimal comma among the values of `line` (before
// a slash), when they are separated by blanks: the first word made of
// digits, one comma and digits ("37,229", with a sign or an exponent), or
// nothing. A word of several commas is a list of values, not a number.
std::string_view decimal_comma(std::string_view line);

// Counts the lines of the pedigree file and reads one animal per line, each
// with ntrait record flags, sized and checked in the same way. Then checks
// that every parent code names an earlier line: a code outside 0..k-1 on line
// k would address animals that do not exist or give relationships without
// meaning.
Pedigree read_pedigree(const InputText& file, int ntrait);

}  // namespace gw
