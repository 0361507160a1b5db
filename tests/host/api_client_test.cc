// The host's side of the API table: matching paths to endpoints and calling them through
// their callbacks, as a client core does.
#include "host/api_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/abi_value.h"
#include "host/kivhost_options.h"

namespace kivhost {
namespace {

TEST(ApiClientTest, PathsFitTemplatesSegmentBySegment) {
  struct Case {
    const char* path_template;
    const char* path;
    bool fits;
  };
  const Case cases[] = {
      {"/kiv-login/v1/session", "/kiv-login/v1/session", true},
      {"/kiv-login/v1/session", "/kiv-login/v1/session?x=1", true},
      {"/kiv-login/v1/session", "/kiv-login/v1/sessions", false},
      {"/a/{s}/{m}", "/a/svc/get", true},
      {"/a/{s}/{m}", "/a/svc/", false},
      {"/a/{s}/{m}", "/a/svc/get/more", false},
      {"/a/{+rest}", "/a/b/c/d", true},
      {"/a/{s}.json", "/a/x.json", false},  // a variable takes the whole segment
      {"/a/{s", "/a/x", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PathFitsTemplate(c.path_template, c.path), c.fits)
        << c.path_template << " vs " << c.path;
  }
}

struct Seen {
  std::string path;
  std::string arguments;
  std::string content_type;
  std::string body;
  const void* context = nullptr;
  int releases = 0;
};
Seen seen;

void Release(HostResponse* response) {
  ++seen.releases;
  ReleaseAbiValue(&response->body);
  std::free(response->error_text);
  std::free(response->headers);
}

void Echo(HostResponse* response, const HostRequest* request) {
  seen.path = request->path;
  std::string error;
  ArgumentsToJson(request->arguments, request->argument_count, &seen.arguments, &error);
  seen.content_type = request->content_type ? request->content_type : "";
  seen.body.assign(static_cast<const char*>(request->body), request->body_length);
  seen.context = request->context;
  AbiFromJsonText(R"({"ok":true})", &response->body, &error);
  response->status_code = 201;
  response->headers = static_cast<HostHeaderPair*>(std::calloc(1, sizeof(HostHeaderPair)));
  response->headers[0] = {"Location", "/kiv-login/v1/session"};
  response->header_count = 1;
  response->release = &Release;
}

void Refuse(HostResponse* response, const HostRequest*) {
  response->error_text = CopyText("No session currently exists, you must initiate a login first.");
  response->failed = 1;
  response->status_code = 404;
  response->release = &Release;
}

TEST(ApiClientTest, FindsTheEndpointAndCallsItThroughItsCallback) {
  int context_a = 0;
  int context_b = 0;
  ApiEndpointRecord templated{};
  templated.name = "PostAByS";
  templated.path = "/a/{s}";
  templated.method = KIV_METHOD_POST;
  templated.callback = &Refuse;
  templated.context = &context_b;
  ApiEndpointRecord literal{};
  literal.next = &templated;
  literal.name = "PostALiteral";
  literal.path = "/a/literal";
  literal.method = KIV_METHOD_POST;
  literal.callback = &Echo;
  literal.context = &context_a;
  ApiTable table{};
  // The templated endpoint first: the literal one must still win.
  templated.next = &literal;
  literal.next = nullptr;
  table.endpoints = &templated;
  table.endpoint_count = 2;

  EXPECT_EQ(FindEndpoint(table, KIV_METHOD_POST, "/a/literal"), &literal);
  EXPECT_EQ(FindEndpoint(table, KIV_METHOD_POST, "/a/other"), &templated);
  EXPECT_EQ(FindEndpoint(table, KIV_METHOD_GET, "/a/literal"), nullptr);
  EXPECT_EQ(FindEndpoint(table, KIV_METHOD_POST, "/b"), nullptr);

  ApiCall call;
  call.method = KIV_METHOD_POST;
  call.path = "/a/literal";
  call.arguments = {{"destination", "\"svc\""}, {"args", "[1,2]"}};
  call.content_type = "application/json";
  call.body = R"({"username":"alice"})";
  ApiCallResult result;
  std::string error;
  seen = Seen{};
  ASSERT_TRUE(CallEndpoint(literal, call, &result, &error)) << error;
  EXPECT_EQ(seen.path, "/a/literal");
  EXPECT_EQ(seen.arguments, R"({"destination":"svc","args":[1,2]})");
  EXPECT_EQ(seen.content_type, "application/json");
  EXPECT_EQ(seen.body, call.body);
  EXPECT_EQ(seen.context, &context_a);
  EXPECT_EQ(result.status, 201);
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(result.body_json, R"({"ok":true})");
  ASSERT_EQ(result.headers.size(), 1u);
  EXPECT_EQ(result.headers[0].first, "Location");
  EXPECT_EQ(seen.releases, 1);

  ApiCallResult refused;
  ASSERT_TRUE(CallEndpoint(templated, call, &refused, &error));
  EXPECT_TRUE(refused.failed);
  EXPECT_EQ(refused.status, 404);
  EXPECT_EQ(refused.error, "No session currently exists, you must initiate a login first.");
  EXPECT_EQ(seen.releases, 2);

  call.arguments = {{"bad", "{"}};
  EXPECT_FALSE(CallEndpoint(literal, call, &result, &error));
  EXPECT_EQ(error.rfind("argument 'bad': ", 0), 0u) << error;
  EXPECT_EQ(seen.releases, 2);  // never sent
}

TEST(ApiClientTest, CallCommandLine) {
  KivhostOptions options;
  std::string error;
  ASSERT_TRUE(ParseKivhostOptions({"--plugin", "/p.so", "call", "post", "/kiv-login/v1/session",
                                   "--msgpack-hex", "81 a1 61 01", "--arg", "pluginId=7"},
                                  &options, &error))
      << error;
  EXPECT_EQ(options.command, "call");
  EXPECT_EQ(options.call.method, "POST");
  EXPECT_EQ(options.call.path, "/kiv-login/v1/session");
  EXPECT_EQ(options.call.content_type, "application/x-msgpack");
  EXPECT_EQ(options.call.body, std::string("\x81\xa1"
                                           "a\x01",
                                           4));
  ASSERT_EQ(options.call.arguments.size(), 1u);
  EXPECT_EQ(options.call.arguments[0].second, "7");

  const std::pair<std::vector<std::string>, std::string> bad[] = {
      {{"call", "GET"}, "'call' needs a method and a path"},
      {{"call", "GET", "/p", "--json", "{}", "--yaml", "a: 1"}, "a call takes one body"},
      {{"call", "GET", "/p", "--msgpack-hex", "8"},
       "'--msgpack-hex' needs pairs of hexadecimal digits, not '8'"},
      {{"call", "GET", "/p", "--arg", "=1"}, "'--arg' needs name=value, not '=1'"},
      {{"call", "GET", "/p", "--bogus"}, "unknown call argument '--bogus'"},
      {{"api", "extra"}, "'api' takes no arguments"},
  };
  for (const auto& [args, message] : bad) {
    KivhostOptions o;
    EXPECT_FALSE(ParseKivhostOptions(args, &o, &error)) << args[0];
    EXPECT_EQ(error, message);
  }
}

}  // namespace
}  // namespace kivhost
