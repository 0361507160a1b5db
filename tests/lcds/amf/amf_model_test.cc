#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diag/log_test_support.h"
#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_kind.h"

namespace Voro {
namespace {

using testing_support::LoggerTest;

TEST(AmfKindTest, NamesOfEveryCode) {
  const char* amf0[] = {"Number",      "Boolean",     "String",     "Object",      "Movieclip",
                        "Null",        "Undefined",   "Reference",  "EcmaArray",   "ObjectEnd",
                        "StrictArray", "Date",        "LongString", "Unsupported", "Recordset",
                        "Xml",         "TypedObject", "Amf3Object"};
  const char* amf3[] = {"Undefined",    "Null",         "False",     "True",      "Integer",
                        "Double",       "String",       "LegacyXml", "Date",      "Array",
                        "Object",       "Xml",          "ByteArray", "VectorInt", "VectorUInt",
                        "VectorDouble", "VectorObject", "Dictionary"};
  for (uint32_t code = 0; code < 18; ++code) {
    EXPECT_EQ(Amf0KindName(code), amf0[code]) << code;
    EXPECT_EQ(Amf3KindName(code), amf3[code]) << code;
  }
  EXPECT_EQ(Amf0KindName(18), "*Unknown*");
  EXPECT_EQ(Amf3KindName(255), "*Unknown*");
  EXPECT_EQ(Amf3KindName(0xFFFFFFFFu), "*Unknown*");
  EXPECT_EQ(Amf3Item::Integer(1).kind_name(), "Integer");
  EXPECT_EQ(Amf0Item::Null().kind_name(), "Null");
}

TEST(AmfClassRegistryTest, NamedClassesRegisterAnonymousOnesNever) {
  AmfClassRegistry registry;
  auto named = registry.Create("a.B", false, true);
  auto anonymous = registry.Create("", false, true);
  EXPECT_EQ(registry.size(), 1u);
  EXPECT_EQ(registry.Find("a.B"), named);
  EXPECT_EQ(registry.Find(""), nullptr);
  EXPECT_EQ(registry.Find("a.b"), nullptr);  // exact names only
  EXPECT_EQ(registry.Find("a.B "), nullptr);
  EXPECT_TRUE(named->dynamic());
  EXPECT_FALSE(named->externalizable());
  // A second definition of the name is appended; lookup keeps finding the first.
  auto second = registry.Create("a.B", true, false);
  EXPECT_EQ(registry.size(), 2u);
  EXPECT_EQ(registry.Find("a.B"), named);
  EXPECT_NE(second, named);
}

TEST(AmfClassRegistryTest, MembersAreAppendedAndSnapshotsStay) {
  AmfClass amf_class("C", false, false);
  amf_class.AddMember("b", AmfTypeHint::String());
  const AmfMemberListRef before = amf_class.Members();
  amf_class.AddMember("a", AmfTypeHint::Number());
  ASSERT_EQ(before->size(), 1u);
  const AmfMemberListRef after = amf_class.Members();
  ASSERT_EQ(after->size(), 2u);
  EXPECT_EQ((*after)[0].name, "b");
  EXPECT_EQ((*after)[1].name, "a");
  EXPECT_EQ((*after)[1].hint, AmfTypeHint::Number());
  EXPECT_EQ(amf_class.FindMember("a"), 1u);
  EXPECT_EQ(amf_class.FindMember("c"), AmfClass::kNoMember);
  bool added = true;
  EXPECT_EQ(amf_class.EnsureMember("b", AmfTypeHint::Any(), &added), 0u);
  EXPECT_FALSE(added);
  EXPECT_EQ(amf_class.EnsureMember("c", AmfTypeHint::Any(), &added), 2u);
  EXPECT_TRUE(added);
}

TEST(AmfClassRegistryTest, TypeHintsAreDistinct) {
  auto amf_class = std::make_shared<AmfClass>("K", false, false);
  const AmfTypeHintRef class_hint = AmfTypeHint::ForClass(amf_class);
  const AmfTypeHintRef array_hint = AmfTypeHint::ArrayOf(class_hint);
  EXPECT_EQ(class_hint->code(), AmfTypeHint::Code::kClass);
  EXPECT_EQ(class_hint->amf_class(), amf_class);
  EXPECT_EQ(array_hint->code(), AmfTypeHint::Code::kArray);
  EXPECT_EQ(array_hint->element(), class_hint);
  EXPECT_NE(AmfTypeHint::Any()->code(), AmfTypeHint::String()->code());
  EXPECT_NE(AmfTypeHint::Number()->code(), AmfTypeHint::Headers()->code());
  EXPECT_EQ(AmfTypeHint::Any(), AmfTypeHint::Any());
}

TEST(AmfClassRegistryTest, FindOrCreateRacesToOneDefinition) {
  AmfClassRegistry registry;
  std::vector<std::shared_ptr<AmfClass>> found(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < found.size(); ++i) {
    threads.emplace_back([&registry, &found, i] {
      bool created = false;
      for (int n = 0; n < 200; ++n) {
        found[i] = registry.FindOrCreate(
            "race.Class" + std::to_string(n % 50), false, false,
            [] {
              return AmfMemberList{{"m", AmfTypeHint::Any()}};
            },
            &created);
        bool added = false;
        found[i]->EnsureMember("grown" + std::to_string(n % 7), AmfTypeHint::Any(), &added);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(registry.size(), 50u);
  for (const auto& c : found) EXPECT_EQ(c, found[0]);
  // Class49 is reached at n = 49, 99, 149 and 199: "m" and grown0 to grown3, each once
  // however many threads added them.
  EXPECT_EQ(registry.Find("race.Class49")->MemberCount(), 5u);
}

class AmfObjectTest : public LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    SimulateInitialize();
    amf_class_ = std::make_shared<AmfClass>(
        "test.Sealed", false, false,
        AmfMemberList{{"flag", AmfTypeHint::Any()}, {"name", AmfTypeHint::String()}});
  }
  std::vector<std::string> Errors() {
    std::vector<std::string> errors;
    for (const auto& line : recorder_.Lines()) {
      if (line.level == kLevelError) errors.push_back(line.message);
    }
    return errors;
  }

  std::shared_ptr<AmfClass> amf_class_;
};

TEST_F(AmfObjectTest, NewObjectHasEveryMemberUndefined) {
  Amf3Object object(amf_class_);
  ASSERT_EQ(object.sealed_size(), 2u);
  EXPECT_TRUE(object.GetMember("flag").is_undefined());
  EXPECT_TRUE(object.GetMember("name").is_undefined());
  EXPECT_TRUE(Errors().empty());
}

TEST_F(AmfObjectTest, SetMemberRules) {
  Amf3Object object(amf_class_);
  object.SetMember("flag", Amf3Item::Boolean(false));
  EXPECT_EQ(object.GetMember("flag").kind(), Amf3Kind::kFalse);
  // Any boolean on a member that already holds one is a mismatch.
  object.SetMember("flag", Amf3Item::Boolean(true));
  object.SetMember("flag", Amf3Item::Boolean(false));
  EXPECT_EQ(object.GetMember("flag").kind(), Amf3Kind::kFalse);

  object.SetMember("name", Amf3Item::String("x"));
  object.SetMember("name", Amf3Item());  // cannot be undefined
  EXPECT_EQ(object.GetMember("name").AsString(), "x");
  object.SetMember("name", Amf3Item::Integer(3));  // mismatch
  EXPECT_EQ(object.GetMember("name").AsString(), "x");
  object.SetMember("name", Amf3Item::String("y"));  // same kind
  EXPECT_EQ(object.GetMember("name").AsString(), "y");
  object.SetMember("name", Amf3Item::Null());  // Null always
  EXPECT_TRUE(object.GetMember("name").is_null());
  object.SetMember("name", Amf3Item::String("z"));  // Null's kind now rules
  EXPECT_TRUE(object.GetMember("name").is_null());
  object.SetMember("nope", Amf3Item::Integer(1));

  EXPECT_EQ(Errors(),
            (std::vector<std::string>{
                "Failed to set AMF3 Object member. Type mismatch for member 'flag' of the AMF3 "
                "class 'test.Sealed'.",
                "Failed to set AMF3 Object member. Type mismatch for member 'flag' of the AMF3 "
                "class 'test.Sealed'.",
                "Failed to set AMF3 Object member. The member 'name' of the AMF3 class "
                "'test.Sealed' already has a defined type. It cannot be undefined.",
                "Failed to set AMF3 Object member. Type mismatch for member 'name' of the AMF3 "
                "class 'test.Sealed'.",
                "Failed to set AMF3 Object member. Type mismatch for member 'name' of the AMF3 "
                "class 'test.Sealed'.",
                "Failed to set AMF3 Object member. 'nope' is not a valid member name for the AMF3 "
                "class 'test.Sealed'.",
            }));
  for (const auto& line : recorder_.Lines()) EXPECT_EQ(line.tags, Tag::DBG);
}

TEST_F(AmfObjectTest, GetMemberOfSealedAndDynamicClasses) {
  Amf3Object sealed(amf_class_);
  EXPECT_EQ(&sealed.GetMember("other"), &Amf3Item::UndefinedItem());
  auto dynamic_class = std::make_shared<AmfClass>("test.Dynamic", false, true,
                                                  AmfMemberList{{"s", AmfTypeHint::Any()}});
  Amf3Object dynamic(dynamic_class);
  dynamic.SetDynamicMember("extra", Amf3Item::Integer(7));
  EXPECT_EQ(dynamic.GetMember("extra").AsInteger(), 7);
  EXPECT_TRUE(dynamic.GetMember("missing").is_undefined());
  // Dynamic members are out of SetMember's reach.
  dynamic.SetMember("extra", Amf3Item::Integer(8));
  EXPECT_EQ(dynamic.GetMember("extra").AsInteger(), 7);
  EXPECT_EQ(Errors(),
            (std::vector<std::string>{
                "Failed to get AMF3 Object member. 'other' is not a valid member name for the AMF3 "
                "class 'test.Sealed'.",
                "Failed to get AMF3 Object member. 'missing' is not a valid member name for the "
                "AMF3 class 'test.Dynamic'.",
                "Failed to set AMF3 Object member. 'extra' is not a valid member name for the "
                "AMF3 class 'test.Dynamic'.",
            }));
}

TEST_F(AmfObjectTest, ObjectOfAGrownClassReadsNewMembersAsUndefined) {
  auto grown = std::make_shared<AmfClass>("test.Grown", false, false,
                                          AmfMemberList{{"a", AmfTypeHint::Any()}});
  Amf3Object object(grown);
  grown->AddMember("b", AmfTypeHint::Any());
  EXPECT_TRUE(object.GetMember("b").is_undefined());
  object.SetMember("b", Amf3Item::Integer(2));
  EXPECT_EQ(object.GetMember("b").AsInteger(), 2);
  EXPECT_TRUE(Errors().empty());
}

TEST_F(AmfObjectTest, CastsReturnDefaults) {
  const Amf3Item text = Amf3Item::String("t");
  EXPECT_EQ(text.AsInteger(), 0);
  EXPECT_EQ(text.AsDouble(), 0.0);
  EXPECT_EQ(text.AsDate(), 0);
  EXPECT_TRUE(text.AsArray().dense.empty());
  EXPECT_EQ(text.AsObject().amf_class(), nullptr);
  EXPECT_TRUE(text.AsByteArray().empty());
  EXPECT_TRUE(Amf3Item::Integer(1).AsString().empty());
  EXPECT_EQ(text.MutableObject(), nullptr);
  EXPECT_EQ(Amf3Item::Integer(-5).AsInteger(), -5);
  EXPECT_EQ(Amf3Item::Double(2.5).AsDouble(), 2.5);
  EXPECT_EQ(Amf3Item::Date(-1).AsDate(), -1);
  // Debug-channel diagnostics are not log lines.
  EXPECT_TRUE(Errors().empty());

  const Amf0Item number = Amf0Item::Number(4.5);
  EXPECT_EQ(number.AsNumber(), 4.5);
  EXPECT_FALSE(number.AsBoolean());
  EXPECT_TRUE(number.AsString().empty());
  EXPECT_TRUE(number.AsObject().members.empty());
  EXPECT_EQ(Amf0Item::LongString("long").AsString(), "long");
  EXPECT_TRUE(Amf0Item::Null().AsEcmaArray().empty());
  EXPECT_TRUE(Errors().empty());
}

TEST_F(AmfObjectTest, Amf3BooleanCastLogsMismatches) {
  EXPECT_TRUE(Amf3Item::Boolean(true).AsBoolean());
  EXPECT_FALSE(Amf3Item::Boolean(false).AsBoolean());
  EXPECT_FALSE(Amf3Item::Null().AsBoolean());  // silently
  EXPECT_TRUE(Errors().empty());
  EXPECT_FALSE(Amf3Item::Integer(1).AsBoolean());
  EXPECT_FALSE(Amf3Item().AsBoolean());
  EXPECT_EQ(Errors(), (std::vector<std::string>{
                          "AMF3 item (type: 4) was incorrectly cast to a Amf3Boolean.",
                          "AMF3 item (type: 0) was incorrectly cast to a Amf3Boolean.",
                      }));
}

TEST(AmfItemCopyTest, CopiesSharePayloads) {
  Amf3Item array(Amf3Kind::kArray);
  Amf3Item copy;
  copy = array;
  copy.MutableArray()->dense.push_back(Amf3Item::Integer(1));
  EXPECT_EQ(array.AsArray().dense.size(), 1u);
  EXPECT_EQ(array.PayloadIdentity(), copy.PayloadIdentity());

  Amf3Item bytes = Amf3Item::ByteArray(std::vector<uint8_t>{1});
  Amf3Item bytes_copy(bytes);
  bytes_copy.MutableByteArray()->push_back(2);
  EXPECT_EQ(bytes.AsByteArray().size(), 2u);

  // Numbers are values: assigning over them replaces kind and payload.
  Amf3Item number = Amf3Item::Integer(5);
  Amf3Item other = number;
  other = Amf3Item::Double(1.5);
  EXPECT_EQ(number.AsInteger(), 5);
  EXPECT_EQ(other.kind(), Amf3Kind::kDouble);

  // Assigning releases the old payload.
  auto object = std::make_shared<Amf3Object>(nullptr);
  std::weak_ptr<Amf3Object> watch = object;
  Amf3Item holder = Amf3Item::Object(std::move(object));
  holder = Amf3Item::Null();
  EXPECT_TRUE(watch.expired());

  Amf0Item strict(Amf0Kind::kStrictArray);
  Amf0Item strict_copy = strict;
  strict_copy.MutableStrictArray()->push_back(Amf0Item::Boolean(true));
  EXPECT_EQ(strict.AsStrictArray().size(), 1u);
  Amf0Item object0(Amf0Kind::kObject);
  Amf0Item object0_copy(object0);
  object0_copy.MutableObject()->class_name = "T";
  EXPECT_EQ(object0.AsObject().class_name, "T");
}

TEST(AmfItemCopyTest, UnsupportedKindsCopyWithoutPayload) {
  const Amf3Item legacy(Amf3Kind::kLegacyXml);
  Amf3Item copy = Amf3Item::String("old");
  copy = legacy;
  EXPECT_EQ(copy.kind(), Amf3Kind::kLegacyXml);
  EXPECT_EQ(copy.SharedPayload(), nullptr);

  const Amf0Item movieclip(Amf0Kind::kMovieclip);
  Amf0Item copy0 = Amf0Item::String("old");
  copy0 = movieclip;
  EXPECT_EQ(copy0.kind(), Amf0Kind::kMovieclip);
  EXPECT_EQ(copy0.SharedPayload(), nullptr);
}

TEST(AmfItemCopyTest, SelfAssignmentThroughOwnPayloadIsSafe) {
  Amf3Item outer(Amf3Kind::kArray);
  outer.MutableArray()->dense.push_back(Amf3Item::String("inner"));
  // The source lives inside the payload that the assignment releases.
  outer = outer.AsArray().dense[0];
  EXPECT_EQ(outer.AsString(), "inner");
}

TEST(AmfItemBackReferenceTest, DoesNotOwnItsTarget) {
  auto object = std::make_shared<Amf3Object>(std::make_shared<AmfClass>("", false, true));
  Amf3Item item = Amf3Item::Object(object);
  object->SetDynamicMember("self", Amf3Item::BackReference(item));
  const Amf3Item& self = item.AsObject().dynamic_members().at("self");
  EXPECT_TRUE(self.is_back_reference());
  EXPECT_EQ(self.PayloadIdentity(), item.PayloadIdentity());
  Amf3Item kept = self;
  std::weak_ptr<Amf3Object> watch = object;
  object.reset();
  item = Amf3Item();
  EXPECT_TRUE(watch.expired());  // the cycle did not keep it alive
  EXPECT_EQ(kept.kind(), Amf3Kind::kObject);
  EXPECT_EQ(kept.PayloadIdentity(), nullptr);
  EXPECT_EQ(kept.AsObject().amf_class(), nullptr);  // reads as the default
}

TEST(AmfValueTest, HoldsEitherFormat) {
  AmfValue none;
  EXPECT_TRUE(none.is_amf0());
  EXPECT_EQ(none.amf0().kind(), Amf0Kind::kUndefined);
  AmfValue three = Amf3Item::Integer(3);
  EXPECT_TRUE(three.is_amf3());
  EXPECT_EQ(three.amf3().AsInteger(), 3);
}

}  // namespace
}  // namespace Voro
