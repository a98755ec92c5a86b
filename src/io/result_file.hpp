// The result file, written so that a run that fails never leaves a
// half-written or damaged file behind.
//
// The lines go to a new temporary file beside the result file (beside the
// file it leads to, when it is a symbolic link); commit() syncs and closes it
// and renames it over the result file. A ResultFile destroyed
// without commit() removes its temporary file and leaves an existing result
// file as it was.
#pragma once

#include <filesystem>

#include "io/atomic_file.hpp"

namespace gw {

inline constexpr const char* kResultFileName = "Weighted_value.csv";

class ResultFile {
 public:
  // Creates the temporary file in `dir`. Throws FatalError (exit status 3)
  // when it cannot be created.
  explicit ResultFile(const std::filesystem::path& dir);

  // One line: a blank, then the four values in the free-form layout,
  // separated by one blank, ended by LF.
  void write_line(double vv1, double vv2, double vv0, double v0);

  // Closes the temporary file and renames it over the result file on its
  // own. Throws FatalError (exit status 3) on any write, close or rename
  // error.
  void commit();

  // For a commit together with other files (see commit_together).
  AtomicFile& file() { return file_; }

 private:
  AtomicFile file_;
};

}  // namespace gw
