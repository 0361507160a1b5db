#include "binding/type_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "binding/binding_abi.h"
#include "binding/native_conversion.h"
#include "binding/record_builder.h"

namespace Voro {
namespace {

enum class Shade : uint8_t { kLight = 1, kDark = 2 };

struct Inner {
  int32_t number = 0;
};

struct Sample {
  bool flag = false;
  int16_t small = 0;
  std::string text;
  std::optional<uint64_t> maybe;
  std::vector<Inner> inners;
  std::map<std::string, double> weights;
  Shade shade = Shade::kLight;
  BindingProperty any;
  std::vector<uint8_t> bytes;
};

// Offsets measured on a live object (offsetof is not for non-standard-layout types).
template <typename M>
size_t Offset(M Sample::*member) {
  static const Sample sample;
  return static_cast<size_t>(reinterpret_cast<const char*>(&(sample.*member)) -
                             reinterpret_cast<const char*>(&sample));
}

TEST(NativeKindTest, DeducedFromTypes) {
  EXPECT_EQ(KindDataOf<bool>().kind, BindingKind::kBool);
  EXPECT_EQ(KindDataOf<int8_t>().kind, BindingKind::kInt8);
  EXPECT_EQ(KindDataOf<uint8_t>().kind, BindingKind::kUint8);
  EXPECT_EQ(KindDataOf<int16_t>().kind, BindingKind::kInt16);
  EXPECT_EQ(KindDataOf<uint16_t>().kind, BindingKind::kUint16);
  EXPECT_EQ(KindDataOf<int32_t>().kind, BindingKind::kInt32);
  EXPECT_EQ(KindDataOf<uint32_t>().kind, BindingKind::kUint32);
  EXPECT_EQ(KindDataOf<int64_t>().kind, BindingKind::kInt64);
  EXPECT_EQ(KindDataOf<uint64_t>().kind, BindingKind::kUint64);
  EXPECT_EQ(KindDataOf<float>().kind, BindingKind::kFloat);
  EXPECT_EQ(KindDataOf<double>().kind, BindingKind::kDouble);
  EXPECT_EQ(KindDataOf<std::string>().kind, BindingKind::kString);
  EXPECT_EQ(KindDataOf<BindingProperty>().kind, BindingKind::kObject);
  EXPECT_EQ(KindDataOf<std::vector<uint8_t>>().kind, BindingKind::kBlob);
  EXPECT_EQ(KindDataOf<Shade>().kind, BindingKind::kEnum);
  EXPECT_EQ(KindDataOf<Shade>().size, 1u);
  EXPECT_EQ(KindDataOf<Shade>().type_hash, StaticType::HashCode<Shade>().hash);
  EXPECT_EQ(KindDataOf<Inner>().kind, BindingKind::kStruct);
  EXPECT_EQ(KindDataOf<Inner>().type_hash, StaticType::HashCode<Inner>().hash);

  const KindData& vector = KindDataOf<std::vector<std::vector<Inner>>>();
  EXPECT_EQ(vector.kind, BindingKind::kVector);
  ASSERT_NE(vector.element, nullptr);
  EXPECT_EQ(vector.element->kind, BindingKind::kVector);
  EXPECT_EQ(vector.element->element, &KindDataOf<Inner>());

  const KindData& map = KindDataOf<std::unordered_map<std::string, std::vector<std::string>>>();
  EXPECT_EQ(map.kind, BindingKind::kMap);
  EXPECT_EQ(map.element->kind, BindingKind::kVector);
  EXPECT_EQ(map.element->element->kind, BindingKind::kString);
  EXPECT_EQ(&KindDataOf<const int32_t>(), &KindDataOf<int32_t>());
}

TEST(TypeRegistryTest, RecordBuilderDescribesFieldsInOrder) {
  TypeRegistry registry;
  registry.Record<Sample>({"Voro", "Test"}, "Sample")
      .Description("A sample record.")
      .Tag("t1")
      .Tag("t2")
      .Field("flag", &Sample::flag, "A flag", kFieldRequired)
      .Field("small", &Sample::small, "", kFieldOmitDefault)
      .Field("text", &Sample::text)
      .Field("maybe", &Sample::maybe, "Maybe a number")
      .Field("inners", &Sample::inners)
      .Field("weights", &Sample::weights)
      .Field("shade", &Sample::shade)
      .Field("any", &Sample::any)
      .Field("bytes", &Sample::bytes);

  const RecordDescriptor* record = registry.FindRecord(StaticType::HashCode<Sample>().hash);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->kind, BindingKind::kStruct);
  EXPECT_EQ(record->name, "Sample");
  EXPECT_EQ(record->name_space, (std::vector<std::string>{"Voro", "Test"}));
  EXPECT_EQ(record->QualifiedNameSpace(), "Voro::Test");
  EXPECT_EQ(record->description, "A sample record.");
  EXPECT_EQ(record->tags, (std::vector<std::string>{"t1", "t2"}));
  EXPECT_EQ(record->size, sizeof(Sample));

  struct Expected {
    const char* name;
    size_t offset;
    BindingKind kind;
    uint32_t flags;
    bool converter;
  };
  const Expected expected[] = {
      {"flag", Offset(&Sample::flag), BindingKind::kBool, kFieldRequired, false},
      {"small", Offset(&Sample::small), BindingKind::kInt16, kFieldOmitDefault, false},
      {"text", Offset(&Sample::text), BindingKind::kString, 0, false},
      {"maybe", Offset(&Sample::maybe), BindingKind::kUint64, kFieldOmitDefault, true},
      {"inners", Offset(&Sample::inners), BindingKind::kVector, 0, false},
      {"weights", Offset(&Sample::weights), BindingKind::kMap, 0, false},
      {"shade", Offset(&Sample::shade), BindingKind::kEnum, 0, false},
      {"any", Offset(&Sample::any), BindingKind::kObject, 0, false},
      {"bytes", Offset(&Sample::bytes), BindingKind::kBlob, 0, false},
  };
  ASSERT_EQ(record->fields.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const FieldDescriptor& field = record->fields[i];
    EXPECT_EQ(field.name, expected[i].name);
    EXPECT_EQ(field.name_hash, Fnv1a(expected[i].name));
    EXPECT_EQ(field.offset, expected[i].offset) << field.name;
    EXPECT_EQ(field.kind(), expected[i].kind) << field.name;
    EXPECT_EQ(field.flags, expected[i].flags) << field.name;
    EXPECT_EQ(field.converter != nullptr, expected[i].converter) << field.name;
  }
  EXPECT_EQ(record->fields[0].description, "A flag");
  EXPECT_TRUE(record->fields[0].required());
  EXPECT_FALSE(record->fields[0].omit_default());
  EXPECT_TRUE(record->fields[1].omit_default());
  EXPECT_EQ(record->fields[3].description, "Maybe a number");
  EXPECT_EQ(record->fields[4].type->element->type_hash, StaticType::HashCode<Inner>().hash);
  EXPECT_EQ(record->FindField("shade"), &record->fields[6]);
  EXPECT_EQ(record->FindField("Shade"), nullptr);
  // A record is not an enumeration.
  EXPECT_EQ(registry.FindEnum(StaticType::HashCode<Sample>().hash), nullptr);
}

TEST(TypeRegistryTest, EnumValuesAreKeyedByNameAndFoundByNumber) {
  TypeRegistry registry;
  enum class States : int32_t { kInProgress = 0, kSucceeded = 1, kLoggingOut = 2, kError = 3 };
  // Registered out of alphabetical and numeric order.
  registry.Enum<States>({"Voro", "Client", "Api"}, "LoginSessionStates")
      .Description("States")
      .Value("IN_PROGRESS", States::kInProgress, "in progress")
      .Value("ERROR", States::kError)
      .Value("SUCCEEDED", States::kSucceeded)
      .Value("LOGGING_OUT", States::kLoggingOut);
  const uint32_t hash = StaticType::HashCode<States>().hash;
  const EnumDescriptor* enumeration = registry.FindEnum(hash);
  ASSERT_NE(enumeration, nullptr);
  EXPECT_EQ(enumeration->kind, BindingKind::kEnum);
  EXPECT_EQ(enumeration->size, 4u);
  EXPECT_EQ(enumeration->type_hash, hash);
  std::vector<std::string> names;
  for (const auto& [name, value] : enumeration->values) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"ERROR", "IN_PROGRESS", "LOGGING_OUT", "SUCCEEDED"}));
  EXPECT_EQ(enumeration->FindByName("IN_PROGRESS")->description, "in progress");
  EXPECT_EQ(enumeration->FindByName("in_progress"), nullptr);

  std::string name;
  for (auto [number, text] : std::vector<std::pair<int32_t, const char*>>{
           {0, "IN_PROGRESS"}, {1, "SUCCEEDED"}, {2, "LOGGING_OUT"}, {3, "ERROR"}}) {
    ASSERT_TRUE(registry.FindEnumValueName(hash, number, &name)) << number;
    EXPECT_EQ(name, text);
  }
  name = "unchanged";
  EXPECT_FALSE(registry.FindEnumValueName(hash, 4, &name));
  EXPECT_FALSE(registry.FindEnumValueName(hash, -1, &name));
  EXPECT_FALSE(registry.FindEnumValueName(hash + 1, 0, &name));
  EXPECT_EQ(name, "unchanged");
  // Through the interface the ABI conversion uses.
  const EnumNameResolver& resolver = registry;
  EXPECT_TRUE(resolver.FindEnumValueName(hash, 2, &name));
  EXPECT_EQ(name, "LOGGING_OUT");
}

TEST(TypeRegistryTest, EnumsReachTheHostByName) {
  TypeRegistry registry;
  registry.Enum<Shade>({"T"}, "Shade").Value("DARK", Shade::kDark).Value("LIGHT", Shade::kLight);
  BindingProperty value;
  value["known"] = BindingEnum{2, StaticType::HashCode<Shade>().hash};
  value["unknown_number"] = BindingEnum{3, StaticType::HashCode<Shade>().hash};
  value["unknown_type"] = BindingEnum{1, 4242};
  BindingAbiValue abi = {};
  ToAbiValue(value, &abi, &registry);
  ASSERT_EQ(abi.tag, uint32_t{KIV_ABI_STRUCTURE});
  ASSERT_EQ(abi.payload.ref.count, 3u);
  const auto* entries = static_cast<const BindingAbiStructEntry*>(abi.payload.ref.pointer);
  EXPECT_STREQ(entries[0].key, "known");
  EXPECT_EQ(BindingAbiTagName(entries[0].value.tag), "string");
  EXPECT_STREQ(static_cast<const char*>(entries[0].value.payload.ref.pointer), "DARK");
  EXPECT_STREQ(entries[1].key, "unknown_number");
  EXPECT_EQ(BindingAbiTagName(entries[1].value.tag), "signed");
  EXPECT_EQ(entries[1].value.payload.i64, 3);
  EXPECT_EQ(BindingAbiTagName(entries[2].value.tag), "signed");
  ReleaseAbiValue(&abi);
}

TEST(TypeRegistryTest, NothingIsVisibleBeforeTheBuilderCommits) {
  TypeRegistry registry;
  const uint32_t hash = StaticType::HashCode<Inner>().hash;
  {
    auto builder = registry.Record<Inner>({"T"}, "Inner");
    builder.Field("number", &Inner::number);
    EXPECT_EQ(registry.Find(hash), nullptr);
    builder.Commit();
    ASSERT_NE(registry.FindRecord(hash), nullptr);
  }
  EXPECT_EQ(registry.FindRecord(hash)->description, "");
}

TEST(TypeRegistryTest, SecondRegistrationOfATypeIsRefused) {
  TypeRegistry registry;
  registry.Record<Inner>({"T"}, "First").Field("number", &Inner::number);
  registry.Record<Inner>({"T"}, "Second");
  const RecordDescriptor* record = registry.FindRecord(StaticType::HashCode<Inner>().hash);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->name, "First");
  EXPECT_EQ(record->fields.size(), 1u);
  EXPECT_EQ(registry.Types().size(), 1u);
}

TEST(TypeRegistryTest, TypesAndEventsKeepRegistrationOrder) {
  TypeRegistry registry;
  registry.Record<Sample>({"T"}, "Sample");
  registry.Enum<Shade>({"T"}, "Shade").Value("LIGHT", Shade::kLight);
  registry.Record<Inner>({"T"}, "Inner");
  std::vector<std::string> names;
  for (const TypeDescriptor* type : registry.Types()) names.push_back(type->name);
  EXPECT_EQ(names, (std::vector<std::string>{"Sample", "Shade", "Inner"}));
  EXPECT_EQ(registry.Find(12345), nullptr);

  registry.AddEvent({"OnB", {"T"}, StaticType::HashCode<Inner>().hash, "b", {}});
  registry.AddEvent({"OnA", {"T"}, StaticType::HashCode<Sample>().hash, "a", {"x"}});
  const std::vector<EventDescriptor> events = registry.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].name, "OnB");
  EXPECT_EQ(events[1].name, "OnA");
  EXPECT_EQ(events[1].tags, std::vector<std::string>{"x"});
}

template <int N>
struct Many {
  int32_t value = N;
};

template <int kBase, int... N>
void RegisterMany(TypeRegistry& registry, std::integer_sequence<int, N...>) {
  (registry.Record<Many<kBase + N>>({"T"}, "Many" + std::to_string(kBase + N))
       .Field("value", &Many<kBase + N>::value),
   ...);
}

template <int... N>
std::vector<uint32_t> HashesOfMany(std::integer_sequence<int, N...>) {
  return {StaticType::HashCode<Many<N>>().hash...};
}

TEST(TypeRegistryTest, ConcurrentRegistrationAndLookup) {
  TypeRegistry registry;
  const std::vector<uint32_t> all = HashesOfMany(std::make_integer_sequence<int, 60>());
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        for (uint32_t hash : all) {
          // A descriptor that can be found is complete.
          if (const RecordDescriptor* record = registry.FindRecord(hash)) {
            EXPECT_EQ(record->fields.size(), 1u);
            EXPECT_EQ(record->fields[0].name, "value");
          }
        }
        (void)registry.Types();
      }
    });
  }
  std::vector<std::thread> writers;
  writers.emplace_back([&] { RegisterMany<0>(registry, std::make_integer_sequence<int, 20>()); });
  writers.emplace_back([&] { RegisterMany<20>(registry, std::make_integer_sequence<int, 20>()); });
  writers.emplace_back([&] { RegisterMany<40>(registry, std::make_integer_sequence<int, 20>()); });
  for (auto& t : writers) t.join();
  done.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(registry.Types().size(), 60u);
  for (size_t i = 0; i < all.size(); ++i) {
    const RecordDescriptor* record = registry.FindRecord(all[i]);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->name, "Many" + std::to_string(i));
  }
}

}  // namespace
}  // namespace Voro
