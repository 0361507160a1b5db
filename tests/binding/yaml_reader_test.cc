#include "binding/yaml_reader.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/binding_values.h"

namespace Voro {
namespace {

using testing::Bool;
using testing::Float;
using testing::Signed;
using testing::Str;
using testing::Unsigned;
BindingProperty Empty() { return BindingProperty(); }

// The value of a document that must parse.
BindingProperty Parse(std::string_view yaml) {
  BindingResult result = ParseYaml(yaml);
  EXPECT_TRUE(result.ok()) << yaml << "\n-> " << result.error();
  return std::move(result.value());
}

// The message of a document that must fail.
std::string Error(std::string_view yaml) {
  const BindingResult result = ParseYaml(yaml);
  EXPECT_FALSE(result.ok()) << yaml;
  return std::string(result.error());
}

std::string Describe(const BindingProperty& v) {
  return std::string(BindingTypeName(v.type())) + " " + v.ToString();
}

struct ScalarCase {
  const char* yaml;
  BindingProperty expected;
};

TEST(YamlReaderTest, PlainScalarsResolveInOrder) {
  const ScalarCase cases[] = {
      // Null words and the empty text.
      {"~", Empty()},
      {"null", Empty()},
      {"Null", Empty()},
      {"NULL", Empty()},
      {"v: ", Empty()},
      {"nULL", Str("nULL")},
      // Numbers read completely by strtod; whole ones become integers.
      {"1", Unsigned(1)},
      {"-1", Signed(-1)},
      {"+5", Unsigned(5)},
      {"0", Unsigned(0)},
      {"-0", Unsigned(0)},
      {"-0.0", Unsigned(0)},
      {"1.0", Unsigned(1)},
      {"1.5", Float(1.5)},
      {"-2.25", Float(-2.25)},
      {".5", Float(0.5)},
      {"1e3", Unsigned(1000)},
      {"-1e3", Signed(-1000)},
      {"2.5e-1", Float(0.25)},
      {"1e-400", Unsigned(0)},
      {"0x10", Unsigned(16)},
      {"-0x10", Signed(-16)},
      {"010", Unsigned(10)},
      {"9007199254740993", Unsigned(9007199254740992u)},
      {"-9223372036854775808", Signed(std::numeric_limits<int64_t>::min())},
      {"18446744073709549568", Unsigned(18446744073709549568u)},
      // Whole numbers that no 64-bit integer holds stay floating point.
      {"18446744073709551615", Float(18446744073709551616.0)},
      {"-1e19", Float(-1e19)},
      {"1e30", Float(1e30)},
      // Infinity is not a number here; neither are partial numbers.
      {".inf", Str(".inf")},
      {"-.inf", Str("-.inf")},
      {"inf", Str("inf")},
      {"-infinity", Str("-infinity")},
      {"1e400", Str("1e400")},
      {"-1e400", Str("-1e400")},
      {"12abc", Str("12abc")},
      {"1_000", Str("1_000")},
      {"0o17", Str("0o17")},
      {"1.2.3", Str("1.2.3")},
      // True and false words.
      {"true", Bool(true)},
      {"True", Bool(true)},
      {"TRUE", Bool(true)},
      {"y", Bool(true)},
      {"Y", Bool(true)},
      {"yes", Bool(true)},
      {"Yes", Bool(true)},
      {"YES", Bool(true)},
      {"on", Bool(true)},
      {"On", Bool(true)},
      {"ON", Bool(true)},
      {"false", Bool(false)},
      {"False", Bool(false)},
      {"FALSE", Bool(false)},
      {"n", Bool(false)},
      {"N", Bool(false)},
      {"no", Bool(false)},
      {"No", Bool(false)},
      {"NO", Bool(false)},
      {"off", Bool(false)},
      {"Off", Bool(false)},
      {"OFF", Bool(false)},
      {"tRUE", Str("tRUE")},
      {"yess", Str("yess")},
      {"nO", Str("nO")},
      // Everything else is a string.
      {"hello world", Str("hello world")},
  };
  for (const ScalarCase& c : cases) {
    const std::string yaml = c.yaml;
    BindingProperty value = Parse(yaml);
    if (yaml.starts_with("v:")) value = BindingProperty(value["v"]);
    EXPECT_EQ(value, c.expected) << yaml << " gave " << Describe(value);
  }
}

TEST(YamlReaderTest, NotANumberIsFloat) {
  for (const char* yaml : {"nan", "NaN", "-nan", "NAN"}) {
    const BindingProperty value = Parse(yaml);
    EXPECT_EQ(value.type(), BindingType::kFloat) << yaml;
    EXPECT_TRUE(std::isnan(value.GetFloat())) << yaml;
  }
}

TEST(YamlReaderTest, QuotedScalarsAreStrings) {
  EXPECT_EQ(Parse("'1'"), Str("1"));
  EXPECT_EQ(Parse("\"1\""), Str("1"));
  EXPECT_EQ(Parse("'yes'"), Str("yes"));
  EXPECT_EQ(Parse("\"~\""), Str("~"));
  EXPECT_EQ(Parse("''"), Str(""));
  EXPECT_EQ(Parse("\"a\\tb\\u00e9\""), Str("a\tb\xc3\xa9"));
  EXPECT_EQ(Parse("'it''s'"), Str("it's"));
}

TEST(YamlReaderTest, LiteralAndFoldedScalarsResolveLikePlainOnes) {
  const BindingProperty doc = Parse(
      "lit: |\n"
      "  line one\n"
      "  line two\n"
      "fold: >\n"
      "  folded\n"
      "  text\n"
      "strip: |-\n"
      "  42\n"
      "keep: |\n"
      "  42\n"
      "fstrip: >-\n"
      "  1.5\n"
      "flag: |-\n"
      "  yes\n"
      "nothing: |-\n"
      "last: end\n");
  EXPECT_EQ(doc["lit"], Str("line one\nline two\n"));
  EXPECT_EQ(doc["fold"], Str("folded text\n"));
  EXPECT_EQ(doc["strip"], Unsigned(42));
  // The kept line break is not part of a number.
  EXPECT_EQ(doc["keep"], Str("42\n"));
  EXPECT_EQ(doc["fstrip"], Float(1.5));
  EXPECT_EQ(doc["flag"], Bool(true));
  EXPECT_EQ(doc["nothing"], Empty());
  EXPECT_EQ(doc["last"], Str("end"));
}

TEST(YamlReaderTest, TaggedScalars) {
  const ScalarCase cases[] = {
      {"!!str 1", Str("1")},
      {"!!str", Str("")},
      {"!<tag:yaml.org,2002:str> true", Str("true")},
      {"!!int 42", Unsigned(42)},
      {"!!int '42'", Unsigned(42)},
      {"!!int -42", Signed(-42)},
      {"!!int 0x1F", Unsigned(31)},
      {"!!int 010", Unsigned(8)},
      {"!!int -0x10", Signed(-16)},
      {"!!int ''", Unsigned(0)},
      {"!!int 18446744073709551615", Unsigned(std::numeric_limits<uint64_t>::max())},
      {"!!int -9223372036854775808", Signed(std::numeric_limits<int64_t>::min())},
      {"!!float 1", Float(1.0)},
      {"!!float 1.5", Float(1.5)},
      {"!!float '-2.5e2'", Float(-250.0)},
      {"!!float ''", Float(0.0)},
      {"!!bool yes", Bool(true)},
      {"!!bool TRUE", Bool(true)},
      {"!!bool off", Bool(false)},
      {"!!bool 'n'", Bool(false)},
      {"!!bool maybe", Empty()},
      {"!!bool 1", Empty()},
  };
  for (const ScalarCase& c : cases) {
    const BindingProperty value = Parse(c.yaml);
    EXPECT_EQ(value, c.expected) << c.yaml << " gave " << Describe(value);
  }
}

struct ErrorCase {
  const char* yaml;
  const char* message;
};

TEST(YamlReaderTest, TagFailures) {
  const ErrorCase cases[] = {
      {"!!int abc", "Value abc for 'yaml' of type uint64_t is in an incorrect format"},
      {"!!int -abc", "Value -abc for 'yaml' of type int64_t is in an incorrect format"},
      {"!!int 1.5", "Value 1.5 for 'yaml' of type uint64_t is in an incorrect format"},
      {"!!int 18446744073709551616",
       "Value 18446744073709551616 for 'yaml' of type uint64_t is out of range"},
      {"!!int -9223372036854775809",
       "Value -9223372036854775809 for 'yaml' of type int64_t is out of range"},
      {"!!int ' -1'", "Value  -1 for 'yaml' of type uint64_t is out of range"},
      {"!!float abc", "Value abc for 'yaml' of type double is in an incorrect format"},
      {"!!float 1e999", "Value 1e999 for 'yaml' of type double is out of range"},
      {"!!binary AQI=", "Unsupported YAML tag 'tag:yaml.org,2002:binary'."},
      {"!!null ~", "Unsupported YAML tag 'tag:yaml.org,2002:null'."},
      {"!custom x", "Unsupported YAML tag '!custom'."},
      {"a: [1, !!timestamp 2001-12-14]", "Unsupported YAML tag 'tag:yaml.org,2002:timestamp'."},
  };
  for (const ErrorCase& c : cases) EXPECT_EQ(Error(c.yaml), c.message) << c.yaml;
}

TEST(YamlReaderTest, FailureValueIsTheErrorStructure) {
  const BindingResult result = ParseYaml("a: *missing");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.value().type(), BindingType::kStructure);
  EXPECT_EQ(result.value().size(), 1u);
  EXPECT_EQ(result.value()["error"],
            Str("Undefined alias encountered: \"missing\". At line: 1 col: 4"));
}

TEST(YamlReaderTest, MappingKeys) {
  const BindingProperty doc = Parse("1: one\n'quoted': two\n!!str tagged: three\n? x\n: four\n");
  EXPECT_EQ(doc.size(), 4u);
  EXPECT_EQ(doc["1"], Str("one"));
  EXPECT_EQ(doc["quoted"], Str("two"));
  EXPECT_EQ(doc["tagged"], Str("three"));
  EXPECT_EQ(doc["x"], Str("four"));
  EXPECT_EQ(Parse("? \n: v\n")[""], Str("v"));

  const ErrorCase cases[] = {
      {"!!int 1: x", "Invalid mapping key. Only string scalar keys are allowed. At line: 1 col: 1"},
      {"a: 1\nb:\n  !!bool yes: x",
       "Invalid mapping key. Only string scalar keys are allowed. At line: 3 col: 3"},
      {"[1, 2]: x", "Unexpected start of sequence. At line: 1 col: 1"},
      {"{a: [1]}: x", "Unexpected start of mapping. At line: 1 col: 1"},
      {"a: 1\n? [b]\n: x", "Unexpected start of sequence. At line: 2 col: 3"},
      {"? a: 1\n: x", "Unexpected start of mapping. At line: 1 col: 3"},
      {"{[a]: 1}", "Unexpected start of sequence. At line: 1 col: 2"},
  };
  for (const ErrorCase& c : cases) EXPECT_EQ(Error(c.yaml), c.message) << c.yaml;
}

TEST(YamlReaderTest, DuplicateKeysKeepTheLastValue) {
  const BindingProperty doc = Parse(
      "a: 1\n"
      "a: 2\n"
      "m: {x: 1, y: 2}\n"
      "m: {z: 3}\n"
      "s: [1, 2, 3]\n"
      "s: [4]\n"
      "t: [1]\n"
      "t: text\n");
  EXPECT_EQ(doc.size(), 4u);
  EXPECT_EQ(doc["a"], Unsigned(2));
  // The second mapping replaces the first; it does not merge into it.
  EXPECT_EQ(doc["m"], Parse("{z: 3}"));
  EXPECT_EQ(doc["s"], Parse("[4]"));
  EXPECT_EQ(doc["t"], Str("text"));
}

TEST(YamlReaderTest, FieldsIterateInByteOrder) {
  const BindingProperty doc = Parse("b: 1\na: 2\nB: 3\naa: 4\n\"\\xe9\": 5\n");
  std::vector<std::string> keys;
  for (const auto& field : doc.Fields()) keys.emplace_back(field.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "aa", "b", "\xc3\xa9"}));
}

TEST(YamlReaderTest, BlockAndFlowStylesGiveTheSameTree) {
  const BindingProperty block = Parse(
      "name: Summoner\n"
      "level: 30\n"
      "ratio: 0.5\n"
      "flags:\n"
      "  - yes\n"
      "  - ~\n"
      "  - -3\n"
      "nested:\n"
      "  inner:\n"
      "    - a: 1\n"
      "      b: [x, z]\n"
      "    - []\n"
      "    - {}\n");
  const BindingProperty flow = Parse(
      "{name: Summoner, level: 30, ratio: 0.5, flags: [yes, ~, -3],\n"
      " nested: {inner: [{a: 1, b: [x, z]}, [], {}]}}");
  EXPECT_EQ(block, flow);
  EXPECT_EQ(block["flags"].size(), 3u);
  EXPECT_EQ(block["flags"][1], Empty());
  EXPECT_EQ(block["flags"][2], Signed(-3));
  EXPECT_EQ(block["nested"]["inner"][0]["b"][1], Str("z"));
  EXPECT_EQ(block["nested"]["inner"][1].type(), BindingType::kCollection);
  EXPECT_EQ(block["nested"]["inner"][2].type(), BindingType::kStructure);
  EXPECT_EQ(block["nested"]["inner"][2].size(), 0u);
}

TEST(YamlReaderTest, EmptyDocuments) {
  for (const char* yaml : {"", "   \n", "# only a comment\n", "---\n", "--- ~\n...\n"}) {
    const BindingProperty value = Parse(yaml);
    EXPECT_EQ(value.type(), BindingType::kEmpty) << yaml;
  }
  EXPECT_EQ(Parse("--- text\n...\n"), Str("text"));
  EXPECT_EQ(Parse("%YAML 1.1\n---\n[1]\n"), Parse("[1]"));
}

TEST(YamlReaderTest, MultipleDocumentsFail) {
  for (const char* yaml :
       {"a: 1\n---\nb: 2\n", "--- 1\n--- 2\n", "---\n...\n---\nx\n", "x\n...\n---\n"}) {
    EXPECT_EQ(Error(yaml), "Multi-document YAML is not supported.") << yaml;
  }
}

TEST(YamlReaderTest, AnchorsAndAliases) {
  const BindingProperty doc = Parse(
      "scalar: &s 5\n"
      "again: *s\n"
      "text: &t 'hi'\n"
      "text2: *t\n"
      "base: &b {k: 1, l: [1, 2], m: {n: ~}}\n"
      "copy: *b\n"
      "list: &l [*s, *b]\n"
      "lists: [*l, *l]\n"
      "nothing: &e\n"
      "nothing2: *e\n");
  EXPECT_EQ(doc["again"], Unsigned(5));
  EXPECT_EQ(doc["scalar"], doc["again"]);
  EXPECT_EQ(doc["text2"], Str("hi"));
  EXPECT_EQ(doc["copy"], doc["base"]);
  EXPECT_EQ(doc["copy"]["l"][1], Unsigned(2));
  EXPECT_EQ(doc["list"][0], Unsigned(5));
  EXPECT_EQ(doc["list"][1], doc["base"]);
  EXPECT_EQ(doc["lists"][0], doc["list"]);
  EXPECT_EQ(doc["lists"][1], doc["list"]);
  EXPECT_EQ(doc["nothing2"].type(), BindingType::kEmpty);
  EXPECT_NE(doc.FindField("nothing2"), nullptr);

  // Copies are independent values.
  BindingProperty tree = doc;
  tree["copy"]["k"] = int64_t{7};
  EXPECT_EQ(tree["base"]["k"], Unsigned(1));
  EXPECT_EQ(tree["copy"]["k"], Signed(7));
}

TEST(YamlReaderTest, AliasesCopyTheAnchoredNode) {
  // The anchored node moves while its collection grows; the alias still copies it.
  std::string yaml = "- &a [1, {b: 2}]\n";
  for (int i = 0; i < 100; ++i) yaml += "- " + std::to_string(i) + "\n";
  yaml += "- *a\n";
  const BindingProperty list = Parse(yaml);
  ASSERT_EQ(list.size(), 102u);
  EXPECT_EQ(list[101], Parse("[1, {b: 2}]"));

  // A duplicate key replaces the field, but the anchor names the first value.
  const BindingProperty doc = Parse("a: &x [1]\na: 2\nb: *x\n");
  EXPECT_EQ(doc["a"], Unsigned(2));
  EXPECT_EQ(doc["b"], Parse("[1]"));
}

TEST(YamlReaderTest, AnchoredKeys) {
  const BindingProperty doc = Parse("&k key: 1\nother: *k\n*k : 2\n");
  EXPECT_EQ(doc.size(), 2u);
  EXPECT_EQ(doc["other"], Str("key"));
  EXPECT_EQ(doc["key"], Unsigned(2));
  EXPECT_EQ(Error("a: &n 1\n*n : 2\n"),
            "Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1");
}

TEST(YamlReaderTest, AnchorAndAliasFailures) {
  const ErrorCase cases[] = {
      {"&a [1, *a]", "Cannot deserialize cyclic aliases. Alias \"a\". At line: 1 col: 8"},
      {"top: &m\n  x: 1\n  y: *m\n",
       "Cannot deserialize cyclic aliases. Alias \"m\". At line: 3 col: 6"},
      {"&o [[*o]]", "Cannot deserialize cyclic aliases. Alias \"o\". At line: 1 col: 6"},
      {"a: *nope", "Undefined alias encountered: \"nope\". At line: 1 col: 4"},
      {"- *later\n- &later 1\n", "Undefined alias encountered: \"later\". At line: 1 col: 3"},
      {"a: &x 1\nb: &x 2\n", "Duplicate occurrence of anchor \"x\". At line: 2 col: 4"},
      {"a: &x 1\nb: &x [2]\n", "Duplicate occurrence of anchor \"x\". At line: 2 col: 4"},
      {"&x k: &x v\n", "Duplicate occurrence of anchor \"x\". At line: 1 col: 7"},
  };
  for (const ErrorCase& c : cases) EXPECT_EQ(Error(c.yaml), c.message) << c.yaml;
}

TEST(YamlReaderTest, ParserErrorsKeepLibyamlPositions) {
  const ErrorCase cases[] = {
      {"a: [1, 2", "YAML parser error: did not find expected ',' or ']'. At line: 1 col: 0"},
      {"a: b: c",
       "YAML parser error: mapping values are not allowed in this context. At line: 0 "
       "col: 4"},
      {"a:\n\tb: 1",
       "YAML parser error: found character that cannot start any token. At line: 1 col: 0"},
      {"'open", "YAML parser error: found unexpected end of stream. At line: 0 col: 5"},
      {"\xff", "YAML parser error: invalid leading UTF-8 octet. At line: 0 col: 0"},
      {"a: \x01", "YAML parser error: control characters are not allowed. At line: 0 col: 0"},
  };
  for (const ErrorCase& c : cases) EXPECT_EQ(Error(c.yaml), c.message) << c.yaml;
}

std::string FlowNesting(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// `depth` block mappings, each the value of the one above.
std::string BlockNesting(size_t depth) {
  std::string yaml;
  for (size_t i = 0; i < depth; ++i) yaml += std::string(i, ' ') + "a:\n";
  yaml.back() = ' ';
  return yaml + "1\n";
}

TEST(YamlReaderTest, NestingLimit) {
  ASSERT_EQ(kMaxYamlNesting, 1000u);
  BindingProperty deepest = Parse(FlowNesting(1000));
  size_t depth = 0;
  for (const BindingProperty* v = &deepest; v->type() == BindingType::kCollection;
       v = &v->Element(0)) {
    ++depth;
  }
  EXPECT_EQ(depth, 1000u);
  EXPECT_EQ(Error(FlowNesting(1001)),
            "YAML nesting is deeper than 1000 levels. At line: 1 col: 1001");
  EXPECT_EQ(Error(FlowNesting(100000)),
            "YAML nesting is deeper than 1000 levels. At line: 1 col: 1001");

  EXPECT_TRUE(ParseYaml(BlockNesting(1000)).ok());
  EXPECT_EQ(Error(BlockNesting(1001)),
            "YAML nesting is deeper than 1000 levels. At line: 1001 col: 1001");
}

TEST(YamlReaderTest, AliasExpansionLimit) {
  ASSERT_EQ(kMaxYamlAliasNodes, 1000000u);
  // 999 aliases to a collection of 1,000 nodes and 999 aliases to a scalar copy 999,999
  // nodes; one more alias reaches the limit.
  std::string yaml = "- &a [";
  for (int i = 0; i < 999; ++i) yaml += i == 0 ? "0" : ",0";
  yaml += "]\n- [";
  for (int i = 0; i < 999; ++i) yaml += i == 0 ? "*a" : ",*a";
  yaml += "]\n- &s 1\n- [";
  for (int i = 0; i < 999; ++i) yaml += i == 0 ? "*s" : ",*s";
  yaml += "]\n";
  const BindingProperty doc = Parse(yaml);
  ASSERT_EQ(doc.size(), 4u);
  EXPECT_EQ(doc[1].size(), 999u);
  EXPECT_EQ(doc[1][998], doc[0]);
  EXPECT_EQ(doc[3].size(), 999u);
  EXPECT_EQ(doc[3][998], Unsigned(1));

  EXPECT_EQ(Error(yaml + "- *s\n"),
            "YAML alias expansion exceeds 1000000 nodes. At line: 5 col: 3");
}

TEST(YamlReaderTest, BillionLaughsFailsBeforeExpanding) {
  std::string yaml = "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (char level = 'b'; level <= 'i'; ++level) {
    const std::string previous(1, static_cast<char>(level - 1));
    yaml += std::string(1, level) + ": &" + level + " [";
    for (int i = 0; i < 9; ++i) yaml += (i == 0 ? "*" : ", *") + previous;
    yaml += "]\n";
  }
  // Level g is the first whose aliases add up to a million nodes.
  EXPECT_EQ(Error(yaml), "YAML alias expansion exceeds 1000000 nodes. At line: 7 col: 8");
}

TEST(YamlReaderTest, NumbersIgnoreTheProcessLocale) {
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = old == nullptr ? "C" : old;
  // A locale with a decimal comma, when this machine has one.
  const bool switched = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr ||
                        std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") != nullptr;
  const BindingProperty doc = Parse("a: 1.25\nb: !!float 2.5\nc: 1,5\n");
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(doc["a"], Float(1.25));
  EXPECT_EQ(doc["b"], Float(2.5));
  EXPECT_EQ(doc["c"], Str("1,5"));
  if (!switched) GTEST_SKIP() << "no locale with a decimal comma installed";
}

TEST(YamlReaderTest, LargeDocument) {
  std::string yaml = "records:\n";
  for (int i = 0; i < 2000; ++i) {
    yaml += "  - id: " + std::to_string(i) + "\n    name: item" + std::to_string(i) +
            "\n    score: " + std::to_string(i) + ".5\n    tags: [a, b]\n";
  }
  const BindingProperty doc = Parse(yaml);
  ASSERT_EQ(doc["records"].size(), 2000u);
  EXPECT_EQ(doc["records"][1999]["id"], Unsigned(1999));
  EXPECT_EQ(doc["records"][1999]["name"], Str("item1999"));
  EXPECT_EQ(doc["records"][1999]["score"], Float(1999.5));
  EXPECT_EQ(doc["records"][7]["tags"], Parse("[a, b]"));
}

}  // namespace
}  // namespace Voro
