// Outputs on file systems that refuse them: the status says so (6), the message names
// the path and the system's reason, and what was at the destination before stays.
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "tarn/error.hpp"
#include "tarn/tarn.h"
#include "test_util.hpp"

namespace {

namespace fs = std::filesystem;
using tarn::test::ReadFile;
using tarn::test::WriteFile;

// Writes zeros until the file system is full.
void Fill(const fs::path& path) {
  std::ofstream out(path, std::ios::binary);
  const std::string block(4096, '\0');
  while (out.write(block.data(), static_cast<std::streamsize>(block.size())) && out.flush()) {
  }
}

struct Case {
  const char* name;
  bool read_only;           // else full
  const char* reason;       // strerror text the message must carry
  bool json_side_file;      // the side file is what lands on the failing file system
  bool decompress;
};

class WriteFailures : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    mount_ = dir_ / "mount";
    fs::create_directory(mount_);
    if (geteuid() != 0 || mount("tarn-test", mount_.c_str(), "tmpfs", 0, "size=256k") != 0) {
      GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(mount_.c_str(), MNT_DETACH);
  }

  tarn::test::TempDir dir_;
  fs::path mount_;
  bool mounted_ = false;
};

TEST_P(WriteFailures, StatusSixNamesTheReasonAndKeepsTheOldFile) {
  const Case& c = GetParam();
  const std::string bytes = tarn::test::RandomBytes(600000);
  const fs::path source = dir_ / "source.bin";
  WriteFile(source, bytes);
  const fs::path compressed = dir_ / "source.bin.nivra";
  ASSERT_EQ(TarnCompressFile(source.c_str(), compressed.c_str(), nullptr), kTarnStatusOk);

  const fs::path target = mount_ / (c.json_side_file ? "side.json" : "output");
  WriteFile(target, "what was here before");
  if (c.read_only) {
    ASSERT_EQ(mount("tarn-test", mount_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=256k"), 0) << errno;
  } else {
    Fill(mount_ / "filler");
  }

  TarnStatus status;
  if (c.decompress) {
    status = TarnDecompressFile(compressed.c_str(), target.c_str(), nullptr);
  } else if (c.json_side_file) {
    status = TarnCompressFile(source.c_str(), (dir_ / "other.nivra").c_str(), target.c_str());
  } else {
    status = TarnCompressFile(source.c_str(), target.c_str(), nullptr);
  }
  EXPECT_EQ(status, kTarnStatusCouldNotWriteFile);
  const std::string message = tarn::LastErrorMessage();
  EXPECT_NE(message.find(target.string()), std::string::npos) << message;
  EXPECT_NE(message.find(c.reason), std::string::npos) << message;
  EXPECT_EQ(ReadFile(target), "what was here before");
  for (const auto& item : fs::directory_iterator(mount_)) {
    EXPECT_EQ(item.path().filename().string().find(".tarn-"), std::string::npos) << "left behind: " << item.path();
  }
}

INSTANTIATE_TEST_SUITE_P(
    FileSystems, WriteFailures,
    ::testing::Values(Case{"FullDiskCompress", false, "No space left on device", false, false},
                      Case{"FullDiskDecompress", false, "No space left on device", false, true},
                      Case{"FullDiskSideFile", false, "No space left on device", true, false},
                      Case{"ReadOnlyCompress", true, "Read-only file system", false, false},
                      Case{"ReadOnlySideFile", true, "Read-only file system", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
