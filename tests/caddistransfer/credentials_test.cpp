#include "credentials.hpp"

#include <gtest/gtest.h>

#include "error.hpp"
#include "scratch_directory.hpp"

namespace caddistransfer {
namespace {

using testing::ScratchDirectory;
using testing::WriteFile;

TEST(Credentials, ReadsTheOrganizationsEntry) {
  ScratchDirectory scratch;
  WriteFile(scratch / "credentials.json", R"({"organizations": {
    "lab": {"host": "https://t.example", "access_token": "abc", "expires_at": "2099-01-31T12:00:00Z",
            "user_code": "BCDF-GHJK", "storages": {"main": "file:///srv/main", "copy": "file:///srv/copy"}},
    "other": {}}})");
  const Credentials lab = ReadCredentials(scratch / "credentials.json", "lab");
  EXPECT_EQ(lab.host, "https://t.example");
  EXPECT_EQ(lab.access_token, "abc");
  EXPECT_EQ(lab.user_code, "BCDF-GHJK");
  ASSERT_TRUE(lab.expires_at);
  EXPECT_EQ(FormatUtcTime(*lab.expires_at), "2099-01-31T12:00:00Z");
  EXPECT_EQ(lab.storages.size(), 2u);
  EXPECT_EQ(lab.storages.at("copy"), "file:///srv/copy");
  EXPECT_TRUE(lab.TokenValidAt(std::chrono::system_clock::now()));

  const Credentials other = ReadCredentials(scratch / "credentials.json", "other");
  EXPECT_TRUE(other.access_token.empty());
  EXPECT_FALSE(other.TokenValidAt(std::chrono::system_clock::now()));
}

TEST(Credentials, ExpiryDecidesValidity) {
  Credentials credentials;
  credentials.access_token = "t";
  EXPECT_TRUE(credentials.TokenValidAt(std::chrono::system_clock::now()));  // no expiry
  credentials.expires_at = ParseUtcTime("2001-01-01T00:00:00Z");
  EXPECT_FALSE(credentials.TokenValidAt(std::chrono::system_clock::now()));
}

TEST(Credentials, FaultsNameTheFileAndTheProblem) {
  ScratchDirectory scratch;
  auto message_for = [&](const std::string& content, const std::string& organization = "lab") {
    WriteFile(scratch / "c.json", content);
    try {
      ReadCredentials(scratch / "c.json", organization);
    } catch (const PermanentError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_NE(message_for("{").find("is not valid JSON"), std::string::npos);
  EXPECT_NE(message_for("[]").find("has no \"organizations\" object"), std::string::npos);
  EXPECT_NE(message_for(R"({"organizations": {}})").find("organization 'lab' is not in"), std::string::npos);
  EXPECT_NE(message_for(R"({"organizations": {"lab": {"host": 5}}})").find("\"host\" must be a string"),
            std::string::npos);
  EXPECT_NE(message_for(R"({"organizations": {"lab": {"expires_at": "tomorrow"}}})").find("\"expires_at\""),
            std::string::npos);
  EXPECT_NE(message_for(R"({"organizations": {"lab": {"storages": {"a": 1}}}})").find("storage 'a'"),
            std::string::npos);
  EXPECT_NE(message_for(R"({"organizations": {"lab": {}, "lab": {}}})").find("is not valid JSON"), std::string::npos);
  EXPECT_THROW(ReadCredentials(scratch / "missing.json", "lab"), PermanentError);
}

TEST(Credentials, AFileOthersMayWriteIsRefused) {
  ScratchDirectory scratch;
  const auto file = scratch / "c.json";
  WriteFile(file, R"({"organizations": {"lab": {"storages": {"main": "file:///srv/main"}}}})");
  for (const auto& [mode, accepted] : {std::pair{0600, true}, {0660, true}, {0644, true}, {0666, false}, {0602, false}}) {
    std::filesystem::permissions(file, static_cast<std::filesystem::perms>(mode));
    if (accepted) {
      EXPECT_NO_THROW(ReadCredentials(file, "lab")) << std::oct << mode;
    } else {
      try {
        ReadCredentials(file, "lab");
        ADD_FAILURE() << "accepted mode " << std::oct << mode;
      } catch (const PermanentError& error) {
        EXPECT_NE(std::string(error.what()).find("is writable by other users"), std::string::npos) << error.what();
      }
    }
  }
}

TEST(UtcTime, ParsesOnlyTheDocumentedForm) {
  EXPECT_TRUE(ParseUtcTime("2027-01-31T12:00:00Z"));
  for (const char* text : {"2027-01-31 12:00:00Z", "2027-01-31T12:00:00", "2027-13-01T00:00:00Z",
                           "2027-01-31T12:00:00+01:00", "2027-01-31T12:00:00Zjunk", ""}) {
    EXPECT_FALSE(ParseUtcTime(text)) << text;
  }
}

TEST(Credentials, S3StoragesAreEntriesWhoseSecretOthersMayNotRead) {
  ScratchDirectory scratch;
  const auto file = scratch / "c.json";
  const std::string secret = "very-secret-key";
  const auto write = [&](const std::string& extra) {
    WriteFile(file, R"({"organizations": {"lab": {"storages": {"main": "file:///srv/main", "cloud": {"url": "s3://b/p",)"
                    R"( "endpoint": "https://s3.example:8443", "access_key": "AK", "secret_key": ")" + secret + "\"" +
                        extra + "}}}}}");
  };
  write("");
  std::filesystem::permissions(file, static_cast<std::filesystem::perms>(0640));
  const Credentials credentials = ReadCredentials(file, "lab");
  EXPECT_EQ(credentials.storages.size(), 1u);
  ASSERT_EQ(credentials.s3_storages.count("cloud"), 1u);
  EXPECT_EQ(credentials.s3_storages.at("cloud").location.bucket, "b");
  EXPECT_EQ(credentials.s3_storages.at("cloud").settings.secret_key, secret);

  struct Case {
    int mode;
    const char* extra;
    const char* message;  // "" when accepted
  };
  for (const Case& c : {Case{0600, "", ""}, Case{0644, "", "readable by other users (mode 0644)"},
                        Case{0604, "", "readable by other users"}, Case{0600, R"(, "secret": "x")", "storage 'cloud'"}}) {
    write(c.extra);
    std::filesystem::permissions(file, static_cast<std::filesystem::perms>(c.mode));
    std::string message;
    try {
      ReadCredentials(file, "lab");
    } catch (const PermanentError& error) {
      message = error.what();
    }
    EXPECT_EQ(message.empty(), std::string(c.message).empty()) << std::oct << c.mode << ": " << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    EXPECT_EQ(message.find(secret), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace caddistransfer
