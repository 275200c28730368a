#include "tarn/util/stream.hpp"

#include <array>
#include <sstream>

#include <gtest/gtest.h>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/codec/util/recover_encode_error.hpp"

namespace tarn {
namespace {

TEST(StreamTest, ReadStreamToSpanStopsAtTheEnd) {
  std::array<uint8_t, 10> buffer{};
  std::istringstream in("abcd");
  EXPECT_EQ(ReadStreamToSpan(in, buffer), 4u);
  EXPECT_EQ(buffer[3], 'd');
  EXPECT_EQ(ReadStreamToSpan(in, buffer), 0u);  // nothing left: returns, does not spin

  // Streams that throw at their end still give the short count.
  std::istringstream throwing("xyz");
  throwing.exceptions(std::ios::badbit | std::ios::failbit);
  EXPECT_EQ(ReadStreamToSpan(throwing, buffer), 3u);
}

TEST(StreamTest, StreamCopyNCopiesExactlyOrThrows) {
  std::istringstream in("0123456789");
  std::ostringstream out;
  util::StreamCopyN(in, 4, out);
  EXPECT_EQ(out.str(), "0123");
  EXPECT_EQ(in.get(), '4');
  EXPECT_THROW(util::StreamCopyN(in, 100, out), std::ios_base::failure);
  util::StreamCopyN(in, 0, out);
}

TEST(StreamTest, WriteSpanToStreamReportsFailure) {
  const std::array<uint8_t, 3> bytes{1, 2, 3};
  std::ostringstream out;
  EXPECT_EQ(WriteSpanToStream(bytes, out), 3u);
  out.setstate(std::ios::badbit);
  EXPECT_THROW(WriteSpanToStream(bytes, out), std::ios_base::failure);
}

TEST(StreamTest, RecoverEncodeErrorRewindsOrRethrows) {
  const EncodeError error("boom", Codec::Zstd, kTarnStatusUnknownError);
  std::istringstream in("abcdef");
  in.seekg(2);
  const auto before = in.tellg();
  in.seekg(5);
  in.setstate(std::ios::failbit);
  codec::RecoverEncodeError(error, in, before);
  EXPECT_EQ(in.get(), 'c');

  try {
    codec::RecoverEncodeError(error, in, std::istream::pos_type(-1));
    FAIL();
  } catch (const EncodeError& thrown) {
    EXPECT_STREQ(thrown.what(), "Zstd encoder error: boom");
  }
  // A position the stream cannot reach.
  std::istringstream other("ab");
  EXPECT_THROW(codec::RecoverEncodeError(error, other, std::istream::pos_type(100)), EncodeError);
}

}  // namespace
}  // namespace tarn
