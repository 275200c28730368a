// A storage that is a bucket (and a key prefix in it) on an S3-compatible server.
//
// Objects carry their record as metadata (x-amz-meta-caddis-record, the record's text
// in base64, plus the source checksum, mode and modification time in plain view). A
// put is staged in an unnamed local temporary, where it is written and proven; Commit
// then sends it: one PUT (If-None-Match: *) up to one part, else a multipart upload of
// parts sent several at a time, each signed with its SHA-256 so the server checks every
// byte, each retried on its own. Every put holds the key's claim (s3_claim.hpp) from
// before the target is checked until the object is complete, and a put that finds a
// dead owner's claim resumes its multipart upload from the parts that match.
//
// Opening an object fetches it with ranged GETs (several at a time, each retried, all
// bound to the ETag first seen) into an unnamed temporary, by default in the system's
// temporary folder, for a download in its target folder; the bytes are checked against
// the record before anyone reads them.
#pragma once

#include <memory>
#include <string>

#include "s3_client.hpp"
#include "s3_storage_entry.hpp"
#include "storage.hpp"
#include "token_bucket.hpp"
#include "transport_settings.hpp"

namespace caddistransfer::s3 {

// A configured S3 storage and the client that talks to it (shared by its transfers, so
// connections stay open between them).
struct Connection {
  StorageEntry entry;
  std::shared_ptr<Client> client;
};

inline constexpr uint64_t kPartSize = 8u << 20;
// kPartSize, or more when 10000 parts of it would not hold `size` bytes.
uint64_t PartSizeFor(uint64_t size);

class S3Storage final : public Storage {
 public:
  S3Storage(std::string id, std::shared_ptr<const Connection> connection, const TransportSettings& settings,
            TokenBucket* upload_bucket, TokenBucket* download_bucket);

  const std::string& id() const override { return id_; }
  std::string Describe() const override;
  void RequireReachable() override;
  void Probe() override;
  std::optional<caddistransfer::ObjectInfo> Stat(const std::string& name) override;
  std::unique_ptr<StoredObject> Open(const std::string& name) override;
  std::unique_ptr<StoredObject> OpenForDownload(const std::string& name, int directory_fd,
                                                const std::filesystem::path& directory) override;
  std::unique_ptr<PendingObject> BeginPut(const std::string& name) override;
  bool Remove(const std::string& name) override;
  std::vector<Leftover> ListLeftovers(const std::string& folder, bool recursive) override;
  void RemoveLeftover(const Leftover& leftover) override;
  bool StagesLocally() const override { return true; }

  struct Context {
    Client& client;
    const StorageLocation& location;
    std::string description;
    unsigned retries;
    unsigned concurrency;
    TokenBucket* upload_bucket;
    TokenBucket* download_bucket;
  };

 private:
  Context context() const;
  std::unique_ptr<StoredObject> Fetch(const std::string& name, const std::filesystem::path& directory);

  std::string id_;
  std::shared_ptr<const Connection> connection_;
  TransportSettings settings_;
  TokenBucket* upload_bucket_;
  TokenBucket* download_bucket_;
};

}  // namespace caddistransfer::s3
