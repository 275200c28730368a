// Prints, per image, ratio, bits per pixel and one-core encode/decode speed of
// Nivra beside HTJ2K, JPEG XL (efforts 1 and 7), JPEG-LS and zstd, then Nivra's
// prepared mode against the entropy of the quantized noise, with its errors in
// noise-sigma units. Nivra's rows show the version 1 ratio as the reference and
// the checksum's share of the decode time; then the check before storing, bands
// coded on several threads, small tiles, and last every speed and ratio target
// with the figure measured in this run and whether it is met.
//   nivra_bench [fixtures folder] [--no-slow] [--nivra-only] [--threads N]
#include <time.h>
#include <xxhash.h>

#include <algorithm>
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
  Worst encode_vs_htj2k, decode_vs_htj2k;  // Nivra speed / HTJ2K speed, planes of 256x256 or more
  Worst small_encode_vs_zstd, small_decode_vs_zstd;  // planes under 64x64 (tiles of 32x32 and 16x16)
  std::vector<double> ratio_vs_jxl_e7;     // Nivra ratio / JPEG XL e7 ratio, every plane
  Worst ratio_vs_jxl_e7_worst;
  Worst ratio_vs_htj2k, ratio_vs_jpegls;   // Nivra ratio / peer ratio, every plane
  Worst check_cost;                        // compress CPU without the check / with it, large planes
  Worst prepared_encode, prepared_decode;  // MB/s: prepare + encode, and decoding a prepared plane
  Worst ratio_change;                      // percent against the version 1 reference, lossless and prepared
};
Targets targets;

// Which stream version Nivra's rows write (the current one, or 2 as readers of the older container need).
bool NivraEncode(const std::vector<uint16_t>& pixels, const Image& image, std::vector<uint8_t>& out,
                 unsigned version = 0) {
  out.resize(image.pixels.size() * 3 + 4096);
  int32_t length = static_cast<int32_t>(out.size());
  Nivra::EncodeOptions options;
  if (version != 0) options.stream_version = version;
  if (Nivra::encode(pixels.data(), image.width, image.height, out.data(), &length, {}, options) != BM_OK) {
    return false;
  }
  out.resize(length);
  return true;
}

bool NivraDecode(const std::vector<uint8_t>& coded, std::vector<uint16_t>& decoded) {
  return nivra_decode(coded.data(), static_cast<int32_t>(coded.size()), decoded.data(),
                      static_cast<int32_t>(decoded.size())) == BM_OK;
}

void Lossless(const Image& image, bool slow, bool others) {
  std::vector<uint8_t> coded;
  std::vector<uint16_t> decoded(image.pixels.size());
  const double raw = image.pixels.size() * 2.0;
  bool ok = true;
  double enc = Seconds([&] { ok = NivraEncode(image.pixels, image, coded) && ok; });
  double dec = Seconds([&] { ok = NivraDecode(coded, decoded) && ok; });
  double checksum = Seconds([&] {
    uint64_t hash = XXH3_64bits(image.pixels.data(), image.pixels.size() * 2);
    asm volatile("" : : "r"(hash));  // keeps the unused result from being optimised away
  });
  PrintRow(image, "nivra", coded.size(), enc, dec, ok && decoded == image.pixels);
  const double nivra_ratio = raw / coded.size();
  PrintReference(image.name, 0.0f, nivra_ratio);
  std::printf(" %6.1f\n", 100.0 * checksum / dec);
  const double nivra_enc = enc, nivra_dec = dec;
  const bool large = image.width >= 256 && image.height >= 256;
  if (double reference = nivra_bench::Version1Ratio(image.name, 0.0f); reference > 0) {
    targets.ratio_change.See(100.0 * (nivra_ratio - reference) / reference, image.name + " lossless");
  }
  // The version 2 stream, as `--format 4` writes it: the figures before this round's stream.
  {
    std::vector<uint8_t> v2;
    ok = true;
    double enc2 = Seconds([&] { ok = NivraEncode(image.pixels, image, v2, 2) && ok; });
    double dec2 = Seconds([&] { ok = NivraDecode(v2, decoded) && ok; });
    PrintRow(image, "nivra-v2", v2.size(), enc2, dec2, ok && decoded == image.pixels);
    std::printf("\n");
  }
  for (const auto& codec : others ? nivra_bench::ReferenceCodecs() : std::vector<nivra_bench::ReferenceCodec>{}) {
    if (!slow && (codec.name == "jxl-e7" || codec.name == "zstd-19")) continue;
    ok = true;
    enc = Seconds([&] { ok = codec.encode(image, codec.level, coded) && ok; });
    dec = Seconds([&] { ok = codec.decode(coded, image, decoded) && ok; });
    PrintRow(image, codec.name.c_str(), coded.size(), enc, dec, ok && decoded == image.pixels);
    std::printf("\n");
    const double quotient = nivra_ratio / (raw / coded.size());
    if (codec.name == "htj2k") {
      targets.ratio_vs_htj2k.See(quotient, image.name);
      if (large) {
        targets.encode_vs_htj2k.See(enc / nivra_enc, image.name);
        targets.decode_vs_htj2k.See(dec / nivra_dec, image.name);
      }
    }
    if (codec.name == "jpeg-ls") targets.ratio_vs_jpegls.See(quotient, image.name);
    if (codec.name == "jxl-e7") {
      targets.ratio_vs_jxl_e7.push_back(quotient);
      targets.ratio_vs_jxl_e7_worst.See(quotient, image.name);
    }
  }
}

// Small tiles (the top left of an image): fixed costs dominate. Each timed run codes the tile many times.
void SmallTile(const Image& source, uint32_t side) {
  if (source.width < side || source.height < side) return;
  Image tile{source.name + " " + std::to_string(side) + "x" + std::to_string(side), side, side,
             std::vector<uint16_t>(std::size_t{side} * side)};
  for (uint32_t y = 0; y < side; ++y) {
    std::copy_n(source.pixels.begin() + std::size_t{y} * source.width, side, tile.pixels.begin() + y * side);
  }
  const int repeats = static_cast<int>(262144 / tile.pixels.size());
  std::vector<uint8_t> coded, zstd_coded;
  std::vector<uint16_t> decoded(tile.pixels.size());
  bool ok = true;
  auto repeated = [&](const std::function<void()>& run) {
    return Seconds([&] {
      for (int r = 0; r < repeats; ++r) run();
    }) / repeats;
  };
  nivra_bench::ReferenceCodec zstd{};
  for (const auto& codec : nivra_bench::ReferenceCodecs()) {
    if (codec.name == "zstd-3") zstd = codec;
  }
  const double enc = repeated([&] { ok = NivraEncode(tile.pixels, tile, coded) && ok; });
  const double dec = repeated([&] { ok = NivraDecode(coded, decoded) && ok; });
  ok = ok && decoded == tile.pixels;
  const double zstd_enc = repeated([&] { ok = zstd.encode(tile, zstd.level, zstd_coded) && ok; });
  const double zstd_dec = repeated([&] { ok = zstd.decode(zstd_coded, tile, decoded) && ok; });
  const double raw = tile.pixels.size() * 2.0;
  std::printf("%-44s %7.3f %9.1f %9.1f %7.3f %9.1f %9.1f %6.2f %6.2f%s\n", tile.name.c_str(), raw / coded.size(),
              raw / enc / 1e6, raw / dec / 1e6, raw / zstd_coded.size(), raw / zstd_enc / 1e6, raw / zstd_dec / 1e6,
              zstd_enc / enc, zstd_dec / dec, ok ? "" : " MISMATCH");
  targets.small_encode_vs_zstd.See(zstd_enc / enc, tile.name);
  targets.small_decode_vs_zstd.See(zstd_dec / dec, tile.name);
}

// The check before storing, as the library's binding runs it: encode, then prove that the
// stream decodes to the pixels. Its cost is the CPU time of the check over that of encoding.
void CheckBeforeStoring(const Image& image) {
  std::vector<uint8_t> coded;
  bool ok = NivraEncode(image.pixels, image, coded);
  const double enc = Seconds([&] { ok = NivraEncode(image.pixels, image, coded) && ok; });
  bool same = false;
  const double check = Seconds([&] {
    ok = Nivra::verify(coded.data(), static_cast<int32_t>(coded.size()), image.pixels.data(),
                       static_cast<int32_t>(image.pixels.size()), {}, same) == BM_OK && ok;
  });
  std::vector<uint16_t> decoded(image.pixels.size());
  const double full = Seconds([&] {
    ok = NivraDecode(coded, decoded) && ok;
    ok = std::memcmp(decoded.data(), image.pixels.data(), decoded.size() * 2) == 0 && ok;
  });
  const double raw = image.pixels.size() * 2.0;
  std::printf("%-44s %9.1f %9.1f %+8.1f %9.1f %+8.1f%s\n", image.name.c_str(), raw / enc / 1e6, raw / check / 1e6,
              100.0 * check / enc, raw / full / 1e6, 100.0 * full / enc, ok && same ? "" : " MISMATCH");
  // Lower is better: kept as the quotient encode / (encode + check) against 1 / 1.35.
  targets.check_cost.See(enc / (enc + check), image.name);
}

void PrintTarget(const char* target, double figure, bool met, const char* unit, const std::string& where) {
  const bool measured = std::isfinite(figure);
  std::printf("%-66s %9.3f %-5s %-7s %s\n", target, measured ? figure : 0.0, unit,
              !measured ? "-" : met ? "met" : "NOT MET", where.c_str());
}
void PrintAtLeast(const char* target, const Worst& worst, double goal, const char* unit) {
  PrintTarget(target, worst.value, worst.value >= goal, unit, worst.where);
}
void PrintAbove(const char* target, const Worst& worst, double goal, const char* unit) {
  PrintTarget(target, worst.value, worst.value > goal, unit, worst.where);
}

void PrintTargets() {
  std::printf("\nTargets (one core's CPU time, best of several runs, peers in the same run; the worst quotient over\n"
              "the planes, and where; a quotient is Nivra / peer for ratios and speeds)\n");
  std::printf("%-66s %9s %-5s %-7s %s\n", "target", "figure", "unit", "met", "worst plane");
  PrintAtLeast("lossless encode >= 2x HTJ2K, planes >= 256x256", targets.encode_vs_htj2k, 2, "x");
  PrintAtLeast("lossless decode >= 2x HTJ2K, planes >= 256x256", targets.decode_vs_htj2k, 2, "x");
  PrintAtLeast("lossless encode >= zstd-3, planes under 64x64", targets.small_encode_vs_zstd, 1, "x");
  PrintAtLeast("lossless decode >= zstd-3, planes under 64x64", targets.small_decode_vs_zstd, 1, "x");
  std::vector<double> e7 = targets.ratio_vs_jxl_e7;
  double median = NAN;
  std::size_t below = 0;
  if (!e7.empty()) {
    std::sort(e7.begin(), e7.end());
    median = e7.size() % 2 ? e7[e7.size() / 2] : 0.5 * (e7[e7.size() / 2 - 1] + e7[e7.size() / 2]);
    below = static_cast<std::size_t>(std::count_if(e7.begin(), e7.end(), [](double q) { return q < 1; }));
  }
  char where[64];
  std::snprintf(where, sizeof where, "median of %zu planes, %zu below", e7.size(), below);
  PrintTarget("lossless ratio >= JPEG XL e7 on the median plane", median, median >= 1, "x", where);
  PrintAtLeast("lossless ratio >= 0.97x JPEG XL e7 on every plane", targets.ratio_vs_jxl_e7_worst, 0.97, "x");
  PrintAbove("lossless ratio above HTJ2K on every plane", targets.ratio_vs_htj2k, 1, "x");
  PrintAbove("lossless ratio above JPEG-LS on every plane", targets.ratio_vs_jpegls, 1, "x");
  const double cost = std::isfinite(targets.check_cost.value) ? 100.0 * (1 / targets.check_cost.value - 1) : NAN;
  PrintTarget("check before storing <= +35% CPU over encoding (codec; the stack: tiff_compress_bench)", cost,
              cost <= 35, "%", targets.check_cost.where);
  PrintAtLeast("prepared: prepare + encode >= 300 MB/s", targets.prepared_encode, 300, "MB/s");
  PrintAtLeast("prepared: decode of a prepared plane >= 500 MB/s", targets.prepared_decode, 500, "MB/s");
  PrintAtLeast("ratios no lower than the version 1 reference (change, %)", targets.ratio_change, -0.0001, "%");
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
    targets.prepared_encode.See(raw / (prep + enc) / 1e6, where);
    targets.prepared_decode.See(raw / dec / 1e6, where);
    if (double reference = nivra_bench::Version1Ratio(image.name, step); reference > 0) {
      targets.ratio_change.See(100.0 * (raw / coded.size() - reference) / reference, where);
    }
  }
}

// Planes where JPEG XL's modelling used to win: 12-bit data in 16 bits (sparse values), a smooth
// high-precision field (satellite-like), and a piecewise constant plane of a few levels (labels).
std::vector<Image> ExtraScenes(uint32_t w, uint32_t h, const nivra_test::SensorModel& model) {
  std::vector<Image> scenes;
  Image shifted{"synthetic-12bit-in-16", w, h, nivra_test::SensorImage(w, h, model, nivra_test::Cells, 11)};
  for (uint16_t& v : shifted.pixels) v = static_cast<uint16_t>(std::min<unsigned>(v, 4095) << 4);
  scenes.push_back(std::move(shifted));
  nivra_test::SensorModel fine{0.05f, 1000.0f, 0.6f, 65535};
  scenes.push_back({"synthetic-smooth", w, h, nivra_test::SensorImage(w, h, fine, [](uint32_t x, uint32_t y) {
                      return 2.0e5 + 1.5e5 * std::sin(x * 0.004 + std::sin(y * 0.003) * 2) * std::cos(y * 0.0025) +
                             4.0e4 * std::sin((x + 2 * y) * 0.011);
                    }, 12)});
  Image levels{"synthetic-levels", w, h, std::vector<uint16_t>(std::size_t{w} * h)};
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      double s = std::sin(x * 0.021) * std::cos(y * 0.017) + 0.6 * std::sin((x + y) * 0.008);
      levels.pixels[std::size_t{y} * w + x] = static_cast<uint16_t>(2731 * static_cast<int>(12 + 7 * s));
    }
  }
  scenes.push_back(std::move(levels));
  return scenes;
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
  // Lossless only: the kinds of plane where a general codec's stronger modelling pays.
  std::vector<Image> lossless_only = ExtraScenes(w, h, model);

  std::printf("Lossless (MB/s of 16-bit input per second of one core's CPU time; v1: the version 1 stream's ratio;\n"
              "xxh3 %%: checksum time as a share of Nivra's decode time)\n");
  std::printf("%-44s %-8s %7s %7s %9s %9s %8s %7s %6s\n", "image", "codec", "ratio", "bpp", "enc MB/s", "dec MB/s",
              "v1 ratio", "change%", "xxh3 %");
  const auto fixtures = nivra_test::ReadTiffPlanes(folder);
  for (const auto& image : fixtures) Lossless(image, slow, others);
  for (const auto& [image, mosaic] : images) Lossless(image, slow, others);
  for (const auto& image : lossless_only) Lossless(image, slow, others);

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

  std::printf("\nThe check before storing on one core (MB/s of input; check: the stored stream decoded band by band\n"
              "and compared; full: decoded whole, then compared; %% of the encoding's CPU time)\n");
  std::printf("%-44s %9s %9s %8s %9s %8s\n", "image", "enc MB/s", "check", "cost %", "full", "cost %");
  for (const auto& [image, mosaic] : images) CheckBeforeStoring(image);
  {
    // A stack plane as tiff_compress_bench writes them: 2048 x 2048, a ramp and 3 bits of noise.
    Image plane{"stack-plane-2048", 2048, 2048, std::vector<uint16_t>(2048 * 2048)};
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (uint32_t y = 0; y < 2048; ++y) {
      for (uint32_t x = 0; x < 2048; ++x) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        plane.pixels[std::size_t{y} * 2048 + x] = static_cast<uint16_t>(400 + ((x + y) & 1023) + (state >> 61));
      }
    }
    CheckBeforeStoring(plane);
  }

  std::printf("\nSmall planes, lossless (the top left of each image; MB/s of one core's CPU time; x: Nivra / zstd-3)\n");
  std::printf("%-44s %7s %9s %9s %7s %9s %9s %6s %6s\n", "tile", "ratio", "enc MB/s", "dec MB/s", "zstd", "zstd enc",
              "zstd dec", "enc x", "dec x");
  for (uint32_t side : {32u, 16u}) {
    for (const auto& image : fixtures) SmallTile(image, side);
    for (const auto& [image, mosaic] : images) SmallTile(image, side);
  }
  PrintTargets();
  return 0;
}
