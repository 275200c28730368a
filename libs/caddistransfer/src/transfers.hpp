// Single uploads and downloads between local files and a manager's storages.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "manager.hpp"

namespace caddistransfer {

// Names in a storage always end in ".nivra"; the extension is added when missing.
std::string StoredName(const std::string& name);

// The name an upload of `source` takes: `target` itself, or, for a folder (a target
// ending in '/', or any target when into_folder), the source's file name inside it.
std::string UploadTarget(const std::string& source, const std::string& target, bool into_folder);

// Compresses `source` once and stores the result as StoredName(target) in every
// listed storage (all of them when none is listed). Each copy is verified before it
// takes the final name and is retried on failure. Throws naming every storage that failed.
void UploadFile(Manager& manager, const std::string& source, const std::string& target,
                const std::optional<std::string>& calibration_id, const std::vector<std::string>& storage_ids);

// Fetches StoredName(source) from the first listed storage that holds it, verifies it
// and restores the original file into target_directory under the stored name without
// ".nivra". An existing file there is never replaced.
void DownloadFile(Manager& manager, const std::string& source, const std::string& target_directory,
                  const std::vector<std::string>& storage_ids);

// Proves that the storage's root exists and takes, returns and gives up a file.
void CheckStorageRoot(Manager& manager, const std::string& storage_id);

// Points the storage at the directory named by a file:// URL, which must exist.
void RelocateStorageRoot(Manager& manager, const std::string& storage_id, const std::string& url);

}  // namespace caddistransfer
