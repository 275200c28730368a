// Filling the codec library's calibration registry from files and folders.
//
// A folder yields every regular file directly inside it whose name ends in ".json"
// (any case) and does not start with "."; files are loaded in name order, so a later
// file replaces identifiers of an earlier one. A file that holds an "isoData" member is
// a camera calibration in the Pellum form (below); any other file goes to the codec
// library's own loader. The Pellum form, one camera per file:
//   {"make": "Acme", "model": "X100", "cfa": "kBayerRG", "whiteLevel": 4095,
//    "isoData": [{"iso": 100, "blackLevel": 256, "gain": 0.8, "noise": 2.5}, ...]}
// "cfa" (default "kMono") and "whiteLevel" (default 65535) are optional; every ISO entry
// becomes the identifier Make_Model_ISO<iso> with ExtendedAnscombe parameters (gain,
// black level, sigma = "noise", white level).
#include "tarn/util/calibration_registry.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "tarn/logger.hpp"
#include "tarn/util/json.hpp"

namespace Brimlake::Nivra::ParameterRegistry {
namespace {

namespace fs = std::filesystem;

// Calibration files are small; a huge file is not one and is not read whole.
constexpr uintmax_t kMaxCalibrationFileSize = 16u << 20;

bool HasJsonName(const fs::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".json" && path.filename().string().front() != '.';
}

Json::Value ReadJsonFile(const fs::path& path) {
  if (fs::file_size(path) > kMaxCalibrationFileSize) {
    throw std::invalid_argument(fmt::format("calibration file {} is too large", path.string()));
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw NivraError(BM_COULD_NOT_READ_FILE, fmt::format("cannot open calibration file {}", path.string()));
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return tarn::FromJsonString(text);
}

bool IsPellum(const Json::Value& json) { return json.isObject() && json.isMember("isoData"); }

const Json::Value& Member(const Json::Value& object, const char* key, const fs::path& path) {
  if (!object.isMember(key)) {
    throw std::invalid_argument(fmt::format("calibration file {} lacks \"{}\"", path.string(), key));
  }
  return object[key];
}

float PositiveFloat(const Json::Value& object, const char* key, const fs::path& path, bool zero_allowed) {
  const Json::Value& value = Member(object, key, path);
  if (!value.isNumeric()) throw std::invalid_argument(fmt::format("\"{}\" in {} is not a number", key, path.string()));
  const double number = value.asDouble();
  if (!std::isfinite(number) || number < 0 || (!zero_allowed && number == 0)) {
    throw std::invalid_argument(fmt::format("\"{}\" in {} is out of range", key, path.string()));
  }
  return static_cast<float>(number);
}

std::size_t LoadPellum(const Json::Value& json, const fs::path& path) {
  const std::string make = Member(json, "make", path).asString();
  const std::string model = Member(json, "model", path).asString();
  if (make.empty() || model.empty()) throw std::invalid_argument("camera make and model must not be empty");
  const std::string cfa = json.get("cfa", "kMono").asString();
  if (!ColorFilterArrayFromName(cfa)) {
    throw NivraError(BM_NO_SUCH_CFA, fmt::format("calibration file {} names an unknown CFA {}", path.string(), cfa));
  }
  const Json::Value& white = json.get("whiteLevel", 65535);
  if (!white.isUInt() || white.asUInt() == 0 || white.asUInt() > 65535) {
    throw std::invalid_argument(fmt::format("\"whiteLevel\" in {} is out of range", path.string()));
  }
  const Json::Value& entries = json["isoData"];
  if (!entries.isArray() || entries.empty()) {
    throw std::invalid_argument(fmt::format("\"isoData\" in {} is not a non-empty list", path.string()));
  }

  // Every entry is checked before the registry changes, so a bad file adds nothing.
  struct Entry {
    std::string identifier;
    std::shared_ptr<QuantizerParameters> parameters;
    std::string description;
  };
  std::vector<Entry> parsed;
  std::set<unsigned> isos;
  for (const Json::Value& entry : entries) {
    if (!entry.isObject()) throw std::invalid_argument(fmt::format("an ISO entry in {} is not an object", path.string()));
    const Json::Value& iso = Member(entry, "iso", path);
    if (!iso.isUInt() || iso.asUInt() == 0) {
      throw std::invalid_argument(fmt::format("\"iso\" in {} is not a positive integer", path.string()));
    }
    if (!isos.insert(iso.asUInt()).second) {
      throw std::invalid_argument(fmt::format("ISO {} appears twice in {}", iso.asUInt(), path.string()));
    }
    const float gain = PositiveFloat(entry, "gain", path, false);
    const float black = PositiveFloat(entry, "blackLevel", path, true);
    const float noise = PositiveFloat(entry, "noise", path, true);
    if (black >= static_cast<float>(white.asUInt())) {
      throw std::invalid_argument(fmt::format("\"blackLevel\" in {} is not below the white level", path.string()));
    }
    parsed.push_back(
        {fmt::format("{}_{}_ISO{}", make, model, iso.asUInt()),
         std::make_shared<ExtendedAnscombeParameters>(gain, black, noise, white.asUInt()),
         fmt::format("{} {} at ISO {}: gain {}, black level {}, noise {}, white level {} (from {})", make, model,
                     iso.asUInt(), gain, black, noise, white.asUInt(), path.filename().string())});
  }
  for (auto& entry : parsed) set_parameters(entry.identifier, entry.parameters, cfa, entry.description);
  return parsed.size();
}

void LoadFile(const fs::path& path) {
  const Json::Value json = ReadJsonFile(path);
  if (IsPellum(json)) {
    LoadPellum(json, path);
  } else {
    load_file(path);
  }
}

}  // namespace

std::size_t LoadPellumJson(const fs::path& path) {
  const Json::Value json = ReadJsonFile(path);
  if (!IsPellum(json)) {
    throw std::invalid_argument(fmt::format("{} is not a Pellum camera calibration (no \"isoData\")", path.string()));
  }
  return LoadPellum(json, path);
}

int LoadFolder(const fs::path& folder) {
  std::error_code error;
  if (!fs::is_directory(folder, error)) return 0;
  std::vector<fs::path> files;
  for (const auto& item : fs::directory_iterator(folder, error)) {
    if (item.is_regular_file(error) && HasJsonName(item.path())) files.push_back(item.path());
  }
  std::sort(files.begin(), files.end());
  int loaded = 0;
  for (const auto& file : files) {
    try {
      LoadFile(file);
      ++loaded;
    } catch (const std::exception& failure) {
      tarn::Logger()->warn("Skipping calibration file {}: {}", file.string(), failure.what());
    }
  }
  return loaded;
}

int LoadPath(const fs::path& path) {
  if (fs::is_directory(path)) return LoadFolder(path);
  if (!fs::exists(path)) {
    throw NivraError(BM_COULD_NOT_READ_FILE, fmt::format("calibration path {} does not exist", path.string()));
  }
  LoadFile(path);
  return 1;
}

int DefaultInitialize() {
  // The user's folder comes last so that it can replace installed calibrations.
  int loaded = 0;
  for (const std::string& folder : {Util::nivra_dir(), Util::config_data_dir()}) {
    if (!folder.empty()) loaded += LoadFolder(folder);
  }
  return loaded;
}

}  // namespace Brimlake::Nivra::ParameterRegistry
