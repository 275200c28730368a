// Prints, per image, ratio, bits per pixel and one-core encode/decode speed of
// Nivra beside zstd, JPEG-LS and JPEG XL, then Nivra's prepared mode against the
// entropy of the quantized noise, with its errors in noise-sigma units. Nivra's
// rows show the version 1 ratio as the reference and the checksum's share of the
// decode time; then bands coded on several threads, 32x32 tiles, and last every
// speed and ratio target with the figure measured in this run and whether it is met.
//   nivra_bench [fixtures folder] [--no-slow] [--nivra-only] [--threads N]
#include <time.h>
#include <xxhash.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "nivra/nivra.hpp"
#include "parallel_for.hpp"
#include "reference_codecs.hpp"
#include "synthetic_images.hpp"
#include "tiff_planes.hpp"
#include "version1_ratios.hpp"

namespace Nivra = Brimlake::Nivra;
using nivra_bench::Image;

namespace {

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// Best CPU time of this thread over repeated runs (at least two, until a quarter
// second has passed): the machine is shared, and wall time would measure the load.
double Seconds(const std::function<void()>& run) {
  double best = INFINITY, total = 0;
  for (int i = 0; i < 20 && (i < 2 || total < 0.25); ++i) {
    double start = ThreadSeconds();
    run();
    double s = ThreadSeconds() - start;
    best = std::min(best, s);
    total += s;
  }
  return best;
}

void PrintRow(const Image& image, const char* codec, std::size_t coded, double encode_s, double decode_s, bool exact) {
  double raw = image.pixels.size() * 2.0;
  std::printf("%-44s %-8s %7.3f %7.3f %9.1f %9.1f", image.name.c_str(), codec, raw / coded,
              coded * 8.0 / image.pixels.size(), raw / encode_s / 1e6, raw / decode_s / 1e6);
  std::printf("%s", exact ? "" : " MISMATCH");
}

// Version 1 ratio and today's change against it, in percent.
void PrintReference(const std::string& name, float step, double ratio) {
  double reference = nivra_bench::Version1Ratio(name, step);
  if (reference > 0) {
    std::printf(" %8.3f %+7.2f", reference, 100.0 * (ratio - reference) / reference);
  } else {
    std::printf(" %8s %7s", "-", "-");
  }
}

// The worst figure seen for each target, and where.
struct Worst {
  double value = INFINITY;
  std::string where;
  void See(double v, const std::string& name) {
    if (v < value) {
      value = v;
      where = name;
    }
  }
};
struct Targets {
  Worst decode_1024;         // lossless decode MB/s, 1024x1024 images
  Worst decode_vs_jpegls;    // Nivra decode / JPEG-LS decode, shared samples of 256x256 or more
  Worst encode_vs_zstd;      // Nivra encode / zstd-3 encode, images of 256x256 or more
  Worst small_encode_vs_zstd;  // the same on 32x32 tiles
  Worst prepared_encode, prepared_decode;  // MB/s
  Worst ratio_change;        // percent against the version 1 reference, lossless and prepared
};
Targets targets;

bool NivraEncode(const std::vector<uint16_t>& pixels, const Image& image, std::vector<uint8_t>& out) {
  out.resize(image.pixels.size() * 3 + 4096);
  int32_t length = static_cast<int32_t>(out.size());
  if (nivra_encode(pixels.data(), image.width, image.height, out.data(), &length) != BM_OK) return false;
  out.resize(length);
  return true;
}

void Lossless(const Image& image, bool slow, bool others, bool shared_sample) {
  std::vector<uint8_t> coded;
  std::vector<uint16_t> decoded(image.pixels.size());
  bool ok = true;
  double enc = Seconds([&] { ok = NivraEncode(image.pixels, image, coded) && ok; });
  double dec = Seconds([&] {
    ok = nivra_decode(coded.data(), static_cast<int32_t>(coded.size()), decoded.data(),
                      static_cast<int32_t>(decoded.size())) == BM_OK && ok;
  });
  double checksum = Seconds([&] {
    uint64_t hash = XXH3_64bits(image.pixels.data(), image.pixels.size() * 2);
    asm volatile("" : : "r"(hash));  // keeps the unused result from being optimised away
  });
  PrintRow(image, "nivra", coded.size(), enc, dec, ok && decoded == image.pixels);
  PrintReference(image.name, 0.0f, image.pixels.size() * 2.0 / coded.size());
  std::printf(" %6.1f\n", 100.0 * checksum / dec);
  const double raw = image.pixels.size() * 2.0, nivra_enc = enc, nivra_dec = dec;
  const bool large = image.width >= 256 && image.height >= 256;
  if (image.width == 1024 && image.height == 1024) targets.decode_1024.See(raw / dec / 1e6, image.name);
  if (double reference = nivra_bench::Version1Ratio(image.name, 0.0f); reference > 0) {
    targets.ratio_change.See(100.0 * (raw / coded.size() - reference) / reference, image.name + " lossless");
  }
  for (const auto& codec : others ? nivra_bench::ReferenceCodecs() : std::vector<nivra_bench::ReferenceCodec>{}) {
    if (!slow && (codec.name == "jxl-e7" || codec.name == "zstd-19")) continue;
    ok = true;
    enc = Seconds([&] { ok = codec.encode(image, codec.level, coded) && ok; });
    dec = Seconds([&] { ok = codec.decode(coded, image, decoded) && ok; });
    PrintRow(image, codec.name.c_str(), coded.size(), enc, dec, ok && decoded == image.pixels);
    std::printf("\n");
    if (large && codec.name == "zstd-3") targets.encode_vs_zstd.See(enc / nivra_enc, image.name);
    if (large && shared_sample && codec.name == "jpeg-ls") targets.decode_vs_jpegls.See(dec / nivra_dec, image.name);
  }
}

// 32x32 tiles: fixed costs dominate. Each timed run codes the tile 256 times.
void SmallTile(const Image& source) {
  if (source.width < 32 || source.height < 32) return;
  Image tile{source.name + " 32x32", 32, 32, std::vector<uint16_t>(32 * 32)};
  for (uint32_t y = 0; y < 32; ++y) {
    std::copy_n(source.pixels.begin() + std::size_t{y} * source.width, 32, tile.pixels.begin() + y * 32);
  }
  constexpr int kRepeats = 256;
  std::vector<uint8_t> coded, zstd_coded;
  bool ok = true;
  double enc = Seconds([&] {
    for (int r = 0; r < kRepeats; ++r) ok = NivraEncode(tile.pixels, tile, coded) && ok;
  }) / kRepeats;
  nivra_bench::ReferenceCodec zstd{};
  for (const auto& codec : nivra_bench::ReferenceCodecs()) {
    if (codec.name == "zstd-3") zstd = codec;
  }
  double zstd_enc = Seconds([&] {
    for (int r = 0; r < kRepeats; ++r) ok = zstd.encode(tile, zstd.level, zstd_coded) && ok;
  }) / kRepeats;
  std::vector<uint16_t> decoded(tile.pixels.size());
  ok = ok && nivra_decode(coded.data(), static_cast<int32_t>(coded.size()), decoded.data(), 1024) == BM_OK &&
       decoded == tile.pixels;
  const double raw = 2048;
  std::printf("%-44s %7.3f %9.1f %7.3f %9.1f %6.2f%s\n", tile.name.c_str(), raw / coded.size(), raw / enc / 1e6,
              raw / zstd_coded.size(), raw / zstd_enc / 1e6, zstd_enc / enc, ok ? "" : " MISMATCH");
  targets.small_encode_vs_zstd.See(zstd_enc / enc, tile.name);
}

void PrintTarget(const char* target, const Worst& worst, double goal, const char* unit) {
  const bool measured = std::isfinite(worst.value);
  std::printf("%-62s %9.2f %-5s %-4s %s\n", target, measured ? worst.value : 0.0, unit,
              !measured ? "-" : worst.value >= goal ? "MET" : "NOT", worst.where.c_str());
}

void PrintTargets() {
  std::printf("\nTargets (one core's CPU time, best of several runs; worst case over the images, and where)\n");
  std::printf("%-62s %9s %-5s %-4s %s\n", "target", "figure", "unit", "met", "worst image");
  PrintTarget("lossless decode >= 600 MB/s on 1024x1024 images", targets.decode_1024, 600, "MB/s");
  PrintTarget("lossless decode >= 5x JPEG-LS, shared samples >= 256x256", targets.decode_vs_jpegls, 5, "x");
  PrintTarget("lossless encode >= zstd-3, images >= 256x256", targets.encode_vs_zstd, 1, "x");
  PrintTarget("lossless encode >= 0.5x zstd-3 on 32x32 tiles", targets.small_encode_vs_zstd, 0.5, "x");
  PrintTarget("prepared encode >= 300 MB/s", targets.prepared_encode, 300, "MB/s");
  PrintTarget("prepared decode >= 500 MB/s", targets.prepared_decode, 500, "MB/s");
  PrintTarget("ratios no lower than the version 1 reference (change, %)", targets.ratio_change, -0.0001, "%");
}

double WallSeconds(const std::function<void()>& run) {
  double best = INFINITY;
  for (int i = 0; i < 5; ++i) {
    auto start = std::chrono::steady_clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

// Encode and decode on one thread and on `threads`, through the parallel entry points.
void Bands(const Image& image, unsigned threads) {
  std::vector<uint8_t> coded(image.pixels.size() * 3 + 4096);
  std::vector<uint16_t> decoded(image.pixels.size());
  int32_t length = 0;
  auto encode = [&](const Nivra::ParallelFor& parallel_for) {
    length = static_cast<int32_t>(coded.size());
    return Nivra::encode(image.pixels.data(), image.width, image.height, coded.data(), &length, parallel_for);
  };
  auto decode = [&](const Nivra::ParallelFor& parallel_for) {
    return Nivra::decode(coded.data(), length, decoded.data(), static_cast<int32_t>(decoded.size()), parallel_for);
  };
  const Nivra::ParallelFor one = nivra_test::Threads(1), many = nivra_test::Threads(threads);
  bool ok = true;
  double enc1 = WallSeconds([&] { ok = encode(one) == BM_OK && ok; });
  std::vector<uint8_t> serial(coded.begin(), coded.begin() + length);
  double encn = WallSeconds([&] { ok = encode(many) == BM_OK && ok; });
  ok = ok && std::equal(serial.begin(), serial.end(), coded.begin(), coded.begin() + length);
  double dec1 = WallSeconds([&] { ok = decode(one) == BM_OK && ok; });
  double decn = WallSeconds([&] { ok = decode(many) == BM_OK && ok; });
  double raw = image.pixels.size() * 2.0;
  std::printf("%-44s %9.1f %9.1f %6.2f %9.1f %9.1f %6.2f %s\n", image.name.c_str(), raw / enc1 / 1e6,
              raw / encn / 1e6, enc1 / encn, raw / dec1 / 1e6, raw / decn / 1e6, dec1 / decn,
              ok && decoded == image.pixels ? "" : "MISMATCH");
}

// Entropy of round(Z/step) for standard normal Z: the quantized noise itself.
double QuantizedNoiseEntropy(double step) {
  double h = 0;
  for (int k = -64; k <= 64; ++k) {
    double p = 0.5 * (std::erf((k + 0.5) * step / std::sqrt(2.0)) - std::erf((k - 0.5) * step / std::sqrt(2.0)));
    if (p > 0) h -= p * std::log2(p);
  }
  return h;
}

// Entropy of round(Z/step + U) with uniform dither U: what a dithered quantizer emits.
double DitheredNoiseEntropy(double step) {
  double h = 0;
  for (int k = -64; k <= 64; ++k) {
    double p = 0;
    const int n = 2000;
    for (int i = 0; i < n; ++i) {  // midpoint rule over [k - 1/2, k + 1/2)
      double v = k - 0.5 + (i + 0.5) / n;
      p += 0.5 * (std::erf((v + 0.5) * step / std::sqrt(2.0)) - std::erf((v - 0.5) * step / std::sqrt(2.0))) / n;
    }
    if (p > 0) h -= p * std::log2(p);
  }
  return h;
}

double Stabilised(double x, const nivra_test::SensorModel& m) {
  double q = m.gain * (x - m.black_level) + 0.375 * m.gain * m.gain + m.sigma * m.sigma;
  return q > 0 ? 2.0 / m.gain * std::sqrt(q) : 0.0;
}

void Prepared(const Image& image, const nivra_test::SensorModel& model, bool mosaic) {
  auto parameters =
      std::make_shared<Nivra::ExtendedAnscombeParameters>(model.gain, model.black_level, model.sigma, model.white_level);
  for (float step : {0.5f, 1.0f, 2.0f}) {
    std::unique_ptr<Nivra::EmbeddedHeader> header;
    if (mosaic) {
      header = std::make_unique<Nivra::ColorHeader>(99, step, Nivra::ColorFilterArray::kBayerRG, parameters);
    } else {
      header = std::make_unique<Nivra::MonochromeHeader>(99, step, parameters);
    }
    // Prepare (replace the noise, embed the header), then encode the prepared pixels.
    auto prepared = image.pixels;
    double prep = Seconds([&] {
      prepared = image.pixels;
      Nivra::replace_noise(prepared.data(), prepared.size(), *parameters, step, 99);
    });
    header->Embed(prepared);
    std::vector<uint8_t> coded;
    std::vector<uint16_t> decoded(image.pixels.size());
    bool ok = true;
    double enc = Seconds([&] { ok = NivraEncode(prepared, image, coded) && ok; });
    double dec = Seconds([&] {
      ok = nivra_decode(coded.data(), static_cast<int32_t>(coded.size()), decoded.data(),
                        static_cast<int32_t>(decoded.size())) == BM_OK && ok;
    });
    double sum = 0, sum2 = 0, worst = 0;
    std::size_t n = 0;
    for (std::size_t i = header->PixelCount(); i < image.pixels.size(); ++i) {
      if (image.pixels[i] > model.white_level) continue;
      double e = Stabilised(decoded[i], model) - Stabilised(image.pixels[i], model);
      sum += e;
      sum2 += e * e;
      worst = std::max(worst, std::fabs(e));
      ++n;
    }
    double raw = image.pixels.size() * 2.0;
    std::printf("%-30s %4.1f %7.3f %6.3f %6.3f %6.3f %+7.4f %6.3f %6.3f %9.1f %9.1f %9.1f", image.name.c_str(),
                step, raw / coded.size(), coded.size() * 8.0 / image.pixels.size(), QuantizedNoiseEntropy(step),
                DitheredNoiseEntropy(step), sum / n,
                std::sqrt(sum2 / n), worst, raw / enc / 1e6, raw / dec / 1e6, raw / prep / 1e6);
    PrintReference(image.name, step, raw / coded.size());
    std::printf("%s\n", ok && decoded == prepared ? "" : " MISMATCH");
    char where[96];
    std::snprintf(where, sizeof where, "%s step %.1f", image.name.c_str(), step);
    targets.prepared_encode.See(raw / enc / 1e6, where);
    targets.prepared_decode.See(raw / dec / 1e6, where);
    if (double reference = nivra_bench::Version1Ratio(image.name, step); reference > 0) {
      targets.ratio_change.See(100.0 * (raw / coded.size() - reference) / reference, where);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path folder = TARN_FIXTURES_DIR;
  bool slow = true, others = true;
  unsigned threads = 2;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-slow") == 0) {
      slow = false;
    } else if (std::strcmp(argv[i], "--nivra-only") == 0) {
      others = false;
    } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      threads = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
    } else {
      folder = argv[i];
    }
  }
  const uint32_t w = 1024, h = 1024;
  nivra_test::SensorModel model;
  struct Synthetic {
    const char* name;
    std::function<double(uint32_t, uint32_t)> scene;
    bool mosaic;
  };
  std::vector<Synthetic> synthetic = {{"synthetic-flat", nivra_test::Flat, false},
                                      {"synthetic-gradient", nivra_test::Gradient(w), false},
                                      {"synthetic-spots", nivra_test::Spots, false},
                                      {"synthetic-cells", nivra_test::Cells, false},
                                      {"synthetic-bayer", nivra_test::Bayer(w), true}};
  std::vector<std::pair<Image, bool>> images;
  for (const auto& s : synthetic) {
    images.push_back({Image{s.name, w, h, nivra_test::SensorImage(w, h, model, s.scene)}, s.mosaic});
  }

  std::printf("Lossless (MB/s of 16-bit input per second of one core's CPU time; v1: the version 1 stream's ratio;\n"
              "xxh3 %%: checksum time as a share of Nivra's decode time)\n");
  std::printf("%-44s %-8s %7s %7s %9s %9s %8s %7s %6s\n", "image", "codec", "ratio", "bpp", "enc MB/s", "dec MB/s",
              "v1 ratio", "change%", "xxh3 %");
  const auto fixtures = nivra_test::ReadTiffPlanes(folder);
  for (const auto& image : fixtures) Lossless(image, slow, others, true);
  for (const auto& [image, mosaic] : images) Lossless(image, slow, others, false);

  std::printf("\nPrepared (gain %.1f, black %.0f, sigma %.1f; errors in noise sigma; enc: the prepared image;\n"
              "H(k): quantized noise, H(k+u): with the subtractive dither)\n",
              model.gain, model.black_level, model.sigma);
  std::printf("%-30s %4s %7s %6s %6s %6s %7s %6s %6s %9s %9s %9s %8s %7s\n", "image", "step", "ratio", "bpp", "H(k)",
              "H(k+u)", "mean", "rms", "max", "enc MB/s", "dec MB/s", "prep MB/s", "v1 ratio", "change%");
  for (const auto& [image, mosaic] : images) Prepared(image, model, mosaic);

  std::printf("\nBands on %u threads (lossless; MB/s of wall time, best of five: the machine's load shows here)\n",
              threads);
  std::printf("%-44s %9s %9s %6s %9s %9s %6s\n", "image", "enc 1", "enc N", "x", "dec 1", "dec N", "x");
  for (const auto& image : fixtures) {
    if (image.pixels.size() >= (std::size_t{1} << 19)) Bands(image, threads);
  }
  for (const auto& [image, mosaic] : images) Bands(image, threads);

  std::printf("\n32x32 tiles, lossless (the top left of each image; MB/s of one core's CPU time)\n");
  std::printf("%-44s %7s %9s %7s %9s %6s\n", "tile", "ratio", "enc MB/s", "zstd", "zstd enc", "x");
  for (const auto& image : fixtures) SmallTile(image);
  for (const auto& [image, mosaic] : images) SmallTile(image);
  PrintTargets();
  return 0;
}
