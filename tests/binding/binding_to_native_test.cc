#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "binding/native_conversion.h"
#include "binding/record_builder.h"
#include "support/binding_values.h"

namespace Voro {
namespace {

using testing::Bool;
using testing::Float;
using testing::Signed;
using testing::Str;
using testing::Unsigned;
BindingProperty Blob(std::vector<uint8_t> bytes) {
  BindingProperty v;
  v = std::move(bytes);
  return v;
}
BindingProperty Collection() {
  BindingProperty v;
  v.MakeCollection();
  return v;
}
BindingProperty Structure() {
  BindingProperty v;
  v.MakeStructure();
  return v;
}

// The error text, or "" on success.
template <typename T>
std::string Convert(const BindingProperty& input, T* out, const TypeRegistry& registry,
                    bool top_level = true) {
  BindingResult result = FromBinding(input, "arg", out, registry, {.top_level = top_level});
  return result.ok() ? std::string() : std::string(result.error());
}

std::string OutOfRange(const std::string& value, const char* kind) {
  return "Value " + value + " for 'arg' of type " + kind + " is out of range";
}
std::string BadFormat(const std::string& value, const char* kind) {
  return "Value " + value + " for 'arg' of type " + kind + " is in an incorrect format";
}
std::string InvalidType(const char* kind, const char* tag) {
  return std::string("Couldn't assign value to 'arg' of type ") + kind +
         " because the input is of an invalid type " + tag + ".";
}
const std::string kRequired = "A value for 'arg' is required.";

// ---- Integers ----

template <typename T>
void CheckIntegerEdges(const char* kind) {
  SCOPED_TRACE(kind);
  TypeRegistry registry;
  using Limits = std::numeric_limits<T>;
  const std::string min_text = std::to_string(Limits::min());
  const std::string max_text = std::to_string(Limits::max());
  T out{};

  EXPECT_EQ(Convert(Signed(static_cast<int64_t>(Limits::min())), &out, registry), "");
  EXPECT_EQ(out, Limits::min());
  EXPECT_EQ(Convert(Unsigned(static_cast<uint64_t>(Limits::max())), &out, registry), "");
  EXPECT_EQ(out, Limits::max());
  EXPECT_EQ(Convert(Str(min_text), &out, registry), "");
  EXPECT_EQ(out, Limits::min());
  EXPECT_EQ(Convert(Str(max_text), &out, registry), "");
  EXPECT_EQ(out, Limits::max());

  if constexpr (std::is_signed_v<T>) {
    if constexpr (sizeof(T) < 8) {
      const int64_t below = int64_t{Limits::min()} - 1;
      EXPECT_EQ(Convert(Signed(below), &out, registry), OutOfRange(std::to_string(below), kind));
      EXPECT_EQ(Convert(Str(std::to_string(below)), &out, registry),
                OutOfRange(std::to_string(below), kind));
      const int64_t above = int64_t{Limits::max()} + 1;
      EXPECT_EQ(Convert(Signed(above), &out, registry), OutOfRange(std::to_string(above), kind));
      EXPECT_EQ(Convert(Unsigned(static_cast<uint64_t>(above)), &out, registry),
                OutOfRange(std::to_string(above), kind));
    } else {
      // The parser's own overflow is out of range too.
      EXPECT_EQ(Convert(Str("-9223372036854775809"), &out, registry),
                OutOfRange("-9223372036854775809", kind));
      EXPECT_EQ(Convert(Str("9223372036854775808"), &out, registry),
                OutOfRange("9223372036854775808", kind));
      EXPECT_EQ(Convert(Unsigned(uint64_t{1} << 63), &out, registry),
                OutOfRange("9223372036854775808", kind));
    }
  } else {
    // Unsigned targets: no negative number, whatever the input tag.
    EXPECT_EQ(Convert(Signed(-1), &out, registry), OutOfRange("-1", kind));
    EXPECT_EQ(Convert(Str("-1"), &out, registry), OutOfRange("-1", kind));
    EXPECT_EQ(Convert(Str("-0"), &out, registry), OutOfRange("-0", kind));
    EXPECT_EQ(Convert(Str(" -5"), &out, registry), OutOfRange(" -5", kind));
    if constexpr (sizeof(T) < 8) {
      const uint64_t above = uint64_t{Limits::max()} + 1;
      EXPECT_EQ(Convert(Unsigned(above), &out, registry), OutOfRange(std::to_string(above), kind));
      EXPECT_EQ(Convert(Signed(static_cast<int64_t>(above)), &out, registry),
                OutOfRange(std::to_string(above), kind));
      EXPECT_EQ(Convert(Str(std::to_string(above)), &out, registry),
                OutOfRange(std::to_string(above), kind));
    } else {
      EXPECT_EQ(Convert(Str("18446744073709551616"), &out, registry),
                OutOfRange("18446744073709551616", kind));
      EXPECT_EQ(Convert(Signed(INT64_MAX), &out, registry), "");
      EXPECT_EQ(out, uint64_t{INT64_MAX});
      out = Limits::max();
    }
  }
  EXPECT_EQ(out, Limits::max()) << "a failed conversion must leave the value alone";

  // Floats: inside the range they truncate toward zero; outside they are refused.
  EXPECT_EQ(Convert(Float(3.9), &out, registry), "");
  EXPECT_EQ(out, T{3});
  if constexpr (std::is_signed_v<T>) {
    EXPECT_EQ(Convert(Float(-3.9), &out, registry), "");
    EXPECT_EQ(out, T(-3));
  } else {
    EXPECT_EQ(Convert(Float(-0.5), &out, registry), OutOfRange("-0.5", kind));
  }
  const double two_to_bits = std::ldexp(1.0, std::numeric_limits<T>::digits);
  EXPECT_NE(Convert(Float(two_to_bits), &out, registry), "");
  EXPECT_NE(Convert(Float(-two_to_bits * 2), &out, registry), "");
  EXPECT_NE(Convert(Float(std::nan("")), &out, registry), "");
  if constexpr (sizeof(T) <= 4) {
    EXPECT_EQ(Convert(Float(static_cast<double>(Limits::max())), &out, registry), "");
    EXPECT_EQ(out, Limits::max());
    EXPECT_EQ(Convert(Float(static_cast<double>(Limits::min())), &out, registry), "");
    EXPECT_EQ(out, Limits::min());
    // Above the maximum, even by less than one.
    const double just_above = static_cast<double>(Limits::max()) + 0.5;
    EXPECT_NE(Convert(Float(just_above), &out, registry), "");
  }

  // Invalid tags, "empty", enums by number.
  EXPECT_EQ(Convert(Bool(true), &out, registry), InvalidType(kind, "bool"));
  EXPECT_EQ(Convert(Blob({1}), &out, registry), InvalidType(kind, "blob"));
  EXPECT_EQ(Convert(Collection(), &out, registry), InvalidType(kind, "collection"));
  EXPECT_EQ(Convert(Structure(), &out, registry), InvalidType(kind, "structure"));
  EXPECT_EQ(Convert(BindingProperty(), &out, registry), kRequired);
  BindingProperty e;
  e.SetEnum(100, 12345);
  EXPECT_EQ(Convert(e, &out, registry), "");
  EXPECT_EQ(out, T{100});
}

TEST(BindingToNativeTest, IntegerRangesOfAllEightWidths) {
  CheckIntegerEdges<int8_t>("int8");
  CheckIntegerEdges<uint8_t>("uint8");
  CheckIntegerEdges<int16_t>("int16");
  CheckIntegerEdges<uint16_t>("uint16");
  CheckIntegerEdges<int32_t>("int32");
  CheckIntegerEdges<uint32_t>("uint32");
  CheckIntegerEdges<int64_t>("int64");
  CheckIntegerEdges<uint64_t>("uint64");
}

TEST(BindingToNativeTest, IntegerTexts) {
  TypeRegistry registry;
  int8_t i8 = 0;
  EXPECT_EQ(Convert(Str("0x7f"), &i8, registry), "");
  EXPECT_EQ(i8, 127);
  EXPECT_EQ(Convert(Str("128"), &i8, registry), OutOfRange("128", "int8"));
  EXPECT_EQ(Convert(Str("12abc"), &i8, registry), BadFormat("12abc", "int8"));
  EXPECT_EQ(Convert(Str(""), &i8, registry), "");
  EXPECT_EQ(i8, 0);
  EXPECT_EQ(Convert(Str("010"), &i8, registry), "");  // octal
  EXPECT_EQ(i8, 8);
  EXPECT_EQ(Convert(Str("-0x80"), &i8, registry), "");
  EXPECT_EQ(i8, -128);
  int32_t i32 = 0;
  EXPECT_EQ(Convert(Str("7 "), &i32, registry), BadFormat("7 ", "int32"));
  EXPECT_EQ(Convert(Str("x"), &i32, registry), BadFormat("x", "int32"));
  EXPECT_EQ(Convert(Str("0x"), &i32, registry), BadFormat("0x", "int32"));
  EXPECT_EQ(Convert(Str("1.5"), &i32, registry), BadFormat("1.5", "int32"));
  EXPECT_EQ(Convert(Str(std::string_view("5\0"
                                         "1",
                                         3)),
                    &i32, registry),
            BadFormat(std::string("5\0"
                                  "1",
                                  3),
                      "int32"));
  // Format is checked before range.
  EXPECT_EQ(Convert(Str("99999999999999999999z"), &i32, registry),
            BadFormat("99999999999999999999z", "int32"));
  uint32_t u32 = 0;
  EXPECT_EQ(Convert(Str("-5x"), &u32, registry), BadFormat("-5x", "uint32"));
  EXPECT_EQ(Convert(Str("0xFFFFFFFF"), &u32, registry), "");
  EXPECT_EQ(u32, UINT32_MAX);
  EXPECT_EQ(Convert(Float(300.5), &u32, registry), "");
  EXPECT_EQ(u32, 300u);
  uint8_t u8 = 0;
  EXPECT_EQ(Convert(Float(300.5), &u8, registry), OutOfRange("300.5", "uint8"));
}

// ---- Floating point ----

TEST(BindingToNativeTest, FloatAndDouble) {
  TypeRegistry registry;
  float f = 0;
  double d = 0;
  EXPECT_EQ(Convert(Float(1.25), &f, registry), "");
  EXPECT_EQ(f, 1.25f);
  EXPECT_EQ(Convert(Signed(-7), &f, registry), "");
  EXPECT_EQ(f, -7.0f);
  EXPECT_EQ(Convert(Unsigned(UINT64_MAX), &f, registry), "");
  EXPECT_EQ(f, 18446744073709551616.0f);
  EXPECT_EQ(Convert(Str("2.5"), &d, registry), "");
  EXPECT_EQ(d, 2.5);
  EXPECT_EQ(Convert(Str(""), &d, registry), "");
  EXPECT_EQ(d, 0.0);
  EXPECT_EQ(Convert(Str("-0x10"), &d, registry), "");
  EXPECT_EQ(d, -16.0);
  EXPECT_EQ(Convert(Str("3.4028234663852886e38"), &f, registry), "");
  EXPECT_EQ(f, std::numeric_limits<float>::max());
  EXPECT_EQ(Convert(Str("1e39"), &f, registry), OutOfRange("1e39", "float"));
  EXPECT_EQ(Convert(Str("-1e39"), &f, registry), OutOfRange("-1e39", "float"));
  EXPECT_EQ(Convert(Str("1e39"), &d, registry), "");
  EXPECT_EQ(Convert(Str("1e309"), &d, registry), OutOfRange("1e309", "double"));
  EXPECT_EQ(Convert(Str("1e-400"), &d, registry), "");  // underflow is not out of range
  EXPECT_EQ(d, 0.0);
  EXPECT_EQ(Convert(Str("1.5x"), &d, registry), BadFormat("1.5x", "double"));
  EXPECT_EQ(Convert(Str("1,5"), &f, registry), BadFormat("1,5", "float"));
  EXPECT_EQ(Convert(Float(1e39), &f, registry).substr(0, 6), "Value ");
  EXPECT_NE(Convert(Float(1e39), &f, registry).find("for 'arg' of type float is out of range"),
            std::string::npos);
  EXPECT_NE(Convert(Float(INFINITY), &d, registry), "");
  EXPECT_EQ(Convert(Float(std::numeric_limits<double>::max()), &d, registry), "");
  EXPECT_EQ(Convert(Bool(false), &f, registry), InvalidType("float", "bool"));
  EXPECT_EQ(Convert(Structure(), &d, registry), InvalidType("double", "structure"));
  EXPECT_EQ(Convert(BindingProperty(), &d, registry), kRequired);
}

// ---- Bool, string, blob ----

TEST(BindingToNativeTest, Booleans) {
  TypeRegistry registry;
  bool b = false;
  EXPECT_EQ(Convert(Bool(true), &b, registry), "");
  EXPECT_TRUE(b);
  EXPECT_EQ(Convert(Str("0"), &b, registry), "");
  EXPECT_FALSE(b);
  EXPECT_EQ(Convert(Str("true"), &b, registry), "");
  EXPECT_TRUE(b);
  EXPECT_EQ(Convert(Str("false"), &b, registry), "");
  EXPECT_FALSE(b);
  EXPECT_EQ(Convert(Str("1"), &b, registry), "");
  EXPECT_TRUE(b);
  EXPECT_EQ(Convert(Str("TRUE"), &b, registry),
            "Value TRUE for 'arg' of type bool is in an incorrect format. Options are \"true\", "
            "\"false\", \"1\", \"0\".");
  EXPECT_NE(Convert(Str(""), &b, registry), "");
  EXPECT_EQ(Convert(Unsigned(1), &b, registry),
            "Couldn't assign value to 'arg' of type bool because the input is of an invalid type "
            "unsigned.");
  EXPECT_EQ(Convert(Signed(0), &b, registry), InvalidType("bool", "signed"));
  EXPECT_EQ(Convert(Float(1), &b, registry), InvalidType("bool", "float"));
  BindingProperty e;
  e.SetEnum(1, 2);
  EXPECT_EQ(Convert(e, &b, registry), InvalidType("bool", "enum"));
  EXPECT_EQ(Convert(BindingProperty(), &b, registry), kRequired);
  EXPECT_TRUE(b);
}

enum class Fruit : int16_t { kApple = 1, kPear = 2 };

TEST(BindingToNativeTest, Strings) {
  TypeRegistry registry;
  registry.Enum<Fruit>({"T"}, "Fruit").Value("PEAR", Fruit::kPear).Value("APPLE", Fruit::kApple);
  std::string s = "old";
  EXPECT_EQ(Convert(Str("new"), &s, registry), "");
  EXPECT_EQ(s, "new");
  EXPECT_EQ(Convert(Str(""), &s, registry), "");
  EXPECT_EQ(s, "");
  BindingProperty e;
  e.SetEnum(2, StaticType::HashCode<Fruit>().hash);
  EXPECT_EQ(Convert(e, &s, registry), "");
  EXPECT_EQ(s, "PEAR");
  e.SetEnum(5, StaticType::HashCode<Fruit>().hash);
  EXPECT_EQ(Convert(e, &s, registry), "5 is not a valid enumeration value for 'arg'.");
  e.SetEnum(-1, 77);
  EXPECT_EQ(Convert(e, &s, registry), "-1 is not a valid enumeration value for 'arg'.");
  const std::string not_string =
      "Couldn't assign value to 'arg' because the input is not a string.";
  EXPECT_EQ(Convert(Signed(1), &s, registry), not_string);
  EXPECT_EQ(Convert(Bool(true), &s, registry), not_string);
  EXPECT_EQ(Convert(Blob({}), &s, registry), not_string);
  EXPECT_EQ(Convert(Collection(), &s, registry), not_string);
  EXPECT_EQ(Convert(BindingProperty(), &s, registry), kRequired);
  EXPECT_EQ(s, "PEAR");
}

TEST(BindingToNativeTest, Blobs) {
  TypeRegistry registry;
  std::vector<uint8_t> bytes;
  EXPECT_EQ(Convert(Str("AQI="), &bytes, registry), "");
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x01, 0x02}));
  EXPECT_EQ(Convert(Blob({9, 8, 7}), &bytes, registry), "");
  EXPECT_EQ(bytes, (std::vector<uint8_t>{9, 8, 7}));
  EXPECT_EQ(Convert(Str(""), &bytes, registry), "");
  EXPECT_TRUE(bytes.empty());
  const std::string bad =
      "Couldn't assign string value to 'arg' of type blob because the input has invalid base64 "
      "characters.";
  EXPECT_EQ(Convert(Str("AQ I="), &bytes, registry), bad);
  EXPECT_EQ(Convert(Str("AQI-"), &bytes, registry), bad);
  EXPECT_EQ(Convert(Str("A"), &bytes, registry), bad);  // valid characters, not Base64
  EXPECT_EQ(Convert(Str("A=QI"), &bytes, registry), bad);
  const std::string not_blob =
      "Couldn't assign value to 'arg' of type blob because the input is not a blob.";
  EXPECT_EQ(Convert(Signed(1), &bytes, registry), not_blob);
  EXPECT_EQ(Convert(Collection(), &bytes, registry), not_blob);
  EXPECT_EQ(Convert(BindingProperty(), &bytes, registry), kRequired);
}

// ---- Enumerations ----

enum class States : uint8_t { kInProgress = 0, kSucceeded = 1, kLoggingOut = 2, kError = 3 };

class EnumTargetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_.Enum<States>({"Voro", "Client", "Api"}, "LoginSessionStates")
        .Value("IN_PROGRESS", States::kInProgress)
        .Value("ERROR", States::kError)
        .Value("SUCCEEDED", States::kSucceeded)
        .Value("LOGGING_OUT", States::kLoggingOut);
  }
  static std::string NotValid(const std::string& value) {
    return value + " is not a valid LoginSessionStates enumeration value for 'arg'.";
  }
  TypeRegistry registry_;
  States out_ = States::kError;
};

TEST_F(EnumTargetTest, ByName) {
  EXPECT_EQ(Convert(Str("SUCCEEDED"), &out_, registry_), "");
  EXPECT_EQ(out_, States::kSucceeded);
  EXPECT_EQ(Convert(Str("IN_PROGRESS"), &out_, registry_), "");
  EXPECT_EQ(out_, States::kInProgress);
  EXPECT_EQ(Convert(Str("succeeded"), &out_, registry_), NotValid("succeeded"));
  EXPECT_EQ(Convert(Str(""), &out_, registry_), NotValid(""));
  EXPECT_EQ(out_, States::kInProgress);
}

TEST_F(EnumTargetTest, ByNumericText) {
  EXPECT_EQ(Convert(Str("1"), &out_, registry_), "");
  EXPECT_EQ(out_, States::kSucceeded);
  EXPECT_EQ(Convert(Str("3"), &out_, registry_), "");
  EXPECT_EQ(out_, States::kError);
  EXPECT_EQ(Convert(Str("7"), &out_, registry_), NotValid("7"));
  EXPECT_EQ(Convert(Str("1x"), &out_, registry_), NotValid("1x"));
  EXPECT_EQ(Convert(Str("4294967297"), &out_, registry_), NotValid("4294967297"));
  EXPECT_EQ(out_, States::kError);
}

TEST_F(EnumTargetTest, ByNumber) {
  EXPECT_EQ(Convert(Signed(2), &out_, registry_), "");
  EXPECT_EQ(out_, States::kLoggingOut);
  EXPECT_EQ(Convert(Unsigned(0), &out_, registry_), "");
  EXPECT_EQ(out_, States::kInProgress);
  EXPECT_EQ(Convert(Signed(9), &out_, registry_), NotValid("9"));
  EXPECT_EQ(Convert(Signed(-1), &out_, registry_), NotValid("-1"));
  EXPECT_EQ(Convert(Unsigned(uint64_t{1} << 32), &out_, registry_), NotValid("4294967296"));
  EXPECT_EQ(Convert(Signed((int64_t{1} << 32) + 1), &out_, registry_), NotValid("4294967297"));
  // An enum input is checked by number only, whatever enumeration it came from.
  BindingProperty e;
  e.SetEnum(3, 0xDEADBEEF);
  EXPECT_EQ(Convert(e, &out_, registry_), "");
  EXPECT_EQ(out_, States::kError);
  e.SetEnum(4, StaticType::HashCode<States>().hash);
  EXPECT_EQ(Convert(e, &out_, registry_), NotValid("4"));
}

TEST_F(EnumTargetTest, InvalidTypes) {
  EXPECT_EQ(Convert(BindingProperty(), &out_, registry_), kRequired);
  EXPECT_EQ(Convert(Bool(true), &out_, registry_),
            "Couldn't assign value to 'arg' of enum type because the input is of an invalid type "
            "bool.");
  EXPECT_EQ(Convert(Float(1.0), &out_, registry_),
            "Couldn't assign value to 'arg' of enum type because the input is of an invalid type "
            "float.");
  EXPECT_NE(Convert(Structure(), &out_, registry_).find("invalid type structure."),
            std::string::npos);
}

TEST(BindingToNativeTest, EnumsOfEverySizeWriteOnlyTheirBytes) {
  enum class Tiny : int8_t { kMinus = -1 };
  enum class Huge : int64_t { kMinus = -2 };
  TypeRegistry registry;
  registry.Enum<Tiny>({"T"}, "Tiny").Value("MINUS", Tiny::kMinus);
  registry.Enum<Huge>({"T"}, "Huge").Value("MINUS", Huge::kMinus);
  struct {
    Tiny tiny = static_cast<Tiny>(5);
    uint8_t guard = 0xAA;
  } packed;
  EXPECT_EQ(Convert(Str("MINUS"), &packed.tiny, registry), "");
  EXPECT_EQ(packed.tiny, Tiny::kMinus);
  EXPECT_EQ(packed.guard, 0xAA);
  Huge huge = static_cast<Huge>(int64_t{1} << 40);
  EXPECT_EQ(Convert(Signed(-2), &huge, registry), "");
  EXPECT_EQ(huge, Huge::kMinus);
}

// ---- Records ----

struct Inner {
  int32_t x = 0;
};

struct Outer {
  std::string name;
  int32_t count = 42;
  std::optional<uint64_t> maybe;
  Inner inner;
  int32_t after = 0;
};

class RecordTargetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_.Record<Inner>({"T"}, "Inner").Field("x", &Inner::x);
    registry_.Record<Outer>({"T"}, "Outer")
        .Field("name", &Outer::name, "", kFieldRequired)
        .Field("count", &Outer::count)
        .Field("maybe", &Outer::maybe)
        .Field("inner", &Outer::inner)
        .Field("after", &Outer::after);
  }
  TypeRegistry registry_;
  Outer out_;
};

TEST_F(RecordTargetTest, RequiredFieldMissingOrEmpty) {
  const std::string missing =
      "Couldn't assign value to 'arg' of type Outer because the input structure doesn't have "
      "required field 'name'.";
  EXPECT_EQ(Convert(Structure(), &out_, registry_), missing);
  BindingProperty input;
  input["name"];  // present but "empty"
  input["count"] = 1;
  EXPECT_EQ(Convert(input, &out_, registry_), missing);
  EXPECT_EQ(out_.count, 42);
}

TEST_F(RecordTargetTest, OptionalFieldsKeepNativeDefaultsAndExtrasAreIgnored) {
  BindingProperty input;
  input["name"] = "n";
  input["unknown"] = "ignored";
  input["inner"]["x"] = 5;
  input["inner"]["y"] = 6;
  EXPECT_EQ(Convert(input, &out_, registry_), "");
  EXPECT_EQ(out_.name, "n");
  EXPECT_EQ(out_.count, 42);
  EXPECT_FALSE(out_.maybe.has_value());
  EXPECT_EQ(out_.inner.x, 5);

  input["maybe"] = "12";
  input["count"].Reset();  // "empty" leaves the field unchanged
  EXPECT_EQ(Convert(input, &out_, registry_), "");
  ASSERT_TRUE(out_.maybe.has_value());
  EXPECT_EQ(*out_.maybe, 12u);
  EXPECT_EQ(out_.count, 42);

  input["maybe"] = -1;
  EXPECT_EQ(Convert(input, &out_, registry_),
            "Value -1 for 'maybe' of type uint64 is out of range");
}

TEST_F(RecordTargetTest, NestedMessagesNameTheFieldAndStopTheRecord) {
  BindingProperty input;
  input["name"] = "n";
  input["count"] = 7;
  input["inner"]["x"] = "abc";
  input["after"] = 9;
  EXPECT_EQ(Convert(input, &out_, registry_),
            "Value abc for 'x' of type int32 is in an incorrect format");
  EXPECT_EQ(out_.count, 7);  // assigned before the failure
  EXPECT_EQ(out_.after, 0);  // never reached
  input["inner"] = 3;
  EXPECT_EQ(Convert(input, &out_, registry_),
            "Couldn't assign value to 'inner' of type Inner because the input not a structure.");
}

TEST_F(RecordTargetTest, TopLevelAndNotAStructure) {
  EXPECT_EQ(Convert(BindingProperty(), &out_, registry_), kRequired);
  EXPECT_EQ(Convert(BindingProperty(), &out_, registry_, /*top_level=*/false),
            "Couldn't assign value to 'arg' of type Outer because the input not a structure.");
  EXPECT_EQ(Convert(Str("x"), &out_, registry_),
            "Couldn't assign value to 'arg' of type Outer because the input not a structure.");
  EXPECT_EQ(Convert(Collection(), &out_, registry_),
            "Couldn't assign value to 'arg' of type Outer because the input not a structure.");
  struct Unregistered {
    int32_t v = 0;
  } unregistered;
  const std::string message =
      "Couldn't assign value to 'arg' because the input is an unregistered structure or not a "
      "structure at all.";
  EXPECT_EQ(Convert(Structure(), &unregistered, registry_), message);
  EXPECT_EQ(Convert(Str("x"), &unregistered, registry_), message);
  EXPECT_EQ(Convert(BindingProperty(), &unregistered, registry_), kRequired);
}

TEST_F(RecordTargetTest, FailedResultStopsEverything) {
  BindingResult result = BindingResult::Error("first");
  BindingProperty input;
  input["name"] = "changed";
  BindingToNative(result, &out_, input, "arg", KindDataOf<Outer>(), registry_, {});
  EXPECT_EQ(result.error(), "first");
  EXPECT_EQ(out_.name, "");
}

// ---- Vectors, maps, objects ----

TEST(BindingToNativeTest, Vectors) {
  TypeRegistry registry;
  std::vector<int32_t> numbers = {9, 9, 9, 9, 9};
  BindingProperty input;
  input[0] = 1;
  input[1];  // "empty" keeps the element's default
  input[2] = "3";
  EXPECT_EQ(Convert(input, &numbers, registry), "");
  EXPECT_EQ(numbers, (std::vector<int32_t>{1, 0, 3}));
  input[1] = "x";
  EXPECT_EQ(Convert(input, &numbers, registry), BadFormat("x", "int32"));
  EXPECT_EQ(numbers, (std::vector<int32_t>{1, 0, 0}));  // resized, then stopped at "x"
  const std::string not_collection =
      "Couldn't assign value to 'arg' of type vector because the input not a collection.";
  EXPECT_EQ(Convert(Structure(), &numbers, registry), not_collection);
  EXPECT_EQ(Convert(BindingProperty(), &numbers, registry), not_collection);
  EXPECT_EQ(Convert(Collection(), &numbers, registry), "");
  EXPECT_TRUE(numbers.empty());

  std::vector<std::vector<std::string>> nested;
  BindingProperty grid;
  grid[1][1] = "b";
  grid[0][0] = "a";
  EXPECT_EQ(Convert(grid, &nested, registry), "");
  EXPECT_EQ(nested, (std::vector<std::vector<std::string>>{{"a"}, {"", "b"}}));
}

TEST(BindingToNativeTest, Maps) {
  TypeRegistry registry;
  std::unordered_map<std::string, uint16_t> map = {{"stale", 1}};
  BindingProperty input;
  input["a"] = 1;
  input["b"] = "0x10";
  EXPECT_EQ(Convert(input, &map, registry), "");
  EXPECT_EQ(map, (std::unordered_map<std::string, uint16_t>{{"a", 1}, {"b", 16}}));
  input["c"] = 70000;
  EXPECT_EQ(Convert(input, &map, registry), OutOfRange("70000", "uint16"));
  EXPECT_EQ(Convert(Collection(), &map, registry),
            "Couldn't assign value to 'arg' of type map because the input not a structure.");
}

TEST(BindingToNativeTest, ObjectsAreDeepCopies) {
  TypeRegistry registry;
  BindingProperty object;
  BindingProperty input;
  input["list"][1]["k"] = "v";
  EXPECT_EQ(Convert(input, &object, registry), "");
  input["list"][1]["k"] = "changed";
  EXPECT_EQ(object["list"][1]["k"].GetString(), "v");
  EXPECT_NE(object.storage(), input.storage());
  EXPECT_EQ(Convert(BindingProperty(), &object, registry), kRequired);
  EXPECT_EQ(object["list"][1]["k"].GetString(), "v");
  EXPECT_EQ(Convert(BindingProperty(), &object, registry, /*top_level=*/false), "");
  EXPECT_EQ(object.type(), BindingType::kEmpty);
  std::vector<BindingProperty> many;
  EXPECT_EQ(Convert(input["list"], &many, registry), "");
  ASSERT_EQ(many.size(), 2u);
  EXPECT_EQ(many[1]["k"].GetString(), "changed");
}

// A type that contains itself: untrusted input may nest it without end.
struct Tree {
  std::vector<Tree> kids;
};

TEST(BindingToNativeTest, SelfNestingTypesStopAtTheDepthLimit) {
  TypeRegistry registry;
  registry.Record<Tree>({"T"}, "Tree").Field("kids", &Tree::kids);
  auto nest = [](int levels) {
    BindingProperty root;
    BindingProperty* node = &root;
    node->MakeStructure();
    for (int i = 0; i < levels; ++i) {
      node = &(*node)["kids"][0];
      node->MakeStructure();
    }
    return root;
  };
  Tree tree;
  EXPECT_EQ(Convert(nest(200), &tree, registry), "");
  int depth = 0;
  for (const Tree* t = &tree; !t->kids.empty(); t = &t->kids[0]) ++depth;
  EXPECT_EQ(depth, 200);
  EXPECT_EQ(Convert(nest(5000), &tree, registry),
            "Couldn't assign value to 'kids' because it is nested deeper than 1000 levels.");
}

}  // namespace
}  // namespace Voro
