#include "binding/types/type_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "binding/types/native_conversion.h"
#include "binding/types/record_builder.h"

namespace Voro {
namespace {

enum class Shade : uint8_t { kLight = 1, kDark = 2 };

struct Inner {
  int32_t number = 0;
};

struct Sample {
  bool flag = false;
  int16_t small = 0;
  std::optional<uint64_t> maybe;
  std::vector<Inner> inners;
  Shade shade = Shade::kLight;
};

template <typename T>
uint32_t Hash() {
  return StaticType::HashCode<T>().hash;
}

TEST(TypeRegistryTest, RecordBuilderDescribesFieldsInOrder) {
  TypeRegistry registry;
  registry.Record<Sample>({"Voro", "Test"}, "Sample")
      .Field("flag", &Sample::flag, "A flag", kFieldRequired)
      .Field("small", &Sample::small, "", kFieldOmitDefault)
      .Field("maybe", &Sample::maybe)
      .Field("inners", &Sample::inners)
      .Field("shade", &Sample::shade);
  const RecordDescriptor* record = registry.FindRecord(Hash<Sample>());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->QualifiedNameSpace(), "Voro::Test");
  EXPECT_EQ(record->size, sizeof(Sample));
  // Name, kind, then ! when required, ? when left out at its default, * with a converter: an
  // optional member is its value's kind, left out when missing, through a converter.
  std::string fields;
  for (const FieldDescriptor& field : record->fields) {
    fields += field.name + ":" + std::string(BindingKindName(static_cast<uint32_t>(field.kind()))) +
              (field.required() ? "!" : "") + (field.omit_default() ? "?" : "") +
              (field.converter != nullptr ? "*" : "") + " ";
  }
  EXPECT_EQ(fields, "flag:bool! small:int16? maybe:uint64?* inners:vector shade:enum ");
  EXPECT_EQ(record->fields[3].type->element->type_hash, Hash<Inner>());
  EXPECT_EQ(record->FindField("shade"), &record->fields[4]);
  EXPECT_EQ(record->FindField("Shade"), nullptr);
  // Each lookup finds only its own kind.
  EXPECT_EQ(registry.FindEnum(Hash<Sample>()), nullptr);
  registry.Enum<Shade>({"T"}, "Shade").Value("LIGHT", Shade::kLight);
  EXPECT_EQ(registry.FindRecord(Hash<Shade>()), nullptr);
  EXPECT_EQ(registry.Find(12345), nullptr);
}

TEST(TypeRegistryTest, EnumValuesAreKeyedByNameAndFoundByNumber) {
  TypeRegistry registry;
  enum class States : int32_t { kInProgress = 0, kSucceeded = 1, kLoggingOut = 2, kError = 3 };
  // Registered out of alphabetical and numeric order.
  registry.Enum<States>({"Voro", "Client", "Api"}, "LoginSessionStates")
      .Value("IN_PROGRESS", States::kInProgress, "in progress")
      .Value("ERROR", States::kError)
      .Value("SUCCEEDED", States::kSucceeded)
      .Value("LOGGING_OUT", States::kLoggingOut);
  const uint32_t hash = Hash<States>();
  const EnumDescriptor* enumeration = registry.FindEnum(hash);
  ASSERT_NE(enumeration, nullptr);
  EXPECT_EQ(enumeration->size, 4u);
  std::vector<std::string> names;
  for (const auto& [name, value] : enumeration->values) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"ERROR", "IN_PROGRESS", "LOGGING_OUT", "SUCCEEDED"}));
  EXPECT_EQ(enumeration->FindByName("IN_PROGRESS")->description, "in progress");
  EXPECT_EQ(enumeration->FindByName("in_progress"), nullptr);

  // A number it does not name, or an unknown type, leaves the name alone.
  std::string found;
  for (int32_t number = -1; number <= 4; ++number) {
    std::string name = "-";
    found += (registry.FindEnumValueName(hash, number, &name) ? "" : "!") + name + ",";
  }
  EXPECT_EQ(found, "!-,IN_PROGRESS,SUCCEEDED,LOGGING_OUT,ERROR,!-,");
  EXPECT_FALSE(registry.FindEnumValueName(hash + 1, 0, &found));
  EXPECT_EQ(found, "!-,IN_PROGRESS,SUCCEEDED,LOGGING_OUT,ERROR,!-,");
}

TEST(TypeRegistryTest, ABuilderRegistersOnceAndOnlyWhenCommitted) {
  TypeRegistry registry;
  {
    auto builder = registry.Record<Inner>({"T"}, "First");
    builder.Field("number", &Inner::number);
    EXPECT_EQ(registry.Find(Hash<Inner>()), nullptr);
    builder.Commit();
    ASSERT_NE(registry.FindRecord(Hash<Inner>()), nullptr);
  }
  // A second registration of the type is refused; the first stays.
  registry.Record<Inner>({"T"}, "Second");
  registry.Record<Sample>({"T"}, "Sample");
  const RecordDescriptor* record = registry.FindRecord(Hash<Inner>());
  EXPECT_EQ(record->name, "First");
  EXPECT_EQ(record->fields.size(), 1u);
  std::vector<std::string> names;
  for (const TypeDescriptor* type : registry.Types()) names.push_back(type->name);
  EXPECT_EQ(names, (std::vector<std::string>{"First", "Sample"}));

  registry.AddEvent({"OnB", {"T"}, Hash<Inner>(), "b", {}});
  registry.AddEvent({"OnA", {"T"}, Hash<Sample>(), "a", {"x"}});
  const std::vector<EventDescriptor> events = registry.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].name, "OnB");
  EXPECT_EQ(events[1].name, "OnA");
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
  return {Hash<Many<N>>()...};
}

TEST(TypeRegistryTest, ConcurrentRegistrationAndLookup) {
  TypeRegistry registry;
  const std::vector<uint32_t> all = HashesOfMany(std::make_integer_sequence<int, 60>());
  registry.Enum<Shade>({"T"}, "Shade").Value("LIGHT", Shade::kLight);
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
        EXPECT_EQ(registry.FindRecord(Hash<Shade>()), nullptr);  // an enumeration is no record
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
  EXPECT_EQ(registry.Types().size(), 61u);
  for (size_t i = 0; i < all.size(); ++i) {
    const RecordDescriptor* record = registry.FindRecord(all[i]);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->name, "Many" + std::to_string(i));
  }
}

}  // namespace
}  // namespace Voro
