#include <gtest/gtest.h>

#include <atomic>
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

TEST(AmfKindTest, CodesBeyondTheLastAreUnknown) {
  EXPECT_EQ(Amf0KindName(17), "Amf3Object");
  EXPECT_EQ(Amf0KindName(18), "*Unknown*");
  EXPECT_EQ(Amf3KindName(17), "Dictionary");
  EXPECT_EQ(Amf3KindName(0xFFFFFFFFu), "*Unknown*");
}

TEST(AmfClassRegistryTest, NamedClassesRegisterAndGrowByAppending) {
  AmfClassRegistry registry;
  auto named = registry.Create("a.B", false, true);
  registry.Create("", false, true);  // anonymous: never registered
  // A second definition of the name is appended; lookup keeps finding the first.
  EXPECT_NE(registry.Create("a.B", true, false), named);
  EXPECT_EQ(registry.size(), 2u);
  EXPECT_EQ(registry.Find("a.B"), named);
  for (const char* other : {"", "a.b", "a.B "}) EXPECT_EQ(registry.Find(other), nullptr) << other;
  bool created = false;  // no member list to start from
  EXPECT_EQ(registry.FindOrCreate("a.C", false, false, nullptr, &created)->MemberCount(), 0u);
  EXPECT_TRUE(created);

  named->AddMember("b", AmfTypeHint::String());
  const AmfMemberListRef before = named->Members();
  named->AddMember("a", AmfTypeHint::Number());
  EXPECT_EQ(before->size(), 1u);  // snapshots stay as they were
  EXPECT_EQ(named->FindMember("a"), 1u);
  EXPECT_EQ(named->FindMember("c"), AmfClass::kNoMember);
  bool added = true;
  EXPECT_EQ(named->EnsureMember("b", AmfTypeHint::Any(), &added), 0u);
  EXPECT_FALSE(added);
  EXPECT_EQ(named->EnsureMember("c", AmfTypeHint::Headers(), &added), 2u);
  EXPECT_TRUE(added);
  EXPECT_NE(AmfTypeHint::Headers(), AmfTypeHint::Integer());

  // Cleared (at unload): nothing is found or kept, and a holder keeps its definition.
  const std::weak_ptr<AmfClass> unheld = registry.Find("a.C");
  registry.Clear();
  EXPECT_EQ(registry.size(), 0u);
  EXPECT_EQ(registry.Find("a.B"), nullptr);
  EXPECT_TRUE(unheld.expired());
  EXPECT_EQ(named->name(), "a.B");
}

TEST(AmfClassRegistryTest, FindOrCreateRacesToOneDefinition) {
  AmfClassRegistry registry;
  std::vector<std::shared_ptr<AmfClass>> found(8);
  std::vector<std::thread> threads;
  std::atomic<bool> go = false;  // all threads start at once, to meet on each new name
  for (size_t i = 0; i < found.size(); ++i) {
    threads.emplace_back([&registry, &found, &go, i] {
      const auto members = [] { return AmfMemberList{{"m", AmfTypeHint::Any()}}; };
      bool created = false, added = false;
      while (!go) std::this_thread::yield();
      for (int n = 0; n < 2000; ++n) {
        const std::string name = "race.Class" + std::to_string(n % 500);
        found[i] = registry.FindOrCreate(name, false, false, members, &created);
        found[i]->EnsureMember("grown" + std::to_string(n % 7), AmfTypeHint::Any(), &added);
      }
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(registry.size(), 500u);
  for (const auto& c : found) EXPECT_EQ(c, found[0]);
  // Class499 is reached at n = 499, 999, 1499 and 1999: "m" and grown2, grown5, grown1 and
  // grown4, each once however many threads added them.
  EXPECT_EQ(registry.Find("race.Class499")->MemberCount(), 5u);
}

class AmfObjectTest : public testing_support::LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    SimulateInitialize();
  }

  std::shared_ptr<AmfClass> sealed_ = std::make_shared<AmfClass>(
      "test.Sealed", false, false,
      AmfMemberList{{"flag", AmfTypeHint::Any()}, {"name", AmfTypeHint::String()}});
};

std::string Describe(const Amf3Item& item) {
  return std::string(item.kind_name()) + (item.kind() == Amf3Kind::kString ? " " : "") +
         item.AsString();
}

TEST_F(AmfObjectTest, SetMemberKeepsAMembersKind) {
  Amf3Object object(sealed_);
  EXPECT_EQ(Describe(object.GetMember("name")), "Undefined");
  const std::string flag = "Type mismatch for member 'flag' of the AMF3 class 'test.Sealed'.";
  const std::string name = "Type mismatch for member 'name' of the AMF3 class 'test.Sealed'.";
  struct Step {
    const char* member;
    Amf3Item value;
    const char* after;  // the member's value afterwards
    std::string error;  // what the refusal logs, after the common prefix
  };
  for (const Step& step : {
           Step{"flag", Amf3Item::Boolean(false), "False", ""},
           Step{"flag", Amf3Item::Boolean(true), "False", flag},  // either boolean mismatches
           Step{"flag", Amf3Item::Boolean(false), "False", flag},
           Step{"name", Amf3Item::String("x"), "String x", ""},
           Step{"name", Amf3Item(), "String x",
                "The member 'name' of the AMF3 class 'test.Sealed' already has a defined type. It "
                "cannot be undefined."},
           Step{"name", Amf3Item::Integer(3), "String x", name},
           Step{"name", Amf3Item::String("y"), "String y", ""},
           Step{"name", Amf3Item::Null(), "Null", ""},         // Null always
           Step{"name", Amf3Item::String("z"), "Null", name},  // Null's kind now rules
           Step{"nope", Amf3Item::Integer(1), nullptr,
                "'nope' is not a valid member name for the AMF3 class 'test.Sealed'."},
       }) {
    SCOPED_TRACE(std::string(step.member) + " <- " + Describe(step.value));
    const size_t before = recorder_.Messages().size();
    object.SetMember(step.member, step.value);
    const std::vector<std::string> errors = recorder_.Messages();
    ASSERT_EQ(errors.size(), before + (step.error.empty() ? 0 : 1));
    if (!step.error.empty()) {
      EXPECT_EQ(errors.back(), "Failed to set AMF3 Object member. " + step.error);
    }
    if (step.after) {
      EXPECT_EQ(Describe(object.GetMember(step.member)), step.after);
    }
  }
  for (const auto& line : recorder_.Lines()) {
    EXPECT_EQ(line.level, kLevelError);
    EXPECT_EQ(line.tags, Tag::DBG);
  }
}

TEST_F(AmfObjectTest, GetMemberOfSealedDynamicAndGrownClasses) {
  Amf3Object sealed(sealed_);
  EXPECT_EQ(&sealed.GetMember("other"), &Amf3Item::UndefinedItem());
  EXPECT_EQ(sealed.sealed_size(), 2u);
  sealed_->AddMember("b", AmfTypeHint::Any());  // after the object was made
  EXPECT_TRUE(sealed.GetMember("b").is_undefined());
  sealed.SetMember("b", Amf3Item::Integer(2));
  EXPECT_EQ(sealed.GetMember("b").AsInteger(), 2);
  Amf3Object dynamic(std::make_shared<AmfClass>("test.Dynamic", false, true));
  dynamic.SetDynamicMember("extra", Amf3Item::Integer(6));
  dynamic.SetDynamicMember("extra", Amf3Item::Integer(7));
  EXPECT_TRUE(dynamic.GetMember("missing").is_undefined());
  // Dynamic members are out of SetMember's reach.
  dynamic.SetMember("extra", Amf3Item::Integer(8));
  EXPECT_EQ(dynamic.GetMember("extra").AsInteger(), 7);
  EXPECT_EQ(recorder_.Messages(),
            (std::vector<std::string>{
                "Failed to get AMF3 Object member. 'other' is not a valid member name "
                "for the AMF3 class 'test.Sealed'.",
                "Failed to get AMF3 Object member. 'missing' is not a valid member name "
                "for the AMF3 class 'test.Dynamic'.",
                "Failed to set AMF3 Object member. 'extra' is not a valid member name "
                "for the AMF3 class 'test.Dynamic'.",
            }));
}

TEST_F(AmfObjectTest, CastsOfAnotherKindReturnDefaults) {
  const Amf3Item text = Amf3Item::String("t");
  EXPECT_EQ(text.AsInteger() + text.AsDouble() + text.AsDate(), 0);
  EXPECT_TRUE(text.AsArray().dense.empty());
  EXPECT_EQ(text.AsObject().amf_class(), nullptr);
  EXPECT_TRUE(text.AsByteArray().empty());
  EXPECT_EQ(text.MutableObject(), nullptr);
  EXPECT_TRUE(Amf3Item::Integer(1).AsString().empty());
  const Amf0Item number = Amf0Item::Number(4.5);
  EXPECT_FALSE(number.AsBoolean());
  EXPECT_TRUE(number.AsString().empty());
  EXPECT_TRUE(number.AsObject().members.empty());
  EXPECT_TRUE(Amf0Item::Null().AsEcmaArray().empty());
  // Only the AMF3 boolean cast logs, and not for Null.
  EXPECT_TRUE(Amf3Item::Boolean(true).AsBoolean());
  for (const Amf3Item& other :
       {Amf3Item::Boolean(false), Amf3Item::Null(), Amf3Item::Integer(1), Amf3Item()}) {
    EXPECT_FALSE(other.AsBoolean());
  }
  EXPECT_EQ(recorder_.Messages(), (std::vector<std::string>{
                                      "AMF3 item (type: 4) was incorrectly cast to a Amf3Boolean.",
                                      "AMF3 item (type: 0) was incorrectly cast to a Amf3Boolean.",
                                  }));
}

TEST(AmfItemCopyTest, CopiesSharePayloadsButNotValues) {
  Amf3Item bytes = Amf3Item::ByteArray(std::vector<uint8_t>{1}), copy;
  copy = bytes;
  copy.MutableByteArray()->push_back(2);
  Amf0Item strict(Amf0Kind::kStrictArray);
  Amf0Item(strict).MutableStrictArray()->push_back(Amf0Item::Boolean(true));
  EXPECT_EQ(bytes.AsByteArray().size(), 2u);
  EXPECT_EQ(strict.AsStrictArray().size(), 1u);

  // Assigning releases the old payload.
  auto object = std::make_shared<Amf3Object>(nullptr);
  std::weak_ptr<Amf3Object> watch = object;
  Amf3Item holder = Amf3Item::Object(std::move(object));
  holder = Amf3Item::Null();
  EXPECT_TRUE(holder.is_null());
  EXPECT_TRUE(watch.expired());
  // Kinds without a model copy as the kind alone.
  Amf3Item legacy = Amf3Item::String("old");
  const Amf3Item legacy_xml(Amf3Kind::kLegacyXml);
  legacy = legacy_xml;
  EXPECT_EQ(legacy.kind(), Amf3Kind::kLegacyXml);
  EXPECT_EQ(legacy.SharedPayload(), nullptr);
  Amf0Item movieclip = Amf0Item::String("old");
  const Amf0Item source(Amf0Kind::kMovieclip);
  movieclip = source;
  EXPECT_EQ(movieclip.kind(), Amf0Kind::kMovieclip);
  EXPECT_EQ(movieclip.SharedPayload(), nullptr);
  // The source may live inside the payload that the assignment releases.
  Amf3Item outer(Amf3Kind::kArray);
  outer.MutableArray()->dense.push_back(Amf3Item::String("inner"));
  outer = outer.AsArray().dense[0];
  EXPECT_EQ(outer.AsString(), "inner");
}

TEST(AmfItemBackReferenceTest, DoesNotOwnItsTarget) {
  Amf3Item item(Amf3Kind::kObject);
  item.MutableObject()->SetDynamicMember("self", Amf3Item::BackReference(item));
  const Amf3Item kept = item.AsObject().dynamic_members().at("self");
  EXPECT_TRUE(kept.is_back_reference());
  EXPECT_EQ(kept.PayloadIdentity(), item.PayloadIdentity());
  const std::weak_ptr<const void> watch = item.SharedPayload();
  item = Amf3Item();
  EXPECT_TRUE(watch.expired());  // the cycle did not keep it alive
  EXPECT_EQ(kept.kind(), Amf3Kind::kObject);
  EXPECT_EQ(kept.PayloadIdentity(), nullptr);
  EXPECT_EQ(kept.AsObject().amf_class(), nullptr);  // reads as the default

  Amf0Item array0(Amf0Kind::kStrictArray);
  array0.MutableStrictArray()->push_back(Amf0Item::BackReference(array0));
  const Amf0Item kept0 = array0.AsStrictArray()[0].amf0();
  EXPECT_TRUE(kept0.is_back_reference());
  EXPECT_FALSE(array0.is_back_reference());
  EXPECT_EQ(kept0.PayloadIdentity(), array0.PayloadIdentity());
  array0 = Amf0Item();
  EXPECT_FALSE(kept0.is_back_reference());
  EXPECT_EQ(kept0.PayloadIdentity(), nullptr);
  EXPECT_TRUE(kept0.AsStrictArray().empty());
}

}  // namespace
}  // namespace Voro
