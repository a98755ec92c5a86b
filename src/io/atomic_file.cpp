#include "io/atomic_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "base/fatal.hpp"

namespace gw {

namespace {

// Text is handed to the kernel in pieces of about this size.
constexpr std::size_t kBufferSize = std::size_t{1} << 20;

// Longest chain of symbolic links followed to an output's target.
constexpr int kMaxLinks = 40;

std::string os_error(int err) { return std::error_code(err, std::generic_category()).message(); }

// The temporary files that exist now, for the handler of SIGINT and
// SIGTERM: the one piece of process-wide state of the file-writing layer.
// A fixed table of paths (no allocation), a flag per entry and two atomic
// words, all lock-free, so that the handler may read them.
//
// Every change of the table, and every rename of a commit, happens inside
// enter() ... leave(), and only on one thread at a time (the program writes
// its files from its main thread). A signal that arrives inside such a
// section, on any thread, is only noted; leave() then raises it again. A
// signal outside one takes the table for good (state dying), removes every
// file in it and ends the process by the default action of the signal.
class TemporaryFiles {
 public:
  static constexpr int kSlots = 32;

  void enter() {
    int expected = kIdle;
    while (!state_.compare_exchange_weak(expected, kBusy)) {
      // Another thread's handler is removing the files and ends the
      // process at once.
      if (expected == kDying)
        for (;;) ::pause();
      expected = kIdle;
    }
  }

  void leave() {
    state_.store(kIdle);
    if (const int sig = pending_.exchange(0); sig != 0) ::raise(sig);
  }

  // The signal noted inside the current section, or 0.
  int pending() const { return pending_.load(); }

  // Enters `path` (inside a section); -1 when the table is full or the path
  // too long, so that the file is not removed on an interruption.
  int add(const std::filesystem::path& path) {
    const std::string& text = path.native();
    if (text.size() >= PATH_MAX) return -1;
    for (int i = 0; i < kSlots; ++i) {
      if (used_[i].load()) continue;
      std::memcpy(paths_[i], text.c_str(), text.size() + 1);
      used_[i].store(true);
      return i;
    }
    return -1;
  }

  void remove(int slot) {
    if (slot >= 0) used_[slot].store(false);
  }

  void on_signal(int sig) {
    int expected = kIdle;
    if (!state_.compare_exchange_strong(expected, kDying)) {
      if (expected == kBusy) pending_.store(sig);
      return;
    }
    for (int i = 0; i < kSlots; ++i)
      if (used_[i].load()) ::unlink(paths_[i]);
    // The signal is blocked while its handler runs: raised again with the
    // default action, it ends the process as soon as the handler returns.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
    ::raise(sig);
  }

 private:
  static constexpr int kIdle = 0, kBusy = 1, kDying = 2;
  static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

  std::atomic<int> state_{kIdle};
  std::atomic<int> pending_{0};
  std::atomic<bool> used_[kSlots]{};
  char paths_[kSlots][PATH_MAX]{};
};

constinit TemporaryFiles temporaries;

extern "C" void remove_temporaries_and_stop(int sig) { temporaries.on_signal(sig); }

// A section of changes to the table (see TemporaryFiles).
class Section {
 public:
  Section() { temporaries.enter(); }
  ~Section() { temporaries.leave(); }
  Section(const Section&) = delete;
  Section& operator=(const Section&) = delete;
};

std::filesystem::path folder_of(const std::filesystem::path& path) {
  return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

// A path as messages show it: without a leading "./" (a run's own folder).
std::string shown_path(const std::filesystem::path& path) {
  const std::string& s = path.native();
  return s.size() > 2 && s.starts_with("./") ? s.substr(2) : s;
}

// A fresh name ".NAME.XXXXXXXX" beside `target`.
std::filesystem::path fresh_name(const std::filesystem::path& target, std::mt19937_64& random) {
  constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string temp(1, '.');
  temp += target.filename().string();
  temp += '.';
  for (int k = 0; k < 8; ++k) temp += kLetters[random() % (sizeof kLetters - 1)];
  return folder_of(target) / temp;
}

std::mt19937_64 seeded() {
  std::random_device seed;
  return std::mt19937_64(static_cast<std::uint64_t>(seed()) << 32 | seed());
}

// Creates a new file beside `target` that did not exist before (O_EXCL, and
// O_NOFOLLOW against a link planted under that name), with the permissions
// of a newly created file (0666 less the umask), and enters it in the table
// of temporary files. Inside a section. Returns its descriptor, or -1 with
// the last error in `err`.
int create_temporary(const std::filesystem::path& target, std::filesystem::path& path, int& slot, int& err) {
  std::mt19937_64 random = seeded();
  err = EEXIST;
  for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
    path = fresh_name(target, random);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      slot = temporaries.add(path);
      return fd;
    }
    err = errno;
  }
  path.clear();
  return -1;
}

const char* file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// renameat2 with flags in the current folder.
int rename_with(const std::filesystem::path& from, const std::filesystem::path& to, unsigned flags) {
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags);
}

bool unsupported(int err) { return err == EINVAL || err == ENOSYS || err == ENOTSUP; }

// What AtomicFile::place returns when the target is neither absent nor a
// regular file nor a folder.
constexpr int kNotRegular = -1;

}  // namespace

std::filesystem::path output_target(const std::filesystem::path& path, const std::string& shown) {
  std::filesystem::path p = path;
  for (int hops = 0;; ++hops) {
    struct stat info {};
    if (::lstat(p.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return p;
    if (hops == kMaxLinks)
      throw FatalError::diagnostic(shown + ": more than " + std::to_string(kMaxLinks) +
                                       " symbolic links in a row (a loop of links?); name a file",
                                   ExitStatus::bad_input);
    std::string text(PATH_MAX, '\0');
    const ssize_t n = ::readlink(p.c_str(), text.data(), text.size());
    if (n < 0 || static_cast<std::size_t>(n) >= text.size())
      throw FatalError::diagnostic(shown + ": cannot read the symbolic link " + p.string() + ": " +
                                       os_error(n < 0 ? errno : ENAMETOOLONG),
                                   ExitStatus::bad_input);
    text.resize(static_cast<std::size_t>(n));
    const std::filesystem::path next(text);
    p = next.is_absolute() || !p.has_parent_path() ? next : p.parent_path() / next;
  }
}

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path ta, tb;
  try {
    ta = fs::weakly_canonical(output_target(a, a.string()), ec);
    tb = fs::weakly_canonical(output_target(b, b.string()), ec);
  } catch (const FatalError&) {
    // A loop of links names no file at all.
  }
  if (!ta.empty() && ta == tb) return true;
  return fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec);
}

void check_output(const std::filesystem::path& path, const std::string& what, const std::string& advice) {
  const auto refuse = [&](const std::string& why) {
    throw FatalError::diagnostic(what + ": " + why + "; " + advice, ExitStatus::bad_input);
  };
  const std::filesystem::path target = output_target(path, what);
  const std::string via = target == path ? std::string() : " (the link leads to " + shown_path(target) + ")";
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode))
      refuse(std::string("is ") + file_kind(info.st_mode) + via + ", not a regular file, and is not replaced");
    // A link whose text does not name the file it reaches (as the links
    // under /proc do for pipes and terminals) cannot be written through.
    struct stat reached {};
    if (::stat(target.c_str(), &reached) != 0 || reached.st_dev != info.st_dev || reached.st_ino != info.st_ino)
      refuse("is a link that does not lead to a file by its name" + via);
  } else if (errno != ENOENT) {
    if (errno == ENOTDIR) refuse("its folder " + shown_path(folder_of(target)) + " is not a folder");
    refuse("cannot look at the file: " + os_error(errno));
  }
  const std::filesystem::path folder = folder_of(target);
  struct stat dir {};
  if (::stat(folder.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode))
    refuse("its folder " + shown_path(folder) + " does not exist" + via);
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    throw FatalError::diagnostic(what + ": cannot create a file in folder " + shown_path(folder) + ": " +
                                     os_error(errno),
                                 ExitStatus::resource);
}

AtomicFile::AtomicFile(const std::filesystem::path& path, std::string shown)
    : shown_(shown.empty() ? path.string() : std::move(shown)) {
  target_ = output_target(path, shown_);
  struct stat existing {};
  if (::lstat(target_.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) fail("cannot replace the file", EISDIR);
  int err = 0;
  {
    const Section section;
    fd_ = create_temporary(target_, temp_path_, slot_, err);
  }
  if (fd_ < 0) fail("cannot create a file in folder " + shown_path(folder_of(target_)), err);
  // A replaced file keeps its permissions.
  struct stat info {};
  if (::stat(target_.c_str(), &info) == 0 && S_ISREG(info.st_mode)) ::fchmod(fd_, info.st_mode & 0777);
  buffer_.reserve(kBufferSize);
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (committed_ || temp_path_.empty()) return;
  const Section section;
  ::unlink(temp_path_.c_str());
  temporaries.remove(slot_);
  temporaries.remove(aside_slot_);
}

void AtomicFile::fail(const std::string& what, int err) const {
  throw FatalError::diagnostic(shown_ + ": " + what + ": " + os_error(err), ExitStatus::resource);
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

// The text is synced to the disk before a rename makes it the target, so
// that a crash right after the rename cannot leave an empty file; a file
// system that has no sync (EINVAL) is left to the close to report errors.
void AtomicFile::finish() {
  if (fd_ < 0) fail("cannot write", EBADF);  // a commit that failed before
  flush();
  if (::fsync(fd_) != 0 && errno != EINVAL) fail("cannot write", errno);
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) fail("cannot write", errno);
}

// An existing target is exchanged with the temporary file in one step, so
// that the target name never stands empty and the replaced file stays at
// hand under the temporary name. A file system without that exchange gets
// the replaced file moved to a name of its own first. A new target is
// created by a rename that leaves a file that has appeared meanwhile alone.
int AtomicFile::place(Replace how) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat info {};
    if (::lstat(target_.c_str(), &info) == 0) {
      if (how == Replace::refuse) return EEXIST;
      if (S_ISDIR(info.st_mode)) return EISDIR;
      if (!S_ISREG(info.st_mode)) return kNotRegular;
      if (rename_with(temp_path_, target_, RENAME_EXCHANGE) == 0) {
        placed_ = Placed::exchanged;
        return 0;
      }
      if (errno == ENOENT) continue;  // gone meanwhile
      if (!unsupported(errno)) return errno;
      std::mt19937_64 random = seeded();
      aside_ = fresh_name(target_, random);
      if (std::rename(target_.c_str(), aside_.c_str()) != 0) return errno;
      aside_slot_ = temporaries.add(aside_);
      if (std::rename(temp_path_.c_str(), target_.c_str()) != 0) {
        const int err = errno;
        std::rename(aside_.c_str(), target_.c_str());
        temporaries.remove(aside_slot_);
        aside_slot_ = -1;
        return err;
      }
      placed_ = Placed::moved_aside;
      return 0;
    }
    int result = rename_with(temp_path_, target_, RENAME_NOREPLACE);
    if (result != 0 && unsupported(errno)) {
      struct stat again {};
      if (::lstat(target_.c_str(), &again) == 0) {
        errno = EEXIST;
      } else {
        result = std::rename(temp_path_.c_str(), target_.c_str());
      }
    }
    if (result == 0) {
      placed_ = Placed::created;
      return 0;
    }
    if (errno != EEXIST || how == Replace::refuse) return errno;
    // Created meanwhile: replace it as an existing file.
  }
  return EEXIST;
}

bool AtomicFile::put_back() {
  bool ok = true;
  switch (placed_) {
    case Placed::no:
      break;
    case Placed::exchanged:
      ok = rename_with(temp_path_, target_, RENAME_EXCHANGE) == 0;
      break;
    case Placed::created:
      ok = std::rename(target_.c_str(), temp_path_.c_str()) == 0;
      break;
    case Placed::moved_aside:
      ok = std::rename(target_.c_str(), temp_path_.c_str()) == 0 && std::rename(aside_.c_str(), target_.c_str()) == 0;
      if (ok) {
        temporaries.remove(aside_slot_);
        aside_slot_ = -1;
      }
      break;
  }
  placed_ = Placed::no;
  return ok;
}

void AtomicFile::drop_replaced() {
  if (placed_ == Placed::exchanged) ::unlink(temp_path_.c_str());
  if (placed_ == Placed::moved_aside) ::unlink(aside_.c_str());
  temporaries.remove(slot_);
  temporaries.remove(aside_slot_);
  slot_ = aside_slot_ = -1;
  committed_ = true;
}

bool AtomicFile::commit(Replace replace) {
  AtomicFile* const self = this;
  return commit_together(std::span<AtomicFile* const>(&self, 1), replace);
}

bool commit_together(std::span<AtomicFile* const> files, AtomicFile::Replace replace,
                     const std::function<void(std::size_t)>& after_rename) {
  bool all_committed = true;
  for (const AtomicFile* f : files) all_committed = all_committed && f->committed_;
  if (all_committed) return true;
  for (AtomicFile* f : files) {
    if (f->committed_) throw std::logic_error("commit_together: a member was committed on its own");
    f->finish();
  }
  std::size_t placed = 0;
  int error = 0;
  bool undone = true;
  {
    // A signal now waits for the end of the section (see TemporaryFiles);
    // the section ends with the group complete or wholly undone.
    const Section section;
    for (; placed < files.size(); ++placed) {
      if (temporaries.pending() != 0) break;
      error = files[placed]->place(replace);
      if (error != 0) break;
      if (after_rename) after_rename(placed);
    }
    if (error != 0 || temporaries.pending() != 0) {
      // Members 0 .. placed-1 have taken their places.
      for (std::size_t i = placed; i-- > 0;) undone = files[i]->put_back() && undone;
    } else {
      for (AtomicFile* f : files) f->drop_replaced();
    }
  }
  if (error == 0) {
    // The renames themselves reach the disk with a sync of the folders.
    std::set<std::string> folders;
    for (const AtomicFile* f : files) folders.insert(folder_of(f->target_).string());
    for (const std::string& folder : folders) {
      const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
      }
    }
    return true;
  }
  if (error == EEXIST && replace == AtomicFile::Replace::refuse) return false;
  const AtomicFile& failed = *files[placed];
  std::string why = error == kNotRegular ? "the name is taken by something other than a regular file" : os_error(error);
  if (!undone) why += "; the files of the same result replaced before it could not all be put back";
  throw FatalError::diagnostic(failed.shown_ + ": cannot replace the file: " + why, ExitStatus::resource);
}

void install_interrupt_cleanup() {
  struct sigaction action {};
  action.sa_handler = remove_temporaries_and_stop;
  ::sigemptyset(&action.sa_mask);
  ::sigaddset(&action.sa_mask, SIGINT);
  ::sigaddset(&action.sa_mask, SIGTERM);
  for (const int sig : {SIGINT, SIGTERM}) {
    // A signal that the caller ignores (a job started with nohup, say)
    // stays ignored.
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &action, nullptr);
  }
}

}  // namespace gw
