// Decoder: mirrors the encoder's prediction row by row. Every length and index
// read from the stream is checked, so malformed input ends in status 7.
#include <span>

#include "codec/contexts.hpp"
#include "codec/format.hpp"
#include "codec/prediction.hpp"
#include "codec/rans.hpp"
#include "codec/value_map.hpp"
#include "noise/dither.hpp"
#include "noise/lattice.hpp"
#include "nivra/nivra.hpp"

namespace Brimlake::Nivra::codec {
namespace {

constexpr std::size_t kMaxHeaderPixels = 1024;

// Small enough to copy into locals for each row, which lets the compiler keep
// the coder states in registers.
struct Streams {
  const DecodeTable* tables;
  RansDecoder rans;
  BitReader bits;
  bool bad = false;

  // Token of the next sample in this context; an absent context marks the stream bad.
  uint32_t Token(uint32_t context) {
    const DecodeTable& table = tables[context];
    bad |= !table.present;
    return rans.Get(table);
  }
  bool ok() const { return !bad && !rans.bad() && !bits.overrun(); }
};

}  // namespace

bm_status Decode(const uint8_t* source, std::size_t source_size, uint16_t* destination, std::size_t pixel_count) {
  ByteReader in(source, source_size);
  if (in.Byte() != kMagic0 || in.Byte() != kMagic1 || in.Byte() != kVersion) return BM_INVALID_FILE_CONTENT;
  uint8_t mode = in.Byte();
  uint8_t layout = in.Byte();
  int distance = layout & 3, predictor = (layout >> 2) & 7;
  bool value_map = (layout & kValueMapFlag) != 0;
  uint64_t width = in.Varint(32), height = in.Varint(32);
  if (!in.ok() || (mode != kModeLossless && mode != kModePrepared) || distance < 1 || distance > 2 ||
      (layout & ~(kValueMapFlag | 0x1F)) != 0 || predictor >= kPredictors || (value_map && mode != kModeLossless) || width == 0 || height == 0 || width * height != pixel_count) {
    return BM_INVALID_FILE_CONTENT;
  }

  std::vector<uint16_t> values;
  if (value_map && !ValueMap::Read(in, values)) return BM_INVALID_FILE_CONTENT;

  std::unique_ptr<EmbeddedHeader> header;
  std::size_t header_pixels = 0;
  if (mode == kModePrepared) {
    header_pixels = in.Varint(16);
    if (!in.ok() || header_pixels > kMaxHeaderPixels || header_pixels > pixel_count ||
        in.remaining() < header_pixels * 2) {
      return BM_INVALID_FILE_CONTENT;
    }
    for (std::size_t i = 0; i < header_pixels; ++i) destination[i] = static_cast<uint16_t>(in.Fixed(2));
    header = EmbeddedHeader::Read(std::span<const uint16_t>(destination, header_pixels));
    if (!header || header->PixelCount() != header_pixels) return BM_INVALID_FILE_CONTENT;
  }

  auto tables = std::make_unique<std::array<DecodeTable, kContexts>>();
  if (!ReadTables(in, *tables)) return BM_INVALID_FILE_CONTENT;
  uint64_t rans_size = in.Varint(32);
  if (!in.ok() || rans_size > in.remaining()) return BM_INVALID_FILE_CONTENT;
  const uint8_t* rans_data = in.here();
  in.Skip(rans_size);
  Streams streams{tables->data(), RansDecoder(rans_data, rans_size), BitReader(in.here(), in.remaining())};
  if (streams.rans.bad()) return BM_INVALID_FILE_CONTENT;

  if (mode == kModeLossless) {
    bool ok = true;
    WithLayout(distance, predictor, [&](auto d, auto p) {
      for (std::size_t y = 0; y < height && ok; ++y) {
        Streams row = streams;
        PredictRows<d(), p()>(destination, width, y, y + 1, [&](std::size_t i, int32_t pred, uint32_t activity) {
          uint32_t token = row.Token(LosslessContext(activity));
          row.bad |= token == kEscapeToken;
          uint32_t value = kTokenBase.base[token] + row.bits.Get(kTokenBase.extra_bits[token]);
          auto sample = static_cast<uint16_t>(pred + UnZigZag(value));
          destination[i] = sample;
          return int32_t{sample};
        });
        streams = row;
        ok = streams.ok();
      }
    });
    if (!ok || !streams.rans.Finished()) return BM_INVALID_FILE_CONTENT;
    if (value_map) {
      // Ranks back to values; a rank outside the map is damage.
      const std::size_t n = values.size();
      uint16_t bad = 0;
      for (std::size_t i = 0; i < pixel_count; ++i) {
        uint16_t rank = destination[i];
        bad |= static_cast<uint16_t>(rank >= n);
        destination[i] = values[rank < n ? rank : 0];
      }
      if (bad) return BM_INVALID_FILE_CONTENT;
    }
    return BM_OK;
  }

  auto lattice = noise::Lattice::For(*header->parameters(), header->error_bound());
  if (!lattice) return BM_INVALID_FILE_CONTENT;
  const uint64_t seed = header->seed();
  const PreparedContexts contexts(header->error_bound());
  std::vector<int32_t> centres(pixel_count);
  for (std::size_t i = 0; i < header_pixels; ++i) {
    uint32_t bits = noise::DitherBits(seed, i);
    centres[i] = lattice->SampleBin(destination[i], noise::DitherValue(bits)) * 256 - noise::DitherFine(bits);
  }
  // First the bins (a chain from sample to sample), then the values (independent
  // per pixel, so they overlap well).
  std::vector<uint8_t> escaped(pixel_count);
  const int32_t max_bin = lattice->max_bin();
  bool ok = true;
  WithLayout(distance, predictor, [&](auto d, auto p) {
    for (std::size_t y = 0; y < height && ok; ++y) {
      Streams row = streams;
      PredictRows<d(), p()>(centres.data(), width, y, y + 1, [&](std::size_t i, int32_t pred, uint32_t activity) {
        if (i < header_pixels) return centres[i];
        uint32_t bits = noise::DitherBits(seed, i);
        int32_t fine = noise::DitherFine(bits);
        PreparedContexts::Choice c = contexts.Choose(pred, activity, fine);
        uint32_t token = row.Token(c.context);
        uint32_t payload = kTokenBase.base[token] + row.bits.Get(kTokenBase.extra_bits[token]);
        if (token == kEscapeToken) {
          auto value = static_cast<uint16_t>(payload);
          destination[i] = value;
          escaped[i] = 1;
          centres[i] = lattice->SampleBin(value, noise::DitherValue(bits)) * 256 - fine;
          return centres[i];
        }
        int32_t r = UnZigZag(payload);
        int64_t k = int64_t{c.predicted_bin} + (c.mirrored ? -int64_t{r} : int64_t{r});
        if (k < 0 || k > max_bin) {
          row.bad = true;
          k = 0;
        }
        int32_t centre = static_cast<int32_t>(k) * 256 - fine;
        centres[i] = centre;
        return centre;
      });
      streams = row;
      ok = streams.ok();
    }
  });
  if (!ok || !streams.rans.Finished()) return BM_INVALID_FILE_CONTENT;
  int32_t empty_bin = 0;
  for (std::size_t i = header_pixels; i < pixel_count; ++i) {
    if (escaped[i]) continue;
    uint32_t bits = noise::DitherBits(seed, i);
    int32_t value = lattice->Representative((centres[i] + noise::DitherFine(bits)) >> 8, noise::DitherValue(bits));
    empty_bin |= value < 0;
    destination[i] = static_cast<uint16_t>(value);
  }
  return empty_bin ? BM_INVALID_FILE_CONTENT : BM_OK;
}

}  // namespace Brimlake::Nivra::codec
