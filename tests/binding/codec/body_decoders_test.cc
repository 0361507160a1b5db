// What every body decoder must agree on: the same document in MessagePack, JSON and YAML
// gives the same tree, fields in byte order of their keys, and of repeated keys the last
// value, with the earlier ones released from the tree's string table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "binding/codec/msgpack_reader.h"
#include "binding/codec/yaml_reader.h"

namespace Voro {
namespace {

using namespace std::literals;

struct Row {
  std::string name;
  std::string msgpack;
  std::string json;
  std::string yaml;
  std::string expected;  // compact JSON, fields in the order the tree iterates them
  bool large = false;    // large enough for the readers' path for large string tables
};

// "k": "old", forty keys in descending order, then "k": "new": more fields than a record's
// in-place sort handles.
Row ManyKeys() {
  Row row{"many keys", "\xDE", "{\"k\":\"old\"", "k: old\n", "{\"k\":\"new\""};
  row.msgpack += std::string("\x00\x2A\xA1k\xA3old", 8);
  auto key = [](int i) { return (i < 10 ? "k0" : "k") + std::to_string(i); };
  for (int i = 39; i >= 0; --i) {
    row.msgpack += "\xA3" + key(i) + static_cast<char>(i);
    row.json += ",\"" + key(i) + "\":" + std::to_string(i);
    row.yaml += key(i) + ": " + std::to_string(i) + "\n";
  }
  for (int i = 0; i < 40; ++i) row.expected += ",\"" + key(i) + "\":" + std::to_string(i);
  row.msgpack += "\xA1k\xA3new";
  row.json += ",\"k\":\"new\"}";
  row.yaml += "k: new\n";
  row.expected += "}";
  return row;
}

// A list of records whose texts are nearly all distinct, every other one repeating a key:
// large enough that the readers intern a field's text a little after reading it, when every
// text must still reach its own field, also after its record is finished, and the dropped
// value must not be written to later.
Row DistinctTexts() {
  Row row{"a long list of distinct texts", "\xDD", "[", "", "[", true};
  const auto text = [&row](const std::string& t) {
    row.msgpack += t.size() < 32 ? std::string(1, static_cast<char>(0xA0 | t.size()))
                                 : "\xD9"s + static_cast<char>(t.size());
    row.msgpack += t;
  };
  const auto be32 = [&row](uint32_t n) {
    for (int shift = 24; shift >= 0; shift -= 8) row.msgpack += static_cast<char>(n >> shift);
  };
  constexpr uint32_t kRecords = 20000;
  be32(kRecords);
  for (uint32_t i = 0; i < kRecords; ++i) {
    const std::string n = std::to_string(i);
    const std::string name = "record name number " + n + " of the list";
    const std::string first = "first value " + n;
    const std::string second = "second value " + n;
    const std::string tag = "tag-" + n;
    const std::string nested = "nested text " + n;
    const std::string kind = i % 3 == 0 ? "alpha" : "beta";
    const bool repeats = i % 2 == 0;
    const std::string& kept = repeats ? second : first;
    // The number comes first: a node freed with a text still waiting for it is taken again
    // by the next record's first field, which a late text would then overwrite.
    row.msgpack += repeats ? '\x87' : '\x86';
    text("n");
    row.msgpack += '\xCE';
    be32(i);
    for (const std::string& t : {"name"s, name, "dup"s, first, "tags"s}) text(t);
    row.msgpack += '\x92';
    for (const std::string& t : {tag, "shared"s}) text(t);
    if (repeats) {
      for (const std::string& t : {"dup"s, second}) text(t);
    }
    text("nested");
    row.msgpack += '\x81';
    for (const std::string& t : {"v"s, nested, "kind"s, kind}) text(t);
    const std::string comma = i == 0 ? "" : ",";
    row.json += comma + R"({"n":)" + n + R"(,"name":")" + name + R"(","dup":")" + first +
                R"(","tags":[")" + tag + R"(","shared"],)" +
                (repeats ? R"("dup":")" + second + R"(",)" : "") + R"("nested":{"v":")" + nested +
                R"("},"kind":")" + kind + R"("})";
    row.yaml += "- n: " + n + "\n  name: " + name + "\n  dup: " + first + "\n  tags: [" + tag +
                ", shared]\n" + (repeats ? "  dup: " + second + "\n" : "") +
                "  nested: {v: " + nested + "}\n  kind: " + kind + "\n";
    row.expected += comma + R"({"dup":")" + kept + R"(","kind":")" + kind + R"(","n":)" + n +
                    R"(,"name":")" + name + R"(","nested":{"v":")" + nested + R"("},"tags":[")" +
                    tag + R"(","shared"]})";
  }
  row.json += "]";
  row.expected += "]";
  return row;
}

// The two texts from a little before their first difference, or two empty texts when they
// are equal: a failure on a long text stays readable.
std::pair<std::string, std::string> FirstDifference(const std::string& a, const std::string& b) {
  if (a == b) return {};
  const size_t at =
      std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first -
      a.begin();
  const size_t from = at < 40 ? 0 : at - 40;
  return {a.substr(from, 120), b.substr(from, 120)};
}

// References the tree's string table holds to `text`; 0 when it holds none.
uint32_t Refs(const BindingProperty& tree, std::string_view text) {
  const InternedString* entry = tree.storage()->strings().Find(text);
  return entry == nullptr ? 0 : entry->refs();
}

TEST(BodyDecodersTest, AgreeOnFieldOrderAndRepeatedKeys) {
  const std::vector<Row> rows = {
      {"fields in byte order of their keys",
       "\x86\xA4voro\x01\xA3kiv\x02\xA4Voro\x03\xA4kivi\x04\xA0\x05\xA2\xC3\xA9\x06",
       R"({"voro":1,"kiv":2,"Voro":3,"kivi":4,"":5,"\u00e9":6})",
       "voro: 1\nkiv: 2\nVoro: 3\nkivi: 4\n\"\": 5\n\"\\xe9\": 6\n",
       "{\"\":5,\"Voro\":3,\"kiv\":2,\"kivi\":4,\"voro\":1,\"\xC3\xA9\":6}"},
      // The MessagePack row writes the second key as a str8.
      {"a later scalar", "\x82\xA1k\xA3old\xD9\x01k\xA3new", R"({"k":"old","k":"new"})",
       "k: old\nk: new\n", R"({"k":"new"})"},
      {"a later list replaces the whole list", "\x82\xA1k\x92\xA3old\x01\xA1k\x91\x03",
       R"({"k":["old",1],"k":[3]})", "k: [old, 1]\nk: [3]\n", R"({"k":[3]})"},
      {"a later structure is not merged", "\x82\xA1k\x81\xA1x\xA3old\xA1k\x81\xA1y\x02",
       R"({"k":{"x":"old"},"k":{"y":2}})", "k:\n  x: old\nk: {y: 2}\n", R"({"k":{"y":2}})"},
      {"a later null", "\x82\xA1k\xA3old\xA1k\xC0", R"({"k":"old","k":null})", "k: old\nk: ~\n",
       R"({"k":null})"},
      {"three times around another key, inside a list",
       "\x91\x84\xA1k\x01\xA4voro\xA3kiv\xA1k\x02\xA1k\x03",
       R"([{"k":1,"voro":"kiv","k":2,"k":3}])", "- k: 1\n  voro: kiv\n  k: 2\n  k: 3\n",
       R"([{"k":3,"voro":"kiv"}])"},
      ManyKeys(),
      DistinctTexts(),
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const BindingResult expected = ParseJson(row.expected);
    ASSERT_TRUE(expected.ok()) << expected.error();
    const MsgpackDecodeResult msgpack = DecodeMsgpack(row.msgpack);
    EXPECT_EQ(msgpack.consumed, row.msgpack.size());
    const BindingResult json = ParseJson(row.json);
    const BindingResult yaml = ParseYaml(row.yaml);
    if (row.large) {
      for (const BindingResult* result : {&msgpack.result, &json}) {
        ASSERT_TRUE(result->ok()) << result->error();
        ASSERT_GE(result->value().storage()->strings().bucket_count(), size_t{1} << 16);
      }
    }
    for (const auto& [decoder, result] :
         {std::pair{"MessagePack", &msgpack.result}, {"JSON", &json}, {"YAML", &yaml}}) {
      SCOPED_TRACE(decoder);
      ASSERT_TRUE(result->ok()) << result->error();
      const BindingProperty& tree = result->value();
      const auto [written, expected_text] = FirstDifference(WriteJson(tree), row.expected);
      EXPECT_EQ(written, expected_text);
      // Replaced values and keys leave no references behind.
      EXPECT_EQ(tree.storage()->strings().size(), expected.value().storage()->strings().size());
      for (std::string_view text : {"k", "old", "x", "kiv"}) {
        EXPECT_EQ(Refs(tree, text), Refs(expected.value(), text)) << text;
      }
    }
  }
}

// A reader that gives up with texts still waiting drops them: the fast JSON path meeting a
// number only the exact path reads as RapidJSON does, and MessagePack cut short. Their last
// texts are long enough to live on the heap, where a dropped one not freed would leak.
TEST(BodyDecodersTest, TextsWaitingWhenAReaderGivesUpAreDropped) {
  const Row row = DistinctTexts();
  const std::string first(3000, 'a');
  const std::string second(3000, 'b');
  const BindingResult json = ParseJson(row.json.substr(0, row.json.size() - 1) + R"(,{"a":")" +
                                       first + R"(","b":")" + second + R"(","c":5e307}])");
  ASSERT_TRUE(json.ok()) << json.error();
  const BindingProperty& last = json.value()[json.value().size() - 1];
  EXPECT_EQ(last.FindField("a")->GetString(), first);
  EXPECT_EQ(last.FindField("b")->GetString(), second);
  EXPECT_EQ(last.FindField("c")->GetFloat(), 5e307);

  std::string msgpack = row.msgpack;
  msgpack[4] = static_cast<char>(msgpack[4] + 1);  // one record more than the row's
  for (const std::string* text : {&first, &second}) {
    msgpack += text == &first ? "\x82\xA1"
                                "a"
                                "\xDA"
                              : "\xA1"
                                "b"
                                "\xDA";
    msgpack += static_cast<char>(text->size() >> 8);
    msgpack += static_cast<char>(text->size() & 0xFF);
    msgpack += *text;
  }
  msgpack.pop_back();
  EXPECT_FALSE(DecodeMsgpack(msgpack).result.ok());
}

}  // namespace
}  // namespace Voro
