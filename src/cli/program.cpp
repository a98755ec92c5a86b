#include "cli/program.hpp"

#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "base/fatal.hpp"
#include "cli/flags.hpp"
#include "cli/prepare_command.hpp"
#include "cli/run_command.hpp"
#include "io/console.hpp"
#include "io/progress.hpp"
#if GAINWEIGHTS_MPI
#include "sparse/distributed_variances.hpp"
#include "sparse/mpi.hpp"
#endif

namespace gw {

namespace {

int usage_error(std::ostream& err, const std::string& problem) {
  err << "gainweights: " << problem << "\n\n";
  write_usage(err);
  return static_cast<int>(ExitStatus::bad_input);
}

// Runs `action` and turns what it throws into output and the exit status:
// a console line on `out` (the console report's stream), a diagnostic on
// `err`, where a diagnostic of several lines gets the program's prefix on
// each, and the advice that follows some stops.
template <class Action>
int exit_status_of(Action action, std::ostream& out, std::ostream& err) {
  try {
    action();
    return 0;
  } catch (const FatalError& e) {
    const auto diagnostic = [&err](std::string_view text) {
      for (std::size_t end; (end = text.find('\n')) != std::string_view::npos; text.remove_prefix(end + 1))
        err << "gainweights: " << text.substr(0, end) << '\n';
      err << "gainweights: " << text << std::endl;
    };
    if (e.channel() == Channel::console) {
      Console(out).line(e.text());
      out.flush();
    } else {
      diagnostic(e.text());
    }
    if (!e.advice().empty()) diagnostic(e.advice());
    return e.exit_code();
  } catch (const std::bad_alloc&) {
    err << "gainweights: not enough memory for the work arrays of this problem" << std::endl;
    return static_cast<int>(ExitStatus::resource);
  } catch (const std::exception& e) {
    err << "gainweights: " << e.what() << std::endl;
    return static_cast<int>(ExitStatus::resource);
  }
}

}  // namespace

int run_program(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool err_is_terminal,
                MpiSession* mpi) {
  // Every rank reads the same command line; only rank 0 writes anything.
#if GAINWEIGHTS_MPI
  const bool worker = mpi && mpi->rank() != 0;
#else
  const bool worker = false;
#endif
  std::ostream silent(nullptr);
  std::ostream& diag = worker ? silent : err;
  std::ostream& answer = worker ? silent : out;
  CommandLine cl;
  try {
    cl = parse_command_line(argc, argv);
  } catch (const FatalError& e) {
    return usage_error(diag, e.text());
  }
  if (cl.help) {
    write_usage(answer);
    return 0;
  }
  if (cl.version) {
    answer << "gainweights " << GAINWEIGHTS_VERSION << '\n';
    return 0;
  }
  if (cl.command == Command::prepare) {
    const PrepareOptions options{cl.operands[0], cl.has("--header"), cl.has("--force")};
    ProgressLine status(err, err_is_terminal);
    return exit_status_of([&] { prepare_folder(".", options, out, err, &status); }, out, err);
  }

  RunOptions options;
  options.sparse = cl.has("--sparse");
  options.skip_undetermined = cl.has("--skip-undetermined");
  options.candidates_file = cl.value("--candidates");
  options.plot_file = cl.value("--plot");
  if (cl.has("--trait-names")) {
    const std::string names = cl.value("--trait-names");
    for (std::size_t from = 0;;) {
      const std::size_t comma = names.find(',', from);
      options.trait_names.push_back(names.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
  }
  const bool distributed = cl.has("--distributed");
  const std::filesystem::path out_of_core = cl.value("--out-of-core");
  if (!out_of_core.empty() && !distributed)
    return usage_error(diag, "--out-of-core keeps the factor of a distributed run on disk: give --sparse "
                             "--distributed as well");
  if (distributed && !options.sparse)
    return usage_error(diag, "--distributed runs the sparse path over MPI ranks: give --sparse as well");
  if (distributed && !mpi) {
    diag << "gainweights: --distributed is not available in this build: it was built without MPI and MUMPS "
            "(install OpenMPI and MUMPS as scripts/setup.sh does, and build again), or MPI was not started; "
            "run gainweights --sparse instead"
         << std::endl;
    return static_cast<int>(ExitStatus::bad_input);
  }
#if GAINWEIGHTS_MPI
  if (worker) {
    serve_distributed(mpi->comm());
    return 0;
  }
  DistributedOptions distributed_options;
  if (distributed) {
    std::error_code ec;
    if (!out_of_core.empty()) {
      if (!std::filesystem::is_directory(out_of_core, ec)) {
        err << "gainweights: --out-of-core " << out_of_core.string()
            << ": no such folder; create it (on every host of the run, at the same path) or name another" << std::endl;
        finish_workers(mpi->comm());
        return static_cast<int>(ExitStatus::bad_input);
      }
      distributed_options.out_of_core = std::filesystem::absolute(out_of_core, ec);
      // MUMPS keeps the folder's name in a field of 256 characters.
      if (distributed_options.out_of_core.string().size() > 255) {
        err << "gainweights: --out-of-core " << out_of_core.string()
            << ": the folder's full path is longer than 255 characters, which MUMPS cannot take; name a folder "
               "with a shorter path"
            << std::endl;
        finish_workers(mpi->comm());
        return static_cast<int>(ExitStatus::bad_input);
      }
    }
    distributed_options.comm = mpi->comm();
    options.distributed = &distributed_options;
  }
#endif
  // With --candidates - the list takes standard output, and the console
  // report goes to standard error.
  const bool list_to_out = options.candidates_file == "-";
  std::ostream& report = list_to_out ? err : out;
  Console console(report);
  // A stage that an exception ends clears the progress line on its way, so
  // that every diagnostic starts on a clean line.
  ProgressLine status(err, err_is_terminal);
  const int code = exit_status_of(
      [&] { run(".", console, options, RunFeedback{&err, &status, list_to_out ? &out : nullptr}); }, report, err);
#if GAINWEIGHTS_MPI
  if (mpi) finish_workers(mpi->comm());
#endif
  return code;
}

bool distributed_requested(int argc, const char* const* argv) {
  if (argc > 1 && std::string_view(argv[1]) == "prepare") return false;
  for (int i = 1; i < argc; ++i)
    if (std::string_view(argv[i]) == "--distributed") return true;
  return false;
}

}  // namespace gw
