#include "transfers.hpp"

#include <filesystem>

#include "error.hpp"
#include "leftovers.hpp"
#include "retry.hpp"
#include "storage_path.hpp"

namespace caddistransfer {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kExtension = ".nivra";

bool EndsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::string StoredName(const std::string& name) { return EndsWith(name, kExtension) ? name : name + ".nivra"; }

void CheckStorageName(const std::string& name) { ResolveInside("/storage", name); }

std::string UploadTarget(const std::string& source, const std::string& target, bool into_folder) {
  if (target.empty()) throw PermanentError("an empty target names nothing inside a storage");
  if (!into_folder && target.back() != '/') return target;
  const std::string folder = target.back() == '/' ? target : target + '/';
  return folder + fs::path(source).filename().string();
}

std::string RestoredName(const std::string& stored_name, const std::optional<ObjectRecord>& record) {
  const std::string file = fs::path(stored_name).filename().string();
  if (record && record->keeps_extension) return file;
  return EndsWith(file, kExtension) ? file.substr(0, file.size() - kExtension.size()) : file;
}

void CheckStorageRoot(Manager& manager, const std::string& storage_id) {
  const auto storage = manager.OpenStorage(storage_id);
  WithRetries(manager.settings().retries, kFirstRetryPause, [&] {
    ConcurrencyLimit::Slot slot(manager.storage_slots());
    storage->Probe();
  });
  SweepStorage(*storage, "", true);
}

void RelocateStorageRoot(Manager& manager, const std::string& storage_id, const std::string& url) {
  const fs::path root = PathFromFileUrl(url);
  try {
    CheckStorageRootDirectory(root);
  } catch (const PermanentError& error) {
    throw PermanentError("cannot relocate storage '" + storage_id + "': " + error.what());
  }
  manager.SetStorageRoot(storage_id, root);
}

}  // namespace caddistransfer
