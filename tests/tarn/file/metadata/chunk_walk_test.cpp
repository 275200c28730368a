// The four walks with several threads: same bytes as with one, bounded memory, and the
// failure of the first failing chunk in file order.
#include "tarn/file/metadata/chunk_walk.hpp"

#include <chrono>
#include <optional>
#include <sstream>
#include <streambuf>
#include <thread>

#include <gtest/gtest.h>

#include "chunk/image_samples.hpp"
#include "nivra/nivra.hpp"
#include "tarn/error.hpp"
#include "tarn/file/file.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/chunk/unspecified_data.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "test_util.hpp"
#include "thread_count.hpp"

namespace tarn {
namespace {

using chunk::Image;
using chunk::InterleavedImage;
using chunk::UnspecifiedData;
using test::Operation;

constexpr Operation kWalks[] = {Operation::kEncode, Operation::kDecode, Operation::kPrepare,
                                Operation::kPrepareAndEncode};

std::string WalkName(Operation walk) {
  switch (walk) {
    case Operation::kEncode: return "Encode";
    case Operation::kDecode: return "Decode";
    case Operation::kPrepare: return "Prepare";
    case Operation::kPrepareAndEncode: return "PrepareAndEncode";
  }
  return "";
}

Metadata RunWalk(const Metadata& metadata, std::istream& in, std::ostream& out, Operation walk) {
  switch (walk) {
    case Operation::kEncode: return metadata.EncodeStream(in, out);
    case Operation::kDecode: return metadata.DecodeStream(in, out);
    case Operation::kPrepare: return metadata.PrepareStream(in, out);
    case Operation::kPrepareAndEncode: return metadata.PrepareAndEncodeStream(in, out);
  }
  throw std::logic_error("no such walk");
}

struct Walked {
  std::string bytes;
  std::optional<Metadata> metadata;
};

// A file can seek and is read in place by every thread; a pipe cannot and is read one
// chunk after the other.
enum class Input { kFile, kPipe };

class PipeStreamBuf : public std::streambuf {
 public:
  explicit PipeStreamBuf(std::string bytes) : bytes_(std::move(bytes)) {
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
  }

 private:
  std::string bytes_;
};

Walked Walk(const Metadata& metadata, const std::string& input, Operation walk, unsigned threads,
            Input kind = Input::kFile) {
  test::ScopedThreadCount count(threads);
  std::istringstream file(input);
  PipeStreamBuf pipe_buffer(input);
  std::istream pipe(&pipe_buffer);
  std::ostringstream out;
  Walked walked;
  walked.metadata.emplace(RunWalk(metadata, kind == Input::kFile ? static_cast<std::istream&>(file) : pipe, out, walk));
  walked.bytes = out.str();
  return walked;
}

chunk::image::Calibration PlaneCalibration(uint64_t seed) {
  chunk::image::Calibration calibration;
  calibration.gain = 1.8F;
  calibration.black_level = 100.0F;
  calibration.sigma = 2.5F;
  calibration.white_level = 4095;
  calibration.seed = seed;  // a random seed would make every preparation differ
  return calibration;
}

struct Sample {
  std::string bytes;
  Chunks chunks;
};

// A stack as microscopes write it: a header, calibrated 16-bit planes in both byte orders
// with small gaps, an 8-bit plane the codec refuses, an RGB image and a trailer. Without
// `refused_plane` for pipes: the fallback to zstd must read the plane again, which a pipe
// cannot give, whatever the thread count. A `large_plane` has several bands of rows, which
// the codec spreads over the threads too.
Sample SyntheticStack(size_t planes, uint32_t width, uint32_t height, bool refused_plane = true,
                      bool large_plane = false) {
  Sample sample;
  auto add_data = [&](std::string bytes) {
    sample.chunks.push_back(std::make_unique<UnspecifiedData>(bytes.size()));
    sample.bytes += bytes;
  };
  add_data(test::TextLikeBytes(3000));
  for (size_t plane = 0; plane < planes; ++plane) {
    const std::endian order = plane % 3 == 2 ? std::endian::big : std::endian::little;
    sample.chunks.push_back(std::make_unique<Image>(width, height, 2, order, PlaneCalibration(plane + 1)));
    sample.bytes += test::PixelBytes(test::CameraPixels(size_t{width} * height, width, 11 + plane), order);
    if (plane % 4 == 1) add_data(test::RandomBytes(700 + plane, plane));
  }
  if (large_plane) {
    constexpr uint32_t kWidth = 1024, kHeight = 700;
    sample.chunks.push_back(std::make_unique<Image>(kWidth, kHeight, 2, std::endian::little, PlaneCalibration(700)));
    sample.bytes += test::CameraBytes(size_t{kWidth} * kHeight, kWidth);
  }
  if (refused_plane) {
    sample.chunks.push_back(std::make_unique<Image>(width, height, 1, std::endian::little, chunk::image::Calibration{}));
    sample.bytes += test::RandomBytes(size_t{width} * height, 99);
  }
  sample.chunks.push_back(std::make_unique<InterleavedImage>(width, height, width * 6, 3, 2, std::endian::little,
                                                             PlaneCalibration(500)));
  sample.bytes += test::CameraBytes(size_t{width} * height * 3, size_t{width} * 3);
  add_data(test::TextLikeBytes(1234));
  return sample;
}

class WalkTest : public ::testing::TestWithParam<std::tuple<Operation, Input>> {};

INSTANTIATE_TEST_SUITE_P(Walks, WalkTest,
                         ::testing::Combine(::testing::ValuesIn(kWalks), ::testing::Values(Input::kFile, Input::kPipe)),
                         [](const auto& info) {
                           return WalkName(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) == Input::kFile ? "FromFile" : "FromPipe");
                         });

TEST_P(WalkTest, WritesTheSameBytesWhateverTheThreadCount) {
  const auto [walk, input_kind] = GetParam();
  Sample sample = SyntheticStack(12, 96, 64, input_kind == Input::kFile, true);
  const std::optional<Metadata> source(std::in_place, Metadata::FromChunks(std::move(sample.chunks)));
  std::string input = sample.bytes;
  std::optional<Metadata> walked = source;
  if (walk == Operation::kDecode) {
    Walked encoded = Walk(*source, sample.bytes, Operation::kEncode, 1);
    input = encoded.bytes;
    walked.emplace(*encoded.metadata);
  }
  const Walked one = Walk(*walked, input, walk, 1, input_kind);
  for (unsigned threads : test::kThreadCounts) {
    const Walked many = Walk(*walked, input, walk, threads, input_kind);
    EXPECT_TRUE(many.bytes == one.bytes) << threads << " threads";
    EXPECT_TRUE(*many.metadata == *one.metadata) << threads << " threads";
  }
  if (walk == Operation::kDecode) {
    EXPECT_TRUE(one.bytes == sample.bytes) << "decoding restores the source";
  }
}

// The shared samples through the whole-file operations: one file in, one file out.
class RealFileWalkTest : public ::testing::TestWithParam<const char*> {
 protected:
  test::TempDir dir_;
};

INSTANTIATE_TEST_SUITE_P(Samples, RealFileWalkTest,
                         ::testing::Values("tif-ijstack-pims-tiff_stack.tif", "tif-bian-cancer_cell_migration_crop.tif",
                                           "tif-ijhyper-pyimagej-test_4_channel.tif", "nd2-arcadia-timelapse.nd2",
                                           "nd2-arcadia-multichannel.nd2",
                                           "czi-czitools-S3_1Pos_2Mosaic_T2Z3_CH2_sm.czi",
                                           "czi-czitools-LSM880_AiryScan.czi", "dng-blackmagic-pocket4k.dng"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

TEST_P(RealFileWalkTest, CompressesToTheSameBytesWhateverTheThreadCount) {
  const std::filesystem::path source = test::FixturesDir() / GetParam();
  if (test::FixturesDir().empty() || !std::filesystem::exists(source)) GTEST_SKIP() << "sample files absent";
  const File file = File::Read(source);
  std::string first;
  for (unsigned threads : test::kThreadCounts) {
    test::ScopedThreadCount count(threads);
    const std::filesystem::path out = dir_ / ("t" + std::to_string(threads) + ".nivra");
    file.Compress(out, Options::KeepDestinationName);
    const std::string bytes = test::ReadFile(out);
    if (first.empty()) first = bytes;
    EXPECT_TRUE(bytes == first) << threads << " threads";
  }
  test::ScopedThreadCount count(test::kThreadCounts[std::size(test::kThreadCounts) - 1]);
  File::Read(dir_ / "t1.nivra").Decompress(dir_ / "back", Options::None);
  EXPECT_TRUE(test::ReadFile(dir_ / "back") == test::ReadFile(source));
}

uint64_t ChunkBound(const Chunks& chunks) {
  uint64_t largest = 0;
  for (const auto& chunk : chunks) largest = std::max({largest, chunk->length, chunk->DecodedLength()});
  // The chunk's bytes, and room for its result with a little slack.
  return 2 * largest + largest / 64 + 1024;
}

class BufferedBytesTest : public ::testing::TestWithParam<unsigned> {};

INSTANTIATE_TEST_SUITE_P(Threads, BufferedBytesTest, ::testing::Values(2u, 3u, 8u));

TEST_P(BufferedBytesTest, StayWithinThreadsPlusTwoChunksWhateverTheFileSize) {
  const unsigned threads = GetParam();
  for (Input kind : {Input::kFile, Input::kPipe}) {
    for (size_t planes : {20, 200}) {
      Sample sample = SyntheticStack(planes, 64, 64, kind == Input::kFile);
      const Metadata source = Metadata::FromChunks(std::move(sample.chunks));
      metadata::ResetPeakBufferedBytes();
      const Walked encoded = Walk(source, sample.bytes, Operation::kEncode, threads, kind);
      EXPECT_GT(metadata::PeakBufferedBytes(), 0u) << "the walk buffers chunks";
      EXPECT_LE(metadata::PeakBufferedBytes(), (threads + 2) * ChunkBound(source.chunks)) << planes << " planes";

      metadata::ResetPeakBufferedBytes();
      Walk(*encoded.metadata, encoded.bytes, Operation::kDecode, threads, kind);
      EXPECT_LE(metadata::PeakBufferedBytes(), (threads + 2) * ChunkBound(encoded.metadata->chunks)) << planes;
    }
  }
}

// Bytes made up as they are read, so that a chunk larger than any buffer costs no memory.
class PatternStreamBuf : public std::streambuf {
 public:
  explicit PatternStreamBuf(uint64_t size) : left_(size), block_(1 << 16) {}

 protected:
  int_type underflow() override {
    if (left_ == 0) return traits_type::eof();
    const size_t count = static_cast<size_t>(std::min<uint64_t>(left_, block_.size()));
    for (size_t i = 0; i < count; ++i) {
      block_[i] = static_cast<char>("abcdefgh"[(produced_ + i) % 8] + (produced_ >> 20) % 7);
    }
    produced_ += count;
    left_ -= count;
    setg(block_.data(), block_.data(), block_.data() + count);
    return traits_type::to_int_type(block_[0]);
  }

 private:
  uint64_t left_;
  uint64_t produced_ = 0;
  std::vector<char> block_;
};

// Keeps a digest and the count of what it is given.
class DigestStreamBuf : public std::streambuf {
 public:
  uint64_t digest = 1469598103934665603ull;
  uint64_t count = 0;

 protected:
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    for (std::streamsize i = 0; i < size; ++i) digest = (digest ^ static_cast<uint8_t>(data[i])) * 1099511628211ull;
    count += static_cast<uint64_t>(size);
    return size;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    xsputn(&byte, 1);
    return c;
  }
};

TEST(LargeChunkTest, StreamsInsteadOfBufferingAndKeepsTheOrder) {
  const uint64_t large = metadata::kLargestBufferedChunk + (1 << 20);
  Chunks chunks;
  for (int i = 0; i < 3; ++i) chunks.push_back(std::make_unique<UnspecifiedData>(40000 + i));
  chunks.push_back(std::make_unique<UnspecifiedData>(large));
  for (int i = 0; i < 3; ++i) chunks.push_back(std::make_unique<UnspecifiedData>(50000 + i));
  const Metadata source = Metadata::FromChunks(std::move(chunks));

  std::optional<std::pair<uint64_t, uint64_t>> first;
  for (unsigned threads : {1u, 4u}) {
    test::ScopedThreadCount count(threads);
    PatternStreamBuf pattern(source.length);
    std::istream in(&pattern);
    DigestStreamBuf digest;
    std::ostream out(&digest);
    metadata::ResetPeakBufferedBytes();
    const Metadata encoded = source.EncodeStream(in, out);
    EXPECT_LT(metadata::PeakBufferedBytes(), metadata::kLargestBufferedChunk) << threads << " threads";
    EXPECT_EQ(encoded.length, digest.count);
    if (!first) first.emplace(digest.digest, digest.count);
    EXPECT_EQ(*first, std::make_pair(digest.digest, digest.count)) << threads << " threads";
  }
}

// Copies its bytes, after a pause and a false start that it takes back the way the
// encoders' fallbacks do, or fails as told.
class ScriptedChunk : public UnspecifiedData {
 public:
  enum class Failure { kNone, kStandard, kTarn, kNivra, kNonStandard };

  ScriptedChunk(uint64_t length, Failure failure, int pause_ms)
      : UnspecifiedData(length), failure_(failure), pause_ms_(pause_ms) {}
  std::unique_ptr<Chunk> CloneWithCodec(Codec, uint64_t) const override {
    return std::make_unique<ScriptedChunk>(length, failure_, pause_ms_);
  }

 protected:
  CodecResult EncodeStream_(std::istream& in, std::ostream& out) const override { return Act(in, out); }
  CodecResult DecodeStream_(std::istream& in, std::ostream& out) const override { return Act(in, out); }
  CodecResult PrepareStream_(std::istream& in, std::ostream& out) const override { return Act(in, out); }
  CodecResult PrepareAndEncodeStream_(std::istream& in, std::ostream& out) const override { return Act(in, out); }

 private:
  CodecResult Act(std::istream& in, std::ostream& out) const {
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms_));
    const std::string name = "chunk of " + std::to_string(length);
    switch (failure_) {
      case Failure::kNone: break;
      case Failure::kStandard: throw std::runtime_error(name);
      case Failure::kTarn: throw Error(name, kTarnStatusInvalidFileContent);
      case Failure::kNivra: throw Brimlake::Nivra::NivraError(BM_TOO_FEW_PIXELS, name);
      case Failure::kNonStandard: throw 42;
    }
    const auto start = out.tellp();
    out << "a false start";
    out.seekp(start);
    out.write(bytes.data(), static_cast<std::streamsize>(length));
    return {codec, length};
  }

  Failure failure_;
  int pause_ms_;
};

using Failure = ScriptedChunk::Failure;

// Chunk 4 fails slowly, chunk 9 at once: with threads, chunk 9 fails first in time.
Metadata FailingFile(Failure failure) {
  Chunks chunks;
  for (uint64_t i = 0; i < 14; ++i) {
    const Failure script = i == 4 ? failure : i == 9 ? Failure::kStandard : Failure::kNone;
    chunks.push_back(std::make_unique<ScriptedChunk>(100 + i, script, i == 4 ? 15 : 0));
  }
  return Metadata::FromChunks(std::move(chunks));
}

struct Caught {
  std::string type;
  std::string text;
  int status = 0;
  std::string nested;
  bool operator==(const Caught&) const = default;
};

void PrintTo(const Caught& caught, std::ostream* out) {
  *out << caught.type << " \"" << caught.text << "\" status " << caught.status << " nested \"" << caught.nested << "\"";
}

Caught Catch(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    Caught caught{typeid(error).name(), error.what(), static_cast<int>(error.status()), ""};
    try {
      std::rethrow_if_nested(error);
    } catch (const std::exception& nested) {
      caught.nested = nested.what();
    } catch (...) {
      caught.nested = "non-standard";
    }
    return caught;
  } catch (const std::exception& error) {
    return {typeid(error).name(), error.what(), -1, ""};
  }
  return {"nothing thrown", "", 0, ""};
}

class FirstFailureTest : public ::testing::TestWithParam<std::tuple<Operation, Failure>> {};

INSTANTIATE_TEST_SUITE_P(Walks, FirstFailureTest,
                         ::testing::Combine(::testing::ValuesIn(kWalks),
                                            ::testing::Values(Failure::kStandard, Failure::kTarn, Failure::kNivra,
                                                              Failure::kNonStandard)));

TEST_P(FirstFailureTest, WinsInFileOrderAndIsConvertedAsWithOneThread) {
  const auto [walk, failure] = GetParam();
  const Metadata metadata = FailingFile(failure);
  const std::string input(metadata.length, 'x');
  const Caught one = Catch([&] { Walk(metadata, input, walk, 1); });
  ASSERT_NE(one.type, "nothing thrown");
  const char* expected = failure == Failure::kNonStandard ? "unknown" : "chunk of 104";
  EXPECT_NE(one.text.find(expected), std::string::npos) << one.text;
  for (unsigned threads : test::kThreadCounts) {
    EXPECT_EQ(Catch([&] { Walk(metadata, input, walk, threads); }), one) << threads << " threads";
  }
}

TEST(FirstFailureTest, LeavesNoOutputFile) {
  test::TempDir dir;
  test::WriteFile(dir / "source.raw", std::string(FailingFile(Failure::kNone).length, 'x'));
  const File file(dir / "source.raw", FailingFile(Failure::kTarn));
  for (unsigned threads : test::kThreadCounts) {
    test::ScopedThreadCount count(threads);
    EXPECT_THROW(file.Compress(dir / "out.nivra", Options::None), Error);
    EXPECT_THROW(file.Prepare(dir / "prepared.raw", Options::None), Error);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u) << "only the source remains with " << threads << " threads";
  }
}

// An output that takes `room` bytes and then fails, as a full disk does.
class FullDiskStreamBuf : public std::streambuf {
 public:
  explicit FullDiskStreamBuf(size_t room) : room_(room) {}

 protected:
  std::streamsize xsputn(const char*, std::streamsize size) override {
    const auto taken = std::min<std::streamsize>(size, static_cast<std::streamsize>(room_));
    room_ -= static_cast<size_t>(taken);
    return taken;
  }
  int_type overflow(int_type c) override {
    if (room_ == 0) return traits_type::eof();
    --room_;
    return traits_type::not_eof(c);
  }

 private:
  size_t room_;
};

TEST(ShortStreamTest, TruncatedInputAndFullOutputFailAsWithOneThread) {
  Sample sample = SyntheticStack(6, 48, 32);
  const Metadata source = Metadata::FromChunks(std::move(sample.chunks));
  const Walked encoded = Walk(source, sample.bytes, Operation::kEncode, 1);
  const struct {
    const Metadata& metadata;
    const std::string& bytes;
    Operation walk;
  } kFiles[] = {{source, sample.bytes, Operation::kEncode},
                {source, sample.bytes, Operation::kPrepare},
                {*encoded.metadata, encoded.bytes, Operation::kDecode}};
  for (const auto& file : kFiles) {
    for (size_t cut : {size_t{0}, size_t{2999}, size_t{3000}, file.bytes.size() / 2, file.bytes.size() - 1}) {
      const std::string truncated = file.bytes.substr(0, cut);
      for (Input kind : {Input::kFile, Input::kPipe}) {
        const Caught one = Catch([&] { Walk(file.metadata, truncated, file.walk, 1, kind); });
        EXPECT_NE(one.type, "nothing thrown") << cut;
        for (unsigned threads : test::kThreadCounts) {
          EXPECT_EQ(Catch([&] { Walk(file.metadata, truncated, file.walk, threads, kind); }), one)
              << WalkName(file.walk) << " cut at " << cut << ", " << threads << " threads"
              << (kind == Input::kPipe ? ", from a pipe" : "");
        }
      }
    }
    for (size_t room : {size_t{0}, size_t{5000}}) {
      auto full_disk = [&](unsigned threads) {
        return Catch([&] {
          test::ScopedThreadCount count(threads);
          std::istringstream in(file.bytes);
          FullDiskStreamBuf disk(room);
          std::ostream out(&disk);
          RunWalk(file.metadata, in, out, file.walk);
        });
      };
      const Caught one = full_disk(1);
      EXPECT_NE(one.type, "nothing thrown");
      for (unsigned threads : test::kThreadCounts) {
        EXPECT_EQ(full_disk(threads), one) << WalkName(file.walk) << " room " << room << ", " << threads << " threads";
      }
    }
  }
}

}  // namespace
}  // namespace tarn
