#include "arguments.hpp"

#include <charconv>
#include <map>
#include <string_view>

namespace tarn::cli {

const char* const kUsage = R"(Usage: tarn COMMAND [OPTIONS] FILE...

Commands:
  compress FILE...          write FILE.nivra beside each FILE
  decompress FILE.nivra...  restore FILE from each FILE.nivra, byte for byte
  test FILE.nivra...        decode and check every chunk; writes nothing
  info FILE.nivra...        list the chunks of compressed files and the ratio
  prepare FILE...           write FILE.prepared.EXT with its 16-bit images prepared (lossy)
  calibrate FILE... --id NAME
                            measure the camera's noise model from its 16-bit images (a time
                            series or repeated frames, else single images) and write it as
                            calibration NAME to the user's calibration folder (or -o FILE)
  cat FILE.nivra            list planes; --plane N -o OUT.tif, --range OFFSET:SIZE (tarn cat --help)

Options:
  -r, --recursive           walk folders: compress takes every regular file not ending
                            in .nivra; decompress, test and info every .nivra file
  -o, --output PATH         destination of a single FILE; with -r, the folder that
                            receives every output, sub-folders mirrored
  -f, --force               replace existing outputs
  -k, --keep                keep the sources (the default)
  --rm                      delete each source once its output is complete and synced
                            to disk and, for compress, decoded and found identical
  -T, --threads N           files worked on at once and threads coding them; 0 (default): one per core
  --json                    info: print the chunk tables as JSON
  --json PATH               compress: also write the metadata as JSON to PATH;
                            decompress: take the metadata from PATH (single FILE)
  --prepare                 compress: prepare images before compressing (lossy)
  --format 4                compress: write only what readers of container version 4 know
  --calibration PATH        load a calibration file or folder (repeatable)
  --calibration-id ID       use this calibration for every image (prepare, --prepare)
  --id NAME                 calibrate: the calibration's identifier (default: the camera's
                            Make_Model_ISO<iso> when the files name it)
  --dark FILE               calibrate: frames taken without light (repeatable): black level
                            and read noise directly
  --single-image            calibrate: measure each image on its own, even in a time series
  -v, --verbose             more output: a line per file of a batch, then the
                            library's notes (repeatable)
  -q, --quiet               less output: no progress, summary or per-file lines;
                            -qq: no messages at all
  -h, --help                show this text
  -V, --version             show the version

A progress line is shown on a terminal for work lasting more than a second.
Exit status: 0 when every file succeeded, 1 when any failed, 2 for a usage error.
)";

namespace {

const std::map<std::string_view, Command> kCommands = {
    {"compress", Command::Compress}, {"decompress", Command::Decompress}, {"prepare", Command::Prepare},
    {"info", Command::Info},         {"test", Command::Test},             {"help", Command::Help},
    {"version", Command::Version},   {"calibrate", Command::Calibrate},
};

unsigned ParseThreads(std::string_view text) {
  unsigned threads = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), threads);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || threads > 4096) {
    throw UsageError("-T takes a number of threads from 0 to 4096, not '" + std::string(text) + "'");
  }
  return threads;
}

void Check(const Arguments& arguments) {
  const Command command = arguments.command;
  if (command == Command::Help || command == Command::Version) return;
  if (arguments.files.empty()) throw UsageError("no input file given");
  if (command == Command::Calibrate) {
    if (arguments.recursive || arguments.prepare || arguments.remove_sources || arguments.metadata_json) {
      throw UsageError("calibrate takes FILE..., --id NAME, --dark FILE, --single-image, -o FILE and -f");
    }
    return;
  }
  if (arguments.calibration_name || !arguments.dark_frames.empty() || arguments.single_image) {
    throw UsageError("--id, --dark and --single-image work with calibrate only");
  }
  if (arguments.output && arguments.files.size() > 1 && !arguments.recursive) {
    throw UsageError("-o takes a single input file (or, with -r, names an output folder)");
  }
  if (arguments.output && (command == Command::Test || command == Command::Info)) {
    throw UsageError("-o has no meaning for this command");
  }
  if (arguments.metadata_json && (arguments.files.size() > 1 || arguments.recursive)) {
    throw UsageError("--json PATH takes a single input file");
  }
  if (arguments.metadata_json && command != Command::Compress && command != Command::Decompress) {
    throw UsageError("--json PATH works with compress and decompress");
  }
  if (arguments.recursive && command == Command::Prepare) {
    throw UsageError("-r works with compress, decompress, test and info");
  }
  if (arguments.prepare && command != Command::Compress) throw UsageError("--prepare works with compress only");
  if (arguments.container_version && command != Command::Compress) throw UsageError("--format works with compress only");
  if (arguments.remove_sources) {
    if (command != Command::Compress && command != Command::Decompress) {
      throw UsageError("--rm works with compress and decompress");
    }
    // A prepared output differs from its source by design: it cannot be checked against it.
    if (arguments.prepare) throw UsageError("--rm cannot be used with --prepare: the output differs from the source");
  }
}

}  // namespace

Arguments ParseArguments(int argc, char** argv) {
  Arguments arguments;
  bool have_command = false;
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    auto value = [&](std::string_view option) -> std::string {
      if (i + 1 >= argc) throw UsageError("option " + std::string(option) + " needs a value");
      return argv[++i];
    };
    if (only_files || argument.empty() || argument[0] != '-' || argument == "-") {
      if (!have_command) {
        const auto command = kCommands.find(argument);
        if (command == kCommands.end()) throw UsageError("unknown command '" + std::string(argument) + "'");
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
    } else if (argument == "-r" || argument == "--recursive") {
      arguments.recursive = true;
    } else if (argument == "-k" || argument == "--keep") {
      arguments.remove_sources = false;
    } else if (argument == "--rm") {
      arguments.remove_sources = true;
    } else if (argument == "-T" || argument == "--threads") {
      arguments.threads = ParseThreads(value(argument));
    } else if (argument.starts_with("--threads=")) {
      arguments.threads = ParseThreads(argument.substr(10));
    } else if (argument.starts_with("-T")) {
      arguments.threads = ParseThreads(argument.substr(2));
    } else if (argument == "--prepare") {
      arguments.prepare = true;
    } else if (argument == "--format" || argument.starts_with("--format=")) {
      const std::string text = argument == "--format" ? value(argument) : std::string(argument.substr(9));
      if (text != "4" && text != "5") throw UsageError("--format takes 4 or 5, not '" + text + "'");
      arguments.container_version = text == "4" ? 4u : 5u;
    } else if (argument == "--calibration") {
      arguments.calibrations.push_back(value(argument));
    } else if (argument == "--calibration-id") {
      arguments.calibration_id = value(argument);
    } else if (argument == "--id") {
      arguments.calibration_name = value(argument);
    } else if (argument == "--dark") {
      arguments.dark_frames.push_back(value(argument));
    } else if (argument == "--single-image") {
      arguments.single_image = true;
    } else if (argument == "--json") {
      // `info --json` is a switch; elsewhere --json names the metadata side file.
      if (have_command && arguments.command == Command::Info) {
        arguments.info_json = true;
      } else {
        arguments.metadata_json = value(argument);
      }
    } else if (argument.starts_with("--json=")) {
      arguments.metadata_json = std::string(argument.substr(7));
    } else if (argument == "-h" || argument == "--help") {
      arguments.command = Command::Help;
      return arguments;
    } else if (argument == "-V" || argument == "--version") {
      arguments.command = Command::Version;
      return arguments;
    } else if (argument.size() > 1 && argument[0] == '-' && argument[1] != '-' &&
               argument.find_first_not_of("vqfrk", 1) == std::string_view::npos) {
      // Bundled short flags: -vv, -qq, -rf.
      for (char flag : argument.substr(1)) {
        if (flag == 'v') ++arguments.verbosity;
        if (flag == 'q') --arguments.verbosity;
        if (flag == 'f') arguments.force = true;
        if (flag == 'r') arguments.recursive = true;
        if (flag == 'k') arguments.remove_sources = false;
      }
    } else if (argument == "--verbose") {
      ++arguments.verbosity;
    } else if (argument == "--quiet") {
      --arguments.verbosity;
    } else {
      throw UsageError("unknown option '" + std::string(argument) + "'");
    }
  }
  if (!have_command) throw UsageError("no command given");
  Check(arguments);
  return arguments;
}

}  // namespace tarn::cli
