// Every shared real sample file must come back byte for byte through the C interface.
#include <gtest/gtest.h>

#include "tarn/tarn.h"
#include "test_util.hpp"

namespace {

namespace fs = std::filesystem;

TEST(RealFilesTest, CompressAndDecompressRestoreEveryByte) {
  const fs::path fixtures = tarn::test::FixturesDir();
  if (fixtures.empty()) GTEST_SKIP() << "shared sample files not found";
  tarn::test::TempDir dir;
  TarnSetLogLevel(4);  // readers may warn about unusual files; only failures matter here
  size_t checked = 0;
  for (const auto& item : fs::directory_iterator(fixtures)) {
    if (!item.is_regular_file() || item.path().extension() == ".md") continue;
    const fs::path compressed = dir / (item.path().filename().string() + ".nivra");
    const fs::path restored = dir / ("restored" + item.path().extension().string());
    ASSERT_EQ(TarnCompressFile(item.path().c_str(), compressed.c_str(), nullptr), kTarnStatusOk) << item.path();
    ASSERT_EQ(TarnDecompressFile(compressed.c_str(), restored.c_str(), nullptr), kTarnStatusOk) << item.path();
    EXPECT_TRUE(tarn::test::ReadFile(restored) == tarn::test::ReadFile(item.path())) << item.path();
    fs::remove(compressed);
    ++checked;
  }
  TarnSetLogLevel(2);
  EXPECT_GT(checked, 0u);
}

}  // namespace
