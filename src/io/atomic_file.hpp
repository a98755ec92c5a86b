// Files that appear whole or not at all, alone or in groups.
//
// The text goes to a new temporary file ".NAME.XXXXXXXX" beside the target
// (created with O_EXCL, never through a symbolic link). When the output name
// is a symbolic link, the target is the file the link leads to: the link
// stays a link and the file it names is replaced. Committing syncs and
// closes every temporary file of a group first and only then renames them
// into place one after the other; when a later rename fails, the files that
// the earlier ones replaced are put back, so the group is replaced together
// or not at all. An AtomicFile destroyed without a successful commit removes
// its temporary file, so a failure at any point leaves the existing files as
// they were and nothing behind.
//
// Interruptions. Every temporary file is entered in one process-wide
// registry while it exists (the only process-wide state of this layer: a
// fixed table of paths and two atomic words, safe to read from a signal
// handler). Once install_interrupt_cleanup() has run, SIGINT and SIGTERM
// remove the registered files and end the process by the same signal (a
// shell shows status 128 + signal). A signal that arrives while a group is
// being renamed into place waits for the renames to finish: after each
// rename the commit looks for it, puts back what the group has replaced so
// far, and then lets the signal end the process, so the earlier files stay
// as they were.
#pragma once

#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace gw {

// Where output `path` is written: `path` itself, or, when it is a symbolic
// link (or a chain of them), the path the last link names, dangling or not.
// Throws FatalError (exit status 2, the message naming `shown`) on a loop
// of links or a link that cannot be read.
std::filesystem::path output_target(const std::filesystem::path& path, const std::string& shown);

// Checks output `path` (named `shown` in messages) before anything is
// computed: its target must be absent or a regular file (a folder, device,
// FIFO or socket is refused with exit status 2), and the target's folder
// must exist (exit status 2) and be writable (exit status 3). `what` starts
// each message (for example "--candidates c.csv" or the file's name), and
// `advice` ends a refusal (what to do instead).
void check_output(const std::filesystem::path& path, const std::string& what, const std::string& advice);

// Whether paths `a` and `b` name one file: the same path once symbolic
// links are followed (also when it does not exist yet), or one file through
// a hard link or another path to it.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);

class AtomicFile {
 public:
  enum class Replace {
    allow,   // the commit replaces an existing file of the target name
    refuse,  // an existing file of the target name is left alone
  };

  // Creates the temporary file beside the target of `path` (see
  // output_target). `shown` names the file in messages; empty: `path` as
  // given. Throws FatalError (exit status 3) when the file cannot be
  // created.
  explicit AtomicFile(const std::filesystem::path& path, std::string shown = {});
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Appends text; it is buffered and written in large pieces. Throws
  // FatalError (exit status 3) on a write error or after commit().
  void write(std::string_view text);

  // A group of one: see commit_together.
  bool commit(Replace replace = Replace::allow);

  const std::string& name() const { return shown_; }

 private:
  friend bool commit_together(std::span<AtomicFile* const>, Replace, const std::function<void(std::size_t)>&);

  std::string shown_;
  std::filesystem::path target_;  // after links
  std::filesystem::path temp_path_;
  int slot_ = -1;  // in the registry of temporary files
  int fd_ = -1;
  std::string buffer_;
  bool committed_ = false;
  // During a commit: how the target was replaced, for putting it back.
  enum class Placed { no, created, exchanged, moved_aside } placed_ = Placed::no;
  std::filesystem::path aside_;  // the replaced file under another name (moved_aside)
  int aside_slot_ = -1;

  [[noreturn]] void fail(const std::string& what, int err) const;
  void flush();
  void write_out(std::string_view text);
  void finish();           // writes, syncs and closes the temporary file
  int place(Replace how);  // renames it into place: 0, or an errno value
  bool put_back();         // undoes place(); false when that fails
  void drop_replaced();    // removes the replaced file after a complete commit
};

// Writes out, syncs and closes the temporary file of every member of
// `files`, then renames each over its target, in order; returns true. With
// Replace::refuse, when a target exists already, nothing is replaced and it
// returns false (the temporary files go with the destructors). Throws
// FatalError (exit status 3) on any write, close or rename error, after
// putting back whatever the group had replaced. `after_rename`, when given,
// is called after member i has taken its place (tests interrupt the commit
// there).
bool commit_together(std::span<AtomicFile* const> files, AtomicFile::Replace replace = AtomicFile::Replace::allow,
                     const std::function<void(std::size_t)>& after_rename = {});

// Installs the handlers of SIGINT and SIGTERM that remove the registered
// temporary files (see above). Called once by the program at its start.
void install_interrupt_cleanup();

}  // namespace gw
