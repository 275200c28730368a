// tarn: compress, restore and check image files from the command line, over libtarn.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <fmt/format.h>

#include "arguments.hpp"
#include "batch.hpp"
#include "calibrate.hpp"
#include "cat.hpp"
#include "console.hpp"
#include "info.hpp"
#include "interrupt.hpp"
#include "jobs.hpp"
#include "library_log.hpp"
#include "tarn/tarn.h"

namespace {

using tarn::cli::Arguments;
using tarn::cli::Command;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

size_t Workers(const Arguments& arguments) {
  const unsigned threads = arguments.threads.value_or(0);
  return threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
}

int Info(const Arguments& arguments, tarn::cli::Console& console) {
  size_t failures = 0;
  std::vector<std::string> paths;
  for (const tarn::cli::Job& job : tarn::cli::PlanJobs(arguments)) {
    if (job.refusal) {
      console.Err(fmt::format("tarn: {}: {}", job.source, *job.refusal));
      ++failures;
    } else {
      paths.push_back(job.source);
    }
  }
  failures += tarn::cli::PrintInfo(paths, arguments.info_json, console);
  return failures == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "cat") return tarn::cli::Cat(argc - 1, argv + 1);
  Arguments arguments;
  try {
    arguments = tarn::cli::ParseArguments(argc, argv);
  } catch (const tarn::cli::UsageError& error) {
    fmt::print(stderr, "tarn: {}\nTry 'tarn --help'.\n", error.what());
    return kExitUsage;
  }
  if (arguments.command == Command::Help) {
    fmt::print("{}", tarn::cli::kUsage);
    return kExitOk;
  }
  if (arguments.command == Command::Version) {
    fmt::print("tarn {}\n", TarnVersion());
    return kExitOk;
  }

  // -T also sets the library's own thread count; the library reads it at its first coded chunk.
  if (arguments.threads) setenv("TARN_THREADS", std::to_string(*arguments.threads).c_str(), 1);

  const bool progress_line = arguments.verbosity >= 0 && arguments.command != Command::Info && isatty(STDERR_FILENO);
  tarn::cli::Console console(progress_line);
  tarn::cli::RouteLibraryLog(console, arguments.verbosity);
  // The batch commands stop cleanly on a signal; any other ends as the signal says.
  if (tarn::cli::IsBatchCommand(arguments.command)) tarn::cli::HandleInterrupts();
  // The installed and the user's calibrations first, so that --calibration can replace them.
  TarnCalibrationRegistryDefaultInitialize();
  for (const std::string& path : arguments.calibrations) {
    if (TarnCalibrationRegistryLoadPath(path.c_str()) == 0) {
      console.Err(fmt::format("tarn: {}: no calibration could be loaded", path));
      return kExitFailed;
    }
  }
  if (arguments.command == Command::Info) return Info(arguments, console);
  if (arguments.command == Command::Calibrate) return tarn::cli::RunCalibrate(arguments, console);
  const auto jobs = tarn::cli::PlanJobs(arguments);
  const size_t failures = tarn::cli::RunBatch(arguments, jobs, Workers(arguments), console);
  if (const int signal = tarn::cli::InterruptSignal()) return tarn::cli::InterruptExitStatus(signal);
  return failures == 0 ? kExitOk : kExitFailed;
}
