#include "checksum.hpp"

#include <cstdio>
#include <new>

#include <xxhash.h>

namespace caddistransfer {

std::string Digest::Hex() const {
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(high),
                static_cast<unsigned long long>(low));
  return text;
}

std::optional<Digest> Digest::FromHex(const std::string& text) {
  if (text.size() != 32) return std::nullopt;
  Digest digest;
  for (std::size_t i = 0; i < 32; ++i) {
    const char c = text[i];
    int value;
    if (c >= '0' && c <= '9') {
      value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      value = c - 'a' + 10;
    } else {
      return std::nullopt;
    }
    uint64_t& word = i < 16 ? digest.high : digest.low;
    word = word << 4 | static_cast<uint64_t>(value);
  }
  return digest;
}

struct Checksum::State {
  XXH3_state_t* xxh = nullptr;
};

Checksum::Checksum() : state_(std::make_unique<State>()) {
  state_->xxh = XXH3_createState();
  if (state_->xxh == nullptr) throw std::bad_alloc();
  XXH3_128bits_reset(state_->xxh);
}

Checksum::~Checksum() { XXH3_freeState(state_->xxh); }

void Checksum::Update(const void* data, std::size_t size) {
  XXH3_128bits_update(state_->xxh, data, size);
  size_ += size;
}

Digest Checksum::Finish() const {
  const XXH128_hash_t hash = XXH3_128bits_digest(state_->xxh);
  return {hash.high64, hash.low64};
}

Digest ChecksumOf(const std::string& bytes) {
  Checksum checksum;
  checksum.Update(bytes.data(), bytes.size());
  return checksum.Finish();
}

}  // namespace caddistransfer
