#include "tarn/file/metadata/chunk/image/calibration.hpp"

#include <cmath>
#include <random>
#include <stdexcept>

#include <json/value.h>

#include "tarn/logger.hpp"

namespace tarn::chunk::image {

namespace {

namespace nv = Brimlake::Nivra;

// A present key with a value of the wrong type makes the whole record unusable:
// better a clear refusal than a calibration that silently means something else.
[[noreturn]] void ThrowBadValue(const char* key) {
  throw std::invalid_argument(std::string("JSON contains an invalid calibration value for \"") + key + "\"");
}

const Json::Value* Present(const Json::Value& json, const char* key) {
  const Json::Value* value = json.find(key, key + std::char_traits<char>::length(key));
  return value == nullptr || value->isNull() ? nullptr : value;
}

std::optional<float> ReadFloat(const Json::Value& json, const char* key) {
  const Json::Value* value = Present(json, key);
  if (value == nullptr) return std::nullopt;
  if (!value->isNumeric()) ThrowBadValue(key);
  return value->asFloat();
}

}  // namespace

Calibration Calibration::FromJson(const Json::Value& json) {
  if (json.isNull()) return {};
  if (!json.isObject()) throw std::invalid_argument("JSON calibration must be an object");

  Calibration calibration;
  if (const Json::Value* value = Present(json, "identifier")) {
    if (!value->isString()) ThrowBadValue("identifier");
    calibration.identifier = value->asString();
  }
  calibration.gain = ReadFloat(json, "gain");
  calibration.black_level = ReadFloat(json, "black_level");
  calibration.sigma = ReadFloat(json, "sigma");
  if (const Json::Value* value = Present(json, "white_level")) {
    if (!value->isUInt()) ThrowBadValue("white_level");
    calibration.white_level = value->asUInt();
  }
  if (const Json::Value* value = Present(json, "cfa")) {
    const std::string name = value->isString() ? value->asString() : "(not a text)";
    if (auto cfa = nv::ColorFilterArrayFromName(name)) {
      calibration.cfa = *cfa;
    } else {
      Logger()->warn("Ignoring invalid CFA found in JSON: {}.", name);
    }
  }
  if (const Json::Value* value = Present(json, "seed")) {
    if (!value->isUInt64()) ThrowBadValue("seed");
    calibration.seed = value->asUInt64();
  }
  calibration.error_bound = ReadFloat(json, "error_bound");
  return calibration;
}

void Calibration::SetIdentifier(const std::string& id) { identifier = id; }

void Calibration::SetIdentifier(const std::string& camera, uint32_t iso) {
  identifier = camera + "_ISO" + std::to_string(iso);
}

void Calibration::SetIdentifier(const std::string& make, const std::string& model, uint32_t iso) {
  identifier = make + "_" + model + "_ISO" + std::to_string(iso);
}

std::shared_ptr<nv::QuantizerParameters> Calibration::TryBuildQuantizerParameters() const {
  if (!identifier) {
    if (gain && black_level && sigma && white_level) {
      return std::make_shared<nv::ExtendedAnscombeParameters>(*gain, *black_level, *sigma, *white_level);
    }
    return nullptr;
  }

  std::shared_ptr<nv::QuantizerParameters> registered = nv::ParameterRegistry::get_parameters(*identifier);
  const auto* anscombe = dynamic_cast<const nv::ExtendedAnscombeParameters*>(registered.get());
  if (anscombe == nullptr) return registered;

  // The fallbacks apply to this image only: work on a copy so that the registry
  // entry other files use keeps its own levels.
  auto parameters = std::make_shared<nv::ExtendedAnscombeParameters>(*anscombe);
  if (black_level) {
    const double registry_black = parameters->black_level();
    if (std::abs(static_cast<double>(*black_level) - registry_black) > 0.2 * registry_black) {
      Logger()->warn("Fallback to calibration metadata black level: {}", *black_level);
      parameters->set_black_level(*black_level);
    }
  }
  if (white_level) {
    const unsigned registry_white = parameters->white_level();
    const unsigned difference =
        registry_white > *white_level ? registry_white - *white_level : *white_level - registry_white;
    if (difference > 0.2 * registry_white) {
      Logger()->warn("Fallback to calibration metadata white level: {}", *white_level);
      parameters->set_white_level(*white_level);
    }
  }
  return parameters;
}

std::optional<nv::ColorFilterArray> Calibration::TryBuildColorFilterArray() const {
  if (!identifier) return cfa;
  const std::string name = nv::ParameterRegistry::get_cfa(*identifier);
  if (auto registered = nv::ColorFilterArrayFromName(name)) return registered;
  Logger()->warn("Found invalid CFA in registry: {}. Fallback to calibration metadata CFA.", name);
  return cfa;
}

std::unique_ptr<nv::EmbeddedHeader> Calibration::TryBuildEmbeddedHeader() const {
  const std::optional<nv::ColorFilterArray> header_cfa = TryBuildColorFilterArray();
  uint64_t header_seed = 0;
  if (seed) {
    header_seed = *seed;
  } else {
    Calibration randomized;
    randomized.RandomizeSeed();
    header_seed = *randomized.seed;
  }
  const float header_error_bound = error_bound.value_or(1.0F);
  std::shared_ptr<nv::QuantizerParameters> parameters = TryBuildQuantizerParameters();
  if (!parameters) return nullptr;
  if (header_cfa) {
    return std::make_unique<nv::ColorHeader>(header_seed, header_error_bound, *header_cfa, std::move(parameters));
  }
  return std::make_unique<nv::MonochromeHeader>(header_seed, header_error_bound, std::move(parameters));
}

void Calibration::RandomizeSeed() {
  std::random_device device("default");
  seed = static_cast<uint64_t>(static_cast<uint32_t>(device()));
}

}  // namespace tarn::chunk::image
