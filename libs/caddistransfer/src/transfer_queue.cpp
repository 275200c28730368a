#include "transfer_queue.hpp"

#include <atomic>
#include <filesystem>
#include <system_error>
#include <thread>

#include "error.hpp"
#include "storage_path.hpp"
#include "transfers.hpp"

namespace caddistransfer {
namespace fs = std::filesystem;

namespace {

void CheckQueueId(const std::string& queue_id) {
  if (queue_id.empty()) throw PermanentError("a queue id must not be empty");
}

void CheckSources(const std::vector<std::string>& sources) {
  if (sources.empty()) throw PermanentError("no source was given");
}

std::string Describe(const QueueItem& item) {
  if (const auto* upload = std::get_if<UploadItem>(&item)) {
    return "upload " + upload->source + " -> " + StoredName(upload->target);
  }
  const auto& download = std::get<DownloadItem>(item);
  return "download " + StoredName(download.source) + " -> " + download.target_directory;
}

void Run(Manager& manager, const QueueItem& item) {
  if (const auto* upload = std::get_if<UploadItem>(&item)) {
    UploadFile(manager, upload->source, upload->target, upload->calibration_id, upload->storages);
  } else {
    const auto& download = std::get<DownloadItem>(item);
    DownloadFile(manager, download.source, download.target_directory, download.storages);
  }
}

}  // namespace

void EnqueueUploadItems(Manager& manager, const std::string& queue_id, const std::vector<std::string>& sources,
                        const std::string& target, const std::optional<std::string>& calibration_id,
                        const std::vector<std::string>& storage_ids) {
  CheckQueueId(queue_id);
  CheckSources(sources);
  manager.Storages(storage_ids);
  const bool into_folder = sources.size() > 1;
  std::vector<QueueItem> items;
  for (const auto& source : sources) {
    std::error_code error;
    if (!fs::is_regular_file(source, error)) throw PermanentError("source " + source + " is not a regular file");
    const std::string item_target = UploadTarget(source, target, into_folder);
    CheckStorageName(StoredName(item_target));
    items.emplace_back(UploadItem{source, item_target, calibration_id, storage_ids});
  }
  manager.Enqueue(queue_id, std::move(items));
}

void EnqueueDownloadItems(Manager& manager, const std::string& queue_id, const std::vector<std::string>& sources,
                          const std::string& target_directory, const std::vector<std::string>& storage_ids) {
  CheckQueueId(queue_id);
  CheckSources(sources);
  manager.Storages(storage_ids);
  std::error_code error;
  if (!fs::is_directory(target_directory, error)) {
    throw PermanentError("target directory " + target_directory + " does not exist");
  }
  std::vector<QueueItem> items;
  for (const auto& source : sources) {
    CheckStorageName(StoredName(source));
    items.emplace_back(DownloadItem{source, target_directory, storage_ids});
  }
  manager.Enqueue(queue_id, std::move(items));
}

void RunQueue(Manager& manager, const std::string& queue_id) {
  CheckQueueId(queue_id);
  std::vector<QueueItem> items = manager.TakeQueue(queue_id);
  std::vector<std::string> failures(items.size());
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next++) < items.size();) {
      try {
        Run(manager, items[i]);
      } catch (const std::exception& error) {
        failures[i] = error.what();
        if (failures[i].empty()) failures[i] = "failed without a message";
      }
    }
  };
  const std::size_t workers = std::min<std::size_t>(manager.settings().concurrency, items.size());
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 1; i < workers; ++i) {
      try {
        threads.emplace_back(work);
      } catch (const std::system_error&) {
        break;  // fewer helpers; the items still all run
      }
    }
    work();
  }

  std::vector<QueueItem> failed;
  std::string report;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (failures[i].empty()) continue;
    report += (report.empty() ? "" : "; ") + Describe(items[i]) + ": " + failures[i];
    failed.push_back(std::move(items[i]));
  }
  if (failed.empty()) return;
  const std::string summary = std::to_string(failed.size()) + " of " + std::to_string(items.size()) +
                              " items of queue '" + queue_id + "' failed and stay queued: " + report;
  manager.Requeue(queue_id, std::move(failed));
  throw TransferError(summary);
}

}  // namespace caddistransfer
