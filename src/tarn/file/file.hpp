// A file on disk with the metadata that describes its bytes, and the four whole-file operations.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <json/value.h>

#include "tarn/file/metadata/metadata.hpp"
#include "tarn/file/options.hpp"
#include "tarn/file/prepare_report.hpp"

namespace tarn {

inline constexpr std::string_view kCompressedExtension = ".nivra";

class File {
 public:
  File(std::filesystem::path path, const Metadata& metadata);
  // Metadata from a JSON side file; the file at `path` is not read.
  File(std::filesystem::path path, const std::filesystem::path& metadata_json);

  static File Read(const std::filesystem::path& path);
  // A compressed file described by its own metadata block only; a damaged block is an
  // error (status 7) rather than a reason to treat the file as opaque data.
  static File ReadCompressed(const std::filesystem::path& path);

  // Each operation writes a new file and returns it; a failed one leaves no output and
  // an existing destination untouched.
  File Compress(const std::filesystem::path& destination, Options options) const;
  File Decompress(const std::filesystem::path& destination, Options options) const;
  // The preparing operations fill `report` when given. With `write_unchanged` false, a
  // prepare in which no image would be prepared writes nothing and throws NothingToPrepare.
  File Prepare(const std::filesystem::path& destination, Options options, PrepareReport* report = nullptr,
               bool write_unchanged = true) const;
  File PrepareAndCompress(const std::filesystem::path& destination, Options options,
                          PrepareReport* report = nullptr) const;

  // Applies a calibration identifier to every chunk (images keep it).
  void SetCalibrationId(const std::string& id) const;

  std::ifstream SourceStream() const;
  // Opens `destination` directly (refusal rules as for the operations).
  std::ofstream DestinationStream(const std::filesystem::path& destination, bool overwrite,
                                  bool create_directories) const;

  const std::filesystem::path path;
  const Metadata metadata;
};

Json::Value FromJsonFile(const std::filesystem::path& path);
// Indented, human-readable JSON of the metadata.
void ToJsonFile(const Metadata& metadata, const std::filesystem::path& path);

}  // namespace tarn
