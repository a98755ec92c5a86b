#include "io/result_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>

#include "io/number_format.hpp"
#include "kernels/fatal.hpp"

namespace gw {

namespace {

std::string os_error(int err) { return std::error_code(err, std::generic_category()).message(); }

[[noreturn]] void fail_output(const std::string& what, int err) {
  throw FatalError::diagnostic(std::string(kResultFileName) + ": " + what + ": " + os_error(err),
                               ExitStatus::resource);
}

// Creates a new file ".Weighted_value.csv.XXXXXXXX" in `dir` that did not
// exist before (O_EXCL), with the permissions of a newly created file
// (0666 less the umask), and returns its descriptor.
int create_temporary(const std::filesystem::path& dir, std::filesystem::path& path) {
  std::random_device seed;
  std::mt19937_64 random(static_cast<std::uint64_t>(seed()) << 32 | seed());
  constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  int err = EEXIST;
  for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
    std::string name = std::string(".") + kResultFileName + ".";
    for (int k = 0; k < 8; ++k) name += kLetters[random() % (sizeof kLetters - 1)];
    path = dir / name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    err = errno;
  }
  path.clear();
  fail_output("cannot create a file in folder " + dir.string(), err);
}

}  // namespace

ResultFile::ResultFile(const std::filesystem::path& dir) : final_path_(dir / kResultFileName) {
  const int fd = create_temporary(dir, temp_path_);
  file_ = ::fdopen(fd, "w");
  if (file_ == nullptr) {
    const int err = errno;
    ::close(fd);
    ::unlink(temp_path_.c_str());
    fail_output("cannot write", err);
  }
}

ResultFile::~ResultFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!committed_ && !temp_path_.empty()) ::unlink(temp_path_.c_str());
}

void ResultFile::write_line(double vv1, double vv2, double vv0, double v0) {
  if (file_ == nullptr) fail_output("cannot write", EBADF);  // used after commit()
  std::string line;
  for (const double value : {vv1, vv2, vv0, v0}) {
    line += ' ';
    line += format_free(value);
  }
  line += '\n';
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size()) fail_output("cannot write", errno);
}

void ResultFile::commit() {
  if (committed_) return;
  if (file_ == nullptr) fail_output("cannot write", EBADF);  // a commit() that failed before
  // A failure below leaves the temporary file to the destructor, which
  // removes it. The lines are synced to the disk before the rename makes
  // them the result file, so that a crash right after the rename cannot leave
  // an empty result file; a file system that has no sync (EINVAL) is left to
  // the close to report errors.
  errno = 0;
  bool flushed = std::fflush(file_) == 0 && std::ferror(file_) == 0;
  if (flushed && ::fsync(::fileno(file_)) != 0 && errno != EINVAL) flushed = false;
  int err = errno;
  const int closed = std::fclose(file_);
  file_ = nullptr;
  if (closed != 0 && flushed) err = errno;
  if (!flushed || closed != 0) fail_output("cannot write", err == 0 ? EIO : err);
  if (std::rename(temp_path_.c_str(), final_path_.c_str()) != 0) {
    fail_output("cannot replace the file", errno);
  }
  committed_ = true;
}

}  // namespace gw
