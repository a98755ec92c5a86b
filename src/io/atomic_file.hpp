// A file that appears whole or not at all.
//
// The text goes to a new temporary file in the target's folder (created with
// O_EXCL, never through a symbolic link); commit() syncs and closes it and
// renames it to the target name. An AtomicFile destroyed without a
// successful commit() removes its temporary file, so a failure at any point
// leaves an existing file of the target name as it was and nothing behind.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace gw {

class AtomicFile {
 public:
  enum class Replace {
    allow,   // the commit replaces an existing file of the target name
    refuse,  // an existing file of the target name is left alone
  };

  // Creates the temporary file ".NAME.XXXXXXXX" in `dir`. Throws FatalError
  // (exit status 3) when it cannot be created.
  AtomicFile(const std::filesystem::path& dir, std::string name);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Appends text; it is buffered and written in large pieces. Throws
  // FatalError (exit status 3) on a write error or after commit().
  void write(std::string_view text);

  // Writes what is buffered, syncs and closes the temporary file and renames
  // it to the target; returns true. With Replace::refuse, when a file of
  // the target name exists, it returns false and leaves that file alone (the
  // temporary file goes with the destructor). Throws FatalError (exit status
  // 3) on any write, close or rename error.
  bool commit(Replace replace = Replace::allow);

  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::filesystem::path final_path_;
  std::filesystem::path temp_path_;
  int fd_ = -1;
  std::string buffer_;
  bool committed_ = false;

  [[noreturn]] void fail(const std::string& what, int err) const;
  void flush();
  void write_out(std::string_view text);
};

}  // namespace gw
