// The S3 client against a real S3 server (see s3_test_server.hpp): round trips, ranges,
// conditional creation, multipart uploads, listings, and refusals that name S3's reason.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>

#include "../scratch_directory.hpp"
#include "s3/s3_digest.hpp"
#include "s3_test_server.hpp"

namespace caddistransfer::s3 {
namespace {

using caddistransfer::testing::ScratchDirectory;
using caddistransfer::testing::WriteFile;
using testing::S3ServerTest;

constexpr uint64_t kMiB = 1 << 20;

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

// A file of random bytes, open for reading while the object lives.
class SourceFile {
 public:
  SourceFile(const ScratchDirectory& scratch, std::size_t size, unsigned seed) : bytes_(RandomBytes(size, seed)) {
    path_ = (scratch / ("source-" + std::to_string(seed))).string();
    WriteFile(path_, bytes_);
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~SourceFile() { ::close(fd_); }
  const std::string& bytes() const { return bytes_; }
  RequestBody Range(uint64_t offset, uint64_t length) const { return {fd_, offset, length, {}, path_}; }
  RequestBody All() const { return Range(0, bytes_.size()); }

 private:
  std::string bytes_;
  std::string path_;
  int fd_ = -1;
};

std::string Md5Hex(std::string_view bytes) {
  Md5 md5;
  md5.Update(bytes.data(), bytes.size());
  return Hex(md5.Finish());
}

TEST_F(S3ServerTest, PutAndGetRoundTripWithMetadataThroughTheWireHooks) {
  ScratchDirectory scratch;
  const SourceFile source(scratch, 3 * kMiB + 17, 1);
  uint64_t sent = 0, received = 0;
  PutOptions put;
  put.metadata = {{"tarn-mode", "0600"}, {"tarn-mtime", "1700000000.123456789"}};
  put.on_wire = [&](std::size_t bytes) { sent += bytes; };
  const PutResult stored = client().Put(bucket(), Key("round trip.raw"), source.All(), put);
  EXPECT_EQ(stored.etag, Md5Hex(source.bytes()));
  EXPECT_EQ(sent, source.bytes().size());

  const auto info = client().Head(bucket(), Key("round trip.raw"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->size, source.bytes().size());
  EXPECT_EQ(info->etag, stored.etag);
  EXPECT_EQ(info->metadata, put.metadata);

  GetOptions get;
  get.on_wire = [&](std::size_t bytes) { received += bytes; };
  EXPECT_EQ(GetAll(Key("round trip.raw"), get), source.bytes());
  EXPECT_EQ(received, source.bytes().size());

  // Into a file, as a download resumes into its temporary file.
  const std::string target = (scratch / "target").string();
  const int fd = ::open(target.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  client().Get(bucket(), Key("round trip.raw"), WriteToFile(fd, 0, target), {0, kMiB, {}, {}});
  client().Get(bucket(), Key("round trip.raw"), WriteToFile(fd, kMiB, target), {kMiB, {}, stored.etag, {}});
  ::close(fd);
  EXPECT_EQ(caddistransfer::testing::ReadFile(target), source.bytes());
}

TEST_F(S3ServerTest, RangedGetsReturnExactlyTheRequestedBytes) {
  const std::string bytes = RandomBytes(100000, 2);
  client().Put(bucket(), Key("ranges"), {-1, 0, bytes.size(), bytes, "memory"});
  const std::vector<std::pair<uint64_t, std::optional<uint64_t>>> ranges = {
      {0, 1}, {99999, 1}, {12345, 50000}, {40000, std::nullopt}, {0, 100000}, {99000, 5000}};
  for (const auto& [offset, length] : ranges) {
    const std::size_t end = length ? std::min<std::size_t>(offset + *length, bytes.size()) : bytes.size();
    EXPECT_EQ(GetAll(Key("ranges"), {offset, length, {}, {}}), bytes.substr(offset, end - offset))
        << offset << "+" << length.value_or(0);
  }
  const auto refused_code = [&](const GetOptions& options) {
    try {
      GetAll(Key("ranges"), options);
    } catch (const RejectedError& error) {
      return error.details().code;
    }
    return std::string("accepted");
  };
  EXPECT_EQ(refused_code({100000, 10, {}, {}}), "InvalidRange");
  // An empty object has no range at all, but a whole GET of it passes.
  client().Put(bucket(), Key("empty"), {-1, 0, 0, "", "memory"});
  EXPECT_EQ(client().Head(bucket(), Key("empty"))->size, 0u);
  EXPECT_EQ(GetAll(Key("empty")), "");
  // A resumed download must not mix two versions of the object.
  EXPECT_EQ(refused_code({10, std::nullopt, Md5Hex("other bytes"), {}}), "PreconditionFailed");
}

TEST_F(S3ServerTest, CreateOnlyLetsExactlyOneOfConcurrentWritersWin) {
  constexpr int kWriters = 6;
  std::vector<std::string> contents;
  for (int i = 0; i < kWriters; ++i) contents.push_back(RandomBytes(256 * 1024, 10 + i));
  std::atomic<int> winner{-1};
  std::atomic<int> refused{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i) {
    writers.emplace_back([&, i] {
      PutOptions options;
      options.create_only = true;
      try {
        client().Put(bucket(), Key("contended"), {-1, 0, contents[i].size(), contents[i], "memory"}, options);
        winner = i;
      } catch (const RejectedError& error) {
        if (error.details().code == "PreconditionFailed" && error.details().http_status == 412) ++refused;
      }
    });
  }
  for (auto& writer : writers) writer.join();
  ASSERT_GE(winner, 0);
  EXPECT_EQ(refused, kWriters - 1);
  EXPECT_EQ(GetAll(Key("contended")), contents[winner]);
}

TEST_F(S3ServerTest, MultipartUploadListsItsPartsAndCompletesToTheWholeFile) {
  ScratchDirectory scratch;
  const uint64_t part = 5 * kMiB;
  const SourceFile source(scratch, 2 * part + kMiB + 3, 3);
  const std::string key = Key("multi/part file");
  const std::string id = client().CreateMultipartUpload(bucket(), key, {{"tarn-mode", "0640"}});

  std::vector<UploadedPart> parts(3);
  std::vector<std::thread> senders;
  for (int i = 0; i < 3; ++i) {
    senders.emplace_back([&, i] {
      const uint64_t offset = i * part;
      parts[i] = client().UploadPart(bucket(), key, id, i + 1,
                                     source.Range(offset, std::min<uint64_t>(part, source.bytes().size() - offset)));
    });
  }
  for (auto& sender : senders) sender.join();

  const auto listed = client().ListParts(bucket(), key, id);
  ASSERT_EQ(listed.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(listed[i].number, i + 1);
    EXPECT_EQ(listed[i].etag, parts[i].etag);
    EXPECT_EQ(listed[i].size, parts[i].size);
  }
  bool in_progress = false;
  for (const auto& upload : client().ListMultipartUploads(bucket(), Key("multi/"))) {
    in_progress |= upload.key == key && upload.upload_id == id;
  }
  EXPECT_TRUE(in_progress);

  const ObjectInfo info = client().CompleteMultipartUpload(bucket(), key, id, {parts[2], parts[0], parts[1]});
  EXPECT_EQ(info.size, source.bytes().size());
  EXPECT_EQ(info.etag, MultipartEtag({parts[0].etag, parts[1].etag, parts[2].etag}));
  EXPECT_EQ(info.metadata.at("tarn-mode"), "0640");
  EXPECT_EQ(GetAll(key), source.bytes());
  EXPECT_TRUE(client().ListMultipartUploads(bucket(), Key("multi/")).empty());
  // A completion sent again (its answer was lost) finds the finished object and passes.
  EXPECT_EQ(client().CompleteMultipartUpload(bucket(), key, id, parts).etag, info.etag);
}

TEST_F(S3ServerTest, AbortLeavesNeitherUploadNorObject) {
  const std::string bytes = RandomBytes(5 * kMiB, 4);
  const std::string key = Key("aborted");
  const std::string id = client().CreateMultipartUpload(bucket(), key);
  client().UploadPart(bucket(), key, id, 1, {-1, 0, bytes.size(), bytes, "memory"});
  client().AbortMultipartUpload(bucket(), key, id);

  EXPECT_TRUE(client().ListMultipartUploads(bucket(), key).empty());
  EXPECT_FALSE(client().Head(bucket(), key));
  try {
    client().ListParts(bucket(), key, id);
    ADD_FAILURE() << "parts listed after abort";
  } catch (const RejectedError& error) {
    EXPECT_EQ(error.details().code, "NoSuchUpload");
  }
  EXPECT_NO_THROW(client().AbortMultipartUpload(bucket(), key, id));
}

TEST_F(S3ServerTest, SmallPartsAreRefusedByTheServerAtCompletion) {
  const std::string key = Key("too small");
  const std::string id = client().CreateMultipartUpload(bucket(), key);
  std::vector<UploadedPart> parts;
  for (int number = 1; number <= 2; ++number) {
    parts.push_back(client().UploadPart(bucket(), key, id, number, {-1, 0, 5, "small", "memory"}));
  }
  try {
    client().CompleteMultipartUpload(bucket(), key, id, parts);
    ADD_FAILURE() << "completed with a 5-byte first part";
  } catch (const RejectedError& error) {
    EXPECT_EQ(error.details().code, "EntityTooSmall");
  }
  client().AbortMultipartUpload(bucket(), key, id);
}

TEST_F(S3ServerTest, ListingsPageThroughOddKeysUnderAPrefix) {
  const std::vector<std::string> names = {"a b", "c+d", "e%20f", "g~h", "\xC3\xA9t\xC3\xA9", "deep/er/x", "z=&?#"};
  for (const auto& name : names) client().Put(bucket(), Key("list/" + name), {-1, 0, name.size(), name, "memory"});
  client().Put(bucket(), Key("listed-not"), {-1, 0, 1, "x", "memory"});

  std::vector<std::string> keys;
  std::string token;
  int pages = 0;
  do {
    const ObjectsPage page = client().ListObjectsPage(bucket(), Key("list/"), token, 2);
    for (const auto& object : page.objects) {
      keys.push_back(object.key.substr(Key("list/").size()));
      EXPECT_EQ(object.size, keys.back().size());
    }
    token = page.next_continuation_token;
    ++pages;
  } while (!token.empty());
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(pages, 4);
  for (const auto& name : names) EXPECT_EQ(GetAll(Key("list/" + name)), name) << name;

  client().Delete(bucket(), Key("list/a b"));
  EXPECT_FALSE(client().Head(bucket(), Key("list/a b")));
  EXPECT_NO_THROW(client().Delete(bucket(), Key("list/a b")));
}

// Each refusal names the operation, the object, the endpoint and S3's reason, and the
// secret appears in none of them.
TEST_F(S3ServerTest, RefusalsNameTheReasonAndNeverTheSecret) {
  ClientSettings wrong_secret = entry().settings;
  wrong_secret.secret_key = "wrong-" + wrong_secret.secret_key;
  ClientSettings unknown_key = entry().settings;
  unknown_key.access_key = "UNKNOWNACCESSKEY0000";
  const std::string missing_bucket = "tarn-missing-bucket";

  struct Case {
    const char* what;
    ClientSettings settings;
    std::string bucket;
    bool head;
    const char* code;
    long status;
  };
  const std::vector<Case> cases = {
      {"wrong secret, put", wrong_secret, bucket(), false, "SignatureDoesNotMatch", 403},
      {"wrong secret, head", wrong_secret, bucket(), true, "SignatureDoesNotMatch", 403},
      {"unknown access key", unknown_key, bucket(), false, "InvalidAccessKeyId", 403},
      {"missing bucket, put", entry().settings, missing_bucket, false, "NoSuchBucket", 404},
      {"missing bucket, head", entry().settings, missing_bucket, true, "NoSuchBucket", 404},
  };
  for (const auto& c : cases) {
    Client client(c.settings);
    try {
      if (c.head) {
        client.Head(c.bucket, Key("refused"));
      } else {
        client.Put(c.bucket, Key("refused"), {-1, 0, 4, "data", "memory"});
      }
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const RejectedError& error) {
      const std::string text = error.what();
      EXPECT_EQ(error.details().code, c.code) << c.what;
      EXPECT_EQ(error.details().http_status, c.status) << c.what;
      EXPECT_NE(text.find(c.code), std::string::npos) << text;
      EXPECT_NE(text.find(client.endpoint()), std::string::npos) << text;
      EXPECT_NE(text.find("s3://" + c.bucket + "/"), std::string::npos) << text;
      EXPECT_EQ(text.find(c.settings.secret_key), std::string::npos) << text;
      EXPECT_EQ(text.find(entry().settings.secret_key), std::string::npos) << text;
    }
  }
  EXPECT_FALSE(client().Head(bucket(), Key("refused")));
}

}  // namespace
}  // namespace caddistransfer::s3
