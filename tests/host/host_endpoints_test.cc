#include "host/host_endpoints.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/abi_value.h"
#include "host/host_session.h"

namespace kivhost {
namespace {

// A response that is released when the test ends, as the plugin would.
struct Answered {
  HostResponse response{};
  Answered() = default;
  Answered(const Answered&) = delete;
  ~Answered() {
    if (response.release != nullptr) response.release(&response);
  }
  std::string Body() const {
    std::string json;
    std::string error;
    EXPECT_TRUE(AbiToJson(response.body, &json, &error)) << error;
    return json;
  }
};

void Send(HostEndpoints& endpoints, uint32_t method, const char* path, Answered* out,
          const BindingAbiNamedValue* arguments = nullptr, uint32_t count = 0) {
  HostRequest request{};
  request.method = method;
  request.path = path;
  request.arguments = arguments;
  request.argument_count = count;
  endpoints.Answer(request, &out->response);
  ASSERT_NE(out->response.release, nullptr);
}

// The field `key` of a structure; an empty value when there is none.
const BindingAbiValue* Field(const BindingAbiValue* value, const char* key) {
  static const BindingAbiValue kEmpty{};
  if (value->tag != KIV_ABI_STRUCTURE) return &kEmpty;
  const auto* entries = static_cast<const BindingAbiStructEntry*>(value->payload.ref.pointer);
  for (uint32_t i = 0; i < value->payload.ref.count; ++i) {
    if (std::strcmp(entries[i].key, key) == 0) return &entries[i].value;
  }
  return &kEmpty;
}

std::string Get(HostEndpoints& endpoints, const char* path) {
  Answered answer;
  Send(endpoints, KIV_METHOD_GET, path, &answer);
  EXPECT_EQ(answer.response.failed, 0u) << path << ": " << answer.response.error_text;
  EXPECT_EQ(answer.response.error_text, nullptr);
  return answer.Body();
}

TEST(HostEndpointsTest, DefaultHandlersAnswerAsAClientCore) {
  HostEndpoints endpoints;
  EXPECT_EQ(Get(endpoints, "/voroclient/command-line-args"), "{}");
  endpoints.SetCommandLineArgs({{"auto-login-username", "alice"},
                                {"auto-login-password", "x\"y"},
                                {"auto-login-username", "bob"}});
  EXPECT_EQ(Get(endpoints, "/voroclient/command-line-args"),
            R"({"auto-login-password":"x\"y","auto-login-username":"bob"})");
  EXPECT_EQ(Get(endpoints, "/data-store/v1/install-settings/globals"), R"({"region":"local"})");
  EXPECT_EQ(Get(endpoints, "/data-store/v1/system-settings/region_data"),
            R"({"local":{"qsa_platform_id":"","servers":{"lcds":{"login_queue_url":)"
            R"("https://127.0.0.1:8443","lcds_host":"127.0.0.1","lcds_port":2099,)"
            R"("use_tls":false}}}})");
  EXPECT_EQ(Get(endpoints, "/plugin-manager/v1/status"), R"({"state":"NotReady"})");
  endpoints.SetPluginState("PluginsInitialized");
  EXPECT_EQ(Get(endpoints, "/plugin-manager/v1/status"), R"({"state":"PluginsInitialized"})");
  EXPECT_EQ(Get(endpoints, "/voroclient/pre-shutdown/begin"), "{}");

  // The port is a signed integer and use_tls a bool, as the plugin reads them.
  Answered region;
  Send(endpoints, KIV_METHOD_GET, "/data-store/v1/system-settings/region_data", &region);
  const BindingAbiValue* lcds =
      Field(Field(Field(&region.response.body, "local"), "servers"), "lcds");
  EXPECT_EQ(Field(lcds, "lcds_port")->tag, static_cast<uint32_t>(KIV_ABI_SIGNED));
  EXPECT_EQ(Field(lcds, "lcds_port")->payload.i64, 2099);
  EXPECT_EQ(Field(lcds, "use_tls")->tag, static_cast<uint32_t>(KIV_ABI_BOOL));
}

TEST(HostEndpointsTest, UnknownEndpointsAnswer404) {
  HostEndpoints endpoints;
  struct Case {
    uint32_t method;
    const char* path;
    const char* text;
  };
  for (const Case& c : {
           Case{KIV_METHOD_GET, "/nowhere", "kivhost has no endpoint GET /nowhere"},
           Case{KIV_METHOD_POST, "/voroclient/command-line-args",
                "kivhost has no endpoint POST /voroclient/command-line-args"},
           Case{KIV_METHOD_GET, "/voroclient/command-line-args?x=1",
                "kivhost has no endpoint GET /voroclient/command-line-args?x=1"},
           // A prefix needs a name after it.
           Case{KIV_METHOD_POST, "/telemetry/v1/events/",
                "kivhost has no endpoint POST /telemetry/v1/events/"},
           Case{KIV_METHOD_GET, "/telemetry/v1/events/x",
                "kivhost has no endpoint GET /telemetry/v1/events/x"},
       }) {
    Answered answer;
    Send(endpoints, c.method, c.path, &answer);
    EXPECT_EQ(answer.response.failed, 1u) << c.path;
    EXPECT_EQ(answer.response.status_code, 404) << c.path;
    EXPECT_STREQ(answer.response.error_text, c.text);
    EXPECT_EQ(answer.response.body.tag, static_cast<uint32_t>(KIV_ABI_EMPTY));
  }
  HostRequest custom{};
  custom.method = KIV_METHOD_CUSTOM;
  custom.method_text = "PROPFIND";
  custom.path = "/dav";
  Answered answer;
  endpoints.Answer(custom, &answer.response);
  EXPECT_STREQ(answer.response.error_text, "kivhost has no endpoint PROPFIND /dav");
}

TEST(HostEndpointsTest, ReplacedHandlersSeeTheRequest) {
  HostEndpoints endpoints;
  EndpointRequest seen;
  endpoints.Set("GET", "/voroclient/command-line-args", [&](const EndpointRequest& request) {
    seen = request;
    return EndpointReply::Json(R"({"garena-plus-token":"t"})");
  });
  endpoints.Set("POST", "/qsa-auth/v1/authorization/gas",
                [](const EndpointRequest&) { return EndpointReply::Error(403, "no entry"); });

  BindingAbiNamedValue arguments[1] = {};
  arguments[0].name = "count";
  arguments[0].value.tag = KIV_ABI_UNSIGNED;
  arguments[0].value.payload.u64 = 3;
  HostRequest request{};
  request.method = KIV_METHOD_GET;
  request.path = "/voroclient/command-line-args";
  request.arguments = arguments;
  request.argument_count = 1;
  request.content_type = "application/json";
  request.body = "{}";
  request.body_length = 2;
  Answered replaced;
  endpoints.Answer(request, &replaced.response);
  EXPECT_EQ(replaced.Body(), R"({"garena-plus-token":"t"})");
  EXPECT_EQ(seen.method, "GET");
  EXPECT_EQ(seen.path, "/voroclient/command-line-args");
  EXPECT_EQ(seen.arguments, R"({"count":3})");
  EXPECT_EQ(seen.content_type, "application/json");
  EXPECT_EQ(seen.body, "{}");
  EXPECT_EQ(seen.rest, "");

  Answered refused;
  Send(endpoints, KIV_METHOD_POST, "/qsa-auth/v1/authorization/gas", &refused);
  EXPECT_EQ(refused.response.failed, 1u);
  EXPECT_EQ(refused.response.status_code, 403);
  EXPECT_STREQ(refused.response.error_text, "no entry");

  endpoints.Set("POST", "/qsa-auth/v1/authorization/gas", nullptr);
  Answered removed;
  Send(endpoints, KIV_METHOD_POST, "/qsa-auth/v1/authorization/gas", &removed);
  EXPECT_EQ(removed.response.status_code, 404);

  ASSERT_EQ(endpoints.requests().size(), 3u);
  EXPECT_EQ(endpoints.requests()[1].path, "/qsa-auth/v1/authorization/gas");
}

TEST(HostEndpointsTest, FaultsInHandlersAndArgumentsAreErrors) {
  HostEndpoints endpoints;
  endpoints.Set("GET", "/bad-json",
                [](const EndpointRequest&) { return EndpointReply::Json("{not json"); });
  endpoints.Set("GET", "/throws",
                [](const EndpointRequest&) -> EndpointReply { throw std::runtime_error("boom"); });
  Answered bad_json;
  Send(endpoints, KIV_METHOD_GET, "/bad-json", &bad_json);
  EXPECT_EQ(bad_json.response.status_code, 500);
  EXPECT_EQ(std::string(bad_json.response.error_text)
                .rfind("kivhost endpoint failed: GET /bad-json: invalid JSON at offset 1", 0),
            0u)
      << bad_json.response.error_text;
  Answered thrown;
  Send(endpoints, KIV_METHOD_GET, "/throws", &thrown);
  EXPECT_EQ(thrown.response.status_code, 500);
  EXPECT_STREQ(thrown.response.error_text, "kivhost endpoint failed: boom");

  BindingAbiNamedValue arguments[1] = {};
  arguments[0].name = "x";
  arguments[0].value.tag = 99;
  Answered unreadable;
  Send(endpoints, KIV_METHOD_GET, "/voroclient/command-line-args", &unreadable, arguments, 1);
  EXPECT_EQ(unreadable.response.status_code, 400);
  EXPECT_STREQ(unreadable.response.error_text,
               "kivhost cannot read the arguments of GET /voroclient/command-line-args: "
               "unknown value tag 99");
}

TEST(HostEndpointsTest, ReleaseZeroesTheRecord) {
  HostEndpoints endpoints;
  for (const char* path : {"/data-store/v1/system-settings/region_data", "/nowhere"}) {
    HostResponse response{};
    HostRequest request{};
    request.method = KIV_METHOD_GET;
    request.path = path;
    endpoints.Answer(request, &response);
    ASSERT_NE(response.release, nullptr);
    response.release(&response);
    static const HostResponse kZero{};
    EXPECT_EQ(std::memcmp(&response, &kZero, sizeof(response)), 0) << path;
  }
}

// Reads a streamed response to its end with the given capacity, noting each call.
struct Read {
  uint32_t size;
  bool more;
};
std::vector<Read> ReadAll(const HostResponse& response, uint32_t capacity, std::string* data) {
  std::vector<Read> reads;
  std::vector<char> buffer(capacity);
  bool more = true;
  while (more && reads.size() < 100000) {
    uint32_t size = capacity;
    EXPECT_TRUE(response.stream_read(response.stream_context, buffer.data(), &size, &more));
    data->append(buffer.data(), size);
    reads.push_back({size, more});
  }
  return reads;
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i % 26);
  return data;
}

TEST(HostEndpointsTest, StreamedBodiesInFullChunks) {
  HostEndpoints endpoints;
  const std::string data = Pattern(10000);
  endpoints.Set("GET", "/big", [&](const EndpointRequest&) {
    return EndpointReply::Stream(StreamedBody{data, {4096}, std::nullopt, std::nullopt});
  });
  Answered answer;
  Send(endpoints, KIV_METHOD_GET, "/big", &answer);
  ASSERT_NE(answer.response.stream_read, nullptr);
  ASSERT_NE(answer.response.stream_close, nullptr);
  EXPECT_EQ(answer.response.failed, 0u);
  EXPECT_EQ(answer.response.stream_size_hint, 10000u);
  EXPECT_EQ(answer.response.body.tag, static_cast<uint32_t>(KIV_ABI_EMPTY));
  std::string received;
  std::vector<Read> reads = ReadAll(answer.response, 4096, &received);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].size, 4096u);
  EXPECT_TRUE(reads[0].more);
  EXPECT_EQ(reads[1].size, 4096u);
  EXPECT_TRUE(reads[1].more);
  EXPECT_EQ(reads[2].size, 1808u);
  EXPECT_FALSE(reads[2].more);
  EXPECT_EQ(received, data);

  // After the end: nothing more, still no error; after close, reads fail.
  char byte;
  uint32_t size = 1;
  bool more = true;
  EXPECT_TRUE(answer.response.stream_read(answer.response.stream_context, &byte, &size, &more));
  EXPECT_EQ(size, 0u);
  EXPECT_FALSE(more);
  answer.response.stream_close(answer.response.stream_context);
  size = 1;
  EXPECT_FALSE(answer.response.stream_read(answer.response.stream_context, &byte, &size, &more));
}

TEST(HostEndpointsTest, StreamedBodiesInShortChunks) {
  HostEndpoints endpoints;
  const std::string data = Pattern(4096 + 250);
  endpoints.Set("GET", "/short", [&](const EndpointRequest&) {
    return EndpointReply::Stream(StreamedBody{data, {4096, 100, 0}, 1, std::nullopt});
  });
  Answered answer;
  Send(endpoints, KIV_METHOD_GET, "/short", &answer);
  EXPECT_EQ(answer.response.stream_size_hint, 1u);
  std::string received;
  std::vector<Read> reads = ReadAll(answer.response, 4096, &received);
  // 4096, then 100, then one byte a call (zero counts as one) for the last 150.
  ASSERT_EQ(reads.size(), 152u);
  EXPECT_EQ(reads[0].size, 4096u);
  EXPECT_EQ(reads[1].size, 100u);
  EXPECT_TRUE(reads[1].more);
  for (size_t i = 2; i < reads.size(); ++i) EXPECT_EQ(reads[i].size, 1u) << i;
  EXPECT_TRUE(reads[150].more);
  EXPECT_FALSE(reads[151].more);
  EXPECT_EQ(received, data);

  // The reader's capacity bounds every chunk.
  Answered small;
  Send(endpoints, KIV_METHOD_GET, "/short", &small);
  std::string part;
  reads = ReadAll(small.response, 10, &part);
  EXPECT_EQ(reads[0].size, 10u);
  EXPECT_EQ(part, data);
}

TEST(HostEndpointsTest, StreamsThatEndEarlyOrFailOrAreNeverRead) {
  HostEndpoints endpoints;
  endpoints.Set("GET", "/empty",
                [](const EndpointRequest&) { return EndpointReply::Stream(StreamedBody{}); });
  endpoints.Set("GET", "/broken", [](const EndpointRequest&) {
    return EndpointReply::Stream(StreamedBody{std::string(5000, 'x'), {4096}, std::nullopt, 4500});
  });
  Answered empty;
  Send(endpoints, KIV_METHOD_GET, "/empty", &empty);
  std::string received;
  std::vector<Read> reads = ReadAll(empty.response, 4096, &received);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].size, 0u);
  EXPECT_FALSE(reads[0].more);

  Answered broken;
  Send(endpoints, KIV_METHOD_GET, "/broken", &broken);
  char buffer[4096];
  uint32_t size = sizeof(buffer);
  bool more = false;
  ASSERT_TRUE(broken.response.stream_read(broken.response.stream_context, buffer, &size, &more));
  EXPECT_EQ(size, 4096u);
  size = sizeof(buffer);
  EXPECT_FALSE(broken.response.stream_read(broken.response.stream_context, buffer, &size, &more));
  EXPECT_EQ(size, 0u);
  EXPECT_FALSE(more);

  // Released without a read or a close: the stream goes with the response.
  for (int i = 0; i < 3; ++i) {
    HostResponse response{};
    HostRequest request{};
    request.method = KIV_METHOD_GET;
    request.path = "/broken";
    endpoints.Answer(request, &response);
    ASSERT_NE(response.stream_context, nullptr);
    if (i == 1) response.stream_close(response.stream_context);
    response.release(&response);
    EXPECT_EQ(response.stream_context, nullptr);
    EXPECT_EQ(response.stream_read, nullptr);
    EXPECT_EQ(response.release, nullptr);
  }
}

TEST(HostEndpointsTest, SinksRecordWhatTheyReceive) {
  HostEndpoints endpoints;
  BindingAbiNamedValue arguments[2] = {};
  arguments[0].name = "attempt";
  arguments[0].value.tag = KIV_ABI_SIGNED;
  arguments[0].value.payload.i64 = 2;
  arguments[1].name = "region";
  arguments[1].value.tag = KIV_ABI_STRING_BORROWED;
  arguments[1].value.payload.ref = {"local", 5};
  Answered event;
  Send(endpoints, KIV_METHOD_POST, "/telemetry/v1/events/login_attempt", &event, arguments, 2);
  EXPECT_EQ(event.response.failed, 0u);
  Answered common;
  Send(endpoints, KIV_METHOD_POST, "/telemetry/v1/common-data/platform_id", &common, &arguments[1],
       1);
  Answered platform;
  Send(endpoints, KIV_METHOD_PUT, "/voroclient/v1/bugsplat/platform-id", &platform, &arguments[1],
       1);
  EXPECT_EQ(platform.response.failed, 0u);

  std::vector<SinkRecord> records = endpoints.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].sink, "events");
  EXPECT_EQ(records[0].name, "login_attempt");
  EXPECT_EQ(records[0].arguments, R"({"attempt":2,"region":"local"})");
  EXPECT_EQ(records[1].sink, "common-data");
  EXPECT_EQ(records[1].name, "platform_id");
  EXPECT_EQ(records[1].arguments, R"({"region":"local"})");
  EXPECT_EQ(records[2].sink, "platform-id");
  EXPECT_EQ(records[2].name, "");
  EXPECT_EQ(records[2].arguments, R"({"region":"local"})");
}

class RegionFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kivhost-region-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override { std::remove(path_.c_str()); }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }

  std::string path_;
  HostEndpoints endpoints_;
};

TEST_F(RegionFileTest, OverridesBothSettings) {
  Write(R"({"globals": {"region": "EUW"}, "region_data": {"EUW": {"qsa_platform_id": "EUW1",)"
        R"( "servers": {"lcds": {"lcds_host": "euw.example", "lcds_port": 2099}}}}})");
  std::string error;
  ASSERT_TRUE(endpoints_.LoadRegionFile(path_, &error)) << error;
  EXPECT_EQ(Get(endpoints_, "/data-store/v1/install-settings/globals"), R"({"region":"EUW"})");
  EXPECT_EQ(Get(endpoints_, "/data-store/v1/system-settings/region_data"),
            R"({"EUW":{"qsa_platform_id":"EUW1","servers":{"lcds":{"lcds_host":"euw.example",)"
            R"("lcds_port":2099}}}})");
}

TEST_F(RegionFileTest, BadFilesAreRefusedAndChangeNothing) {
  std::string error;
  Write(R"({"globals": {"region": "EUW"}, "region_data": )");
  EXPECT_FALSE(endpoints_.LoadRegionFile(path_, &error));
  EXPECT_EQ(error, "region file " + path_ + " is not valid JSON: Invalid value. at offset 46");
  Write(R"({"globals": {"region": "EUW"}})");
  EXPECT_FALSE(endpoints_.LoadRegionFile(path_, &error));
  EXPECT_EQ(error, "region file " + path_ +
                       " must hold an object with the objects \"globals\" and \"region_data\"");
  Write(R"({"globals": [], "region_data": {}})");
  EXPECT_FALSE(endpoints_.LoadRegionFile(path_, &error));
  Write(R"({"globals": {}, "region_data": {"x": )" + std::string(2000, '[') +
        std::string(2000, ']') + "}}");
  EXPECT_FALSE(endpoints_.LoadRegionFile(path_, &error));
  EXPECT_EQ(error, "region file " + path_ + ": nesting deeper than 1000 levels");
  EXPECT_FALSE(endpoints_.LoadRegionFile("/nonexistent/region.json", &error));
  EXPECT_EQ(error, "cannot read region file /nonexistent/region.json: No such file or directory");
  EXPECT_EQ(Get(endpoints_, "/data-store/v1/install-settings/globals"), R"({"region":"local"})");
}

TEST(SubstituteHostEndpointsTest, SendRequestAnswersThroughTheRegistry) {
  PluginThread thread;
  SubstituteHost host(&thread);
  host.endpoints().SetCommandLineArgs({{"tcls-uId", "42"}});
  HostApi* api = host.services()->api;
  HostRequest request{};
  request.method = KIV_METHOD_GET;
  request.path = "/voroclient/command-line-args";
  Answered args;
  api->SendRequest(api, &args.response, &request);
  EXPECT_EQ(args.Body(), R"({"tcls-uId":"42"})");
  Answered none;
  api->SendRequest(api, &none.response, nullptr);
  EXPECT_EQ(none.response.status_code, 400);
  EXPECT_STREQ(none.response.error_text, "kivhost received no request");
}

TEST(SubstituteHostEndpointsTest, InitializeMakesThePluginManagerReady) {
  std::string error;
  auto session = HostSession::Load(KIV_PLUGIN_PATH, &error);
  ASSERT_NE(session, nullptr) << error;
  EXPECT_EQ(Get(session->host().endpoints(), "/plugin-manager/v1/status"),
            R"({"state":"NotReady"})");
  ASSERT_TRUE(session->Create(HostVersion{}).accepted);
  ASSERT_TRUE(session->Initialize());
  EXPECT_EQ(Get(session->host().endpoints(), "/plugin-manager/v1/status"),
            R"({"state":"PluginsInitialized"})");
  session->Shutdown();
}

}  // namespace
}  // namespace kivhost
