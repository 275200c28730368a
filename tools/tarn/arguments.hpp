// What the command line asked for.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::cli {

enum class Command { Compress, Decompress, Prepare, Info, Test, Help, Version, Calibrate };

struct Arguments {
  Command command = Command::Help;
  std::vector<std::string> files;
  std::optional<std::string> output;           // -o: a file, or with -r a folder
  bool force = false;                          // -f
  bool recursive = false;                      // -r
  bool remove_sources = false;                 // --rm (--keep, the default, clears it)
  bool prepare = false;                        // compress --prepare
  std::optional<unsigned> container_version;   // compress --format 4 or 5
  bool info_json = false;                      // info --json
  std::optional<unsigned> threads;             // -T N; 0 means every core
  std::vector<std::string> calibrations;       // --calibration PATH (repeatable)
  std::optional<std::string> calibration_id;   // --calibration-id ID
  std::optional<std::string> metadata_json;    // --json PATH (compress, decompress)
  int verbosity = 0;                           // -v adds one, -q takes one
  std::optional<std::string> calibration_name;  // calibrate --id NAME
  std::vector<std::string> dark_frames;         // calibrate --dark FILE (repeatable)
  bool single_image = false;                    // calibrate --single-image
};

// A command line that cannot be run as written (exit status 2).
class UsageError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Throws UsageError with a message for the user.
Arguments ParseArguments(int argc, char** argv);

extern const char* const kUsage;

}  // namespace tarn::cli
