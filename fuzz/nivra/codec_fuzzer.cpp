// Feeds the decoder arbitrary bytes, and damaged versions of valid streams, and
// checks that whatever the encoder accepts decodes to exactly the input: raw,
// prepared, prepared then edited, with and without a header, cut into bands small
// enough that small inputs reach multi-band streams. The portable kernels must
// agree with the machine's fastest ones on every byte, status and pixel.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/format.hpp"
#include "codec/kernels.hpp"
#include "nivra/nivra.hpp"

namespace {

namespace Nivra = Brimlake::Nivra;
namespace codec = Brimlake::Nivra::codec;

void Serial(std::size_t count, const std::function<void(std::size_t)>& task) {
  for (std::size_t i = 0; i < count; ++i) task(i);
}
// Tasks in reverse order: the output must not depend on the order.
void Reversed(std::size_t count, const std::function<void(std::size_t)>& task) {
  for (std::size_t i = count; i-- > 0;) task(i);
}

void Check(bool condition) {
  if (!condition) abort();
}

// Runs f with the portable kernels forced.
template <class F>
auto Portable(F&& f) {
  codec::ForcePortableKernels() = true;
  auto result = f();
  codec::ForcePortableKernels() = false;
  return result;
}

// Both orders must agree on the status and, when decoding succeeds, on every pixel.
void DecodeArbitrary(const uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const std::size_t count = (data[0] | data[1] << 8) + 1u;
  std::vector<uint16_t> forward(count), backward(count);
  bm_status a = codec::Decode(data + 2, size - 2, forward.data(), count, Serial);
  bm_status b = codec::Decode(data + 2, size - 2, backward.data(), count, Reversed);
  Check(a == b && (a != BM_OK || forward == backward));
  bm_status c = Portable([&] { return codec::Decode(data + 2, size - 2, backward.data(), count, Serial); });
  Check(a == c && (a != BM_OK || forward == backward));
}

// Input: flags, width - 1, flip position, flip bits, band size, then the pixels.
// Flags: 1 embed a header, 2 colour header, 4 prepare first, 8 edit after preparing,
// 16 write stream version 2 (as older readers need) instead of the newest.
void RoundTrip(const uint8_t* data, std::size_t size) {
  if (size < 5) return;
  const uint8_t flags = data[0];
  const int32_t width = data[1] + 1;
  const uint8_t flip_at = data[2], flip_bits = data[3];
  codec::EncodeOptions options;
  options.bands.band_pixels = 16u + data[4] * 8u;
  options.bands.min_rows = 1 + (data[4] & 3);
  options.version = (flags & 16) ? codec::kVersion2 : codec::kVersion;
  data += 5;
  size -= 5;
  std::vector<uint16_t> pixels(size / 2);
  const int32_t height = static_cast<int32_t>(pixels.size()) / width;
  if (height == 0) return;
  std::memcpy(pixels.data(), data, pixels.size() * 2);
  pixels.resize(static_cast<std::size_t>(width) * height);
  if ((flags & 1) && pixels.size() >= 24) {
    auto parameters = std::make_shared<Nivra::ExtendedAnscombeParameters>(
        0.5f + (pixels[0] & 7), static_cast<float>(pixels[1] & 255), 1.0f + (pixels[2] & 3), 256u + (pixels[3] & 4095));
    const float step = 0.25f * (1 + (pixels[5] & 15));
    std::unique_ptr<Nivra::EmbeddedHeader> header;
    if (flags & 2) {
      header = std::make_unique<Nivra::ColorHeader>(pixels[4], step, Nivra::ColorFilterArray::kBayerGB, parameters);
    } else {
      header = std::make_unique<Nivra::MonochromeHeader>(pixels[4], step, parameters);
    }
    if (flags & 4) Nivra::replace_noise(pixels.data(), pixels.size(), *parameters, step, header->seed());
    if (flags & 8) {
      for (std::size_t i = 0; i < pixels.size(); i += 1 + (flags >> 4)) pixels[i] = static_cast<uint16_t>(pixels[i] + 1);
    }
    header->Embed(pixels);
  }
  // Whatever the encoder is given comes back exactly, whichever order the bands ran in.
  std::vector<uint8_t> coded(pixels.size() * 3 + 1024);
  int32_t length = static_cast<int32_t>(coded.size());
  Check(codec::Encode(pixels.data(), width, height, coded.data(), &length, Serial, options) == BM_OK);
  coded.resize(length);
  std::vector<uint8_t> reordered(coded.size() + 1024);
  int32_t reordered_length = static_cast<int32_t>(reordered.size());
  Check(codec::Encode(pixels.data(), width, height, reordered.data(), &reordered_length, Reversed, options) == BM_OK);
  Check(reordered_length == length && std::memcmp(reordered.data(), coded.data(), coded.size()) == 0);
  reordered_length = static_cast<int32_t>(reordered.size());
  Check(Portable([&] {
          return codec::Encode(pixels.data(), width, height, reordered.data(), &reordered_length, Serial, options);
        }) == BM_OK);
  Check(reordered_length == length && std::memcmp(reordered.data(), coded.data(), coded.size()) == 0);
  std::vector<uint16_t> decoded(pixels.size());
  Check(codec::Decode(coded.data(), coded.size(), decoded.data(), decoded.size(), Reversed) == BM_OK);
  Check(decoded == pixels);
  std::fill(decoded.begin(), decoded.end(), 0);
  Check(Portable([&] { return codec::Decode(coded.data(), coded.size(), decoded.data(), decoded.size(), Serial); }) ==
        BM_OK);
  Check(decoded == pixels);
  // The check before storing accepts the stream for these pixels and for no others.
  bool same = false;
  Check(codec::Verify(coded.data(), coded.size(), pixels.data(), pixels.size(), Reversed, same) == BM_OK && same);
  std::vector<uint16_t> other = pixels;
  other[flip_at * other.size() / 256] ^= static_cast<uint16_t>(1u << (flip_bits & 15));
  Check(codec::Verify(coded.data(), coded.size(), other.data(), other.size(), Serial, same) == BM_OK && !same);
  // One byte short of room: 17, and nothing written past the capacity.
  std::vector<uint8_t> tight(coded.size() + 16, 0xA5);
  int32_t capacity = length - 1;
  Check(codec::Encode(pixels.data(), width, height, tight.data(), &capacity, Serial, options) ==
        BM_INCOMPATIBLE_IMAGE);
  for (std::size_t i = coded.size() - 1; i < tight.size(); ++i) Check(tight[i] == 0xA5);
  // Damage is refused; a flip in padding may change nothing. Never wrong pixels with success.
  if (flip_bits != 0) {
    std::vector<uint8_t> damaged = coded;
    damaged[flip_at * damaged.size() / 256] ^= flip_bits;
    bm_status status = codec::Decode(damaged.data(), damaged.size(), decoded.data(), decoded.size(), Serial);
    Check(status == BM_INVALID_FILE_CONTENT || (status == BM_OK && decoded == pixels));
    status = codec::Verify(damaged.data(), damaged.size(), pixels.data(), pixels.size(), Serial, same);
    Check((status == BM_INVALID_FILE_CONTENT && !same) || (status == BM_OK && same));
  }
  const std::size_t cut = coded.size() * flip_at / 256;
  Check(codec::Decode(coded.data(), cut, decoded.data(), decoded.size(), Serial) == BM_INVALID_FILE_CONTENT);
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
