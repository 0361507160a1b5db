// The host's side of the API table: matching paths to endpoints and calling them through
// their callbacks, as a client core does.
#include "host/api_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "host/abi_value.h"

namespace kivhost {
namespace {

TEST(ApiClientTest, PathsFitTemplatesSegmentBySegment) {
  struct Row {
    const char* path_template;
    const char* path;
    bool fits;
  };
  const Row rows[] = {
      {"/kiv-login/v1/session", "/kiv-login/v1/session?x=1", true},
      {"/kiv-login/v1/session", "/kiv-login/v1/sessions", false},
      {"/a/{s}/{m}", "/a/svc/get", true},
      {"/a/{s}/{m}", "/a/svc/", false},
      {"/a/{s}/{m}", "/a/svc/get/more", false},
      {"/a/{+rest}", "/a/b/c/d", true},
      {"/a/{s}.json", "/a/x.json", false},  // a variable takes the whole segment
      {"/a/{s", "/a/x", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(PathFitsTemplate(row.path_template, row.path), row.fits)
        << row.path_template << " vs " << row.path;
  }
}

std::string seen;  // what the last callback received
int releases = 0;

void Release(HostResponse* response) {
  ++releases;
  ReleaseAbiValue(&response->body);
  std::free(response->error_text);
  std::free(response->headers);
}

// Echoes the request, or without a context refuses it.
void Answer(HostResponse* response, const HostRequest* request) {
  response->release = &Release;
  if (request->context == nullptr) {
    response->error_text =
        CopyText("No session currently exists, you must initiate a login first.");
    response->failed = 1;
    response->status_code = 404;
    return;
  }
  auto arguments = ArgumentsToJson(request->arguments, request->argument_count);
  EXPECT_TRUE(arguments.ok()) << arguments.error();
  seen = std::string(request->path) + " " + (arguments.ok() ? arguments.value() : "") + " " +
         request->content_type + " " +
         std::string(static_cast<const char*>(request->body), request->body_length) + " " +
         std::to_string(*static_cast<const int*>(request->context));
  EXPECT_TRUE(AbiFromJsonText(R"({"ok":true})", &response->body).ok());
  response->status_code = 201;
  response->headers = static_cast<HostHeaderPair*>(std::calloc(1, sizeof(HostHeaderPair)));
  response->headers[0] = {"Location", "/kiv-login/v1/session"};
  response->header_count = 1;
}

TEST(ApiClientTest, FindsTheEndpointAndCallsItThroughItsCallback) {
  int context = 7;
  releases = 0;
  const ApiEndpointRecord literal{.context = &context,
                                  .name = "PostALiteral",
                                  .callback = &Answer,
                                  .path = "/a/literal",
                                  .method = KIV_METHOD_POST};
  // The templated endpoint first: the literal one must still win.
  const ApiEndpointRecord templated{.next = &literal,
                                    .name = "PostAByS",
                                    .callback = &Answer,
                                    .path = "/a/{s}",
                                    .method = KIV_METHOD_POST};
  ApiTable table{};
  table.endpoints = &templated;
  table.endpoint_count = 2;
  EXPECT_EQ(FindEndpoint(table, KIV_METHOD_POST, "/a/literal"), &literal);
  EXPECT_EQ(FindEndpoint(table, KIV_METHOD_POST, "/a/other"), &templated);
  EXPECT_EQ(FindEndpoint(table, KIV_METHOD_GET, "/a/literal"), nullptr);
  EXPECT_EQ(FindEndpoint(table, KIV_METHOD_POST, "/b"), nullptr);

  ApiCall call{KIV_METHOD_POST,
               "/a/literal",
               {{"destination", "\"svc\""}, {"args", "[1,2]"}},
               "application/json",
               R"({"username":"alice"})"};
  ApiCallResult result;
  auto sent = CallEndpoint(literal, call, &result);
  ASSERT_TRUE(sent.ok()) << sent.error();
  EXPECT_EQ(
      seen,
      R"(/a/literal {"destination":"svc","args":[1,2]} application/json {"username":"alice"} 7)");
  EXPECT_EQ(result.status, 201);
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(result.body_json, R"({"ok":true})");
  EXPECT_EQ(result.headers, (decltype(result.headers){{"Location", "/kiv-login/v1/session"}}));
  EXPECT_EQ(releases, 1);

  sent = CallEndpoint(templated, call, &result);
  ASSERT_TRUE(sent.ok()) << sent.error();
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.status, 404);
  EXPECT_EQ(result.error, "No session currently exists, you must initiate a login first.");
  EXPECT_EQ(releases, 2);

  call.arguments = {{"bad", "{"}};
  sent = CallEndpoint(literal, call, &result);
  EXPECT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().rfind("argument 'bad': ", 0), 0u) << sent.error();
  EXPECT_EQ(releases, 2) << "never sent";
}

}  // namespace
}  // namespace kivhost
