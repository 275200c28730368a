// What preparing did to a file's images, for callers that tell their users (the command
// line): a prepare that changed nothing should not pass for one that did.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "tarn/error.hpp"
#include "tarn/file/metadata/metadata.hpp"

namespace tarn {

struct PrepareReport {
  size_t images = 0;             // 16-bit images stored without coding: what preparing applies to
  size_t compressed_images = 0;  // 16-bit images stored coded, which preparing leaves as they are
  size_t prepared = 0;           // images prepared now; the others had been prepared before
  // Once the work is done and nothing was prepared: why ("no 16-bit uncompressed image",
  // "already prepared", ...).
  std::optional<std::string> nothing_to_prepare;

  // The images of a file as its metadata describes them, before any work.
  static PrepareReport Of(const Metadata& metadata);
  // Records how many images were prepared and, when none was, why.
  void Conclude(size_t prepared_images);
};

// A prepare asked not to write an output in which nothing was prepared.
class NothingToPrepare : public Error {
 public:
  explicit NothingToPrepare(const std::string& reason);  // "nothing to prepare: " + reason, status 17
};

// TarnPrepareFile and TarnPrepareAndCompressFile (same checks, logging and statuses) that
// also fill `report`. With `write_unchanged` false, a prepare that would prepare nothing
// writes no output and returns status 17, `report.nothing_to_prepare` saying why.
TarnStatus PrepareFile(const char* source, const char* destination, const char* calibration_id,
                       PrepareReport& report, bool write_unchanged);
// `container_version` as for TarnCompressFileInVersion.
TarnStatus PrepareAndCompressFile(const char* source, const char* destination, const char* calibration_id,
                                  const char* metadata_json, PrepareReport& report, uint32_t container_version = 0);

}  // namespace tarn
