#include "arguments.hpp"

#include <map>
#include <stdexcept>
#include <string_view>

namespace tarn::cli {

const char* const kUsage = R"(Usage: tarn COMMAND [OPTIONS] FILE...

Commands:
  compress FILE...          write FILE.nivra beside each FILE (the source is kept)
  decompress FILE.nivra...  restore FILE from each FILE.nivra, byte for byte
  prepare FILE              write FILE with its 16-bit images prepared (FILE.prepared.EXT)
  info FILE.nivra...        list the chunks of compressed files and the ratio

Options:
  -o, --output PATH         destination (only with a single FILE)
  -f, --force               replace existing destinations
  --prepare                 compress: prepare images before compressing
  --calibration PATH        load calibration file or folder (repeatable)
  --calibration-id ID       use this calibration for every image (prepare, --prepare)
  --json PATH               compress: also write the metadata as JSON;
                            decompress: take the metadata from this JSON file
  -v, --verbose             more log output (repeatable)
  -q, --quiet               less output (repeatable)
  -h, --help                show this text
  -V, --version             show the library version

Exit status is 0 when every file succeeded, 1 otherwise.
)";

namespace {

const std::map<std::string_view, Command> kCommands = {
    {"compress", Command::Compress}, {"decompress", Command::Decompress}, {"prepare", Command::Prepare},
    {"info", Command::Info},         {"help", Command::Help},             {"version", Command::Version},
};

}  // namespace

Arguments ParseArguments(int argc, char** argv) {
  Arguments arguments;
  bool have_command = false;
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    auto value = [&](std::string_view option) -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument("option " + std::string(option) + " needs a value");
      return argv[++i];
    };
    if (only_files || argument.empty() || argument[0] != '-' || argument == "-") {
      if (!have_command) {
        const auto command = kCommands.find(argument);
        if (command == kCommands.end()) throw std::invalid_argument("unknown command '" + std::string(argument) + "'");
        arguments.command = command->second;
        have_command = true;
      } else {
        arguments.files.emplace_back(argument);
      }
    } else if (argument == "--") {
      only_files = true;
    } else if (argument == "-o" || argument == "--output") {
      arguments.output = value(argument);
    } else if (argument == "-f" || argument == "--force") {
      arguments.force = true;
    } else if (argument == "--prepare") {
      arguments.prepare = true;
    } else if (argument == "--calibration") {
      arguments.calibrations.push_back(value(argument));
    } else if (argument == "--calibration-id") {
      arguments.calibration_id = value(argument);
    } else if (argument == "--json") {
      arguments.metadata_json = value(argument);
    } else if (argument == "-h" || argument == "--help") {
      arguments.command = Command::Help;
      return arguments;
    } else if (argument == "-V" || argument == "--version") {
      arguments.command = Command::Version;
      return arguments;
    } else if (argument.size() > 1 && argument[0] == '-' && argument[1] != '-' &&
               argument.find_first_not_of("vqf", 1) == std::string_view::npos) {
      // Bundled short flags: -vv, -qq, -fv.
      for (char flag : argument.substr(1)) {
        if (flag == 'v') ++arguments.verbosity;
        if (flag == 'q') --arguments.verbosity;
        if (flag == 'f') arguments.force = true;
      }
    } else if (argument == "--verbose") {
      ++arguments.verbosity;
    } else if (argument == "--quiet") {
      --arguments.verbosity;
    } else {
      throw std::invalid_argument("unknown option '" + std::string(argument) + "'");
    }
  }
  if (!have_command) throw std::invalid_argument("no command given");
  const bool needs_files = arguments.command != Command::Help && arguments.command != Command::Version;
  if (needs_files && arguments.files.empty()) throw std::invalid_argument("no input file given");
  if (arguments.output && arguments.files.size() > 1) {
    throw std::invalid_argument("-o takes a single input file");
  }
  if (arguments.metadata_json && arguments.files.size() > 1) {
    throw std::invalid_argument("--json takes a single input file");
  }
  return arguments;
}

}  // namespace tarn::cli
