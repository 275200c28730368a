// Decoder: mirrors the encoder's prediction row by row, band by band. Every
// length and index read from the stream is checked, so malformed input ends in
// status 7; version 2 bands are checked against their checksums.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Versions 1 and 2: two states taking turns symbol by symbol, whatever the column.
struct AlternatingCoder {
  AlternatingCoder(const uint8_t* data, std::size_t size) : rans(data, size) {}
  RansDecoder rans;

  template <bool kChecked>
  [[gnu::always_inline]] void Row(const DecodeTables& tables, const uint8_t* contexts, std::size_t width,
                                  uint8_t* tokens) {
    RansDecoder local = rans;
    for (std::size_t i = 0; i < width; ++i) tokens[i] = static_cast<uint8_t>(local.Get<kChecked>(tables, contexts[i]));
    rans = local;
  }
  template <bool kChecked>
  [[gnu::always_inline]] uint32_t Get(const DecodeTables& tables, uint32_t context, std::size_t /*column*/) {
    return rans.Get<kChecked>(tables, context);
  }
  bool bad() const { return rans.bad(); }
  std::size_t remaining() const { return rans.remaining(); }
  bool Finished() const { return rans.Finished(); }
};

// What every band shares: the stream's start, decoded once.
struct Stream {
  uint8_t version = 0;
  uint8_t mode = 0;
  int distance = 1, predictor = 0;
  uint32_t width = 0, height = 0;
  unsigned states = 2;            // rANS states per band
  std::vector<uint16_t> values;  // the value map, when used
  std::size_t header_pixels = 0;
  std::vector<uint16_t> header_values;  // the header pixels, stored raw
  std::unique_ptr<EmbeddedHeader> header;
  std::shared_ptr<const noise::Lattice> lattice;
  std::unique_ptr<DecodeTables> tables;
  std::vector<BandEntry> bands;
};

// Up to and including the tables; false when malformed.
bool ReadStart(ByteReader& in, std::size_t pixel_count, Stream& s) {
  if (in.Byte() != kMagic0 || in.Byte() != kMagic1) return false;
  s.version = in.Byte();
  s.mode = in.Byte();
  uint8_t layout = in.Byte();
  s.distance = layout & 3;
  s.predictor = (layout >> 2) & 7;
  bool value_map = (layout & kValueMapFlag) != 0;
  // Versions 1 and 2 leave bits 6-7 zero (two states); version 3 names its states there.
  unsigned states_code = layout >> kRansStatesShift;
  s.states = 2u << states_code;
  uint64_t width = in.Varint(32), height = in.Varint(32);
  if (!in.ok() || s.version < kVersion1 || s.version > kVersion3 ||
      (s.mode != kModeLossless && s.mode != kModePrepared) || s.distance < 1 || s.distance > 2 ||
      (s.version < kVersion3 && states_code != 0) || s.predictor >= kPredictors ||
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
    s.header_values.resize(s.header_pixels);
    for (uint16_t& value : s.header_values) value = static_cast<uint16_t>(in.Fixed(2));
    s.header = EmbeddedHeader::Read(std::span<const uint16_t>(s.header_values));
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

// Both coders ended where the encoder began; versions 2 and 3 size their extra bits exactly.
template <class Coder>
bool BandFinished(const Stream& s, const Coder& coder, const BitCursor& bits, const BandEntry& entry) {
  return !coder.bad() && coder.Finished() && !bits.overrun() &&
         (s.version == kVersion1 || bits.BytesUsed() == entry.bits_size);
}

// Residuals (zig-zagged) of a row from its tokens: each token's base plus its extra bits,
// whose positions follow from the tokens alone, so that no read waits for the one before.
// Returns non-zero when a token cannot occur in lossless mode (escape, absent context).
[[gnu::always_inline]] inline uint32_t RowResiduals(BitCursor& bits, const uint8_t* tokens, std::size_t width,
                                                    uint32_t* residuals) {
  uint32_t bad_token = 0;
  auto run = [&](auto checked) __attribute__((always_inline)) {
    constexpr bool kChecked = decltype(checked)::value;
    uint64_t at = bits.position();
    for (std::size_t x = 0; x < width; ++x) {
      const uint32_t token = tokens[x];
      bad_token |= token >= kEscapeToken;
      const unsigned extra = kTokenBase.extra_bits[token];
      residuals[x] = kTokenBase.base[token] +
                     static_cast<uint32_t>(bits.Peek<kChecked>(at) & ((uint64_t{1} << extra) - 1));
      at += extra;
    }
    bits.Advance(at - bits.position());
  };
  // At most 25 extra bits per lossless sample.
  if (bits.Unchecked(uint64_t{25} * width)) {
    run(std::false_type{});
  } else {
    run(std::true_type{});
  }
  return bad_token;
}

#if defined(__SSE2__)
// Prediction from the rows above plus residual for eight samples from x on (lossless
// predictor 4 inside a row, where all four neighbours exist): nothing waits for the west.
inline void Above4Eight(const uint16_t* up, const uint16_t* up2, const uint32_t* residuals, std::size_t d,
                        std::size_t x, uint16_t* row) {
  auto load16 = [](const uint16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  auto load32 = [](const uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi32(1), two = _mm_set1_epi32(2);
  const __m128i n = load16(up + x), nw = load16(up + x - d), ne = load16(up + x + d), nn = load16(up2 + x);
  auto half = [&](__m128i a, __m128i b, __m128i c, __m128i e, const uint32_t* r) {
    __m128i sum = _mm_add_epi32(_mm_add_epi32(a, b), _mm_add_epi32(_mm_add_epi32(c, e), two));
    __m128i z = load32(r);
    __m128i residual = _mm_xor_si128(_mm_srli_epi32(z, 1), _mm_sub_epi32(zero, _mm_and_si128(z, one)));
    // Modulo 2^16, then into the signed range for the pack.
    __m128i value = _mm_and_si128(_mm_add_epi32(_mm_srli_epi32(sum, 2), residual), _mm_set1_epi32(0xFFFF));
    return _mm_sub_epi32(value, _mm_set1_epi32(0x8000));
  };
  __m128i lo = half(_mm_unpacklo_epi16(n, zero), _mm_unpacklo_epi16(nw, zero), _mm_unpacklo_epi16(ne, zero),
                    _mm_unpacklo_epi16(nn, zero), residuals + x);
  __m128i hi = half(_mm_unpackhi_epi16(n, zero), _mm_unpackhi_epi16(nw, zero), _mm_unpackhi_epi16(ne, zero),
                    _mm_unpackhi_epi16(nn, zero), residuals + x + 4);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x),
                   _mm_add_epi16(_mm_packs_epi32(lo, hi), _mm_set1_epi16(static_cast<int16_t>(0x8000))));
}
#endif

// Row y of a lossless band from its residuals: prediction plus residual, modulo 2^16.
template <int D, int P>
[[gnu::always_inline]] inline void LosslessRow(const uint32_t* residuals, uint16_t* plane, std::size_t width,
                                               std::size_t y) {
#if defined(__SSE2__)
  // Prediction from the rows above alone: the inside of a row eight samples at a time.
  constexpr std::size_t d = D;
  if (P == kAbove4 && y >= d && width >= 2 * d + 8) {
    const uint16_t* up = plane + (y - d) * width;
    const uint16_t* up2 = y >= 2 * d ? up - d * width : up;
    uint16_t* row = plane + y * width;
    auto scalar = [&](std::size_t x, int32_t ne) {
      const int32_t pred = Predict<kAbove4>(0, up[x], up[x - d], ne, up2[x]);
      row[x] = static_cast<uint16_t>(pred + UnZigZag(residuals[x]));
    };
    for (std::size_t x = 0; x < d; ++x) row[x] = static_cast<uint16_t>(up[x] + UnZigZag(residuals[x]));
    std::size_t x = d;
    for (; x + 8 <= width - d; x += 8) Above4Eight(up, up2, residuals, d, x, row);
    for (; x < width - d; ++x) scalar(x, up[x + d]);
    for (; x < width; ++x) scalar(x, up[x]);  // NE is N at the right edge
    return;
  }
#endif
  const uint32_t* residual_of = residuals - y * width;
  PredictRows<D, P>(plane, width, y, y + 1, [&](std::size_t i, int32_t pred, uint32_t) __attribute__((always_inline)) {
    auto sample = static_cast<uint16_t>(pred + UnZigZag(residual_of[i]));
    plane[i] = sample;
    return int32_t{sample};
  });
}

// Lossless samples of one band into its rows of `out`, row by row: contexts (from the rows
// above), tokens, residuals, values; then ranks back to values.
template <class Coder>
[[gnu::always_inline]] inline bool DecodeLosslessBandWith(const Stream& s, const BandEntry& entry, uint16_t* out) {
  Coder coder(entry.rans, entry.rans_size);
  if (coder.bad()) return false;
  BitCursor bits(entry.bits, entry.bits_size);
  const std::size_t width = s.width, count = width * entry.band.rows;
  const DecodeTables& tables = *s.tables;
  bool ok = true;
  std::unique_ptr<uint8_t[]> contexts(new uint8_t[width]), tokens(new uint8_t[width]);
  std::unique_ptr<uint32_t[]> residuals(new uint32_t[width]);
  WithLayout(s.distance, s.predictor, [&](auto d, auto p) __attribute__((always_inline)) {
    constexpr int D = decltype(d)::value, P = decltype(p)::value;
    for (std::size_t y = 0; y < entry.band.rows && ok; ++y) {
      LosslessRowContexts<D>(out, width, y, contexts.get());
      // One word at most per symbol.
      if (coder.remaining() >= 2 * width) {
        coder.template Row<false>(tables, contexts.get(), width, tokens.get());
      } else {
        coder.template Row<true>(tables, contexts.get(), width, tokens.get());
      }
      const bool bad_token = RowResiduals(bits, tokens.get(), width, residuals.get()) != 0;
      LosslessRow<D, P>(residuals.get(), out, width, y);
      ok = !bad_token && !coder.bad() && !bits.overrun();
    }
  });
  if (!ok || !BandFinished(s, coder, bits, entry)) return false;
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

// The band decoder for the stream's coder: two alternating states, or N by column.
template <template <class> class Band, class... Args>
[[gnu::always_inline]] inline bool WithCoder(const Stream& s, Args&&... args) {
  if (s.version < kVersion3) return Band<AlternatingCoder>::Run(s, args...);
  switch (s.states) {
    case 2: return Band<RansColumns<2>>::Run(s, args...);
    case 4: return Band<RansColumns<4>>::Run(s, args...);
    case 8: return Band<RansColumns<8>>::Run(s, args...);
    default: return Band<RansColumns<16>>::Run(s, args...);
  }
}

template <class Coder>
struct LosslessBand {
  [[gnu::always_inline]] static bool Run(const Stream& s, const BandEntry& entry, uint16_t* out) {
    return DecodeLosslessBandWith<Coder>(s, entry, out);
  }
};

// Prepared samples of one band into its rows of `out`, whose first pixel has
// index `first` in the image (the dither follows the image index).
template <class Coder>
[[gnu::always_inline]] inline bool DecodePreparedBandWith(const Stream& s, const BandEntry& entry, std::size_t first,
                                                          uint16_t* out) {
  Coder coder(entry.rans, entry.rans_size);
  if (coder.bad()) return false;
  BitCursor stream_bits(entry.bits, entry.bits_size);
  const DecodeTables& tables = *s.tables;
  bool bad = false;
  const std::size_t width = s.width, count = width * entry.band.rows;
  const noise::Lattice& lattice = *s.lattice;
  const uint64_t seed = s.header->seed();
  const PreparedContexts contexts(s.header->error_bound());
  // Header pixels (stored raw) that fall into this band.
  const std::size_t raw = s.header_pixels > first ? std::min(s.header_pixels - first, count) : 0;
  std::copy_n(s.header_values.begin() + static_cast<std::ptrdiff_t>(std::min(first, s.header_pixels)), raw, out);
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
      Coder row = coder;
      BitCursor extra = stream_bits;
      bool row_bad = false;
      const std::size_t row_first = y * width;
      auto visit = [&](std::size_t i, int32_t pred, uint32_t activity) __attribute__((always_inline)) {
        if (i < raw) return centres[i];
        const uint32_t bits = dither[i - row_first];
        const int32_t fine = noise::DitherFine(bits);
        PreparedContexts::Choice c = contexts.Choose(pred, activity, fine);
        uint32_t token = row.template Get<kChecked>(tables, c.context, i - row_first);
        row_bad |= token == kAbsentToken;
        uint32_t payload = kTokenBase.base[token] + extra.Get(kTokenBase.extra_bits[token]);
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
          row_bad = true;
          k = 0;
        }
        int32_t centre = static_cast<int32_t>(k) * 256 - fine;
        centres[i] = centre;
        return centre;
      };
      PredictRows<D, P>(centres.data(), width, y, y + 1, visit);
      coder = row;
      stream_bits = extra;
      bad |= row_bad;
    };
    for (std::size_t y = 0; y < entry.band.rows && ok; ++y) {
      const std::size_t row_first = y * width;
      kernels.dither_bits(seed, first + row_first, width, dither.get());
      if (coder.remaining() >= 2 * width) {
        decode_bins(y, std::false_type{});
      } else {
        decode_bins(y, std::true_type{});
      }
      ok = !bad && !coder.bad() && !stream_bits.overrun();
      const std::size_t x0 = row_first < raw ? std::min(raw - row_first, width) : 0;
      empty_bin |= !kernels.representatives(lattice, dither.get() + x0, centres.data() + row_first + x0,
                                            escaped.get() + x0, width - x0, out + row_first + x0);
    }
  });
  if (!ok || !BandFinished(s, coder, stream_bits, entry)) return false;
  return empty_bin == 0;
}

template <class Coder>
struct PreparedBand {
  [[gnu::always_inline]] static bool Run(const Stream& s, const BandEntry& entry, std::size_t first, uint16_t* out) {
    return DecodePreparedBandWith<Coder>(s, entry, first, out);
  }
};

// Each band decoder compiled for any processor and for the wide kernels (kernels.hpp).
bool DecodeLosslessBandPortable(const Stream& s, const BandEntry& entry, uint16_t* out) {
  return WithCoder<LosslessBand>(s, entry, out);
}
bool DecodePreparedBandPortable(const Stream& s, const BandEntry& entry, std::size_t first, uint16_t* out) {
  return WithCoder<PreparedBand>(s, entry, first, out);
}
#if NIVRA_HAS_WIDE_KERNELS
NIVRA_WIDE_KERNEL bool DecodeLosslessBandWide(const Stream& s, const BandEntry& entry, uint16_t* out) {
  return WithCoder<LosslessBand>(s, entry, out);
}
NIVRA_WIDE_KERNEL bool DecodePreparedBandWide(const Stream& s, const BandEntry& entry, std::size_t first,
                                              uint16_t* out) {
  return WithCoder<PreparedBand>(s, entry, first, out);
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

// The stream's start and band directory; false when malformed.
bool ReadStream(const uint8_t* source, std::size_t source_size, std::size_t pixel_count, Stream& s) {
  ByteReader in(source, source_size);
  if (!ReadStart(in, pixel_count, s)) return false;
  return s.version == kVersion1 ? ReadSingleBand(in, s) : ReadBandDirectory(in, s.height, s.bands);
}

// Decodes band b into out, its rows' pixels, and checks its checksum (version 2 on).
bool DecodeBand(const Stream& s, std::size_t b, uint16_t* out) {
  const BandEntry& entry = s.bands[b];
  const std::size_t first = std::size_t{entry.band.first_row} * s.width;
  bool ok = s.mode == kModeLossless ? DecodeLosslessBand(s, entry, out) : DecodePreparedBand(s, entry, first, out);
  // README › Bit stream › Version 2 › Checksums.
  if (ok && s.version != kVersion1) ok = PixelChecksum(out, std::size_t{entry.band.rows} * s.width) == entry.checksum;
  return ok;
}

// Runs band(b) for every band, in parallel when there are several; true when all returned true.
template <class Band>
bool AllBands(const Stream& s, const ParallelFor& parallel_for, Band&& band) {
  std::vector<uint8_t> band_ok(s.bands.size(), 0);
  if (s.bands.size() == 1) {
    band_ok[0] = band(0);
  } else {
    parallel_for(s.bands.size(), [&](std::size_t b) { band_ok[b] = band(b); });
  }
  return std::all_of(band_ok.begin(), band_ok.end(), [](uint8_t ok) { return ok != 0; });
}

}  // namespace

bm_status Decode(const uint8_t* source, std::size_t source_size, uint16_t* destination, std::size_t pixel_count,
                 const ParallelFor& parallel_for) {
  Stream s;
  if (!ReadStream(source, source_size, pixel_count, s)) return BM_INVALID_FILE_CONTENT;
  const bool ok = AllBands(s, parallel_for, [&](std::size_t b) {
    return DecodeBand(s, b, destination + std::size_t{s.bands[b].band.first_row} * s.width);
  });
  return ok ? BM_OK : BM_INVALID_FILE_CONTENT;
}

bm_status Verify(const uint8_t* source, std::size_t source_size, const uint16_t* pixels, std::size_t pixel_count,
                 const ParallelFor& parallel_for, bool& same_pixels) {
  same_pixels = false;
  Stream s;
  if (!ReadStream(source, source_size, pixel_count, s)) return BM_INVALID_FILE_CONTENT;
  std::atomic<bool> differs{false};
  const bool ok = AllBands(s, parallel_for, [&](std::size_t b) {
    const std::size_t first = std::size_t{s.bands[b].band.first_row} * s.width;
    const std::size_t count = std::size_t{s.bands[b].band.rows} * s.width;
    std::unique_ptr<uint16_t[]> band(new uint16_t[count]);
    if (!DecodeBand(s, b, band.get())) return false;
    if (std::memcmp(band.get(), pixels + first, count * sizeof(uint16_t)) != 0) differs = true;
    return true;
  });
  if (!ok) return BM_INVALID_FILE_CONTENT;
  same_pixels = !differs;
  return BM_OK;
}

}  // namespace Brimlake::Nivra::codec
