// Checksums the container stores as text: XXH3-64 (libxxhash, seed 0) written as 16
// lowercase hexadecimal digits, a fixed width so that filling one in never changes a length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarn::util {

constexpr std::size_t kChecksumTextLength = 16;

uint64_t Xxh3(std::span<const std::byte> bytes);
uint64_t Xxh3(std::string_view bytes);

// Incremental XXH3-64 over bytes that arrive in pieces; Digest() equals Xxh3 of their concatenation.
class Xxh3Stream {
 public:
  Xxh3Stream();
  ~Xxh3Stream();
  Xxh3Stream(const Xxh3Stream&) = delete;
  Xxh3Stream& operator=(const Xxh3Stream&) = delete;
  void Update(std::span<const std::byte> bytes);
  uint64_t Digest() const;

 private:
  void* state_;
};

std::string ChecksumText(uint64_t checksum);
// The value of a text ChecksumText wrote; nothing for any other text (other length, upper case, non-hex).
std::optional<uint64_t> ParseChecksumText(std::string_view text);

}  // namespace tarn::util
