// Whole-file operations: naming, refusal rules, failed outputs, round trips.
#include "tarn/file/file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/writer.h>

#include "tarn/error.hpp"
#include "test_util.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

class FileTest : public ::testing::Test {
 protected:
  fs::path Source(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_ / name;
    test::WriteFile(path, bytes);
    return path;
  }

  // Names left in the folder, to catch stray temporary files.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(dir_.path())) names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempDir dir_;
};

TEST_F(FileTest, CompressThenDecompressRestoresTheBytes) {
  const std::string bytes = test::TextLikeBytes(200000) + test::RandomBytes(50000);
  const fs::path source = Source("a.tif", bytes);
  const File compressed = File::Read(source).Compress(dir_ / "b.tif", Options::None);
  EXPECT_EQ(compressed.path, dir_ / "b.tif.nivra");
  EXPECT_EQ(compressed.metadata.length, fs::file_size(compressed.path));
  EXPECT_LT(compressed.metadata.length, bytes.size());

  const File decompressed = File::Read(compressed.path).Decompress(dir_ / "c.tif.nivra", Options::None);
  EXPECT_EQ(decompressed.path, dir_ / "c.tif");
  EXPECT_EQ(test::ReadFile(decompressed.path), bytes);
  EXPECT_EQ(decompressed.metadata.DecodedLength(), bytes.size());
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.tif", "b.tif.nivra", "c.tif"}));
}

TEST_F(FileTest, DestinationNaming) {
  const fs::path source = Source("a.tif", "some bytes");
  const File file = File::Read(source);
  EXPECT_EQ(file.Compress(dir_ / "b.tif", Options::KeepDestinationName).path, dir_ / "b.tif");
  EXPECT_EQ(file.Compress(dir_ / "b.nivra", Options::None).path, dir_ / "b.nivra");
  EXPECT_EQ(File::Read(dir_ / "b.nivra").Decompress(dir_ / "d.tif", Options::None).path, dir_ / "d.tif");
  EXPECT_EQ(file.Prepare(dir_ / "p.tif.nivra", Options::None).path, dir_ / "p.tif.nivra");
  EXPECT_EQ(test::ReadFile(dir_ / "p.tif.nivra"), "some bytes");
}

void ExpectRefused(const std::function<void()>& operation) {
  try {
    operation();
    FAIL() << "destination was not refused";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("cannot create destination without overwriting"), std::string::npos);
    EXPECT_EQ(error.code(), std::make_error_code(std::errc::file_exists));
  }
}

TEST_F(FileTest, ExistingDestinationNeedsOverwrite) {
  const fs::path source = Source("a.bin", "new content");
  const fs::path existing = Source("b.bin", "old content");
  const File file = File::Read(source);
  ExpectRefused([&] { file.Compress(existing, Options::KeepDestinationName); });
  EXPECT_EQ(test::ReadFile(existing), "old content");
  file.Compress(existing, Options::KeepDestinationName | Options::Overwrite);
  EXPECT_EQ(File::Read(existing).metadata.length, fs::file_size(existing));
}

TEST_F(FileTest, SourceIsNeverItsOwnDestination) {
  const std::string bytes = test::TextLikeBytes(5000);
  const fs::path source = Source("a.tif", bytes);
  fs::create_directory(dir_ / "sub");
  fs::create_symlink(source, dir_ / "link.tif");
  const File file = File::Read(source);
  const Options all = Options::KeepDestinationName | Options::Overwrite;
  for (const fs::path& spelling : {source, fs::path(dir_ / "." / "a.tif"), fs::path(dir_ / "sub" / ".." / "a.tif"),
                                   fs::path(dir_ / "link.tif")}) {
    ExpectRefused([&] { file.Compress(spelling, all); });
    ExpectRefused([&] { file.Prepare(spelling, all); });
    EXPECT_EQ(test::ReadFile(source), bytes) << spelling;
  }
  // A hard link is the same file too.
  fs::create_hard_link(source, dir_ / "hard.tif");
  ExpectRefused([&] { file.Compress(dir_ / "hard.tif", all); });
  EXPECT_EQ(test::ReadFile(source), bytes);
}

TEST_F(FileTest, FailedOperationLeavesNothingAndKeepsTheOldDestination) {
  // A compressed file whose chunk data is cut short fails while decoding.
  const std::string bytes = test::TextLikeBytes(300000);
  const fs::path source = Source("a.bin", bytes);
  const File compressed = File::Read(source).Compress(dir_ / "a.nivra", Options::None);
  std::string damaged = test::ReadFile(compressed.path);
  for (size_t i = 100; i < 600; ++i) damaged[i] = static_cast<char>(damaged[i] ^ 0x33);
  test::WriteFile(compressed.path, damaged);
  const fs::path old_output = Source("out.bin", "precious");

  const File damaged_file = File::ReadCompressed(compressed.path);
  try {
    damaged_file.Decompress(old_output, Options::Overwrite);
    FAIL() << "damaged data decoded";
  } catch (const DecodeError& error) {
    EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
  }
  EXPECT_EQ(test::ReadFile(old_output), "precious");
  EXPECT_THROW(damaged_file.Decompress(dir_ / "fresh.bin", Options::None), DecodeError);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.bin", "a.nivra", "out.bin"}));
}

TEST_F(FileTest, MissingDirectories) {
  const File file = File::Read(Source("a.bin", "abc"));
  const fs::path nested = dir_ / "x" / "y" / "out.nivra";
  try {
    file.Compress(nested, Options::None);
    FAIL();
  } catch (const Error& error) {
    EXPECT_EQ(error.status(), kTarnStatusCouldNotWriteFile);
    EXPECT_EQ(std::string(error.what()),
              "could not open destination stream to path " + nested.string() + ": No such file or directory");
  }
  EXPECT_FALSE(fs::exists(dir_ / "x"));
  EXPECT_EQ(file.Compress(nested, Options::CreateDirectories).path, nested);
  EXPECT_TRUE(fs::exists(nested));
}

TEST_F(FileTest, LongDestinationNames) {
  const File file = File::Read(Source("a.bin", "abc"));
  const std::string name(250, 'n');
  EXPECT_EQ(file.Compress(dir_ / name, Options::KeepDestinationName).path, dir_ / name);
  EXPECT_TRUE(fs::exists(dir_ / name));
}

TEST_F(FileTest, OverwriteKeepsTheDestinationMode) {
  const File file = File::Read(Source("a.bin", "abc"));
  const fs::path target = Source("b.nivra", "old");
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  file.Compress(target, Options::Overwrite);
  EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(FileTest, WritesToDevicesInPlace) {
  const File file = File::Read(Source("a.bin", test::TextLikeBytes(1000)));
  EXPECT_NO_THROW(file.Compress("/dev/null", Options::KeepDestinationName | Options::Overwrite));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(FileTest, EmptyAndMissingSources) {
  const fs::path empty = Source("empty.bin", "");
  try {
    File::Read(empty);
    FAIL();
  } catch (const Error& error) {
    EXPECT_EQ(error.status(), kTarnStatusIncompatibleImage);
    EXPECT_EQ(std::string(error.what()), "file " + empty.string() + " is empty");
  }
  EXPECT_THROW(File::Read(dir_ / "missing.bin"), fs::filesystem_error);
}

TEST_F(FileTest, DamagedCompressedFilesFallBackOnlyWhenReadLeniently) {
  const fs::path fake = Source("fake.NIVRA", "this is not a compressed file at all");
  // Read treats it as opaque data (a warning is logged) ...
  const File lenient = File::Read(fake);
  ASSERT_EQ(lenient.metadata.chunks.size(), 1u);
  EXPECT_EQ(lenient.metadata.chunks[0]->codec, Codec::None);
  // ... while ReadCompressed refuses it.
  try {
    File::ReadCompressed(fake);
    FAIL();
  } catch (const Error& error) {
    EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
  }
}

TEST_F(FileTest, JsonSideFiles) {
  const File compressed = File::Read(Source("a.bin", test::TextLikeBytes(10000))).Compress(dir_ / "a", Options::None);
  ToJsonFile(compressed.metadata, dir_ / "meta.json");
  const File from_json(compressed.path, dir_ / "meta.json");
  EXPECT_TRUE(from_json.metadata == compressed.metadata);
  // Exactly what the JSON library's default writer produces, nothing after it.
  EXPECT_EQ(test::ReadFile(dir_ / "meta.json"), Json::writeString(Json::StreamWriterBuilder(), compressed.metadata.ToJson()));
  try {
    FromJsonFile(dir_ / "none.json");
    FAIL();
  } catch (const fs::filesystem_error& error) {
    EXPECT_EQ(error.code(), std::make_error_code(std::errc::no_such_file_or_directory));
  }
  test::WriteFile(dir_ / "bad.json", "{ not json");
  EXPECT_THROW(FromJsonFile(dir_ / "bad.json"), std::runtime_error);
}

TEST_F(FileTest, RoundTripsOfManySizes) {
  for (size_t size : {size_t{1}, size_t{2}, size_t{11}, size_t{12}, size_t{13}, size_t{131072}, size_t{1000003}}) {
    const std::string bytes = size % 2 ? test::RandomBytes(size, static_cast<uint32_t>(size)) : test::TextLikeBytes(size);
    const fs::path source = Source("s.bin", bytes);
    const File compressed = File::Read(source).Compress(dir_ / "s.nivra", Options::Overwrite);
    File::Read(compressed.path).Decompress(dir_ / "r.bin", Options::Overwrite);
    EXPECT_EQ(test::ReadFile(dir_ / "r.bin"), bytes) << "size " << size;
  }
}

}  // namespace
}  // namespace tarn
