#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_test_support.h"
#include "lcds/amf/amf_writer.h"

namespace Voro {
namespace {

using amf_testing::Amf3Hex;
using amf_testing::FromHex;
using amf_testing::ToHex;

std::string U29Hex(uint32_t value) {
  AmfWriter writer;
  writer.WriteU29(value);
  return ToHex(writer.bytes());
}

int32_t ReadU29(std::string_view hex) {
  const std::vector<uint8_t> bytes = FromHex(hex);
  AmfReader reader(bytes);
  return reader.ReadU29();
}

Amf3Item Decode(std::string_view hex, AmfClassRegistry& registry) {
  const std::vector<uint8_t> bytes = FromHex(hex);
  AmfReader reader(bytes, registry);
  Amf3Item item = reader.ReadAmf3();
  EXPECT_TRUE(reader.at_end()) << hex;
  EXPECT_FALSE(reader.ended()) << hex;
  return item;
}

std::shared_ptr<AmfClass> SealedClass(std::string name, std::vector<std::string> members,
                                      bool dynamic = false, bool externalizable = false) {
  AmfMemberList list;
  for (auto& m : members) list.push_back({std::move(m), AmfTypeHint::Any()});
  return std::make_shared<AmfClass>(std::move(name), externalizable, dynamic, std::move(list));
}

TEST(Amf3U29Test, WritesEveryWidth) {
  EXPECT_EQ(U29Hex(0), "00");
  EXPECT_EQ(U29Hex(0x7F), "7F");
  EXPECT_EQ(U29Hex(0x80), "81 00");
  EXPECT_EQ(U29Hex(0x3FFF), "FF 7F");
  EXPECT_EQ(U29Hex(0x4000), "81 80 00");
  EXPECT_EQ(U29Hex(0x1FFFFF), "FF FF 7F");
  EXPECT_EQ(U29Hex(0x200000), "80 C0 80 00");
  EXPECT_EQ(U29Hex(268435455), "BF FF FF FF");
  EXPECT_EQ(U29Hex(0x1FFFFFFF), "FF FF FF FF");
  EXPECT_EQ(U29Hex(0xFFFFFFFF), "FF FF FF FF");  // masked to 29 bits
}

TEST(Amf3U29Test, ReadsAndSignExtends) {
  EXPECT_EQ(ReadU29("7F"), 0x7F);
  EXPECT_EQ(ReadU29("81 00"), 0x80);
  EXPECT_EQ(ReadU29("FF 7F"), 0x3FFF);
  EXPECT_EQ(ReadU29("81 80 00"), 0x4000);
  EXPECT_EQ(ReadU29("FF FF 7F"), 0x1FFFFF);
  EXPECT_EQ(ReadU29("80 C0 80 00"), 0x200000);
  EXPECT_EQ(ReadU29("BF FF FF FF"), 268435455);
  EXPECT_EQ(ReadU29("FF FF FF FF"), -1);
  EXPECT_EQ(ReadU29("C0 80 80 00"), -268435456);
  EXPECT_EQ(ReadU29("80 80 80 80"), 128);  // the fourth byte is unsigned
  EXPECT_EQ(ReadU29("81"), 0x80);          // missing bytes read as zero
}

TEST(Amf3CodecTest, ScalarKinds) {
  EXPECT_EQ(Amf3Hex(Amf3Item()), "00");
  EXPECT_EQ(Amf3Hex(Amf3Item::Null()), "01");
  EXPECT_EQ(Amf3Hex(Amf3Item::Boolean(false)), "02");
  EXPECT_EQ(Amf3Hex(Amf3Item::Boolean(true)), "03");
  EXPECT_EQ(Amf3Hex(Amf3Item::Integer(0x7F)), "04 7F");
  EXPECT_EQ(Amf3Hex(Amf3Item::Integer(0x80)), "04 81 00");
  EXPECT_EQ(Amf3Hex(Amf3Item::Integer(0x3FFF)), "04 FF 7F");
  EXPECT_EQ(Amf3Hex(Amf3Item::Integer(0x4000)), "04 81 80 00");
  EXPECT_EQ(Amf3Hex(Amf3Item::Integer(0x1FFFFF)), "04 FF FF 7F");
  EXPECT_EQ(Amf3Hex(Amf3Item::Integer(0x200000)), "04 80 C0 80 00");
  EXPECT_EQ(Amf3Hex(Amf3Item::Integer(268435455)), "04 BF FF FF FF");
  EXPECT_EQ(Amf3Hex(Amf3Item::Integer(-1)), "04 FF FF FF FF");
  EXPECT_EQ(Amf3Hex(Amf3Item::Integer(-268435456)), "04 C0 80 80 00");
  EXPECT_EQ(Amf3Hex(Amf3Item::Double(1.5)), "05 3F F8 00 00 00 00 00 00");
  EXPECT_EQ(Amf3Hex(Amf3Item::Double(-0.0)), "05 80 00 00 00 00 00 00 00");
  EXPECT_EQ(Amf3Hex(Amf3Item::String("abc")), "06 07 61 62 63");
  EXPECT_EQ(Amf3Hex(Amf3Item::String("")), "06 01");
  EXPECT_EQ(Amf3Hex(Amf3Item(Amf3Kind::kLegacyXml)), "");
  EXPECT_EQ(Amf3Hex(Amf3Item::Date(1)), "08 01 3F F0 00 00 00 00 00 00");
  EXPECT_EQ(Amf3Hex(Amf3Item::Xml("<a/>")), "0B 09 3C 61 2F 3E");
  EXPECT_EQ(Amf3Hex(Amf3Item::ByteArray(std::vector<uint8_t>{1, 2, 3})), "0C 07 01 02 03");

  AmfClassRegistry registry;
  EXPECT_EQ(Decode("04 FF FF FF FF", registry).AsInteger(), -1);
  EXPECT_EQ(Decode("04 BF FF FF FF", registry).AsInteger(), 268435455);
  EXPECT_EQ(Decode("04 80 80 80 80", registry).AsInteger(), 128);
  EXPECT_EQ(Decode("05 3F F8 00 00 00 00 00 00", registry).AsDouble(), 1.5);
  EXPECT_EQ(Decode("06 07 61 62 63", registry).AsString(), "abc");
  EXPECT_EQ(Decode("08 01 42 78 BC FE 56 80 00 00", registry).AsDate(), 1700000000000);
  EXPECT_EQ(Decode("0B 09 3C 61 2F 3E", registry).AsXml(), "<a/>");
  EXPECT_EQ(Decode("0C 07 01 02 03", registry).AsByteArray(), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(Decode("07", registry).kind(), Amf3Kind::kLegacyXml);
  for (int marker = 0; marker <= 3; ++marker) {
    EXPECT_EQ(
        static_cast<int>(Decode(ToHex(std::vector<uint8_t>{uint8_t(marker)}), registry).kind()),
        marker);
  }
}

TEST(Amf3CodecTest, Vectors) {
  auto ints = std::make_shared<Amf3VectorInt>();
  ints->items = {1, -1};
  EXPECT_EQ(Amf3Hex(Amf3Item::VectorInt(ints)), "0D 05 00 00 00 00 01 FF FF FF FF");
  auto uints = std::make_shared<Amf3VectorUInt>();
  uints->fixed = true;
  uints->items = {0xFFFFFFFFu};
  EXPECT_EQ(Amf3Hex(Amf3Item::VectorUInt(uints)), "0E 03 01 FF FF FF FF");
  auto doubles = std::make_shared<Amf3VectorDouble>();
  doubles->items = {1.5};
  EXPECT_EQ(Amf3Hex(Amf3Item::VectorDouble(doubles)), "0F 03 00 3F F8 00 00 00 00 00 00");
  auto objects = std::make_shared<Amf3ObjectVector>();
  objects->type_name = "T";
  objects->items = {Amf3Item::Null(), Amf3Item::String("T")};
  // The element's string "T" refers back to the type name.
  EXPECT_EQ(Amf3Hex(Amf3Item::VectorObject(objects)), "10 05 00 03 54 01 06 00");

  AmfClassRegistry registry;
  const Amf3Item vi = Decode("0D 05 00 00 00 00 01 FF FF FF FF", registry);
  EXPECT_EQ(vi.AsVectorInt().items, (std::vector<int32_t>{1, -1}));
  const Amf3Item vu = Decode("0E 03 01 FF FF FF FF", registry);
  EXPECT_TRUE(vu.AsVectorUInt().fixed);
  EXPECT_EQ(vu.AsVectorUInt().items, (std::vector<uint32_t>{0xFFFFFFFFu}));
  EXPECT_EQ(Decode("0F 03 00 3F F8 00 00 00 00 00 00", registry).AsVectorDouble().items,
            (std::vector<double>{1.5}));
  const Amf3Item vo = Decode("10 05 00 03 54 01 06 00", registry);
  EXPECT_EQ(vo.AsVectorObject().type_name, "T");
  ASSERT_EQ(vo.AsVectorObject().items.size(), 2u);
  EXPECT_EQ(vo.AsVectorObject().items[1].AsString(), "T");
}

TEST(Amf3CodecTest, DictionaryAndArrays) {
  auto dictionary = std::make_shared<Amf3Dictionary>();
  dictionary->weak_keys = true;
  dictionary->entries.emplace_back(Amf3Item::String("k"), Amf3Item::Integer(1));
  dictionary->entries.emplace_back(Amf3Item::Integer(2), Amf3Item::Null());
  EXPECT_EQ(Amf3Hex(Amf3Item::Dictionary(dictionary)), "11 05 01 06 03 6B 04 01 04 02 01");

  auto array = std::make_shared<Amf3Array>();
  array->dense = {Amf3Item::Integer(1), Amf3Item::Integer(2)};
  EXPECT_EQ(Amf3Hex(Amf3Item::Array(array)), "09 05 01 04 01 04 02");
  array->associative.emplace("b", Amf3Item::Boolean(true));
  array->associative.emplace("a", Amf3Item::Boolean(false));
  // Associative entries first (in key order), the empty key, then the dense values.
  EXPECT_EQ(Amf3Hex(Amf3Item::Array(array)), "09 05 03 61 02 03 62 03 01 04 01 04 02");

  AmfClassRegistry registry;
  const Amf3Item d = Decode("11 05 01 06 03 6B 04 01 04 02 01", registry);
  ASSERT_EQ(d.AsDictionary().entries.size(), 2u);
  EXPECT_TRUE(d.AsDictionary().weak_keys);
  EXPECT_EQ(d.AsDictionary().entries[0].first.AsString(), "k");
  EXPECT_EQ(d.AsDictionary().entries[1].first.AsInteger(), 2);
  const Amf3Item a = Decode("09 05 03 61 02 03 62 03 01 04 01 04 02", registry);
  EXPECT_EQ(a.AsArray().dense.size(), 2u);
  EXPECT_EQ(a.AsArray().associative.size(), 2u);
  EXPECT_EQ(a.AsArray().associative.at("b").kind(), Amf3Kind::kTrue);
}

TEST(Amf3CodecTest, StringReferencesSkipTheEmptyString) {
  auto array = std::make_shared<Amf3Array>();
  array->dense = {Amf3Item::String("ab"), Amf3Item::String(""),   Amf3Item::String("cd"),
                  Amf3Item::String(""),   Amf3Item::String("ab"), Amf3Item::String("cd")};
  const std::string hex = "09 0D 01 06 05 61 62 06 01 06 05 63 64 06 01 06 00 06 02";
  EXPECT_EQ(Amf3Hex(Amf3Item::Array(array)), hex);
  AmfClassRegistry registry;
  const Amf3Item decoded = Decode(hex, registry);
  ASSERT_EQ(decoded.AsArray().dense.size(), 6u);
  EXPECT_EQ(decoded.AsArray().dense[4].AsString(), "ab");
  EXPECT_EQ(decoded.AsArray().dense[5].AsString(), "cd");
  // A decoded reference shares the first occurrence's payload.
  EXPECT_EQ(decoded.AsArray().dense[4].PayloadIdentity(),
            decoded.AsArray().dense[0].PayloadIdentity());
}

TEST(Amf3CodecTest, ObjectsTraitsAndReferences) {
  auto point = SealedClass("P", {"x", "y"});
  auto first = std::make_shared<Amf3Object>(point);
  first->SetMember("x", Amf3Item::Integer(1));
  first->SetMember("y", Amf3Item::Integer(2));
  auto second = std::make_shared<Amf3Object>(point);
  second->SetMember("x", Amf3Item::Integer(3));  // y stays Undefined: written as Null
  auto array = std::make_shared<Amf3Array>();
  const Amf3Item first_item = Amf3Item::Object(first);
  array->dense = {first_item, Amf3Item::Object(second), first_item};
  // Array is object 0, the objects 1 and 2; the class's traits are entry 0.
  const std::string hex =
      "09 07 01 "
      "0A 23 03 50 03 78 03 79 04 01 04 02 "
      "0A 01 04 03 01 "
      "0A 02";
  EXPECT_EQ(Amf3Hex(Amf3Item::Array(array)), hex);

  AmfClassRegistry registry;
  const Amf3Item decoded = Decode(hex, registry);
  const auto& dense = decoded.AsArray().dense;
  ASSERT_EQ(dense.size(), 3u);
  EXPECT_EQ(dense[0].AsObject().class_name(), "P");
  EXPECT_EQ(dense[0].AsObject().GetMember("y").AsInteger(), 2);
  EXPECT_TRUE(dense[1].AsObject().GetMember("y").is_null());
  EXPECT_EQ(dense[2].PayloadIdentity(), dense[0].PayloadIdentity());
  EXPECT_EQ(dense[1].AsObject().amf_class(), dense[0].AsObject().amf_class());
  EXPECT_EQ(registry.Find("P"), dense[0].AsObject().amf_class());
}

TEST(Amf3CodecTest, TwoDefinitionsWithOneNameAreTwoTraits) {
  auto one = SealedClass("D", {"x"});
  auto two = SealedClass("D", {"x"});
  auto a = std::make_shared<Amf3Object>(one);
  a->SetMember("x", Amf3Item::Integer(1));
  auto b = std::make_shared<Amf3Object>(two);
  b->SetMember("x", Amf3Item::Integer(2));
  auto array = std::make_shared<Amf3Array>();
  array->dense = {Amf3Item::Object(a), Amf3Item::Object(b)};
  EXPECT_EQ(Amf3Hex(Amf3Item::Array(array)), "09 05 01 0A 13 03 44 03 78 04 01 0A 13 00 02 04 02");
}

TEST(Amf3CodecTest, DynamicExternalizableAndAnonymousObjects) {
  auto dynamic_class = SealedClass("", {}, /*dynamic=*/true);
  auto object = std::make_shared<Amf3Object>(dynamic_class);
  object->SetDynamicMember("b", Amf3Item::Integer(2));
  object->SetDynamicMember("a", Amf3Item::Integer(1));
  EXPECT_EQ(Amf3Hex(Amf3Item::Object(object)), "0A 0B 01 03 61 04 01 03 62 04 02 01");

  auto ext = SealedClass("E", {"ignored"}, false, /*externalizable=*/true);
  EXPECT_EQ(Amf3Hex(Amf3Item::Object(std::make_shared<Amf3Object>(ext))),
            "0A 17 03 45 0F 69 67 6E 6F 72 65 64");

  AmfClassRegistry registry;
  const Amf3Item decoded = Decode("0A 0B 01 03 61 04 01 03 62 04 02 01", registry);
  EXPECT_EQ(decoded.AsObject().class_name(), "");
  EXPECT_EQ(decoded.AsObject().GetMember("b").AsInteger(), 2);
  EXPECT_EQ(registry.size(), 0u);  // anonymous classes are never registered
  const Amf3Item external = Decode("0A 17 03 45 0F 69 67 6E 6F 72 65 64", registry);
  EXPECT_TRUE(external.AsObject().amf_class()->externalizable());
  EXPECT_EQ(registry.Find("E"), external.AsObject().amf_class());
}

TEST(Amf3CodecTest, InlineTraitsGrowTheRegisteredClass) {
  AmfClassRegistry registry;
  auto registered = registry.Create("G", false, false, AmfMemberList{{"a", AmfTypeHint::Any()}});
  // Traits for G with "a" and an extra "b".
  const Amf3Item decoded = Decode("0A 23 03 47 03 61 03 62 04 01 04 02", registry);
  EXPECT_EQ(decoded.AsObject().amf_class(), registered);
  ASSERT_EQ(registered->MemberCount(), 2u);
  EXPECT_EQ((*registered->Members())[1].name, "b");
  EXPECT_EQ(decoded.AsObject().GetMember("b").AsInteger(), 2);
  // Later objects of the class have the grown member.
  EXPECT_EQ(Amf3Object(registered).sealed_size(), 2u);
  // Wire order differing from the class's order still lands by name.
  const Amf3Item swapped = Decode("0A 23 03 47 03 62 03 61 04 05 04 06", registry);
  EXPECT_EQ(swapped.AsObject().GetMember("a").AsInteger(), 6);
  EXPECT_EQ(swapped.AsObject().GetMember("b").AsInteger(), 5);
}

TEST(Amf3CodecTest, DatesAreReferencedByValue) {
  auto array = std::make_shared<Amf3Array>();
  array->dense = {Amf3Item::Date(0), Amf3Item::Date(0), Amf3Item::Date(1)};
  const std::string hex =
      "09 07 01 08 01 00 00 00 00 00 00 00 00 08 02 08 01 3F F0 00 00 00 00 00 00";
  EXPECT_EQ(Amf3Hex(Amf3Item::Array(array)), hex);
  AmfClassRegistry registry;
  const Amf3Item decoded = Decode(hex, registry);
  EXPECT_EQ(decoded.AsArray().dense[1].AsDate(), 0);
  EXPECT_EQ(decoded.AsArray().dense[2].AsDate(), 1);
}

TEST(Amf3CodecTest, RoundTripKeepsEveryKind) {
  AmfClassRegistry registry;
  auto amf_class = registry.Create(
      "R", false, true, AmfMemberList{{"s", AmfTypeHint::Any()}, {"n", AmfTypeHint::Any()}});
  auto object = std::make_shared<Amf3Object>(amf_class);
  object->SetMember("s", Amf3Item::String("x"));
  object->SetMember("n", Amf3Item::Double(0.1));
  object->SetDynamicMember("z", Amf3Item::Xml("<z/>"));
  auto ints = std::make_shared<Amf3VectorInt>();
  ints->items = {5};
  auto array = std::make_shared<Amf3Array>();
  array->dense = {Amf3Item::Object(object), Amf3Item::VectorInt(ints),
                  Amf3Item::Date(-5),       Amf3Item::ByteArray(std::vector<uint8_t>{0}),
                  Amf3Item::String("x"),    Amf3Item::Object(object)};
  const std::string hex = Amf3Hex(Amf3Item::Array(array));
  const Amf3Item decoded = Decode(hex, registry);
  EXPECT_EQ(Amf3Hex(decoded), hex);
}

TEST(Amf3CodecTest, CyclesAreWrittenAsReferences) {
  AmfClassRegistry registry;
  const std::string hex = "0A 13 01 09 73 65 6C 66 0A 00";
  const Amf3Item item = Decode(hex, registry);
  const Amf3Item& self = item.AsObject().GetMember("self");
  EXPECT_TRUE(self.is_back_reference());
  EXPECT_EQ(self.PayloadIdentity(), item.PayloadIdentity());
  EXPECT_EQ(Amf3Hex(item), hex);
  // An array that contains itself.
  const Amf3Item array = Decode("09 03 01 09 00", registry);
  EXPECT_EQ(array.AsArray().dense[0].PayloadIdentity(), array.PayloadIdentity());
  EXPECT_EQ(Amf3Hex(array), "09 03 01 09 00");
}

}  // namespace
}  // namespace Voro
