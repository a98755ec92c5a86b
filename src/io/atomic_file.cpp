#include "io/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>

#include "kernels/fatal.hpp"

namespace gw {

namespace {

// Text is handed to the kernel in pieces of about this size.
constexpr std::size_t kBufferSize = std::size_t{1} << 20;

std::string os_error(int err) { return std::error_code(err, std::generic_category()).message(); }

// Creates a new file ".NAME.XXXXXXXX" in `dir` that did not exist before
// (O_EXCL, and O_NOFOLLOW against a link planted under that name), with the
// permissions of a newly created file (0666 less the umask). Returns its
// descriptor, or -1 with the last error in `err`.
int create_temporary(const std::filesystem::path& dir, const std::string& name, std::filesystem::path& path,
                     int& err) {
  std::random_device seed;
  std::mt19937_64 random(static_cast<std::uint64_t>(seed()) << 32 | seed());
  constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  err = EEXIST;
  for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
    std::string temp = "." + name + ".";
    for (int k = 0; k < 8; ++k) temp += kLetters[random() % (sizeof kLetters - 1)];
    path = dir / temp;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    err = errno;
  }
  path.clear();
  return -1;
}

}  // namespace

AtomicFile::AtomicFile(const std::filesystem::path& dir, std::string name)
    : name_(std::move(name)), final_path_(dir / name_) {
  int err = 0;
  fd_ = create_temporary(dir, name_, temp_path_, err);
  if (fd_ < 0) fail("cannot create a file in folder " + dir.string(), err);
  buffer_.reserve(kBufferSize);
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_ && !temp_path_.empty()) ::unlink(temp_path_.c_str());
}

void AtomicFile::fail(const std::string& what, int err) const {
  throw FatalError::diagnostic(name_ + ": " + what + ": " + os_error(err), ExitStatus::resource);
}

void AtomicFile::write(std::string_view text) {
  if (fd_ < 0) fail("cannot write", EBADF);  // used after commit()
  if (buffer_.size() + text.size() > kBufferSize) flush();
  if (text.size() >= kBufferSize) {
    write_out(text);  // a large piece goes out on its own, without a copy
    return;
  }
  buffer_ += text;
}

void AtomicFile::flush() {
  write_out(buffer_);
  buffer_.clear();
}

void AtomicFile::write_out(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd_, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write", errno);
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool AtomicFile::commit(Replace replace) {
  if (committed_) return true;
  if (fd_ < 0) fail("cannot write", EBADF);  // a commit() that failed before
  // A failure below leaves the temporary file to the destructor, which
  // removes it. The text is synced to the disk before the rename makes it
  // the target, so that a crash right after the rename cannot leave an empty
  // file; a file system that has no sync (EINVAL) is left to the close to
  // report errors.
  flush();
  if (::fsync(fd_) != 0 && errno != EINVAL) fail("cannot write", errno);
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) fail("cannot write", errno);
  if (replace == Replace::allow) {
    if (std::rename(temp_path_.c_str(), final_path_.c_str()) != 0) fail("cannot replace the file", errno);
  } else {
    // The rename leaves an existing target alone in one step; a file system
    // without that kind of rename gets the check and the plain rename.
    int result = ::renameat2(AT_FDCWD, temp_path_.c_str(), AT_FDCWD, final_path_.c_str(), RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
      struct stat info {};
      if (::lstat(final_path_.c_str(), &info) == 0) {
        errno = EEXIST;
      } else {
        result = std::rename(temp_path_.c_str(), final_path_.c_str());
      }
    }
    if (result != 0 && errno == EEXIST) return false;  // the destructor removes the temporary file
    if (result != 0) fail("cannot create the file", errno);
  }
  committed_ = true;
  return true;
}

}  // namespace gw
