#include "io/result_file.hpp"

#include <string>

#include "io/number_format.hpp"

namespace gw {

ResultFile::ResultFile(const std::filesystem::path& dir) : file_(dir / kResultFileName, kResultFileName) {}

void ResultFile::write_line(double vv1, double vv2, double vv0, double v0) {
  std::string line;
  for (const double value : {vv1, vv2, vv0, v0}) {
    line += ' ';
    line += format_free(value);
  }
  line += '\n';
  file_.write(line);
}

void ResultFile::commit() { file_.commit(AtomicFile::Replace::allow); }

}  // namespace gw
