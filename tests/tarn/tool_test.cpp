// The `tarn` command as a user runs it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "test_util.hpp"

namespace {

namespace fs = std::filesystem;
using tarn::test::ReadFile;
using tarn::test::WriteFile;

struct Result {
  int status;
  std::string output;  // standard output and standard error together
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(TARN_TOOL_PATH)) GTEST_SKIP() << "tarn program not built";
  }

  // Runs `tarn ARGUMENTS` in the test's folder through a shell, output in a pipe.
  Result Run(const std::string& arguments) { return Shell("'" TARN_TOOL_PATH "' " + arguments + " 2>&1"); }

  // The same with standard output and error on a pseudo-terminal (script from util-linux).
  Result RunOnTerminal(const std::string& arguments) {
    return Shell("script -q -e -c \"'" TARN_TOOL_PATH "' " + arguments + "\" /dev/null </dev/null");
  }

  Result Shell(const std::string& command) {
    FILE* pipe = popen(("cd '" + dir_.path().string() + "' && " + command).c_str(), "r");
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  }

  tarn::test::TempDir dir_;
};

std::vector<fs::path> FilesBelow(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), folder));
  }
  std::sort(files.begin(), files.end());
  return files;
}

Json::Value ParseJson(const std::string& text) {
  Json::Value json;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &json, &errors)) << errors << text;
  return json;
}

// A folder of real samples, compressed in place two at a time with the sources removed,
// checked, then restored into a mirror folder: every file comes back byte for byte.
TEST_F(ToolTest, FoldersOfRealSamplesRoundTrip) {
  const fs::path fixtures = tarn::test::FixturesDir();
  if (fixtures.empty()) GTEST_SKIP() << "shared samples absent";
  fs::create_directories(dir_ / "in");
  fs::copy(fixtures, dir_ / "in/sub", fs::copy_options::recursive);
  const std::vector<fs::path> originals = FilesBelow(dir_ / "in");

  Result result = Run("compress -r -T 2 --rm in");
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(Contains(result.output, std::to_string(originals.size()) + " files compressed")) << result.output;
  const std::vector<fs::path> compressed = FilesBelow(dir_ / "in");
  std::vector<fs::path> expected;
  for (const fs::path& file : originals) expected.push_back(file.string() + ".nivra");
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(compressed, expected);

  result = Run("test -r -T 2 in");
  ASSERT_EQ(result.status, 0) << result.output;
  for (const fs::path& file : compressed) EXPECT_TRUE(Contains(result.output, file.string() + ": OK")) << file;

  result = Shell("'" TARN_TOOL_PATH "' info --json in/" + compressed.front().string());
  ASSERT_EQ(result.status, 0) << result.output;
  const Json::Value info = ParseJson(result.output);
  ASSERT_TRUE(info.isArray() && info.size() == 1u) << result.output;
  uint64_t stored = 0;
  for (const Json::Value& chunk : info[0]["chunks"]) {
    EXPECT_EQ(chunk["offset"].asUInt64(), stored);
    stored += chunk["length"].asUInt64();
  }
  EXPECT_EQ(stored + info[0]["metadata_length"].asUInt64(), fs::file_size(dir_ / "in" / compressed.front()));

  result = Run("decompress -q -r -T 2 -o out in");
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.output, "");
  ASSERT_EQ(FilesBelow(dir_ / "out"), originals);
  for (const fs::path& file : originals) {
    EXPECT_TRUE(ReadFile(dir_ / "out" / file) == ReadFile(fixtures / file.lexically_relative("sub"))) << file;
  }
}

TEST_F(ToolTest, UsageErrorsExitWithTwo) {
  for (const char* arguments :
       {"", "frobnicate x", "compress", "compress -T x a", "compress -T -1 a", "compress --bogus a",
        "compress -o out a b", "compress -o", "test --rm a.nivra", "prepare -r a", "compress --prepare --rm a",
        "info -o x a.nivra", "decompress --json m.json a.nivra b.nivra", "decompress --prepare a.nivra"}) {
    const Result result = Run(arguments);
    EXPECT_EQ(result.status, 2) << arguments << ": " << result.output;
    EXPECT_TRUE(Contains(result.output, "tarn --help")) << arguments << ": " << result.output;
  }
  EXPECT_EQ(Run("--help").status, 0);
  EXPECT_TRUE(Contains(Run("--version").output, "6.2.0"));
}

// Every failure exits with 1 and names the file and the reason; the good files of a
// batch are still done.
TEST_F(ToolTest, FailuresNameTheFileAndTheReason) {
  WriteFile(dir_ / "garbage.nivra", tarn::test::RandomBytes(3000));
  WriteFile(dir_ / "x.nivra", "abc");
  WriteFile(dir_ / "plain.bin", "abc");
  fs::create_directory(dir_ / "folder");
  const struct {
    const char* arguments;
    const char* message;
  } cases[] = {
      {"decompress garbage.nivra", "garbage.nivra: "},
      {"compress missing.tif", "missing.tif: no such file"},
      {"compress x.nivra", "x.nivra: already has .nivra suffix"},
      {"decompress plain.bin", "plain.bin: not a compressed file"},
      {"compress folder", "folder: is a folder"},
      {"info garbage.nivra", "garbage.nivra: not a compressed file"},
      {"test garbage.nivra", "garbage.nivra: not a compressed file"},
      {"compress --calibration missing-calibration plain.bin", "missing-calibration"},
  };
  for (const auto& failure : cases) {
    const Result result = Run(failure.arguments);
    EXPECT_EQ(result.status, 1) << failure.arguments << ": " << result.output;
    EXPECT_TRUE(Contains(result.output, failure.message)) << failure.arguments << ": " << result.output;
  }
  EXPECT_FALSE(fs::exists(dir_ / "garbage"));

  const Result batch = Run("compress plain.bin missing.bin");
  EXPECT_EQ(batch.status, 1);
  EXPECT_TRUE(Contains(batch.output, "1 file compressed")) << batch.output;
  EXPECT_TRUE(Contains(batch.output, "1 failed")) << batch.output;
  EXPECT_TRUE(fs::exists(dir_ / "plain.bin.nivra"));
}

TEST_F(ToolTest, NeverOverwritesWithoutForce) {
  WriteFile(dir_ / "a.tif", "first");
  ASSERT_EQ(Run("compress a.tif").status, 0);
  WriteFile(dir_ / "a.tif", "second");
  const Result refused = Run("compress a.tif");
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(Contains(refused.output, "use -f")) << refused.output;
  ASSERT_EQ(Run("decompress a.tif.nivra -o out.tif").status, 0);
  EXPECT_EQ(ReadFile(dir_ / "out.tif"), "first");

  ASSERT_EQ(Run("compress -f a.tif").status, 0);
  EXPECT_EQ(Run("decompress a.tif.nivra -o out.tif").status, 1);
  ASSERT_EQ(Run("decompress -f a.tif.nivra -o out.tif").status, 0);
  EXPECT_EQ(ReadFile(dir_ / "out.tif"), "second");
}

// --rm deletes a source only after its output is complete: any failure keeps it.
TEST_F(ToolTest, RemoveKeepsTheSourceWhenItsOutputFails) {
  WriteFile(dir_ / "a.bin", "source");
  WriteFile(dir_ / "a.bin.nivra", "someone else's file");
  EXPECT_EQ(Run("compress --rm a.bin").status, 1);
  EXPECT_EQ(ReadFile(dir_ / "a.bin"), "source");
  EXPECT_EQ(ReadFile(dir_ / "a.bin.nivra"), "someone else's file");

  WriteFile(dir_ / "damaged.bin.nivra", tarn::test::RandomBytes(500));
  EXPECT_EQ(Run("decompress --rm damaged.bin.nivra").status, 1);
  EXPECT_TRUE(fs::exists(dir_ / "damaged.bin.nivra"));
  EXPECT_FALSE(fs::exists(dir_ / "damaged.bin"));

  ASSERT_EQ(Run("compress -f --rm a.bin").status, 0);
  EXPECT_FALSE(fs::exists(dir_ / "a.bin"));
  ASSERT_EQ(Run("decompress --rm a.bin.nivra").status, 0);
  EXPECT_EQ(ReadFile(dir_ / "a.bin"), "source");
  EXPECT_FALSE(fs::exists(dir_ / "a.bin.nivra"));
}

// One bit flipped inside any coded chunk is found by `tarn test`, which names the chunk.
TEST_F(ToolTest, TestFindsAFlippedBitAndNamesTheChunk) {
  const fs::path fixtures = tarn::test::FixturesDir();
  if (fixtures.empty()) GTEST_SKIP() << "shared samples absent";
  fs::copy_file(fixtures / "tif-czitools-CH1_16bit.tif", dir_ / "image.tif");
  ASSERT_EQ(Run("compress image.tif").status, 0);
  const std::string intact = ReadFile(dir_ / "image.tif.nivra");
  const Json::Value info = ParseJson(Shell("'" TARN_TOOL_PATH "' info --json image.tif.nivra").output);
  size_t coded = 0;
  for (const Json::Value& chunk : info[0]["chunks"]) {
    const std::string codec = chunk["codec"].asString();
    if (codec == "None") continue;
    ++coded;
    const uint64_t offset = chunk["offset"].asUInt64();
    const uint64_t length = chunk["length"].asUInt64();
    for (const uint64_t position : {offset, offset + length / 3}) {
      std::string damaged = intact;
      damaged[position] = static_cast<char>(damaged[position] ^ 0x10);
      WriteFile(dir_ / "image.tif.nivra", damaged);
      const Result result = Run("test image.tif.nivra");
      EXPECT_EQ(result.status, 1) << codec << " chunk at " << offset << ", bit flipped at " << position;
      EXPECT_TRUE(Contains(result.output, "offset " + std::to_string(offset))) << result.output;
      EXPECT_TRUE(Contains(result.output, codec)) << result.output;
    }
  }
  EXPECT_GE(coded, 1u);
  WriteFile(dir_ / "image.tif.nivra", intact);
  EXPECT_EQ(Run("test image.tif.nivra").status, 0);
}

// decompress and test look at the end of a file, not its name: a file that is not a
// compressed file is refused as such under any suffix, with -o or without, and nothing is
// written. A compressed file under another name is still one.
TEST_F(ToolTest, PlainFilesOfEverySuffixAreNotCompressedFiles) {
  const std::string plain = tarn::test::TextLikeBytes(5000);
  for (const char* name : {"a.tif", "a.dng", "a.nd2", "a.czi", "a.bin", "a", "a.nivra", "a.NIVRA", "a.tif.nivra"}) {
    for (const char* command : {"decompress", "decompress -o out", "test", "info"}) {
      const std::string arguments = std::string(command) + " " + name;
      WriteFile(dir_ / name, plain);
      const Result result = Run(arguments);
      EXPECT_EQ(result.status, 1) << arguments << ": " << result.output;
      EXPECT_TRUE(Contains(result.output, std::string(name) + ": not a compressed file")) << arguments << ": " << result.output;
      EXPECT_EQ(FilesBelow(dir_.path()), std::vector<fs::path>{name}) << arguments;
      fs::remove(dir_ / name);
    }
  }
  WriteFile(dir_ / "a.bin", plain);
  ASSERT_EQ(Run("compress -q -o renamed.tif a.bin").status, 0);
  EXPECT_TRUE(Contains(Run("decompress renamed.tif").output, "unknown suffix -- ignored (use -o)"));
  ASSERT_EQ(Run("decompress -o restored.bin renamed.tif").status, 0);
  EXPECT_EQ(ReadFile(dir_ / "restored.bin"), plain);
  EXPECT_EQ(Run("test renamed.tif").status, 0);
}

// `prepare` on a file in which no image can be prepared says why and writes nothing;
// with -f it writes the unchanged copy.
TEST_F(ToolTest, PrepareWithNothingToPrepareWritesNothingUnlessForced) {
  const fs::path vectors = TARN_VECTORS_DIR;
  WriteFile(dir_ / "camera.json",
            R"({"make": "Acme", "model": "X100", "isoData": [{"iso": 400, "blackLevel": 100, "gain": 0.8, "noise": 2.5}]})");
  const std::string calibrated = "--calibration camera.json --calibration-id Acme_X100_ISO400 ";
  fs::copy_file(vectors / "v4-image.tif", dir_ / "image.tif");
  ASSERT_EQ(Run("prepare " + calibrated + "image.tif").status, 0);  // image.prepared.tif
  fs::copy_file(vectors / "v4-image.tif.nivra", dir_ / "image.tif.nivra");
  WriteFile(dir_ / "notes.txt", "no pixels here");
  struct Case {
    std::string source;
    std::string output;
    const char* reason;
  };
  std::vector<Case> cases = {
      {"notes.txt", "notes.prepared.txt", "no 16-bit uncompressed image"},
      {"image.prepared.tif", "image.prepared.prepared.tif", "already prepared"},
      {"image.tif.nivra", "image.tif.prepared.nivra", "its images are compressed"},
  };
  const fs::path fixtures = tarn::test::FixturesDir();
  if (!fixtures.empty()) {
    // Images stored compressed inside the file (a DNG), or of 8 bits.
    fs::copy_file(fixtures / "dng-blackmagic-pocket4k.dng", dir_ / "raw.dng");
    fs::copy_file(fixtures / "tif-czitools-CH3_Fluorescence_8bit.tif", dir_ / "eight.tif");
    cases.push_back({"raw.dng", "raw.prepared.dng", "no 16-bit uncompressed image"});
    cases.push_back({"eight.tif", "eight.prepared.tif", "no 16-bit uncompressed image"});
  }
  for (const Case& c : cases) {
    const Result refused = Run("prepare " + calibrated + c.source);
    EXPECT_EQ(refused.status, 1) << c.source << ": " << refused.output;
    EXPECT_TRUE(Contains(refused.output, c.source + ": nothing to prepare: " + c.reason)) << refused.output;
    EXPECT_FALSE(fs::exists(dir_ / c.output)) << c.output;

    const Result forced = Run("prepare -f " + calibrated + c.source);
    EXPECT_EQ(forced.status, 0) << c.source << ": " << forced.output;
    EXPECT_TRUE(Contains(forced.output, "nothing to prepare")) << forced.output;
    EXPECT_TRUE(ReadFile(dir_ / c.output) == ReadFile(dir_ / c.source)) << c.output;
  }
}

// What prepared images went into says so: the compress line and summary, info (table and
// JSON) and test. A lossless file carries no mark.
TEST_F(ToolTest, PreparedOutputsAreMarkedLossy) {
  const fs::path vectors = TARN_VECTORS_DIR;
  WriteFile(dir_ / "camera.json",
            R"({"make": "Acme", "model": "X100", "isoData": [{"iso": 400, "blackLevel": 100, "gain": 0.8, "noise": 2.5}]})");
  fs::copy_file(vectors / "v4-image.tif", dir_ / "image.tif");
  fs::copy_file(vectors / "v4-image.tif", dir_ / "other.tif");
  const std::string calibrated = "--calibration camera.json --calibration-id Acme_X100_ISO400 ";
  Result result = Run("compress --prepare " + calibrated + "image.tif");
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(Contains(result.output, "image.tif.nivra), prepared, lossy")) << result.output;
  result = Run("compress -f --prepare " + calibrated + "image.tif other.tif");
  EXPECT_TRUE(Contains(result.output, "2 files compressed (2 prepared, lossy)")) << result.output;
  ASSERT_EQ(Run("compress -o lossless.nivra image.tif").status, 0);

  result = Run("info image.tif.nivra lossless.nivra");
  EXPECT_TRUE(Contains(result.output, "5 chunks (2 prepared, lossy)")) << result.output;
  EXPECT_EQ(Contains(result.output.substr(result.output.find("lossless.nivra")), "lossy"), false) << result.output;
  const Json::Value info = ParseJson(Shell("'" TARN_TOOL_PATH "' info --json image.tif.nivra").output);
  EXPECT_EQ(info[0]["prepared_chunks"].asUInt(), 2u);
  size_t marked = 0;
  for (const Json::Value& chunk : info[0]["chunks"]) marked += chunk["mark"].asString() == "prepared, lossy";
  EXPECT_EQ(marked, 2u);

  result = Run("test image.tif.nivra lossless.nivra");
  EXPECT_TRUE(Contains(result.output, "image.tif.nivra: OK (5 chunks, 3.9 KiB decoded; 2 chunks prepared, lossy)"))
      << result.output;
  EXPECT_TRUE(Contains(result.output, "lossless.nivra: OK (5 chunks, 3.9 KiB decoded)\n")) << result.output;
}

// A damaged description is named as such, where a damaged chunk names the chunk.
TEST_F(ToolTest, TestNamesADamagedDescription) {
  fs::copy_file(fs::path(TARN_VECTORS_DIR) / "v4-image.tif", dir_ / "image.tif");
  ASSERT_EQ(Run("compress image.tif").status, 0);
  std::string damaged = ReadFile(dir_ / "image.tif.nivra");
  damaged[damaged.rfind("\"chunks\"") + 3] ^= 2;
  WriteFile(dir_ / "image.tif.nivra", damaged);
  for (const char* command : {"test", "info", "decompress -f"}) {
    const Result result = Run(std::string(command) + " image.tif.nivra");
    EXPECT_EQ(result.status, 1) << command;
    EXPECT_TRUE(Contains(result.output, command == std::string("decompress -f") ? "does not match its checksum"
                                                                                  : "damaged description: "))
        << command << ": " << result.output;
  }
}

// Feeds `bytes` into the FIFO at `path` once `delay` has passed and a reader has opened it.
std::thread FeedFifoLater(const fs::path& path, std::string bytes, std::chrono::milliseconds delay) {
  return std::thread([path, bytes = std::move(bytes), delay] {
    std::this_thread::sleep_for(delay);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int fifo = -1;
    while ((fifo = open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (fifo < 0) return;
    fcntl(fifo, F_SETFL, 0);
    EXPECT_EQ(write(fifo, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fifo);
  });
}

// Work lasting over a second shows the progress line on a terminal, never in a pipe. The
// work is held up by taking the metadata from a FIFO that is fed only after 1.5 seconds.
TEST_F(ToolTest, ProgressLineOnlyOnATerminal) {
  WriteFile(dir_ / "a.bin", tarn::test::TextLikeBytes(100000));
  ASSERT_EQ(Run("compress --json metadata.json a.bin").status, 0);
  ASSERT_EQ(mkfifo((dir_ / "fifo.json").c_str(), 0600), 0);
  const std::string metadata = ReadFile(dir_ / "metadata.json");
  for (const bool terminal : {true, false}) {
    std::thread feeder = FeedFifoLater(dir_ / "fifo.json", metadata, std::chrono::milliseconds(1500));
    const std::string arguments = "decompress -f --json fifo.json a.bin.nivra -o restored.bin";
    const Result result = terminal ? RunOnTerminal(arguments) : Run(arguments);
    feeder.join();
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(Contains(result.output, "\rtarn: 0/1 files, "), terminal) << result.output;
    EXPECT_EQ(ReadFile(dir_ / "restored.bin"), ReadFile(dir_ / "a.bin"));
  }
}

}  // namespace
