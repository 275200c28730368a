// Feeds the decoder arbitrary bytes, and damaged versions of valid streams, and
// checks that whatever the encoder accepts decodes to exactly the input.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nivra/nivra.hpp"

namespace {

void DecodeArbitrary(const uint8_t* data, std::size_t size) {
  if (size < 2) return;
  int32_t count = (data[0] | data[1] << 8) + 1;
  std::vector<uint16_t> out(count);
  nivra_decode(data + 2, static_cast<int32_t>(size - 2), out.data(), count);
}

// Pixels from the input, optionally with a header embedded; the round trip must
// be exact (or prepared), and damaged copies must decode safely.
void RoundTrip(const uint8_t* data, std::size_t size) {
  if (size < 4) return;
  const bool with_header = data[0] & 1;
  const int32_t width = data[1] % 64 + 1;
  const uint8_t flip_at = data[2], flip_bits = data[3];
  data += 4;
  size -= 4;
  std::vector<uint16_t> pixels(size / 2);
  if (pixels.empty()) return;
  std::memcpy(pixels.data(), data, pixels.size() * 2);
  const int32_t height = static_cast<int32_t>(pixels.size()) / width;
  if (height == 0) return;
  pixels.resize(static_cast<std::size_t>(width) * height);
  if (with_header && pixels.size() >= 24) {
    auto parameters = std::make_shared<Brimlake::Nivra::ExtendedAnscombeParameters>(
        0.5f + (pixels[0] & 7), static_cast<float>(pixels[1] & 255), 1.0f + (pixels[2] & 3), 256u + (pixels[3] & 4095));
    Brimlake::Nivra::MonochromeHeader(pixels[4], 0.5f + (pixels[5] & 3), parameters).Embed(pixels);
  }
  // Whatever carries a header (embedded here, or built by the fuzzer itself) is
  // prepared by the codec: expect what preparation gives.
  std::vector<uint16_t> expected = pixels;
  auto header = Brimlake::Nivra::EmbeddedHeader::Read(pixels);
  if (header) {
    Brimlake::Nivra::replace_noise(expected.data(), expected.size(), *header->parameters(), header->error_bound(),
                                   header->seed());
    std::copy(pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(header->PixelCount()), expected.begin());
  }
  std::vector<uint8_t> coded(pixels.size() * 3 + 1024);
  int32_t length = static_cast<int32_t>(coded.size());
  if (nivra_encode(pixels.data(), width, height, coded.data(), &length) != BM_OK) abort();
  coded.resize(length);
  std::vector<uint16_t> decoded(pixels.size());
  if (nivra_decode(coded.data(), length, decoded.data(), static_cast<int32_t>(decoded.size())) != BM_OK) abort();
  // Escaped edits may keep values that preparation would move: only then may they differ.
  if (!header && decoded != expected) abort();
  if (header && decoded != expected) {
    std::vector<uint16_t> again(pixels.size());
    std::vector<uint8_t> recoded(coded.size() + pixels.size() * 2);
    int32_t n = static_cast<int32_t>(recoded.size());
    if (nivra_encode(decoded.data(), width, height, recoded.data(), &n) != BM_OK) abort();
    if (nivra_decode(recoded.data(), n, again.data(), static_cast<int32_t>(again.size())) != BM_OK) abort();
    if (again != decoded) abort();  // what was decoded is stable
  }
  coded[flip_at % coded.size()] ^= flip_bits;
  nivra_decode(coded.data(), length, decoded.data(), static_cast<int32_t>(decoded.size()));
  coded.resize(coded.size() * flip_at / 256);
  if (!coded.empty()) nivra_decode(coded.data(), static_cast<int32_t>(coded.size()), decoded.data(), static_cast<int32_t>(decoded.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    DecodeArbitrary(data + 1, size - 1);
  } else {
    RoundTrip(data + 1, size - 1);
  }
  return 0;
}
