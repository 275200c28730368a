// Decoding of ND2 image attributes in both stored forms.
#include <gtest/gtest.h>

#include "readers/nd2_builder.hpp"
#include "tarn/file/metadata/readers/nd2_attributes.hpp"

namespace tarn::test {
namespace {

using metadata::nd2::DecodeAttributes;

TEST(Nd2Attributes, LvFieldsOfAnyIntegerTypeAtAnyDepth) {
  Bytes wide = LvItem(5, "uiWidth");
  wide.Le(uint64_t{70000});
  const auto data = LvLevel("SLxImageAttributes",
                            {wide.data, LvLevel("inner", {LvInt32("uiHeight", 9), LvString("name", "x")}),
                             LvItem(4, "uiComp").Le(int64_t{3}).data});
  const auto attributes = DecodeAttributes(data);
  EXPECT_EQ(attributes.width.value, 70000);
  EXPECT_EQ(attributes.height.value, 9);
  EXPECT_EQ(attributes.components.value, 3);
  EXPECT_FALSE(attributes.width_bytes.value);
  EXPECT_FALSE(attributes.width.conflicting);
}

TEST(Nd2Attributes, MarksFieldsStoredTwiceDifferentlyOrAsNonIntegers) {
  const auto data = LvLevel("a", {LvUInt32("uiWidth", 5), LvUInt32("uiWidth", 6), LvUInt32("uiHeight", 2),
                                  LvUInt32("uiHeight", 2), LvDouble("uiComp")});
  const auto attributes = DecodeAttributes(data);
  EXPECT_TRUE(attributes.width.conflicting);
  EXPECT_FALSE(attributes.height.conflicting);
  EXPECT_TRUE(attributes.components.conflicting);
}

TEST(Nd2Attributes, RefusesLvItCannotWalk) {
  auto level = LvLevel("a", {LvUInt32("uiWidth", 5)});
  auto longer = level;
  longer[2 + 4 + 4] += 1;  // level length one byte past its children
  EXPECT_THROW(DecodeAttributes(longer), std::runtime_error);
  auto cut = level;
  cut.resize(cut.size() - 9);
  EXPECT_THROW(DecodeAttributes(cut), std::runtime_error);
  const auto compressed = LvItem(76, "").Zeros(10).Text("zlib").data;
  EXPECT_THROW(DecodeAttributes(compressed), std::runtime_error);
}

TEST(Nd2Attributes, XmlWithBlanksDeclarationAndUtf16) {
  Nd2Spec spec;
  spec.width = 41;
  spec.compression = 2;
  auto xml = Nd2XmlAttributes(spec);
  xml.insert(xml.begin(), {'\r', '\n', ' '});
  EXPECT_EQ(DecodeAttributes(xml).width.value, 41);

  // The same document as UTF-16 with a byte order mark.
  std::string text(xml.begin() + 3, xml.end());
  text.replace(text.find("UTF-8"), 5, "UTF-16");
  std::vector<uint8_t> utf16{0xFF, 0xFE};
  for (char c : text) utf16.insert(utf16.end(), {static_cast<uint8_t>(c), 0});
  const auto attributes = DecodeAttributes(utf16);
  EXPECT_EQ(attributes.width.value, 41);
  EXPECT_EQ(attributes.compression.value, 2);
  EXPECT_EQ(attributes.bits_per_component.value, 16);

  const std::string broken = "<variant><uiWidth value=\"12\"></variant>";
  EXPECT_THROW(DecodeAttributes(std::vector<uint8_t>(broken.begin(), broken.end())), std::runtime_error);
  const std::string words = "<variant><uiWidth value=\"wide\"/></variant>";
  EXPECT_TRUE(DecodeAttributes(std::vector<uint8_t>(words.begin(), words.end())).width.conflicting);
}

}  // namespace
}  // namespace tarn::test
