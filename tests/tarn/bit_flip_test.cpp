// A sample of single-bit flips inside the coded chunks of real compressed files: none
// may restore with success and different bytes (bench/integrity runs the full campaign).
#include <gtest/gtest.h>

#include "bit_flips.hpp"

namespace tarn::test {
namespace {

TEST(BitFlips, NoFlipInACodedChunkRestoresWrongBytesWithSuccess) {
  const auto fixtures = FixturesDir();
  if (fixtures.empty()) GTEST_SKIP() << "the shared sample files are absent";
  TempDir dir;
  TarnSetLogLevel(6);  // every detected flip would log an error
  std::vector<FlipTarget> targets;
  // Small samples holding both kinds of coded chunks: 16-bit planes (Nivra), 8-bit and
  // container bytes (Zstd), an ND2 with interleaved channels.
  for (const char* name : {"tif-pyimagej-test_image.tif", "tif-pillow-16bit.MM.cropped.tif",
                           "tif-czitools-CH3_Fluorescence_8bit.tif", "nd2-pims-cluster.nd2"}) {
    targets.push_back(CompressForFlips(fixtures / name, dir.path()));
  }
  for (const Codec codec : {Codec::Nivra, Codec::Zstd}) {
    const FlipCounts counts =
        FlipCampaign(targets, codec, 150, 20240601, dir.path(), [&](const FlipTarget& target, uint64_t position,
                                                                     int bit, FlipOutcome outcome) {
          ADD_FAILURE() << target.source.filename() << " byte " << position << " bit " << bit
                        << (outcome == FlipOutcome::kSilent ? ": restored other bytes with success"
                                                            : ": failed but left an output");
        });
    EXPECT_EQ(counts.Total(), 150u) << CodecName(codec);
    EXPECT_EQ(counts.detected + counts.harmless, 150u) << CodecName(codec) << ": damage is status 7";
    EXPECT_EQ(counts.silent, 0u) << CodecName(codec);
    EXPECT_EQ(counts.left_output, 0u) << CodecName(codec);
  }
  TarnSetLogLevel(2);
}

}  // namespace
}  // namespace tarn::test
