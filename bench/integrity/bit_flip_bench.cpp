// The bit-flip campaign: every shared real sample is compressed once, then single bits
// are flipped at random positions inside its coded chunks (Nivra and Zstd, half the
// flips each) and inside its description (metadata block and footer), and every damaged
// file is restored through TarnDecompressFile.
// A third campaign flips bits in the chunks of re-encoded images only (the LZW samples,
// and a lossless JPEG DNG and a PackBits TIFF made here), restored through their coding.
//   bit_flip_bench [flips=2000] [seed=1] [description_flips=1000] [reencoded_flips=1000]
// A silent flip (success with other bytes) is listed; the target is none. Damage found
// by a chunk's check is status 7; other statuses are counted apart.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bit_flips.hpp"
#include "readers/coded_tiff_writer.hpp"

int main(int argc, char** argv) {
  using namespace tarn;
  const size_t flips = argc > 1 ? std::stoul(argv[1]) : 2000;
  const uint64_t seed = argc > 2 ? std::stoull(argv[2]) : 1;
  const size_t description_flips = argc > 3 ? std::stoul(argv[3]) : 1000;
  const size_t reencoded_flips = argc > 4 ? std::stoul(argv[4]) : 1000;
  const auto fixtures = test::FixturesDir();
  if (fixtures.empty()) {
    std::printf("the shared sample files are absent\n");
    return 1;
  }
  TarnSetLogLevel(6);
  test::TempDir dir;
  std::vector<test::FlipTarget> targets;
  uint64_t bytes[3] = {};
  for (const auto& entry : std::filesystem::directory_iterator(fixtures)) {
    if (entry.path().filename() == "MANIFEST.md") continue;
    targets.push_back(test::CompressForFlips(entry.path(), dir.path()));
    for (const auto& range : targets.back().coded) bytes[static_cast<int>(range.codec)] += range.length;
  }
  const auto dng = dir / "synthetic-lossless-jpeg.dng";
  test::WriteJpegDng(dng, {1024, 512, 256, 2, 12, 1, 0, test::JpegTables::kOptimal});
  const auto packbits = dir / "synthetic-packbits.tif";
  test::WriteCodedTiff(packbits, {600, 400, 8, 1, COMPRESSION_PACKBITS, 1, false, 16});
  for (const auto& made : {dng, packbits}) {
    targets.push_back(test::CompressForFlips(made, dir.path()));
    for (const auto& range : targets.back().coded) bytes[static_cast<int>(range.codec)] += range.length;
  }
  std::printf("%zu samples; coded bytes: Nivra %llu, Zstd %llu; %zu flips, seed %llu\n", targets.size(),
              static_cast<unsigned long long>(bytes[1]), static_cast<unsigned long long>(bytes[2]), flips,
              static_cast<unsigned long long>(seed));
  test::FlipCounts all;
  for (const Codec codec : {Codec::Nivra, Codec::Zstd}) {
    const size_t share = codec == Codec::Nivra ? flips / 2 : flips - flips / 2;
    const test::FlipCounts counts = test::FlipCampaign(
        targets, codec, share, seed + static_cast<uint64_t>(codec), dir.path(),
        [](const test::FlipTarget& target, uint64_t position, int bit, test::FlipOutcome outcome) {
          std::printf("  %s: %s byte %llu bit %d\n", outcome == test::FlipOutcome::kSilent ? "SILENT" : "LEFT OUTPUT",
                      target.source.filename().c_str(), static_cast<unsigned long long>(position), bit);
        });
    std::printf("%-5s chunks: %5zu flips: detected %zu (status 7) + %zu (other status), harmless %zu, silent %zu, "
                "failed with output left %zu\n",
                std::string(CodecName(codec)).c_str(), counts.Total(), counts.detected, counts.other_status,
                counts.harmless, counts.silent, counts.left_output);
    all.detected += counts.detected;
    all.other_status += counts.other_status;
    all.harmless += counts.harmless;
    all.silent += counts.silent;
    all.left_output += counts.left_output;
  }

  {
    uint64_t reencoded_bytes = 0;
    for (const auto& target : targets) {
      for (const auto& range : target.coded) reencoded_bytes += range.reencoded ? range.length : 0;
    }
    const test::FlipCounts counts = test::FlipReencodedCampaign(
        targets, reencoded_flips, seed + 200, dir.path(),
        [](const test::FlipTarget& target, uint64_t position, int bit, test::FlipOutcome outcome) {
          std::printf("  %s: re-encoded, %s byte %llu bit %d\n",
                      outcome == test::FlipOutcome::kSilent ? "SILENT" : "LEFT OUTPUT", target.source.filename().c_str(),
                      static_cast<unsigned long long>(position), bit);
        });
    std::printf("re-encoded chunks (%llu bytes): %5zu flips: detected %zu (status 7) + %zu (other status), harmless "
                "%zu, silent %zu, failed with output left %zu\n",
                static_cast<unsigned long long>(reencoded_bytes), counts.Total(), counts.detected, counts.other_status,
                counts.harmless, counts.silent, counts.left_output);
    all.detected += counts.detected;
    all.other_status += counts.other_status;
    all.harmless += counts.harmless;
    all.silent += counts.silent;
    all.left_output += counts.left_output;
  }

  // The description: every byte of the metadata blocks and footers is equally likely. The
  // same flips in blocks as they were written before they carried checksums show what the
  // reading rules alone find; they are not counted in the target.
  std::vector<test::FlipTarget> without_checksums;
  for (const auto& target : targets) without_checksums.push_back(test::WithoutChecksums(target));
  for (const bool checksums : {true, false}) {
    const char* label = checksums ? "description" : "description written without checksums";
    const std::vector<test::FlipTarget>& flipped = checksums ? targets : without_checksums;
    uint64_t bytes_flipped = 0;
    for (const auto& target : flipped) bytes_flipped += target.description.length;
    const test::FlipCounts counts = test::FlipDescriptionCampaign(
        flipped, description_flips, seed + 100, dir.path(),
        [label](const test::FlipTarget& target, uint64_t position, int bit, test::FlipOutcome outcome) {
          std::printf("  %s: %s, %s byte %llu bit %d\n", outcome == test::FlipOutcome::kSilent ? "SILENT" : "LEFT OUTPUT",
                      label, target.source.filename().c_str(),
                      static_cast<unsigned long long>(position - target.description.offset), bit);
        });
    std::printf("%s (%llu bytes): %5zu flips: detected %zu (status 7) + %zu (other status), harmless %zu, "
                "silent %zu, failed with output left %zu\n",
                label, static_cast<unsigned long long>(bytes_flipped), counts.Total(), counts.detected,
                counts.other_status, counts.harmless, counts.silent, counts.left_output);
    if (!checksums) continue;
    all.detected += counts.detected;
    all.other_status += counts.other_status;
    all.harmless += counts.harmless;
    all.silent += counts.silent;
    all.left_output += counts.left_output;
  }
  std::printf("all         : %5zu flips: detected %zu (status 7) + %zu (other status), harmless %zu, silent %zu "
              "(target 0), output left %zu (target 0)\n",
              all.Total(), all.detected, all.other_status, all.harmless, all.silent, all.left_output);
  return all.silent == 0 && all.left_output == 0 ? 0 : 2;
}
