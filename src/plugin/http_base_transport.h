// Requests to servers outside the client, handed to the host's external-request slot: the
// plugin opens no HTTP connections of its own. The answer comes back with the body as text
// or parsed as JSON.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "binding/value/binding_property.h"
#include "kiv/plugin_abi.h"

namespace Voro {

class AppModule;

class HttpBaseTransport {
 public:
  // What a caller fills. `timeout` and `flag` mean whatever the host says they mean; they
  // pass through unchanged (the login queue passes 10 seconds and 1).
  struct Request {
    uint32_t method = KIV_METHOD_GET;
    std::string url;
    std::map<std::string, std::string> headers;
    std::string body;
    uint32_t timeout = 0;
    uint8_t flag = 0;
  };

  // transport_status: -1 not set, 0 the host reached the server, 1 or 2 it did not (2 is
  // the host's own code, every other failure is 1); then `error` holds the host's text.
  // result_state: -1 not converted (also after a transport failure), 0 headers and body
  // converted, 1 a conversion failed (`error` says which).
  template <typename Body>
  struct BasicResponse {
    int32_t transport_status = -1;
    int32_t status_code = 0;
    int32_t result_state = -1;
    std::string error;
    std::vector<std::pair<std::string, std::string>> headers;  // in the host's order
    Body body{};
  };
  using Response = BasicResponse<std::string>;
  // A body that does not parse is kept as a string value.
  using JsonResponse = BasicResponse<BindingProperty>;

  // Messages, used byte for byte.
  static constexpr const char* kHeadersNullMessage =
      "Error converting response for %1: headers was null";
  static constexpr const char* kBodyNullMessage = "Error converting response for %1: body was null";
  static constexpr const char* kBodyEmptyMessage =
      "Error converting response for %1: body was empty";
  static constexpr const char* kJsonErrorMessage = "Error deserializing json response for %1: %2";
  static constexpr const char* kUserAgentHeader = "user-agent";

  // `module` supplies the host table and the user-agent; it must outlive the transport.
  explicit HttpBaseTransport(AppModule* module) : module_(module) {}

  // Each call blocks the module's thread until the host has the answer; module thread only.
  Response RequestText(const Request& request) const;
  JsonResponse RequestJson(const Request& request) const;

  // The login queue's forms; each sets the flag to 1.
  JsonResponse GetJson(const std::string& url, uint32_t timeout,
                       const std::map<std::string, std::string>& headers) const;
  Response PostText(const std::string& url, const std::string& body, uint32_t timeout,
                    const std::map<std::string, std::string>& headers) const;
  JsonResponse PostJson(const std::string& url, const std::string& body, uint32_t timeout,
                        const std::map<std::string, std::string>& headers) const;

  // The host's record for `request`. Its pointers refer into `request`, `user_agent` and `*pairs`,
  // which must outlive it. A request without a user-agent header (in any letter case) gets
  // `user_agent` as its first header.
  static HostExternalRequest BuildHostRequest(const Request& request, const std::string& user_agent,
                                              std::vector<HostHeaderPair>* pairs);
  // 2 stays 2, -1 and 0 stay, every other failure code becomes 1.
  static int32_t MapTransportCode(int32_t host_code);

 private:
  // Sends, converts and releases the host's record, once, on every path.
  template <typename Body>
  BasicResponse<Body> Perform(const Request& request) const;

  AppModule* module_;
};

}  // namespace Voro
