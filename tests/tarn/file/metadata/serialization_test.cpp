// The metadata block, the footer and the JSON versions.
#include <sstream>

#include <gtest/gtest.h>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/unspecified_data.hpp"
#include "tarn/file/metadata/footer.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/util/checksum.hpp"
#include "tarn/util/json.hpp"
#include "test_util.hpp"

namespace tarn {
namespace {

using chunk::UnspecifiedData;

Metadata Compressed(std::initializer_list<std::pair<uint64_t, uint64_t>> chunks) {
  Chunks list;
  for (auto [length, decoded] : chunks) list.push_back(std::make_unique<UnspecifiedData>(Codec::Zstd, length, decoded));
  return Metadata::FromChunks(std::move(list));
}

std::string Footer(uint32_t version, uint64_t length) {
  std::ostringstream out;
  metadata::Footer{version, length}.WriteTo(out);
  return out.str();
}

// The serialized form of `metadata` after `data` bytes of chunk data.
std::string SerializedFile(const Metadata& metadata, std::string data) {
  std::ostringstream out;
  out << data;
  metadata.SerializeToStream(out);
  return out.str();
}

Metadata Deserialize(const std::string& file) {
  std::istringstream in(file);
  return Metadata::DeserializeFromStream(in);
}

TEST(SerializationTest, BlockIsCompactSortedChecksummedAndCountsItself) {
  const Metadata metadata = Compressed({{200, 1000}});
  const std::string file = SerializedFile(metadata, std::string(200, 'x'));
  const uint64_t block_size = file.size() - 200 - 12;
  const std::string block = file.substr(200, block_size);
  // The checksum leads the block; it sums the block's bytes with its own digits as zeros.
  const std::string opening = "{\"block_checksum\":\"";
  ASSERT_EQ(block.substr(0, opening.size()), opening);
  std::string zeroed = block;
  zeroed.replace(opening.size(), 16, 16, '0');
  EXPECT_EQ(block.substr(opening.size(), 16), util::ChecksumText(util::Xxh3(zeroed)));
  const std::string expected = "{\"block_checksum\":\"0000000000000000\",\"chunks\":[{\"codec\":2,\"decoded_length\":"
                               "1000,\"length\":200,\"offset\":0}],\"decoded_length\":1000,\"length\":" +
                               std::to_string(file.size()) + ",\"version\":4}";
  EXPECT_EQ(zeroed, expected);
  EXPECT_EQ(file.substr(file.size() - 12), Footer(4, block_size));

  const Metadata read = Deserialize(file);
  EXPECT_EQ(read.length, file.size());
  EXPECT_EQ(read.SerializedLength(), block_size + 12);
  EXPECT_TRUE(*read.chunks[0] == *metadata.chunks[0]);
}

TEST(SerializationTest, LengthCrossingADigitBoundaryIsFixedUp) {
  // Find a data length whose total just crosses into another digit count.
  for (uint64_t data : {1, 9, 10, 99, 100, 101, 880, 885, 886, 887, 888, 889, 890, 899, 999, 9876}) {
    const Metadata metadata = Compressed({{data, 5}});
    const std::string file = SerializedFile(metadata, std::string(data, 'x'));
    const Metadata read = Deserialize(file);
    ASSERT_EQ(read.length, file.size()) << "data length " << data;
  }
}

TEST(SerializationTest, OffsetsBeyondFourGigabytes) {
  const uint64_t big = (uint64_t{1} << 32) + 12345;
  const Metadata metadata = Compressed({{big, 3 * big}, {big, big}});
  const Json::Value json = metadata.ToJson();
  EXPECT_EQ(json["chunks"][1]["offset"].asUInt64(), big);
  const Metadata read = Metadata::FromJson(FromJsonString(ToCompactJsonString(json)));
  EXPECT_TRUE(read == metadata);
  EXPECT_EQ(read.DecodedLength(), 4 * big);

  // A block at the end of a (virtual) file larger than 4 GiB: serialize with the fix-up.
  std::ostringstream block;
  const Metadata complete = metadata.SerializeToStream(block);
  EXPECT_EQ(complete.length, 2 * big + block.str().size());
  const Json::Value written = FromJsonString(block.str().substr(0, block.str().size() - 12));
  EXPECT_EQ(written["length"].asUInt64(), complete.length);
}

std::string ExceptionText(const std::string& file) {
  try {
    Deserialize(file);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

TEST(SerializationTest, DamagedFootersAndBlocksAreRefused) {
  const std::string good = SerializedFile(Compressed({{10, 20}}), std::string(10, 'x'));
  const std::string body = good.substr(0, good.size() - 12);
  const uint64_t block_size = good.size() - 22;

  EXPECT_EQ(ExceptionText(body + Footer(1, block_size)), "Invalid footer version 1");
  EXPECT_EQ(ExceptionText(body + Footer(6, block_size)), "Invalid footer version 6");
  // Footer 5 is read, but only with a block of version 5.
  EXPECT_EQ(ExceptionText(body + Footer(5, block_size)), "footer version 5 does not match metadata version 4");
  // Lengths larger than the file must not lead to huge reads or seeks before the start.
  EXPECT_NE(ExceptionText(body + Footer(4, good.size())).find("does not fit"), std::string::npos);
  EXPECT_NE(ExceptionText(body + Footer(4, UINT64_MAX)).find("does not fit"), std::string::npos);
  EXPECT_NE(ExceptionText(body + Footer(4, 0)), "");
  EXPECT_NE(ExceptionText("short"), "");
  EXPECT_NE(ExceptionText(""), "");

  // Not JSON, JSON that is not an object, an unknown version.
  EXPECT_EQ(ExceptionText("{{{" + Footer(4, 3)).rfind("FromJsonString: ", 0), 0u);
  EXPECT_EQ(ExceptionText("[1,2]" + Footer(4, 5)), "metadata block is not a JSON object");
  const std::string v9 = "{\"version\":9}";
  EXPECT_EQ(ExceptionText(v9 + Footer(4, v9.size())), "Metadata version 9 not supported");
  // A file cut short or extended after writing.
  EXPECT_NE(ExceptionText("y" + good), "");
}

// The file with its block (found through its footer) edited; the footer keeps its version.
std::string WithBlock(const std::string& file, const std::string& from, const std::string& to) {
  std::istringstream in(file.substr(file.size() - 12));
  const metadata::Footer footer = metadata::Footer::ReadFrom(in);
  std::string block = file.substr(file.size() - 12 - footer.length, footer.length);
  const size_t at = block.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) block.replace(at, from.size(), to);
  return file.substr(0, file.size() - 12 - footer.length) + block + Footer(footer.version, block.size());
}

std::string WithFooter(const std::string& block, uint32_t version, const std::string& data) {
  return data + block + Footer(version, block.size());
}

// A block of `members` whose "length" is the size of the whole file it ends.
std::string WithFooterCountingAll(const std::string& members, uint32_t version, const std::string& data) {
  std::string block;
  for (uint64_t total = 0; data.size() + block.size() + 12 != total;) {
    total = data.size() + block.size() + 12;
    block = "{" + members + ",\"length\":" + std::to_string(total) + "}";
  }
  return WithFooter(block, version, data);
}

// A description that does not fit its file (damage to a block written now or before blocks
// carried checksums) is refused; what older writers made is still read.
TEST(SerializationTest, DescriptionsAreCheckedAgainstTheirFile) {
  const std::string current = SerializedFile(Compressed({{10, 20}}), std::string(10, 'x'));
  const std::string legacy = test::ReadFile(std::filesystem::path(TARN_VECTORS_DIR) / "v4-image.tif.nivra");
  ASSERT_FALSE(legacy.empty());
  const std::string data(10, 'x');
  const std::string v0_chunk = R"("chunks":[{"codec":0,"decoded_length":10,"length":10,"offset":0}])";
  const struct {
    const char* name;
    std::string file;
    const char* refusal;  // empty: the file reads
  } cases[] = {
      {"intact, with checksum", current, ""},
      {"chunk changed", WithBlock(current, "\"codec\":2", "\"codec\":3"), "does not match its checksum"},
      {"checksum not lowercase hex", WithBlock(current, "\"block_checksum\":\"", "\"block_checksum\":\"X"),
       "malformed \"block_checksum\""},
      // A damaged key name leaves the rest intact: read as a block without checksum.
      {"checksum key renamed", WithBlock(current, "block_checksum", "block_chucksum"), ""},
      {"written before checksums", legacy, ""},
      {"version key renamed", WithBlock(legacy, "\"version\"", "\"versign\""),
       "footer version 4 does not match metadata version 0"},
      {"version 0", WithBlock(legacy, "\"version\":4", "\"version\":0"), "does not match metadata version 0"},
      {"version 3", WithBlock(legacy, "\"version\":4", "\"version\":3"), "does not match metadata version 3"},
      {"gap before the block",
       WithFooterCountingAll(v0_chunk + R"(,"decoded_length":10,"version":4)", 4, data + "y"),
       "chunks end at 10 but the metadata block starts at 11"},
      {"no gap", WithFooterCountingAll(v0_chunk + R"(,"decoded_length":10,"version":4)", 4, data), ""},
      // Older footers: version 0 blocks fill gaps, but never into the block.
      {"footer 2, version 0", WithFooter("{" + v0_chunk + R"(,"length":10,"version":0})", 2, data), ""},
      {"footer 2, no version", WithFooter("{" + v0_chunk + R"(,"length":10})", 2, data), ""},
      {"footer 2, version 0 over the block", WithFooter("{" + v0_chunk + R"(,"length":90,"version":0})", 2, data),
       "chunks overlap the metadata block"},
      {"footer 3, version 2", WithFooterCountingAll(v0_chunk + R"(,"decoded_length":10,"version":2)", 3, data), ""},
      {"footer 3, version 3", WithFooterCountingAll(v0_chunk + R"(,"decoded_length":10,"version":3)", 3, data), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = ExceptionText(c.file);
    if (*c.refusal == '\0') {
      EXPECT_EQ(text, "");
    } else {
      EXPECT_NE(text.find(c.refusal), std::string::npos) << text;
    }
  }
}

// A file ends like a compressed file when its footer names a block framed by braces; a
// damaged block does not change that, so that damage is reported as damage.
TEST(SerializationTest, CompressedFilesAreToldByTheirEnd) {
  const std::string current = SerializedFile(Compressed({{10, 20}}), std::string(10, 'x'));
  const std::string block = "{\"version\":4}";
  const std::pair<std::string, bool> cases[] = {
      {current, true},
      {WithBlock(current, "\"codec\":2", "\"codec\":3"), true},
      {WithFooter(" \n" + block + "\n", 4, "data"), true},
      {"plain text that is long enough to hold twelve bytes", false},
      {"short", false},
      {WithFooter(block, 1, "data"), false},
      {"data" + block + Footer(4, 1000), false},
      {WithFooter("[" + block + "]", 4, "data"), false},
  };
  for (const auto& [file, compressed] : cases) {
    std::istringstream in(file);
    EXPECT_EQ(Metadata::IsCompressedStream(in), compressed) << file;
  }
}

TEST(SerializationTest, ContiguousVersionsCheckOffsetsAndDecodedLength) {
  Json::Value json = Compressed({{10, 20}, {5, 5}}).ToJson();
  json["chunks"][1]["offset"] = 11;
  try {
    Metadata::FromJson(json);
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Chunk offset in JSON is not consistent [ Expected: 10 - Given: 11 ]");
  }
  json["chunks"][1]["offset"] = 10;
  json["decoded_length"] = 26;
  try {
    Metadata::FromJson(json);
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Metadata decoded_length in JSON is not consistent. [ Expected: 25 - Given: 26 ]");
  }
  json["decoded_length"] = 25;
  for (int version : {2, 3, 4}) {
    json["version"] = version;
    EXPECT_EQ(Metadata::FromJson(json).chunks.size(), 2u);
  }
  json["chunks"] = "not a list";
  EXPECT_THROW(Metadata::FromJson(json), bad_metadata);
}

TEST(SerializationTest, OldVersionsFillGaps) {
  Json::Value json = FromJsonString(
      R"({"version":0,"length":100,"chunks":[{"codec":2,"length":10,"decoded_length":30,"offset":20}]})");
  Metadata v0 = Metadata::FromJson(json);
  ASSERT_EQ(v0.chunks.size(), 3u);
  EXPECT_EQ(v0.chunks[0]->length, 20u);
  EXPECT_EQ(v0.chunks[2]->length, 70u);

  // Version 1 checks the decoded length; without "length" it stands in for it.
  json["version"] = 1;
  json["decoded_length"] = 120;
  Metadata v1 = Metadata::FromJson(json);
  EXPECT_EQ(v1.length, 100u);
  EXPECT_EQ(v1.DecodedLength(), 120u);
  json["decoded_length"] = 121;
  EXPECT_THROW(Metadata::FromJson(json), std::invalid_argument);
  Json::Value no_length = FromJsonString(
      R"({"version":1,"decoded_length":100,"chunks":[{"codec":0,"length":10,"decoded_length":10,"offset":20}]})");
  EXPECT_EQ(Metadata::FromJson(no_length).length, 100u);

  // Without "version" a block is read as version 0.
  json.removeMember("version");
  json.removeMember("decoded_length");
  EXPECT_TRUE(Metadata::FromJson(json) == v0);

  // Two chunks claiming the same offset.
  Json::Value twice = FromJsonString(
      R"({"version":0,"length":100,"chunks":[{"codec":0,"length":10,"decoded_length":10,"offset":20},
                                              {"codec":0,"length":5,"decoded_length":5,"offset":20}]})");
  EXPECT_THROW(Metadata::FromJson(twice), bad_metadata);
}

TEST(SerializationTest, BlocksWithoutChunks) {
  // Versions 0 and 1 describe the whole file as plain data; later ones have nothing to describe.
  const std::pair<std::string, bool> cases[] = {{"0", true},  {"1", true},  {"null", true},
                                                 {"2", false}, {"3", false}, {"4", false}};
  for (const auto& [version, whole_file] : cases) {
    SCOPED_TRACE(version);
    const Json::Value json = FromJsonString(R"({"length":500,"decoded_length":500,"version":)" + version + "}");
    if (whole_file) {
      const Metadata metadata = Metadata::FromJson(json);
      ASSERT_EQ(metadata.chunks.size(), 1u);
      EXPECT_TRUE(*metadata.chunks[0] == UnspecifiedData(500));
      EXPECT_EQ(metadata.length, 500u);
    } else {
      try {
        Metadata::FromJson(json);
        FAIL();
      } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Metadata must contain at least one chunk");
      }
    }
  }
  // A version that is present but not an unsigned number is still refused.
  EXPECT_THROW(Metadata::FromJson(FromJsonString(R"({"version":"4","chunks":[]})")), bad_metadata);
}

TEST(SerializationTest, FromJsonStringReportsParserErrors) {
  EXPECT_EQ(FromJsonString("{\"a\":1}")["a"].asInt(), 1);
  try {
    FromJsonString("{\"a\":");
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("FromJsonString: ", 0), 0u);
  }
  // Deep nesting is refused instead of exhausting the stack.
  EXPECT_THROW(FromJsonString(std::string(100000, '[')), std::runtime_error);
}

}  // namespace
}  // namespace tarn
