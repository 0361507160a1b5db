#include "lcds/amf/amf_conversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "binding/binding_property.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_test_support.h"

namespace Voro {
namespace {

using amf_testing::FromHex;

Amf3Item Convert(const BindingProperty& value, AmfClassRegistry& registry,
                 const AmfTypeHintRef& hint = nullptr, bool forbid_dynamic = false) {
  return ToAmf3Item(value, hint, forbid_dynamic, registry);
}

TEST(AmfFromBindingTest, ScalarsAndTheIntegerRange) {
  AmfClassRegistry registry;
  BindingProperty v;
  EXPECT_EQ(Convert(v, registry).kind(), Amf3Kind::kNull);
  v = true;
  EXPECT_EQ(Convert(v, registry).kind(), Amf3Kind::kTrue);
  v = false;
  EXPECT_EQ(Convert(v, registry).kind(), Amf3Kind::kFalse);

  struct Case {
    int64_t value;
    Amf3Kind kind;
  };
  for (const Case& c : {Case{268435455, Amf3Kind::kInteger}, Case{268435456, Amf3Kind::kDouble},
                        Case{-268435456, Amf3Kind::kInteger}, Case{-268435457, Amf3Kind::kDouble},
                        Case{0, Amf3Kind::kInteger}}) {
    v.SetSigned(c.value);
    const Amf3Item item = Convert(v, registry);
    EXPECT_EQ(item.kind(), c.kind) << c.value;
    if (c.kind == Amf3Kind::kInteger) {
      EXPECT_EQ(item.AsInteger(), c.value);
    }
    if (c.kind == Amf3Kind::kDouble) {
      EXPECT_EQ(item.AsDouble(), static_cast<double>(c.value));
    }
  }
  v.SetUnsigned(268435455);
  EXPECT_EQ(Convert(v, registry).kind(), Amf3Kind::kInteger);
  v.SetUnsigned(268435456);
  EXPECT_EQ(Convert(v, registry).kind(), Amf3Kind::kDouble);
  v.SetUnsigned(UINT64_MAX);
  EXPECT_EQ(Convert(v, registry).kind(), Amf3Kind::kDouble);
  v = 1.5;
  EXPECT_EQ(Convert(v, registry).kind(), Amf3Kind::kDouble);
  v = 3.0;
  EXPECT_EQ(Convert(v, registry).kind(), Amf3Kind::kInteger);
  EXPECT_EQ(Convert(v, registry).AsInteger(), 3);
  v = -268435456.0;
  EXPECT_EQ(Convert(v, registry).kind(), Amf3Kind::kInteger);
  v = 268435456.0;
  EXPECT_EQ(Convert(v, registry).kind(), Amf3Kind::kDouble);
  v = "text";
  EXPECT_EQ(Convert(v, registry).AsString(), "text");
  v.SetEnum(7, 0x1234);
  EXPECT_EQ(Convert(v, registry).AsInteger(), 7);
  v = std::vector<uint8_t>{1, 2};
  EXPECT_EQ(Convert(v, registry).kind(), Amf3Kind::kUndefined);
}

TEST(AmfFromBindingTest, CollectionsUseTheArrayHint) {
  AmfClassRegistry registry;
  auto point = registry.Create("geo.Point", false, false, AmfMemberList{{"x", AmfTypeHint::Any()}});
  BindingProperty v;
  v[0]["x"] = 1;
  v[1]["x"] = 2;
  const Amf3Item plain = Convert(v, registry);
  ASSERT_EQ(plain.AsArray().dense.size(), 2u);
  EXPECT_EQ(plain.AsArray().dense[0].AsObject().class_name(), "");
  const Amf3Item hinted = Convert(v, registry, AmfTypeHint::ArrayOf(AmfTypeHint::ForClass(point)));
  ASSERT_EQ(hinted.AsArray().dense.size(), 2u);
  EXPECT_EQ(hinted.AsArray().dense[1].AsObject().amf_class(), point);
  EXPECT_EQ(hinted.AsArray().dense[1].AsObject().GetMember("x").AsInteger(), 2);
}

TEST(AmfFromBindingTest, ClassNamedByTheStructureIsCreatedOnce) {
  AmfClassRegistry registry;
  BindingProperty first;
  first["__class"] = "com.example.Thing";
  first["b"] = "two";
  first["a"] = 1;
  const Amf3Item one = Convert(first, registry);
  const auto amf_class = registry.Find("com.example.Thing");
  ASSERT_NE(amf_class, nullptr);
  EXPECT_EQ(one.AsObject().amf_class(), amf_class);
  const AmfMemberListRef members = amf_class->Members();
  ASSERT_EQ(members->size(), 2u);  // ascending key order, "__class" left out
  EXPECT_EQ((*members)[0].name, "a");
  EXPECT_EQ((*members)[1].name, "b");
  EXPECT_EQ((*members)[0].hint, AmfTypeHint::Any());
  EXPECT_EQ(one.AsObject().GetMember("a").AsInteger(), 1);
  EXPECT_EQ(one.AsObject().GetMember("b").AsString(), "two");

  BindingProperty second;
  second["__class"] = "com.example.Thing";
  second["a"] = 5;
  second["extra"] = true;
  const Amf3Item two = Convert(second, registry);
  EXPECT_EQ(two.AsObject().amf_class(), amf_class);
  EXPECT_EQ(amf_class->MemberCount(), 2u);  // no new sealed member
  EXPECT_EQ(two.AsObject().dynamic_members().at("extra").kind(), Amf3Kind::kTrue);
  EXPECT_TRUE(two.AsObject().GetMember("b").is_undefined());

  const Amf3Item three = Convert(second, registry, nullptr, /*forbid_dynamic=*/true);
  EXPECT_TRUE(three.AsObject().dynamic_members().empty());
  EXPECT_EQ(three.AsObject().GetMember("a").AsInteger(), 5);
  EXPECT_EQ(registry.size(), 1u);
}

TEST(AmfFromBindingTest, ClassHintWinsAndMemberHintsApply) {
  AmfClassRegistry registry;
  auto inner = registry.Create("Inner", false, false, AmfMemberList{{"v", AmfTypeHint::Any()}});
  auto outer = registry.Create(
      "Outer", false, false,
      AmfMemberList{{"child", AmfTypeHint::ForClass(inner)}, {"n", AmfTypeHint::Number()}});
  BindingProperty v;
  v["__class"] = "Ignored";
  v["child"]["v"] = "x";
  v["n"] = 2.0;
  const Amf3Item item = Convert(v, registry, AmfTypeHint::ForClass(outer));
  EXPECT_EQ(item.AsObject().amf_class(), outer);
  EXPECT_EQ(item.AsObject().GetMember("child").AsObject().amf_class(), inner);
  EXPECT_EQ(item.AsObject().GetMember("n").AsInteger(), 2);
  EXPECT_EQ(registry.Find("Ignored"), nullptr);
}

TEST(AmfFromBindingTest, StructureWithoutClassIsAnonymousDynamic) {
  AmfClassRegistry registry;
  BindingProperty v;
  v["k"] = 1;
  v["__class"] = 5;  // not a string: no class
  const Amf3Item item = Convert(v, registry);
  const Amf3Object& object = item.AsObject();
  EXPECT_EQ(object.class_name(), "");
  EXPECT_TRUE(object.amf_class()->dynamic());
  EXPECT_EQ(object.sealed_size(), 0u);
  EXPECT_EQ(object.dynamic_members().size(), 1u);
  EXPECT_EQ(object.dynamic_members().at("k").AsInteger(), 1);
  EXPECT_TRUE(Convert(v, registry, nullptr, true).AsObject().dynamic_members().empty());
  EXPECT_EQ(registry.size(), 0u);
}

TEST(AmfToBindingTest, Amf3Kinds) {
  EXPECT_EQ(ToBindingProperty(Amf3Item::Boolean(true)).GetBool(), true);
  EXPECT_EQ(ToBindingProperty(Amf3Item::Integer(-4)).GetSigned(), -4);
  EXPECT_EQ(ToBindingProperty(Amf3Item::Double(0.25)).GetFloat(), 0.25);
  EXPECT_EQ(ToBindingProperty(Amf3Item::String("s")).GetString(), "s");
  EXPECT_EQ(ToBindingProperty(Amf3Item::Date(1700000000000)).GetSigned(), 1700000000000);
  EXPECT_EQ(ToBindingProperty(Amf3Item::ByteArray(std::vector<uint8_t>{9})).GetBlob(),
            std::vector<uint8_t>{9});
  for (const Amf3Item& empty : {Amf3Item(), Amf3Item::Null(), Amf3Item(Amf3Kind::kLegacyXml),
                                Amf3Item::Xml("<x/>"), Amf3Item(Amf3Kind::kDictionary)}) {
    EXPECT_EQ(ToBindingProperty(empty).type(), BindingType::kEmpty) << empty.kind_name();
  }
  auto ints = std::make_shared<Amf3VectorInt>();
  ints->items = {-1, 2};
  const BindingProperty vi = ToBindingProperty(Amf3Item::VectorInt(ints));
  ASSERT_EQ(vi.size(), 2u);
  EXPECT_EQ(vi[0].GetSigned(), -1);
  auto uints = std::make_shared<Amf3VectorUInt>();
  uints->items = {4000000000u};
  EXPECT_EQ(ToBindingProperty(Amf3Item::VectorUInt(uints))[0].GetUnsigned(), 4000000000u);
  auto doubles = std::make_shared<Amf3VectorDouble>();
  doubles->items = {0.5};
  EXPECT_EQ(ToBindingProperty(Amf3Item::VectorDouble(doubles))[0].GetFloat(), 0.5);
}

TEST(AmfToBindingTest, ArrayKeepsItsDensePartOnly) {
  auto array = std::make_shared<Amf3Array>();
  array->dense = {Amf3Item::Integer(1), Amf3Item::String("two")};
  array->associative.emplace("key", Amf3Item::Integer(3));
  const BindingProperty v = ToBindingProperty(Amf3Item::Array(array));
  ASSERT_EQ(v.type(), BindingType::kCollection);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0].GetSigned(), 1);
  EXPECT_EQ(v[1].GetString(), "two");
}

TEST(AmfToBindingTest, ObjectsCarrySealedMembersAndArrayCollectionItsSource) {
  auto amf_class = std::make_shared<AmfClass>(
      "C", false, true, AmfMemberList{{"a", AmfTypeHint::Any()}, {"b", AmfTypeHint::Any()}});
  auto object = std::make_shared<Amf3Object>(amf_class);
  object->SetMember("a", Amf3Item::Integer(1));
  object->SetDynamicMember("d", Amf3Item::Integer(2));
  const BindingProperty v = ToBindingProperty(Amf3Item::Object(object));
  ASSERT_EQ(v.type(), BindingType::kStructure);
  EXPECT_EQ(v.size(), 2u);
  EXPECT_EQ(v["a"].GetSigned(), 1);
  EXPECT_EQ(v["b"].type(), BindingType::kEmpty);
  EXPECT_EQ(v.FindField("d"), nullptr);
  EXPECT_EQ(v.FindField("__class"), nullptr);

  auto collection_class =
      std::make_shared<AmfClass>("flex.messaging.io.ArrayCollection", false, false,
                                 AmfMemberList{{"source", AmfTypeHint::Any()}});
  auto collection = std::make_shared<Amf3Object>(collection_class);
  auto source = std::make_shared<Amf3Array>();
  source->dense = {Amf3Item::Integer(1), Amf3Item::Integer(2)};
  collection->SetMember("source", Amf3Item::Array(source));
  const BindingProperty c = ToBindingProperty(Amf3Item::Object(collection));
  ASSERT_EQ(c.type(), BindingType::kCollection);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[1].GetSigned(), 2);
}

TEST(AmfToBindingTest, Amf0Kinds) {
  EXPECT_EQ(ToBindingProperty(Amf0Item::Number(2)).GetFloat(), 2.0);
  EXPECT_EQ(ToBindingProperty(Amf0Item::Boolean(true)).GetBool(), true);
  EXPECT_EQ(ToBindingProperty(Amf0Item::String("x")).GetString(), "x");
  EXPECT_EQ(ToBindingProperty(Amf0Item::Date(5)).GetSigned(), 5);
  for (const Amf0Item& empty : {Amf0Item(), Amf0Item::Null(), Amf0Item(Amf0Kind::kEcmaArray),
                                Amf0Item::LongString("long"), Amf0Item(Amf0Kind::kReference)}) {
    EXPECT_EQ(ToBindingProperty(empty).type(), BindingType::kEmpty) << empty.kind_name();
  }
  auto object = std::make_shared<Amf0Object>();
  object->members.emplace("n", Amf0Item::Number(1));
  object->members.emplace("three", Amf3Item::Integer(3));
  const BindingProperty v = ToBindingProperty(AmfValue(Amf0Item::Object(object)));
  EXPECT_EQ(v["n"].GetFloat(), 1.0);
  EXPECT_EQ(v["three"].GetSigned(), 3);
  auto strict = std::make_shared<Amf0StrictArray>();
  strict->push_back(Amf0Item::Boolean(false));
  EXPECT_EQ(ToBindingProperty(Amf0Item::StrictArray(strict))[0].GetBool(), false);
}

TEST(AmfToBindingTest, CyclesConvertToEmpty) {
  AmfClassRegistry registry;
  // An anonymous sealed object whose member "self" refers back to the object itself.
  const std::vector<uint8_t> bytes = FromHex("0A 13 01 09 73 65 6C 66 0A 00");
  AmfReader reader(bytes, registry);
  const Amf3Item item = reader.ReadAmf3();
  ASSERT_EQ(item.kind(), Amf3Kind::kObject);
  const BindingProperty v = ToBindingProperty(item);
  ASSERT_EQ(v.type(), BindingType::kStructure);
  EXPECT_EQ(v["self"].type(), BindingType::kEmpty);
  const Amf0Item zero = ToAmf0Item(AmfValue(item));
  ASSERT_EQ(zero.kind(), Amf0Kind::kObject);
  EXPECT_EQ(zero.AsObject().members.at("self").amf0().kind(), Amf0Kind::kUndefined);
}

TEST(AmfToAmf0Test, EveryKind) {
  EXPECT_EQ(ToAmf0Item(AmfValue(Amf0Item::String("same"))).AsString(), "same");
  EXPECT_EQ(ToAmf0Item(AmfValue(Amf3Item::Null())).kind(), Amf0Kind::kNull);
  EXPECT_TRUE(ToAmf0Item(AmfValue(Amf3Item::Boolean(true))).AsBoolean());
  EXPECT_EQ(ToAmf0Item(AmfValue(Amf3Item::Integer(-2))).AsNumber(), -2.0);
  EXPECT_EQ(ToAmf0Item(AmfValue(Amf3Item::Double(0.5))).AsNumber(), 0.5);
  EXPECT_EQ(ToAmf0Item(AmfValue(Amf3Item::String("s"))).AsString(), "s");
  EXPECT_EQ(ToAmf0Item(AmfValue(Amf3Item::Date(9))).AsDate(), 9);
  const Amf0Item bytes = ToAmf0Item(AmfValue(Amf3Item::ByteArray(std::vector<uint8_t>{7, 255})));
  ASSERT_EQ(bytes.AsStrictArray().size(), 2u);
  EXPECT_EQ(bytes.AsStrictArray()[1].AsNumber(), 255.0);
  for (const Amf3Item& undefined :
       {Amf3Item(), Amf3Item(Amf3Kind::kLegacyXml), Amf3Item::Xml("x"),
        Amf3Item(Amf3Kind::kVectorInt), Amf3Item(Amf3Kind::kVectorUInt),
        Amf3Item(Amf3Kind::kVectorDouble), Amf3Item(Amf3Kind::kVectorObject),
        Amf3Item(Amf3Kind::kDictionary)}) {
    EXPECT_EQ(ToAmf0Item(AmfValue(undefined)).kind(), Amf0Kind::kUndefined)
        << undefined.kind_name();
  }
  auto array = std::make_shared<Amf3Array>();
  array->dense = {Amf3Item::Integer(1), Amf3Item::String("b")};
  array->associative.emplace("key", Amf3Item::Boolean(false));
  const Amf0Item ecma = ToAmf0Item(AmfValue(Amf3Item::Array(array)));
  ASSERT_EQ(ecma.kind(), Amf0Kind::kEcmaArray);
  ASSERT_EQ(ecma.AsEcmaArray().size(), 3u);
  EXPECT_EQ(ecma.AsEcmaArray().at("0").AsNumber(), 1.0);
  EXPECT_EQ(ecma.AsEcmaArray().at("1").AsString(), "b");
  EXPECT_FALSE(ecma.AsEcmaArray().at("key").AsBoolean());

  auto amf_class =
      std::make_shared<AmfClass>("T", false, true, AmfMemberList{{"m", AmfTypeHint::Any()}});
  auto object = std::make_shared<Amf3Object>(amf_class);
  object->SetMember("m", Amf3Item::Integer(4));
  object->SetDynamicMember("dyn", Amf3Item::Integer(5));
  const Amf0Item typed = ToAmf0Item(AmfValue(Amf3Item::Object(object)));
  ASSERT_EQ(typed.kind(), Amf0Kind::kObject);
  EXPECT_EQ(typed.AsObject().class_name, "T");
  ASSERT_EQ(typed.AsObject().members.size(), 1u);
  EXPECT_EQ(typed.AsObject().members.at("m").amf0().AsNumber(), 4.0);
}

}  // namespace
}  // namespace Voro
