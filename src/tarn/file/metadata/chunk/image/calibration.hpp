// What is known of the camera that took an image.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <json/value.h>

#include "nivra/nivra.hpp"

namespace tarn::chunk::image {

class Calibration {
 public:
  std::optional<std::string> identifier;
  std::optional<float> gain;
  std::optional<float> black_level;
  std::optional<float> sigma;
  std::optional<uint32_t> white_level;
  std::optional<Brimlake::Nivra::ColorFilterArray> cfa;
  std::optional<uint64_t> seed;
  std::optional<float> error_bound;

  static Calibration FromJson(const Json::Value& json);

  void SetIdentifier(const std::string& id);
  void SetIdentifier(const std::string& camera, uint32_t iso);                            // camera_ISO<iso>
  void SetIdentifier(const std::string& make, const std::string& model, uint32_t iso);  // make_model_ISO<iso>

  // Parameters from the registry (identifier) or from the record; null when neither has them.
  std::shared_ptr<Brimlake::Nivra::QuantizerParameters> TryBuildQuantizerParameters() const;
  std::optional<Brimlake::Nivra::ColorFilterArray> TryBuildColorFilterArray() const;
  // Null when no parameters can be built.
  std::unique_ptr<Brimlake::Nivra::EmbeddedHeader> TryBuildEmbeddedHeader() const;
  void RandomizeSeed();

  bool operator==(const Calibration&) const = default;
};

}  // namespace tarn::chunk::image
