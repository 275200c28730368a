#include "s3_claim.hpp"

#include <sstream>

#include <json/json.h>

#include "temporary_name.hpp"

namespace caddistransfer::s3 {
namespace {

std::optional<ClaimContent> Parse(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::Value json;
  std::string errors;
  std::istringstream in(text);
  if (!Json::parseFromStream(builder, in, &json, &errors) || !json.isObject()) return std::nullopt;
  ClaimContent content;
  content.owner = json["owner"].asString();
  content.upload_id = json["upload_id"].asString();
  content.record = json["record"].asString();
  return content;
}

bool IsPreconditionFailure(const RejectedError& error) { return error.details().http_status == 412; }

}  // namespace

Claim::Claim(Client& client, std::string bucket, std::string key, std::string where)
    : client_(client),
      bucket_(std::move(bucket)),
      key_(std::move(key) + std::string(kClaimSuffix)),
      where_(std::move(where)),
      owner_(TemporaryName("claim")) {}

std::string Claim::Text(const std::string& upload_id) const {
  Json::Value json(Json::objectValue);
  json["owner"] = owner_;
  json["upload_id"] = upload_id;
  json["record"] = record_;
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, json);
}

ClaimContent Claim::Acquire(const std::string& record) {
  record_ = record;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::string text = Text({});
    const RequestBody body{-1, 0, text.size(), text, "the claim"};
    try {
      PutOptions create;
      create.create_only = true;
      etag_ = client_.Put(bucket_, key_, body, create).etag;
      held_ = true;
      return {};
    } catch (const RejectedError& error) {
      if (!IsPreconditionFailure(error)) throw;
    }
    std::string held_text;
    std::optional<ObjectInfo> info;
    try {
      info = client_.Get(bucket_, key_, [&](const char* data, std::size_t size) { held_text.append(data, size); });
    } catch (const RejectedError& error) {
      if (error.details().code == "NoSuchKey") continue;  // given up meanwhile
      throw;
    }
    const auto held = Parse(held_text);
    const bool stale = !held || IsStaleTemporary(held->owner, info->last_modified, std::chrono::system_clock::now());
    if (!stale) {
      throw TransferError("another upload is placing s3://" + bucket_ + "/" +
                          key_.substr(0, key_.size() - kClaimSuffix.size()) + " in " + where_ + " (claimed by " +
                          held->owner + ")");
    }
    // Its owner is gone: take it over, keeping the upload it names for resumption.
    const ClaimContent left = held.value_or(ClaimContent{});
    const std::string takeover = Text(left.upload_id);
    const RequestBody takeover_body{-1, 0, takeover.size(), takeover, "the claim"};
    try {
      PutOptions replace;
      replace.if_match = info->etag;
      etag_ = client_.Put(bucket_, key_, takeover_body, replace).etag;
      held_ = true;
      return left;
    } catch (const RejectedError& error) {
      if (!IsPreconditionFailure(error)) throw;  // another put took it over first
    }
  }
  throw TransferError("another upload is placing s3://" + bucket_ + "/" +
                      key_.substr(0, key_.size() - kClaimSuffix.size()) + " in " + where_);
}

void Claim::Note(const std::string& upload_id) {
  const std::string text = Text(upload_id);
  const RequestBody body{-1, 0, text.size(), text, "the claim"};
  PutOptions replace;
  replace.if_match = etag_;
  etag_ = client_.Put(bucket_, key_, body, replace).etag;
}

void Claim::Release() noexcept {
  if (!held_) return;
  held_ = false;
  try {
    client_.Delete(bucket_, key_);
  } catch (...) {
  }
}

}  // namespace caddistransfer::s3
