// Downloads: the first intact copy of a stored file, restored straight into a pending
// (where possible unnamed) file in the target folder, checked against its record and
// only then given its name.
#include <cerrno>
#include <fstream>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codec_bridge.hpp"
#include "error.hpp"
#include "file_descriptor.hpp"
#include "leftovers.hpp"
#include "retry.hpp"
#include "temporary_name.hpp"
#include "transfers.hpp"
#include "tarn/file/pending_output.hpp"

namespace caddistransfer {
namespace fs = std::filesystem;

namespace {

// The mode a new file would get: 0666 less the process umask (read without changing it).
mode_t NewFileMode() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return 0666 & ~static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
  }
  return 0644;
}

// A failure on the local side: another storage would not help.
class TargetError : public PermanentError {
 public:
  using PermanentError::PermanentError;
};

class Download {
 public:
  Download(Manager& manager, const std::string& source, const std::string& target_directory,
           const std::vector<std::string>& storage_ids)
      : manager_(manager), stored_name_(StoredName(source)), directory_path_(target_directory) {
    CheckStorageName(stored_name_);
    std::error_code error;
    if (!fs::is_directory(directory_path_, error)) {
      throw PermanentError("target directory " + target_directory + " does not exist");
    }
    storages_ = manager.OpenStorages(storage_ids);
    directory_ = FileDescriptor(directory_path_, O_RDONLY | O_DIRECTORY);
    if (manager.FirstUse("download\n" + fs::absolute(directory_path_, error).string())) {
      SweepLocalFolder(directory_path_);
    }
  }

  void Run() {
    std::string problems;
    std::string searched;
    for (const auto& storage : storages_) {
      searched += (searched.empty() ? "'" : ", '") + storage->id() + "'";
      try {
        bool found = false;
        WithRetries(manager_.settings().retries, kFirstRetryPause, [&] {
          ConcurrencyLimit::Slot slot(manager_.storage_slots());
          found = TryFrom(*storage);
        });
        if (!found) continue;
        if (!problems.empty()) LogWarning("download of " + stored_name_ + " used another copy: " + problems);
        return;
      } catch (const IntegrityError& error) {
        problems += (problems.empty() ? "" : "; ") + std::string("storage '") + storage->id() + "': " + error.what();
      } catch (const TargetError&) {
        throw;
      } catch (const TransferError& error) {
        problems += (problems.empty() ? "" : "; ") + std::string("storage '") + storage->id() + "': " + error.what();
      }
    }
    if (problems.empty()) throw PermanentError(stored_name_ + " is in none of the storages " + searched);
    throw TransferError("download of " + stored_name_ + " failed; nothing was written: " + problems);
  }

 private:
  // False when the storage does not hold the name.
  bool TryFrom(Storage& storage) {
    const auto object = storage.OpenForDownload(stored_name_, directory_.get(), directory_path_);
    if (!object) return false;
    const ObjectInfo& info = object->info();
    if (!info.record && !info.record_problem.empty()) {
      throw IntegrityError(object->Name() + " cannot be checked: " + info.record_problem);
    }
    const std::string name = RestoredName(stored_name_, info.record);
    if (name.empty()) throw TargetError("'" + stored_name_ + "' names no file");
    const fs::path final_path = directory_path_ / name;
    struct stat existing {};
    if (::fstatat(directory_.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
      throw TargetError(final_path.string() + " already exists; it was left as it was");
    }

    // libtarn's pending outputs: unnamed where possible, else a name its sweep knows.
    std::optional<tarn::PendingOutput> pending;
    try {
      pending.emplace(final_path, 0600);
    } catch (const std::exception& error) {
      throw TargetError(error.what());
    }
    FileDescriptor out(pending->descriptor(),
                       pending->unnamed() ? fs::path(final_path.string() + " (unfinished)") : pending->temporary());
    // A storage that staged the object locally has counted its bytes already.
    TokenBucket* bucket = storage.StagesLocally() ? nullptr : &manager_.download_bucket();
    if (info.record) {
      const ObjectRecord& record = *info.record;
      const Summed restored = record.encoding == Encoding::kVerbatim ? CopyVerbatim(*object, out, bucket, false)
                                                                     : DecodeObject(*object, &out, bucket).restored;
      if (restored.size != record.size || !(restored.checksum == record.checksum)) {
        throw IntegrityError(object->Name() + " is damaged: it restores to " + std::to_string(restored.size) +
                             " bytes that differ from the " + std::to_string(record.size) +
                             " bytes recorded when it was stored");
      }
      Finish(out, record.mode & 0777, record.modified_ns);
    } else {
      LogWarning(object->Name() + " was stored without a checksum record; it is restored without an end-to-end check");
      DecodeObject(*object, &out, bucket);
      Finish(out, NewFileMode(), std::nullopt);
    }
    Place(*pending, out, final_path);
    return true;
  }

  void Finish(FileDescriptor& out, mode_t mode, std::optional<int64_t> modified_ns) {
    if (::fchmod(out.get(), mode) != 0) {
      throw TargetError(SystemErrorText("cannot set the permissions of " + out.Name(), errno));
    }
    if (modified_ns) {
      const timespec times[2] = {{0, UTIME_OMIT},
                                 {static_cast<time_t>(*modified_ns / 1'000'000'000), static_cast<long>(*modified_ns % 1'000'000'000)}};
      if (::futimens(out.get(), times) != 0) {
        throw TargetError(SystemErrorText("cannot set the modification time of " + out.Name(), errno));
      }
    }
    out.Sync();
  }

  // An unnamed file can be named only while it is open; a named one is closed first,
  // since some file systems report a failed write only then.
  void Place(tarn::PendingOutput& pending, FileDescriptor& out, const fs::path& final_path) {
    if (!pending.unnamed()) out.Close();
    try {
      pending.Place(false);
    } catch (const fs::filesystem_error& error) {
      if (error.code() == std::errc::file_exists) {
        throw TargetError(final_path.string() + " already exists; it was left as it was");
      }
      throw TargetError(error.what());
    } catch (const std::exception& error) {
      throw TargetError(error.what());
    }
    if (pending.unnamed()) out.Close();
    directory_.Sync();
  }

  Manager& manager_;
  const std::string stored_name_;
  const fs::path directory_path_;
  std::vector<std::unique_ptr<Storage>> storages_;
  FileDescriptor directory_;
};

}  // namespace

void DownloadFile(Manager& manager, const std::string& source, const std::string& target_directory,
                  const std::vector<std::string>& storage_ids) {
  Download(manager, source, target_directory, storage_ids).Run();
}

}  // namespace caddistransfer
