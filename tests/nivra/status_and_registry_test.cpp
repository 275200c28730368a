// Status texts, colour-filter names, directories and the calibration registry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "nivra/nivra.hpp"

namespace Nivra = Brimlake::Nivra;
namespace fs = std::filesystem;

TEST(Status, DescriptionsAreTheFixedTexts) {
  const std::pair<bm_status, const char*> rows[] = {
      {0, "Ok."},
      {1, "Memory allocation failed."},
      {2, "Missing initialization."},
      {3, "Unknown error."},
      {5, "Could not read file."},
      {6, "Could not write file."},
      {7, "Invalid file content."},
      {8, "No parameters for given identifier."},
      {9, "Parameters cannot be used in given context"},
      {10, "Image has too few pixels for reliable preparation."},
      {11, "Parameter is out of range."},
      {17, "The image data is invalid or not compatible with nivra compression."},
      {18, "No CFA enum exists with the given string."},
  };
  for (auto [status, text] : rows) EXPECT_STREQ(bm_status_description(status), text) << status;
  for (bm_status unknown : {4, 12, 16, 19, -1}) EXPECT_STREQ(bm_status_description(unknown), "Unknown error.");
  Nivra::NivraError error(BM_NO_SUCH_CFA);
  EXPECT_EQ(error.status(), BM_NO_SUCH_CFA);
  EXPECT_STREQ(error.what(), "No CFA enum exists with the given string.");
}

TEST(ColorFilterArrayNames, RoundTripAndExactMatch) {
  for (auto cfa : {Nivra::ColorFilterArray::kMono, Nivra::ColorFilterArray::kBayerRG, Nivra::ColorFilterArray::kBayerGR,
                   Nivra::ColorFilterArray::kBayerBG, Nivra::ColorFilterArray::kBayerGB}) {
    EXPECT_EQ(Nivra::ColorFilterArrayFromName(Nivra::ColorFilterArrayName(cfa)), cfa);
  }
  EXPECT_STREQ(Nivra::ColorFilterArrayName(Nivra::ColorFilterArray::kBayerGB), "kBayerGB");
  EXPECT_FALSE(Nivra::ColorFilterArrayFromName("BayerRG"));
  EXPECT_FALSE(Nivra::ColorFilterArrayFromName("kbayerrg"));
  EXPECT_FALSE(Nivra::ColorFilterArrayFromName(""));
}

TEST(Util, ConfigDirectoryFollowsXdg) {
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  std::string saved_value = saved ? saved : "";
  setenv("XDG_CONFIG_HOME", "/some/where", 1);
  EXPECT_EQ(Nivra::Util::config_data_dir(), "/some/where/nivra");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_NE(Nivra::Util::config_data_dir(), "relative/nivra");
  EXPECT_TRUE(Nivra::Util::config_data_dir().ends_with(".config/nivra"));
  if (saved) setenv("XDG_CONFIG_HOME", saved_value.c_str(), 1); else unsetenv("XDG_CONFIG_HOME");
  EXPECT_TRUE(Nivra::Util::nivra_dir().ends_with("share/nivra"));
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    Nivra::ParameterRegistry::clear();
    dir_ = fs::temp_directory_path() / ("nivra_registry_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    Nivra::ParameterRegistry::clear();
    fs::remove_all(dir_);
  }
  fs::path Write(const std::string& name, const std::string& text) {
    fs::path path = dir_ / name;
    std::ofstream(path) << text;
    return path;
  }
  fs::path dir_;
};

TEST_F(Registry, SetGetClear) {
  auto p = std::make_shared<Nivra::ExtendedAnscombeParameters>(1.5f, 100.0f, 2.0f, 4095u);
  Nivra::ParameterRegistry::set_parameters("A_B_ISO100", p, "kBayerRG", "described");
  EXPECT_EQ(Nivra::ParameterRegistry::get_parameters("A_B_ISO100"), p);
  EXPECT_EQ(Nivra::ParameterRegistry::get_cfa("A_B_ISO100"), "kBayerRG");
  EXPECT_EQ(Nivra::ParameterRegistry::get_metadata("A_B_ISO100"), "described");
  EXPECT_EQ(Nivra::ParameterRegistry::get_identifiers(), std::vector<std::string>{"A_B_ISO100"});
  EXPECT_EQ(Nivra::ParameterRegistry::get_parameters("missing"), nullptr);
  EXPECT_EQ(Nivra::ParameterRegistry::get_cfa("missing"), "");
  Nivra::ParameterRegistry::clear();
  EXPECT_TRUE(Nivra::ParameterRegistry::get_identifiers().empty());
}

TEST_F(Registry, LoadsCalibrationFile) {
  auto path = Write("cams.json", R"({"format": "nivra-calibration", "version": 1, "cameras": [
      {"identifier": "Cam_X_ISO200", "cfa": "kBayerGB", "gain": 0.8, "black_level": 64,
       "sigma": 1.7, "white_level": 4095, "metadata": "bench camera"},
      {"identifier": "Scope_Y", "gain": 2, "black_level": 100, "sigma": 3.5, "white_level": 65535}]})");
  EXPECT_EQ(Nivra::ParameterRegistry::load_file(path), 2u);
  auto p = std::dynamic_pointer_cast<Nivra::ExtendedAnscombeParameters>(
      Nivra::ParameterRegistry::get_parameters("Cam_X_ISO200"));
  ASSERT_TRUE(p);
  EXPECT_EQ(*p, Nivra::ExtendedAnscombeParameters(0.8f, 64.0f, 1.7f, 4095u));
  EXPECT_EQ(Nivra::ParameterRegistry::get_cfa("Cam_X_ISO200"), "kBayerGB");
  EXPECT_EQ(Nivra::ParameterRegistry::get_cfa("Scope_Y"), "kMono");
  EXPECT_EQ(Nivra::ParameterRegistry::get_metadata("Cam_X_ISO200"), "bench camera");
  EXPECT_NE(Nivra::ParameterRegistry::get_metadata("Scope_Y").find("Scope_Y"), std::string::npos);
}

TEST_F(Registry, RefusesBadFilesWithoutPartialLoads) {
  auto status_of = [](const fs::path& path) {
    try {
      Nivra::ParameterRegistry::load_file(path);
    } catch (const Nivra::NivraError& e) {
      return e.status();
    }
    return bm_status{BM_OK};
  };
  EXPECT_EQ(status_of(dir_ / "absent.json"), BM_COULD_NOT_READ_FILE);
  EXPECT_EQ(status_of(Write("garbage.json", "{not json")), BM_INVALID_FILE_CONTENT);
  EXPECT_EQ(status_of(Write("empty.json", "")), BM_INVALID_FILE_CONTENT);
  EXPECT_EQ(status_of(Write("other.json", R"({"cameras": []})")), BM_INVALID_FILE_CONTENT);
  const std::string head = R"({"format": "nivra-calibration", "version": 1, "cameras": [
      {"identifier": "Good", "gain": 1, "black_level": 0, "sigma": 1, "white_level": 255}, )";
  for (std::string bad : {R"({"identifier": "Bad", "gain": -1, "black_level": 0, "sigma": 1, "white_level": 255})",
                          R"({"identifier": "Bad", "gain": 1, "black_level": 0, "sigma": 1, "white_level": 70000})",
                          R"({"identifier": "Bad", "gain": 1, "black_level": 0, "sigma": 1, "white_level": 255, "cfa": "RGGB"})",
                          R"({"identifier": "", "gain": 1, "black_level": 0, "sigma": 1, "white_level": 255})",
                          R"({"identifier": "Good", "gain": 1, "black_level": 0, "sigma": 1, "white_level": 255})",
                          R"({"identifier": "Bad", "gain": "1", "black_level": 0, "sigma": 1, "white_level": 255})"}) {
    EXPECT_EQ(status_of(Write("bad.json", head + bad + "]}")), BM_INVALID_FILE_CONTENT) << bad;
    EXPECT_TRUE(Nivra::ParameterRegistry::get_identifiers().empty()) << bad;
  }
}

TEST_F(Registry, ConcurrentUseIsSafe) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 2000; ++i) {
        std::string id = "cam" + std::to_string((t * 7 + i) % 50);
        Nivra::ParameterRegistry::set_parameters(
            id, std::make_shared<Nivra::ExtendedAnscombeParameters>(1.0f, 0.0f, 1.0f, 255u));
        Nivra::ParameterRegistry::get_parameters(id);
        Nivra::ParameterRegistry::get_identifiers();
        if (i % 500 == 0) Nivra::ParameterRegistry::clear();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_LE(Nivra::ParameterRegistry::get_identifiers().size(), 50u);
}
