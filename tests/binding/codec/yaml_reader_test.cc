#include "binding/codec/yaml_reader.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "binding/codec/json_reader.h"
#include "support/binding_values.h"

namespace Voro {
namespace {

using namespace testing;  // Str, Signed, Unsigned, Float, Bool, Scalar

// The value of a document that must parse.
BindingProperty Parse(std::string_view yaml) {
  BindingResult result = ParseYaml(yaml);
  EXPECT_TRUE(result.ok()) << yaml << "\n-> " << result.error();
  return std::move(result.value());
}

TEST(YamlReaderTest, ScalarsResolveInOrder) {
  // Each value and the scalars that read as it; "v: ..." documents give their field. The
  // last group stays the text it is.
  const std::pair<BindingProperty, std::vector<const char*>> groups[] = {
      {BindingProperty(), {"~", "null", "Null", "NULL", "v: ", "!!bool maybe"}},
      {Bool(true),
       {"true", "True", "TRUE", "y", "Y", "yes", "Yes", "YES", "on", "On", "ON", "|-\n  yes\n",
        "!!bool TRUE"}},
      {Bool(false), {"false", "False", "FALSE", "n", "N", "no", "No", "NO", "off", "Off", "OFF"}},
      // Numbers read completely by strtod; whole ones become integers.
      {Unsigned(0), {"-0", "-0.0", "1e-400", "!!int ''"}},
      {Unsigned(5), {"+5"}},
      {Signed(-1), {"-1"}},
      {Signed(-16), {"!!int -0x10"}},
      {Float(0.5), {".5"}},
      // Whole numbers that no 64-bit integer holds stay floating point.
      {Float(18446744073709551616.0), {"18446744073709551615"}},
      {Float(-1e19), {"-1e19"}},
      // Quoted and literal scalars are strings.
      {Str("1"), {"'1'", "\"1\"", "!!str 1"}},
      {Str("line one\nline two\n"), {"|\n  line one\n  line two\n"}},
      {Str("<itself>"),
       {"nULL", "tRUE", "yess", "nO", "hello world", ".inf", "inf", "1e400", "12abc", "1_000"}},
  };
  for (const auto& [expected, texts] : groups) {
    for (const char* yaml : texts) {
      BindingProperty value = Parse(yaml);
      if (std::string_view(yaml).starts_with("v:")) value = BindingProperty(value["v"]);
      EXPECT_EQ(value, expected == Str("<itself>") ? Str(yaml) : expected)
          << yaml << " gave " << value.ToString();
    }
  }
  for (const char* yaml : {"nan", "NaN"}) EXPECT_TRUE(std::isnan(Parse(yaml).GetFloat())) << yaml;
}

TEST(YamlReaderTest, DocumentsReadLikeTheirPlainEquivalents) {
  std::string growing = "- &a [1, {b: 2}]\n";  // the anchored node moves as its list grows
  for (int i = 0; i < 100; ++i) growing += "- 0\n";
  const std::pair<std::string, std::string> cases[] = {
      {"1: one\n'quoted': two\n!!str tagged: three\n? x\n: four\n? \n: v\n",
       "{'1': one, quoted: two, tagged: three, x: four, '': v}"},
      {"", "~"},
      {growing + "- *a\n", growing + "- [1, {b: 2}]\n"},
      {"&k key: 1\nother: *k\n*k : 2\n", "{key: 2, other: key}"},
  };
  for (const auto& [yaml, equivalent] : cases) EXPECT_EQ(Parse(yaml), Parse(equivalent)) << yaml;
  // Alias copies are independent values.
  BindingProperty tree = Parse("base: &b {k: 1}\ncopy: *b\n");
  tree["copy"]["k"] = int64_t{7};
  EXPECT_EQ(tree["base"]["k"], Unsigned(1));
}

std::string FlowNesting(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// "[item, item, ...]" with `n` items.
std::string Flow(const std::string& item, int n) {
  std::string yaml = "[" + item;
  for (int i = 1; i < n; ++i) yaml += ", " + item;
  return yaml + "]";
}

// 999 aliases to a collection of 1,000 nodes and 999 aliases to a scalar copy 999,999
// nodes: one more alias reaches the limit.
std::string AliasesUpToTheLimit() {
  return "- &a " + Flow("0", 999) + "\n- " + Flow("*a", 999) + "\n- &s 1\n- " + Flow("*s", 999) +
         "\n";
}

TEST(YamlReaderTest, FailuresNameTheCauseAndThePosition) {
  const std::string bad_key = "Invalid mapping key. Only string scalar keys are allowed.";
  const std::string too_deep = "YAML nesting is deeper than 1000 levels.";
  const std::string multi = "Multi-document YAML is not supported.";
  const std::pair<std::string, std::string> cases[] = {
      {"!!int -abc", "Value -abc for 'yaml' of type int64_t is in an incorrect format"},
      {"!!int 18446744073709551616",
       "Value 18446744073709551616 for 'yaml' of type uint64_t is out of range"},
      {"!!float abc", "Value abc for 'yaml' of type double is in an incorrect format"},
      {"!!binary AQI=", "Unsupported YAML tag 'tag:yaml.org,2002:binary'."},
      {"!!int 1: x", bad_key + " At line: 1 col: 1"},
      {"a: &n 1\n*n : 2\n", bad_key + " At line: 2 col: 1"},
      {"[1, 2]: x", "Unexpected start of sequence. At line: 1 col: 1"},
      {"{a: [1]}: x", "Unexpected start of mapping. At line: 1 col: 1"},
      {"&a [1, *a]", "Cannot deserialize cyclic aliases. Alias \"a\". At line: 1 col: 8"},
      {"a: *nope", "Undefined alias encountered: \"nope\". At line: 1 col: 4"},
      {"&x k: &x v\n", "Duplicate occurrence of anchor \"x\". At line: 1 col: 7"},
      {"a: &x 1\nb: &x [2]\n", "Duplicate occurrence of anchor \"x\". At line: 2 col: 4"},
      // libyaml's own messages keep its zero-based positions.
      {"a: [1, 2", "YAML parser error: did not find expected ',' or ']'. At line: 1 col: 0"},
      {"a: 1\n---\nb: 2\n", multi},
      {FlowNesting(1001), too_deep + " At line: 1 col: 1001"},
      {AliasesUpToTheLimit() + "- *s\n",
       "YAML alias expansion exceeds 1000000 nodes. At line: 5 col: 3"},
  };
  for (const auto& [yaml, message] : cases) {
    SCOPED_TRACE(yaml.substr(0, 40));
    const BindingResult result = ParseYaml(yaml);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), message);
    // Nothing of the partial tree survives: the value is the error structure alone.
    EXPECT_EQ(result.value().size(), 1u);
    EXPECT_EQ(result.value()["error"], Str(message));
  }
}

TEST(YamlReaderTest, LimitsAreReachedButNotPassed) {
  EXPECT_EQ(Parse(FlowNesting(1000)), ParseJson(FlowNesting(1000)).value());
  const BindingProperty doc = Parse(AliasesUpToTheLimit());
  ASSERT_EQ(doc.size(), 4u);
  EXPECT_EQ(doc[1].size(), 999u);
  EXPECT_EQ(doc[1][998], doc[0]);
  EXPECT_EQ(doc[3][998], Unsigned(1));
}

// The YAML reader and the tree's converting readers alike.
TEST(YamlReaderTest, NumbersIgnoreTheProcessLocale) {
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = old == nullptr ? "C" : old;
  // A locale with a decimal comma, when this machine has one.
  const bool switched = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr ||
                        std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") != nullptr;
  const BindingProperty doc = Parse("a: 1.25\nb: !!float 2.5\nc: 1,5\n");
  EXPECT_EQ(Str("1.25").ToDouble(), 1.25);
  EXPECT_EQ(Float(1.25).ToString(), "1.250000");
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(doc, Parse("{a: 1.25, b: 2.5, c: '1,5'}"));
  if (!switched) GTEST_SKIP() << "no locale with a decimal comma installed";
}

}  // namespace
}  // namespace Voro
