// Streaming XXH3-128 checksums: what a stored file restores to, what its stored bytes
// are, and what its record says, all compared by this one kind of digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace caddistransfer {

struct Digest {
  uint64_t high = 0;
  uint64_t low = 0;

  bool operator==(const Digest&) const = default;
  // 32 lowercase hex digits, most significant first.
  std::string Hex() const;
  static std::optional<Digest> FromHex(const std::string& text);
};

class Checksum {
 public:
  Checksum();
  ~Checksum();
  Checksum(const Checksum&) = delete;
  Checksum& operator=(const Checksum&) = delete;

  void Update(const void* data, std::size_t size);
  Digest Finish() const;
  uint64_t size() const { return size_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  uint64_t size_ = 0;
};

Digest ChecksumOf(const std::string& bytes);

}  // namespace caddistransfer
