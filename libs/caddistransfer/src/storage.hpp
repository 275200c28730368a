// One storage, behind the operations every storage kind provides. Names are relative
// paths inside the storage ("runs/7/plate.tif.nivra"), already checked by ResolveInside;
// each kind keeps every read and write inside its own root.
//
// Storing is two-phase: BeginPut gives a pending object whose bytes are written and
// checked, then Commit places them together with their record, atomically and without
// replacing anything: of several puts of one name exactly one commits. A pending object
// that is destroyed uncommitted leaves nothing behind.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <filesystem>

#include "error.hpp"
#include "object_record.hpp"
#include "random_access.hpp"

namespace caddistransfer {

// A stored object as found: its size and its record, if it has a readable one.
struct ObjectInfo {
  uint64_t size = 0;
  std::optional<ObjectRecord> record;  // none: stored before records were kept, or damaged
  std::string record_problem;          // why a record that is there cannot be used
};

// Commit found the name taken; `existing` describes what holds it.
class ObjectExists : public PermanentError {
 public:
  ObjectExists(const std::string& message, std::optional<ObjectInfo> existing)
      : PermanentError(message), existing(std::move(existing)) {}
  std::optional<ObjectInfo> existing;
};

class PendingObject : public RandomAccessFile {
 public:
  // Makes the written bytes durable and places them with `record` under the name given
  // to BeginPut. Throws ObjectExists when the name is taken (the pending bytes stay
  // until destruction), TransferError for failures worth retrying.
  virtual void Commit(const ObjectRecord& record) = 0;
};

class StoredObject : public RandomAccessReader {
 public:
  virtual const ObjectInfo& info() const = 0;
};

// Something an earlier, interrupted run left behind.
struct Leftover {
  std::string name;  // relative to the storage root
  std::chrono::system_clock::time_point modified;
  // kUnfinished: an object store's incomplete upload or upload claim, which no process
  // can be asked about; it goes once it is older than a day.
  enum class Kind { kTemporary, kRecordWithoutObject, kUnfinished } kind;
  std::string handle = {};  // what else the kind needs to remove it (an upload id)
};

class Storage {
 public:
  virtual ~Storage() = default;

  virtual const std::string& id() const = 0;
  // For messages: the id and where it lives.
  virtual std::string Describe() const = 0;

  // Throws TransferError when the storage cannot be reached now.
  virtual void RequireReachable() = 0;
  // Writes, reads back and removes a small probe; throws naming what failed.
  virtual void Probe() = 0;

  // Nothing is created; a name whose way leads out of the storage is refused.
  virtual std::optional<ObjectInfo> Stat(const std::string& name) = 0;
  virtual std::unique_ptr<StoredObject> Open(const std::string& name) = 0;  // null when absent
  // Open for a download into `directory` (open as `directory_fd`): a remote kind fetches
  // the object into a temporary there, so no other disk is needed.
  virtual std::unique_ptr<StoredObject> OpenForDownload(const std::string& name, int directory_fd,
                                                        const std::filesystem::path& directory) {
    (void)directory_fd;
    (void)directory;
    return Open(name);
  }
  // True when pending and opened objects are local copies and the storage itself moves
  // the bytes over the network in Commit and Open (through the transport's token
  // buckets): callers then must not count the local writes and reads again.
  virtual bool StagesLocally() const { return false; }
  virtual std::unique_ptr<PendingObject> BeginPut(const std::string& name) = 0;
  // Removes an object and its record; false when there was none.
  virtual bool Remove(const std::string& name) = 0;

  // Leftovers in `folder` ("" for the root), and below it when `recursive`.
  virtual std::vector<Leftover> ListLeftovers(const std::string& folder, bool recursive) = 0;
  virtual void RemoveLeftover(const Leftover& leftover) = 0;
};

}  // namespace caddistransfer
