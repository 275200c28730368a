// What the S3 client puts on the wire and reads back, checked without a server: key and
// query encoding (libcurl signs them as given), multipart ETags, answers, storage entries.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "s3/s3_client.hpp"
#include "s3/s3_digest.hpp"
#include "s3/s3_names.hpp"
#include "s3/s3_storage_entry.hpp"
#include "s3/s3_xml.hpp"

namespace caddistransfer::s3 {
namespace {

TEST(S3Names, KeysKeepUnreservedCharactersAndSlashesAndEncodeTheRest) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain/Key-1.raw_~", "plain/Key-1.raw_~"},
      {"a b+c%d", "a%20b%2Bc%25d"},
      {"\xC3\xA9t\xC3\xA9/=&?#", "%C3%A9t%C3%A9/%3D%26%3F%23"},
  };
  for (const auto& [key, encoded] : cases) EXPECT_EQ(EncodeKey(key), encoded) << key;
  EXPECT_EQ(EncodeQueryComponent("a/b c"), "a%2Fb%20c");
}

TEST(S3Names, QueriesAreSortedWithValuelessParametersWrittenWithEquals) {
  EXPECT_EQ(CanonicalQuery({{"uploads", ""}, {"prefix", "x/y z"}, {"encoding-type", "url"}}),
            "encoding-type=url&prefix=x%2Fy%20z&uploads=");
  EXPECT_EQ(CanonicalQuery({{"uploadId", "2~a"}, {"partNumber", "10"}}), "partNumber=10&uploadId=2~a");
}

TEST(S3Names, PercentDecodingRefusesMalformedEscapesAndNul) {
  EXPECT_EQ(DecodePercent("a%20b%2fc"), "a b/c");
  for (const char* bad : {"%", "%2", "%zz", "a%00b"}) EXPECT_FALSE(DecodePercent(bad)) << bad;
}

TEST(S3Names, NamesThatCannotTravelSafelyAreRefused) {
  for (const char* bucket : {"", "a/b", "..", "with space", "tilde~"}) {
    EXPECT_THROW(CheckBucketName(bucket), PermanentError) << bucket;
  }
  EXPECT_NO_THROW(CheckBucketName("Lab_archive-2.old"));
  EXPECT_THROW(CheckKey(""), PermanentError);
  EXPECT_THROW(CheckKey(std::string(1025, 'k')), PermanentError);
  EXPECT_THROW(CheckKey(std::string("a\0b", 3)), PermanentError);
  EXPECT_THROW(CheckMetadata("Mode", "1"), PermanentError);
  EXPECT_THROW(CheckMetadata("mode", "a\r\nx-amz-meta-evil: 1"), PermanentError);
  EXPECT_THROW(CheckMetadata("mode", " 0644"), PermanentError);
  EXPECT_NO_THROW(CheckMetadata("tarn-mode", "0644"));
}

TEST(S3Digest, MultipartEtagIsTheMd5OfThePartMd5sWithTheCount) {
  Md5 md5;
  md5.Update("a", 1);
  const std::string a = Hex(md5.Finish());
  md5.Update("b", 1);
  const std::string b = Hex(md5.Finish());
  EXPECT_EQ(a, "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(MultipartEtag({a, b}), "96e024ba2074fe77e8e965ba43a704be-2");
  EXPECT_EQ(MultipartEtag({a, "not-an-md5"}), "");
  EXPECT_EQ(Unquote("\"abc\""), "abc");
}

TEST(S3Answers, ErrorDocumentsAndListingsAreRead) {
  const auto error = ParseErrorDocument(
      R"(<?xml version="1.0" encoding="UTF-8"?><Error><Code>NoSuchBucket</Code><Message></Message></Error>)");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, "NoSuchBucket");
  EXPECT_FALSE(ParseErrorDocument("<html>proxy error</html>"));
  EXPECT_FALSE(ParseErrorDocument(""));

  const ObjectsPage page = ParseObjectsPage(
      R"(<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/"><EncodingType>url</EncodingType>)"
      R"(<IsTruncated>true</IsTruncated><NextContinuationToken>t1</NextContinuationToken>)"
      R"(<Contents><Key>a%20b%2Bc</Key><Size>12</Size><ETag>"e"</ETag><LastModified>2026-12-08T10:01:56.123Z</LastModified></Contents>)"
      R"(</ListBucketResult>)");
  ASSERT_EQ(page.objects.size(), 1u);
  EXPECT_EQ(page.objects[0].key, "a b+c");
  EXPECT_EQ(page.objects[0].size, 12u);
  EXPECT_EQ(page.objects[0].etag, "e");
  EXPECT_EQ(page.next_continuation_token, "t1");
  EXPECT_THROW(ParseObjectsPage("<ListBucketResult><IsTruncated>true</IsTruncated></ListBucketResult>"),
               MalformedAnswer);
  EXPECT_THROW(ParseUploadId("<Error/>"), MalformedAnswer);
  EXPECT_EQ(ParseIsoTime("2026-12-08T10:01:56Z"), ParseIsoTime("2026-12-08T10:01:56.999Z"));
  EXPECT_FALSE(ParseIsoTime("2026-12-08 10:01:56"));
}

TEST(S3StorageEntry, UrlsNameABucketAndAPrefix) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"s3://archive", "archive", ""},
      {"s3://archive/", "archive", ""},
      {"s3://archive/lab/raw", "archive", "lab/raw/"},
      {"s3://archive/lab%20a/", "archive", "lab a/"},
  };
  for (const auto& [url, bucket, prefix] : cases) {
    const StorageLocation location = ParseStorageUrl(url);
    EXPECT_EQ(location.bucket, bucket) << url;
    EXPECT_EQ(location.prefix, prefix) << url;
  }
  for (const char* bad : {"file:///srv", "s3://", "s3:///x", "s3://b/a//c", "s3://b/../c", "s3://b/x?y", "s3://b/%00"}) {
    EXPECT_THROW(ParseStorageUrl(bad), PermanentError) << bad;
  }
}

TEST(S3StorageEntry, EntriesNeedEndpointAndKeysAndNeverQuoteTheSecret) {
  const std::string secret = "s3cr3t-Value-never-shown";
  const auto entry = [&](const std::string& extra) {
    return R"({"url": "s3://archive/lab", "endpoint": "https://s3.example.org:8443", "access_key": "AK",)" +
           extra + R"( "secret_key": ")" + secret + R"("})";
  };
  const StorageEntry parsed = ParseStorageEntryText(entry(""), "storage 'x'");
  EXPECT_EQ(parsed.location.prefix, "lab/");
  EXPECT_EQ(parsed.settings.region, "us-east-1");
  EXPECT_EQ(ParseStorageEntryText(entry(R"("region": "eu-central-1",)"), "x").settings.region, "eu-central-1");

  const std::vector<std::string> refused = {
      entry(R"("secret": "typo",)"),
      entry(R"("region": 5,)"),
      entry(R"("allow_plain_http": "yes",)"),
      R"({"url": "s3://archive", "endpoint": "http://s3.example.org", "access_key": "AK", "secret_key": ")" + secret + R"("})",
      R"({"url": "s3://archive", "endpoint": "https://h", "access_key": "AK", "secret_key": ""})",
      R"({"url": "s3://archive", "access_key": "AK", "secret_key": ")" + secret + R"("})",
      R"("s3://archive")",
  };
  for (const auto& text : refused) {
    try {
      ParseStorageEntryText(text, "storage 'x'");
      ADD_FAILURE() << "accepted " << text;
    } catch (const PermanentError& error) {
      EXPECT_EQ(std::string(error.what()).find(secret), std::string::npos) << error.what();
      EXPECT_TRUE(std::string(error.what()).starts_with("storage 'x'")) << error.what();
    }
  }
  // Plain http is fine on loopback, and elsewhere when the entry says so.
  EXPECT_NO_THROW(ParseStorageEntryText(
      R"({"url": "s3://a", "endpoint": "http://127.0.0.1:7480", "access_key": "k", "secret_key": "s"})", "x"));
  EXPECT_NO_THROW(ParseStorageEntryText(
      R"({"url": "s3://a", "endpoint": "http://s3.lab", "access_key": "k", "secret_key": "s", "allow_plain_http": true})",
      "x"));
}

TEST(S3Client, EndpointsAreHostAndPortOnly) {
  for (const char* bad : {"ftp://host", "https://user:pw@host", "https://host/path", "https://host?x=1", "host:80"}) {
    EXPECT_THROW(Client({bad, "us-east-1", "k", "s", ""}), PermanentError) << bad;
  }
  EXPECT_EQ(Client({"https://s3.example.org:8443/", "us-east-1", "k", "s", ""}).endpoint(),
            "https://s3.example.org:8443");
  EXPECT_THROW(Client({"https://s3.example.org", "us-east-1", "k", "", ""}), PermanentError);
}

// A stopped server (nothing listens on the port) and a hung one (it accepts and never
// answers) both fail at once as transient errors naming the endpoint.
TEST(S3Client, UnreachableAndSilentServersAreTransientErrorsNamingTheEndpoint) {
  for (const bool listening : {false, true}) {
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length), 0);
    if (listening) {
      ASSERT_EQ(::listen(socket, 4), 0);
    } else {
      ::close(socket);
    }
    const std::string endpoint = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    ClientSettings settings{endpoint, "us-east-1", "AK", "secret-never-shown", ""};
    settings.stall_timeout = std::chrono::milliseconds(300);
    Client client(settings);
    const auto started = std::chrono::steady_clock::now();
    try {
      client.Put("bucket", "key", {-1, 0, 4, "data", "memory"});
      ADD_FAILURE() << "no error";
    } catch (const TransientError& error) {
      const std::string text = error.what();
      EXPECT_EQ(error.details().http_status, 0);
      EXPECT_TRUE(text.starts_with("PutObject s3://bucket/key at " + endpoint + ": ")) << text;
      EXPECT_NE(text.find(listening ? "the server stopped answering: nothing moved for 300 ms" : "connect"),
                std::string::npos)
          << text;
      EXPECT_EQ(text.find("secret-never-shown"), std::string::npos) << text;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    if (listening) ::close(socket);
  }
}

}  // namespace
}  // namespace caddistransfer::s3
