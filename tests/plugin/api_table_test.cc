// The API table as the host reads it: descriptor word 6, linked records with counts, and
// endpoint calls through the records' callback and registration context.
#include "binding/api_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding/binding_abi.h"
#include "binding/json_writer.h"
#include "binding/record_builder.h"
#include "plugin/app_module.h"
#include "plugin/plugin_runtime.h"

namespace Voro {
namespace {

enum class Mood : int32_t { kCalm = 0, kAngry = 3 };

struct Wallet {
  int64_t ip = 0;
  int64_t vp = 0;
};

struct Session {
  Mood state = Mood::kCalm;
  std::string username;
  std::optional<uint64_t> summonerId;
  std::vector<std::string> scopes;
};

const std::vector<std::string> kApi = {"Voro", "Client", "Api"};

class TableModule : public AppModule {
 public:
  void RegisterApi() override {
    registry()
        .Enum<Mood>(kApi, "Mood")
        .Description("How it goes.")
        .Value("CALM", Mood::kCalm, "All is well")
        .Value("ANGRY", Mood::kAngry);
    registry().Record<Wallet>(kApi, "Wallet").Field("ip", &Wallet::ip).Field("vp", &Wallet::vp);
    registry()
        .Record<Session>(kApi, "Session")
        .Description("A session.")
        .Field("state", &Session::state, "Its state")
        .Field("username", &Session::username)
        .Field("summonerId", &Session::summonerId)
        .Field("scopes", &Session::scopes);
    registry().AddEvent({"OnMood", kApi, StaticType::HashCode<Session>().hash, "Mood changed", {}});

    router()
        .Declare(KIV_METHOD_GET, "/t/v1/session")
        .Description("The session.")
        .Help("Returns the session.")
        .Handle([]() -> EndpointReply<Session> {
          return Session{Mood::kAngry, "me", std::nullopt, {"a"}};
        });
    router()
        .Declare(KIV_METHOD_POST, "/t/v1/session/{id}/{+rest}")
        .Parameter("id", "Session id", ParameterLocation::kPath)
        .Parameter("rest", "", ParameterLocation::kPath)
        .Parameter("wallet", "The wallet", ParameterLocation::kBody)
        .Parameter("flag")
        .Tag("Extra")
        .Handle([](std::string id, std::string rest, Wallet wallet,
                   std::optional<bool> flag) -> std::vector<Session> {
          return {Session{Mood::kCalm,
                          id + "|" + rest + "|" + std::to_string(wallet.ip) + "|" +
                              (flag ? (*flag ? "t" : "f") : "-"),
                          std::nullopt,
                          {}}};
        });
  }
};

// What a host learns from one array: the records in link order; the chain must end after
// exactly `count` records.
template <typename Record>
std::vector<const Record*> Walk(const Record* first, uint32_t count) {
  std::vector<const Record*> records;
  for (const Record* r = first; r != nullptr && records.size() <= count; r = r->next) {
    records.push_back(r);
  }
  EXPECT_EQ(records.size(), count);
  return records;
}

std::vector<std::string> Texts(const char* const* texts, uint32_t count) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < count; ++i) out.emplace_back(texts[i]);
  return out;
}

class ApiTableTest : public ::testing::Test {
 protected:
  ApiTableTest() {
    descriptor_.major = 17;
    descriptor_.minor = 1;
    created_ = PluginRuntime::Create(&descriptor_, std::make_unique<TableModule>(), "kiv-test");
  }
  ~ApiTableTest() override {
    if (created_) descriptor_.callbacks->Shutdown(descriptor_.module);
  }
  const ApiTable& table() const { return *descriptor_.api; }
  AppModule* module() const { return static_cast<AppModule*>(descriptor_.module); }

  PluginDescriptor descriptor_{};
  bool created_ = false;
};

const std::vector<std::string> kHelpTags = {"Plugins", "Plugin kiv-test"};

TEST_F(ApiTableTest, EndpointRecordsDescribeTheDeclaredFunctions) {
  ASSERT_TRUE(created_);
  ASSERT_NE(descriptor_.api, nullptr);
  EXPECT_EQ(descriptor_.api, module()->api_table());
  auto endpoints = Walk(table().endpoints, table().endpoint_count);
  ASSERT_EQ(endpoints.size(), 2u);

  const ApiEndpointRecord& get = *endpoints[0];
  EXPECT_EQ(get.zero, 0u);
  EXPECT_STREQ(get.name, "GetTV1Session");
  EXPECT_STREQ(get.name_space, "");
  EXPECT_STREQ(get.path, "/t/v1/session");
  EXPECT_EQ(get.method, static_cast<uint32_t>(KIV_METHOD_GET));
  EXPECT_STREQ(get.method_text, "");
  EXPECT_EQ(get.parameter_count, 0u);
  EXPECT_EQ(get.parameters, nullptr);
  EXPECT_EQ(get.locations, nullptr);
  EXPECT_EQ(get.return_kind, static_cast<uint32_t>(BindingKind::kStruct));
  EXPECT_EQ(get.return_element_kind, 0u);
  EXPECT_STREQ(get.return_type_name, "Session");
  EXPECT_STREQ(get.description, "The session.");
  EXPECT_STREQ(get.help, "Returns the session.");
  EXPECT_EQ(get.thread_safe, 0);
  EXPECT_STREQ(get.async_type_name, "");
  EXPECT_EQ(Texts(get.tags, get.tag_count), kHelpTags);
  EXPECT_EQ(get.callback, &EndpointRouter::RequestCallback);
  EXPECT_NE(get.context, nullptr);
  EXPECT_EQ(get.extra, 0u);
  EXPECT_EQ(get.text_list_count, 0u);
  EXPECT_EQ(get.text_lists, nullptr);

  const ApiEndpointRecord& post = *endpoints[1];
  EXPECT_STREQ(post.name, "PostTV1SessionByIdByRest");
  EXPECT_EQ(post.method, static_cast<uint32_t>(KIV_METHOD_POST));
  EXPECT_EQ(post.return_kind, static_cast<uint32_t>(BindingKind::kVector));
  EXPECT_EQ(post.return_element_kind, static_cast<uint32_t>(BindingKind::kStruct));
  EXPECT_STREQ(post.return_type_name, "Session");
  EXPECT_EQ(Texts(post.tags, post.tag_count),
            (std::vector<std::string>{"Plugins", "Plugin kiv-test", "Extra"}));

  struct ParameterRow {
    const char* name;
    const char* description;
    BindingKind kind;
    const char* type_name;
    uint8_t optional;
    uint32_t location;
  };
  const ParameterRow rows[] = {
      {"id", "Session id", BindingKind::kString, "", 0, 2},
      {"rest", "", BindingKind::kString, "", 0, 2},
      {"wallet", "The wallet", BindingKind::kStruct, "Wallet", 0, 5},
      {"flag", "", BindingKind::kBool, "", 1, 0},
  };
  auto parameters = Walk(post.parameters, post.parameter_count);
  auto locations = Walk(post.locations, post.parameter_count);
  ASSERT_EQ(parameters.size(), std::size(rows));
  for (size_t i = 0; i < parameters.size(); ++i) {
    EXPECT_STREQ(parameters[i]->name, rows[i].name);
    EXPECT_STREQ(parameters[i]->description, rows[i].description);
    EXPECT_EQ(parameters[i]->kind, static_cast<uint32_t>(rows[i].kind));
    EXPECT_EQ(parameters[i]->element_kind, 0u);
    EXPECT_STREQ(parameters[i]->type_name, rows[i].type_name);
    EXPECT_EQ(parameters[i]->optional, rows[i].optional);
    EXPECT_EQ(locations[i]->location, rows[i].location) << rows[i].name;
  }
  auto lists = Walk(post.text_lists, post.text_list_count);
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(Texts(lists[0]->texts, lists[0]->count), (std::vector<std::string>{"id", "rest"}));
}

// Calls an endpoint exactly as the host does: through the record's callback with its
// registration context, and reads the response before releasing it.
std::string CallThroughRecord(const ApiEndpointRecord& record, uint32_t method, const char* path,
                              const char* content_type = nullptr, std::string body = {},
                              int32_t* status = nullptr) {
  HostRequest request{};
  request.method = method;
  request.path = path;
  request.context = record.context;
  request.content_type = content_type;
  request.body = body.empty() ? nullptr : body.data();
  request.body_length = static_cast<uint32_t>(body.size());
  HostResponse response{};
  record.callback(&response, &request);
  std::string out;
  if (response.failed != 0) {
    out = std::string("error: ") + response.error_text;
  } else {
    BindingResult value = FromAbiValue(response.body, "<result>");
    out = WriteJson(value.value());
  }
  if (status != nullptr) *status = response.status_code;
  response.release(&response);
  return out;
}

TEST_F(ApiTableTest, HostCallsThroughTheRecords) {
  ASSERT_TRUE(created_);
  auto endpoints = Walk(table().endpoints, table().endpoint_count);
  ASSERT_EQ(endpoints.size(), 2u);
  EXPECT_EQ(CallThroughRecord(*endpoints[0], KIV_METHOD_GET, "/t/v1/session"),
            R"({"scopes":["a"],"state":"ANGRY","username":"me"})");
  EXPECT_EQ(CallThroughRecord(*endpoints[1], KIV_METHOD_POST, "/t/v1/session/s%201/a/b",
                              "application/json", R"({"ip":5})"),
            R"([{"scopes":[],"state":"CALM","username":"s 1|a/b|5|-"}])");
  int32_t status = 0;
  EXPECT_EQ(
      CallThroughRecord(*endpoints[0], KIV_METHOD_POST, "/t/v1/session", nullptr, {}, &status),
      "error: Invalid function");
  EXPECT_EQ(status, 404);
  EXPECT_EQ(CallThroughRecord(*endpoints[1], KIV_METHOD_POST, "/t/v1/session/1/2"),
            "error: A value for 'wallet' is required.");
}

TEST_F(ApiTableTest, TypeRecordsFollowTheRegistry) {
  ASSERT_TRUE(created_);
  std::vector<const TypeDescriptor*> registered = module()->registry().Types();
  auto types = Walk(table().types, table().type_count);
  ASSERT_EQ(types.size(), registered.size());
  for (size_t i = 0; i < types.size(); ++i) {
    EXPECT_EQ(types[i]->name, registered[i]->name);
    EXPECT_EQ(types[i]->name_space, registered[i]->QualifiedNameSpace());
    EXPECT_EQ(types[i]->size, registered[i]->size);
  }
  // Builtins come first and keep only their own tag.
  EXPECT_STREQ(types[0]->name, "BindingHelpFormat");
  EXPECT_STREQ(types[0]->name_space, "$builtin::help");
  EXPECT_EQ(Texts(types[0]->tags, types[0]->tag_count), std::vector<std::string>{"$builtin"});

  const ApiTypeRecord* session = nullptr;
  const ApiTypeRecord* mood = nullptr;
  for (const ApiTypeRecord* type : types) {
    if (std::string(type->name) == "Session") session = type;
    if (std::string(type->name) == "Mood") mood = type;
  }
  ASSERT_NE(session, nullptr);
  ASSERT_NE(mood, nullptr);
  EXPECT_LT(mood, session);  // registration order
  EXPECT_STREQ(session->name_space, "Voro::Client::Api");
  EXPECT_STREQ(session->description, "A session.");
  EXPECT_EQ(session->size, sizeof(Session));
  EXPECT_EQ(Texts(session->tags, session->tag_count), kHelpTags);
  EXPECT_EQ(session->values, nullptr);

  Session probe;
  auto offset = [&](const void* field) {
    return static_cast<uint32_t>(static_cast<const char*>(field) -
                                 reinterpret_cast<const char*>(&probe));
  };
  struct FieldRow {
    const char* name;
    const char* description;
    uint32_t offset;
    BindingKind kind;
    BindingKind element_kind;
    const char* type_name;
    uint8_t optional;
  };
  const FieldRow rows[] = {
      {"state", "Its state", offset(&probe.state), BindingKind::kEnum, BindingKind::kNone, "Mood",
       0},
      {"username", "", offset(&probe.username), BindingKind::kString, BindingKind::kNone, "", 0},
      {"summonerId", "", offset(&probe.summonerId), BindingKind::kUint64, BindingKind::kNone, "",
       1},
      {"scopes", "", offset(&probe.scopes), BindingKind::kVector, BindingKind::kString, "string",
       0},
  };
  auto fields = Walk(session->fields, session->member_count);
  ASSERT_EQ(fields.size(), std::size(rows));
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_STREQ(fields[i]->name, rows[i].name);
    EXPECT_STREQ(fields[i]->description, rows[i].description);
    EXPECT_EQ(fields[i]->offset, rows[i].offset) << rows[i].name;
    EXPECT_EQ(fields[i]->kind, static_cast<uint32_t>(rows[i].kind)) << rows[i].name;
    EXPECT_EQ(fields[i]->element_kind, static_cast<uint32_t>(rows[i].element_kind));
    EXPECT_STREQ(fields[i]->type_name, rows[i].type_name);
    EXPECT_EQ(fields[i]->optional, rows[i].optional) << rows[i].name;
  }

  EXPECT_EQ(mood->fields, nullptr);
  EXPECT_EQ(mood->size, sizeof(Mood));
  EXPECT_STREQ(mood->description, "How it goes.");
  auto values = Walk(mood->values, mood->member_count);
  ASSERT_EQ(values.size(), 2u);
  // Enumeration values are kept by name.
  EXPECT_STREQ(values[0]->name, "ANGRY");
  EXPECT_EQ(values[0]->value, 3);
  EXPECT_STREQ(values[0]->description, "");
  EXPECT_STREQ(values[1]->name, "CALM");
  EXPECT_EQ(values[1]->value, 0);
  EXPECT_STREQ(values[1]->description, "All is well");
}

TEST_F(ApiTableTest, EventRecordsNameTheirPayloads) {
  ASSERT_TRUE(created_);
  std::vector<EventDescriptor> registered = module()->registry().Events();
  auto events = Walk(table().events, table().event_count);
  ASSERT_EQ(events.size(), registered.size());
  EXPECT_STREQ(events[0]->name, "OnCallback");
  EXPECT_STREQ(events[0]->payload_type_name, "BindingCallbackEvent");
  EXPECT_EQ(Texts(events[0]->tags, events[0]->tag_count), std::vector<std::string>{"$builtin"});
  const ApiEventRecord& mine = *events.back();
  EXPECT_STREQ(mine.name, "OnMood");
  EXPECT_STREQ(mine.name_space, "Voro::Client::Api");
  EXPECT_STREQ(mine.payload_type_name, "Session");
  EXPECT_STREQ(mine.description, "Mood changed");
  EXPECT_EQ(Texts(mine.tags, mine.tag_count), kHelpTags);
}

TEST(ApiTableStorageTest, AnEmptyApiHasNullArraysAndZeroCounts) {
  TypeRegistry registry;
  EndpointRouter router(&registry);
  std::unique_ptr<ApiTableStorage> storage = ApiTableStorage::Build(registry, router, {});
  const ApiTable& table = storage->table();
  EXPECT_EQ(table.endpoints, nullptr);
  EXPECT_EQ(table.endpoint_count, 0u);
  EXPECT_EQ(table.types, nullptr);
  EXPECT_EQ(table.type_count, 0u);
  EXPECT_EQ(table.events, nullptr);
  EXPECT_EQ(table.event_count, 0u);
}

}  // namespace
}  // namespace Voro
