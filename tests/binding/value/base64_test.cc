#include "binding/value/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace Voro {
namespace {

TEST(Base64DecodeTest, DecodesPaddedAndUnpaddedTextsOnly) {
  using Bytes = std::vector<uint8_t>;
  const std::pair<const char*, std::optional<Bytes>> cases[] = {
      {"AQI=", Bytes{1, 2}},       {"Zg==", Bytes{'f'}},   {"Zg", Bytes{'f'}},  // padding optional
      {"+/8=", Bytes{0xFB, 0xFF}}, {"", Bytes{}},          {"A", std::nullopt},
      {"AQI==", std::nullopt},     {"A===", std::nullopt}, {"AQ=I", std::nullopt},
      {"AQI ", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    Bytes out;
    const bool ok = Base64Decode(text, &out);
    EXPECT_EQ(ok, expected.has_value()) << text;
    if (ok && expected) {
      EXPECT_EQ(out, *expected) << text;
    }
  }
  EXPECT_TRUE(IsBase64Alphabet("ABCXYZabcxyz0189+/="));
  EXPECT_FALSE(IsBase64Alphabet("AQ I="));
  EXPECT_FALSE(IsBase64Alphabet(std::string_view("AQ\0I", 4)));
}

TEST(Base64DecodeTest, RoundTripsEncodedBytes) {
  std::mt19937 random(12345);
  for (size_t size = 0; size < 64; ++size) {
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    const std::string text = Base64Encode(bytes.data(), bytes.size());
    std::vector<uint8_t> back;
    ASSERT_TRUE(Base64Decode(text, &back)) << text;
    EXPECT_EQ(back, bytes);
  }
}

}  // namespace
}  // namespace Voro
