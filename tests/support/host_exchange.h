// One exchange through the substitute host's external HTTP, as the plugin's slot makes it:
// the request record in, the answer copied out, and the record handed back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/external_http.h"
#include "kiv/plugin_abi.h"

namespace kivhost::testing {

using Headers = std::vector<std::pair<std::string, std::string>>;

// The host's answer, copied out, and the record handed back.
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
  request.headers = pairs.empty() ? nullptr : pairs.data();
  request.header_count = static_cast<uint32_t>(pairs.size());
  request.body = body.data();
  request.body_length = static_cast<uint32_t>(body.size());
  request.timeout = timeout;
  request.flag = 1;
  HostExternalResponse response{};
  response.transport_code = -1;
  http.Perform(request, &response);
  Exchange exchange;
  exchange.code = response.transport_code;
  exchange.status = response.http_status;
  for (uint32_t i = 0; i < response.header_count; ++i) {
    exchange.headers.emplace_back(response.headers[i].name, response.headers[i].value);
  }
  if (response.body != nullptr) exchange.body.assign(response.body, response.body_length);
  EXPECT_NE(response.release, nullptr);
  if (response.release != nullptr) response.release(&response);
  EXPECT_EQ(response.body, nullptr);
  EXPECT_EQ(response.headers, nullptr);
  return exchange;
}

}  // namespace kivhost::testing
