// Streaming 64-bit checksum (XXH3) used to prove that copied bytes arrived unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace caddistransfer {

class Checksum {
 public:
  Checksum();
  ~Checksum();
  Checksum(const Checksum&) = delete;
  Checksum& operator=(const Checksum&) = delete;

  void Update(const void* data, std::size_t size);
  uint64_t Digest() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace caddistransfer
