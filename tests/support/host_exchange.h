// Exchanges with the substitute host as the plugin makes them: records in, the answer copied
// out, and the record handed back.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/abi_value.h"
#include "host/external_http.h"
#include "host/host_endpoints.h"

namespace kivhost::testing {

using Headers = std::vector<std::pair<std::string, std::string>>;
using Args = std::vector<std::pair<const char*, const char*>>;

// A host request with string arguments (borrowed) and a JSON body, answered by `endpoints`:
// the body as JSON, or "STATUS error text" when it failed.
inline std::string Ask(HostEndpoints& endpoints, uint32_t method, const std::string& path,
                       const Args& args = {}, const std::string& body = "") {
  std::vector<BindingAbiNamedValue> values(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    values[i].name = args[i].first;
    values[i].value.tag = KIV_ABI_STRING_BORROWED;
    values[i].value.payload.ref = {args[i].second, uint32_t(std::strlen(args[i].second))};
  }
  HostRequest request{};
  request.method = method;
  request.path = path.c_str();
  request.arguments = values.data();
  request.argument_count = uint32_t(values.size());
  request.content_type = body.empty() ? nullptr : "application/json";
  request.body = body.data();
  request.body_length = uint32_t(body.size());
  HostResponse response{};
  endpoints.Answer(request, &response);
  auto written = AbiToJson(response.body);
  EXPECT_TRUE(written.ok()) << written.error();
  std::string json = written.ok() ? written.value() : "";
  if (response.failed) {
    EXPECT_EQ(json, "null");
    json = std::to_string(response.status_code) + " " + response.error_text;
  }
  response.release(&response);
  static const HostResponse kReleased{};
  EXPECT_EQ(std::memcmp(&response, &kReleased, sizeof(response)), 0) << "released, all zero";
  return json;
}

// The host's answer to an external request, copied out.
struct Exchange {
  int32_t code = -1;
  int32_t status = 0;
  Headers headers;
  std::string body;
};

inline Exchange Perform(const ExternalHttp& http, uint32_t method, const std::string& url,
                        const Headers& headers = {}, const std::string& body = "",
                        uint32_t timeout = 10) {
  std::vector<HostHeaderPair> pairs;
  for (const auto& [name, value] : headers) pairs.push_back({name.c_str(), value.c_str()});
  HostExternalRequest request{};
  request.method = method;
  request.url = url.c_str();
  request.headers = pairs.data();
  request.header_count = uint32_t(pairs.size());
  request.body = body.data();
  request.body_length = uint32_t(body.size());
  request.timeout = timeout;
  request.flag = 1;
  HostExternalResponse response{};
  response.transport_code = -1;
  http.Perform(request, &response);
  Exchange exchange{response.transport_code, response.http_status, {}, ""};
  for (uint32_t i = 0; i < response.header_count; ++i) {
    exchange.headers.emplace_back(response.headers[i].name, response.headers[i].value);
  }
  if (response.body != nullptr) exchange.body.assign(response.body, response.body_length);
  response.release(&response);
  EXPECT_EQ(response.body, nullptr);
  EXPECT_EQ(response.headers, nullptr);
  return exchange;
}

}  // namespace kivhost::testing
