#include "transfers.hpp"

#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codec_bridge.hpp"
#include "error.hpp"
#include "file_descriptor.hpp"
#include "retry.hpp"
#include "storage_path.hpp"
#include "temporary_name.hpp"
#include "verified_copy.hpp"

namespace caddistransfer {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kExtension = ".nivra";
constexpr auto kFirstRetryPause = std::chrono::milliseconds(100);

bool EndsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void RequireReachable(const StorageRoot& storage) {
  std::error_code error;
  if (!fs::is_directory(storage.root, error)) {
    throw TransferError("the root " + storage.root.string() + " of storage '" + storage.id + "' is not reachable" +
                        (error ? ": " + error.message() : std::string()));
  }
}

struct SourceState {
  uintmax_t size;
  fs::file_time_type modified;
  bool operator==(const SourceState&) const = default;
};

SourceState InspectSource(const fs::path& source) {
  std::error_code error;
  const auto status = fs::status(source, error);
  if (!fs::exists(status)) throw PermanentError("source " + source.string() + " does not exist");
  if (!fs::is_regular_file(status)) throw PermanentError("source " + source.string() + " is not a regular file");
  const auto size = fs::file_size(source, error);
  const auto modified = fs::last_write_time(source, error);
  if (error) throw PermanentError("cannot inspect source " + source.string() + ": " + error.message());
  return {size, modified};
}

void StoreInto(Manager& manager, const StorageRoot& storage, const fs::path& source, const fs::path& compressed,
               const fs::path& destination, unsigned retries) {
  WithRetries(retries, kFirstRetryPause, [&] {
    ConcurrencyLimit::Slot slot(manager.storage_slots());
    RequireReachable(storage);
    std::error_code error;
    fs::create_directories(destination.parent_path(), error);
    if (error) throw TransferError("cannot create " + destination.parent_path().string() + ": " + error.message());
    CheckContained(storage.root, destination);
    // The source must stay untouched, even when it already sits at the target's place.
    if (fs::equivalent(source, destination, error)) {
      throw PermanentError(destination.string() + " is the source itself; it was left as it was");
    }
    VerifiedCopy(compressed, destination, manager.upload_bucket(), Placement::kReplace);
  });
}

}  // namespace

std::string StoredName(const std::string& name) { return EndsWith(name, kExtension) ? name : name + ".nivra"; }

std::string UploadTarget(const std::string& source, const std::string& target, bool into_folder) {
  if (target.empty()) throw PermanentError("an empty target names nothing inside a storage");
  if (!into_folder && target.back() != '/') return target;
  const std::string folder = target.back() == '/' ? target : target + '/';
  return folder + fs::path(source).filename().string();
}

void UploadFile(Manager& manager, const std::string& source, const std::string& target,
                const std::optional<std::string>& calibration_id, const std::vector<std::string>& storage_ids) {
  const std::string stored_name = StoredName(UploadTarget(source, target, false));
  const auto storages = manager.Storages(storage_ids);
  std::vector<fs::path> destinations;
  for (const auto& storage : storages) destinations.push_back(ResolveInside(storage.root, stored_name));

  const fs::path source_path(source);
  const SourceState before = InspectSource(source_path);
  ScopedDirectory staging(fs::temp_directory_path(), "caddis-upload-");
  const fs::path compressed = staging.path() / "upload.nivra";
  CompressForUpload(source_path, compressed, calibration_id);
  if (!(InspectSource(source_path) == before)) {
    throw PermanentError("source " + source + " changed while it was compressed; nothing was stored");
  }

  const unsigned retries = manager.settings().retries;
  std::vector<std::string> failures(storages.size());
  auto store = [&](std::size_t i) {
    try {
      StoreInto(manager, storages[i], source_path, compressed, destinations[i], retries);
    } catch (const std::exception& error) {
      failures[i] = error.what();
    }
  };
  if (storages.size() == 1) {
    store(0);
  } else {
    // The storage slots bound how many of these write at once.
    std::vector<std::jthread> writers;
    for (std::size_t i = 0; i < storages.size(); ++i) {
      try {
        writers.emplace_back(store, i);
      } catch (const std::system_error&) {
        store(i);  // no thread to spare: write this copy here
      }
    }
  }

  std::string report;
  for (std::size_t i = 0; i < storages.size(); ++i) {
    if (failures[i].empty()) continue;
    report += (report.empty() ? "" : "; ") + std::string("storage '") + storages[i].id + "': " + failures[i];
  }
  if (!report.empty()) throw TransferError("upload of " + source + " as " + stored_name + " failed on " + report);
}

void DownloadFile(Manager& manager, const std::string& source, const std::string& target_directory,
                  const std::vector<std::string>& storage_ids) {
  const std::string stored_name = StoredName(source);
  const fs::path directory(target_directory);
  std::error_code error;
  if (!fs::is_directory(directory, error)) {
    throw PermanentError("target directory " + target_directory + " does not exist");
  }
  const auto storages = manager.Storages(storage_ids);
  const fs::path stored_file_name = fs::path(stored_name).filename();
  const std::string restored_name = stored_file_name.string().substr(0, stored_file_name.string().size() - kExtension.size());
  if (restored_name.empty()) throw PermanentError("'" + source + "' names no file");
  const fs::path final_path = directory / restored_name;
  if (fs::exists(fs::symlink_status(final_path, error))) {
    throw PermanentError(final_path.string() + " already exists; it was left as it was");
  }

  const unsigned retries = manager.settings().retries;
  ScopedDirectory work(directory, ".caddis-download-");
  const fs::path fetched = work.path() / stored_file_name;
  std::vector<std::string> searched;
  bool found = false;
  for (const auto& storage : storages) {
    const fs::path candidate = ResolveInside(storage.root, stored_name);
    searched.push_back("'" + storage.id + "'");
    if (!fs::is_regular_file(candidate, error)) continue;
    CheckContained(storage.root, candidate);
    WithRetries(retries, kFirstRetryPause, [&] {
      ConcurrencyLimit::Slot slot(manager.storage_slots());
      VerifiedCopy(candidate, fetched, manager.download_bucket(), Placement::kReplace);
    });
    found = true;
    break;
  }
  if (!found) {
    std::string list;
    for (const auto& name : searched) list += (list.empty() ? "" : ", ") + name;
    throw PermanentError(stored_name + " is in none of the storages " + list);
  }
  const fs::path restored = work.path() / restored_name;
  RestoreDownload(fetched, restored);
  PlaceFile(restored, final_path, Placement::kNoReplace);
}

void CheckStorageRoot(Manager& manager, const std::string& storage_id) {
  const StorageRoot storage = manager.Storage(storage_id);
  WithRetries(manager.settings().retries, kFirstRetryPause, [&] {
    ConcurrencyLimit::Slot slot(manager.storage_slots());
    RequireReachable(storage);
    const fs::path probe = storage.root / (".caddis-probe-" + RandomHex(12));
    const std::string content = "caddistransfer probe " + RandomHex(16);
    struct Remover {
      const fs::path& path;
      ~Remover() { ::unlink(path.c_str()); }
    } remover{probe};
    {
      FileDescriptor out(probe, O_WRONLY | O_CREAT | O_EXCL, 0600);
      out.WriteAll(content.data(), content.size());
      out.Sync();
      out.Close();
    }
    std::string back(content.size() + 1, '\0');
    FileDescriptor in(probe, O_RDONLY);
    std::size_t total = 0;
    while (const std::size_t got = in.Read(back.data() + total, back.size() - total)) total += got;
    if (total != content.size() || back.compare(0, total, content) != 0) {
      throw TransferError("storage '" + storage_id + "' returned different bytes than were written to " +
                          probe.string());
    }
    if (::unlink(probe.c_str()) != 0) {
      throw TransferError(SystemErrorText("storage '" + storage_id + "' cannot remove " + probe.string(), errno));
    }
  });
}

void RelocateStorageRoot(Manager& manager, const std::string& storage_id, const std::string& url) {
  const fs::path root = PathFromFileUrl(url);
  std::error_code error;
  if (!fs::is_directory(root, error)) {
    throw PermanentError("cannot relocate storage '" + storage_id + "' to " + root.string() +
                         ": no such directory");
  }
  manager.SetStorageRoot(storage_id, root);
}

}  // namespace caddistransfer
