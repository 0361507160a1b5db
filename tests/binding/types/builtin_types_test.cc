#include "binding/types/builtin_types.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/value/binding_abi.h"
#include "binding/types/native_conversion.h"
#include "support/binding_values.h"

namespace Voro {
namespace {

class BuiltinTypesTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterBuiltinTypes(registry_); }
  TypeRegistry registry_;
};

TEST_F(BuiltinTypesTest, CallbackPayloadRoundTripsUnderItsFieldNames) {
  BindingCallbackEvent event;
  event.id = 7;
  event.parameters.resize(2);
  event.parameters[0] = "alice";
  event.parameters[1]["rank"] = int64_t{-3};
  BindingResult result = ToBinding(event, registry_);
  EXPECT_EQ(result.value()["id"].GetUnsigned(), 7u);
  EXPECT_EQ(result.value()["parameters"][1]["rank"].GetSigned(), -3);
  BindingCallbackEvent back;
  ASSERT_TRUE(FromBinding(result.value(), "event", &back, registry_).ok());
  EXPECT_EQ(back.id, 7u);
  EXPECT_EQ(back.parameters, event.parameters);

  const std::vector<EventDescriptor> events = registry_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "OnCallback");
  EXPECT_EQ(events[0].payload_type_hash, StaticType::HashCode<BindingCallbackEvent>().hash);
}

TEST_F(BuiltinTypesTest, AsyncStatesReadAndReachTheHostByName) {
  for (const char* name : {"None", "Running", "Cancelling", "Cancelled", "Succeeded", "Failed"}) {
    SCOPED_TRACE(name);
    BindingAsyncState state = BindingAsyncState::kNone;
    ASSERT_TRUE(FromBinding(testing::Str(name), "state", &state, registry_).ok());
    BindingAbiValue abi{};
    ToAbiValue(ToBinding(state, registry_).value(), &abi, &registry_);
    ASSERT_EQ(abi.tag, uint32_t{KIV_ABI_STRING_OWNED});
    EXPECT_STREQ(static_cast<const char*>(abi.payload.ref.pointer), name);
    ReleaseAbiValue(&abi);
  }
  BindingAsyncState state = BindingAsyncState::kCancelling;
  EXPECT_EQ(FromBinding(testing::Str("cancelling"), "state", &state, registry_).error(),
            "cancelling is not a valid BindingAsyncState enumeration value for 'state'.");
  EXPECT_EQ(FromBinding(testing::Signed(6), "state", &state, registry_).error(),
            "6 is not a valid BindingAsyncState enumeration value for 'state'.");
  EXPECT_EQ(state, BindingAsyncState::kCancelling);
}

TEST_F(BuiltinTypesTest, ApiHelpCarriesTheKeysItsReadersExpect) {
  BindingFullApiHelp api;
  api.types.push_back({"Rank", "kiv", 4, "d", {"voro"}, {{"f", "", 0, {"int32", ""}, false}}, {}});
  api.functions.push_back({"Login", "kiv", {}, {"string", ""}, "", "", true, "", {}});
  BindingResult result = ToBinding(api, registry_);
  const BindingProperty& type = result.value()["types"][0];
  EXPECT_EQ(type["fields"][0]["type"]["type"].GetString(), "int32");
  EXPECT_EQ(type["fields"][0]["type"]["elementType"].type(), BindingType::kString);
  EXPECT_EQ(type["nameSpace"].GetString(), "kiv");
  EXPECT_EQ(type["size"].GetUnsigned(), 4u);
  EXPECT_TRUE(result.value()["functions"][0]["threadSafe"].GetBool());

  BindingFullApiHelp back;
  ASSERT_TRUE(FromBinding(result.value(), "api", &back, registry_).ok());
  ASSERT_EQ(back.types.size(), 1u);
  EXPECT_EQ(back.types[0].tags, std::vector<std::string>{"voro"});
  EXPECT_EQ(back.types[0].fields[0].type.type, "int32");
  EXPECT_EQ(back.functions[0].returns.type, "string");
}

}  // namespace
}  // namespace Voro
