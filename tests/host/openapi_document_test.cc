// The OpenAPI document built from a small hand-made API table: where each endpoint,
// parameter, type and event lands, read back through JSON pointers.
#include "host/openapi_document.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/pointer.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>
#include <vector>

#include "binding/value/binding_kind.h"

namespace kivhost {
namespace {

// The kind codes as the binding numbers them, so the document follows the plugin's own.
using enum Voro::BindingKind;
constexpr uint32_t K(Voro::BindingKind kind) { return static_cast<uint32_t>(kind); }

constexpr uint32_t kNamed = 0;
constexpr uint32_t kPath = 2;
constexpr uint32_t kBody = 5;

template <typename Record>
const Record* Linked(std::vector<Record>& records) {
  for (size_t i = 0; i + 1 < records.size(); ++i) records[i].next = &records[i + 1];
  return records.empty() ? nullptr : records.data();
}

// A table of the shapes the document must render: a record with required, optional, list,
// map, enumeration and unregistered fields; path, named and body parameters; every method
// form; an endpoint without a path; events, one of them registered twice.
class OpenApiDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    player_fields_ = {
        {.name = "name", .description = "Shown to others.", .kind = K(kString)},
        {.name = "level", .kind = K(kUint16), .optional = 1},
        {.name = "rank", .kind = K(kEnum), .type_name = "Rank"},
        {.name = "titles", .kind = K(kVector), .element_kind = K(kString), .type_name = "string"},
        {.name = "friends", .kind = K(kVector), .element_kind = K(kStruct), .type_name = "Player"},
        {.name = "scores", .kind = K(kMap), .element_kind = K(kInt32), .type_name = "int32"},
        {.name = "guild", .kind = K(kStruct), .type_name = "Guild", .optional = 1},
        {.name = "avatar", .kind = K(kBlob), .optional = 1},
        {.name = "rank", .kind = K(kString)},  // a repeated name: the first one stands
    };
    rank_values_ = {{.name = "BRONZE", .value = 0}, {.name = "SILVER", .value = 1}};
    types_ = {
        {.name = "Player",
         .name_space = "Kiv",
         .description = "One player.",
         .fields = Linked(player_fields_)},
        {.name = "Rank", .name_space = "Kiv", .values = Linked(rank_values_)},
        {.name = "kiv::Stats", .name_space = "Kiv"},
    };

    get_player_parameters_ = {
        {.name = "playerId", .kind = K(kUint64), .optional = 1},  // a path variable is always there
        {.name = "verbose", .description = "More detail.", .kind = K(kBool), .optional = 1},
    };
    get_player_locations_ = {{.location = kNamed}, {.location = kNamed}};
    post_player_parameters_ = {
        {.name = "player",
         .description = "The new player.",
         .kind = K(kStruct),
         .type_name = "Player"},
        {.name = "region", .kind = K(kString)},
    };
    post_player_locations_ = {{.location = kBody}, {.location = kNamed}};
    file_parameters_ = {{.name = "rest", .kind = K(kString)}};
    file_locations_ = {{.location = kPath}};
    static const char* const kTags[] = {"Players", "kiv"};
    endpoints_ = {
        {.name = "GetPlayer",
         .parameters = Linked(get_player_parameters_),
         .return_kind = K(kStruct),
         .return_type_name = "Player",
         .description = "One player.",
         .help = "By id.",
         .tags = kTags,
         .tag_count = 2,
         .locations = Linked(get_player_locations_),
         .path = "/kiv/v1/players/{playerId}",
         .method = KIV_METHOD_GET},
        {.name = "PostPlayer",
         .parameters = Linked(post_player_parameters_),
         .locations = Linked(post_player_locations_),
         .path = "/kiv/v1/players",
         .method = KIV_METHOD_POST},
        {.name = "Ping", .return_kind = K(kString), .path = "/kiv/v1/ping", .method = 0},
        {.name = "GetPingAgain", .path = "/kiv/v1/ping", .method = KIV_METHOD_GET},
        {.name = "PurgePlayers",
         .path = "/kiv/v1/players",
         .method = KIV_METHOD_CUSTOM,
         .method_text = "PURGE"},
        {.name = "GetFile",
         .parameters = Linked(file_parameters_),
         .return_kind = K(kBlob),
         .locations = Linked(file_locations_),
         .path = "/kiv/v1/files/{+rest}",
         .method = KIV_METHOD_GET},
        {.name = "GetGuild",
         .return_kind = K(kStruct),
         .return_type_name = "Guild",
         .path = "/kiv/v1/guilds/{guildId}",
         .method = KIV_METHOD_GET},
        {.name = "Voro", .return_kind = K(kObject), .method = KIV_METHOD_GET},
    };
    events_ = {
        {.name = "OnPlayerJoined",
         .name_space = "Kiv",
         .payload_type_name = "Player",
         .description = "A player came in."},
        {.name = "OnPlayerJoined", .name_space = "Kiv", .payload_type_name = "Player"},
        {.name = "OnPlayerJoined", .name_space = "Voro", .payload_type_name = "Player"},
        {.name = "OnGhost", .name_space = "Kiv", .payload_type_name = "Ghost"},
    };
    table_.endpoints = Linked(endpoints_);
    table_.endpoint_count = static_cast<uint32_t>(endpoints_.size());
    table_.types = Linked(types_);
    table_.type_count = static_cast<uint32_t>(types_.size());
    table_.events = Linked(events_);
    table_.event_count = static_cast<uint32_t>(events_.size());

    text_ = OpenApiDocument(
        table_, {.title = "kiv", .version = "1.2.3", .server_url = "http://127.0.0.1:8080"});
    document_.Parse(text_.c_str());
    ASSERT_FALSE(document_.HasParseError()) << text_;
  }

  // The JSON at `pointer`, compactly written; "<absent>" when there is none.
  std::string At(const std::string& pointer) const {
    const rapidjson::Value* value = rapidjson::Pointer(pointer.c_str()).Get(document_);
    if (value == nullptr) return "<absent>";
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value->Accept(writer);
    return buffer.GetString();
  }

  std::vector<ApiFieldRecord> player_fields_;
  std::vector<ApiEnumValueRecord> rank_values_;
  std::vector<ApiTypeRecord> types_;
  std::vector<ApiParameterRecord> get_player_parameters_, post_player_parameters_, file_parameters_;
  std::vector<ApiParameterLocation> get_player_locations_, post_player_locations_, file_locations_;
  std::vector<ApiEndpointRecord> endpoints_;
  std::vector<ApiEventRecord> events_;
  ApiTable table_{};
  std::string text_;
  rapidjson::Document document_;
};

struct Row {
  std::string pointer;
  std::string json;  // compact, members in the order written; "<absent>" for none
};

// Where each part of the table lands, read back at its JSON pointer.
TEST_F(OpenApiDocumentTest, EachPartLandsAtItsPointer) {
  const std::string get = "/paths/~1kiv~1v1~1players~1{playerId}/get";
  const std::string players = "/paths/~1kiv~1v1~1players";
  const std::string post = players + "/post";
  const std::string ping = "/paths/~1kiv~1v1~1ping";
  const std::string file = "/paths/~1kiv~1v1~1files~1{rest}";
  const std::string guild = "/paths/~1kiv~1v1~1guilds~1{guildId}/get";
  const std::string json = "/content/application~1json/schema";
  const std::string player = "/components/schemas/Player";
  const std::string player_ref = R"({"schema":{"$ref":"#/components/schemas/Player"}})";
  const std::string error =
      R"({"description":"The endpoint failed, with the status it set and its error text.",)"
      R"("content":{"application/json":{"schema":{"$ref":"#/components/schemas/EndpointError"}}}})";
  const Row rows[] = {
      // The header: info, server and tags.
      {"/openapi", R"("3.0.3")"},
      {"/info", R"({"title":"kiv","version":"1.2.3"})"},
      {"/servers", R"([{"url":"http://127.0.0.1:8080"}])"},
      {"/tags", R"([{"name":"Players"},{"name":"kiv"}])"},
      // Parameters go where the server reads them. A named parameter that a path variable
      // fills is a path parameter.
      {get + "/parameters/0", R"({"name":"playerId","in":"path","required":true,)"
                              R"("schema":{"type":"integer","format":"uint64","minimum":0,)"
                              R"("maximum":18446744073709551615}})"},
      // Named arguments arrive from the query as JSON text.
      {get + "/parameters/1",
       R"({"name":"verbose","in":"query","description":"More detail.","required":false,)"
       R"("content":{"application/json":{"schema":{"type":"boolean"}}}})"},
      {get + "/parameters/2", "<absent>"},
      {post + "/parameters", R"([{"name":"region","in":"query","required":true,)"
                             R"("content":{"application/json":{"schema":{"type":"string"}}}}])"},
      {post + "/requestBody/description", R"("The new player.")"},
      {post + "/requestBody/required", "true"},
      {post + "/requestBody/content/application~1json", player_ref},
      {post + "/requestBody/content/application~1x-msgpack", player_ref},
      {post + "/requestBody/content/application~1x-yaml", player_ref},
      {get + "/requestBody", "<absent>"},
      // Operations follow their methods and paths.
      {get + "/operationId", R"("GetPlayer")"},
      {get + "/summary", R"("One player.")"},
      {get + "/description", R"("By id.")"},
      {get + "/tags", R"(["Players","kiv"])"},
      // Any method: listed under get and post, one operation id each. The later GET on
      // the same path never answers: the first endpoint keeps the operation.
      {ping + "/get/operationId", R"("Ping")"},
      {ping + "/get/x-any-method", "true"},
      {ping + "/post/operationId", R"("Ping_post")"},
      {ping + "/post/x-any-method", "true"},
      {ping + "/put", "<absent>"},
      // A custom method sits beside the standard ones, under an extension.
      {post + "/operationId", R"("PostPlayer")"},
      {players + "/x-custom-methods/PURGE/operationId", R"("PurgePlayers")"},
      {players + "/PURGE", "<absent>"},
      // "{+rest}" is written "{rest}" and the original kept.
      {file + "/x-path-template", R"("/kiv/v1/files/{+rest}")"},
      {file + "/get/parameters/0/name", R"("rest")"},
      {file + "/get/parameters/0/in", R"("path")"},
      // A variable the function does not declare is still a path parameter, of text.
      {guild + "/parameters",
       R"([{"name":"guildId","in":"path","required":true,"schema":{"type":"string"}}])"},
      // An endpoint without a path is found at "/" + its name.
      {"/paths/~1Voro/get/operationId", R"("Voro")"},
      // Responses carry the return type and the error.
      {get + "/responses/200" + json, R"({"$ref":"#/components/schemas/Player"})"},
      {get + "/responses/default", error},
      // No return value: no content.
      {post + "/responses/200", R"({"description":"Done; the answer carries no value."})"},
      {post + "/responses/default", error},
      {file + "/get/responses/200" + json, R"({"type":"string","format":"byte"})"},
      // An unregistered return type is any value rather than a dangling reference.
      {guild + "/responses/200" + json, "{}"},
      {"/paths/~1Voro/get/responses/200" + json, "{}"},
      {"/components/schemas/EndpointError",
       R"({"type":"object","properties":{"httpStatus":{"type":"integer"},"message":{"type":"string"}},)"
       R"("required":["httpStatus","message"]})"},
      // Types become schemas.
      {player + "/type", R"("object")"},
      {player + "/description", R"("One player.")"},
      {player + "/required", R"(["name","rank","titles","friends","scores"])"},
      {player + "/properties/name", R"({"type":"string","description":"Shown to others."})"},
      {player + "/properties/level",
       R"({"type":"integer","format":"uint16","minimum":0,"maximum":65535})"},
      {player + "/properties/rank", R"({"$ref":"#/components/schemas/Rank"})"},
      {player + "/properties/titles", R"({"type":"array","items":{"type":"string"}})"},
      {player + "/properties/friends",
       R"({"type":"array","items":{"$ref":"#/components/schemas/Player"}})"},
      {player + "/properties/scores",
       R"({"type":"object","additionalProperties":{"type":"integer","format":"int32"}})"},
      {player + "/properties/guild", "{}"},
      {player + "/properties/avatar", R"({"type":"string","format":"byte"})"},
      // Enumerations travel by name.
      {"/components/schemas/Rank", R"({"type":"string","enum":["BRONZE","SILVER"]})"},
      // Names a component key cannot hold are spelled with '_'.
      {"/components/schemas/kiv__Stats", R"({"type":"object","properties":{}})"},
      // Events are listed once each with their payloads.
      {"/x-events/OnPlayerJoined",
       R"({"payload":{"$ref":"#/components/schemas/Player"},"description":"A player came in.",)"
       R"("nameSpace":"Kiv"})"},
      {"/x-events/Voro::OnPlayerJoined",
       R"({"payload":{"$ref":"#/components/schemas/Player"},"nameSpace":"Voro"})"},
      {"/x-events/OnGhost", R"({"payload":{},"nameSpace":"Kiv"})"},
  };
  for (const Row& row : rows) EXPECT_EQ(At(row.pointer), row.json) << row.pointer;
  EXPECT_EQ(document_["x-events"].MemberCount(), 3u) << At("/x-events");
}

// Every reference anywhere in the document points at a schema it holds.
void ExpectRefsResolve(const rapidjson::Value& value, const rapidjson::Document& document,
                       int* count) {
  if (value.IsArray()) {
    for (const auto& element : value.GetArray()) ExpectRefsResolve(element, document, count);
  } else if (value.IsObject()) {
    for (const auto& member : value.GetObject()) {
      if (std::string(member.name.GetString()) == "$ref" && member.value.IsString()) {
        const std::string ref = member.value.GetString();
        ++*count;
        ASSERT_EQ(ref.rfind("#/", 0), 0u) << ref;
        EXPECT_NE(rapidjson::Pointer(ref.substr(1).c_str()).Get(document), nullptr) << ref;
      } else {
        ExpectRefsResolve(member.value, document, count);
      }
    }
  }
}

TEST_F(OpenApiDocumentTest, NoReferenceDangles) {
  int count = 0;
  ExpectRefsResolve(document_, document_, &count);
  EXPECT_GT(count, 10);
}

}  // namespace
}  // namespace kivhost
