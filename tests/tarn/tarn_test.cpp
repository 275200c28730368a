// The C interface: statuses, logging, and that no failure escapes as an exception.
#include "tarn/tarn.h"

#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "tarn/error.hpp"
#include "tarn/logger.hpp"
#include "test_util.hpp"

namespace {

namespace fs = std::filesystem;
using tarn::test::ReadFile;
using tarn::test::TempDir;
using tarn::test::WriteFile;

// Counts the lines of `text` that contain `needle`.
size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// Every test starts at the default level and restores it.
class TarnCTest : public ::testing::Test {
 protected:
  void SetUp() override { TarnSetLogLevel(2); }
  void TearDown() override { TarnSetLogLevel(2); }
  TempDir dir_;
};

TEST_F(TarnCTest, VersionAndDescriptions) {
  EXPECT_STREQ(TarnVersion(), "6.2.0");
  EXPECT_STREQ(TarnStatusDescription(kTarnStatusOk), "Ok.");
  EXPECT_STREQ(TarnStatusDescription(kTarnStatusParametersNotUsable), "Parameters cannot be used in given context");
  EXPECT_STREQ(TarnStatusDescription(static_cast<TarnStatus>(12)), "Unknown error.");
  // -1 is outside the enumeration's values; build it the way a C caller would pass it.
  TarnStatus minus_one;
  const int32_t raw = -1;
  std::memcpy(&minus_one, &raw, sizeof(raw));
  EXPECT_STREQ(TarnStatusDescription(minus_one), "Unknown error.");
  EXPECT_EQ(sizeof(TarnStatus), 4u);
}

TEST_F(TarnCTest, CompressAndDecompressWithSideFile) {
  const std::string bytes = tarn::test::TextLikeBytes(100000);
  const fs::path source = dir_ / "a.tif";
  WriteFile(source, bytes);
  const fs::path compressed = dir_ / "a.tif.nivra";
  const fs::path json = dir_ / "a.json";
  ASSERT_EQ(TarnCompressFile(source.c_str(), compressed.c_str(), json.c_str()), kTarnStatusOk);
  EXPECT_TRUE(fs::exists(json));
  // The C functions keep the name exactly as given.
  ASSERT_EQ(TarnCompressFile(source.c_str(), (dir_ / "plain").c_str(), nullptr), kTarnStatusOk);
  EXPECT_TRUE(fs::exists(dir_ / "plain"));

  const fs::path restored = dir_ / "restored.tif";
  ASSERT_EQ(TarnDecompressFile(compressed.c_str(), restored.c_str(), nullptr), kTarnStatusOk);
  EXPECT_EQ(ReadFile(restored), bytes);
  // The same through the side file, which is used instead of the file's own block.
  ASSERT_EQ(TarnDecompressFile(compressed.c_str(), restored.c_str(), json.c_str()), kTarnStatusOk);
  EXPECT_EQ(ReadFile(restored), bytes);
  // An existing destination is replaced.
  ASSERT_EQ(TarnCompressFile(source.c_str(), compressed.c_str(), nullptr), kTarnStatusOk);
}

TEST_F(TarnCTest, RenamedCompressedFileIsStillDecoded) {
  const std::string bytes = tarn::test::TextLikeBytes(50000);
  const fs::path source = dir_ / "a.tif";
  WriteFile(source, bytes);
  const fs::path renamed = dir_ / "a.bin";
  ASSERT_EQ(TarnCompressFile(source.c_str(), renamed.c_str(), nullptr), kTarnStatusOk);
  const fs::path restored = dir_ / "restored.tif";
  ASSERT_EQ(TarnDecompressFile(renamed.c_str(), restored.c_str(), nullptr), kTarnStatusOk);
  EXPECT_EQ(ReadFile(restored), bytes);
  // A plain file without a block is restored as it is.
  ASSERT_EQ(TarnDecompressFile(source.c_str(), restored.c_str(), nullptr), kTarnStatusOk);
  EXPECT_EQ(ReadFile(restored), bytes);
}

// Files written before descriptions carried checksums restore byte for byte under any name;
// a damaged description fails under any name too, instead of passing for plain data.
TEST_F(TarnCTest, OlderFilesRestoreAndDamagedOnesFailUnderAnyName) {
  const fs::path vectors = TARN_VECTORS_DIR;
  const std::string original = ReadFile(vectors / "v4-image.tif");
  const std::string older = ReadFile(vectors / "v4-image.tif.nivra");
  std::string damaged = older;
  damaged.replace(damaged.rfind("\"version\""), 9, "\"versign\"");  // read as the first layout before
  const fs::path restored = dir_ / "restored.tif";
  for (const char* name : {"a.tif.nivra", "a.bin"}) {
    WriteFile(dir_ / name, older);
    ASSERT_EQ(TarnDecompressFile((dir_ / name).c_str(), restored.c_str(), nullptr), kTarnStatusOk) << name;
    EXPECT_TRUE(ReadFile(restored) == original) << name;
    fs::remove(restored);
    WriteFile(dir_ / name, damaged);
    EXPECT_EQ(TarnDecompressFile((dir_ / name).c_str(), restored.c_str(), nullptr), kTarnStatusInvalidFileContent)
        << name;
    EXPECT_FALSE(fs::exists(restored)) << name;
  }
}

TEST_F(TarnCTest, BadInputGetsItsStatus) {
  const fs::path missing = dir_ / "missing.bin";
  const fs::path out = dir_ / "out";
  EXPECT_EQ(TarnCompressFile(missing.c_str(), out.c_str(), nullptr), kTarnStatusCouldNotReadFile);
  EXPECT_EQ(TarnDecompressFile(missing.c_str(), out.c_str(), nullptr), kTarnStatusCouldNotReadFile);
  EXPECT_EQ(TarnPrepareFile(missing.c_str(), out.c_str(), nullptr), kTarnStatusCouldNotReadFile);
  EXPECT_EQ(TarnPrepareAndCompressFile(missing.c_str(), out.c_str(), nullptr, nullptr), kTarnStatusCouldNotReadFile);
  EXPECT_EQ(TarnCompressFile(nullptr, out.c_str(), nullptr), kTarnStatusCouldNotReadFile);

  const fs::path empty = dir_ / "empty.nivra";
  WriteFile(empty, "");
  EXPECT_EQ(TarnDecompressFile(empty.c_str(), out.c_str(), nullptr), kTarnStatusIncompatibleImage);
  EXPECT_EQ(TarnPrepareFile(empty.c_str(), out.c_str(), nullptr), kTarnStatusIncompatibleImage);
  EXPECT_EQ(TarnCompressFile(empty.c_str(), out.c_str(), nullptr), kTarnStatusIncompatibleImage);

  const fs::path garbage = dir_ / "garbage.nivra";
  WriteFile(garbage, tarn::test::RandomBytes(5000));
  EXPECT_EQ(TarnDecompressFile(garbage.c_str(), out.c_str(), nullptr), kTarnStatusInvalidFileContent);

  const fs::path source = dir_ / "a.bin";
  WriteFile(source, "abc");
  EXPECT_EQ(TarnCompressFile(source.c_str(), source.c_str(), nullptr), kTarnStatusUnknownError);
  EXPECT_EQ(ReadFile(source), "abc");
  EXPECT_EQ(TarnCompressFile(source.c_str(), (dir_ / "no" / "dir").c_str(), nullptr), kTarnStatusCouldNotWriteFile);
  EXPECT_NE(tarn::LastErrorMessage().find("No such file or directory"), std::string::npos);
  EXPECT_EQ(TarnCompressFile(source.c_str(), nullptr, nullptr), kTarnStatusUnknownError);
  EXPECT_EQ(TarnDecompressFile(source.c_str(), out.c_str(), (dir_ / "none.json").c_str()), kTarnStatusUnknownError);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(TarnCTest, SourcesThatExistButCannotBeReadAreUnknownErrors) {
  const fs::path folder = dir_ / "folder.tif";
  fs::create_directory(folder);
  // Opening a pipe without a writer would block; it must never be opened.
  const fs::path pipe = dir_ / "pipe.nivra";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const fs::path out = dir_ / "out";
  const std::function<TarnStatus(const char*)> calls[] = {
      [&](const char* source) { return TarnCompressFile(source, out.c_str(), nullptr); },
      [&](const char* source) { return TarnDecompressFile(source, out.c_str(), nullptr); },
      [&](const char* source) { return TarnPrepareFile(source, out.c_str(), nullptr); },
      [&](const char* source) { return TarnPrepareAndCompressFile(source, out.c_str(), nullptr, nullptr); },
  };
  for (const auto& [source, reason] : {std::pair{folder, "Is a directory"}, std::pair{pipe, ""}}) {
    for (size_t i = 0; i < std::size(calls); ++i) {
      EXPECT_EQ(calls[i](source.c_str()), kTarnStatusUnknownError) << source << " call " << i;
      const std::string message = tarn::LastErrorMessage();
      EXPECT_NE(message.find(source.string()), std::string::npos) << message;
      EXPECT_NE(message.find(reason), std::string::npos) << message;
      EXPECT_FALSE(fs::exists(out));
    }
  }
}

TEST_F(TarnCTest, TruncatedCompressedFileFails) {
  const fs::path source = dir_ / "a.bin";
  WriteFile(source, tarn::test::RandomBytes(400000));
  const fs::path compressed = dir_ / "a.nivra";
  ASSERT_EQ(TarnCompressFile(source.c_str(), compressed.c_str(), nullptr), kTarnStatusOk);
  const std::string whole = ReadFile(compressed);
  const fs::path out = dir_ / "out.bin";
  for (size_t cut : {size_t{1}, size_t{12}, size_t{100}, whole.size() / 2}) {
    WriteFile(compressed, whole.substr(0, whole.size() - cut));
    EXPECT_NE(TarnDecompressFile(compressed.c_str(), out.c_str(), nullptr), kTarnStatusOk) << "cut " << cut;
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST_F(TarnCTest, LogLevelsAndFiles) {
  const fs::path log = dir_ / "tarn.log";
  WriteFile(log, "earlier line\n");
  TarnAddLogFile(log.c_str());
  tarn::Logger()->info("info one");
  tarn::Logger()->warn("warning one");
  TarnSetLogLevel(3);
  tarn::Logger()->info("info two");
  tarn::Logger()->error("error two");
  TarnSetLogLevel(6);
  tarn::Logger()->error("error three");
  TarnSetLogLevel(2);
  tarn::Logger()->flush();
  std::string text = ReadFile(log);
  EXPECT_EQ(text.rfind("earlier line\n", 0), 0u);
  EXPECT_EQ(Count(text, "info one"), 1u);
  EXPECT_EQ(Count(text, "warning one"), 1u);
  EXPECT_EQ(Count(text, "info two"), 0u);
  EXPECT_EQ(Count(text, "error two"), 1u);
  EXPECT_EQ(Count(text, "error three"), 0u);
  EXPECT_NE(text.find("[tarn] [warning] warning one"), std::string::npos);

  // The same file twice: every line arrives twice.
  TarnAddLogFile(log.c_str());
  tarn::Logger()->warn("twice");
  tarn::Logger()->flush();
  EXPECT_EQ(Count(ReadFile(log), "twice"), 2u);

  // Failures are logged, not thrown.
  WriteFile(dir_ / "plain", "a file, not a folder");
  EXPECT_NO_THROW(TarnAddLogFile((dir_ / "plain" / "x.log").c_str()));
  EXPECT_NO_THROW(TarnAddLogFile(nullptr));
  EXPECT_NO_THROW(TarnSetLogLevel(99));
}

TEST_F(TarnCTest, WarningsReachLogFilesWithoutAFlush) {
  const fs::path log = dir_ / "flushed.log";
  TarnAddLogFile(log.c_str());
  tarn::Logger()->warn("a warning that must survive a crash");
  EXPECT_EQ(Count(ReadFile(log), "a warning that must survive a crash"), 1u);
  tarn::Logger()->error("an error too");
  EXPECT_EQ(Count(ReadFile(log), "an error too"), 1u);
}

TEST_F(TarnCTest, AddingLogFilesWhileOtherThreadsLog) {
  std::atomic<bool> stop = false;
  std::vector<std::thread> writers;
  TarnSetLogLevel(6);  // keep the console quiet; the sink list is still walked
  for (int i = 0; i < 3; ++i) {
    writers.emplace_back([&] {
      while (!stop) tarn::Logger()->error("busy");
    });
  }
  for (int i = 0; i < 20; ++i) TarnAddLogFile((dir_ / ("t" + std::to_string(i) + ".log")).c_str());
  stop = true;
  for (auto& writer : writers) writer.join();
}

TEST_F(TarnCTest, CalibrationCallsNeverThrow) {
  EXPECT_EQ(TarnCalibrationRegistryLoadPath(nullptr), 0);
  EXPECT_EQ(TarnCalibrationRegistryLoadPath((dir_ / "missing").c_str()), 0);
  EXPECT_EQ(TarnCalibrationRegistryLoadPath(dir_.path().c_str()), 0);
  EXPECT_GE(TarnCalibrationRegistryDefaultInitialize(), 0);
  TarnCalibrationRegistryClear();
}

}  // namespace
