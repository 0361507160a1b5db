// JSON both ways: text read into a BindingProperty tree, and trees written as text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_simd_reader.h"
#include "binding/codec/json_writer.h"
#include "binding/types/record_builder.h"
#include "binding/types/static_type.h"
#include "binding/types/type_registry.h"
#include "support/binding_values.h"

namespace Voro {
namespace {

using namespace std::literals;
using namespace testing;  // Str, Signed, Unsigned, Float, Bool, Scalar

// A successful parse, or a test failure naming the reader's message.
BindingProperty ParseOk(std::string_view text) {
  BindingResult result = ParseJson(text);
  EXPECT_TRUE(result.ok()) << "input: " << text << "\nerror: " << result.error();
  return std::move(result.value());
}

TEST(JsonTest, ScalarsReadWithTheTagTheReaderClassifiesAndWriteBack) {
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  // The text read, the value it gives, and the text that value is written as. Values no
  // text reads as are only written.
  const struct {
    const char* read;
    BindingProperty value;
    std::string written;
  } cases[] = {
      {"null", BindingProperty(), ""},  // empty at the top is no text at all
      {"-1", Signed(-1), "-1"},
      {"-0", Unsigned(0), "0"},  // zero is not negative, whatever its sign
      {"18446744073709551615", Unsigned(max), "18446744073709551615"},
      {"2.5E+3", Float(2500.0), "2500.0"},
      // Below the double range: a zero that keeps its sign.
      {"1e-400", Float(0.0), "0.0"},
      {"-0.0000001e-999999999999", Float(-0.0), "-0.0"},
      {"1e21", Float(1e21), "1e21"},
      // Strings decode escapes; the writer escapes what JSON requires.
      {R"("\"\\\/\b\f\n\r\t")", Str("\"\\/\b\f\n\r\t"), R"("\"\\/\b\f\n\r\t")"},
      {R"("a\u0000b\u0001\u001F\u007F")", Str("a\0b\x01\x1F\x7F"sv),
       "\"a\\u0000b\\u0001\\u001F\x7F\""},
      {nullptr, Scalar(std::vector<uint8_t>{0x00, 0xFF, 0x10}), "\"AP8Q\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    if (c.read != nullptr) {
      const BindingProperty value = ParseOk(c.read);
      EXPECT_EQ(value, c.value) << BindingTypeName(value.type()) << " " << value.ToString();
      EXPECT_EQ(std::signbit(value.GetFloat()), std::signbit(c.value.GetFloat()));
    }
    EXPECT_EQ(WriteJson(c.value), c.written);
    EXPECT_EQ(WriteJson(c.value, nullptr, "\n"), c.written);
    if (c.value.type() != BindingType::kFloat || !std::isfinite(c.value.GetFloat())) continue;
    // What is written reads back to the same bits.
    const double back = ParseJson(c.written).value().GetFloat(std::nan(""));
    EXPECT_EQ(back, c.value.GetFloat());
    EXPECT_EQ(std::signbit(back), std::signbit(c.value.GetFloat()));
  }
  for (std::string_view text : {""sv, " "sv, "\t\r\n  \n"sv}) {
    EXPECT_EQ(ParseOk(text).type(), BindingType::kEmpty);
  }
}

TEST(JsonTest, ObjectsAndArraysBuildTheTree) {
  // Strings are decoded in place, but in a private copy: the caller's text stays as it was.
  const std::string text =
      R"({"b":1, "a":[true,null,"x",[],{}], "c":{"d":-2,"e\n":{"f":1.5e3}}, "s":"x\"y"})";
  const std::string copy = text;  // NOLINT(performance-unnecessary-copy-initialization)
  const BindingProperty value = ParseOk(text);
  EXPECT_EQ(text, copy);
  EXPECT_EQ(WriteJson(value),
            R"({"a":[true,null,"x",[],{}],"b":1,"c":{"d":-2,"e\n":{"f":1500.0}},"s":"x\"y"})");
}

TEST(JsonTest, ErrorsNameTheReasonAndTheOffset) {
  const std::string too_deep = "Nesting is deeper than 1000 levels";
  const struct {
    std::string text;
    std::string reason;
    size_t offset;
  } cases[] = {
      // Beyond the double range: never an infinity.
      {"{\"a\":-1.7976931348623159e308}", "Number too big to be stored in double.", 5},
      // A NUL byte does not end the text early.
      {"1\0"s, "The document root must not follow by other values.", 1},
      {"  \0{}"s, "Invalid value.", 2},
      // The offset is the bracket or brace that opens level 1001.
      {std::string(1001, '[') + std::string(1001, ']'), too_deep, 1000},
      // A million open brackets fail without exhausting the stack.
      {std::string(1000000, '[') + std::string(1000000, ']'), too_deep, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    const BindingResult result = ParseJson(c.text);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error(),
              "Error: " + c.reason + " at offset " + std::to_string(c.offset) + ".");
    // The partial tree is discarded: only the error field remains.
    EXPECT_EQ(result.value().size(), 1u);
  }
  const std::string thousand = std::string(1000, '[') + std::string(1000, ']');
  EXPECT_EQ(WriteJson(ParseOk(thousand)), thousand);
}

TEST(JsonTest, TheFastReaderGivesRapidJsonsResultOrLeavesTheText) {
  // Each text is read both ways and must give the same result; `fast` says whether the
  // simdjson path answers for it (false: it leaves the text to RapidJSON).
  const std::string deepest = std::string(1000, '[') + std::string(1000, ']');
  const std::string too_deep = std::string(1001, '[') + std::string(1001, ']');
  const struct {
    std::string text;
    bool fast;
  } cases[] = {
      {R"({"id":7,"name":"Alice","owned":true,"tags":["a",null],"ratio":0.5})", true},
      {R"({"a":1,"a":2,"b":{"a":3}})", true},  // the last of a repeated key wins
      {"-0", true},
      {"-9223372036854775808", true},
      {"18446744073709551615", true},
      {"18446744073709551616", false},  // beyond 64 bits: RapidJSON's double
      {"-9223372036854775809", false},
      {"4e-320", true},   // subnormal
      {"-1e-400", true},  // below the range: a negative zero
      {"[0.0,-0.0,1.5]", true},
      {"[0e400]", false},               // a zero significand RapidJSON calls too big
      {R"([0.0,"type e400"])", false},  // looks like one: left to RapidJSON, same result
      {"0.0e308", false},
      {"1.7976931348623157e308", false},  // the top of the range
      {"-1.7976931348623159e308", false},
      {"1e21", true},
      {R"("a\u0000b\uD83D\uDE00\/")", true},
      {R"("\uDC00")", false},     // a lone surrogate
      {"\"\x80\"", false},        // not UTF-8
      {"\xEF\xBB\xBF{}", false},  // a byte order mark
      {"\"a\tb\"", false},        // a control character in a string
      {"", false},
      {" \n", false},
      {"[1,]", false},
      {"{} x", false},
      {"1\0"s, false},
      {deepest, true},
      {too_deep, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    BindingProperty fast_tree;
    EXPECT_EQ(ReadJsonWithSimdjson(c.text, &fast_tree), c.fast);
    if (!c.fast) {
      EXPECT_EQ(fast_tree.type(), BindingType::kEmpty);
    }
    const BindingResult ours = ParseJson(c.text);
    const BindingResult reference = ParseJsonWithRapidJson(c.text);
    ASSERT_EQ(ours.ok(), reference.ok());
    EXPECT_EQ(ours.error(), reference.error());
    EXPECT_EQ(ours.value(), reference.value());
    // Trees compare floats with ==; the text tells the sign of a zero apart.
    EXPECT_EQ(WriteJson(ours.value()), WriteJson(reference.value()));
    if (c.fast) {
      EXPECT_EQ(fast_tree, ours.value());
    }
  }
}

enum class Shade { kLight = 1, kDark = 2 };

TEST(JsonTest, EnumsByNameWhenTheRegistryKnowsThem) {
  TypeRegistry registry;
  registry.Enum<Shade>({"T"}, "Shade").Value("LIGHT", Shade::kLight).Value("DARK", Shade::kDark);
  const uint32_t hash = StaticType::HashCode<Shade>().hash;
  BindingProperty v;
  v["dark"] = BindingEnum{2, hash};
  v["unknown_value"] = BindingEnum{7, hash};
  v["unknown_type"] = BindingEnum{1, hash + 1};
  EXPECT_EQ(WriteJson(v, &registry), R"({"dark":"DARK","unknown_type":1,"unknown_value":7})");
  EXPECT_EQ(WriteJson(v), R"({"dark":2,"unknown_type":1,"unknown_value":7})");
}

// The compact writer gives RapidJSON's Writer's bytes: its escapes (short forms, \u00XX in
// capitals for other bytes below 0x20, the quote and the backslash; every other byte as it
// is), its integers and its shortest doubles. Escapes fall at every place of an eight-byte
// block, and at its edges.
TEST(JsonTest, CompactTextIsRapidJsonsWritersText) {
  const struct {
    std::string text;
    std::string written;
  } strings[] = {
      {"", R"("")"},
      {"plain text of a few words", R"("plain text of a few words")"},
      {"tab\there \"quoted\" back\\slash\nnew\rret\bbs\fff",
       R"("tab\there \"quoted\" back\\slash\nnew\rret\bbs\fff")"},
      {"\x01\x1f\x7f\x20/", "\"\\u0001\\u001F\x7f /\""},
      {"nul\0inside"s, R"("nul\u0000inside")"},
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB2 \xFF\xFE",
       "\"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB2 \xFF\xFE\""},
      {"12345678\"2345678\\", R"("12345678\"2345678\\")"},
  };
  BindingProperty all;
  all.MakeCollection();
  for (const auto& row : strings) {
    SCOPED_TRACE(row.text);
    BindingProperty one;
    one = row.text;
    const std::string text = WriteJson(one);
    EXPECT_EQ(text, row.written);
    EXPECT_EQ(text, WriteJsonWithRapidJson(one));
    all.Append() = row.text;
  }
  // An escape at each offset of a longer text, in keys too.
  for (size_t at = 0; at < 20; ++at) {
    for (char special : {'"', '\\', '\n', '\x02'}) {
      std::string text(19, 'k');
      text[at % text.size()] = special;
      text.insert(0, at / 19 + 1, 'x');
      all.Append() = text;
      all.Append()[text] = text;
    }
  }
  for (const BindingProperty& number :
       {Signed(std::numeric_limits<int64_t>::min()), Signed(-1), Unsigned(0),
        Unsigned(std::numeric_limits<uint64_t>::max()), Float(0.1), Float(-0.0), Float(1e-7),
        Float(5e-324), Float(1.7976931348623157e308), Float(123456789012345680.0),
        Float(std::nan("")), Bool(true), Bool(false), BindingProperty()}) {
    all.Append() = number;
  }
  all.Append()["nested"].Append()["deeper"] = uint64_t{7};
  all.Append().MakeStructure();
  all.Append().MakeCollection();
  const std::string written = WriteJson(all);
  EXPECT_EQ(written, WriteJsonWithRapidJson(all));
  const std::string tail = R"(-9223372036854775808,-1,0,18446744073709551615,0.1,-0.0,1e-7,5e-324,)"
                           R"(1.7976931348623157e308,123456789012345680.0,null,true,false,null,)"
                           R"({"nested":[{"deeper":7}]},{},[]])";
  EXPECT_EQ(written.substr(written.size() - std::min(written.size(), tail.size())), tail);
}

TEST(JsonTest, PrettyLayoutIndentsByFourSpaces) {
  const char* compact = R"({"a":[1,"two"],"b":{},"c":[],"d":{"e":null}})";
  BindingProperty v = ParseJson(compact).value();
  v["d"]["e"] = std::numeric_limits<double>::infinity();
  const std::string expected =
      "{\n    \"a\": [\n        1,\n        \"two\"\n    ],\n    \"b\": {},\n    \"c\": [],\n"
      "    \"d\": {\n        \"e\": null\n    }\n}";
  EXPECT_EQ(WriteJson(v, nullptr, "\n"), expected);
  // Any non-empty layout text selects the same layout.
  EXPECT_EQ(WriteJson(v, nullptr, "pretty"), expected);
  EXPECT_EQ(WriteJson(v, nullptr, ""), compact);
}

TEST(JsonTest, DeepTreesAreWrittenWithoutRecursion) {
  constexpr int kDepth = 200000;
  BindingProperty root;
  BindingProperty* node = &root;
  for (int i = 0; i < kDepth; ++i) node = i % 2 == 0 ? &node->Append() : &(*node)["k"];
  *node = uint64_t{1};
  std::string expected;
  for (int i = 0; i < kDepth; ++i) expected += i % 2 == 0 ? "[" : "{\"k\":";
  expected += "1";
  for (int i = kDepth - 1; i >= 0; --i) expected += i % 2 == 0 ? "]" : "}";
  EXPECT_EQ(WriteJson(root), expected);
}

// Documents read, written and read again: the trees are equal, and writing the second
// tree gives the same text.
TEST(JsonTest, RoundTripsOverACorpus) {
  const std::vector<std::string> corpus = {
      R"({"b":1,"a":{"y":[1,2,{"z":null}],"x":"s\u00e9\n"},"":true})",
      "[18446744073709551616, -9223372036854775809, 1e300, 2.2250738585072014e-308]",
  };
  // Doubles of a fixed-seed generator over all bit patterns: every bit must come back.
  uint64_t state = 0x9E3779B97F4A7C15u;
  BindingProperty floats = ParseJson("[123456789.123456789]").value();
  for (int i = 0; i < 20000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    double d;
    std::memcpy(&d, &state, sizeof(d));
    if (std::isfinite(d)) floats.Append() = d;
  }
  EXPECT_EQ(ParseJson(WriteJson(floats)).value(), floats);
  for (const std::string& document : corpus) {
    SCOPED_TRACE(document.substr(0, 60));
    const BindingResult first = ParseJson(document);
    ASSERT_TRUE(first.ok()) << first.error();
    for (std::string_view layout : {""sv, "\n"sv}) {
      const std::string text = WriteJson(first.value(), nullptr, layout);
      const BindingResult second = ParseJson(text);
      ASSERT_TRUE(second.ok()) << second.error() << "\n" << text;
      EXPECT_EQ(second.value(), first.value());
      EXPECT_EQ(WriteJson(second.value(), nullptr, layout), text);
    }
  }
}

}  // namespace
}  // namespace Voro
