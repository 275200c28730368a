#include "tarn/util/checksum.hpp"

#include <new>

#include <xxhash.h>

namespace tarn::util {

uint64_t Xxh3(std::span<const std::byte> bytes) { return XXH3_64bits(bytes.data(), bytes.size()); }
uint64_t Xxh3(std::string_view bytes) { return XXH3_64bits(bytes.data(), bytes.size()); }

Xxh3Stream::Xxh3Stream() : state_(XXH3_createState()) {
  if (state_ == nullptr) throw std::bad_alloc();
  XXH3_64bits_reset(static_cast<XXH3_state_t*>(state_));
}
Xxh3Stream::~Xxh3Stream() { XXH3_freeState(static_cast<XXH3_state_t*>(state_)); }
void Xxh3Stream::Update(std::span<const std::byte> bytes) {
  XXH3_64bits_update(static_cast<XXH3_state_t*>(state_), bytes.data(), bytes.size());
}
uint64_t Xxh3Stream::Digest() const { return XXH3_64bits_digest(static_cast<const XXH3_state_t*>(state_)); }

std::string ChecksumText(uint64_t checksum) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(kChecksumTextLength, '0');
  for (std::size_t i = kChecksumTextLength; i-- > 0; checksum >>= 4) text[i] = kDigits[checksum & 15];
  return text;
}

std::optional<uint64_t> ParseChecksumText(std::string_view text) {
  if (text.size() != kChecksumTextLength) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return std::nullopt;
    value = value << 4 | digit;
  }
  return value;
}

}  // namespace tarn::util
