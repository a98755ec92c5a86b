// The one exception type for conditions that end a run.
//
// Code that meets a fatal condition throws FatalError with the exact text to
// show and the process exit status; only main() prints it and exits. The
// text goes either to the console report (standard output, as one report
// line) or to standard error as a diagnostic.
#pragma once

#include <stdexcept>
#include <string>

#include "base/text.hpp"

namespace gw {

enum class ExitStatus : int {
  success = 0,
  failure = 1,    // the computation cannot give a result (singular matrix, ...)
  bad_input = 2,  // malformed input files or bad command line
  resource = 3,   // memory or a file that cannot be written
};

enum class Channel {
  console,     // a line of the console report, on standard output
  diagnostic,  // a diagnostic on standard error
};

class FatalError : public std::runtime_error {
 public:
  FatalError(std::string text, ExitStatus status, Channel channel)
      : std::runtime_error(text), text_(std::move(text)), status_(status), channel_(channel) {}

  // A message line of the console report: a blank, then the text.
  static FatalError console_message(const std::string& message) {
    return FatalError(" " + message, ExitStatus::failure, Channel::console);
  }
  static FatalError diagnostic(std::string text, ExitStatus status) {
    return FatalError(std::move(text), status, Channel::diagnostic);
  }

  const std::string& text() const noexcept { return text_; }
  ExitStatus status() const noexcept { return status_; }
  int exit_code() const noexcept { return static_cast<int>(status_); }
  Channel channel() const noexcept { return channel_; }

  // Advice that follows the text as a diagnostic on standard error (also
  // after a console line, which keeps its own fixed text); may be empty.
  const std::string& advice() const noexcept { return advice_; }
  FatalError with_advice(std::string advice) const {
    FatalError e = *this;
    e.advice_ = std::move(advice);
    return e;
  }

 private:
  std::string text_;
  ExitStatus status_;
  Channel channel_;
  std::string advice_;
};

// Thrown by the iterative solver when a system has p'Ap = 0 with a direction
// p that is not zero: the system matrix is singular. The caller knows which
// candidate the system belongs to and turns this into its own diagnostic.
class SingularSystem : public FatalError {
 public:
  explicit SingularSystem(std::string text)
      : FatalError(std::move(text), ExitStatus::failure, Channel::diagnostic) {}
};

// Thrown by the iterative solver when a number of the iteration (a sum, the
// step length or the iterate) is no longer finite although the system
// matrix and the right-hand side are: the system's numbers exceed the range
// of double precision. The caller names the system in its own diagnostic.
class SystemOverflow : public FatalError {
 public:
  explicit SystemOverflow(std::string text)
      : FatalError(std::move(text), ExitStatus::failure, Channel::diagnostic) {}
};


}  // namespace gw
