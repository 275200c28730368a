// Samples of single-bit flips inside real compressed files, in their coded chunks and in
// their descriptions (metadata block and footer): none may restore with success and
// different bytes (bench/integrity runs the full campaign).
#include <gtest/gtest.h>

#include "bit_flips.hpp"

namespace tarn::test {
namespace {

class BitFlips : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto fixtures = FixturesDir();
    if (fixtures.empty()) GTEST_SKIP() << "the shared sample files are absent";
    TarnSetLogLevel(6);  // every detected flip would log an error
    // Small samples holding both kinds of coded chunks: 16-bit planes (Nivra), 8-bit and
    // container bytes (Zstd), an ND2 with interleaved channels.
    for (const char* name : {"tif-pyimagej-test_image.tif", "tif-pillow-16bit.MM.cropped.tif",
                             "tif-czitools-CH3_Fluorescence_8bit.tif", "nd2-pims-cluster.nd2"}) {
      targets_.push_back(CompressForFlips(fixtures / name, dir_.path()));
    }
  }
  void TearDown() override { TarnSetLogLevel(2); }

  void ExpectAllFound(const FlipCounts& counts, size_t flips, const char* where) {
    EXPECT_EQ(counts.Total(), flips) << where;
    EXPECT_EQ(counts.detected + counts.harmless, flips) << where << ": damage is status 7";
    EXPECT_EQ(counts.silent, 0u) << where;
    EXPECT_EQ(counts.left_output, 0u) << where;
  }

  static void Report(const FlipTarget& target, uint64_t position, int bit, FlipOutcome outcome) {
    ADD_FAILURE() << target.source.filename() << " byte " << position << " bit " << bit
                  << (outcome == FlipOutcome::kSilent ? ": restored other bytes with success"
                                                      : ": failed but left an output");
  }

  TempDir dir_;
  std::vector<FlipTarget> targets_;
};

TEST_F(BitFlips, NoFlipInACodedChunkRestoresWrongBytesWithSuccess) {
  for (const Codec codec : {Codec::Nivra, Codec::Zstd}) {
    ExpectAllFound(FlipCampaign(targets_, codec, 150, 20240601, dir_.path(), Report), 150,
                   std::string(CodecName(codec)).c_str());
  }
}

TEST_F(BitFlips, NoFlipInTheDescriptionRestoresWrongBytesWithSuccess) {
  const FlipCounts counts = FlipDescriptionCampaign(targets_, 300, 20240602, dir_.path(), Report);
  ExpectAllFound(counts, 300, "description");
  // Only a flip in the name of the checksum's own key leaves a block that reads correctly.
  EXPECT_LE(counts.harmless, 10u);
}

}  // namespace
}  // namespace tarn::test
