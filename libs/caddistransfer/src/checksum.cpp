#include "checksum.hpp"

#include <new>

#include <xxhash.h>

namespace caddistransfer {

struct Checksum::State {
  XXH3_state_t* xxh = nullptr;
};

Checksum::Checksum() : state_(std::make_unique<State>()) {
  state_->xxh = XXH3_createState();
  if (state_->xxh == nullptr) throw std::bad_alloc();
  XXH3_64bits_reset(state_->xxh);
}

Checksum::~Checksum() { XXH3_freeState(state_->xxh); }

void Checksum::Update(const void* data, std::size_t size) { XXH3_64bits_update(state_->xxh, data, size); }

uint64_t Checksum::Digest() const { return XXH3_64bits_digest(state_->xxh); }

}  // namespace caddistransfer
