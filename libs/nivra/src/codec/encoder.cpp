// Encoder: chooses layout and predictor on a sample of rows, turns every sample
// into a context and a token, then codes the tokens with per-context rANS.
#include <cmath>
#include <cstring>
#include <span>

#include "codec/format.hpp"
#include "codec/prediction.hpp"
#include "codec/rans.hpp"
#include "noise/dither.hpp"
#include "noise/lattice.hpp"
#include "nivra/nivra.hpp"

namespace Brimlake::Nivra::codec {
namespace {

struct TokenSink {
  std::vector<uint16_t> symbols;  // context << 8 | token, in coding order
  std::array<Histogram, kContexts> counts{};
  BitWriter bits;

  void Put(uint32_t context, uint32_t value) {
    Token t = Tokenize(value);
    symbols.push_back(static_cast<uint16_t>(context << 8 | t.token));
    ++counts[context][t.token];
    if (t.extra_bits != 0) bits.Put(t.extra, t.extra_bits);
  }
  void Escape(uint32_t context, uint16_t value) {
    symbols.push_back(static_cast<uint16_t>(context << 8 | kEscapeToken));
    ++counts[context][kEscapeToken];
    bits.Put(value, 16);
  }
};

// Estimated coded size in bits of a candidate layout, from token statistics.
struct CostSink {
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
  double Bits() const {
    double bits = static_cast<double>(extra_bits);
    for (const Histogram& h : counts) {
      uint64_t total = 0;
      for (uint32_t c : h) total += c;
      for (uint32_t c : h) {
        if (c != 0) bits += c * std::log2(static_cast<double>(total) / c);
      }
    }
    return bits;
  }
};

// The samples the predictor works on and how each is coded.
struct LosslessSource {
  const uint16_t* pixels;
  const uint16_t* plane() const { return pixels; }
  template <class Sink>
  void Code(Sink& sink, std::size_t i, int32_t pred, uint32_t context) const {
    sink.Put(context, ZigZag(static_cast<int16_t>(pixels[i] - pred)));
  }
};

struct PreparedSource {
  const uint16_t* pixels;
  std::vector<int32_t> bins;    // lattice index of every pixel
  std::vector<uint8_t> escape;  // 1: kept as is; 2: off the lattice
  std::size_t header_pixels = 0;
  bool keep_off_lattice = false;

  const int32_t* plane() const { return bins.data(); }
  template <class Sink>
  void Code(Sink& sink, std::size_t i, int32_t pred, uint32_t context) const {
    if (i < header_pixels) return;
    uint8_t e = escape[i];
    if (e == 1 || (e == 2 && keep_off_lattice)) {
      sink.Escape(context, pixels[i]);
    } else {
      sink.Put(context, ZigZag(bins[i] - pred));
    }
  }
};

template <class Source, class Sink>
void CodeRows(const Source& source, int distance, int predictor, std::size_t width, std::size_t y_begin,
              std::size_t y_end, Sink& sink) {
  WithLayout(distance, predictor, [&](auto d, auto p) {
    PredictRows<d(), p()>(source.plane(), width, y_begin, y_end,
                          [&](std::size_t i, int32_t pred, uint32_t context) { source.Code(sink, i, pred, context); });
  });
}

struct Layout {
  int distance = 1;
  int predictor = kMed;
};

// Tries every layout on bands of rows spread over the image.
template <class Source>
Layout ChooseLayout(const Source& source, std::size_t width, std::size_t height, bool mosaic_only) {
  constexpr std::size_t kBands = 16, kBandRows = 4;
  Layout best;
  double best_bits = INFINITY;
  for (int distance = mosaic_only ? 2 : 1; distance <= 2; ++distance) {
    for (int predictor = 0; predictor < kPredictors; ++predictor) {
      CostSink sink;
      if (width * height <= 65536 || height <= kBands * kBandRows) {
        CodeRows(source, distance, predictor, width, 0, height, sink);
      } else {
        for (std::size_t b = 0; b < kBands; ++b) {
          std::size_t y = 2 + (height - 2 - kBandRows) * b / (kBands - 1);
          y &= ~std::size_t{1};  // keep the mosaic phase of every band alike
          CodeRows(source, distance, predictor, width, y, y + kBandRows, sink);
        }
      }
      double bits = sink.Bits();
      if (bits < best_bits) {
        best_bits = bits;
        best = {distance, predictor};
      }
    }
  }
  return best;
}

bm_status Finish(std::vector<uint8_t>& out, TokenSink& sink, uint8_t* destination, int32_t* destination_length) {
  std::array<SymbolTable, kContexts> tables;
  WriteTables(out, sink.counts, tables);
  RansEncoder rans;
  for (auto it = sink.symbols.rbegin(); it != sink.symbols.rend(); ++it) {
    const SymbolTable& t = tables[*it >> 8];
    unsigned s = *it & 0xFF;
    rans.Put(t.start[s], t.freq[s]);
  }
  std::vector<uint8_t> coded;
  rans.Finish(coded);
  PutVarint(out, coded.size());
  std::vector<uint8_t>& bits = sink.bits.Finish();
  std::size_t total = out.size() + coded.size() + bits.size();
  if (total > static_cast<std::size_t>(*destination_length)) return BM_INCOMPATIBLE_IMAGE;
  std::memcpy(destination, out.data(), out.size());
  std::memcpy(destination + out.size(), coded.data(), coded.size());
  if (!bits.empty()) std::memcpy(destination + out.size() + coded.size(), bits.data(), bits.size());
  *destination_length = static_cast<int32_t>(total);
  return BM_OK;
}

void WriteStart(std::vector<uint8_t>& out, uint8_t mode, Layout layout, uint32_t width, uint32_t height) {
  out = {kMagic0, kMagic1, kVersion, mode, static_cast<uint8_t>(layout.distance | layout.predictor << 2)};
  PutVarint(out, width);
  PutVarint(out, height);
}

}  // namespace

bm_status Encode(const uint16_t* pixels, uint32_t width, uint32_t height, uint8_t* destination,
                 int32_t* destination_length) {
  const std::size_t count = std::size_t{width} * height;
  std::unique_ptr<EmbeddedHeader> header = EmbeddedHeader::Read(std::span(pixels, count));
  std::vector<uint8_t> out;
  TokenSink sink;
  sink.symbols.reserve(count);

  if (!header) {
    LosslessSource source{pixels};
    Layout layout = ChooseLayout(source, width, height, false);
    WriteStart(out, kModeLossless, layout, width, height);
    CodeRows(source, layout.distance, layout.predictor, width, 0, height, sink);
    return Finish(out, sink, destination, destination_length);
  }

  auto lattice = noise::Lattice::For(*header->parameters(), header->error_bound());
  if (!lattice) return BM_PARAMETERS_NOT_USABLE;
  PreparedSource source{pixels, std::vector<int32_t>(count), std::vector<uint8_t>(count), header->PixelCount()};
  const uint64_t seed = header->seed();
  std::size_t eligible = 0, off_lattice = 0;
  for (std::size_t i = 0; i < count; ++i) {
    double u = noise::Dither(seed, i);
    uint16_t x = pixels[i];
    if (x > lattice->white()) {
      source.bins[i] = lattice->SampleBin(x, u);
      source.escape[i] = 1;
      continue;
    }
    int32_t k = lattice->Bin(x, u);
    source.bins[i] = k;
    if (i >= source.header_pixels) {
      ++eligible;
      if (lattice->Representative(k, u) != x) {
        source.escape[i] = 2;
        ++off_lattice;
      }
    }
  }
  source.keep_off_lattice = off_lattice * kEditedImageShare <= eligible;

  auto* color = dynamic_cast<const ColorHeader*>(header.get());
  bool mosaic = color != nullptr && color->cfa() != ColorFilterArray::kMono;
  Layout layout = ChooseLayout(source, width, height, mosaic);
  WriteStart(out, kModePrepared, layout, width, height);
  PutVarint(out, source.header_pixels);
  for (std::size_t i = 0; i < source.header_pixels; ++i) {
    out.push_back(static_cast<uint8_t>(pixels[i]));
    out.push_back(static_cast<uint8_t>(pixels[i] >> 8));
  }
  CodeRows(source, layout.distance, layout.predictor, width, 0, height, sink);
  return Finish(out, sink, destination, destination_length);
}

}  // namespace Brimlake::Nivra::codec
