#include "binding/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace Voro {
namespace {

std::vector<uint8_t> Decode(std::string_view text, bool* ok) {
  std::vector<uint8_t> out;
  *ok = Base64Decode(text, &out);
  return out;
}

TEST(Base64DecodeTest, KnownTexts) {
  bool ok = false;
  EXPECT_EQ(Decode("AQI=", &ok), (std::vector<uint8_t>{1, 2}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(Decode("Zm9vYmFy", &ok), (std::vector<uint8_t>{'f', 'o', 'o', 'b', 'a', 'r'}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(Decode("Zg==", &ok), (std::vector<uint8_t>{'f'}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(Decode("Zg", &ok), (std::vector<uint8_t>{'f'}));  // padding may be left out
  EXPECT_TRUE(ok);
  EXPECT_EQ(Decode("", &ok), std::vector<uint8_t>{});
  EXPECT_TRUE(ok);
  EXPECT_EQ(Decode("+/8=", &ok), (std::vector<uint8_t>{0xFB, 0xFF}));
  EXPECT_TRUE(ok);
}

TEST(Base64DecodeTest, MalformedTexts) {
  bool ok = true;
  for (const char* text :
       {"A", "AQI", "AQI==", "A===", "AQ=I", "=AQI", "AQI ", "AQ*I", "Zg=", "Zm9vY"}) {
    (void)Decode(text, &ok);
    EXPECT_EQ(ok, std::string(text) == "AQI") << text;  // "AQI" is valid without padding
  }
}

TEST(Base64DecodeTest, Alphabet) {
  EXPECT_TRUE(IsBase64Alphabet("ABCXYZabcxyz0189+/="));
  EXPECT_TRUE(IsBase64Alphabet(""));
  EXPECT_FALSE(IsBase64Alphabet("AQ I="));
  EXPECT_FALSE(IsBase64Alphabet("AQ-I"));
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
