// What the command line asked for.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarn::cli {

enum class Command { Compress, Decompress, Prepare, Info, Help, Version };

struct Arguments {
  Command command = Command::Help;
  std::vector<std::string> files;
  std::optional<std::string> output;           // -o
  bool force = false;                          // -f
  bool prepare = false;                        // compress --prepare
  std::vector<std::string> calibrations;       // --calibration PATH (repeatable)
  std::optional<std::string> calibration_id;   // --calibration-id ID
  std::optional<std::string> metadata_json;    // --json PATH
  int verbosity = 0;                           // -v adds one, -q takes one
};

// Throws std::invalid_argument with a message for the user.
Arguments ParseArguments(int argc, char** argv);

extern const char* const kUsage;

}  // namespace tarn::cli
