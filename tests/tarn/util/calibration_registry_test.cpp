#include "tarn/util/calibration_registry.hpp"

#include <gtest/gtest.h>

#include "test_util.hpp"

namespace Brimlake::Nivra {
namespace {

using tarn::test::TempDir;
using tarn::test::WriteFile;

constexpr const char* kPellum = R"({
  "make": "Acme", "model": "X100", "cfa": "kBayerRG", "whiteLevel": 4095,
  "isoData": [
    {"iso": 100, "blackLevel": 256, "gain": 0.8, "noise": 2.5},
    {"iso": 400, "blackLevel": 260, "gain": 3.2, "noise": 4.0}
  ]
})";

constexpr const char* kOwnFormat = R"({
  "format": "nivra-calibration", "version": 1,
  "cameras": [{"identifier": "Own_Camera_ISO200", "gain": 1.5, "black_level": 64, "sigma": 1.9, "white_level": 1023}]
})";

class CalibrationLoadingTest : public ::testing::Test {
 protected:
  void SetUp() override { ParameterRegistry::clear(); }
  void TearDown() override { ParameterRegistry::clear(); }
  TempDir dir_;
};

TEST_F(CalibrationLoadingTest, PellumEntriesBecomeIdentifiers) {
  WriteFile(dir_ / "acme.json", kPellum);
  EXPECT_EQ(ParameterRegistry::LoadPellumJson(dir_ / "acme.json"), 2u);
  const auto parameters =
      std::dynamic_pointer_cast<ExtendedAnscombeParameters>(ParameterRegistry::get_parameters("Acme_X100_ISO400"));
  ASSERT_NE(parameters, nullptr);
  EXPECT_FLOAT_EQ(parameters->gain(), 3.2f);
  EXPECT_FLOAT_EQ(parameters->black_level(), 260.f);
  EXPECT_FLOAT_EQ(parameters->sigma(), 4.0f);
  EXPECT_EQ(parameters->white_level(), 4095u);
  EXPECT_EQ(ParameterRegistry::get_cfa("Acme_X100_ISO100"), "kBayerRG");
  EXPECT_NE(ParameterRegistry::get_metadata("Acme_X100_ISO100"), "");
}

TEST_F(CalibrationLoadingTest, MalformedPellumFilesAddNothing) {
  const std::string bad_files[] = {
      R"({"make": "A", "model": "B", "isoData": []})",
      R"({"make": "A", "model": "B", "isoData": [{"iso": 100, "blackLevel": 1, "gain": 0, "noise": 1}]})",
      R"({"make": "A", "model": "B", "isoData": [{"iso": 100, "blackLevel": 1, "gain": 1}]})",
      R"({"make": "A", "model": "B", "cfa": "BayerRG", "isoData": [{"iso": 1, "blackLevel": 1, "gain": 1, "noise": 1}]})",
      R"({"make": "A", "model": "B", "isoData": [{"iso": 1, "blackLevel": 1, "gain": 1, "noise": 1},
                                                  {"iso": 2, "blackLevel": 99999, "gain": 1, "noise": 1}]})",
      R"({"model": "B", "isoData": [{"iso": 1, "blackLevel": 1, "gain": 1, "noise": 1}]})",
      R"({"make": "A", "model": "B", "isoData": [{"iso": 1, "blackLevel": 1, "gain": 1, "noise": 1},
                                                  {"iso": 1, "blackLevel": 1, "gain": 1, "noise": 1}]})",
  };
  for (const std::string& text : bad_files) {
    WriteFile(dir_ / "bad.json", text);
    EXPECT_THROW(ParameterRegistry::LoadPellumJson(dir_ / "bad.json"), std::exception) << text;
    EXPECT_TRUE(ParameterRegistry::get_identifiers().empty()) << text;
  }
}

TEST_F(CalibrationLoadingTest, FolderSkipsBadFilesAndOtherNames) {
  WriteFile(dir_ / "a-acme.json", kPellum);
  WriteFile(dir_ / "b-own.JSON", kOwnFormat);
  WriteFile(dir_ / "c-broken.json", "{ broken");
  WriteFile(dir_ / "d-notes.txt", kPellum);
  WriteFile(dir_ / ".hidden.json", kOwnFormat);
  EXPECT_EQ(ParameterRegistry::LoadFolder(dir_.path()), 2);
  EXPECT_EQ(ParameterRegistry::get_identifiers().size(), 3u);
  EXPECT_NE(ParameterRegistry::get_parameters("Own_Camera_ISO200"), nullptr);

  ParameterRegistry::clear();
  EXPECT_EQ(ParameterRegistry::LoadPath(dir_.path()), 2);
  EXPECT_EQ(ParameterRegistry::LoadPath(dir_ / "b-own.JSON"), 1);
  EXPECT_THROW(ParameterRegistry::LoadPath(dir_ / "c-broken.json"), std::exception);
  EXPECT_THROW(ParameterRegistry::LoadPath(dir_ / "missing.json"), std::exception);
  EXPECT_EQ(ParameterRegistry::LoadFolder(dir_ / "missing"), 0);
}

TEST_F(CalibrationLoadingTest, DefaultLocationsFollowXdg) {
  TempDir config;
  std::filesystem::create_directories(config / "nivra");
  WriteFile(config / "nivra" / "acme.json", kPellum);
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  const int loaded = ParameterRegistry::DefaultInitialize();
  if (old) setenv("XDG_CONFIG_HOME", saved.c_str(), 1); else unsetenv("XDG_CONFIG_HOME");
  EXPECT_GE(loaded, 1);
  EXPECT_NE(ParameterRegistry::get_parameters("Acme_X100_ISO100"), nullptr);
}

}  // namespace
}  // namespace Brimlake::Nivra
