// Named queues of transfers, run together with the manager's transport concurrency.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "manager.hpp"
#include "queue_item.hpp"

namespace caddistransfer {

// Checks what can be checked now (sources, names, storages) and adds the items.
// Several sources, or a target ending in '/', make the target a folder that
// receives each source under its own file name.
void EnqueueUploadItems(Manager& manager, const std::string& queue_id, const std::vector<std::string>& sources,
                        const std::string& target, const std::optional<std::string>& calibration_id,
                        const std::vector<std::string>& storage_ids);
void EnqueueDownloadItems(Manager& manager, const std::string& queue_id, const std::vector<std::string>& sources,
                          const std::string& target_directory, const std::vector<std::string>& storage_ids);

// Runs every item of the queue. Failed items go back into the queue and are all
// named in the one error thrown.
void RunQueue(Manager& manager, const std::string& queue_id);

}  // namespace caddistransfer
