#include "calibration_search.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "nivra/nivra.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/metadata.hpp"

namespace tarn::cli {
namespace {

namespace fs = std::filesystem;
namespace nv = Brimlake::Nivra;

std::set<std::string> FileIdentifiers(const std::string& source) {
  std::set<std::string> identifiers;
  try {
    const Metadata metadata = Metadata::Read(source);
    for (const auto& chunk : metadata.chunks) {
      if (const auto* image = dynamic_cast<const chunk::Image*>(chunk.get()); image && image->calibration.identifier) {
        identifiers.insert(*image->calibration.identifier);
      }
      if (const auto* image = dynamic_cast<const chunk::InterleavedImage*>(chunk.get());
          image && image->calibration.identifier) {
        identifiers.insert(*image->calibration.identifier);
      }
    }
  } catch (const std::exception&) {
    // The failure itself was reported; the hint does without the file's identifiers.
  }
  return identifiers;
}

std::string FolderState(const std::string& folder) {
  std::error_code error;
  if (folder.empty()) return "(none)";
  if (!fs::is_directory(folder, error)) return folder + " (missing)";
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    std::string extension = entry.path().extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    files += extension == ".json" && entry.path().filename().string().front() != '.';
  }
  return fmt::format("{} ({} calibration file{})", folder, files, files == 1 ? "" : "s");
}

}  // namespace

std::string MissingCalibrationHint(const std::string& source, const std::optional<std::string>& calibration_id,
                                   const std::vector<std::string>& calibration_paths) {
  std::set<std::string> identifiers;
  if (calibration_id) {
    identifiers.insert(*calibration_id);
  } else {
    identifiers = FileIdentifiers(source);
  }
  const std::size_t loaded = nv::ParameterRegistry::get_identifiers().size();
  std::string looked;
  if (identifiers.empty()) {
    looked = "the file's images name no camera (no make, model and ISO), so no calibration can be looked up: give "
             "--calibration-id NAME";
  } else {
    std::vector<std::string> quoted;
    for (const std::string& identifier : identifiers) {
      quoted.push_back(fmt::format("\"{}\"{}", identifier,
                                   nv::ParameterRegistry::get_parameters(identifier) ? "" : " (not loaded)"));
    }
    looked = fmt::format("looked for calibration {} among the {} loaded", fmt::join(quoted, ", "), loaded);
  }
  std::string searched = fmt::format("searched the installed folder {} and the user's folder {}",
                                     FolderState(nv::Util::nivra_dir()), FolderState(nv::Util::config_data_dir()));
  if (!calibration_paths.empty()) searched += fmt::format(", then --calibration {}", fmt::join(calibration_paths, ", "));
  return fmt::format("{}; {}; measure one with 'tarn calibrate FILE... --id NAME' and prepare with --calibration-id NAME",
                     looked, searched);
}

}  // namespace tarn::cli
