// Image chunks described by a metadata side file, through the whole-file operations.
#include <gtest/gtest.h>

#include "image_samples.hpp"
#include "nivra/nivra.hpp"
#include "tarn/error.hpp"
#include "tarn/file/file.hpp"
#include "tarn/tarn.h"
#include "test_util.hpp"

namespace tarn {
namespace {

namespace nv = Brimlake::Nivra;
constexpr Options kReplace = Options::KeepDestinationName | Options::Overwrite;

// A file with a header, a big-endian 16-bit image, an RGB interleaved image and a
// trailer, and the side file that describes it the way a user would write it.
class ImageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string header = test::TextLikeBytes(512);
    const std::string mono = test::CameraBytes(160 * 120, 160, std::endian::big);
    const std::string rgb = test::CameraBytes(3 * 96 * 64, 3 * 96);
    const std::string trailer = test::TextLikeBytes(333);
    bytes_ = header + mono + rgb + trailer;
    test::WriteFile(source_, bytes_);

    Json::Value json;
    json["version"] = 4;
    json["length"] = Json::UInt64{bytes_.size()};
    json["decoded_length"] = Json::UInt64{bytes_.size()};
    Json::Value& chunks = json["chunks"];
    uint64_t offset = 0;
    const auto add = [&](Json::Value chunk, uint64_t length) {
      chunk["codec"] = 0;
      chunk["length"] = Json::UInt64{length};
      chunk["offset"] = Json::UInt64{offset};
      chunks.append(chunk);
      offset += length;
    };
    Json::Value opaque;
    opaque["decoded_length"] = Json::UInt64{header.size()};
    add(opaque, header.size());
    Json::Value image;
    image["width"] = 160;
    image["height"] = 120;
    image["bytes_per_pixel"] = 2;
    image["endianness"] = "b";
    image["calibration"]["seed"] = 77;
    image["calibration"]["cfa"] = "kBayerRG";
    add(image, mono.size());
    Json::Value interleaved;
    interleaved["width"] = 96;
    interleaved["height"] = 64;
    interleaved["width_bytes"] = 96 * 6;
    interleaved["channels"] = 3;
    interleaved["bytes_per_pixel"] = 2;
    interleaved["endianness"] = "l";
    interleaved["calibration"]["seed"] = 78;
    add(interleaved, rgb.size());
    opaque["decoded_length"] = Json::UInt64{trailer.size()};
    add(opaque, trailer.size());
    std::ofstream(side_) << json.toStyledString();

    nv::ParameterRegistry::set_parameters(
        "Cam_ISO100", std::make_shared<nv::ExtendedAnscombeParameters>(1.8F, 100.0F, 2.5F, 4095U), "kBayerGB");
  }
  void TearDown() override { nv::ParameterRegistry::clear(); }

  File Described() const { return File(source_, side_); }

  test::TempDir dir_;
  std::filesystem::path source_ = dir_ / "scan.raw";
  std::filesystem::path side_ = dir_ / "scan.json";
  std::string bytes_;
};

TEST_F(ImageFileTest, CompressedFileDecodesToTheSource) {
  const File compressed = Described().Compress(dir_ / "scan.raw.nivra", kReplace);
  const File reread = File::Read(compressed.path);
  ASSERT_EQ(reread.metadata.chunks.size(), 4U);
  EXPECT_EQ(reread.metadata.chunks[1]->codec, Codec::Nivra);
  EXPECT_EQ(reread.metadata.chunks[2]->codec, Codec::Nivra);
  EXPECT_LT(std::filesystem::file_size(compressed.path), bytes_.size() / 2);

  reread.Decompress(dir_ / "restored.raw", kReplace);
  EXPECT_TRUE(test::ReadFile(dir_ / "restored.raw") == bytes_);
}

TEST_F(ImageFileTest, PreparingWithARegistryIdentifierIsStable) {
  const File described = Described();
  described.SetCalibrationId("Cam_ISO100");
  described.Prepare(dir_ / "once.raw", kReplace);
  const std::string once = test::ReadFile(dir_ / "once.raw");
  ASSERT_EQ(once.size(), bytes_.size());
  EXPECT_NE(once, bytes_);
  EXPECT_EQ(once.substr(0, 512), bytes_.substr(0, 512)) << "only image bytes may change";

  File(dir_ / "once.raw", side_).Prepare(dir_ / "twice.raw", kReplace);
  EXPECT_TRUE(test::ReadFile(dir_ / "twice.raw") == once);
}

TEST_F(ImageFileTest, PrepareAndCompressDecodesToThePreparedFile) {
  const File described = Described();
  described.SetCalibrationId("Cam_ISO100");
  described.Prepare(dir_ / "prepared.raw", kReplace);
  const File compressed = described.PrepareAndCompress(dir_ / "prepared.nivra", kReplace);
  ASSERT_EQ(TarnDecompressFile(compressed.path.c_str(), (dir_ / "restored.raw").c_str(), nullptr), kTarnStatusOk);
  EXPECT_TRUE(test::ReadFile(dir_ / "restored.raw") == test::ReadFile(dir_ / "prepared.raw"));
}

TEST_F(ImageFileTest, PreparingWithoutCalibrationFailsAndLeavesNoOutput) {
  try {
    Described().Prepare(dir_ / "prepared.raw", kReplace);
    FAIL();
  } catch (const Error& error) {
    EXPECT_EQ(error.status(), kTarnStatusNoParametersForIdentifier);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "prepared.raw"));

  const File described = Described();
  described.SetCalibrationId("Unknown_ISO1");
  EXPECT_THROW(described.Prepare(dir_ / "prepared.raw", kReplace), Error);
}

TEST_F(ImageFileTest, SideFileWithABadImageIsRefused) {
  Json::Value json = FromJsonFile(side_);
  json["chunks"][1]["endianness"] = "little";
  std::ofstream(side_, std::ios::trunc) << json.toStyledString();
  EXPECT_THROW(Described(), std::exception);
  json["chunks"][1]["endianness"] = "b";
  json["chunks"][1]["width"] = 0;
  std::ofstream(side_, std::ios::trunc) << json.toStyledString();
  EXPECT_THROW(Described(), std::exception);
}

}  // namespace
}  // namespace tarn
