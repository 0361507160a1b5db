#include "binding/builtin_types.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "binding/native_conversion.h"
#include "binding/record_builder.h"

namespace Voro {
namespace {

using Path = std::vector<std::string>;
const Path kHelp = {"$builtin", "help"};
const Path kAsync = {"$builtin", "async"};
const Path kBuiltin = {"$builtin"};

struct ExpectedField {
  const char* name;
  BindingKind kind;
  uint32_t type_hash;  // records and enumerations; for vectors the element's
  BindingKind element;
  const char* description;
};

template <typename T>
uint32_t Hash() {
  return StaticType::HashCode<T>().hash;
}

class BuiltinTypesTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterBuiltinTypes(registry_); }

  void ExpectRecord(uint32_t hash, const char* name, const Path& path, const char* description,
                    const std::vector<ExpectedField>& fields) {
    SCOPED_TRACE(name);
    const RecordDescriptor* record = registry_.FindRecord(hash);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->name, name);
    EXPECT_EQ(record->name_space, path);
    EXPECT_EQ(record->description, description);
    EXPECT_EQ(record->tags, Path{"$builtin"});
    ASSERT_EQ(record->fields.size(), fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
      const FieldDescriptor& field = record->fields[i];
      EXPECT_EQ(field.name, fields[i].name);
      EXPECT_EQ(field.kind(), fields[i].kind) << field.name;
      EXPECT_EQ(field.description, fields[i].description) << field.name;
      EXPECT_EQ(field.flags, 0u) << field.name;
      if (fields[i].kind == BindingKind::kVector) {
        EXPECT_EQ(field.type->element->kind, fields[i].element) << field.name;
        EXPECT_EQ(field.type->element->type_hash, fields[i].type_hash) << field.name;
      } else {
        EXPECT_EQ(field.type->type_hash, fields[i].type_hash) << field.name;
      }
    }
  }

  void ExpectEnum(uint32_t hash, const char* name, const Path& path, const char* description,
                  const std::vector<std::tuple<const char*, int32_t, const char*>>& values) {
    SCOPED_TRACE(name);
    const EnumDescriptor* enumeration = registry_.FindEnum(hash);
    ASSERT_NE(enumeration, nullptr);
    EXPECT_EQ(enumeration->name, name);
    EXPECT_EQ(enumeration->name_space, path);
    EXPECT_EQ(enumeration->description, description);
    EXPECT_EQ(enumeration->tags, Path{"$builtin"});
    EXPECT_EQ(enumeration->size, 4u);
    ASSERT_EQ(enumeration->values.size(), values.size());
    for (const auto& [value_name, number, value_description] : values) {
      const EnumValueDescriptor* value = enumeration->FindByName(value_name);
      ASSERT_NE(value, nullptr) << value_name;
      EXPECT_EQ(value->value, number);
      EXPECT_EQ(value->description, value_description);
    }
  }

  TypeRegistry registry_;
};

constexpr BindingKind kString = BindingKind::kString;
constexpr BindingKind kBool = BindingKind::kBool;
constexpr BindingKind kStruct = BindingKind::kStruct;
constexpr BindingKind kVector = BindingKind::kVector;
constexpr BindingKind kNone = BindingKind::kNone;

TEST_F(BuiltinTypesTest, HelpEnumerationAndAsyncState) {
  ExpectEnum(Hash<BindingHelpFormat>(), "BindingHelpFormat", kHelp,
             "Help format for binding functions and types.",
             {{"Full", 1, "Native help format"}, {"Epytext", 2, "Python epytext format"}});
  ExpectEnum(Hash<BindingAsyncState>(), "BindingAsyncState", kAsync,
             "Possible states of an asynchronous operation.",
             {{"None", 0, "Invalid state"},
              {"Running", 1, "The operation is in flight"},
              {"Cancelling", 2, "A request to cancel the operation has been made"},
              {"Cancelled", 3, "The operation was cancelled"},
              {"Succeeded", 4, "The operation completed successfully"},
              {"Failed", 5, "The operation encountered an error"}});
}

TEST_F(BuiltinTypesTest, HelpRecords) {
  const uint32_t id = Hash<BindingFullTypeIdentifier>();
  ExpectRecord(id, "BindingFullTypeIdentifier", kHelp, "Describes the type of a value.",
               {{"type", kString, 0, kNone, ""}, {"elementType", kString, 0, kNone, ""}});
  ExpectRecord(Hash<BindingFullArgumentHelp>(), "BindingFullArgumentHelp", kHelp,
               "Describes a function parameter.",
               {{"name", kString, 0, kNone, ""},
                {"description", kString, 0, kNone, ""},
                {"type", kStruct, id, kNone, ""},
                {"optional", kBool, 0, kNone, ""}});
  ExpectRecord(Hash<BindingFullFunctionHelp>(), "BindingFullFunctionHelp", kHelp,
               "Describes a function.",
               {{"name", kString, 0, kNone, ""},
                {"nameSpace", kString, 0, kNone, ""},
                {"arguments", kVector, Hash<BindingFullArgumentHelp>(), kStruct, ""},
                {"returns", kStruct, id, kNone, ""},
                {"description", kString, 0, kNone, ""},
                {"help", kString, 0, kNone, ""},
                {"threadSafe", kBool, 0, kNone, ""},
                {"async", kString, 0, kNone, ""},
                {"tags", kVector, 0, kString, ""}});
  ExpectRecord(Hash<BindingFullEnumValueHelp>(), "BindingFullEnumValueHelp", kHelp,
               "Describes an enumerator.",
               {{"name", kString, 0, kNone, ""},
                {"description", kString, 0, kNone, ""},
                {"value", BindingKind::kInt32, 0, kNone, ""}});
  ExpectRecord(Hash<BindingFullFieldHelp>(), "BindingFullFieldHelp", kHelp,
               "Describes a member of a struct.",
               {{"name", kString, 0, kNone, ""},
                {"description", kString, 0, kNone, ""},
                {"offset", BindingKind::kUint32, 0, kNone, ""},
                {"type", kStruct, id, kNone, ""},
                {"optional", kBool, 0, kNone, ""}});
  ExpectRecord(Hash<BindingFullTypeHelp>(), "BindingFullTypeHelp", kHelp,
               "Describes a struct or enum type.",
               {{"name", kString, 0, kNone, ""},
                {"nameSpace", kString, 0, kNone, ""},
                {"size", BindingKind::kUint32, 0, kNone, ""},
                {"description", kString, 0, kNone, ""},
                {"tags", kVector, 0, kString, ""},
                {"fields", kVector, Hash<BindingFullFieldHelp>(), kStruct, ""},
                {"values", kVector, Hash<BindingFullEnumValueHelp>(), kStruct, ""}});
  ExpectRecord(Hash<BindingFullEventHelp>(), "BindingFullEventHelp", kHelp, "Describes an event.",
               {{"name", kString, 0, kNone, ""},
                {"nameSpace", kString, 0, kNone, ""},
                {"type", kStruct, id, kNone, ""},
                {"description", kString, 0, kNone, ""},
                {"tags", kVector, 0, kString, ""}});
  ExpectRecord(Hash<BindingFullApiHelp>(), "BindingFullApiHelp", kHelp,
               "Describes the exposed native API.",
               {{"functions", kVector, Hash<BindingFullFunctionHelp>(), kStruct, ""},
                {"types", kVector, Hash<BindingFullTypeHelp>(), kStruct, ""},
                {"events", kVector, Hash<BindingFullEventHelp>(), kStruct, ""}});
}

TEST_F(BuiltinTypesTest, EventPayloadRecords) {
  constexpr BindingKind kObject = BindingKind::kObject;
  constexpr BindingKind kUint32 = BindingKind::kUint32;
  ExpectRecord(Hash<BindingGenericEvent>(), "BindingGenericEvent", kBuiltin,
               "Represents generic data for an event.",
               {{"data", kObject, 0, kNone, "Event data"}});
  ExpectRecord(Hash<BindingCallbackEvent>(), "BindingCallbackEvent", kBuiltin,
               "Represents the parameters of a call to a provided callback.",
               {{"id", kUint32, 0, kNone, "ID of the callback being invoked"},
                {"parameters", kVector, 0, kObject, "Callback parameters"}});
  ExpectRecord(Hash<BindingGenericAsyncEvent>(), "BindingGenericAsyncEvent", kAsync,
               "Represents generic data for an asynchronous event.",
               {{"asyncToken", kUint32, 0, kNone, "Asynchronous operation token"},
                {"data", kObject, 0, kNone, "Event data"}});
  ExpectRecord(Hash<BindingAsyncFailureEvent>(), "BindingAsyncFailureEvent", kAsync,
               "Represents a failed asynchronous operation.",
               {{"asyncToken", kUint32, 0, kNone, "Asynchronous operation token"},
                {"error", kString, 0, kNone, "Error message"}});
  ExpectRecord(Hash<BindingAsyncCancelEvent>(), "BindingAsyncCancelEvent", kAsync,
               "Represents a cancelled asynchronous operation.",
               {{"asyncToken", kUint32, 0, kNone, "Asynchronous operation token"}});
}

TEST_F(BuiltinTypesTest, RegisteredFirstInOrderWithTheCallbackEvent) {
  struct Own {
    int32_t v = 0;
  };
  registry_.Record<Own>({"Voro", "Client", "Api"}, "Own").Field("v", &Own::v);
  std::vector<std::string> names;
  for (const TypeDescriptor* type : registry_.Types()) names.push_back(type->name);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "BindingHelpFormat", "BindingFullTypeIdentifier", "BindingFullArgumentHelp",
                       "BindingFullFunctionHelp", "BindingFullEnumValueHelp",
                       "BindingFullFieldHelp", "BindingFullTypeHelp", "BindingFullEventHelp",
                       "BindingFullApiHelp", "BindingAsyncState", "BindingGenericEvent",
                       "BindingCallbackEvent", "BindingGenericAsyncEvent",
                       "BindingAsyncFailureEvent", "BindingAsyncCancelEvent", "Own"}));

  const std::vector<EventDescriptor> events = registry_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "OnCallback");
  EXPECT_EQ(events[0].description, "Fired when a callback is invoked.");
  EXPECT_EQ(events[0].tags, Path{"$builtin"});
  EXPECT_EQ(events[0].payload_type_hash, Hash<BindingCallbackEvent>());
  EXPECT_EQ(events[0].name_space, kBuiltin);
}

TEST_F(BuiltinTypesTest, PayloadsConvertBothWays) {
  BindingCallbackEvent event;
  event.id = 7;
  event.parameters.resize(2);
  event.parameters[0] = "first";
  event.parameters[1]["k"] = int64_t{-3};
  BindingResult result = ToBinding(event, registry_);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(result.value()["id"].GetUnsigned(), 7u);
  EXPECT_EQ(result.value()["parameters"][1]["k"].GetSigned(), -3);

  BindingCallbackEvent back;
  ASSERT_TRUE(FromBinding(result.value(), "event", &back, registry_).ok());
  EXPECT_EQ(back.id, 7u);
  ASSERT_EQ(back.parameters.size(), 2u);
  EXPECT_EQ(back.parameters[0].GetString(), "first");
  EXPECT_EQ(back.parameters[1]["k"].GetSigned(), -3);

  BindingAsyncState state = BindingAsyncState::kNone;
  BindingProperty name;
  name = "Cancelling";
  ASSERT_TRUE(FromBinding(name, "state", &state, registry_).ok());
  EXPECT_EQ(state, BindingAsyncState::kCancelling);
  BindingResult as_binding = ToBinding(state, registry_);
  std::string text;
  ASSERT_TRUE(registry_.FindEnumValueName(as_binding.value().GetEnum().type_hash,
                                          as_binding.value().GetEnum().value, &text));
  EXPECT_EQ(text, "Cancelling");

  BindingFullApiHelp api;
  api.types.push_back({"T", "ns", 4, "d", {"x"}, {{"f", "", 0, {"int32", ""}, false}}, {}});
  result = ToBinding(api, registry_);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(result.value()["types"][0]["fields"][0]["type"]["type"].GetString(), "int32");
  EXPECT_EQ(result.value()["types"][0]["size"].GetUnsigned(), 4u);
}

}  // namespace
}  // namespace Voro
