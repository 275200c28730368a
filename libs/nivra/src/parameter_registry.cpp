// The process-wide calibration registry and its calibration file loader.
#include <json/json.h>

#include <cmath>
#include <fstream>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "nivra/nivra.hpp"

namespace Brimlake::Nivra::ParameterRegistry {
namespace {

struct Entry {
  std::shared_ptr<QuantizerParameters> parameters;
  std::string cfa;
  std::string metadata;
};

struct Registry {
  std::shared_mutex mutex;
  std::map<std::string, Entry> entries;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

[[noreturn]] void Malformed(const std::filesystem::path& path, const std::string& why) {
  throw NivraError(BM_INVALID_FILE_CONTENT, "calibration file " + path.string() + ": " + why);
}

double RequireNumber(const Json::Value& camera, const char* key, const std::filesystem::path& path,
                     const std::string& where) {
  const Json::Value& value = camera[key];
  if (!value.isNumeric() || !std::isfinite(value.asDouble())) {
    Malformed(path, where + ": \"" + key + "\" must be a finite number");
  }
  return value.asDouble();
}

// Validates one camera object completely before anything is added.
std::pair<std::string, Entry> ParseCamera(const Json::Value& camera, const std::filesystem::path& path,
                                          Json::ArrayIndex index) {
  std::string where = "camera " + std::to_string(index);
  if (!camera.isObject()) Malformed(path, where + " is not an object");
  const Json::Value& identifier = camera["identifier"];
  if (!identifier.isString() || identifier.asString().empty()) {
    Malformed(path, where + ": \"identifier\" must be a non-empty string");
  }
  where += " (" + identifier.asString() + ")";
  std::string cfa = "kMono";
  if (camera.isMember("cfa")) {
    if (!camera["cfa"].isString() || !ColorFilterArrayFromName(camera["cfa"].asString())) {
      Malformed(path, where + ": \"cfa\" must be one of kMono, kBayerRG, kBayerGR, kBayerBG, kBayerGB");
    }
    cfa = camera["cfa"].asString();
  }
  double gain = RequireNumber(camera, "gain", path, where);
  double black_level = RequireNumber(camera, "black_level", path, where);
  double sigma = RequireNumber(camera, "sigma", path, where);
  const Json::Value& white = camera["white_level"];
  if (!white.isIntegral() || white.asLargestInt() < 1 || white.asLargestInt() > 65535) {
    Malformed(path, where + ": \"white_level\" must be an integer from 1 to 65535");
  }
  if (gain <= 0 || sigma < 0 || black_level < 0 || black_level >= white.asDouble()) {
    Malformed(path, where + ": need gain > 0, sigma >= 0 and 0 <= black_level < white_level");
  }
  std::string metadata;
  if (camera.isMember("metadata")) {
    if (!camera["metadata"].isString()) Malformed(path, where + ": \"metadata\" must be a string");
    metadata = camera["metadata"].asString();
  } else {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    metadata = Json::writeString(writer, camera);
  }
  auto parameters = std::make_shared<ExtendedAnscombeParameters>(
      static_cast<float>(gain), static_cast<float>(black_level), static_cast<float>(sigma),
      static_cast<unsigned>(white.asUInt()));
  return {identifier.asString(), Entry{std::move(parameters), cfa, metadata}};
}

}  // namespace

std::shared_ptr<QuantizerParameters> get_parameters(const std::string& identifier) {
  Registry& registry = TheRegistry();
  std::shared_lock lock(registry.mutex);
  auto it = registry.entries.find(identifier);
  return it == registry.entries.end() ? nullptr : it->second.parameters;
}

void set_parameters(const std::string& identifier, std::shared_ptr<QuantizerParameters> parameters,
                    const std::string& cfa, const std::string& metadata) {
  Registry& registry = TheRegistry();
  std::unique_lock lock(registry.mutex);
  registry.entries[identifier] = Entry{std::move(parameters), cfa, metadata};
}

std::string get_cfa(const std::string& identifier) {
  Registry& registry = TheRegistry();
  std::shared_lock lock(registry.mutex);
  auto it = registry.entries.find(identifier);
  return it == registry.entries.end() ? std::string() : it->second.cfa;
}

std::size_t load_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw NivraError(BM_COULD_NOT_READ_FILE, "cannot open calibration file " + path.string());
  Json::CharReaderBuilder reader;
  reader["rejectDupKeys"] = true;
  Json::Value root;
  std::string errors;
  if (!Json::parseFromStream(reader, file, &root, &errors)) {
    if (file.bad()) throw NivraError(BM_COULD_NOT_READ_FILE, "cannot read calibration file " + path.string());
    Malformed(path, "not valid JSON: " + errors);
  }
  if (!root.isObject() || root["format"] != "nivra-calibration") {
    Malformed(path, "not an object with \"format\": \"nivra-calibration\"");
  }
  if (!root["version"].isIntegral() || root["version"].asLargestInt() != 1) {
    Malformed(path, "unsupported \"version\" (1 is known)");
  }
  const Json::Value& cameras = root["cameras"];
  if (!cameras.isArray() || cameras.empty()) Malformed(path, "\"cameras\" must be a non-empty array");

  std::map<std::string, Entry> parsed;
  for (Json::ArrayIndex i = 0; i < cameras.size(); ++i) {
    auto [identifier, entry] = ParseCamera(cameras[i], path, i);
    if (!parsed.emplace(identifier, std::move(entry)).second) {
      Malformed(path, "identifier " + identifier + " appears twice");
    }
  }
  Registry& registry = TheRegistry();
  std::unique_lock lock(registry.mutex);
  for (auto& [identifier, entry] : parsed) registry.entries[identifier] = std::move(entry);
  return parsed.size();
}

void clear() {
  Registry& registry = TheRegistry();
  std::unique_lock lock(registry.mutex);
  registry.entries.clear();
}

std::vector<std::string> get_identifiers() {
  Registry& registry = TheRegistry();
  std::shared_lock lock(registry.mutex);
  std::vector<std::string> identifiers;
  identifiers.reserve(registry.entries.size());
  for (const auto& [identifier, entry] : registry.entries) identifiers.push_back(identifier);
  return identifiers;
}

std::string get_metadata(const std::string& identifier) {
  Registry& registry = TheRegistry();
  std::shared_lock lock(registry.mutex);
  auto it = registry.entries.find(identifier);
  return it == registry.entries.end() ? std::string() : it->second.metadata;
}

}  // namespace Brimlake::Nivra::ParameterRegistry
