// Single uploads and downloads between local files and a manager's storages.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "manager.hpp"

namespace caddistransfer {

// Names in a storage always end in ".nivra"; the extension is added when missing.
std::string StoredName(const std::string& name);

// Refuses (PermanentError) a name that is empty, absolute or leaves the storage.
void CheckStorageName(const std::string& name);

// The name an upload of `source` takes: `target` itself, or, for a folder (a target
// ending in '/', or any target when into_folder), the source's file name inside it.
std::string UploadTarget(const std::string& source, const std::string& target, bool into_folder);

// Stores `source` as StoredName(target) in every listed storage (all of them when none
// is listed): compressed once, straight into a temporary beside the target in the first
// storage that takes it, proven to restore to the source, then copied to the others.
// A target that holds other content is never replaced; one that holds this same
// content already counts as done. Throws naming every storage that failed.
void UploadFile(Manager& manager, const std::string& source, const std::string& target,
                const std::optional<std::string>& calibration_id, const std::vector<std::string>& storage_ids);

// Restores StoredName(source) from the first listed storage that holds an intact copy
// into target_directory, under the stored name without ".nivra", with the source's
// permission bits and modification time. The restored bytes are checked against the
// checksum recorded at upload. An existing file there is never replaced.
void DownloadFile(Manager& manager, const std::string& source, const std::string& target_directory,
                  const std::vector<std::string>& storage_ids);

// The file name a download of the stored name gives.
std::string RestoredName(const std::string& stored_name, const std::optional<ObjectRecord>& record);

// Proves that the storage can take, return and give up a file, and clears what
// interrupted transfers left anywhere in it.
void CheckStorageRoot(Manager& manager, const std::string& storage_id);

// Points the storage at the directory named by a file:// URL, which must exist.
void RelocateStorageRoot(Manager& manager, const std::string& storage_id, const std::string& url);

}  // namespace caddistransfer
