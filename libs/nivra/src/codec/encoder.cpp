// Encoder: chooses layout and predictor on a sample of rows, cuts the image
// into bands, turns every sample of a band into a context and a token, then codes
// each band's tokens with per-context rANS under tables shared by all bands.
// Bands are independent, so they are coded in parallel; nothing that decides a
// byte of the output depends on how the work was spread.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
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

// Symbol counts by context << kContextShift | token: the symbol is the index.
using FlatCounts = std::array<uint32_t, kContexts << kContextShift>;

// Where tokens go while coding rows: copied into a local for each row so that
// its pointers and bit buffer stay in registers.
struct TokenWriter {
  uint16_t* symbol;  // context << kContextShift | token, in coding order
  BitWriter bits;
  FlatCounts* counts;

  [[gnu::always_inline]] void Put(uint32_t context, uint32_t value) {
    Token t = Tokenize(value);
    const uint32_t s = context << kContextShift | t.token;
    *symbol++ = static_cast<uint16_t>(s);
    ++(*counts)[s];
    bits.Put(t.extra, t.extra_bits);
  }
  [[gnu::always_inline]] void Escape(uint32_t context, uint16_t value) {
    const uint32_t s = context << kContextShift | kEscapeToken;
    *symbol++ = static_cast<uint16_t>(s);
    ++(*counts)[s];
    bits.Put(value, 16);
  }
};

struct TokenSink {
  // Every sample gives at most 25 extra bits (an escape 16).
  explicit TokenSink(std::size_t count)
      : symbols(new uint16_t[count]),
        bits(new uint8_t[count * 25 / 8 + 16]),
        writer{symbols.get(), BitWriter(bits.get()), &counts} {}
  std::unique_ptr<uint16_t[]> symbols;
  std::unique_ptr<uint8_t[]> bits;
  FlatCounts counts{};
  TokenWriter writer;

  TokenWriter Local() const { return writer; }
  void Commit(const TokenWriter& local) { writer = local; }
  std::size_t size() const { return static_cast<std::size_t>(writer.symbol - symbols.get()); }
};

// Estimated coded size in bits of a candidate layout, from token statistics.
struct CostSink {
  CostSink& Local() { return *this; }
  void Commit(const CostSink&) {}
  FlatCounts counts{};
  uint64_t extra_bits = 0;

  [[gnu::always_inline]] void Put(uint32_t context, uint32_t value) {
    Token t = Tokenize(value);
    ++counts[context << kContextShift | t.token];
    extra_bits += t.extra_bits;
  }
  [[gnu::always_inline]] void Escape(uint32_t context, uint16_t) {
    ++counts[context << kContextShift | kEscapeToken];
    extra_bits += 16;
  }
  // Estimated bits per coded sample: sum of c·log2(total/c) over the histograms.
  double BitsPerSample() const {
    double bits = static_cast<double>(extra_bits);
    uint64_t samples = 0;
    for (unsigned context = 0; context < kContexts; ++context) {
      uint64_t total = 0;
      double sum_c_log_c = 0;
      for (unsigned token = 0; token < kAlphabet; ++token) {
        const uint32_t c = counts[context << kContextShift | token];
        if (c == 0) continue;
        total += c;
        sum_c_log_c += c * FastLog2(static_cast<float>(c));
      }
      if (total != 0) bits += static_cast<double>(total) * FastLog2(static_cast<float>(total)) - sum_c_log_c;
      samples += total;
    }
    return samples == 0 ? 0.0 : bits / static_cast<double>(samples);
  }

 private:
  // Good to about 0.01 bit, which is all a size estimate needs.
  static float FastLog2(float x) {
    uint32_t bits = std::bit_cast<uint32_t>(x);
    float exponent = static_cast<float>(static_cast<int32_t>(bits >> 23) - 127);
    float m = std::bit_cast<float>((bits & 0x007FFFFFu) | 0x3F800000u);  // mantissa in [1, 2)
    return exponent + (-0.34484843f * m + 2.02466578f) * m - 0.67487759f;
  }
};

// Runs count tasks, inline when there is only one.
void RunTasks(const ParallelFor& parallel_for, std::size_t count, const std::function<void(std::size_t)>& task) {
  if (count == 1) {
    task(0);
  } else if (count > 1) {
    parallel_for(count, task);
  }
}

// Pixel values (or their ranks in the value map), coded modulo 2^16.
struct LosslessSource {
  // The planar prediction never won on real or synthetic images; trying it cost time.
  static constexpr std::array kPredictorsTried = {kMed, kAverage2, kAverage4, kAbove4};
  static constexpr int kSmallPlanePredictor = kMed;  // follows edges, never far from the best
  const uint16_t* samples;
  const uint16_t* plane() const { return samples; }
  // The same source seen from a band's first sample on.
  LosslessSource Band(std::size_t first) const { return {samples + first}; }
  // Contexts come a row at a time (row_contexts.hpp), not from the activity.
  static constexpr bool kRowContexts = true;
  template <class Sink>
  [[gnu::always_inline]] void Code(Sink& sink, std::size_t i, int32_t pred, uint32_t context) const {
    sink.Put(context, ZigZag(static_cast<int16_t>(samples[i] - pred)));
  }
};

// Per pixel of a prepared image: the prediction sample (256·bin − fine dither),
// the fine dither, and whether the value is escaped (kept as 16 raw bits).
struct PreparedPlanes {
  explicit PreparedPlanes(std::size_t count) : centres(count), dither(count), escape(count) {}
  std::vector<int32_t> centres;
  std::vector<int8_t> dither;
  std::vector<uint8_t> escape;
};

struct PreparedSource {
  // Noise dominates the bins: the averages of two neighbours and the planar
  // prediction never beat the average of four and the edge detector there.
  static constexpr std::array kPredictorsTried = {kMed, kAverage4, kAbove4};
  static constexpr int kSmallPlanePredictor = kAverage4;  // averages the noise of four neighbours
  static constexpr bool kRowContexts = false;  // the context depends on the prediction
  const uint16_t* pixels;
  const int32_t* centres;
  const int8_t* dither;
  const uint8_t* escape;
  std::size_t header_pixels;  // leading samples stored raw ahead of the tables
  PreparedContexts contexts;

  const int32_t* plane() const { return centres; }
  PreparedSource Band(std::size_t first) const {
    PreparedSource band = *this;
    band.pixels += first;
    band.centres += first;
    band.dither += first;
    band.escape += first;
    band.header_pixels = header_pixels > first ? header_pixels - first : 0;
    return band;
  }
  template <class Sink>
  [[gnu::always_inline]] void Code(Sink& sink, std::size_t i, int32_t pred, uint32_t activity) const {
    if (i < header_pixels) return;
    PreparedContexts::Choice c = contexts.Choose(pred, activity, dither[i]);
    if (escape[i]) {
      sink.Escape(c.context, pixels[i]);
      return;
    }
    int32_t bin = (centres[i] + dither[i]) >> 8;
    int32_t r = bin - c.predicted_bin;
    sink.Put(c.context, ZigZag(c.mirrored ? -r : r));
  }
};

template <class Source, class Sink>
[[gnu::always_inline]] inline void CodeRowsWith(const Source& source, int distance, int predictor, std::size_t width,
                                                std::size_t y_begin, std::size_t y_end, Sink& sink) {
  WithLayout(distance, predictor, [&](auto d, auto p) __attribute__((always_inline)) {
    constexpr int D = decltype(d)::value, P = decltype(p)::value;
    const auto* plane = source.plane();
    std::unique_ptr<uint8_t[]> contexts(Source::kRowContexts ? new uint8_t[width] : nullptr);
    for (std::size_t y = y_begin; y < y_end; ++y) {
      auto&& local = sink.Local();
      if constexpr (Source::kRowContexts) {
        LosslessRowContexts<D>(plane, width, y, contexts.get());
        const uint8_t* context = contexts.get() - y * width;
        auto visit = [&](std::size_t i, int32_t pred, uint32_t) __attribute__((always_inline)) {
          source.Code(local, i, pred, context[i]);
          return int32_t(plane[i]);
        };
        PredictRows<D, P>(plane, width, y, y + 1, visit);
      } else {
        auto visit = [&](std::size_t i, int32_t pred, uint32_t activity) __attribute__((always_inline)) {
          source.Code(local, i, pred, activity);
          return int32_t(plane[i]);
        };
        PredictRows<D, P>(plane, width, y, y + 1, visit);
      }
      sink.Commit(local);
    }
  });
}

// CodeRowsWith compiled for any processor and for the wide kernels (kernels.hpp).
template <class Source, class Sink>
void CodeRowsPortable(const Source& source, int distance, int predictor, std::size_t width, std::size_t y_begin,
                      std::size_t y_end, Sink& sink) {
  CodeRowsWith(source, distance, predictor, width, y_begin, y_end, sink);
}
#if NIVRA_HAS_WIDE_KERNELS
template <class Source, class Sink>
NIVRA_WIDE_KERNEL void CodeRowsWide(const Source& source, int distance, int predictor, std::size_t width,
                                    std::size_t y_begin, std::size_t y_end, Sink& sink) {
  CodeRowsWith(source, distance, predictor, width, y_begin, y_end, sink);
}
#endif

template <class Source, class Sink>
void CodeRows(const Source& source, int distance, int predictor, std::size_t width, std::size_t y_begin,
              std::size_t y_end, Sink& sink) {
#if NIVRA_HAS_WIDE_KERNELS
  if (UseWideKernels()) return CodeRowsWide(source, distance, predictor, width, y_begin, y_end, sink);
#endif
  CodeRowsPortable(source, distance, predictor, width, y_begin, y_end, sink);
}

struct Layout {
  int distance = 1;
  int predictor = kMed;
  double bits = INFINITY;  // estimated bits per sample
};

// Estimated bits per sample of one layout, on groups of rows spread over the
// image: about an eighth of it, at least 1024 and at most 16384 samples.
template <class Source>
double SampleCost(const Source& source, int distance, int predictor, std::size_t width, std::size_t height) {
  constexpr std::size_t kGroupRows = 4;
  const std::size_t count = width * height;
  const std::size_t sample = std::clamp<std::size_t>(count / 8, 1024, 16384);
  const std::size_t groups = (sample + width * kGroupRows - 1) / (width * kGroupRows);
  CostSink sink;
  if (count <= 2 * sample || height < 2 * (groups + 1) * kGroupRows) {
    CodeRows(source, distance, predictor, width, 0, height, sink);
  } else {
    for (std::size_t g = 0; g < groups; ++g) {
      std::size_t y = 4 + (height - 4 - kGroupRows) * g / (groups > 1 ? groups - 1 : 1);
      y &= ~std::size_t{1};  // keep the mosaic phase of every group alike
      CodeRows(source, distance, predictor, width, y, y + kGroupRows, sink);
    }
  }
  return sink.BitsPerSample();
}

// Tries every layout the source allows and takes the smallest. The trials are
// independent; the choice is made afterwards, in a fixed order.
template <class Source>
Layout ChooseLayout(const Source& source, std::size_t width, std::size_t height, bool mosaic_only,
                    const ParallelFor& parallel_for) {
  std::vector<Layout> trials;
  // A small plane costs more in trials than a better predictor could save: it
  // tries one predictor, the one that is never far from the best for the source.
  constexpr std::size_t kSmallPlanePixels = 4096;
  const bool small = width * height < kSmallPlanePixels;
  for (int distance = mosaic_only ? 2 : 1; distance <= 2; ++distance) {
    for (int predictor : Source::kPredictorsTried) {
      if (!small || predictor == Source::kSmallPlanePredictor) trials.push_back({distance, predictor});
    }
  }
  // Below this size a trial costs less than handing it to another thread.
  constexpr std::size_t kParallelTrialPixels = 65536;
  auto trial = [&](std::size_t t) {
    trials[t].bits = SampleCost(source, trials[t].distance, trials[t].predictor, width, height);
  };
  if (width * height < kParallelTrialPixels) {
    for (std::size_t t = 0; t < trials.size(); ++t) trial(t);
  } else {
    parallel_for(trials.size(), trial);
  }
  Layout best, above;
  for (const Layout& t : trials) {
    if (t.bits < best.bits) best = t;
    if (t.predictor == kAbove4 && t.bits < above.bits) above = t;
  }
  // Prediction from the rows above alone decodes about twice as fast: worth 1% in size.
  return best.predictor == kAbove4 || above.bits > best.bits * 1.01 ? best : above;
}

// Version 3's rANS states per band: as many as keep the final states (4 bytes each) a small
// part of a band, at least 4096 pixels per state; version 2 has two.
unsigned RansStates(uint8_t version, uint32_t width, const std::vector<Band>& bands) {
  if (version < kVersion3) return 2;
  std::size_t smallest = SIZE_MAX;
  for (const Band& band : bands) smallest = std::min<std::size_t>(smallest, std::size_t{band.rows} * width);
  unsigned states = 2;
  while (states < kRansStatesMax && std::size_t{states} * 2 * kPixelsPerRansState <= smallest) states *= 2;
  return states;
}

void WriteStart(std::vector<uint8_t>& out, uint8_t version, uint8_t mode, const Layout& layout, bool value_map,
                unsigned states, uint32_t width, uint32_t height) {
  const unsigned states_code = static_cast<unsigned>(std::countr_zero(states)) - 1;
  out = {kMagic0, kMagic1, version, mode,
         static_cast<uint8_t>(layout.distance | layout.predictor << 2 | (value_map ? kValueMapFlag : 0) |
                              states_code << kRansStatesShift)};
  PutVarint(out, width);
  PutVarint(out, height);
}

// Codes every band of the source after the stream's start in `head` (README ›
// Bit stream › Version 2 › Bands): tokens and checksums per band, tables from all
// bands' counts, then each band's rANS part. `pixels` are the values the decoder
// must give back, which the checksums cover.
template <class Source>
bm_status CodeBands(std::vector<uint8_t>& head, const Source& source, const uint16_t* pixels, const Layout& layout,
                    uint32_t width, const std::vector<Band>& bands, uint8_t version, unsigned states,
                    uint8_t* destination, int32_t* destination_length, const ParallelFor& parallel_for) {
  std::vector<std::unique_ptr<TokenSink>> sinks(bands.size());
  std::vector<BandEntry> entries(bands.size());
  RunTasks(parallel_for, bands.size(), [&](std::size_t b) {
    const std::size_t first = std::size_t{bands[b].first_row} * width, count = std::size_t{bands[b].rows} * width;
    sinks[b] = std::make_unique<TokenSink>(count);
    CodeRows(source.Band(first), layout.distance, layout.predictor, width, 0, bands[b].rows, *sinks[b]);
    entries[b].band = bands[b];
    entries[b].checksum = PixelChecksum(pixels + first, count);
  });
  std::array<Histogram, kContexts> counts{};
  for (const auto& sink : sinks) {
    for (unsigned c = 0; c < kContexts; ++c) {
      for (unsigned s = 0; s < kAlphabet; ++s) counts[c][s] += sink->counts[c << kContextShift | s];
    }
  }
  std::array<SymbolTable, kContexts> tables;
  WriteTables(head, counts, tables);
  std::vector<std::vector<uint8_t>> coded(bands.size());
  RunTasks(parallel_for, bands.size(), [&](std::size_t b) {
    if (version < kVersion3) {
      RansEncode(tables, sinks[b]->symbols.get(), sinks[b]->size(), coded[b]);
    } else {
      // Samples without a symbol (header pixels) lead the band.
      const std::size_t skip = std::size_t{bands[b].rows} * width - sinks[b]->size();
      RansEncodeColumns(tables, sinks[b]->symbols.get(), sinks[b]->size(), width, skip, states, coded[b]);
    }
    sinks[b]->symbols.reset();
    entries[b].rans_size = coded[b].size();
    entries[b].bits_size = sinks[b]->writer.bits.Finish();
  });
  WriteBandDirectory(head, entries);
  std::size_t total = head.size();
  for (const BandEntry& entry : entries) total += entry.rans_size + entry.bits_size;
  if (total > static_cast<std::size_t>(*destination_length)) return BM_INCOMPATIBLE_IMAGE;
  uint8_t* out = destination;
  auto put = [&](const uint8_t* data, std::size_t size) {
    if (size != 0) std::memcpy(out, data, size);
    out += size;
  };
  put(head.data(), head.size());
  for (std::size_t b = 0; b < bands.size(); ++b) {
    put(coded[b].data(), coded[b].size());
    put(sinks[b]->bits.get(), entries[b].bits_size);
  }
  *destination_length = static_cast<int32_t>(total);
  return BM_OK;
}

bm_status EncodeLossless(const uint16_t* pixels, uint32_t width, uint32_t height, uint8_t* destination,
                         int32_t* destination_length, const ParallelFor& parallel_for, const EncodeOptions& options) {
  const std::size_t count = std::size_t{width} * height;
  const std::vector<Band> bands = PlanBands(width, height, options.bands);
  LosslessSource source{pixels};
  Layout layout = ChooseLayout(source, width, height, false, parallel_for);
  // Images that use few of the values in their range (scaled or shifted data)
  // code better as ranks in their sorted set of values.
  ValueMap map(pixels, count);
  std::vector<uint16_t> ranks;
  if (map.sparse()) {
    ranks.resize(count);
    RunTasks(parallel_for, bands.size(), [&](std::size_t b) {
      const std::size_t first = std::size_t{bands[b].first_row} * width;
      map.Ranks(pixels + first, std::size_t{bands[b].rows} * width, ranks.data() + first);
    });
    // Ranks keep the image's shape, so the layout chosen for the values serves them too.
    LosslessSource ranked{ranks.data()};
    double ranked_bits = SampleCost(ranked, layout.distance, layout.predictor, width, height);
    if (ranked_bits * static_cast<double>(count) + map.SizeBits() < layout.bits * static_cast<double>(count)) {
      source = ranked;
    } else {
      ranks.clear();
    }
  }
  std::vector<uint8_t> head;
  const unsigned states = RansStates(options.version, width, bands);
  WriteStart(head, options.version, kModeLossless, layout, !ranks.empty(), states, width, height);
  if (!ranks.empty()) map.Write(head);
  return CodeBands(head, source, pixels, layout, width, bands, options.version, states, destination,
                   destination_length, parallel_for);
}

// README › Bit stream › Version 2 › Samples, Choosing the mode: every value is
// coded as its bin where it is that bin's representative, else escaped; lossless
// mode when that codes smaller. No value is ever changed.
bm_status EncodePrepared(const uint16_t* pixels, uint32_t width, uint32_t height, const EmbeddedHeader& header,
                         const noise::Lattice& lattice, uint8_t* destination, int32_t* destination_length,
                         const ParallelFor& parallel_for, const EncodeOptions& options) {
  const std::size_t count = std::size_t{width} * height;
  const std::vector<Band> bands = PlanBands(width, height, options.bands);
  PreparedPlanes planes(count);
  const uint64_t seed = header.seed();
  const std::size_t first_coded = header.PixelCount();
  RunTasks(parallel_for, bands.size(), [&](std::size_t b) {
    const std::size_t begin = std::size_t{bands[b].first_row} * width;
    const std::size_t end = begin + std::size_t{bands[b].rows} * width;
    noise::BinPlanes(lattice, seed, begin, pixels + begin, end - begin, planes.centres.data() + begin,
                     planes.dither.data() + begin, planes.escape.data() + begin);
    for (std::size_t i = begin; i < std::min(end, first_coded); ++i) planes.escape[i] = 0;  // stored raw
  });
  PreparedSource source{pixels,
                        planes.centres.data(),
                        planes.dither.data(),
                        planes.escape.data(),
                        first_coded,
                        PreparedContexts(header.error_bound())};
  auto* color = dynamic_cast<const ColorHeader*>(&header);
  bool mosaic = color != nullptr && color->cfa() != ColorFilterArray::kMono;
  Layout layout = ChooseLayout(source, width, height, mosaic, parallel_for);
  // Edited or never prepared pixels are escaped at 16 bits each, and a lattice
  // finer than the integers wastes bits on empty bins: lossless may then be smaller.
  if (SampleCost(LosslessSource{pixels}, layout.distance, layout.predictor, width, height) < layout.bits) {
    return EncodeLossless(pixels, width, height, destination, destination_length, parallel_for, options);
  }
  std::vector<uint8_t> head;
  const unsigned states = RansStates(options.version, width, bands);
  WriteStart(head, options.version, kModePrepared, layout, false, states, width, height);
  PutVarint(head, first_coded);
  for (std::size_t i = 0; i < first_coded; ++i) {
    head.push_back(static_cast<uint8_t>(pixels[i]));
    head.push_back(static_cast<uint8_t>(pixels[i] >> 8));
  }
  return CodeBands(head, source, pixels, layout, width, bands, options.version, states, destination,
                   destination_length, parallel_for);
}

}  // namespace

bm_status Encode(const uint16_t* pixels, uint32_t width, uint32_t height, uint8_t* destination,
                 int32_t* destination_length, const ParallelFor& parallel_for, const EncodeOptions& options) {
  const std::size_t count = std::size_t{width} * height;
  std::unique_ptr<EmbeddedHeader> header = EmbeddedHeader::Read(std::span(pixels, count));
  // A header whose parameters define no lattice leaves nothing to code in bins.
  auto lattice = header ? noise::Lattice::For(*header->parameters(), header->error_bound()) : nullptr;
  if (!lattice) return EncodeLossless(pixels, width, height, destination, destination_length, parallel_for, options);
  return EncodePrepared(pixels, width, height, *header, *lattice, destination, destination_length, parallel_for,
                        options);
}

}  // namespace Brimlake::Nivra::codec
