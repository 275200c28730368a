#include "s3_storage.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "codec_bridge.hpp"
#include "file_descriptor.hpp"
#include "retry.hpp"
#include "s3_claim.hpp"
#include "s3_digest.hpp"
#include "temporary_name.hpp"

namespace caddistransfer::s3 {
namespace fs = std::filesystem;
using StorageObjectInfo = caddistransfer::ObjectInfo;

namespace {

constexpr const char* kRecordMetadata = "caddis-record";
constexpr uint64_t kMaxParts = 10000;

bool EndsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

Metadata MetadataOf(const ObjectRecord& record) {
  const std::string text = record.ToText();
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(record.mode & 07777));
  return {
      {kRecordMetadata, Base64(reinterpret_cast<const uint8_t*>(text.data()), text.size())},
      {"caddis-source-xxh3-128", record.source_checksum.Hex()},
      {"caddis-mode", mode},
      {"caddis-mtime-ns", std::to_string(record.modified_ns)},
  };
}

StorageObjectInfo InfoOf(const s3::ObjectInfo& object) {
  StorageObjectInfo info;
  info.size = object.size;
  const auto found = object.metadata.find(kRecordMetadata);
  if (found == object.metadata.end()) {
    info.record_problem = "it carries no checksum record (x-amz-meta-caddis-record)";
    return info;
  }
  const auto text = FromBase64(found->second);
  if (!text) {
    info.record_problem = "its checksum record is not base64";
    return info;
  }
  try {
    info.record = ObjectRecord::FromText(*text);
  } catch (const std::exception& error) {
    info.record_problem = std::string("its checksum record cannot be used: ") + error.what();
  }
  return info;
}

// An unnamed file in `directory`: nothing is left behind, whatever happens to the process.
FileDescriptor StagingFile(const fs::path& directory, const std::string& final_name) {
  const int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return FileDescriptor(fd, directory / ("(temporary for " + final_name + ")"));
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    throw TransferError(SystemErrorText("cannot create a temporary file in " + directory.string(), errno));
  }
  const fs::path path = directory / TemporaryName(final_name);
  FileDescriptor file(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  ::unlink(path.c_str());
  return file;
}

// Runs work(0..count-1) on up to `threads` threads; the first failure stops the rest
// from starting and is thrown once all have ended.
template <class Work>
void RunParallel(std::size_t count, unsigned threads, Work&& work) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex mutex;
  const auto run = [&] {
    for (std::size_t i; !failed && (i = next++) < count;) {
      try {
        work(i);
      } catch (...) {
        std::lock_guard lock(mutex);
        if (!failure) failure = std::current_exception();
        failed = true;
      }
    }
  };
  const std::size_t helpers = std::min<std::size_t>(count, std::max(1u, threads)) - (count > 0 ? 1 : 0);
  {
    std::vector<std::jthread> pool;
    for (std::size_t i = 0; i < helpers; ++i) {
      try {
        pool.emplace_back(run);
      } catch (const std::system_error&) {
        break;  // fewer threads: the others share the work
      }
    }
    run();
  }
  if (failure) std::rethrow_exception(failure);
}

WireHook Meter(TokenBucket* bucket) {
  if (bucket == nullptr) return {};
  return [bucket](std::size_t bytes) { bucket->Acquire(bytes); };
}

bool IsMissingUpload(const std::exception& error) {
  const ErrorDetails* details = DetailsOf(error);
  return details != nullptr && details->code == "NoSuchUpload";
}

class S3StoredObject final : public StoredObject {
 public:
  S3StoredObject(std::string name, FileDescriptor staged, StorageObjectInfo info)
      : name_(std::move(name)), staged_(std::move(staged)), info_(std::move(info)) {}
  const StorageObjectInfo& info() const override { return info_; }
  std::string Name() const override { return name_; }
  uint64_t Size() override { return info_.size; }
  std::size_t ReadAt(uint64_t offset, void* data, std::size_t size) override {
    return staged_.ReadAt(offset, data, size);
  }

 private:
  std::string name_;
  FileDescriptor staged_;
  StorageObjectInfo info_;
};

class S3PendingObject final : public PendingObject {
 public:
  S3PendingObject(const S3Storage::Context& context, std::shared_ptr<const Connection> keep, std::string key)
      : context_(context),
        keep_(std::move(keep)),
        key_(std::move(key)),
        staged_(StagingFile(fs::temp_directory_path(), fs::path(key_).filename().string())),
        claim_(context_.client, context_.location.bucket, key_, context_.description) {}

  ~S3PendingObject() override {
    if (!upload_id_.empty()) {
      try {
        context_.client.AbortMultipartUpload(context_.location.bucket, key_, upload_id_);
      } catch (...) {
      }
    }
    claim_.Release();
  }

  std::string Name() const override { return staged_.Name(); }
  uint64_t Size() override { return staged_.Size(); }
  std::size_t ReadAt(uint64_t offset, void* data, std::size_t size) override {
    return staged_.ReadAt(offset, data, size);
  }
  void WriteAt(uint64_t offset, const void* data, std::size_t size) override { staged_.WriteAt(offset, data, size); }
  void Truncate(uint64_t size) override { staged_.Truncate(size); }

  void Commit(const ObjectRecord& record) override {
    if (committed_) return;
    const uint64_t size = staged_.Size();
    const std::string record_digest = ChecksumOf(record.ToText()).Hex();
    if (!claim_.held()) inherited_ = claim_.Acquire(record_digest);
    try {
      RequireFree();
      if (size <= kPartSize) {
        AbortInherited();  // a dead owner's upload of a larger object
        SendWhole(record, size);
      } else {
        SendParts(record, record_digest, size);
      }
    } catch (const ObjectExists&) {
      claim_.Release();
      throw;
    }
    Verify(record, size);
    committed_ = true;
    claim_.Release();
  }

 private:
  const std::string& bucket() const { return context_.location.bucket; }

  std::string Shown() const { return "s3://" + bucket() + "/" + key_; }

  [[noreturn]] void ThrowExists(std::optional<StorageObjectInfo> existing) {
    throw ObjectExists(context_.description + " already holds " + Shown(), std::move(existing));
  }

  void RequireFree() {
    if (const auto existing = context_.client.Head(bucket(), key_)) ThrowExists(InfoOf(*existing));
  }

  RequestBody Body(uint64_t offset, uint64_t length) const {
    RequestBody body;
    body.fd = staged_.get();
    body.offset = offset;
    body.length = length;
    body.name = staged_.Name();
    body.sha256 = Sha256HexOfRange(body.fd, offset, length, body.name);
    return body;
  }

  void SendWhole(const ObjectRecord& record, uint64_t size) {
    const RequestBody body = Body(0, size);
    PutOptions options;
    options.metadata = MetadataOf(record);
    options.create_only = true;
    options.on_wire = Meter(context_.upload_bucket);
    try {
      WithRetries(context_.retries, kFirstRetryPause, [&] { context_.client.Put(bucket(), key_, body, options); });
    } catch (const RejectedError& error) {
      if (error.details().http_status != 412) throw;
      const auto existing = context_.client.Head(bucket(), key_);
      ThrowExists(existing ? std::optional(InfoOf(*existing)) : std::nullopt);
    }
  }

  void AbortInherited() {
    const std::string inherited = std::exchange(inherited_.upload_id, {});
    if (inherited.empty()) return;
    try {
      context_.client.AbortMultipartUpload(bucket(), key_, inherited);
    } catch (const TransferError&) {
      // Left to the sweep of day-old uploads.
    }
  }

  // Keeps the parts of an upload a dead owner left that match these bytes; aborts it
  // when it was for another record.
  void AdoptInherited(const std::string& record_digest, uint64_t size, uint64_t part_size) {
    if (inherited_.record != record_digest) return AbortInherited();
    const std::string inherited = std::exchange(inherited_.upload_id, {});
    if (inherited.empty()) return;
    std::vector<PartInfo> listed;
    try {
      listed = context_.client.ListParts(bucket(), key_, inherited);
    } catch (const RejectedError& error) {
      if (IsMissingUpload(error)) return;
      throw;
    }
    upload_id_ = inherited;
    const uint64_t count = (size + part_size - 1) / part_size;
    for (const auto& part : listed) {
      if (part.number < 1 || static_cast<uint64_t>(part.number) > count) continue;
      const uint64_t offset = (part.number - 1) * part_size;
      const uint64_t length = std::min(part_size, size - offset);
      if (part.size != length || part.etag != Md5HexOfRange(staged_.get(), offset, length, staged_.Name())) continue;
      parts_[part.number] = UploadedPart{part.number, part.etag, part.size};
    }
  }

  void SendParts(const ObjectRecord& record, const std::string& record_digest, uint64_t size) {
    const uint64_t part_size = PartSizeFor(size);
    const uint64_t count = (size + part_size - 1) / part_size;
    if (upload_id_.empty()) AdoptInherited(record_digest, size, part_size);
    if (upload_id_.empty()) {
      parts_.clear();
      upload_id_ = WithRetries(context_.retries, kFirstRetryPause,
                               [&] { return context_.client.CreateMultipartUpload(bucket(), key_, MetadataOf(record)); });
      WithRetries(context_.retries, kFirstRetryPause, [&] { claim_.Note(upload_id_); });
    }
    std::vector<int> missing;
    for (uint64_t number = 1; number <= count; ++number) {
      if (parts_.count(static_cast<int>(number)) == 0) missing.push_back(static_cast<int>(number));
    }
    std::mutex mutex;
    const WireHook meter = Meter(context_.upload_bucket);
    RunParallel(missing.size(), context_.concurrency, [&](std::size_t i) {
      const int number = missing[i];
      const uint64_t offset = (number - 1) * part_size;
      const RequestBody body = Body(offset, std::min(part_size, size - offset));
      const UploadedPart part = WithRetries(context_.retries, kFirstRetryPause, [&] {
        return context_.client.UploadPart(bucket(), key_, upload_id_, number, body, meter);
      });
      std::lock_guard lock(mutex);
      parts_[number] = part;
    });
    RequireFree();
    std::vector<UploadedPart> parts;
    for (const auto& [number, part] : parts_) parts.push_back(part);
    try {
      WithRetries(context_.retries, kFirstRetryPause, [&] {
        context_.client.CompleteMultipartUpload(bucket(), key_, upload_id_, parts, true);
      });
    } catch (const PermanentError&) {
      // What was sent cannot be completed: start over next time.
      try {
        context_.client.AbortMultipartUpload(bucket(), key_, upload_id_);
      } catch (const TransferError&) {
      }
      upload_id_.clear();
      parts_.clear();
      throw;
    }
    upload_id_.clear();
    parts_.clear();
  }

  void Verify(const ObjectRecord& record, uint64_t size) {
    const auto stored = WithRetries(context_.retries, kFirstRetryPause, [&] { return context_.client.Head(bucket(), key_); });
    const StorageObjectInfo info = stored ? InfoOf(*stored) : StorageObjectInfo{};
    if (!stored || info.size != size || !info.record || !(info.record->object_checksum == record.object_checksum)) {
      throw PermanentError(context_.description + ": after the upload " + Shown() +
                           (stored ? " holds " + std::to_string(info.size) + " bytes that are not the ones sent"
                                   : " is missing"));
    }
  }

  S3Storage::Context context_;
  std::shared_ptr<const Connection> keep_;
  std::string key_;
  FileDescriptor staged_;
  Claim claim_;
  ClaimContent inherited_;
  std::string upload_id_;
  std::map<int, UploadedPart> parts_;
  bool committed_ = false;
};

}  // namespace

uint64_t PartSizeFor(uint64_t size) {
  uint64_t part_size = kPartSize;
  while ((size + part_size - 1) / part_size > kMaxParts) part_size *= 2;
  return part_size;
}

S3Storage::S3Storage(std::string id, std::shared_ptr<const Connection> connection, const TransportSettings& settings,
                     TokenBucket* upload_bucket, TokenBucket* download_bucket)
    : id_(std::move(id)),
      connection_(std::move(connection)),
      settings_(settings),
      upload_bucket_(upload_bucket),
      download_bucket_(download_bucket) {}

S3Storage::Context S3Storage::context() const {
  return {*connection_->client, connection_->entry.location, Describe(), settings_.retries,
          std::max(1u, settings_.concurrency), upload_bucket_, download_bucket_};
}

std::string S3Storage::Describe() const {
  const auto& location = connection_->entry.location;
  std::string prefix = location.prefix;
  if (!prefix.empty()) prefix.pop_back();
  return "storage '" + id_ + "' (s3://" + location.bucket + (prefix.empty() ? "" : "/" + prefix) + " at " +
         connection_->client->endpoint() + ")";
}

void S3Storage::RequireReachable() {
  const auto& location = connection_->entry.location;
  connection_->client->ListObjectsPage(location.bucket, location.prefix, {}, 1);
}

void S3Storage::Probe() {
  const auto& location = connection_->entry.location;
  Client& client = *connection_->client;
  const std::string key = location.KeyFor(TemporaryName("probe"));
  const std::string content = "caddistransfer probe " + RandomHex(16);
  bool written = false;
  try {
    PutOptions create;
    create.create_only = true;
    client.Put(location.bucket, key, RequestBody{-1, 0, content.size(), content, "the probe", {}}, create);
    written = true;
    std::string back;
    client.Get(location.bucket, key, [&](const char* data, std::size_t size) { back.append(data, size); });
    if (back != content) throw TransferError("it returned other bytes than were written to s3://" + location.bucket + "/" + key);
    client.Delete(location.bucket, key);
  } catch (const std::exception& error) {
    if (written) {
      try {
        client.Delete(location.bucket, key);
      } catch (const std::exception&) {
      }
    }
    const std::string text = Describe() + " failed its check: " + error.what();
    if (dynamic_cast<const PermanentError*>(&error) != nullptr) throw PermanentError(text);
    throw TransferError(text);
  }
}

std::optional<StorageObjectInfo> S3Storage::Stat(const std::string& name) {
  const auto& location = connection_->entry.location;
  const auto object = connection_->client->Head(location.bucket, location.KeyFor(name));
  if (!object) return std::nullopt;
  return InfoOf(*object);
}

std::unique_ptr<StoredObject> S3Storage::Fetch(const std::string& name, const fs::path& directory) {
  const auto& location = connection_->entry.location;
  Client& client = *connection_->client;
  const std::string key = location.KeyFor(name);
  const auto head = client.Head(location.bucket, key);
  if (!head) return nullptr;
  const std::string shown = "s3://" + location.bucket + "/" + key;
  FileDescriptor staged = StagingFile(directory, fs::path(name).filename().string());
  const uint64_t count = (head->size + kPartSize - 1) / kPartSize;
  const WireHook meter = Meter(download_bucket_);
  RunParallel(count, std::max(1u, settings_.concurrency), [&](std::size_t i) {
    GetOptions options;
    options.offset = i * kPartSize;
    options.length = std::min<uint64_t>(kPartSize, head->size - options.offset);
    options.if_match = head->etag;  // every range of one and the same object
    options.on_wire = meter;
    WithRetries(settings_.retries, kFirstRetryPause, [&] {
      client.Get(location.bucket, key, WriteToFile(staged.get(), options.offset, staged.Name()), options);
    });
  });
  StorageObjectInfo info = InfoOf(*head);
  if (info.record) {
    const Summed fetched = SumOf(staged, nullptr);
    if (fetched.size != info.record->object_size || !(fetched.checksum == info.record->object_checksum)) {
      throw IntegrityError(shown + " is damaged: its " + std::to_string(fetched.size) +
                           " bytes differ from those recorded when it was stored");
    }
  }
  return std::make_unique<S3StoredObject>(shown, std::move(staged), std::move(info));
}

std::unique_ptr<StoredObject> S3Storage::Open(const std::string& name) { return Fetch(name, fs::temp_directory_path()); }

std::unique_ptr<StoredObject> S3Storage::OpenForDownload(const std::string& name, int directory_fd,
                                                         const fs::path& directory) {
  (void)directory_fd;
  return Fetch(name, directory);
}

std::unique_ptr<PendingObject> S3Storage::BeginPut(const std::string& name) {
  return std::make_unique<S3PendingObject>(context(), connection_, connection_->entry.location.KeyFor(name));
}

bool S3Storage::Remove(const std::string& name) {
  const auto& location = connection_->entry.location;
  const std::string key = location.KeyFor(name);
  if (!connection_->client->Head(location.bucket, key)) return false;
  connection_->client->Delete(location.bucket, key);
  return true;
}

std::vector<Leftover> S3Storage::ListLeftovers(const std::string& folder, bool recursive) {
  const auto& location = connection_->entry.location;
  Client& client = *connection_->client;
  const std::string base = location.prefix + (folder.empty() ? "" : folder + "/");
  const auto in_scope = [&](const std::string& key) {
    return key.starts_with(base) && (recursive || key.find('/', base.size()) == std::string::npos);
  };
  std::vector<Leftover> found;
  for (const auto& upload : client.ListMultipartUploads(location.bucket, base)) {
    // Only uploads of stored names are this library's.
    if (!in_scope(upload.key) || !EndsWith(upload.key, ".nivra")) continue;
    found.push_back({upload.key.substr(location.prefix.size()), upload.initiated, Leftover::Kind::kUnfinished,
                     upload.upload_id});
  }
  // Claims and probes need a listing of every object: only for whole-storage sweeps.
  if (recursive) {
    for (const auto& object : client.ListObjects(location.bucket, base)) {
      const std::string name = object.key.substr(location.prefix.size());
      if (EndsWith(object.key, kClaimSuffix)) {
        found.push_back({name, object.last_modified, Leftover::Kind::kUnfinished});
      } else if (IsTemporaryName(fs::path(object.key).filename().string())) {
        found.push_back({name, object.last_modified, Leftover::Kind::kTemporary});
      }
    }
  }
  return found;
}

void S3Storage::RemoveLeftover(const Leftover& leftover) {
  const auto& location = connection_->entry.location;
  const std::string key = location.KeyFor(leftover.name);
  if (!leftover.handle.empty()) {
    connection_->client->AbortMultipartUpload(location.bucket, key, leftover.handle);
  } else if (EndsWith(key, kClaimSuffix) || IsTemporaryName(fs::path(key).filename().string())) {
    connection_->client->Delete(location.bucket, key);
  }
}

}  // namespace caddistransfer::s3
