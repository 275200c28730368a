#include "tarn/file/metadata/chunk/image/calibration.hpp"

#include <gtest/gtest.h>
#include <json/reader.h>

#include "log_recorder.hpp"

namespace tarn {
namespace {

namespace nv = Brimlake::Nivra;
using chunk::image::Calibration;

Json::Value ParseJson(const std::string& text) {
  Json::Value json;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &json, &errors)) << errors;
  return json;
}

// Registry entries made by one test and removed afterwards.
class CalibrationWithRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override { nv::ParameterRegistry::clear(); }

  static void Register(const std::string& id, float black, unsigned white, const std::string& cfa = "kBayerRG") {
    nv::ParameterRegistry::set_parameters(id, std::make_shared<nv::ExtendedAnscombeParameters>(2.0F, black, 1.5F, white),
                                          cfa);
  }
  static const nv::ExtendedAnscombeParameters& Anscombe(const std::shared_ptr<nv::QuantizerParameters>& parameters) {
    return dynamic_cast<const nv::ExtendedAnscombeParameters&>(*parameters);
  }
};

TEST(CalibrationTest, ReadsEveryKeyAndTreatsNullAsAbsent) {
  const Calibration calibration = Calibration::FromJson(ParseJson(R"({
      "identifier": "Cam_ISO100", "gain": 1.5, "black_level": 64, "sigma": 2.25,
      "white_level": 4095, "cfa": "kBayerGB", "seed": 18446744073709551615, "error_bound": 0.5})"));
  EXPECT_EQ(calibration.identifier, "Cam_ISO100");
  EXPECT_EQ(calibration.gain, 1.5F);
  EXPECT_EQ(calibration.black_level, 64.0F);
  EXPECT_EQ(calibration.sigma, 2.25F);
  EXPECT_EQ(calibration.white_level, 4095U);
  EXPECT_EQ(calibration.cfa, nv::ColorFilterArray::kBayerGB);
  EXPECT_EQ(calibration.seed, UINT64_MAX);
  EXPECT_EQ(calibration.error_bound, 0.5F);

  EXPECT_EQ(Calibration::FromJson(ParseJson(R"({"gain": null, "cfa": null, "identifier": null})")), Calibration{});
  EXPECT_EQ(Calibration::FromJson(Json::Value()), Calibration{});
}

TEST(CalibrationTest, IgnoresColourFilterNamesThatAreNotExactEnumerators) {
  test::LogRecorder log;
  for (const char* name : {"BayerRG", "kbayerrg", "kBayerRG ", ""}) {
    Json::Value json;
    json["cfa"] = name;
    EXPECT_FALSE(Calibration::FromJson(json).cfa.has_value()) << name;
  }
  EXPECT_TRUE(log.Contains("Ignoring invalid CFA found in JSON: BayerRG."));
}

TEST(CalibrationTest, RefusesValuesOfTheWrongType) {
  for (const char* text : {R"({"gain": "1.5"})", R"({"white_level": -1})", R"({"white_level": 4294967296})",
                           R"({"seed": -5})", R"({"identifier": 12})", R"({"error_bound": true})", "[1]", "3"}) {
    EXPECT_THROW(Calibration::FromJson(ParseJson(text)), std::invalid_argument) << text;
  }
}

TEST(CalibrationTest, BuildsIdentifiersFromCameraAndIso) {
  Calibration calibration;
  calibration.SetIdentifier("A", "B", 400);
  EXPECT_EQ(calibration.identifier, "A_B_ISO400");
  calibration.SetIdentifier("Cam", 3200);
  EXPECT_EQ(calibration.identifier, "Cam_ISO3200");
  calibration.SetIdentifier("plain");
  EXPECT_EQ(calibration.identifier, "plain");
}

TEST(CalibrationTest, RecordWithoutIdentifierNeedsAllFourLevels) {
  Calibration calibration;
  calibration.gain = 2;
  calibration.black_level = 100;
  calibration.sigma = 1.5;
  EXPECT_EQ(calibration.TryBuildQuantizerParameters(), nullptr);
  EXPECT_EQ(calibration.TryBuildEmbeddedHeader(), nullptr);

  calibration.white_level = 4095;
  const auto parameters = calibration.TryBuildQuantizerParameters();
  ASSERT_NE(parameters, nullptr);
  const auto& anscombe = dynamic_cast<const nv::ExtendedAnscombeParameters&>(*parameters);
  EXPECT_EQ(anscombe.gain(), 2.0F);
  EXPECT_EQ(anscombe.black_level(), 100.0F);
  EXPECT_EQ(anscombe.sigma(), 1.5F);
  EXPECT_EQ(anscombe.white_level(), 4095U);
}

TEST(CalibrationTest, HeaderKindFollowsTheColourFilter) {
  Calibration calibration;
  calibration.gain = 2;
  calibration.black_level = 100;
  calibration.sigma = 1.5;
  calibration.white_level = 4095;
  calibration.seed = 42;

  auto mono = calibration.TryBuildEmbeddedHeader();
  ASSERT_NE(dynamic_cast<nv::MonochromeHeader*>(mono.get()), nullptr);
  EXPECT_EQ(mono->seed(), 42U);
  EXPECT_EQ(mono->error_bound(), 1.0F) << "the default error bound";

  calibration.cfa = nv::ColorFilterArray::kBayerBG;
  calibration.error_bound = 0.25F;
  auto colour = calibration.TryBuildEmbeddedHeader();
  auto* colour_header = dynamic_cast<nv::ColorHeader*>(colour.get());
  ASSERT_NE(colour_header, nullptr);
  EXPECT_EQ(colour_header->cfa(), nv::ColorFilterArray::kBayerBG);
  EXPECT_EQ(colour->error_bound(), 0.25F);
}

TEST(CalibrationTest, RandomSeedIsA32BitValue) {
  Calibration calibration;
  bool differs = false;
  uint64_t first = 0;
  for (int i = 0; i < 8; ++i) {
    calibration.RandomizeSeed();
    ASSERT_TRUE(calibration.seed.has_value());
    EXPECT_LE(*calibration.seed, UINT32_MAX);
    if (i == 0) first = *calibration.seed;
    differs = differs || *calibration.seed != first;
  }
  EXPECT_TRUE(differs);
}

TEST_F(CalibrationWithRegistryTest, BlackLevelFallsBackOnlyBeyondTwentyPercent) {
  Register("Cam_ISO100", 100, 4000);
  Calibration calibration;
  calibration.SetIdentifier("Cam", 100);

  calibration.black_level = 115;
  EXPECT_EQ(Anscombe(calibration.TryBuildQuantizerParameters()).black_level(), 100.0F);

  test::LogRecorder log;
  calibration.black_level = 125;
  EXPECT_EQ(Anscombe(calibration.TryBuildQuantizerParameters()).black_level(), 125.0F);
  EXPECT_TRUE(log.Contains("Fallback to calibration metadata black level: 125"));
}

TEST_F(CalibrationWithRegistryTest, WhiteLevelFallsBackOnlyBeyondTwentyPercent) {
  Register("Cam_ISO100", 100, 4000);
  Calibration calibration;
  calibration.identifier = "Cam_ISO100";
  calibration.white_level = 4700;
  EXPECT_EQ(Anscombe(calibration.TryBuildQuantizerParameters()).white_level(), 4000U);
  calibration.white_level = 3100;
  EXPECT_EQ(Anscombe(calibration.TryBuildQuantizerParameters()).white_level(), 3100U);
}

TEST_F(CalibrationWithRegistryTest, FallbacksNeverChangeTheRegistry) {
  Register("Cam_ISO100", 100, 4000);
  Calibration calibration;
  calibration.identifier = "Cam_ISO100";
  calibration.black_level = 300;
  calibration.white_level = 1000;
  const auto own = calibration.TryBuildQuantizerParameters();
  EXPECT_EQ(Anscombe(own).black_level(), 300.0F);

  // A later file without its own levels gets the registry's.
  const auto registered = nv::ParameterRegistry::get_parameters("Cam_ISO100");
  EXPECT_EQ(Anscombe(registered).black_level(), 100.0F);
  EXPECT_EQ(Anscombe(registered).white_level(), 4000U);
}

TEST_F(CalibrationWithRegistryTest, UnknownIdentifierGivesNoParametersEvenWithRecordLevels) {
  Calibration calibration;
  calibration.identifier = "Nobody_ISO1";
  calibration.gain = 2;
  calibration.black_level = 100;
  calibration.sigma = 1.5;
  calibration.white_level = 4095;
  EXPECT_EQ(calibration.TryBuildQuantizerParameters(), nullptr);
  EXPECT_EQ(calibration.TryBuildEmbeddedHeader(), nullptr);
}

TEST_F(CalibrationWithRegistryTest, ColourFilterComesFromTheRegistryWhenValid) {
  Register("Good_ISO100", 100, 4000, "kBayerGR");
  Register("Bad_ISO100", 100, 4000, "RGGB");
  Calibration calibration;
  calibration.cfa = nv::ColorFilterArray::kBayerBG;

  calibration.identifier = "Good_ISO100";
  EXPECT_EQ(calibration.TryBuildColorFilterArray(), nv::ColorFilterArray::kBayerGR);

  test::LogRecorder log;
  calibration.identifier = "Bad_ISO100";
  EXPECT_EQ(calibration.TryBuildColorFilterArray(), nv::ColorFilterArray::kBayerBG);
  EXPECT_TRUE(log.Contains("Found invalid CFA in registry: RGGB. Fallback to calibration metadata CFA."));
}

}  // namespace
}  // namespace tarn
