// Uploads: one source into every listed storage, compressed once and proven before it
// is placed; a stored file is never replaced.
#include <cerrno>
#include <exception>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

#include "codec_bridge.hpp"
#include "error.hpp"
#include "file_descriptor.hpp"
#include "leftovers.hpp"
#include "retry.hpp"
#include "transfers.hpp"

namespace caddistransfer {
namespace fs = std::filesystem;

namespace {

struct Source {
  fs::path path;
  FileDescriptor file;
  struct stat status;
};

Source OpenSource(const std::string& source) {
  struct stat info {};
  if (::stat(source.c_str(), &info) != 0) {
    if (errno == ENOENT) throw PermanentError("source " + source + " does not exist");
    throw SourceError(SystemErrorText("cannot inspect source " + source, errno));
  }
  if (!S_ISREG(info.st_mode)) throw PermanentError("source " + source + " is not a regular file");
  try {
    FileDescriptor file(source, O_RDONLY);
    const struct stat opened = file.Status();
    return {source, std::move(file), opened};
  } catch (const TransferError& error) {
    throw SourceError(error.what());
  }
}

bool SameState(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// What was read must be the file that is there, as it was when it was opened.
void RequireUnchanged(const Source& source) {
  struct stat by_path {};
  if (!SameState(source.status, source.file.Status()) || ::stat(source.path.c_str(), &by_path) != 0 ||
      !SameState(source.status, by_path)) {
    throw SourceError("source " + source.path.string() + " changed while it was read; nothing was stored");
  }
}

bool IsCompressedName(const fs::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".nivra";
}

bool operator==(const Summed& a, const Summed& b) { return a.size == b.size && a.checksum == b.checksum; }

ObjectRecord RecordOf(const ProducedObject& produced, const Source& source,
                      const std::optional<std::string>& calibration_id, bool keeps_extension) {
  ObjectRecord record;
  record.encoding = produced.encoding;
  record.keeps_extension = keeps_extension;
  record.size = produced.restored.size;
  record.checksum = produced.restored.checksum;
  record.source_size = produced.source.size;
  record.source_checksum = produced.source.checksum;
  record.calibration = calibration_id;
  record.mode = source.status.st_mode & 0777;
  record.modified_ns = static_cast<int64_t>(source.status.st_mtim.tv_sec) * 1'000'000'000 + source.status.st_mtim.tv_nsec;
  record.object_size = produced.object.size;
  record.object_checksum = produced.object.checksum;
  return record;
}

class Upload {
 public:
  Upload(Manager& manager, const std::string& source, const std::string& target,
         const std::optional<std::string>& calibration_id, const std::vector<std::string>& storage_ids)
      : manager_(manager),
        stored_name_(StoredName(UploadTarget(source, target, false))),
        calibration_id_(calibration_id),
        retries_(manager.settings().retries) {
    CheckStorageName(stored_name_);
    storages_ = manager.OpenStorages(storage_ids);
    failures_.resize(storages_.size());
    if (calibration_id_) RequireCalibration(*calibration_id_);
    source_.emplace(OpenSource(source));
    // A compressed file is kept as it is. Named "x.nivra" in the storage too, it comes
    // back as "x.nivra"; under a name the extension was added to, without it.
    verbatim_ = IsCompressedName(source_->path);
    keeps_extension_ = verbatim_ && stored_name_ == UploadTarget(source, target, false);
  }

  void Run() {
    std::vector<std::size_t> to_write;
    for (std::size_t i = 0; i < storages_.size(); ++i) {
      if (Inspect(i)) to_write.push_back(i);
    }
    std::size_t primary = storages_.size();
    for (const std::size_t i : to_write) {
      if (Produce(i)) {
        primary = i;
        break;
      }
    }
    if (primary < storages_.size()) {
      Commit(primary, *produced_);
      std::vector<std::jthread> writers;
      for (const std::size_t i : to_write) {
        if (i <= primary) continue;
        try {
          writers.emplace_back([this, i] { Replicate(i); });
        } catch (const std::system_error&) {
          Replicate(i);  // no thread to spare: write this copy here
        }
      }
    }
    Report();
  }

 private:
  // True when the storage does not hold the name yet.
  bool Inspect(std::size_t i) {
    Storage& storage = *storages_[i];
    std::optional<ObjectInfo> existing;
    try {
      const std::string folder = fs::path(stored_name_).parent_path().string();
      WithRetries(retries_, kFirstRetryPause, [&] {
        ConcurrencyLimit::Slot slot(manager_.storage_slots());
        storage.RequireReachable();
        if (manager_.FirstUse(storage.Describe() + '\n' + folder)) SweepStorage(storage, folder, false);
        existing = storage.Stat(stored_name_);
      });
    } catch (const SourceError&) {
      throw;
    } catch (const std::exception& error) {
      failures_[i] = error.what();
      return false;
    }
    if (!existing) return true;
    failures_[i] = Judge(*existing);
    return false;
  }

  // Empty when what is stored is what this upload would store (nothing to do); else why it stays.
  std::string Judge(const std::optional<ObjectInfo>& existing) {
    const std::string held = "it already holds " + stored_name_;
    const std::string advice = "; delete it there first to replace it";
    if (!existing) return held + advice;
    if (!existing->record) {
      return held + (existing->record_problem.empty() ? " (stored without a checksum record)"
                                                      : " (" + existing->record_problem + ")") +
             advice;
    }
    ObjectRecord wanted;
    wanted.keeps_extension = keeps_extension_;
    wanted.calibration = calibration_id_;
    const Summed& source = SourceSum();
    wanted.source_size = source.size;
    wanted.source_checksum = source.checksum;
    if (existing->record->SameUpload(wanted)) return {};
    return held + " with other content" + advice;
  }

  const Summed& SourceSum() {
    if (!source_sum_) {
      try {
        source_sum_ = SumOf(source_->file, nullptr);
      } catch (const TransferError& error) {
        throw SourceError(error.what());
      }
      RequireUnchanged(*source_);
    }
    return *source_sum_;
  }

  // The token bucket for writes into a storage's pending object: none for a storage
  // that stages locally and meters its own sending.
  TokenBucket* WireBucket(const Storage& storage) {
    return storage.StagesLocally() ? nullptr : &manager_.upload_bucket();
  }

  // Compresses the source into storage i and proves it; false when that storage failed.
  bool Produce(std::size_t i) {
    try {
      WithRetries(retries_, kFirstRetryPause, [&] {
        ConcurrencyLimit::Slot slot(manager_.storage_slots());
        auto pending = storages_[i]->BeginPut(stored_name_);
        const ProducedObject produced = ProduceObject(source_->path, source_->file, *pending, calibration_id_,
                                                      WireBucket(*storages_[i]), verbatim_);
        RequireUnchanged(*source_);
        record_ = RecordOf(produced, *source_, calibration_id_, keeps_extension_);
        source_sum_ = produced.source;
        produced_ = std::move(pending);
      });
      return true;
    } catch (const SourceError&) {
      throw;
    } catch (const std::exception& error) {
      failures_[i] = error.what();
      return false;
    }
  }

  void Commit(std::size_t i, PendingObject& pending) {
    try {
      WithRetries(retries_, kFirstRetryPause, [&] {
        ConcurrencyLimit::Slot slot(manager_.storage_slots());
        pending.Commit(record_);
      });
    } catch (const ObjectExists& exists) {
      // Another upload placed it meanwhile.
      failures_[i] = Judge(exists.existing);
    } catch (const std::exception& error) {
      failures_[i] = error.what();
    }
  }

  void Replicate(std::size_t i) {
    try {
      std::unique_ptr<PendingObject> pending;
      WithRetries(retries_, kFirstRetryPause, [&] {
        ConcurrencyLimit::Slot slot(manager_.storage_slots());
        pending = storages_[i]->BeginPut(stored_name_);
        const Summed sent = CopyVerbatim(*produced_, *pending, WireBucket(*storages_[i]), false);
        const Summed back = SumOf(*pending, nullptr);
        const Summed expected{record_.object_size, record_.object_checksum};
        if (!(sent == expected) || !(back == expected)) {
          throw TransferError("the copy written to " + pending->Name() + " differs from the compressed file");
        }
      });
      Commit(i, *pending);
    } catch (const std::exception& error) {
      failures_[i] = error.what();
    }
  }

  void Report() const {
    std::string report;
    for (std::size_t i = 0; i < storages_.size(); ++i) {
      if (failures_[i].empty()) continue;
      report += (report.empty() ? "" : "; ") + std::string("storage '") + storages_[i]->id() + "': " + failures_[i];
    }
    if (!report.empty()) {
      throw TransferError("upload of " + source_->path.string() + " as " + stored_name_ + " failed on " + report);
    }
  }

  Manager& manager_;
  const std::string stored_name_;
  const std::optional<std::string> calibration_id_;
  const unsigned retries_;
  std::vector<std::unique_ptr<Storage>> storages_;
  std::vector<std::string> failures_;
  std::optional<Source> source_;
  bool verbatim_ = false;
  bool keeps_extension_ = false;
  std::optional<Summed> source_sum_;
  std::unique_ptr<PendingObject> produced_;
  ObjectRecord record_;
};

}  // namespace

void UploadFile(Manager& manager, const std::string& source, const std::string& target,
                const std::optional<std::string>& calibration_id, const std::vector<std::string>& storage_ids) {
  Upload(manager, source, target, calibration_id, storage_ids).Run();
}

}  // namespace caddistransfer
