#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "binding/value/binding_property.h"
#include "support/binding_values.h"

namespace Voro {
namespace {

using namespace testing;  // Str, Signed, Unsigned, Float, Bool, Scalar

BindingProperty Blob(std::string_view bytes) {
  return Scalar(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

constexpr int64_t kSignedDefault = 42;
constexpr uint64_t kUnsignedDefault = 5;
constexpr double kDoubleDefault = 1.5;

// One input and what each converting reader makes of it, given the defaults above.
struct Row {
  BindingProperty input;
  bool to_bool;
  int64_t to_signed;
  uint64_t to_unsigned;
  double to_double;
  std::string to_string;
};

TEST(BindingReadersTest, EveryReaderOnEveryTag) {
  const double nan = std::nan("");
  const uint64_t u_max = UINT64_MAX;
  BindingProperty list;
  list.MakeCollection();
  BindingProperty one_field;
  one_field["a"] = false;
  const Row rows[] = {
      {BindingProperty(), false, 42, 5, 1.5, ""},
      {Bool(true), true, 1, 1, 1.0, "true"},
      {Bool(false), false, 0, 0, 0.0, "false"},
      {Signed(-1), true, -1, u_max, -1.0, "-1"},
      {Unsigned(u_max), true, -1, u_max, 18446744073709551616.0, "18446744073709551615"},
      {Float(0.0), false, 0, 0, 0.0, "0.000000"},
      {Float(-0.0), false, 0, 0, -0.0, "-0.000000"},
      {Float(nan), true, 0, 0, nan, "nan"},
      {Float(0.25), true, 0, 0, 0.25, "0.250000"},
      {Float(2.9), true, 2, 2, 2.9, "2.900000"},
      {Float(-2.9), true, -2, static_cast<uint64_t>(-2), -2.9, "-2.900000"},
      {Float(-0.5), true, 0, 0, -0.5, "-0.500000"},
      {Float(-0.0000004), true, 0, 0, -0.0000004, "-0.000000"},
      {Float(1e19), true, INT64_MAX, 10000000000000000000u, 1e19, "10000000000000000000.000000"},
      {Float(1e30), true, INT64_MAX, u_max, 1e30, "1000000000000000019884624838656.000000"},
      {Float(-1e300), true, INT64_MIN, uint64_t{1} << 63, -1e300, std::string()},
      {Str("true"), true, 0, 0, 0.0, "true"},
      {Str("1"), true, 1, 1, 1.0, "1"},
      {Str("TRUE"), false, 0, 0, 0.0, "TRUE"},
      {Str(""), false, 0, 0, 0.0, ""},
      {Str("0x1F"), false, 31, 31, 31.0, "0x1F"},
      {Str("010"), false, 8, 8, 10.0, "010"},  // octal, but not for doubles
      {Str("  -12xyz"), false, -12, u_max - 11, -12.0, "  -12xyz"},
      {Str("2.5e3"), false, 2, 2, 2500.0, "2.5e3"},
      {Str("99999999999999999999"), false, INT64_MAX, u_max, 1e20, "99999999999999999999"},
      {Blob(""), false, 42, 5, 1.5, ""},
      {Blob(std::string(1, '\0')), true, 42, 5, 1.5, "AA=="},
      {Blob("fo"), true, 42, 5, 1.5, "Zm8="},
      {Blob("\xFB\xFF\xBF"), true, 42, 5, 1.5, "+/+/"},
      {Scalar(BindingEnum{-12, 3}), true, -12, u_max - 11, -12.0, "-12"},
      {list, false, 42, 5, 1.5, ""},
      {one_field, true, 42, 5, 1.5, ""},
  };
  for (const Row& row : rows) {
    const BindingProperty& v = row.input;
    SCOPED_TRACE(::testing::Message() << BindingTypeName(v.type()) << " " << row.to_string);
    EXPECT_EQ(v.ToBool(), row.to_bool);
    EXPECT_EQ(v.ToSigned(kSignedDefault), row.to_signed);
    EXPECT_EQ(v.ToUnsigned(kUnsignedDefault), row.to_unsigned);
    const double d = v.ToDouble(kDoubleDefault);
    EXPECT_TRUE(d == row.to_double || (std::isnan(d) && std::isnan(row.to_double))) << d;
    EXPECT_EQ(std::signbit(d), std::signbit(row.to_double)) << d;
    if (!row.to_string.empty() || v.type() != BindingType::kFloat) {
      EXPECT_EQ(v.ToString(), row.to_string);
    }
  }
  // "%f" of the largest double: all 309 digits.
  EXPECT_EQ(Float(-1e300).ToString().size(), 1u + 301u + 7u);
  EXPECT_EQ(Float(std::numeric_limits<double>::max()).ToString().size(), 309u + 7u);
}

}  // namespace
}  // namespace Voro
