#include "host/host_endpoints.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "support/host_exchange.h"
#include "support/run_kivhost.h"

namespace kivhost {
namespace {

using testing::Ask;

std::string Get(HostEndpoints& endpoints, const std::string& path) {
  return Ask(endpoints, KIV_METHOD_GET, path);
}

TEST(HostEndpointsTest, DefaultHandlersAnswerAsAClientCore) {
  HostEndpoints endpoints;
  EXPECT_EQ(Get(endpoints, kCommandLineArgsPath), "{}");
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
}

TEST(HostEndpointsTest, UnknownEndpointsAnswer404) {
  HostEndpoints endpoints;
  const std::tuple<uint32_t, const char*, const char*> rows[] = {
      {KIV_METHOD_GET, "/nowhere", "GET /nowhere"},
      {KIV_METHOD_POST, kCommandLineArgsPath, "POST /voroclient/command-line-args"},
      {KIV_METHOD_GET, "/voroclient/command-line-args?x=1",
       "GET /voroclient/command-line-args?x=1"},
      // A prefix needs a name after it.
      {KIV_METHOD_POST, "/telemetry/v1/events/", "POST /telemetry/v1/events/"},
      {KIV_METHOD_GET, "/telemetry/v1/events/x", "GET /telemetry/v1/events/x"},
      {0, "/x", " /x"},
  };
  for (const auto& [method, path, text] : rows) {
    EXPECT_EQ(Ask(endpoints, method, path), std::string("404 kivhost has no endpoint ") + text);
  }
  const HostRequest custom{.method = KIV_METHOD_CUSTOM, .path = "/dav", .method_text = "PROPFIND"};
  HostResponse response{};
  endpoints.Answer(custom, &response);
  EXPECT_STREQ(response.error_text, "kivhost has no endpoint PROPFIND /dav");
  response.release(&response);
}

TEST(HostEndpointsTest, ReplacedHandlersSeeTheRequestAndFaultsAreErrors) {
  HostEndpoints endpoints;
  EndpointRequest seen;
  endpoints.Set("GET", kCommandLineArgsPath, [&](const EndpointRequest& request) {
    seen = request;
    return EndpointReply::Json(R"({"auto-login-username":"demo"})");
  });
  endpoints.Set("POST", "/denied",
                [](const EndpointRequest&) { return EndpointReply::Error(403, "no entry"); });
  endpoints.Set("GET", "/bad-json",
                [](const EndpointRequest&) { return EndpointReply::Json("{not json"); });
  endpoints.Set("GET", "/throws",
                [](const EndpointRequest&) -> EndpointReply { throw std::runtime_error("boom"); });

  EXPECT_EQ(Ask(endpoints, KIV_METHOD_GET, kCommandLineArgsPath, {{"count", "3"}}, "{}"),
            R"({"auto-login-username":"demo"})");
  EXPECT_EQ(seen.method + " " + seen.path + " " + seen.arguments + " " + seen.content_type + " " +
                seen.body + " [" + seen.rest + "]",
            R"(GET /voroclient/command-line-args {"count":"3"} application/json {} [])");
  EXPECT_EQ(Ask(endpoints, KIV_METHOD_POST, "/denied"), "403 no entry");
  EXPECT_EQ(Get(endpoints, "/bad-json"),
            "500 kivhost endpoint failed: GET /bad-json: invalid JSON at offset 1: Missing a name "
            "for object member.");
  EXPECT_EQ(Get(endpoints, "/throws"), "500 kivhost endpoint failed: boom");
  endpoints.Set("POST", "/denied", nullptr);
  EXPECT_EQ(Ask(endpoints, KIV_METHOD_POST, "/denied"), "404 kivhost has no endpoint POST /denied");

  const BindingAbiNamedValue unreadable{.name = "x", .value = {.tag = 99}};
  const HostRequest request{.method = KIV_METHOD_GET,
                            .path = kCommandLineArgsPath,
                            .arguments = &unreadable,
                            .argument_count = 1};
  HostResponse response{};
  endpoints.Answer(request, &response);
  EXPECT_EQ(response.status_code, 400);
  EXPECT_STREQ(response.error_text,
               "kivhost cannot read the arguments of GET /voroclient/command-line-args: unknown "
               "value tag 99");
  response.release(&response);
  ASSERT_EQ(endpoints.requests().size(), 5u) << "all but the unreadable one";
  EXPECT_EQ(endpoints.requests()[1].path, "/denied");
}

// Reads a streamed response to its end with the given capacity: the size of each read,
// then "end" once a read says there is no more, or "fail".
std::string ReadAll(const HostResponse& response, uint32_t capacity, std::string* data) {
  std::vector<char> buffer(capacity);
  std::string reads;
  for (bool more = true; more && data->size() < 100000;) {
    uint32_t size = capacity;
    const bool ok = response.stream_read(response.stream_context, buffer.data(), &size, &more);
    data->append(buffer.data(), size);
    reads += std::to_string(size) + " ";
    if (!ok) return reads + "fail";
  }
  return reads + "end";
}

TEST(HostEndpointsTest, StreamedBodies) {
  std::string pattern(10000, '\0');
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = char('a' + i % 26);
  struct Row {
    const char* name;
    StreamedBody body;
    uint32_t size_hint;
    std::string reads;  // with a 4096-byte buffer
  };
  const Row rows[] = {
      {"full chunks", {pattern, {4096}, std::nullopt, std::nullopt}, 10000, "4096 4096 1808 end"},
      // Zero counts as one: one byte a call for the last 3.
      {"short chunks", {pattern.substr(0, 4199), {4096, 100, 0}, 1, {}}, 1, "4096 100 1 1 1 end"},
      {"empty", {}, 0, "0 end"},
      {"broken", {pattern.substr(0, 5000), {4096}, {}, 4500}, 5000, "4096 0 fail"},
  };
  HostEndpoints endpoints;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    endpoints.Set("GET", "/s",
                  [&](const EndpointRequest&) { return EndpointReply::Stream(row.body); });
    const HostRequest request{.method = KIV_METHOD_GET, .path = "/s"};
    HostResponse response{};
    endpoints.Answer(request, &response);
    ASSERT_NE(response.stream_read, nullptr);
    EXPECT_EQ(response.failed, 0u);
    EXPECT_EQ(response.body.tag, uint32_t(KIV_ABI_EMPTY));
    EXPECT_EQ(response.stream_size_hint, row.size_hint);
    std::string received;
    EXPECT_EQ(ReadAll(response, 4096, &received), row.reads);
    if (row.reads.ends_with("end")) {
      EXPECT_EQ(received, row.body.data);
      // After the end: nothing more, still no error; after close, reads fail.
      uint32_t size = 1;
      bool more = true;
      char byte;
      EXPECT_TRUE(response.stream_read(response.stream_context, &byte, &size, &more));
      EXPECT_EQ(size + more, 0u);
      response.stream_close(response.stream_context);
      EXPECT_FALSE(response.stream_read(response.stream_context, &byte, &size, &more));
    }
    // The stream goes with the response, read or not, closed or not.
    response.release(&response);
    EXPECT_EQ(response.stream_context, nullptr);
  }
}

TEST(HostEndpointsTest, RegionFileOverridesBothSettingsOrIsRefused) {
  HostEndpoints endpoints;
  const std::pair<std::string, std::string> refused[] = {
      {R"({"globals": {"region": "west"}, "region_data": )",
       " is not valid JSON: Invalid value. at offset 47"},
      {R"({"globals": {"region": "west"}})",
       " must hold an object with the objects \"globals\" and \"region_data\""},
      {R"({"globals": [], "region_data": {}})",
       " must hold an object with the objects \"globals\" and \"region_data\""},
      {R"({"globals": {}, "region_data": {"x": )" + std::string(2000, '[') +
           std::string(2000, ']') + "}}",
       ": nesting deeper than 1000 levels"},
  };
  for (const auto& [text, message] : refused) {
    testing::TempFile file(text);
    auto read = endpoints.LoadRegionFile(file.path());
    EXPECT_FALSE(read.ok());
    EXPECT_EQ(read.error(), "region file " + file.path() + message);
  }
  auto read = endpoints.LoadRegionFile("/nonexistent/region.json");
  EXPECT_FALSE(read.ok());
  EXPECT_EQ(read.error(),
            "cannot read region file /nonexistent/region.json: No such file or directory");
  EXPECT_EQ(Get(endpoints, kGlobalsPath), R"({"region":"local"})");

  testing::TempFile good(
      R"({"globals": {"region": "west"}, "region_data": {"west": {"qsa_platform_id": "LOC2"}}})");
  read = endpoints.LoadRegionFile(good.path());
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(Get(endpoints, kGlobalsPath), R"({"region":"west"})");
  EXPECT_EQ(Get(endpoints, kRegionDataPath), R"({"west":{"qsa_platform_id":"LOC2"}})");
}

}  // namespace
}  // namespace kivhost
