// One queued transfer, owning copies of everything it needs.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace caddistransfer {

struct UploadItem {
  std::string source;
  std::string target;
  std::optional<std::string> calibration_id;
  std::vector<std::string> storages;
};

struct DownloadItem {
  std::string source;
  std::string target_directory;
  std::vector<std::string> storages;
};

using QueueItem = std::variant<UploadItem, DownloadItem>;

}  // namespace caddistransfer
