#include "object_record.hpp"

#include <gtest/gtest.h>

namespace caddistransfer {
namespace {

ObjectRecord Sample() {
  ObjectRecord record;
  record.encoding = Encoding::kTarn;
  record.size = 1'234'567;
  record.checksum = {0x0123456789abcdefull, 0xfedcba9876543210ull};
  record.source_size = 1'234'567;
  record.source_checksum = record.checksum;
  record.calibration = "Make_Model_ISO400";
  record.mode = 0640;
  record.modified_ns = 1'765'000'000'123'456'789;
  record.object_size = 345'678;
  record.object_checksum = {1, 2};
  return record;
}

bool Same(const ObjectRecord& a, const ObjectRecord& b) {
  return a.encoding == b.encoding && a.keeps_extension == b.keeps_extension && a.size == b.size &&
         a.checksum == b.checksum && a.calibration == b.calibration && a.mode == b.mode &&
         a.modified_ns == b.modified_ns && a.object_size == b.object_size && a.object_checksum == b.object_checksum &&
         a.SameUpload(b);
}

TEST(ObjectRecord, RoundTripsEveryField) {
  ObjectRecord verbatim = Sample();
  verbatim.encoding = Encoding::kVerbatim;
  verbatim.keeps_extension = true;
  verbatim.calibration.reset();
  for (const ObjectRecord& record : {Sample(), verbatim}) {
    EXPECT_TRUE(Same(ObjectRecord::FromText(record.ToText()), record)) << record.ToText();
  }
}

// A bit flipped anywhere in a record (its checksums, its mode, its time) must never give
// a different record that is trusted.
TEST(ObjectRecord, EverySingleBitFlipIsRefused) {
  const ObjectRecord record = Sample();
  const std::string text = record.ToText();
  for (std::size_t i = 0; i < text.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = text;
      damaged[i] = static_cast<char>(damaged[i] ^ (1 << bit));
      try {
        const ObjectRecord read = ObjectRecord::FromText(damaged);
        EXPECT_TRUE(Same(read, record)) << "flip of bit " << bit << " at " << i << " was trusted";
      } catch (const std::runtime_error&) {
      }
    }
  }
}

TEST(ObjectRecord, RefusesOtherFormatsAndVersions) {
  std::string text = Sample().ToText();
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"\"version\" : 1", "\"version\" : 2"},
                                 {"caddistransfer-record", "something-else"}}) {
    std::string changed = text;
    changed.replace(changed.find(from), from.size(), to);
    EXPECT_THROW(ObjectRecord::FromText(changed), std::runtime_error) << to;
  }
  EXPECT_THROW(ObjectRecord::FromText(""), std::runtime_error);
  EXPECT_THROW(ObjectRecord::FromText("[]"), std::runtime_error);
}

}  // namespace
}  // namespace caddistransfer
