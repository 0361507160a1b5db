#include "binding/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "binding/json_reader.h"
#include "binding/record_builder.h"
#include "binding/static_type.h"
#include "binding/type_registry.h"

namespace Voro {
namespace {

using namespace std::literals;

enum class Shade { kLight = 1, kDark = 2, kDim = -2 };

BindingProperty Of(double d) {
  BindingProperty p;
  p.SetFloat(d);
  return p;
}

TEST(JsonWriterTest, EmptyAtTheTopIsNoTextAtAll) {
  const BindingProperty empty;
  EXPECT_EQ(WriteJson(empty), "");
  EXPECT_EQ(WriteJson(empty, nullptr, "\n"), "");
}

TEST(JsonWriterTest, ScalarsAtTheTop) {
  BindingProperty v;
  v = true;
  EXPECT_EQ(WriteJson(v), "true");
  v = false;
  EXPECT_EQ(WriteJson(v), "false");
  v = int64_t{-5};
  EXPECT_EQ(WriteJson(v), "-5");
  v = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(WriteJson(v), "-9223372036854775808");
  v = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(WriteJson(v), "18446744073709551615");
  v = uint64_t{0};
  EXPECT_EQ(WriteJson(v), "0");
  v = "text";
  EXPECT_EQ(WriteJson(v), "\"text\"");
  v = "";
  EXPECT_EQ(WriteJson(v), "\"\"");
  v = int64_t{7};
  EXPECT_EQ(WriteJson(v, nullptr, "\n"), "7");
}

TEST(JsonWriterTest, FloatsTakeTheShortestFormThatReadsBack) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1.5, "1.5"},
      {0.1, "0.1"},
      {100.0, "100.0"},
      {-0.0, "-0.0"},
      // Grisu2 digits are not always the fewest, but always read back to the same bits.
      {0.1 + 0.2, "0.30000000000000007"},
      {1e20, "100000000000000000000.0"},
      {1e21, "1e21"},
      {1e-6, "0.000001"},
      {1e-7, "1e-7"},
      {123456.789, "123456.789"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const BindingProperty value = Of(c.value);
    EXPECT_EQ(WriteJson(value), c.text);
    const BindingResult back = ParseJson(WriteJson(value));
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(back.value().GetFloat(), c.value);
    EXPECT_EQ(std::signbit(back.value().GetFloat()), std::signbit(c.value));
  }
}

TEST(JsonWriterTest, NanAndInfinitiesBecomeNullSoTheTextStaysJson) {
  BindingProperty list;
  list.Append() = std::numeric_limits<double>::quiet_NaN();
  list.Append() = std::numeric_limits<double>::infinity();
  list.Append() = -std::numeric_limits<double>::infinity();
  list.Append() = 2.5;
  EXPECT_EQ(WriteJson(list), "[null,null,null,2.5]");
  BindingProperty record;
  record["x"] = std::numeric_limits<double>::infinity();
  EXPECT_EQ(WriteJson(record, nullptr, "\n"), "{\n    \"x\": null\n}");
  EXPECT_EQ(WriteJson(Of(std::nan(""))), "null");
  EXPECT_TRUE(ParseJson(WriteJson(list)).ok());
}

TEST(JsonWriterTest, StringsAreEscapedByTheWriter) {
  BindingProperty v;
  v = "a\"b\\c/\n\r\t\b\f\x01\x1F\x7F caf\xC3\xA9"s;
  EXPECT_EQ(WriteJson(v), "\"a\\\"b\\\\c/\\n\\r\\t\\b\\f\\u0001\\u001F\x7F caf\xC3\xA9\"");
  v = "a\0b"s;
  EXPECT_EQ(WriteJson(v), "\"a\\u0000b\"");
  BindingProperty keyed;
  keyed["k\"\n"] = uint64_t{1};
  EXPECT_EQ(WriteJson(keyed), "{\"k\\\"\\n\":1}");
}

TEST(JsonWriterTest, BlobsAreBase64Strings) {
  BindingProperty v;
  v = std::vector<uint8_t>{0x00, 0xFF, 0x10};
  EXPECT_EQ(WriteJson(v), "\"AP8Q\"");
  v = std::vector<uint8_t>{'a', 'b', 'c', 'd'};
  EXPECT_EQ(WriteJson(v), "\"YWJjZA==\"");
  v = std::vector<uint8_t>{};
  EXPECT_EQ(WriteJson(v), "\"\"");
}

TEST(JsonWriterTest, EnumsByNameWhenTheRegistryKnowsThem) {
  TypeRegistry registry;
  registry.Enum<Shade>({"T"}, "Shade")
      .Value("LIGHT", Shade::kLight)
      .Value("DARK", Shade::kDark)
      .Value("DIM", Shade::kDim);
  const uint32_t hash = StaticType::HashCode<Shade>().hash;
  BindingProperty v;
  v["dark"] = BindingEnum{2, hash};
  v["dim"] = BindingEnum{-2, hash};
  v["unknown_value"] = BindingEnum{7, hash};
  v["unknown_type"] = BindingEnum{1, hash + 1};
  EXPECT_EQ(WriteJson(v, &registry),
            R"({"dark":"DARK","dim":"DIM","unknown_type":1,"unknown_value":7})");
  EXPECT_EQ(WriteJson(v), R"({"dark":2,"dim":-2,"unknown_type":1,"unknown_value":7})");
}

TEST(JsonWriterTest, EmptyInsideContainersIsNull) {
  BindingProperty v;
  v["a"];
  v["b"].Append();
  v["b"].Append() = uint64_t{1};
  v["c"].MakeCollection();
  v["d"].MakeStructure();
  EXPECT_EQ(WriteJson(v), R"({"a":null,"b":[null,1],"c":[],"d":{}})");
}

TEST(JsonWriterTest, MembersComeInByteOrderOfTheirNames) {
  BindingProperty v;
  v["b"] = uint64_t{1};
  v["a"] = uint64_t{2};
  v["B"] = uint64_t{3};
  v["ab"] = uint64_t{4};
  v[""] = uint64_t{5};
  v["\xC3\xA9"] = uint64_t{6};
  EXPECT_EQ(WriteJson(v), "{\"\":5,\"B\":3,\"a\":2,\"ab\":4,\"b\":1,\"\xC3\xA9\":6}");
}

TEST(JsonWriterTest, PrettyLayoutIndentsByFourSpaces) {
  BindingProperty v;
  v["a"].Append() = uint64_t{1};
  v["a"].Append() = "two";
  v["b"].MakeStructure();
  v["c"].MakeCollection();
  v["d"]["e"];
  v["d"]["f"]["g"] = true;
  const std::string expected =
      "{\n"
      "    \"a\": [\n"
      "        1,\n"
      "        \"two\"\n"
      "    ],\n"
      "    \"b\": {},\n"
      "    \"c\": [],\n"
      "    \"d\": {\n"
      "        \"e\": null,\n"
      "        \"f\": {\n"
      "            \"g\": true\n"
      "        }\n"
      "    }\n"
      "}";
  EXPECT_EQ(WriteJson(v, nullptr, "\n"), expected);
  // Any non-empty layout text selects the same layout.
  EXPECT_EQ(WriteJson(v, nullptr, "pretty"), expected);
  EXPECT_EQ(WriteJson(v, nullptr, ""),
            R"({"a":[1,"two"],"b":{},"c":[],"d":{"e":null,"f":{"g":true}}})");
}

TEST(JsonWriterTest, DeepTreesAreWrittenWithoutRecursion) {
  constexpr int kDepth = 200000;
  BindingProperty root;
  BindingProperty* node = &root;
  for (int i = 0; i < kDepth; ++i) node = i % 2 == 0 ? &node->Append() : &(*node)["k"];
  *node = uint64_t{1};
  const std::string text = WriteJson(root);
  std::string expected;
  for (int i = 0; i < kDepth; ++i) expected += i % 2 == 0 ? "[" : "{\"k\":";
  expected += "1";
  for (int i = kDepth - 1; i >= 0; --i) expected += i % 2 == 0 ? "]" : "}";
  EXPECT_EQ(text, expected);
}

// Documents read, written and read again: the trees are equal, and writing the second
// tree gives the same text.
const char* const kCorpus[] = {
    "null",
    "true",
    "0",
    "-1",
    "18446744073709551615",
    "-9223372036854775808",
    "1.5",
    "0.30000000000000004",
    "5e-324",
    "1.7976931348623157e308",
    "-0.0",
    "123456789.123456789",
    "1e-7",
    "\"\"",
    R"("\u0000\u001f\"\\\/\b\f\n\r\t")",
    R"("caf\u00e9 \ud83d\ude00 \u4e2d")",
    "[]",
    "{}",
    "[[],[[]],{}]",
    R"({"b":1,"a":{"y":[1,2,{"z":null}],"x":"s"},"":true})",
    R"({"dup":1,"dup":{"inner":[3]}})",
    R"([1,-1,1.5,"x",true,false,null,{"k":[0.1,0.2,0.7]}])",
    R"({"accountId":2000000001,"summoner":{"name":"Player One","level":30,"icon":512},
        "settings":{"volume":0.75,"muted":false,"binds":["q","w","e","r"]},
        "queue":{"token":"eyJhbGciOi.J9","position":-1,"eta":12.5}})",
    "[18446744073709551616, -9223372036854775809, 1e300, 2.2250738585072014e-308]",
};

TEST(JsonWriterTest, RoundTripsOverACorpus) {
  for (const char* document : kCorpus) {
    SCOPED_TRACE(document);
    const BindingResult first = ParseJson(document);
    ASSERT_TRUE(first.ok()) << first.error();
    for (std::string_view layout : {""sv, "\n"sv}) {
      const std::string text = WriteJson(first.value(), nullptr, layout);
      const BindingResult second = ParseJson(text);
      ASSERT_TRUE(second.ok()) << second.error() << "\n" << text;
      EXPECT_TRUE(second.value() == first.value()) << text;
      EXPECT_EQ(WriteJson(second.value(), nullptr, layout), text);
    }
  }
}

TEST(JsonWriterTest, RoundTripsOfGeneratedFloatsKeepEveryBit) {
  // A fixed-seed generator over all bit patterns of finite doubles.
  uint64_t state = 0x9E3779B97F4A7C15u;
  BindingProperty list;
  for (int i = 0; i < 20000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    double d;
    static_assert(sizeof(d) == sizeof(state));
    std::memcpy(&d, &state, sizeof(d));
    if (!std::isfinite(d)) continue;
    list.Append() = d;
  }
  const BindingResult back = ParseJson(WriteJson(list));
  ASSERT_TRUE(back.ok()) << back.error();
  ASSERT_EQ(back.value().size(), list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    ASSERT_EQ(back.value()[i].GetFloat(), list[i].GetFloat()) << WriteJson(list[i]);
  }
}

}  // namespace
}  // namespace Voro
