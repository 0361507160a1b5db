#include "lcds/amf/amf_conversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "binding/value/binding_property.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_test_support.h"

namespace Voro {
namespace {

using namespace amf_testing;

// "signed -4", "collection [1,2]": the top level's type and the value as JSON.
std::string Describe(const BindingProperty& value) {
  const std::string json = WriteJson(value);
  return std::string(BindingTypeName(value.type())) + (json.empty() ? "" : " " + json);
}

template <typename T>
BindingProperty Binding(T value) {
  BindingProperty property;
  property = value;
  return property;
}

const std::string kCollectionHex = ToHex(FromHex("'flex.messaging.io.ArrayCollection'"));

TEST(AmfFromBindingTest, ScalarsAndTheIntegerRange) {
  AmfClassRegistry registry;
  const std::vector<std::pair<BindingProperty, Amf3Item>> rows = {
      {BindingProperty(), Amf3Item::Null()},
      {Binding(true), Amf3Item::Boolean(true)},
      {Binding(int64_t{268435455}), Amf3Item::Integer(268435455)},
      {Binding(int64_t{268435456}), Amf3Item::Double(268435456)},
      {Binding(int64_t{-268435456}), Amf3Item::Integer(-268435456)},
      {Binding(int64_t{-268435457}), Amf3Item::Double(-268435457)},
      {Binding(uint64_t{268435455}), Amf3Item::Integer(268435455)},
      {Binding(uint64_t{268435456}), Amf3Item::Double(268435456)},
      {Binding(UINT64_MAX), Amf3Item::Double(18446744073709551616.0)},
      {Binding(1.5), Amf3Item::Double(1.5)},
      {Binding(3.0), Amf3Item::Integer(3)},
      {Binding(-268435456.0), Amf3Item::Integer(-268435456)},
      {Binding(268435456.0), Amf3Item::Double(268435456)},
      {Binding("text"), Amf3Item::String("text")},
      {Binding(BindingEnum{7, 0x1234}), Amf3Item::Integer(7)},
      {Binding(std::vector<uint8_t>{1, 2}), Amf3Item()},
  };
  for (const auto& [value, amf3] : rows) {
    EXPECT_EQ(Write(true, {ToAmf3Item(value, nullptr, false, registry)}), Write(true, {amf3}))
        << Describe(value);
  }
}

TEST(AmfFromBindingTest, StructuresTakeTheirClassFromHintOrName) {
  AmfClassRegistry registry;
  const auto hex = [&registry](std::string_view json, AmfTypeHintRef hint = nullptr,
                               bool forbid_dynamic = false) {
    return Write(true,
                 {ToAmf3Item(ParseJson(json).value(), std::move(hint), forbid_dynamic, registry)});
  };
  // No class name (a number is none): anonymous and dynamic, unless dynamic is forbidden.
  const char* anonymous = R"({"k":1,"__class":5})";
  EXPECT_EQ(hex(anonymous), "0A 0B 01 03 6B 04 01 01");
  EXPECT_EQ(hex(anonymous, nullptr, true), "0A 0B 01 01");
  EXPECT_EQ(registry.size(), 0u);

  // A named class is created once: members in key order, "__class" left out.
  EXPECT_EQ(hex(R"({"__class":"kiv.Thing","b":"two","a":1})"),
            "0A 23 13 6B 69 76 2E 54 68 69 6E 67 03 61 03 62 04 01 06 07 74 77 6F");
  const auto thing = registry.Find("kiv.Thing");
  ASSERT_NE(thing, nullptr);
  EXPECT_EQ((*thing->Members())[0].hint, AmfTypeHint::Any());
  const BindingProperty second = ParseJson(R"({"__class":"kiv.Thing","a":5,"extra":true})").value();
  const Amf3Item two = ToAmf3Item(second, nullptr, false, registry);
  EXPECT_EQ(two.AsObject().amf_class(), thing);
  EXPECT_EQ(thing->MemberCount(), 2u);  // no new sealed member
  EXPECT_EQ(two.AsObject().dynamic_members().at("extra").kind(), Amf3Kind::kTrue);
  EXPECT_TRUE(two.AsObject().GetMember("b").is_undefined());
  const Amf3Item three = ToAmf3Item(second, nullptr, /*forbid_dynamic=*/true, registry);
  EXPECT_TRUE(three.AsObject().dynamic_members().empty());
  EXPECT_EQ(three.AsObject().GetMember("a").AsInteger(), 5);

  // A registered externalizable collection takes its body from the entry its class names;
  // nothing else can travel with it.
  registry.Create(kArrayCollectionClassName, /*externalizable=*/true, false);
  EXPECT_EQ(hex(R"({"__class":"flex.messaging.io.ArrayCollection","source":[7],"x":1})"),
            "0A 07 43 " + kCollectionHex + " 09 03 01 04 07");
  EXPECT_EQ(hex(R"({"__class":"flex.messaging.io.ArrayCollection"})"),
            "0A 07 43 " + kCollectionHex + " 01");
  EXPECT_EQ(registry.size(), 2u);

  // A class hint wins over the name, and member hints apply: n's Number stays an Integer.
  auto inner = registry.Create("Inner", false, false, AmfMemberList{{"v", AmfTypeHint::Any()}});
  auto outer = registry.Create(
      "Outer", false, false,
      AmfMemberList{{"child", AmfTypeHint::ForClass(inner)}, {"n", AmfTypeHint::Number()}});
  EXPECT_EQ(hex(R"({"__class":"Ignored","child":{"v":"x"},"n":2.0})", AmfTypeHint::ForClass(outer)),
            "0A 23 0B 4F 75 74 65 72 0B 63 68 69 6C 64 03 6E 0A 13 0B 49 6E 6E 65 72 03 76 06 03 "
            "78 04 02");
  EXPECT_EQ(registry.Find("Ignored"), nullptr);
  EXPECT_EQ(registry.size(), 4u);

  // Collections pass an array hint's element on.
  const char* points = R"([{"x":1},{"x":2}])";
  EXPECT_EQ(hex(points), "09 05 01 0A 0B 01 03 78 04 01 01 0A 0B 01 00 04 02 01");
  auto point = registry.Create("geo.Point", false, false, AmfMemberList{{"x", AmfTypeHint::Any()}});
  EXPECT_EQ(hex(points, AmfTypeHint::ArrayOf(AmfTypeHint::ForClass(point))),
            "09 05 01 0A 13 13 67 65 6F 2E 50 6F 69 6E 74 03 78 04 01 0A 01 04 02");
}

TEST(AmfToBindingTest, EveryKind) {
  const Amf3Item ints = Amf3Item::VectorInt(Shared(Amf3VectorInt{false, {-1, 2}}));
  const Amf3Item uints = Amf3Item::VectorUInt(Shared(Amf3VectorUInt{false, {4000000000u}}));
  const Amf3Item one = Amf3Item::Integer(1), two = Amf3Item::Integer(2);
  const Amf0Item object0 =
      Object0("", {{"n", Amf0Item::Number(1)}, {"three", Amf3Item::Integer(3)}});
  // An anonymous object whose member "self" refers back to the object itself.
  const Amf3Item cycle = Object3(Class("", {"self"}), {});
  cycle.MutableObject()->SetMember("self", Amf3Item::BackReference(cycle));
  std::string described;
  for (const AmfValue& value : std::vector<AmfValue>{
           Amf3Item(), Amf3Item::Null(), Amf3Item(Amf3Kind::kLegacyXml), Amf3Item::Xml("<x/>"),
           Amf3Item(Amf3Kind::kDictionary), Amf0Item(), Amf0Item::Null(),
           Amf0Item(Amf0Kind::kEcmaArray), Amf0Item::LongString("long"),
           Amf0Item(Amf0Kind::kReference), Amf3Item::Boolean(true), Amf3Item::Integer(-4),
           Amf3Item::Double(0.25), Amf3Item::String("s"), Amf3Item::Date(1700000000000),
           Amf3Item::ByteArray(std::vector<uint8_t>{9}), ints, uints,
           Amf3Item::VectorDouble(Shared(Amf3VectorDouble{false, {0.5}})),
           // Arrays keep their dense part, objects their sealed members.
           Array3({one, Amf3Item::String("two")}, {{"key", one}}),
           Object3(Class("C", {"a", "b"}, true), {{"a", one}}, {{"d", two}}),
           Object3(Class(kArrayCollectionClassName, {"source"}), {{"source", Array3({one, two})}}),
           // The known externalizable classes are their body; an unknown one its members.
           External3(Class(kArrayCollectionClassName, {}, false, true), Array3({two, one})),
           External3(Class(kArrayListClassName, {}, false, true), Array3({one})),
           External3(Class(kObjectProxyClassName, {}, false, true),
                     Object3(Class("P", {"p"}), {{"p", one}})),
           Object3(Class("kiv.Opaque", {"o"}, false, true), {{"o", one}}), cycle,
           Amf0Item::Number(2), Amf0Item::Boolean(true), Amf0Item::String("x"), Amf0Item::Date(5),
           object0, Amf0Item::StrictArray(Shared(Amf0StrictArray{Amf0Item::Boolean(false)}))}) {
    described += Describe(ToBindingProperty(value)) + " | ";
  }
  EXPECT_EQ(described,
            "empty | empty | empty | empty | empty | empty | empty | empty | empty | empty | "
            "bool true | signed -4 | float 0.25 | string \"s\" | signed 1700000000000 | "
            "blob \"CQ==\" | collection [-1,2] | collection [4000000000] | collection [0.5] | "
            "collection [1,\"two\"] | structure {\"a\":1,\"b\":null} | collection [1,2] | "
            "collection [2,1] | collection [1] | structure {\"p\":1} | structure {\"o\":1} | "
            "structure {\"self\":null} | float 2.0 | bool true | string \"x\" | signed 5 | "
            "structure {\"n\":1.0,\"three\":3} | collection [false] | ");
  // Element types that JSON does not show.
  EXPECT_EQ(ToBindingProperty(ints)[0].GetSigned(), -1);
  EXPECT_EQ(ToBindingProperty(uints)[0].GetUnsigned(), 4000000000u);
  EXPECT_EQ(ToBindingProperty(object0)["three"].GetSigned(), 3);
}

TEST(AmfToAmf0Test, EveryKind) {
  // Objects keep their class name and sealed members; a member referring back is Undefined.
  const Amf3Item object = Object3(Class("T", {"m", "self"}, true), {{"m", Amf3Item::Integer(4)}},
                                  {{"dyn", Amf3Item::Null()}});
  object.MutableObject()->SetMember("self", Amf3Item::BackReference(object));
  std::vector<AmfValue> converted;
  for (const AmfValue& value : std::vector<AmfValue>{
           Amf0Item::String("same"), Amf3Item::Null(), Amf3Item::Boolean(true),
           Amf3Item::Integer(-2), Amf3Item::Double(0.5), Amf3Item::String("s"), Amf3Item::Date(9),
           Amf3Item::ByteArray(std::vector<uint8_t>{7, 255}),
           Array3({Amf3Item::Integer(1), Amf3Item::String("b")}, {{"k", Amf3Item::Boolean(false)}}),
           object,
           // A known externalizable body becomes the member its class names.
           External3(Class(kArrayListClassName, {}, false, true), Amf3Item::Integer(3)),
           // No AMF0 counterpart.
           Amf3Item(), Amf3Item(Amf3Kind::kLegacyXml), Amf3Item::Xml("x"),
           Amf3Item(Amf3Kind::kVectorInt), Amf3Item(Amf3Kind::kVectorUInt),
           Amf3Item(Amf3Kind::kVectorDouble), Amf3Item(Amf3Kind::kVectorObject),
           Amf3Item(Amf3Kind::kDictionary)}) {
    converted.push_back(ToAmf0Item(value));
  }
  EXPECT_EQ(
      Write(false, converted),
      ToHex(FromHex("02 00 04 73 61 6D 65 | 05 | 01 01 | 00 C0 00 00 00 00 00 00 00 | "
                    "00 3F E0 00 00 00 00 00 00 | 02 00 01 73 | 0B 40 22 00 00 00 00 00 00 00 00 | "
                    "0A 00 00 00 02 00 40 1C 00 00 00 00 00 00 00 40 6F E0 00 00 00 00 00 | "
                    "08 00 00 00 03 00 01 30 00 3F F0 00 00 00 00 00 00 00 01 31 02 00 01 62 "
                    "00 01 6B 01 00 00 00 09 | 10 00 01 54 00 01 6D 00 40 10 00 00 00 00 00 "
                    "00 00 04 73 65 6C 66 06 00 00 09 | "
                    "10 00 1B 66 6C 65 78 2E 6D 65 73 73 61 67 69 6E 67 2E 69 6F 2E 41 72 72 61 79 "
                    "4C 69 73 74 00 06 73 6F 75 72 63 65 00 40 08 00 00 00 00 00 00 00 00 09 | "
                    "06 06 06 06 06 06 06 06")));
}

}  // namespace
}  // namespace Voro
