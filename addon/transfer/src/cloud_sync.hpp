// Cloud sync roots: a desktop shell integration that this platform does not have.
#pragma once

#include <cstdint>
#include <filesystem>

namespace caddis::transfer {

class CloudSyncManager {
 public:
  static void RegisterNew(uint8_t id, const std::filesystem::path& sync_root, const std::filesystem::path& icon);
  static void ConnectExisting(uint8_t id, const std::filesystem::path& sync_root, const std::filesystem::path& icon);
  static void Disconnect(uint8_t id);
  static void Unregister(uint8_t id);
};

}  // namespace caddis::transfer
