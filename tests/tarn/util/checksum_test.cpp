#include "tarn/util/checksum.hpp"

#include <sstream>

#include <gtest/gtest.h>

#include "tarn/util/checksum_output.hpp"

namespace {

TEST(ChecksumText, RoundTripsAndRefusesEveryOtherText) {
  for (uint64_t value : {uint64_t{0}, uint64_t{1}, uint64_t{0xfedcba9876543210}, ~uint64_t{0}}) {
    const std::string text = tarn::util::ChecksumText(value);
    EXPECT_EQ(text.size(), tarn::util::kChecksumTextLength);
    EXPECT_EQ(tarn::util::ParseChecksumText(text), value) << text;
  }
  EXPECT_EQ(tarn::util::ChecksumText(0xfedcba9876543210), "fedcba9876543210");
  for (const char* bad : {"", "fedcba987654321", "fedcba98765432100", "FEDCBA9876543210", "fedcba987654321g",
                          " edcba9876543210"}) {
    EXPECT_FALSE(tarn::util::ParseChecksumText(bad)) << bad;
  }
}

TEST(Xxh3Stream, PiecesGiveTheWholeDigest) {
  std::string text(100000, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 131 % 251);
  tarn::util::Xxh3Stream stream;
  for (std::size_t at = 0; at < text.size(); at += 777) {
    const std::size_t n = std::min<std::size_t>(777, text.size() - at);
    stream.Update(std::as_bytes(std::span(text.data() + at, n)));
  }
  EXPECT_EQ(stream.Digest(), tarn::util::Xxh3(text));
  EXPECT_NE(tarn::util::Xxh3(text), tarn::util::Xxh3(text.substr(1)));
}

}  // namespace

// What passes through is summed per range; a return to the start (an encoder replacing its
// output by a plain copy) starts afresh, a seek anywhere else leaves no sum to trust.
TEST(ChecksumOutput, SumsRangesAndFollowsRewrites) {
  using tarn::util::ChecksumOutput;
  std::ostringstream target;
  target << "ahead";
  {
    ChecksumOutput out(target, {3, 4});
    out << "abcdefgXY";  // "abc", "defg", then bytes beyond the ranges
    EXPECT_EQ(out.Sum(0), tarn::util::Xxh3(std::string_view("abc")));
    EXPECT_EQ(out.Sum(1), tarn::util::Xxh3(std::string_view("defg")));
    EXPECT_EQ(out.Written(), 9u);
  }
  EXPECT_EQ(target.str(), "aheadabcdefgXY");

  ChecksumOutput open(target);
  const auto start = open.tellp();
  open << "half-written frame";
  EXPECT_EQ(open.tellp(), start + std::streamoff(18)) << "telling the position keeps the sum";
  open.seekp(start);
  open << "plain";
  EXPECT_EQ(open.Sum(0), tarn::util::Xxh3(std::string_view("plain")));
  EXPECT_FALSE(open.Sum(1));
  open.seekp(start + std::streamoff(2));
  EXPECT_FALSE(open.Sum(0));
}
