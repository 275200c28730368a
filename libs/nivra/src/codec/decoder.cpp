// Decoder: mirrors the encoder's prediction row by row, band by band. Every
// length and index read from the stream is checked, so malformed input ends in
// status 7; version 2 bands are checked against their checksums.
#include <span>

#include "codec/bands.hpp"
#include "codec/contexts.hpp"
#include "codec/format.hpp"
#include "codec/kernels.hpp"
#include "codec/prediction.hpp"
#include "codec/rans.hpp"
#include "codec/row_contexts.hpp"
#include "codec/value_map.hpp"
#include "noise/dither.hpp"
#include "noise/lattice.hpp"
#include "noise/lattice_kernels.hpp"
#include "nivra/nivra.hpp"

namespace Brimlake::Nivra::codec {
namespace {

constexpr std::size_t kMaxHeaderPixels = 1024;

// Small enough to copy into locals for each row, which lets the compiler keep
// the coder states in registers.
struct Streams {
  const DecodeTables* tables;
  RansDecoder rans;
  BitReader bits;
  bool bad = false;

  // Token of the next sample in this context; an absent context gives
  // kAbsentToken, which the caller must refuse. Unchecked: see Unchecked().
  template <bool kChecked = true>
  uint32_t Token(uint32_t context) {
    return rans.Get<kChecked>(*tables, context);
  }
  // Whether `samples` more symbols surely stay inside the rANS part: one word at most per symbol.
  bool Unchecked(std::size_t samples) const { return rans.remaining() >= 2 * samples; }
  bool ok() const { return !bad && !rans.bad() && !bits.overrun(); }
};

// What every band shares: the stream's start, decoded once.
struct Stream {
  uint8_t version = 0;
  uint8_t mode = 0;
  int distance = 1, predictor = 0;
  uint32_t width = 0, height = 0;
  std::vector<uint16_t> values;  // the value map, when used
  std::size_t header_pixels = 0;
  std::unique_ptr<EmbeddedHeader> header;
  std::shared_ptr<const noise::Lattice> lattice;
  std::unique_ptr<DecodeTables> tables;
  std::vector<BandEntry> bands;
};

// Up to and including the tables; false when malformed.
bool ReadStart(ByteReader& in, uint16_t* destination, std::size_t pixel_count, Stream& s) {
  if (in.Byte() != kMagic0 || in.Byte() != kMagic1) return false;
  s.version = in.Byte();
  s.mode = in.Byte();
  uint8_t layout = in.Byte();
  s.distance = layout & 3;
  s.predictor = (layout >> 2) & 7;
  bool value_map = (layout & kValueMapFlag) != 0;
  // Version 1 leaves bits 6-7 zero; version 2 names its rANS states there.
  unsigned states_code = layout >> kRansStatesShift;
  uint64_t width = in.Varint(32), height = in.Varint(32);
  if (!in.ok() || (s.version != kVersion1 && s.version != kVersion) ||
      (s.mode != kModeLossless && s.mode != kModePrepared) || s.distance < 1 || s.distance > 2 ||
      states_code != kRansStatesCode || s.predictor >= kPredictors ||
      (value_map && s.mode != kModeLossless) || width == 0 || height == 0 || width * height != pixel_count) {
    return false;
  }
  s.width = static_cast<uint32_t>(width);
  s.height = static_cast<uint32_t>(height);
  if (value_map && !ValueMap::Read(in, s.values)) return false;
  if (s.mode == kModePrepared) {
    s.header_pixels = in.Varint(16);
    if (!in.ok() || s.header_pixels > kMaxHeaderPixels || s.header_pixels > pixel_count ||
        in.remaining() < s.header_pixels * 2) {
      return false;
    }
    for (std::size_t i = 0; i < s.header_pixels; ++i) destination[i] = static_cast<uint16_t>(in.Fixed(2));
    s.header = EmbeddedHeader::Read(std::span<const uint16_t>(destination, s.header_pixels));
    if (!s.header || s.header->PixelCount() != s.header_pixels) return false;
    s.lattice = noise::Lattice::For(*s.header->parameters(), s.header->error_bound());
    if (!s.lattice) return false;
  }
  s.tables = std::make_unique<DecodeTables>();
  return ReadTables(in, *s.tables);
}

// Version 1: one band of every row, its rANS part sized, its extra bits to the end.
bool ReadSingleBand(ByteReader& in, Stream& s) {
  uint64_t rans_size = in.Varint(32);
  if (!in.ok() || rans_size > in.remaining()) return false;
  BandEntry entry;
  entry.band = {0, s.height};
  entry.rans = in.here();
  entry.rans_size = rans_size;
  in.Skip(rans_size);
  entry.bits = in.here();
  entry.bits_size = in.remaining();
  s.bands = {entry};
  return true;
}

// The coder of one band, or an unusable one when its rANS part is too short.
Streams BandStreams(const Stream& s, const BandEntry& entry) {
  return {s.tables.get(), RansDecoder(entry.rans, entry.rans_size), BitReader(entry.bits, entry.bits_size)};
}

// Both coders ended where the encoder began; version 2 sizes its extra bits exactly.
bool BandFinished(const Stream& s, const Streams& streams, const BandEntry& entry) {
  return streams.ok() && streams.rans.Finished() &&
         (s.version == kVersion1 || streams.bits.BytesUsed() == entry.bits_size);
}

// The tokens of `count` samples whose contexts are known: the rANS chain alone,
// with nothing else competing for registers.
template <bool kChecked>
[[gnu::always_inline]] inline void DecodeTokens(Streams& streams, const uint8_t* contexts, std::size_t count,
                                                uint8_t* tokens) {
  RansDecoder rans = streams.rans;
  const DecodeTables& tables = *streams.tables;
  for (std::size_t i = 0; i < count; ++i) tokens[i] = static_cast<uint8_t>(rans.Get<kChecked>(tables, contexts[i]));
  streams.rans = rans;
}

// Row y of a lossless band from its tokens: extra bits, prediction, values.
// Returns non-zero when a token cannot occur in lossless mode (escape, absent context).
template <int D, int P>
[[gnu::always_inline]] inline uint32_t LosslessRow(BitReader& stream_bits, const uint8_t* tokens, uint16_t* plane,
                                                   std::size_t width, std::size_t y) {
  BitReader bits = stream_bits;
  uint32_t bad_token = 0;
  const uint8_t* token_of = tokens - y * width;
  PredictRows<D, P>(plane, width, y, y + 1, [&](std::size_t i, int32_t pred, uint32_t) __attribute__((always_inline)) {
    uint32_t token = token_of[i];
    bad_token |= token >= kEscapeToken;
    unsigned extra = kTokenBase.extra_bits[token];
    uint32_t value = kTokenBase.base[token] + bits.Get(extra);
    auto sample = static_cast<uint16_t>(pred + UnZigZag(value));
    plane[i] = sample;
    return int32_t{sample};
  });
  stream_bits = bits;
  return bad_token;
}

// Lossless samples of one band into its rows of `out`; ranks back to values.
[[gnu::always_inline]] inline bool DecodeLosslessBandWith(const Stream& s, const BandEntry& entry, uint16_t* out) {
  Streams streams = BandStreams(s, entry);
  if (streams.rans.bad()) return false;
  const std::size_t width = s.width, count = width * entry.band.rows;
  bool ok = true;
  std::unique_ptr<uint8_t[]> contexts(new uint8_t[width]), tokens(new uint8_t[width]);
  WithLayout(s.distance, s.predictor, [&](auto d, auto p) __attribute__((always_inline)) {
    constexpr int D = decltype(d)::value, P = decltype(p)::value;
    for (std::size_t y = 0; y < entry.band.rows && ok; ++y) {
      LosslessRowContexts<D>(out, width, y, contexts.get());
      if (streams.Unchecked(width)) {
        DecodeTokens<false>(streams, contexts.get(), width, tokens.get());
      } else {
        DecodeTokens<true>(streams, contexts.get(), width, tokens.get());
      }
      streams.bad |= LosslessRow<D, P>(streams.bits, tokens.get(), out, width, y) != 0;
      ok = streams.ok();
    }
  });
  if (!ok || !BandFinished(s, streams, entry)) return false;
  if (!s.values.empty()) {
    // A rank outside the map is damage.
    const std::size_t n = s.values.size();
    uint16_t bad = 0;
    for (std::size_t i = 0; i < count; ++i) {
      uint16_t rank = out[i];
      bad |= static_cast<uint16_t>(rank >= n);
      out[i] = s.values[rank < n ? rank : 0];
    }
    if (bad) return false;
  }
  return true;
}

// Prepared samples of one band into its rows of `out`, whose first pixel has
// index `first` in the image (the dither follows the image index).
[[gnu::always_inline]] inline bool DecodePreparedBandWith(const Stream& s, const BandEntry& entry, std::size_t first,
                                                          uint16_t* out) {
  Streams streams = BandStreams(s, entry);
  if (streams.rans.bad()) return false;
  const std::size_t width = s.width, count = width * entry.band.rows;
  const noise::Lattice& lattice = *s.lattice;
  const uint64_t seed = s.header->seed();
  const PreparedContexts contexts(s.header->error_bound());
  // Header pixels (stored raw, already in place) that fall into this band.
  const std::size_t raw = s.header_pixels > first ? std::min(s.header_pixels - first, count) : 0;
  std::vector<int32_t> centres(count);
  for (std::size_t i = 0; i < raw; ++i) {
    uint32_t bits = noise::DitherBits(seed, first + i);
    centres[i] = lattice.SampleBin(out[i], noise::DitherValue(bits)) * 256 - noise::DitherFine(bits);
  }
  // Row by row: the dither of every pixel (independent, so they overlap), the
  // bins (a chain from sample to sample), then the values (independent again).
  std::unique_ptr<uint32_t[]> dither(new uint32_t[width]);
  std::unique_ptr<uint8_t[]> escaped(new uint8_t[width]);
  const int32_t max_bin = lattice.max_bin();
  const noise::LatticeKernels& kernels = noise::Kernels();
  bool ok = true;
  int32_t empty_bin = 0;
  WithLayout(s.distance, s.predictor, [&](auto d, auto p) __attribute__((always_inline)) {
    constexpr int D = decltype(d)::value, P = decltype(p)::value;
    auto decode_bins = [&](std::size_t y, auto checked) __attribute__((always_inline)) {
      constexpr bool kChecked = decltype(checked)::value;
      Streams row = streams;
      const std::size_t row_first = y * width;
      auto visit = [&](std::size_t i, int32_t pred, uint32_t activity) __attribute__((always_inline)) {
        if (i < raw) return centres[i];
        const uint32_t bits = dither[i - row_first];
        const int32_t fine = noise::DitherFine(bits);
        PreparedContexts::Choice c = contexts.Choose(pred, activity, fine);
        uint32_t token = row.Token<kChecked>(c.context);
        row.bad |= token == kAbsentToken;
        uint32_t payload = kTokenBase.base[token] + row.bits.Get(kTokenBase.extra_bits[token]);
        escaped[i - row_first] = token == kEscapeToken;
        if (token == kEscapeToken) {
          auto value = static_cast<uint16_t>(payload);
          out[i] = value;
          centres[i] = lattice.SampleBin(value, noise::DitherValue(bits)) * 256 - fine;
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
      };
      PredictRows<D, P>(centres.data(), width, y, y + 1, visit);
      streams = row;
    };
    for (std::size_t y = 0; y < entry.band.rows && ok; ++y) {
      const std::size_t row_first = y * width;
      kernels.dither_bits(seed, first + row_first, width, dither.get());
      if (streams.Unchecked(width)) {
        decode_bins(y, std::false_type{});
      } else {
        decode_bins(y, std::true_type{});
      }
      ok = streams.ok();
      const std::size_t x0 = row_first < raw ? std::min(raw - row_first, width) : 0;
      empty_bin |= !kernels.representatives(lattice, dither.get() + x0, centres.data() + row_first + x0,
                                            escaped.get() + x0, width - x0, out + row_first + x0);
    }
  });
  if (!ok || !BandFinished(s, streams, entry)) return false;
  return empty_bin == 0;
}

// Each band decoder compiled for any processor and for the wide kernels (kernels.hpp).
bool DecodeLosslessBandPortable(const Stream& s, const BandEntry& entry, uint16_t* out) {
  return DecodeLosslessBandWith(s, entry, out);
}
bool DecodePreparedBandPortable(const Stream& s, const BandEntry& entry, std::size_t first, uint16_t* out) {
  return DecodePreparedBandWith(s, entry, first, out);
}
#if NIVRA_HAS_WIDE_KERNELS
NIVRA_WIDE_KERNEL bool DecodeLosslessBandWide(const Stream& s, const BandEntry& entry, uint16_t* out) {
  return DecodeLosslessBandWith(s, entry, out);
}
NIVRA_WIDE_KERNEL bool DecodePreparedBandWide(const Stream& s, const BandEntry& entry, std::size_t first,
                                              uint16_t* out) {
  return DecodePreparedBandWith(s, entry, first, out);
}
#endif

bool DecodeLosslessBand(const Stream& s, const BandEntry& entry, uint16_t* out) {
#if NIVRA_HAS_WIDE_KERNELS
  if (UseWideKernels()) return DecodeLosslessBandWide(s, entry, out);
#endif
  return DecodeLosslessBandPortable(s, entry, out);
}
bool DecodePreparedBand(const Stream& s, const BandEntry& entry, std::size_t first, uint16_t* out) {
#if NIVRA_HAS_WIDE_KERNELS
  if (UseWideKernels()) return DecodePreparedBandWide(s, entry, first, out);
#endif
  return DecodePreparedBandPortable(s, entry, first, out);
}

}  // namespace

bm_status Decode(const uint8_t* source, std::size_t source_size, uint16_t* destination, std::size_t pixel_count,
                 const ParallelFor& parallel_for) {
  ByteReader in(source, source_size);
  Stream s;
  if (!ReadStart(in, destination, pixel_count, s)) return BM_INVALID_FILE_CONTENT;
  if (s.version == kVersion1) {
    if (!ReadSingleBand(in, s)) return BM_INVALID_FILE_CONTENT;
  } else if (!ReadBandDirectory(in, s.height, s.bands)) {
    return BM_INVALID_FILE_CONTENT;
  }
  std::vector<uint8_t> band_ok(s.bands.size(), 0);
  auto decode_band = [&](std::size_t b) {
    const BandEntry& entry = s.bands[b];
    const std::size_t first = std::size_t{entry.band.first_row} * s.width;
    uint16_t* out = destination + first;
    bool ok = s.mode == kModeLossless ? DecodeLosslessBand(s, entry, out) : DecodePreparedBand(s, entry, first, out);
    // README › Bit stream › Version 2 › Checksums.
    if (ok && s.version != kVersion1) ok = PixelChecksum(out, std::size_t{entry.band.rows} * s.width) == entry.checksum;
    band_ok[b] = ok;
  };
  if (s.bands.size() == 1) {
    decode_band(0);
  } else {
    parallel_for(s.bands.size(), decode_band);
  }
  for (uint8_t ok : band_ok) {
    if (!ok) return BM_INVALID_FILE_CONTENT;
  }
  return BM_OK;
}

}  // namespace Brimlake::Nivra::codec
