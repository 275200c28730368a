// The `tarn` command as a user runs it.
#include <sys/wait.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "test_util.hpp"

namespace {

namespace fs = std::filesystem;
using tarn::test::ReadFile;
using tarn::test::WriteFile;

struct Result {
  int status;
  std::string output;  // standard output and standard error together
};

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(TARN_TOOL_PATH)) GTEST_SKIP() << "tarn program not built";
  }

  Result Run(const std::string& arguments) {
    const std::string command = "cd '" + dir_.path().string() + "' && '" TARN_TOOL_PATH "' " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  }

  tarn::test::TempDir dir_;
};

TEST_F(ToolTest, CompressInfoDecompress) {
  const std::string bytes = tarn::test::TextLikeBytes(300000);
  WriteFile(dir_ / "a.tif", bytes);
  WriteFile(dir_ / "b.tif", bytes.substr(1000));
  Result result = Run("compress a.tif b.tif");
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(fs::exists(dir_ / "a.tif.nivra"));
  EXPECT_TRUE(fs::exists(dir_ / "a.tif"));  // the source is kept

  result = Run("info a.tif.nivra");
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("Zstd"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("300000"), std::string::npos) << result.output;

  fs::rename(dir_ / "a.tif", dir_ / "original.tif");
  result = Run("decompress a.tif.nivra");
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(ReadFile(dir_ / "a.tif"), bytes);
  result = Run("decompress b.tif.nivra -o c.tif");
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(ReadFile(dir_ / "c.tif"), bytes.substr(1000));
}

TEST_F(ToolTest, NeverOverwritesWithoutForce) {
  WriteFile(dir_ / "a.tif", "first");
  ASSERT_EQ(Run("compress a.tif").status, 0);
  WriteFile(dir_ / "a.tif", "second");
  const Result refused = Run("compress a.tif");
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.output.find("-f"), std::string::npos) << refused.output;
  ASSERT_EQ(Run("decompress a.tif.nivra -o out.tif").status, 0);
  EXPECT_EQ(ReadFile(dir_ / "out.tif"), "first");

  ASSERT_EQ(Run("compress -f a.tif").status, 0);
  EXPECT_NE(Run("decompress a.tif.nivra -o out.tif").status, 0);
  ASSERT_EQ(Run("decompress -f a.tif.nivra -o out.tif").status, 0);
  EXPECT_EQ(ReadFile(dir_ / "out.tif"), "second");
}

TEST_F(ToolTest, FailuresExitNonZeroWithTheStatusText) {
  WriteFile(dir_ / "garbage.nivra", tarn::test::RandomBytes(3000));
  Result result = Run("decompress garbage.nivra");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.output.find("Invalid file content."), std::string::npos) << result.output;
  EXPECT_FALSE(fs::exists(dir_ / "garbage"));

  EXPECT_EQ(Run("compress missing.tif").status, 1);
  EXPECT_EQ(Run("frobnicate x").status, 1);
  EXPECT_EQ(Run("compress").status, 1);
  EXPECT_EQ(Run("info garbage.nivra").status, 1);
  WriteFile(dir_ / "x.nivra", "abc");
  EXPECT_NE(Run("compress x.nivra").output.find("already has .nivra suffix"), std::string::npos);
  WriteFile(dir_ / "plain.bin", "abc");
  EXPECT_EQ(Run("decompress plain.bin").status, 1);
  // One failing file among good ones still fails the run, and the good ones are done.
  WriteFile(dir_ / "good.bin", "abc");
  EXPECT_EQ(Run("compress good.bin missing.bin").status, 1);
  EXPECT_TRUE(fs::exists(dir_ / "good.bin.nivra"));
  EXPECT_EQ(Run("--help").status, 0);
  EXPECT_NE(Run("--version").output.find("6.2.0"), std::string::npos);
}

TEST_F(ToolTest, CalibrationOption) {
  WriteFile(dir_ / "a.bin", "abc");
  EXPECT_EQ(Run("compress --calibration missing-folder-or-file a.bin").status, 1);
  WriteFile(dir_ / "cam.json", R"({"make":"A","model":"B","isoData":[{"iso":100,"blackLevel":1,"gain":1,"noise":1}]})");
  EXPECT_EQ(Run("compress --calibration cam.json a.bin").status, 0);
}

}  // namespace
