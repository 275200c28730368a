// Encoder: chooses layout and predictor on a sample of rows, turns every sample
// into a context and a token, then codes the tokens with per-context rANS.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
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

// Where tokens go while coding rows: copied into a local for each row so that
// its pointers and bit buffer stay in registers.
struct TokenWriter {
  uint16_t* symbol;  // context << 8 | token, in coding order
  BitWriter bits;
  std::array<Histogram, kContexts>* counts;

  void Put(uint32_t context, uint32_t value) {
    Token t = Tokenize(value);
    *symbol++ = static_cast<uint16_t>(context << 8 | t.token);
    ++(*counts)[context][t.token];
    bits.Put(t.extra, t.extra_bits);
  }
  void Escape(uint32_t context, uint16_t value) {
    *symbol++ = static_cast<uint16_t>(context << 8 | kEscapeToken);
    ++(*counts)[context][kEscapeToken];
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
  std::array<Histogram, kContexts> counts{};
  TokenWriter writer;

  TokenWriter Local() const { return writer; }
  void Commit(const TokenWriter& local) { writer = local; }
  std::size_t size() const { return static_cast<std::size_t>(writer.symbol - symbols.get()); }
};

// Estimated coded size in bits of a candidate layout, from token statistics.
struct CostSink {
  CostSink& Local() { return *this; }
  void Commit(const CostSink&) {}
  std::array<Histogram, kContexts> counts{};
  uint64_t extra_bits = 0;

  void Put(uint32_t context, uint32_t value) {
    Token t = Tokenize(value);
    ++counts[context][t.token];
    extra_bits += t.extra_bits;
  }
  void Escape(uint32_t context, uint16_t) {
    ++counts[context][kEscapeToken];
    extra_bits += 16;
  }
  // Estimated bits per coded sample: sum of c·log2(total/c) over the histograms.
  double BitsPerSample() const {
    double bits = static_cast<double>(extra_bits);
    uint64_t samples = 0;
    for (const Histogram& h : counts) {
      uint64_t total = 0;
      double sum_c_log_c = 0;
      for (uint32_t c : h) {
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

// Pixel values (or their ranks in the value map), coded modulo 2^16.
struct LosslessSource {
  // The planar prediction never won on real or synthetic images; trying it cost time.
  static constexpr std::array kPredictorsTried = {kMed, kAverage2, kAverage4, kAbove4};
  const uint16_t* samples;
  const uint16_t* plane() const { return samples; }
  template <class Sink>
  void Code(Sink& sink, std::size_t i, int32_t pred, uint32_t activity) const {
    sink.Put(LosslessContext(activity), ZigZag(static_cast<int16_t>(samples[i] - pred)));
  }
};

struct PreparedSource {
  // Noise dominates the bins: the averages of two neighbours and the planar
  // prediction never beat the average of four and the edge detector there.
  static constexpr std::array kPredictorsTried = {kMed, kAverage4, kAbove4};
  const uint16_t* pixels;
  std::vector<int32_t> centres;  // 256·bin − fine dither of every pixel
  std::vector<int8_t> dither;    // fine dither of every pixel
  std::vector<uint8_t> escape;   // 1: the value is kept as it is
  std::size_t header_pixels;
  PreparedContexts contexts;
  bool keep_off_lattice = false;  // the image was prepared: its off-lattice values are edits

  const int32_t* plane() const { return centres.data(); }
  template <class Sink>
  void Code(Sink& sink, std::size_t i, int32_t pred, uint32_t activity) const {
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
void CodeRows(const Source& source, int distance, int predictor, std::size_t width, std::size_t y_begin,
              std::size_t y_end, Sink& sink) {
  WithLayout(distance, predictor, [&](auto d, auto p) {
    for (std::size_t y = y_begin; y < y_end; ++y) {
      auto&& local = sink.Local();
      PredictRows<d(), p()>(source.plane(), width, y, y + 1,
                            [&](std::size_t i, int32_t pred, uint32_t activity) {
                              source.Code(local, i, pred, activity);
                              return int32_t(source.plane()[i]);
                            });
      sink.Commit(local);
    }
  });
}

struct Layout {
  int distance = 1;
  int predictor = kMed;
  double bits = INFINITY;  // estimated bits per sample
};

// Estimated bits per sample of one layout, on bands of rows spread over the
// image: about an eighth of it, at least 1024 and at most 16384 samples.
template <class Source>
double SampleCost(const Source& source, int distance, int predictor, std::size_t width, std::size_t height) {
  constexpr std::size_t kBandRows = 4;
  const std::size_t count = width * height;
  const std::size_t sample = std::clamp<std::size_t>(count / 8, 1024, 16384);
  const std::size_t bands = (sample + width * kBandRows - 1) / (width * kBandRows);
  CostSink sink;
  if (count <= 2 * sample || height < 2 * (bands + 1) * kBandRows) {
    CodeRows(source, distance, predictor, width, 0, height, sink);
  } else {
    for (std::size_t b = 0; b < bands; ++b) {
      std::size_t y = 4 + (height - 4 - kBandRows) * b / (bands > 1 ? bands - 1 : 1);
      y &= ~std::size_t{1};  // keep the mosaic phase of every band alike
      CodeRows(source, distance, predictor, width, y, y + kBandRows, sink);
    }
  }
  return sink.BitsPerSample();
}

// Tries every layout the source allows and takes the smallest.
template <class Source>
Layout ChooseLayout(const Source& source, std::size_t width, std::size_t height, bool mosaic_only) {
  Layout best, above;
  for (int distance = mosaic_only ? 2 : 1; distance <= 2; ++distance) {
    for (int predictor : Source::kPredictorsTried) {
      double bits = SampleCost(source, distance, predictor, width, height);
      if (bits < best.bits) best = {distance, predictor, bits};
      if (predictor == kAbove4 && bits < above.bits) above = {distance, predictor, bits};
    }
  }
  // Prediction from the rows above alone decodes about twice as fast: worth 1% in size.
  return best.predictor == kAbove4 || above.bits > best.bits * 1.01 ? best : above;
}

bm_status Finish(std::vector<uint8_t>& out, TokenSink& sink, uint8_t* destination, int32_t* destination_length) {
  std::array<SymbolTable, kContexts> tables;
  WriteTables(out, sink.counts, tables);
  std::vector<uint8_t> coded;
  RansEncode(tables, sink.symbols.get(), sink.size(), coded);
  PutVarint(out, coded.size());
  std::size_t bits = sink.writer.bits.Finish();
  std::size_t total = out.size() + coded.size() + bits;
  if (total > static_cast<std::size_t>(*destination_length)) return BM_INCOMPATIBLE_IMAGE;
  std::memcpy(destination, out.data(), out.size());
  std::memcpy(destination + out.size(), coded.data(), coded.size());
  if (bits != 0) std::memcpy(destination + out.size() + coded.size(), sink.bits.get(), bits);
  *destination_length = static_cast<int32_t>(total);
  return BM_OK;
}

void WriteStart(std::vector<uint8_t>& out, uint8_t mode, const Layout& layout, bool value_map, uint32_t width,
                uint32_t height) {
  out = {kMagic0, kMagic1, kVersion, mode,
         static_cast<uint8_t>(layout.distance | layout.predictor << 2 | (value_map ? kValueMapFlag : 0))};
  PutVarint(out, width);
  PutVarint(out, height);
}

bm_status EncodeLossless(const uint16_t* pixels, uint32_t width, uint32_t height, uint8_t* destination,
                         int32_t* destination_length) {
  const std::size_t count = std::size_t{width} * height;
  LosslessSource source{pixels};
  Layout layout = ChooseLayout(source, width, height, false);
  // Images that use few of the values in their range (scaled or shifted data)
  // code better as ranks in their sorted set of values.
  ValueMap map(pixels, count);
  std::vector<uint16_t> ranks;
  if (map.sparse()) {
    // Ranks keep the image's shape, so the layout chosen for the values serves them too.
    ranks = map.Ranks(pixels, count);
    LosslessSource ranked{ranks.data()};
    double ranked_bits = SampleCost(ranked, layout.distance, layout.predictor, width, height);
    if (ranked_bits * static_cast<double>(count) + map.SizeBits() < layout.bits * static_cast<double>(count)) {
      source = ranked;
    } else {
      ranks.clear();
    }
  }
  std::vector<uint8_t> out;
  WriteStart(out, kModeLossless, layout, !ranks.empty(), width, height);
  if (!ranks.empty()) map.Write(out);
  TokenSink sink(count);
  CodeRows(source, layout.distance, layout.predictor, width, 0, height, sink);
  return Finish(out, sink, destination, destination_length);
}

}  // namespace

bm_status Encode(const uint16_t* pixels, uint32_t width, uint32_t height, uint8_t* destination,
                 int32_t* destination_length) {
  const std::size_t count = std::size_t{width} * height;
  std::unique_ptr<EmbeddedHeader> header = EmbeddedHeader::Read(std::span(pixels, count));
  if (!header) return EncodeLossless(pixels, width, height, destination, destination_length);

  auto lattice = noise::Lattice::For(*header->parameters(), header->error_bound());
  if (!lattice) return BM_PARAMETERS_NOT_USABLE;
  PreparedSource source{pixels,
                        std::vector<int32_t>(count),
                        std::vector<int8_t>(count),
                        std::vector<uint8_t>(count),
                        header->PixelCount(),
                        PreparedContexts(header->error_bound())};
  const uint64_t seed = header->seed();
  const unsigned white = lattice->white();
  const std::size_t first = source.header_pixels;
  // Was the image prepared already? Judge on every eighth pixel: representatives
  // cost as much as the rest of the first pass.
  std::size_t eligible = 0, off_lattice = 0;
  for (std::size_t i = first; i < count; i += 8) {
    uint32_t bits = noise::DitherBits(seed, i);
    double u = noise::DitherValue(bits);
    uint16_t x = pixels[i];
    if (x > white) continue;
    ++eligible;
    off_lattice += lattice->Representative(lattice->Bin(x, u), u) != x;
  }
  source.keep_off_lattice = off_lattice * kEditedImageShare <= eligible;
  for (std::size_t i = 0; i < count; ++i) {
    uint32_t bits = noise::DitherBits(seed, i);
    double u = noise::DitherValue(bits);
    int32_t fine = noise::DitherFine(bits);
    uint16_t x = pixels[i];
    int32_t k = lattice->SampleBin(x, u);
    source.centres[i] = k * 256 - fine;
    source.dither[i] = static_cast<int8_t>(fine);
    // Kept as they are: values above white, and off-lattice values of a prepared image.
    source.escape[i] = i >= first && (x > white || (source.keep_off_lattice && lattice->Representative(k, u) != x));
  }

  auto* color = dynamic_cast<const ColorHeader*>(header.get());
  bool mosaic = color != nullptr && color->cfa() != ColorFilterArray::kMono;
  Layout layout = ChooseLayout(source, width, height, mosaic);
  std::vector<uint8_t> out;
  WriteStart(out, kModePrepared, layout, false, width, height);
  PutVarint(out, source.header_pixels);
  for (std::size_t i = 0; i < source.header_pixels; ++i) {
    out.push_back(static_cast<uint8_t>(pixels[i]));
    out.push_back(static_cast<uint8_t>(pixels[i] >> 8));
  }
  TokenSink sink(count);
  CodeRows(source, layout.distance, layout.predictor, width, 0, height, sink);
  return Finish(out, sink, destination, destination_length);
}

}  // namespace Brimlake::Nivra::codec
