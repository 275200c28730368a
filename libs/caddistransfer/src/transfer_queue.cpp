#include "transfer_queue.hpp"

#include <atomic>
#include <filesystem>
#include <map>
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

// Where an item writes: the stored name (for uploads) or the restored file (for downloads).
struct Destination {
  bool upload;
  std::string place;
  const std::vector<std::string>* storages;
  const std::string* source;
};

Destination DestinationOf(const QueueItem& item) {
  if (const auto* upload = std::get_if<UploadItem>(&item)) {
    return {true, StoredName(upload->target), &upload->storages, &upload->source};
  }
  const auto& download = std::get<DownloadItem>(item);
  std::error_code ignored;
  const fs::path directory = fs::absolute(download.target_directory, ignored).lexically_normal();
  return {false, (directory / fs::path(StoredName(download.source)).filename()).string(), nullptr, &download.source};
}

bool ShareAStorage(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  if (a.empty() || b.empty()) return true;  // every storage
  for (const auto& id : a) {
    for (const auto& other : b) {
      if (id == other) return true;
    }
  }
  return false;
}

struct Clash {
  std::size_t first;
  std::size_t second;
  std::string text;  // "items a and b of queue 'q' would both ..."
};

// The first two items that would write the same file, if any.
std::optional<Clash> FindClash(const std::vector<QueueItem>& items, const std::string& queue_id) {
  std::map<std::string, std::vector<std::size_t>> by_place;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Destination mine = DestinationOf(items[i]);
    auto& earlier = by_place[(mine.upload ? "u\n" : "d\n") + mine.place];
    for (const std::size_t j : earlier) {
      const Destination theirs = DestinationOf(items[j]);
      if (mine.upload && !ShareAStorage(*mine.storages, *theirs.storages)) continue;
      return Clash{j, i,
                   "items " + *theirs.source + " and " + *mine.source + " of queue '" + queue_id + "' would both " +
                       (mine.upload ? "be stored as " : "be restored to ") + mine.place};
    }
    earlier.push_back(i);
  }
  return std::nullopt;
}

void Run(Manager& manager, const QueueItem& item) {
  if (const auto* upload = std::get_if<UploadItem>(&item)) {
    UploadFile(manager, upload->source, upload->target, upload->calibration_id, upload->storages);
  } else {
    const auto& download = std::get<DownloadItem>(item);
    DownloadFile(manager, download.source, download.target_directory, download.storages);
  }
}

// New items may clash neither among themselves nor with those already queued.
void RefuseClashes(const Manager& manager, const std::string& queue_id, const std::vector<QueueItem>& items) {
  std::vector<QueueItem> all = manager.QueuedItems(queue_id);
  all.insert(all.end(), items.begin(), items.end());
  if (const auto clash = FindClash(all, queue_id)) throw PermanentError(clash->text + "; nothing was queued");
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
  RefuseClashes(manager, queue_id, items);
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
  RefuseClashes(manager, queue_id, items);
  manager.Enqueue(queue_id, std::move(items));
}

void RunQueue(Manager& manager, const std::string& queue_id) {
  CheckQueueId(queue_id);
  std::vector<QueueItem> items = manager.TakeQueue(queue_id);
  // Items queued at the same moment from two threads may still clash: then none runs.
  if (const auto clash = FindClash(items, queue_id)) {
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(clash->second));
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(clash->first));
    const std::size_t left = items.size();
    manager.Requeue(queue_id, std::move(items));
    throw PermanentError(clash->text + "; nothing was written, both were taken off the queue and the other " +
                         std::to_string(left) + " stay queued");
  }
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
