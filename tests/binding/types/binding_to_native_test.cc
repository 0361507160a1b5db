#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "binding/types/native_conversion.h"
#include "binding/types/record_builder.h"
#include "support/binding_values.h"

namespace Voro {
namespace {

using namespace testing;  // Str, Signed, Unsigned, Float, Bool, Scalar

BindingProperty Blob(std::vector<uint8_t> bytes) { return Scalar(std::move(bytes)); }
BindingProperty Enum(int32_t value, uint32_t type_hash) {
  return Scalar(BindingEnum{value, type_hash});
}
// An empty collection, or with `structure` an empty structure.
BindingProperty Collection(bool structure = false) {
  BindingProperty v;
  structure ? v.MakeStructure() : v.MakeCollection();
  return v;
}
BindingProperty Structure() { return Collection(true); }

// The error text, or "" on success.
template <typename T>
std::string Convert(const BindingProperty& input, T* out, const TypeRegistry& registry,
                    bool top_level = true) {
  BindingResult result = FromBinding(input, "arg", out, registry, {.top_level = top_level});
  return result.ok() ? std::string() : std::string(result.error());
}

template <typename T>
std::string Text(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return value;
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    std::string text;
    for (uint8_t byte : value) text += std::to_string(byte) + " ";
    return text;
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_floating_point_v<T>) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.*g", sizeof(T) == 4 ? 9 : 17, static_cast<double>(value));
    return text;
  } else if constexpr (std::is_enum_v<T>) {
    return std::to_string(static_cast<int64_t>(value));
  } else {
    return std::to_string(value);
  }
}

// Every input converts to `expected`: the value as Text(), or the error, which leaves the target
// as it was. Each runs from two start values, so that a stray write shows.
template <typename T>
void ExpectAll(const std::string& expected, std::initializer_list<BindingProperty> inputs,
               const TypeRegistry& registry = TypeRegistry()) {
  T starts[2] = {T(), T()};
  if constexpr (std::is_same_v<T, std::string>) {
    starts[1] = "old";
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    starts[1] = {42};
  } else {
    starts[1] = static_cast<T>(std::is_same_v<T, bool> ? 1 : 42);
  }
  for (const BindingProperty& input : inputs) {
    SCOPED_TRACE(::testing::Message() << BindingTypeName(input.type()) << " '" << input.ToString()
                                      << "' expecting " << expected);
    for (const T& start : starts) {
      T out = start;
      const std::string error = Convert(input, &out, registry);
      EXPECT_EQ(error.empty() ? Text(out) : error, expected);
      if (!error.empty()) {
        EXPECT_EQ(Text(out), Text(start));
      }
    }
  }
}

std::string OutOfRange(const std::string& value, std::string_view kind) {
  return "Value " + value + " for 'arg' of type " + std::string(kind) + " is out of range";
}
std::string BadFormat(const std::string& value, std::string_view kind) {
  return "Value " + value + " for 'arg' of type " + std::string(kind) +
         " is in an incorrect format";
}
std::string InvalidType(std::string_view kind, const char* tag) {
  return "Couldn't assign value to 'arg' of type " + std::string(kind) +
         " because the input is of an invalid type " + tag + ".";
}
const std::string kRequired = "A value for 'arg' is required.";

TEST(BindingToNativeTest, IntegerTargets) {
  // A narrow signed target from every input tag; floats truncate toward zero.
  ExpectAll<int8_t>("-128", {Signed(-128), Enum(-128, 12345), Str("-0x80"), Float(-128.0)});
  ExpectAll<int8_t>("127", {Unsigned(127), Float(127.0), Str("0x7f")});
  ExpectAll<int8_t>("-3", {Float(-3.9)});
  ExpectAll<int8_t>("8", {Str("010")});
  ExpectAll<int8_t>("0", {Str("")});
  ExpectAll<int8_t>(OutOfRange("-129", "int8"), {Signed(-129), Str("-129"), Float(-129.0)});
  ExpectAll<int8_t>(OutOfRange("128", "int8"), {Enum(128, 1), Unsigned(128), Str("128")});
  ExpectAll<int8_t>(OutOfRange("127.5", "int8"), {Float(127.5)});
  ExpectAll<int8_t>(OutOfRange("nan", "int8"), {Float(std::nan(""))});
  ExpectAll<int8_t>(BadFormat("12abc", "int8"), {Str("12abc")});
  ExpectAll<int8_t>(InvalidType("int8", "bool"), {Bool(true)});
  ExpectAll<int8_t>(InvalidType("int8", "structure"), {Structure()});
  ExpectAll<int8_t>(kRequired, {BindingProperty()});
  // A narrow unsigned target takes no negative number, whatever the input tag.
  ExpectAll<uint8_t>("255", {Str("0xff"), Float(255.0)});
  ExpectAll<uint8_t>(OutOfRange("-1", "uint8"), {Signed(-1), Str("-1")});
  ExpectAll<uint8_t>(OutOfRange("-0.5", "uint8"), {Float(-0.5)});
  ExpectAll<uint8_t>(OutOfRange("300.5", "uint8"), {Float(300.5)});
  ExpectAll<uint8_t>(OutOfRange("256", "uint8"), {Unsigned(256), Str("256")});
  ExpectAll<uint8_t>(OutOfRange(" -5", "uint8"), {Str(" -5")});
  ExpectAll<uint8_t>(OutOfRange("-0", "uint8"), {Str("-0")});
  ExpectAll<uint8_t>(BadFormat("-5x", "uint8"), {Str("-5x")});
  ExpectAll<uint8_t>(InvalidType("uint8", "blob"), {Blob({1})});
  // Every width stores only its own bytes; an embedded NUL is no end of the text.
  ExpectAll<int16_t>("-32768", {Signed(-32768)});
  ExpectAll<uint16_t>("65535", {Unsigned(65535)});
  ExpectAll<int32_t>("-2147483648", {Str("-2147483648")});
  const std::string nul("5\0001", 3);
  ExpectAll<int32_t>(BadFormat(nul, "int32"), {Str(nul)});
  ExpectAll<uint32_t>("4294967295", {Float(4294967295.0)});
  // The 64-bit kinds: the parser's own overflow, and float limits that round up to 2^63 or 2^64.
  ExpectAll<int64_t>("-9223372036854775808",
                     {Str("-9223372036854775808"), Float(-9223372036854775808.0)});
  ExpectAll<int64_t>(
      OutOfRange("9223372036854775808", "int64"),
      {Str("9223372036854775808"), Unsigned(uint64_t{1} << 63), Float(9223372036854775808.0)});
  ExpectAll<uint64_t>("18446744073709551615", {Str("18446744073709551615")});
  ExpectAll<uint64_t>("9223372036854775807", {Signed(INT64_MAX)});
  ExpectAll<uint64_t>(OutOfRange("18446744073709551616", "uint64"),
                      {Str("18446744073709551616"), Float(18446744073709551616.0)});
  ExpectAll<uint64_t>(InvalidType("uint64", "collection"), {Collection()});
}

TEST(BindingToNativeTest, FloatAndDoubleTargets) {
  ExpectAll<float>("1.25", {Float(1.25), Str("1.25")});
  ExpectAll<float>("-7", {Signed(-7), Enum(-7, 1)});
  ExpectAll<float>("1.84467441e+19", {Unsigned(UINT64_MAX)});
  ExpectAll<float>("3.40282347e+38", {Str("3.4028234663852886e38")});
  ExpectAll<float>(OutOfRange("1e39", "float"), {Str("1e39")});
  ExpectAll<float>(OutOfRange("-1e39", "float"), {Str("-1e39")});
  ExpectAll<float>(OutOfRange("-1e+39", "float"), {Float(-1e39)});
  ExpectAll<float>(OutOfRange("1e+39", "float"), {Float(1e39)});
  ExpectAll<float>(BadFormat("1,5", "float"), {Str("1,5")});
  ExpectAll<float>(InvalidType("float", "bool"), {Bool(false)});
  // Underflow is not out of range.
  ExpectAll<double>("0", {Str(""), Str("1e-400")});
  ExpectAll<double>("9.9999999999999994e+38", {Str("1e39")});
  ExpectAll<double>("1.7976931348623157e+308", {Float(std::numeric_limits<double>::max())});
  ExpectAll<double>(OutOfRange("1e309", "double"), {Str("1e309")});
  ExpectAll<double>(OutOfRange("inf", "double"), {Float(INFINITY)});
  ExpectAll<double>(InvalidType("double", "structure"), {Structure()});
  ExpectAll<double>(kRequired, {BindingProperty()});
}

TEST(BindingToNativeTest, BoolTargets) {
  ExpectAll<bool>("true", {Bool(true), Str("true"), Str("1")});
  ExpectAll<bool>("false", {Bool(false), Str("false"), Str("0")});
  ExpectAll<bool>(
      "Value TRUE for 'arg' of type bool is in an incorrect format. Options are "
      "\"true\", \"false\", \"1\", \"0\".",
      {Str("TRUE")});
  ExpectAll<bool>(InvalidType("bool", "unsigned"), {Unsigned(1)});
  ExpectAll<bool>(kRequired, {BindingProperty()});
}

enum class Rank : int16_t { kBronze = 1, kSilver = 2 };

TEST(BindingToNativeTest, StringAndBlobTargets) {
  TypeRegistry registry;
  registry.Enum<Rank>({"T"}, "Rank").Value("SILVER", Rank::kSilver).Value("BRONZE", Rank::kBronze);
  const uint32_t rank = StaticType::HashCode<Rank>().hash;
  ExpectAll<std::string>("voro", {Str("voro")});
  ExpectAll<std::string>("SILVER", {Enum(2, rank)}, registry);
  ExpectAll<std::string>("5 is not a valid enumeration value for 'arg'.", {Enum(5, rank)});
  ExpectAll<std::string>("-1 is not a valid enumeration value for 'arg'.", {Enum(-1, 77)});
  ExpectAll<std::string>("Couldn't assign value to 'arg' because the input is not a string.",
                         {Signed(1), Blob({})});
  ExpectAll<std::string>(kRequired, {BindingProperty()});
  // "A" and "A=QI" are of the alphabet but no Base64.
  using Bytes = std::vector<uint8_t>;
  ExpectAll<Bytes>("1 2 ", {Str("AQI="), Blob({1, 2})});
  ExpectAll<Bytes>("", {Str("")});
  ExpectAll<Bytes>(
      "Couldn't assign string value to 'arg' of type blob because the input has "
      "invalid base64 characters.",
      {Str("AQ I="), Str("AQI-"), Str("A"), Str("A=QI")});
  ExpectAll<Bytes>("Couldn't assign value to 'arg' of type blob because the input is not a blob.",
                   {Signed(1), Collection()});
  ExpectAll<Bytes>(kRequired, {BindingProperty()});
}

enum class States : uint8_t { kInProgress = 0, kSucceeded = 1, kLoggingOut = 2, kError = 3 };

TEST(BindingToNativeTest, EnumTargetsByNameNumberAndNumericText) {
  TypeRegistry registry;
  registry.Enum<States>({"Voro", "Client", "Api"}, "LoginSessionStates")
      .Value("IN_PROGRESS", States::kInProgress)
      .Value("ERROR", States::kError)
      .Value("SUCCEEDED", States::kSucceeded)
      .Value("LOGGING_OUT", States::kLoggingOut);
  const auto not_valid = [](const std::string& value) {
    return value + " is not a valid LoginSessionStates enumeration value for 'arg'.";
  };
  // An enum input is checked by number only, whatever enumeration it came from.
  ExpectAll<States>("1", {Str("SUCCEEDED"), Str("1"), Unsigned(1)}, registry);
  ExpectAll<States>("0", {Str("IN_PROGRESS"), Unsigned(0)}, registry);
  ExpectAll<States>("2", {Signed(2)}, registry);
  ExpectAll<States>("3", {Str("3"), Enum(3, 0xDEADBEEF)}, registry);
  for (const char* text : {"succeeded", "", "7", "1x", "4294967297"}) {
    ExpectAll<States>(not_valid(text), {Str(text)}, registry);
  }
  ExpectAll<States>(not_valid("-1"), {Signed(-1)}, registry);
  ExpectAll<States>(not_valid("4"), {Enum(4, StaticType::HashCode<States>().hash)}, registry);
  ExpectAll<States>(not_valid("4294967296"), {Unsigned(uint64_t{1} << 32)}, registry);
  ExpectAll<States>(not_valid("4294967297"), {Signed((int64_t{1} << 32) + 1)}, registry);
  ExpectAll<States>(kRequired, {BindingProperty()}, registry);
  const std::string invalid =
      "Couldn't assign value to 'arg' of enum type because the input is of "
      "an invalid type ";
  ExpectAll<States>(invalid + "bool.", {Bool(true)}, registry);
  ExpectAll<States>(invalid + "float.", {Float(1.0)}, registry);

  // Every width writes only its own bytes.
  enum class Tiny : int8_t { kMinus = -1 };
  enum class Huge : int64_t { kMinus = -2 };
  registry.Enum<Tiny>({"T"}, "Tiny").Value("MINUS", Tiny::kMinus);
  registry.Enum<Huge>({"T"}, "Huge").Value("MINUS", Huge::kMinus);
  struct {
    Tiny tiny = static_cast<Tiny>(5);
    uint8_t guard = 0xAA;
  } packed;
  EXPECT_EQ(Convert(Str("MINUS"), &packed.tiny, registry), "");
  EXPECT_EQ(packed.tiny, Tiny::kMinus);
  EXPECT_EQ(packed.guard, 0xAA);
  ExpectAll<Huge>("-2", {Signed(-2)}, registry);
}

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

TEST(BindingToNativeTest, RecordsWithRequiredOptionalAndNestedFields) {
  TypeRegistry registry;
  registry.Record<Inner>({"T"}, "Inner").Field("x", &Inner::x);
  registry.Record<Outer>({"T"}, "Outer")
      .Field("name", &Outer::name, "", kFieldRequired)
      .Field("count", &Outer::count)
      .Field("maybe", &Outer::maybe)
      .Field("inner", &Outer::inner)
      .Field("after", &Outer::after);
  Outer out;
  // The record's fields after the conversion, then the error.
  const auto convert = [&](const BindingProperty& input, bool top_level = true) {
    const std::string error = Convert(input, &out, registry, top_level);
    return out.name + "," + std::to_string(out.count) + "," +
           (out.maybe ? std::to_string(*out.maybe) : "-") + "," + std::to_string(out.inner.x) +
           "," + std::to_string(out.after) + " " + error;
  };
  const std::string missing =
      "Couldn't assign value to 'arg' of type Outer because the input structure doesn't have "
      "required field 'name'.";
  const std::string not_structure =
      "Couldn't assign value to 'arg' of type Outer because the input not a structure.";
  EXPECT_EQ(convert(Structure()), ",42,-,0,0 " + missing);
  EXPECT_EQ(convert(BindingProperty()), ",42,-,0,0 " + kRequired);
  EXPECT_EQ(convert(BindingProperty(), false), ",42,-,0,0 " + not_structure);
  EXPECT_EQ(convert(Collection()), ",42,-,0,0 " + not_structure);
  BindingProperty input;
  input["name"];  // present but "empty"
  input["count"] = 1;
  EXPECT_EQ(convert(input), ",42,-,0,0 " + missing);
  // Extras are ignored; an "empty" or missing field keeps the native default.
  input["name"] = "alice";
  input["count"].Reset();
  input["inner"]["x"] = 5;
  input["inner"]["y"] = 6;
  EXPECT_EQ(convert(input), "alice,42,-,5,0 ");
  input["maybe"] = "12";
  EXPECT_EQ(convert(input), "alice,42,12,5,0 ");
  input["maybe"] = -1;
  EXPECT_EQ(convert(input), "alice,42,12,5,0 Value -1 for 'maybe' of type uint64 is out of range");
  // A failure names the field and stops the record: what came before stays.
  out = Outer();
  input["count"] = 7;
  input["maybe"].Reset();
  input["inner"]["x"] = "abc";
  input["after"] = 9;
  EXPECT_EQ(convert(input),
            "alice,7,-,0,0 Value abc for 'x' of type int32 is in an incorrect format");
  input["inner"] = 3;
  EXPECT_EQ(convert(input).substr(14),
            "Couldn't assign value to 'inner' of type Inner because the input not a structure.");
  // A result that already failed converts nothing more.
  BindingResult result = BindingResult::Error("first");
  out = Outer();
  BindingToNative(result, &out, input, "arg", KindDataOf<Outer>(), registry, {});
  EXPECT_EQ(result.error(), "first");
  EXPECT_EQ(out.name, "");

  struct Unregistered {
    int32_t v = 0;
  } unregistered;
  const std::string message =
      "Couldn't assign value to 'arg' because the input is an unregistered structure or not a "
      "structure at all.";
  EXPECT_EQ(Convert(Structure(), &unregistered, registry), message);
  EXPECT_EQ(Convert(Str("x"), &unregistered, registry), message);
  EXPECT_EQ(Convert(BindingProperty(), &unregistered, registry), kRequired);
}

TEST(BindingToNativeTest, VectorsMapsAndObjects) {
  const TypeRegistry registry;
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
  EXPECT_EQ(Convert(BindingProperty(), &numbers, registry),
            "Couldn't assign value to 'arg' of type vector because the input not a collection.");
  EXPECT_EQ(Convert(Collection(), &numbers, registry), "");
  EXPECT_TRUE(numbers.empty());

  std::unordered_map<std::string, uint16_t> map = {{"stale", 1}};
  BindingProperty fields;
  fields["a"] = 1;
  fields["b"] = "0x10";
  EXPECT_EQ(Convert(fields, &map, registry), "");
  EXPECT_EQ(map, (std::unordered_map<std::string, uint16_t>{{"a", 1}, {"b", 16}}));
  fields["c"] = 70000;
  EXPECT_EQ(Convert(fields, &map, registry), OutOfRange("70000", "uint16"));
  EXPECT_EQ(Convert(Collection(), &map, registry),
            "Couldn't assign value to 'arg' of type map because the input not a structure.");

  // Objects are deep copies; "empty" is one too, below the top.
  std::vector<BindingProperty> objects;
  input[1]["k"] = "v";
  EXPECT_EQ(Convert(input, &objects, registry), "");
  input[1]["k"] = "changed";
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(objects[1]["k"].GetString(), "v");
  EXPECT_EQ(Convert(BindingProperty(), &objects[1], registry), kRequired);
  EXPECT_EQ(objects[1]["k"].GetString(), "v");
  EXPECT_EQ(Convert(BindingProperty(), &objects[1], registry, /*top_level=*/false), "");
  EXPECT_EQ(objects[1].type(), BindingType::kEmpty);
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
