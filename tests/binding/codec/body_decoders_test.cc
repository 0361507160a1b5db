// What every body decoder must agree on: the same document in MessagePack, JSON and YAML
// gives the same tree, fields in byte order of their keys, and of repeated keys the last
// value, with the earlier ones released from the tree's string table.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "binding/codec/msgpack_reader.h"
#include "binding/codec/yaml_reader.h"

namespace Voro {
namespace {

struct Row {
  std::string name;
  std::string msgpack;
  std::string json;
  std::string yaml;
  std::string expected;  // compact JSON, fields in the order the tree iterates them
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
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const BindingResult expected = ParseJson(row.expected);
    ASSERT_TRUE(expected.ok()) << expected.error();
    const MsgpackDecodeResult msgpack = DecodeMsgpack(row.msgpack);
    EXPECT_EQ(msgpack.consumed, row.msgpack.size());
    const BindingResult json = ParseJson(row.json);
    const BindingResult yaml = ParseYaml(row.yaml);
    for (const auto& [decoder, result] :
         {std::pair{"MessagePack", &msgpack.result}, {"JSON", &json}, {"YAML", &yaml}}) {
      SCOPED_TRACE(decoder);
      ASSERT_TRUE(result->ok()) << result->error();
      const BindingProperty& tree = result->value();
      EXPECT_EQ(WriteJson(tree), row.expected);
      // Replaced values and keys leave no references behind.
      EXPECT_EQ(tree.storage()->strings().size(), expected.value().storage()->strings().size());
      for (std::string_view text : {"k", "old", "x", "kiv"}) {
        EXPECT_EQ(Refs(tree, text), Refs(expected.value(), text)) << text;
      }
    }
  }
}

}  // namespace
}  // namespace Voro
