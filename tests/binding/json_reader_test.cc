#include "binding/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace Voro {
namespace {

using namespace std::literals;

BindingProperty Unsigned(uint64_t u) {
  BindingProperty p;
  p.SetUnsigned(u);
  return p;
}
BindingProperty Signed(int64_t i) {
  BindingProperty p;
  p.SetSigned(i);
  return p;
}
BindingProperty Float(double d) {
  BindingProperty p;
  p.SetFloat(d);
  return p;
}
BindingProperty Bool(bool b) {
  BindingProperty p;
  p.SetBool(b);
  return p;
}
BindingProperty String(std::string_view text) {
  BindingProperty p;
  p.SetString(text);
  return p;
}

// A successful parse, or a test failure naming the reader's message.
BindingProperty ParseOk(std::string_view text) {
  BindingResult result = ParseJson(text);
  EXPECT_TRUE(result.ok()) << "input: " << text << "\nerror: " << result.error();
  return std::move(result.value());
}

struct ScalarCase {
  std::string text;
  BindingType type;
  BindingProperty expected;
};

TEST(JsonReaderTest, ScalarsTakeTheTagTheReaderClassifies) {
  const std::vector<ScalarCase> cases = {
      {"null", BindingType::kEmpty, BindingProperty()},
      {"true", BindingType::kBool, Bool(true)},
      {"false", BindingType::kBool, Bool(false)},
      {"0", BindingType::kUnsigned, Unsigned(0)},
      {"1", BindingType::kUnsigned, Unsigned(1)},
      {"-1", BindingType::kSigned, Signed(-1)},
      // Zero is not negative, whatever its sign.
      {"-0", BindingType::kUnsigned, Unsigned(0)},
      {"4294967295", BindingType::kUnsigned, Unsigned(4294967295u)},
      {"4294967296", BindingType::kUnsigned, Unsigned(4294967296u)},
      {"18446744073709551615", BindingType::kUnsigned,
       Unsigned(std::numeric_limits<uint64_t>::max())},
      {"-2147483648", BindingType::kSigned, Signed(-2147483648LL)},
      {"-2147483649", BindingType::kSigned, Signed(-2147483649LL)},
      {"-9223372036854775808", BindingType::kSigned, Signed(std::numeric_limits<int64_t>::min())},
      // Integers beyond 64 bits are numbers the reader gives as doubles.
      {"18446744073709551616", BindingType::kFloat, Float(18446744073709551616.0)},
      {"-9223372036854775809", BindingType::kFloat, Float(-9223372036854775808.0)},
      {"1.5", BindingType::kFloat, Float(1.5)},
      {"-1.5", BindingType::kFloat, Float(-1.5)},
      {"1.0", BindingType::kFloat, Float(1.0)},
      {"1e2", BindingType::kFloat, Float(100.0)},
      {"1E-2", BindingType::kFloat, Float(0.01)},
      {"2.5e+3", BindingType::kFloat, Float(2500.0)},
      {"0.30000000000000004", BindingType::kFloat, Float(0.1 + 0.2)},
      {"2.2250738585072011e-308", BindingType::kFloat, Float(2.2250738585072011e-308)},
      {"4.9e-324", BindingType::kFloat, Float(std::numeric_limits<double>::denorm_min())},
      {"1.7976931348623157e308", BindingType::kFloat, Float(std::numeric_limits<double>::max())},
      {"9007199254740993", BindingType::kUnsigned, Unsigned(9007199254740993u)},
      {"9007199254740993.0", BindingType::kFloat, Float(9007199254740992.0)},
      {"\"text\"", BindingType::kString, String("text")},
      {"\"\"", BindingType::kString, String("")},
      {" \t\r\n 7 \n", BindingType::kUnsigned, Unsigned(7)},
  };
  for (const ScalarCase& c : cases) {
    SCOPED_TRACE(c.text);
    const BindingProperty value = ParseOk(c.text);
    EXPECT_EQ(value.type(), c.type);
    EXPECT_TRUE(value == c.expected) << "unsigned " << value.GetUnsigned() << " signed "
                                     << value.GetSigned() << " float " << value.GetFloat();
  }
}

TEST(JsonReaderTest, NumbersBelowTheDoubleRangeReadAsSignedZero) {
  const BindingProperty positive = ParseOk("1e-400");
  ASSERT_EQ(positive.type(), BindingType::kFloat);
  EXPECT_EQ(positive.GetFloat(-1), 0.0);
  EXPECT_FALSE(std::signbit(positive.GetFloat()));
  const BindingProperty negative = ParseOk("-0.0000001e-999999999999");
  ASSERT_EQ(negative.type(), BindingType::kFloat);
  EXPECT_EQ(negative.GetFloat(-1), 0.0);
  EXPECT_TRUE(std::signbit(negative.GetFloat()));
}

TEST(JsonReaderTest, OneMinusOneAndOneAndAHalfSplitByKind) {
  const BindingProperty value = ParseOk("[1,-1,1.5]");
  ASSERT_EQ(value.type(), BindingType::kCollection);
  ASSERT_EQ(value.size(), 3u);
  EXPECT_EQ(value[0].type(), BindingType::kUnsigned);
  EXPECT_EQ(value[0].GetUnsigned(), 1u);
  EXPECT_EQ(value[1].type(), BindingType::kSigned);
  EXPECT_EQ(value[1].GetSigned(), -1);
  EXPECT_EQ(value[2].type(), BindingType::kFloat);
  EXPECT_EQ(value[2].GetFloat(), 1.5);
}

TEST(JsonReaderTest, EmptyAndWhitespaceTextsAreAnEmptyValue) {
  for (std::string_view text : {""sv, " "sv, "\t\r\n  \n"sv}) {
    const BindingResult result = ParseJson(text);
    EXPECT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(result.value().type(), BindingType::kEmpty);
  }
}

struct ErrorCase {
  std::string text;
  std::string message;
};

TEST(JsonReaderTest, ReaderErrorsNameTheReasonAndTheOffset) {
  const std::vector<ErrorCase> cases = {
      {"1 2", "Error: The document root must not follow by other values. at offset 2."},
      {"[1]x", "Error: The document root must not follow by other values. at offset 3."},
      {"{} {}", "Error: The document root must not follow by other values. at offset 3."},
      {"01", "Error: The document root must not follow by other values. at offset 1."},
      {"1e400", "Error: Number too big to be stored in double. at offset 0."},
      {"[1, 1e400]", "Error: Number too big to be stored in double. at offset 4."},
      // Beyond the range although the exponent alone is not: never an infinity.
      {"[10e308]", "Error: Number too big to be stored in double. at offset 1."},
      {"{\"a\":-1.7976931348623159e308}",
       "Error: Number too big to be stored in double. at offset 5."},
      {"123456789012345678901234567890e300",
       "Error: Number too big to be stored in double. at offset 0."},
      {"[1,]", "Error: Invalid value. at offset 3."},
      {"{\"a\":}", "Error: Invalid value. at offset 5."},
      {"-", "Error: Invalid value. at offset 1."},
      {"tru", "Error: Invalid value. at offset 3."},
      {"nulx", "Error: Invalid value. at offset 3."},
      {"NaN", "Error: Invalid value. at offset 0."},
      {"-Infinity", "Error: Invalid value. at offset 1."},
      {"/* note */ 1", "Error: Invalid value. at offset 0."},
      {"\xEF\xBB\xBF"
       "1",
       "Error: Invalid value. at offset 0."},
      {"]", "Error: Invalid value. at offset 0."},
      {"  ,", "Error: Invalid value. at offset 2."},
      {"{\"a\" 1}", "Error: Missing a colon after a name of object member. at offset 5."},
      {"{\"a\":1", "Error: Missing a comma or '}' after an object member. at offset 6."},
      {"{\"a\":1,}", "Error: Missing a name for object member. at offset 7."},
      {"{1:2}", "Error: Missing a name for object member. at offset 1."},
      {"[1", "Error: Missing a comma or ']' after an array element. at offset 2."},
      {"[1}", "Error: Missing a comma or ']' after an array element. at offset 2."},
      {"[\"a\":1]", "Error: Missing a comma or ']' after an array element. at offset 4."},
      {"\"abc", "Error: Missing a closing quotation mark in string. at offset 4."},
      {"\"\\x\"", "Error: Invalid escape character in string. at offset 1."},
      {"\"a\x01\"", "Error: Invalid escape character in string. at offset 2."},
      {"\"\\u12G4\"", "Error: Incorrect hex digit after \\u escape in string. at offset 1."},
      {"[\"\\uD800\"]", "Error: The surrogate pair in string is invalid. at offset 2."},
      {"\"\\uD800\\u0041\"", "Error: The surrogate pair in string is invalid. at offset 1."},
      {"1.", "Error: Miss fraction part in number. at offset 2."},
      {"1e", "Error: Miss exponent in number. at offset 2."},
      // A NUL byte does not end the text early.
      {"1\0"s, "Error: The document root must not follow by other values. at offset 1."},
      {"[1] \0 "s, "Error: The document root must not follow by other values. at offset 4."},
      {"\0"s, "Error: Invalid value. at offset 0."},
      {"  \0{}"s, "Error: Invalid value. at offset 2."},
      {"\"a\0b\""s, "Error: Missing a closing quotation mark in string. at offset 2."},
      {"[1,\0]"s, "Error: Invalid value. at offset 3."},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.text);
    const BindingResult result = ParseJson(c.text);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.message);
    // The partial tree is discarded: only the error field remains.
    EXPECT_EQ(result.value().size(), 1u);
  }
}

// Depth as the number of containers on the way down the first elements and fields.
size_t Depth(const BindingProperty& root) {
  size_t depth = 0;
  const BindingProperty* node = &root;
  while (node->type() == BindingType::kCollection || node->type() == BindingType::kStructure) {
    ++depth;
    if (node->size() == 0) break;
    node = node->type() == BindingType::kCollection ? &node->Element(0)
                                                    : &(*node->Fields().begin()).value;
  }
  return depth;
}

TEST(JsonReaderTest, NestingStopsAfterAThousandLevels) {
  const std::string ok_arrays = std::string(1000, '[') + std::string(1000, ']');
  EXPECT_EQ(Depth(ParseOk(ok_arrays)), 1000u);

  const std::string deep_arrays = std::string(1001, '[') + std::string(1001, ']');
  BindingResult result = ParseJson(deep_arrays);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "Error: Nesting is deeper than 1000 levels at offset 1000.");

  // Objects count the same; the offset is the brace that opens level 1001.
  std::string objects;
  for (int i = 0; i < 1001; ++i) objects += "{\"a\":";
  objects += "1" + std::string(1001, '}');
  result = ParseJson(objects);
  EXPECT_EQ(result.error(), "Error: Nesting is deeper than 1000 levels at offset 5000.");
  std::string ok_objects;
  for (int i = 0; i < 999; ++i) ok_objects += "{\"a\":";
  ok_objects += "[]" + std::string(999, '}');
  EXPECT_EQ(Depth(ParseOk(ok_objects)), 1000u);
}

TEST(JsonReaderTest, AMillionOpenBracketsFailWithoutExhaustingTheStack) {
  const std::string open(1000000, '[');
  BindingResult result = ParseJson(open);
  EXPECT_EQ(result.error(), "Error: Nesting is deeper than 1000 levels at offset 1000.");
  result = ParseJson(open + std::string(1000000, ']'));
  EXPECT_EQ(result.error(), "Error: Nesting is deeper than 1000 levels at offset 1000.");
}

TEST(JsonReaderTest, ObjectsAndArraysBuildTheTree) {
  const BindingProperty value =
      ParseOk(R"({"b":1, "a":[true,null,"x",[],{}], "c":{"d":-2,"e":{"f":0.5}}})");
  BindingProperty expected;
  expected["b"] = uint64_t{1};
  BindingProperty& a = expected["a"];
  a.Append() = true;
  a.Append();
  a.Append() = "x";
  a.Append().MakeCollection();
  a.Append().MakeStructure();
  expected["c"]["d"] = int64_t{-2};
  expected["c"]["e"]["f"] = 0.5;
  EXPECT_TRUE(value == expected);
  EXPECT_EQ(value["a"].size(), 5u);
  EXPECT_EQ(value["a"][1].type(), BindingType::kEmpty);
  EXPECT_EQ(value["a"][3].type(), BindingType::kCollection);
  EXPECT_EQ(value["a"][4].type(), BindingType::kStructure);
  EXPECT_EQ(ParseOk("[]").type(), BindingType::kCollection);
  EXPECT_EQ(ParseOk("{}").type(), BindingType::kStructure);
}

TEST(JsonReaderTest, RepeatedMemberNamesKeepTheLastValue) {
  struct Case {
    std::string text;
    std::string expected;
  };
  // Expected trees written as JSON without repeats.
  const std::vector<Case> cases = {
      {R"({"a":1,"a":"two"})", R"({"a":"two"})"},
      {R"({"a":{"x":1},"a":{"y":2}})", R"({"a":{"y":2}})"},
      {R"({"a":[1],"a":[2]})", R"({"a":[2]})"},
      {R"({"a":[1],"a":{"b":2},"c":0})", R"({"a":{"b":2},"c":0})"},
      {R"({"a":{"b":2},"a":null})", R"({"a":null})"},
      {R"([{"k":1,"k":2,"k":3}])", R"([{"k":3}])"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const BindingProperty value = ParseOk(c.text);
    EXPECT_TRUE(value == ParseOk(c.expected));
  }
  EXPECT_EQ(ParseOk(R"({"a":1,"b":2,"a":3})").size(), 2u);
}

TEST(JsonReaderTest, FieldsComeInByteOrderOfTheirNames) {
  const BindingProperty value = ParseOk(R"({"b":1,"a":2,"B":3,"":4,"\u00e9":5,"ab":6})");
  std::vector<std::string> keys;
  for (const auto& field : value.Fields()) keys.emplace_back(field.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "ab", "b", "\xC3\xA9"}));
}

TEST(JsonReaderTest, StringsDecodeEscapesAndKeepUtf8) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0041\u00e9\u4E2D\ud83d\ude00")", "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      {"\"caf\xC3\xA9 \xE4\xB8\xAD\"", "caf\xC3\xA9 \xE4\xB8\xAD"},
      {R"("a\u0000b")", "a\0b"s},
      // The reader does not validate: bytes that are not UTF-8 pass through unchanged,
      // and a lone low surrogate is encoded as it stands.
      {"\"\xFF\xFE\"", "\xFF\xFE"},
      {R"("\uDC00")", "\xED\xB0\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const BindingProperty value = ParseOk(c.text);
    EXPECT_EQ(value.type(), BindingType::kString);
    EXPECT_EQ(value.GetString(), c.expected);
  }
  const BindingProperty keyed = ParseOk(R"({"a\u0062\n":"x\ty"})");
  EXPECT_EQ(keyed["ab\n"].GetString(), "x\ty");
}

TEST(JsonReaderTest, LongArraysKeepEveryElementInOrder) {
  std::string text = "[";
  for (int i = 0; i < 100000; ++i) {
    if (i != 0) text += ',';
    text += i % 2 == 0 ? std::to_string(i) : "\"s" + std::to_string(i) + "\"";
  }
  text += "]";
  const BindingProperty value = ParseOk(text);
  ASSERT_EQ(value.size(), 100000u);
  for (int i = 0; i < 100000; ++i) {
    if (i % 2 == 0) {
      ASSERT_EQ(value[i].GetUnsigned(), static_cast<uint64_t>(i));
    } else {
      ASSERT_EQ(value[i].GetString(), "s" + std::to_string(i));
    }
  }
}

// Strings are decoded in place, but in a private copy: the caller's text stays as it was.
TEST(JsonReaderTest, TheTextIsNotModified) {
  const std::string text = R"({"a\n":"x\"y", "b":[1.5e3]})";
  const std::string copy = text;  // NOLINT(performance-unnecessary-copy-initialization)
  const BindingProperty value = ParseOk(text);
  EXPECT_EQ(text, copy);
  EXPECT_EQ(value["a\n"].GetString(), "x\"y");
  EXPECT_EQ(value["b"][0].GetFloat(), 1500.0);
}

}  // namespace
}  // namespace Voro
