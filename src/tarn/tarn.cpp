// The C interface: every call runs guarded, and every failure becomes a logged status.
#include "tarn/tarn.h"

#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>

#include <spdlog/sinks/basic_file_sink.h>

#include "tarn/error.hpp"
#include "tarn/file/file.hpp"
#include "tarn/file/leftovers.hpp"
#include "tarn/file/metadata/footer.hpp"
#include "tarn/file/stop.hpp"
#include "tarn/file/prepare_report.hpp"
#include "tarn/logger.hpp"
#include "tarn/logger_sinks.hpp"
#include "tarn/util/calibration_registry.hpp"

namespace {

namespace fs = std::filesystem;
using tarn::Logger;

// The C functions always name the destination exactly and replace an existing file.
constexpr tarn::Options kFileOptions = tarn::Options::KeepDestinationName | tarn::Options::Overwrite;

// Logs a failure at error level, keeps its text for tarn::LastErrorMessage and returns `status`.
TarnStatus Failed(TarnStatus status, std::string text) {
  Logger()->error("{}", text);
  tarn::SetLastErrorMessage(std::move(text));
  return status;
}

// Runs `operation`; no exception leaves this function.
template <class Operation>
TarnStatus Guarded(Operation operation) {
  tarn::SetLastErrorMessage({});
  try {
    return operation();
  } catch (const tarn::Stopped& stopped) {
    // Asked for by the caller: not a failure of the file.
    Logger()->warn("{}", stopped.what());
    tarn::SetLastErrorMessage(stopped.what());
    return stopped.status();
  } catch (const tarn::Error& error) {
    return Failed(error.status(), error.what());
  } catch (const std::exception& error) {
    return Failed(kTarnStatusUnknownError, error.what());
  } catch (...) {
    return Failed(kTarnStatusUnknownError, "unknown failure (not a standard exception)");
  }
}

// Existence check before any work; `missing_text` is logged when the source is absent.
std::optional<TarnStatus> CheckSource(const char* source, const std::string& missing_text) {
  if (source == nullptr) return Failed(kTarnStatusCouldNotReadFile, missing_text);
  std::error_code error;
  const bool exists = fs::exists(source, error);
  if (error) return Failed(kTarnStatusCouldNotReadFile, fmt::format("cannot access {}: {}", source, error.message()));
  if (!exists) return Failed(kTarnStatusCouldNotReadFile, missing_text);
  return std::nullopt;
}

std::optional<TarnStatus> CheckNotEmpty(const char* source) {
  std::error_code error;
  const auto size = fs::file_size(source, error);
  // The file exists but cannot be read as one (a folder, a pipe): like a source that
  // cannot be opened, an unknown error, with the system's reason in the text.
  if (error) {
    return Failed(kTarnStatusUnknownError, fmt::format("cannot read the size of {}: {}", source, error.message()));
  }
  if (size == 0) return Failed(kTarnStatusIncompatibleImage, fmt::format("file {} is empty", source));
  return std::nullopt;
}

fs::path RequiredDestination(const char* destination) {
  if (destination == nullptr) throw std::invalid_argument("no destination path given");
  return destination;
}

bool IsCompressedName(const fs::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == tarn::kCompressedExtension;
}

// 0 or the newest version: every form; 4: the forms of version 4 only; others: none.
std::optional<tarn::Options> OptionsForVersion(uint32_t container_version) {
  if (container_version == 0 || container_version == tarn::metadata::Footer::kNewestVersion) return kFileOptions;
  if (container_version == tarn::metadata::Footer::kCurrentVersion) return kFileOptions | tarn::Options::Version4Forms;
  tarn::Logger()->error("container version {} cannot be written (0, 4 or 5)", container_version);
  return std::nullopt;
}

}  // namespace

namespace tarn {

TarnStatus PrepareFile(const char* source, const char* destination, const char* calibration_id,
                       PrepareReport& report, bool write_unchanged) {
  return Guarded([&] {
    if (auto status = CheckSource(source, fmt::format("file {} does not exist", source ? source : "(null)"))) {
      return *status;
    }
    if (auto status = CheckNotEmpty(source)) return *status;
    const File file = File::Read(source);
    if (calibration_id != nullptr) file.SetCalibrationId(calibration_id);
    file.Prepare(RequiredDestination(destination), kFileOptions, &report, write_unchanged);
    return kTarnStatusOk;
  });
}

TarnStatus PrepareAndCompressFile(const char* source, const char* destination, const char* calibration_id,
                                  const char* metadata_json, PrepareReport& report, uint32_t container_version) {
  return Guarded([&] {
    const std::optional<Options> options = OptionsForVersion(container_version);
    if (!options) return kTarnStatusParameterOutOfRange;
    if (auto status = CheckSource(source, "source file does not exist")) return *status;
    const File file = File::Read(source);
    if (calibration_id != nullptr) file.SetCalibrationId(calibration_id);
    const File compressed = file.PrepareAndCompress(RequiredDestination(destination), *options, &report);
    if (metadata_json != nullptr) ToJsonFile(compressed.metadata, metadata_json);
    return kTarnStatusOk;
  });
}

}  // namespace tarn

extern "C" {

const char* TarnVersion(void) { return "6.2.0"; }

const char* TarnStatusDescription(TarnStatus status) {
  // Callers may pass any 32-bit number, also ones outside the enumeration's values:
  // compare the raw number instead of loading it as a TarnStatus.
  int32_t code = 0;
  std::memcpy(&code, &status, sizeof(code));
  for (const auto& [known, text] : tarn::kTarnStatusDescriptions) {
    if (static_cast<int32_t>(known) == code) return text.c_str();
  }
  return tarn::kTarnStatusDescriptions.at(kTarnStatusUnknownError).c_str();
}

TarnStatus TarnCompressFile(const char* source, const char* destination, const char* metadata_json) {
  return TarnCompressFileInVersion(source, destination, metadata_json, 0);
}

TarnStatus TarnCompressFileInVersion(const char* source, const char* destination, const char* metadata_json,
                                     uint32_t container_version) {
  return Guarded([&] {
    const std::optional<tarn::Options> options = OptionsForVersion(container_version);
    if (!options) return kTarnStatusParameterOutOfRange;
    if (auto status = CheckSource(source, "source file does not exist")) return *status;
    const tarn::File compressed = tarn::File::Read(source).Compress(RequiredDestination(destination), *options);
    if (metadata_json != nullptr) tarn::ToJsonFile(compressed.metadata, metadata_json);
    return kTarnStatusOk;
  });
}

TarnStatus TarnDecompressFile(const char* source, const char* destination, const char* metadata_json) {
  return Guarded([&] {
    if (auto status = CheckSource(source, fmt::format("file {} does not exist", source ? source : "(null)"))) {
      return *status;
    }
    if (auto status = CheckNotEmpty(source)) return *status;
    const fs::path target = RequiredDestination(destination);
    if (metadata_json != nullptr) {
      tarn::File(source, fs::path(metadata_json)).Decompress(target, kFileOptions);
    } else if (IsCompressedName(source) || tarn::Metadata::IsCompressedFile(source)) {
      // A damaged block must fail here: falling back would hand back the compressed bytes.
      // A renamed compressed file is recognised by its footer and read the same way.
      tarn::File::ReadCompressed(source).Decompress(target, kFileOptions);
    } else {
      // Without a footer the file is restored as the plain data it is.
      tarn::File::Read(source).Decompress(target, kFileOptions);
    }
    return kTarnStatusOk;
  });
}

TarnStatus TarnPrepareFile(const char* source, const char* destination, const char* calibration_id) {
  tarn::PrepareReport ignored;
  return tarn::PrepareFile(source, destination, calibration_id, ignored, true);
}

TarnStatus TarnPrepareAndCompressFile(const char* source, const char* destination, const char* calibration_id,
                                      const char* metadata_json) {
  tarn::PrepareReport ignored;
  return tarn::PrepareAndCompressFile(source, destination, calibration_id, metadata_json, ignored);
}

void TarnStopOperations(void) { tarn::RequestStop(); }

int64_t TarnRemoveLeftovers(const char* folder, TarnLeftoverCallback removed, void* context) {
  int64_t count = -1;
  Guarded([&] {
    if (folder == nullptr) throw std::invalid_argument("no folder given");
    const auto leftovers = tarn::RemoveLeftovers(folder);
    for (const tarn::RemovedLeftover& leftover : leftovers) {
      Logger()->info("removed {} ({} bytes), left by an interrupted operation", leftover.path.string(), leftover.size);
      if (removed != nullptr) removed(leftover.path.c_str(), leftover.size, context);
    }
    count = static_cast<int64_t>(leftovers.size());
    return kTarnStatusOk;
  });
  return count;
}

int TarnCalibrationRegistryDefaultInitialize(void) {
  int count = 0;
  Guarded([&] {
    count = Brimlake::Nivra::ParameterRegistry::DefaultInitialize();
    return kTarnStatusOk;
  });
  return count;
}

int TarnCalibrationRegistryLoadPath(const char* path) {
  int count = 0;
  Guarded([&] {
    if (path == nullptr) throw std::invalid_argument("no calibration path given");
    count = Brimlake::Nivra::ParameterRegistry::LoadPath(path);
    return kTarnStatusOk;
  });
  return count;
}

void TarnCalibrationRegistryClear(void) {
  Guarded([] {
    Brimlake::Nivra::ParameterRegistry::clear();
    return kTarnStatusOk;
  });
}

void TarnSetLogLevel(int level) {
  if (level < SPDLOG_LEVEL_TRACE || level > SPDLOG_LEVEL_OFF) {
    Logger()->warn("ignoring log level {}; levels run from 0 (trace) to 6 (off)", level);
    return;
  }
  Logger()->set_level(static_cast<spdlog::level::level_enum>(level));
}

void TarnAddLogFile(const char* file_name) {
  Guarded([&] {
    if (file_name == nullptr) throw std::invalid_argument("no log file name given");
    // Appends; an existing log keeps its content.
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(file_name, false);
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    tarn::AddLogSink(std::move(sink));
    return kTarnStatusOk;
  });
}

}  // extern "C"
