// `tarn calibrate` and the calibrations every command finds, as a new user meets them:
// a time series without calibration, measured, then prepared with what was measured.
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "readers/tiff_writer.hpp"
#include "test_util.hpp"

namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string output;  // standard output and standard error together
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CalibrateToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(TARN_TOOL_PATH)) GTEST_SKIP() << "tarn program not built";
    fixtures_ = tarn::test::FixturesDir();
    if (fixtures_.empty()) GTEST_SKIP() << "shared samples absent";
    fs::copy_file(fixtures_ / "nd2-arcadia-timelapse.nd2", dir_ / "series.nd2");
  }

  // `tarn ARGUMENTS` in the test's folder, with the user's calibration folder inside it.
  Result Run(const std::string& arguments) {
    const std::string command = "cd '" + dir_.path().string() + "' && XDG_CONFIG_HOME='" + (dir_ / "config").string() +
                                "' '" TARN_TOOL_PATH "' " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  }

  fs::path UserCalibration(const std::string& name) const { return dir_ / "config" / "nivra" / (name + ".json"); }

  tarn::test::TempDir dir_;
  fs::path fixtures_;
};

TEST_F(CalibrateToolTest, MeasuredCalibrationIsFoundByPrepare) {
  // Without a calibration, prepare names what it looked for and where.
  Result result = Run("compress --prepare --calibration-id Series series.nd2");
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_TRUE(Contains(result.output, "\"Series\" (not loaded)")) << result.output;
  EXPECT_TRUE(Contains(result.output, (dir_ / "config" / "nivra").string() + " (missing)")) << result.output;
  EXPECT_TRUE(Contains(result.output, "tarn calibrate")) << result.output;
  EXPECT_FALSE(fs::exists(dir_ / "series.nd2.nivra"));

  result = Run("calibrate series.nd2 --id Series");
  ASSERT_EQ(result.status, 0) << result.output;
  const std::string path = UserCalibration("Series").string();
  for (const std::string& part : {std::string("gain"), std::string("black level"), std::string("read noise"),
                                  std::string("white level"), std::string("rms deviation"),
                                  std::string("--prepare at error bound 1"), std::string("lossless"), path}) {
    EXPECT_TRUE(Contains(result.output, part)) << part << "\n" << result.output;
  }
  const std::string written = tarn::test::ReadFile(UserCalibration("Series"));
  EXPECT_TRUE(Contains(written, "nd2-arcadia-timelapse.nd2") || Contains(written, "series.nd2")) << written;

  // Never replaced without -f.
  result = Run("calibrate series.nd2 --id Series");
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(Contains(result.output, "already exists; use -f")) << result.output;
  EXPECT_EQ(tarn::test::ReadFile(UserCalibration("Series")), written);
  EXPECT_EQ(Run("calibrate series.nd2 --id Series -f").status, 0);

  // Every command loads the user's folder: prepare finds it without --calibration.
  result = Run("compress --prepare --calibration-id Series series.nd2");
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(Contains(result.output, "lossy")) << result.output;
  result = Run("test series.nd2.nivra");
  EXPECT_EQ(result.status, 0) << result.output;
}

TEST_F(CalibrateToolTest, RefusalsWriteNothing) {
  ASSERT_EQ(Run("calibrate series.nd2 -o measured.json --id Series").status, 0);
  ASSERT_EQ(Run("prepare --calibration measured.json --calibration-id Series series.nd2").status, 0);
  fs::copy_file(fixtures_ / "tif-czitools-CH3_Fluorescence_8bit.tif", dir_ / "eight.tif");
  fs::copy_file(fixtures_ / "tif-pillow-16bit.MM.cropped.tif", dir_ / "small.tif");
  const struct {
    const char* arguments;
    const char* reason;
  } cases[] = {
      {"calibrate series.prepared.nd2 --id Again", "already prepared"},
      {"calibrate eight.tif --id Eight", "no uncompressed 16-bit image planes"},
      {"calibrate small.tif --id Small", "cannot estimate the noise model"},
      {"calibrate series.nd2", "give --id NAME"},
  };
  for (const auto& c : cases) {
    const Result result = Run(c.arguments);
    EXPECT_EQ(result.status, 1) << c.arguments << "\n" << result.output;
    EXPECT_TRUE(Contains(result.output, c.reason)) << c.arguments << "\n" << result.output;
  }
  EXPECT_FALSE(fs::exists(dir_ / "config")) << "a refused calibration wrote a file";
}

// A raw camera TIFF (make, model, ISO, RGGB mosaic, black and white level) of a gradient
// scene: calibrated without --id under the camera's own identifier, which prepare then
// finds by itself.
TEST(CalibrateCameraTest, CameraFilesGetTheCamerasIdentifier) {
  if (!fs::exists(TARN_TOOL_PATH)) GTEST_SKIP() << "tarn program not built";
  tarn::test::TempDir dir;
  tarn::test::TiffPage page;
  page.width = page.height = 256;
  page.photometric = 32803;  // CFA
  page.make = "Acme";
  page.model = "X100";
  page.iso = 400;
  page.cfa = {0, 1, 1, 2};
  page.black = {64};
  page.white = {4095};
  const fs::path raw = dir / "raw.tif";
  tarn::test::WriteTiff(raw, {page});
  // The pixels: black + 0.8 DN/e- × Poisson + read noise 2, written over the strip.
  TIFF* tiff = TIFFOpen(raw.string().c_str(), "r");
  ASSERT_NE(tiff, nullptr);
  uint64_t* offsets = nullptr;
  ASSERT_EQ(TIFFGetField(tiff, TIFFTAG_STRIPOFFSETS, &offsets), 1);
  const uint64_t offset = offsets[0];
  TIFFClose(tiff);
  std::mt19937_64 random(3);
  std::normal_distribution<double> read(0, 2);
  std::vector<uint16_t> pixels(256 * 256);
  for (uint32_t y = 0; y < 256; ++y) {
    for (uint32_t x = 0; x < 256; ++x) {
      const double electrons = (50 + 4000.0 * x / 256) * ((x % 2 == 1 && y % 2 == 1) ? 0.5 : 1.0);
      std::poisson_distribution<int> shot(electrons);
      pixels[y * 256 + x] = static_cast<uint16_t>(std::clamp(std::round(64 + 0.8 * shot(random) + read(random)), 0.0, 4095.0));
    }
  }
  {
    std::fstream file(raw, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(reinterpret_cast<const char*>(pixels.data()), static_cast<std::streamsize>(pixels.size() * 2));
  }
  const std::string environment = "cd '" + dir.path().string() + "' && XDG_CONFIG_HOME='" + (dir / "config").string() + "' '" TARN_TOOL_PATH "' ";
  auto run = [&](const std::string& arguments) {
    FILE* pipe = popen((environment + arguments + " 2>&1").c_str(), "r");
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  };
  Result result = run("calibrate raw.tif");
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(Contains(result.output, "black level  64 DN (from given")) << result.output;
  EXPECT_TRUE(Contains(result.output, "white level  4095 (from given)")) << result.output;
  const std::string written = tarn::test::ReadFile(dir / "config" / "nivra" / "Acme_X100_ISO400.json");
  EXPECT_TRUE(Contains(written, "\"kBayerRG\"")) << written;
  result = run("prepare raw.tif");
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(Contains(result.output, "prepared 1 image")) << result.output;
}

}  // namespace
