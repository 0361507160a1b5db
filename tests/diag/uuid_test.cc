#include "diag/uuid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace Voro {
namespace {

TEST(UuidTest, TextIsStorageOrderLowercaseInGroups) {
  Uuid bytes;
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(i);
  }
  EXPECT_EQ(UuidText(bytes), "00010203-0405-0607-0809-0a0b0c0d0e0f");

  Uuid high;
  for (size_t i = 0; i < high.size(); ++i) {
    high[i] = static_cast<uint8_t>(0xf0 + i);
  }
  EXPECT_EQ(UuidText(high), "f0f1f2f3-f4f5-f6f7-f8f9-fafbfcfdfeff");
  EXPECT_EQ(UuidText(Uuid{}), "00000000-0000-0000-0000-000000000000");
}

TEST(UuidTest, CreatedUuidsAreRandomVersion4AndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    const std::optional<Uuid> uuid = CreateUuid();
    ASSERT_TRUE(uuid.has_value());
    EXPECT_EQ((*uuid)[6] >> 4, 4) << "version";
    EXPECT_EQ((*uuid)[8] & 0xc0, 0x80) << "variant";
    const std::string text = UuidText(*uuid);
    EXPECT_EQ(text.size(), kUuidTextLength);
    EXPECT_EQ(text[14], '4');
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 64u);
}

TEST(UuidTest, FailingSourceGivesNoUuid) {
  const UuidSource failing = [](Uuid& bytes) {
    bytes.fill(0xab);
    return false;
  };
  EXPECT_FALSE(CreateUuidFrom(failing).has_value());

  const UuidSource fixed = [](Uuid& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<uint8_t>(0x10 * (i % 16));
    }
    return true;
  };
  const std::optional<Uuid> uuid = CreateUuidFrom(fixed);
  ASSERT_TRUE(uuid.has_value());
  EXPECT_EQ(UuidText(*uuid), "00102030-4050-6070-8090-a0b0c0d0e0f0");
}

}  // namespace
}  // namespace Voro
