// tarn: compress and restore image files from the command line, over libtarn's C interface.
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include <fmt/format.h>

#include "arguments.hpp"
#include "info.hpp"
#include "tarn/tarn.h"

namespace {

namespace fs = std::filesystem;
using tarn::cli::Arguments;
using tarn::cli::Command;

constexpr std::string_view kSuffix = ".nivra";

bool HasSuffix(const fs::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == kSuffix;
}

const char* Optional(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

class Runner {
 public:
  explicit Runner(const Arguments& arguments) : arguments_(arguments) {}

  int Run() {
    int failures = 0;
    for (const std::string& file : arguments_.files) {
      if (!RunOne(file)) ++failures;
    }
    return failures == 0 ? 0 : 1;
  }

 private:
  bool Fail(const std::string& file, const std::string& text) const {
    fmt::print(stderr, "tarn: {}: {}\n", file, text);
    return false;
  }

  // The library always replaces destinations; refusing is this tool's job.
  bool MayWrite(const std::string& file, const fs::path& destination) const {
    std::error_code error;
    if (!arguments_.force && fs::exists(fs::symlink_status(destination, error))) {
      return Fail(file, fmt::format("{} already exists; use -f to replace it", destination.string()));
    }
    return true;
  }

  bool Check(const std::string& file, TarnStatus status) const {
    if (status == kTarnStatusOk) return true;
    return Fail(file, fmt::format("{} (status {})", TarnStatusDescription(status), static_cast<int>(status)));
  }

  void Report(const std::string& file, const fs::path& from, const fs::path& to) const {
    if (arguments_.verbosity < 0) return;
    std::error_code error;
    const auto before = fs::file_size(from, error);
    const auto after = fs::file_size(to, error);
    if (error || before == 0) return;
    fmt::print(stderr, "{}: {:.1f}% ({} => {}, {})\n", file, 100.0 * static_cast<double>(after) / static_cast<double>(before),
               tarn::cli::HumanSize(before), tarn::cli::HumanSize(after), to.string());
  }

  bool RunOne(const std::string& file) {
    if (arguments_.command == Command::Info) return tarn::cli::PrintInfo(file);
    std::error_code error;
    if (!fs::exists(file, error)) return Fail(file, "no such file");
    if (!fs::is_regular_file(file, error)) return Fail(file, "not a regular file -- ignored");

    switch (arguments_.command) {
      case Command::Compress: {
        if (!arguments_.output && HasSuffix(file)) return Fail(file, "already has .nivra suffix -- unchanged");
        const fs::path destination = arguments_.output ? fs::path(*arguments_.output) : fs::path(file + ".nivra");
        if (!MayWrite(file, destination)) return false;
        const TarnStatus status =
            arguments_.prepare ? TarnPrepareAndCompressFile(file.c_str(), destination.c_str(),
                                                            Optional(arguments_.calibration_id),
                                                            Optional(arguments_.metadata_json))
                               : TarnCompressFile(file.c_str(), destination.c_str(), Optional(arguments_.metadata_json));
        if (!Check(file, status)) return false;
        Report(file, file, destination);
        return true;
      }
      case Command::Decompress: {
        if (!arguments_.output && !HasSuffix(file)) return Fail(file, "unknown suffix -- ignored (use -o)");
        const fs::path destination = arguments_.output ? fs::path(*arguments_.output) : fs::path(file).replace_extension();
        if (!MayWrite(file, destination)) return false;
        if (!Check(file, TarnDecompressFile(file.c_str(), destination.c_str(), Optional(arguments_.metadata_json)))) {
          return false;
        }
        if (arguments_.verbosity >= 0) {
          std::error_code size_error;
          const auto size = fs::file_size(destination, size_error);
          if (!size_error) fmt::print(stderr, "{}: restored {} as {}\n", file, tarn::cli::HumanSize(size), destination.string());
        }
        return true;
      }
      case Command::Prepare: {
        const fs::path source(file);
        const fs::path destination =
            arguments_.output ? fs::path(*arguments_.output)
                              : source.parent_path() / (source.stem().string() + ".prepared" + source.extension().string());
        if (!MayWrite(file, destination)) return false;
        return Check(file, TarnPrepareFile(file.c_str(), destination.c_str(), Optional(arguments_.calibration_id)));
      }
      default:
        return Fail(file, "nothing to do");
    }
  }

  const Arguments& arguments_;
};

// -q: errors only; -qq: nothing; -v: info; -vv: debug.
int LogLevel(int verbosity) {
  if (verbosity <= -2) return 6;
  if (verbosity == -1) return 4;
  if (verbosity == 0) return 3;
  return verbosity == 1 ? 2 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  try {
    arguments = tarn::cli::ParseArguments(argc, argv);
  } catch (const std::invalid_argument& error) {
    fmt::print(stderr, "tarn: {}\nTry 'tarn --help'.\n", error.what());
    return 1;
  }
  if (arguments.command == Command::Help) {
    fmt::print("{}", tarn::cli::kUsage);
    return 0;
  }
  if (arguments.command == Command::Version) {
    fmt::print("tarn {}\n", TarnVersion());
    return 0;
  }
  TarnSetLogLevel(LogLevel(arguments.verbosity));
  for (const std::string& path : arguments.calibrations) {
    if (TarnCalibrationRegistryLoadPath(path.c_str()) == 0) {
      fmt::print(stderr, "tarn: {}: no calibration could be loaded\n", path);
      return 1;
    }
  }
  return Runner(arguments).Run();
}
