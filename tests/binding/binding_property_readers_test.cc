#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "binding/base64.h"
#include "binding/binding_property.h"

namespace Voro {
namespace {

BindingProperty Text(const char* text) {
  BindingProperty v;
  v = text;
  return v;
}

BindingProperty Number(double d) {
  BindingProperty v;
  v = d;
  return v;
}

TEST(BindingReadersTest, ToBool) {
  EXPECT_FALSE(Text("TRUE").ToBool());
  EXPECT_TRUE(Text("true").ToBool());
  EXPECT_TRUE(Text("1").ToBool());
  EXPECT_FALSE(Text("yes").ToBool());
  EXPECT_FALSE(Text("").ToBool());
  EXPECT_FALSE(Number(0.0).ToBool());
  EXPECT_FALSE(Number(-0.0).ToBool());
  EXPECT_TRUE(Number(std::nan("")).ToBool());
  EXPECT_TRUE(Number(0.25).ToBool());
  BindingProperty v;
  EXPECT_FALSE(v.ToBool());
  v = int64_t{-1};
  EXPECT_TRUE(v.ToBool());
  v = uint64_t{0};
  EXPECT_FALSE(v.ToBool());
  v = std::vector<uint8_t>{};
  EXPECT_FALSE(v.ToBool());
  v = std::vector<uint8_t>{0};
  EXPECT_TRUE(v.ToBool());
  v = BindingEnum{0, 5};
  EXPECT_FALSE(v.ToBool());
  v = BindingEnum{2, 5};
  EXPECT_TRUE(v.ToBool());
  v.MakeCollection();
  EXPECT_FALSE(v.ToBool());
  v[0] = 0;
  EXPECT_TRUE(v.ToBool());
  v.MakeStructure();
  EXPECT_FALSE(v.ToBool());
  v["a"] = false;
  EXPECT_TRUE(v.ToBool());
}

TEST(BindingReadersTest, ToSigned) {
  EXPECT_EQ(Text("0x10").ToSigned(), 16);
  EXPECT_EQ(Text("0x1F").ToSigned(), 31);
  EXPECT_EQ(Text("010").ToSigned(), 8);
  EXPECT_EQ(Text("abc").ToSigned(99), 0);
  EXPECT_EQ(Text("  -12xyz").ToSigned(), -12);
  EXPECT_EQ(Text("99999999999999999999").ToSigned(), INT64_MAX);
  BindingProperty v;
  EXPECT_EQ(v.ToSigned(42), 42);
  v = std::vector<uint8_t>{1};
  EXPECT_EQ(v.ToSigned(42), 42);
  v.MakeStructure();
  EXPECT_EQ(v.ToSigned(42), 42);
  v = true;
  EXPECT_EQ(v.ToSigned(42), 1);
  v = uint64_t{UINT64_MAX};
  EXPECT_EQ(v.ToSigned(), -1);
  v = BindingEnum{-3, 1};
  EXPECT_EQ(v.ToSigned(), -3);
  EXPECT_EQ(Number(-2.9).ToSigned(), -2);
  EXPECT_EQ(Number(2.9).ToSigned(), 2);
  EXPECT_EQ(Number(1e300).ToSigned(), INT64_MAX);
  EXPECT_EQ(Number(-1e300).ToSigned(), INT64_MIN);
  EXPECT_EQ(Number(std::nan("")).ToSigned(7), 0);
}

TEST(BindingReadersTest, ToUnsigned) {
  EXPECT_EQ(Text("0x10").ToUnsigned(), 16u);
  EXPECT_EQ(Text("-1").ToUnsigned(), UINT64_MAX);  // as strtoull reads it
  EXPECT_EQ(Text("18446744073709551615").ToUnsigned(), UINT64_MAX);
  BindingProperty v;
  v = int64_t{-1};
  EXPECT_EQ(v.ToUnsigned(), UINT64_MAX);
  v = BindingEnum{-1, 0};
  EXPECT_EQ(v.ToUnsigned(), UINT64_MAX);
  v = std::vector<uint8_t>{1};
  EXPECT_EQ(v.ToUnsigned(5), 5u);
  EXPECT_EQ(Number(3.99).ToUnsigned(), 3u);
  EXPECT_EQ(Number(-0.5).ToUnsigned(), 0u);
  EXPECT_EQ(Number(-2.5).ToUnsigned(), static_cast<uint64_t>(-2));
  EXPECT_EQ(Number(1e30).ToUnsigned(), UINT64_MAX);
}

TEST(BindingReadersTest, ToDouble) {
  EXPECT_EQ(Text("2.5e3").ToDouble(), 2500.0);
  EXPECT_EQ(Text("junk").ToDouble(1.0), 0.0);
  BindingProperty v;
  EXPECT_EQ(v.ToDouble(1.5), 1.5);
  v = true;
  EXPECT_EQ(v.ToDouble(), 1.0);
  v = int64_t{-4};
  EXPECT_EQ(v.ToDouble(), -4.0);
  v = uint64_t{1} << 63;
  EXPECT_EQ(v.ToDouble(), 9223372036854775808.0);
  v = BindingEnum{7, 1};
  EXPECT_EQ(v.ToDouble(), 7.0);
  v = std::vector<uint8_t>{1};
  EXPECT_EQ(v.ToDouble(3.0), 3.0);
}

TEST(BindingReadersTest, NumbersIgnoreTheProcessLocale) {
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = old == nullptr ? "C" : old;
  // A locale with a decimal comma, when this machine has one.
  const bool switched = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr ||
                        std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") != nullptr;
  EXPECT_EQ(Text("1.25").ToDouble(), 1.25);
  EXPECT_EQ(Number(1.25).ToString(), "1.250000");
  std::setlocale(LC_NUMERIC, saved.c_str());
  if (!switched) GTEST_SKIP() << "no locale with a decimal comma installed";
}

TEST(BindingReadersTest, ToString) {
  EXPECT_EQ(Number(2.5).ToString(), "2.500000");
  EXPECT_EQ(Number(1.5).ToString(), "1.500000");
  EXPECT_EQ(Number(-0.0000004).ToString(), "-0.000000");
  EXPECT_EQ(Number(1e20).ToString(), "100000000000000000000.000000");
  EXPECT_EQ(Number(std::numeric_limits<double>::max()).ToString().size(), 309u + 7u);
  BindingProperty v;
  EXPECT_EQ(v.ToString(), "");
  v = true;
  EXPECT_EQ(v.ToString(), "true");
  v = false;
  EXPECT_EQ(v.ToString(), "false");
  v = int64_t{INT64_MIN};
  EXPECT_EQ(v.ToString(), "-9223372036854775808");
  v = uint64_t{UINT64_MAX};
  EXPECT_EQ(v.ToString(), "18446744073709551615");
  v = BindingEnum{-12, 3};
  EXPECT_EQ(v.ToString(), "-12");
  v = std::vector<uint8_t>{0x01, 0x02};
  EXPECT_EQ(v.ToString(), "AQI=");
  v = "text";
  EXPECT_EQ(v.ToString(), "text");
  v[0] = 1;
  EXPECT_EQ(v.ToString(), "");
  v["a"] = 1;
  EXPECT_EQ(v.ToString(), "");
}

TEST(BindingReadersTest, Base64UsesTheStandardAlphabetWithPadding) {
  auto encode = [](std::string_view bytes) {
    return Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  };
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("f"), "Zg==");
  EXPECT_EQ(encode("fo"), "Zm8=");
  EXPECT_EQ(encode("foo"), "Zm9v");
  EXPECT_EQ(encode("foob"), "Zm9vYg==");
  EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(encode("\xFB\xFF\xBF"), "+/+/");
}

}  // namespace
}  // namespace Voro
