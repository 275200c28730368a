// Who is placing an object: a small object `<key>.caddis-claim`, created only where
// none exists (If-None-Match: *). Some servers ignore that condition when a multipart
// upload completes, so every put first takes the claim, checks that the target is
// still free, places the object and then gives the claim up: of several puts of one
// key exactly one places it.
//
// The claim names its owner the way temporary names do (machine, boot, pid), the
// multipart upload it feeds and a digest of the record it will carry. A claim whose
// owner no longer runs on this machine, or that is older than a day, is stale: the
// next put of the key takes it over (If-Match on its ETag, so of two takers one wins)
// and may resume the upload it names.
#pragma once

#include <string>

#include "s3_client.hpp"

namespace caddistransfer::s3 {

inline constexpr std::string_view kClaimSuffix = ".caddis-claim";

struct ClaimContent {
  std::string owner;      // a temporary name: machine, boot, pid
  std::string upload_id;  // the multipart upload the owner sends into, or ""
  std::string record;     // digest of the record the object will carry
};

class Claim {
 public:
  // `where` names the storage for messages.
  Claim(Client& client, std::string bucket, std::string key, std::string where);

  // Takes the claim for a put whose record has digest `record`; returns what a stale
  // claim that was taken over held (empty when the claim was free). Throws
  // TransferError naming the owner while a live upload holds it.
  ClaimContent Acquire(const std::string& record);
  // Notes the multipart upload this put sends into, for a later resumption.
  void Note(const std::string& upload_id);
  // Gives the claim up; never throws (a claim left behind goes stale).
  void Release() noexcept;
  bool held() const { return held_; }

 private:
  std::string Text(const std::string& upload_id) const;

  Client& client_;
  std::string bucket_;
  std::string key_;
  std::string where_;
  std::string owner_;
  std::string record_;
  std::string etag_;
  bool held_ = false;
};

}  // namespace caddistransfer::s3
