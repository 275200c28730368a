// The header a prepared image carries in its leading pixels:
//   0-3   signature 0x4E56 0x5250 0xE3A1 0x5C07
//   4     version (high byte, 1) and kind (low byte: 1 monochrome, 2 colour)
//   5     colour filter (ColorFilterArray value; 0 for monochrome)
//   6-9   seed, 64 bits, least significant word first
//   10-11 error bound, 12-13 gain, 14-15 black level, 16-17 sigma: IEEE floats, low word first
//   18-19 white level, 32 bits, low word first
//   20-23 checksum: 64-bit hash of words 0-19, low word first
// The signature and the checksum together give random data a 2^-128 chance to
// pass, and Read also insists on usable noise parameters.
#include <array>
#include <cstring>

#include "noise/lattice.hpp"
#include "nivra/nivra.hpp"

namespace Brimlake::Nivra {
namespace {

constexpr std::size_t kHeaderPixels = 24;
constexpr std::array<uint16_t, 4> kSignature = {0x4E56, 0x5250, 0xE3A1, 0x5C07};
constexpr uint16_t kVersion = 1;
constexpr uint16_t kKindMonochrome = 1;
constexpr uint16_t kKindColor = 2;

uint64_t Checksum(std::span<const uint16_t> words) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (uint16_t w : words) {
    h = (h ^ w) * 0x100000001B3ull;
  }
  h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
  h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
  return h ^ (h >> 31);
}

void Put32(uint16_t* at, uint32_t v) {
  at[0] = static_cast<uint16_t>(v);
  at[1] = static_cast<uint16_t>(v >> 16);
}
void Put64(uint16_t* at, uint64_t v) {
  Put32(at, static_cast<uint32_t>(v));
  Put32(at + 2, static_cast<uint32_t>(v >> 32));
}
void PutFloat(uint16_t* at, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  Put32(at, bits);
}
uint32_t Get32(const uint16_t* at) { return at[0] | static_cast<uint32_t>(at[1]) << 16; }
uint64_t Get64(const uint16_t* at) { return Get32(at) | static_cast<uint64_t>(Get32(at + 2)) << 32; }
float GetFloat(const uint16_t* at) {
  uint32_t bits = Get32(at);
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

bool IsBayer(uint16_t cfa) { return cfa >= 4 && cfa <= 7; }

void Write(std::span<uint16_t> pixels, uint16_t kind, uint16_t cfa, uint64_t seed, float error_bound,
           const std::shared_ptr<QuantizerParameters>& parameters) {
  if (pixels.size() < kHeaderPixels) throw NivraError(BM_TOO_FEW_PIXELS);
  if (!parameters) throw NivraError(BM_PARAMETERS_NOT_USABLE);
  if (const char* why = noise::Lattice::Unusable(*parameters, error_bound)) {
    throw NivraError(BM_PARAMETERS_NOT_USABLE, why);
  }
  const auto& p = static_cast<const ExtendedAnscombeParameters&>(*parameters);
  std::array<uint16_t, kHeaderPixels> words{};
  std::copy(kSignature.begin(), kSignature.end(), words.begin());
  words[4] = static_cast<uint16_t>(kVersion << 8 | kind);
  words[5] = cfa;
  Put64(&words[6], seed);
  PutFloat(&words[10], error_bound);
  PutFloat(&words[12], p.gain());
  PutFloat(&words[14], p.black_level());
  PutFloat(&words[16], p.sigma());
  Put32(&words[18], p.white_level());
  Put64(&words[20], Checksum(std::span(words).first(20)));
  std::copy(words.begin(), words.end(), pixels.begin());
}

}  // namespace

EmbeddedHeader::EmbeddedHeader(uint64_t seed, float error_bound, std::shared_ptr<QuantizerParameters> parameters)
    : seed_(seed), error_bound_(error_bound), parameters_(std::move(parameters)) {}

EmbeddedHeader::~EmbeddedHeader() = default;

std::unique_ptr<EmbeddedHeader> EmbeddedHeader::Read(std::span<const uint16_t> pixels) {
  if (pixels.size() < kHeaderPixels) return nullptr;
  if (!std::equal(kSignature.begin(), kSignature.end(), pixels.begin())) return nullptr;
  if (Get64(&pixels[20]) != Checksum(pixels.first(20))) return nullptr;
  uint16_t version = pixels[4] >> 8, kind = pixels[4] & 0xFF, cfa = pixels[5];
  if (version != kVersion) return nullptr;
  if (!(kind == kKindMonochrome && cfa == 0) && !(kind == kKindColor && (cfa == 0 || IsBayer(cfa)))) {
    return nullptr;
  }
  auto parameters = std::make_shared<ExtendedAnscombeParameters>(
      GetFloat(&pixels[12]), GetFloat(&pixels[14]), GetFloat(&pixels[16]), Get32(&pixels[18]));
  float error_bound = GetFloat(&pixels[10]);
  if (noise::Lattice::Unusable(*parameters, error_bound) != nullptr) return nullptr;
  uint64_t seed = Get64(&pixels[6]);
  if (kind == kKindColor) {
    return std::make_unique<ColorHeader>(seed, error_bound, static_cast<ColorFilterArray>(cfa),
                                         std::move(parameters));
  }
  return std::make_unique<MonochromeHeader>(seed, error_bound, std::move(parameters));
}

ColorHeader::ColorHeader(uint64_t seed, float error_bound, ColorFilterArray cfa,
                         std::shared_ptr<QuantizerParameters> parameters)
    : EmbeddedHeader(seed, error_bound, std::move(parameters)), cfa_(cfa) {}

std::size_t ColorHeader::PixelCount() const { return kHeaderPixels; }

void ColorHeader::Embed(std::span<uint16_t> pixels) const {
  auto cfa = static_cast<uint16_t>(cfa_);
  if (cfa != 0 && !IsBayer(cfa)) throw NivraError(BM_NO_SUCH_CFA);
  Write(pixels, kKindColor, cfa, seed(), error_bound(), parameters());
}

MonochromeHeader::MonochromeHeader(uint64_t seed, float error_bound, std::shared_ptr<QuantizerParameters> parameters)
    : EmbeddedHeader(seed, error_bound, std::move(parameters)) {}

std::size_t MonochromeHeader::PixelCount() const { return kHeaderPixels; }

void MonochromeHeader::Embed(std::span<uint16_t> pixels) const {
  Write(pixels, kKindMonochrome, 0, seed(), error_bound(), parameters());
}

}  // namespace Brimlake::Nivra
