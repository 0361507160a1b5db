// The host's side of the plugin's API table: listing it, finding the endpoint for a
// method and path, and calling it through the endpoint's own callback, as a client core
// routes a request from another plugin.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/result.h"
#include "kiv/plugin_abi.h"

namespace kivhost {

// The table as text: endpoints with method, path and parameters; types with fields or
// values; events with their payloads.
std::string DescribeApiTable(const ApiTable& table);

// Whether `path` (without its query) fits `path_template`: literal characters must match,
// "{name}" stands for one non-empty path segment, "{+name}" for the rest of the path.
bool PathFitsTemplate(const std::string& path_template, const std::string& path);

// The endpoint for `method` and `path`: one whose method is that code (or 0, any) and whose
// template fits. Templates without variables win over templated ones. Null when none.
const ApiEndpointRecord* FindEndpoint(const ApiTable& table, uint32_t method,
                                      const std::string& path);

// A request to the plugin's endpoint and what came back.
struct ApiCall {
  uint32_t method = 0;
  std::string path;
  std::vector<std::pair<std::string, std::string>> arguments;  // name, JSON value
  std::string content_type;
  std::string body;
};

struct ApiCallResult {
  int32_t status = 0;  // the response's status code as the plugin set it
  bool failed = false;
  std::string error;  // the response's error text
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body_json;  // the body value (or the streamed body's text) as JSON
};

// Calls the endpoint's callback with a HostRequest built from `call`, reads the response
// and releases it. Runs on the calling thread: call it on the plugin thread. Fails when an
// argument is not valid JSON.
[[nodiscard]] kiv::Status CallEndpoint(const ApiEndpointRecord& endpoint, const ApiCall& call,
                                       ApiCallResult* result);

// `value` when it is JSON text, otherwise `value` as a JSON string: how a person's argument
// (on the command line or in a query string) is read.
std::string JsonOrString(const std::string& value);

// JSON text indented by four spaces, for people; text that is not JSON comes back as it is.
std::string IndentedJson(const std::string& json);

// The method code of "GET", "POST", ... (upper case); 0 for anything else.
uint32_t MethodCode(const std::string& name);

}  // namespace kivhost
