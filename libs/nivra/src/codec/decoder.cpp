// Decoder: mirrors the encoder's prediction row by row. Every length and index
// read from the stream is checked, so malformed input ends in status 7.
#include <span>

#include "codec/format.hpp"
#include "codec/prediction.hpp"
#include "codec/rans.hpp"
#include "noise/dither.hpp"
#include "noise/lattice.hpp"
#include "nivra/nivra.hpp"

namespace Brimlake::Nivra::codec {
namespace {

constexpr std::size_t kMaxHeaderPixels = 1024;

struct Streams {
  std::array<DecodeTable, kContexts> tables;
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
  int distance = layout & 3, predictor = layout >> 2;
  uint64_t width = in.Varint(32), height = in.Varint(32);
  if (!in.ok() || (mode != kModeLossless && mode != kModePrepared) || distance < 1 || distance > 2 ||
      predictor >= kPredictors || width == 0 || height == 0 || width * height != pixel_count) {
    return BM_INVALID_FILE_CONTENT;
  }

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

  std::array<DecodeTable, kContexts> tables;
  if (!ReadTables(in, tables)) return BM_INVALID_FILE_CONTENT;
  uint64_t rans_size = in.Varint(32);
  if (!in.ok() || rans_size > in.remaining()) return BM_INVALID_FILE_CONTENT;
  const uint8_t* rans_data = in.here();
  in.Skip(rans_size);
  Streams streams{tables, RansDecoder(rans_data, rans_size), BitReader(in.here(), in.remaining())};
  if (streams.rans.bad()) return BM_INVALID_FILE_CONTENT;

  if (mode == kModeLossless) {
    bool ok = true;
    WithLayout(distance, predictor, [&](auto d, auto p) {
      for (std::size_t y = 0; y < height && ok; ++y) {
        PredictRows<d(), p()>(destination, width, y, y + 1, [&](std::size_t i, int32_t pred, uint32_t context) {
          uint32_t token = streams.Token(context);
          if (token == kEscapeToken) {
            streams.bad = true;
            token = 0;
          }
          uint32_t value = Detokenize(token, streams.bits.Get(ExtraBits(token)));
          destination[i] = static_cast<uint16_t>(pred + UnZigZag(value));
        });
        ok = streams.ok();
      }
    });
    return ok && streams.rans.Finished() ? BM_OK : BM_INVALID_FILE_CONTENT;
  }

  auto lattice = noise::Lattice::For(*header->parameters(), header->error_bound());
  if (!lattice) return BM_INVALID_FILE_CONTENT;
  const uint64_t seed = header->seed();
  std::vector<int32_t> bins(pixel_count);
  for (std::size_t i = 0; i < header_pixels; ++i) bins[i] = lattice->SampleBin(destination[i], noise::Dither(seed, i));
  bool ok = true;
  WithLayout(distance, predictor, [&](auto d, auto p) {
    for (std::size_t y = 0; y < height && ok; ++y) {
      PredictRows<d(), p()>(bins.data(), width, y, y + 1, [&](std::size_t i, int32_t pred, uint32_t context) {
        if (i < header_pixels) return;
        uint32_t token = streams.Token(context);
        double u = noise::Dither(seed, i);
        if (token == kEscapeToken) {
          auto value = static_cast<uint16_t>(streams.bits.Get(16));
          destination[i] = value;
          bins[i] = lattice->SampleBin(value, u);
          return;
        }
        int64_t k = pred + int64_t{UnZigZag(Detokenize(token, streams.bits.Get(ExtraBits(token))))};
        int32_t value = k >= 0 && k <= lattice->max_bin() ? lattice->Representative(static_cast<int32_t>(k), u) : -1;
        if (value < 0) {
          streams.bad = true;
          value = 0;
          k = 0;
        }
        destination[i] = static_cast<uint16_t>(value);
        bins[i] = static_cast<int32_t>(k);
      });
      ok = streams.ok();
    }
  });
  return ok && streams.rans.Finished() ? BM_OK : BM_INVALID_FILE_CONTENT;
}

}  // namespace Brimlake::Nivra::codec
