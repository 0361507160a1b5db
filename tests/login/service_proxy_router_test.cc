// Where service-proxy answers go: the uuid caller, the oldest matching method registration,
// every async subscriber, or nobody (logged); what a compressed payload becomes; and what a
// logout tells everyone still waiting.
#include "login/service_proxy_router.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/log_test_support.h"

namespace Voro {
namespace {

using Client::Api::LcdsServiceProxyResponse;

// gzip of {"items":[1,2]} (made with Python's gzip module), whole and cut short.
constexpr char kGzipItems[] = "H4sIAAAAAAACA6tWyixJzS1Wsoo21DGKrQUAghoN4A8AAAA=";
constexpr char kGzipCut[] = "H4sIAAAAAAACA6tWyixJzS1Wsoo21DGKrQUAgho=";
constexpr char kNotGzip[] = "cGxhaW4gdGV4dCwgbm90IGd6aXA=";  // "plain text, not gzip"

LcdsServiceProxyResponse Response(std::string service, std::string method, std::string id,
                                  std::string payload = "p", bool compressed = false,
                                  std::string status = "OK") {
  return {std::move(service), std::move(method),  std::move(id),
          std::move(status),  std::move(payload), compressed};
}

// Each delivery as "event>plugin uuid|service|method|payload|status|error".
std::string Describe(const std::vector<ServiceProxyRouter::Delivery>& deliveries) {
  std::string text;
  for (const auto& d : deliveries) {
    const PluginServiceProxyResponse& r = d.response;
    text += std::string(d.event_name) + ">" + std::to_string(d.plugin_id) + " " + r.uuid + "|" +
            r.serviceName + "|" + r.methodName + "|" + r.payload + "|" + r.status + "|" + r.error +
            ";";
  }
  return text;
}

using ServiceProxyRouterTest = testing_support::LoggerTest;

TEST_F(ServiceProxyRouterTest, AnswersGoToTheirUuidOldestMethodOrSubscribers) {
  SimulateInitialize();
  ServiceProxyRouter router;
  router.AddUuidCall("u-1", 7);
  router.AddMethodRegistration("inv", 7, "get", "getDone", "getError");
  router.AddMethodRegistration("inv", 8, "get", "getDone", "getError");
  router.AddMethodRegistration("inv", 9, "get", "getDone", "getError");
  router.AddMethodRegistration("off", 9, "get", "getDone", "getError");
  // "ab"+"c" and "a"+"bc" are one key.
  router.Subscribe("ab", "c", 7);
  router.Subscribe("a", "bc", 8);
  router.Subscribe("x", "y", 9);
  router.Unsubscribe("x", "y", 9);
  const std::string inflate_error =
      "Failed to decompress lcdsServiceProxyResponse payload, zlib returned -3;";
  struct Row {
    LcdsServiceProxyResponse response;
    std::string deliveries;
  };
  const Row rows[] = {
      // An acknowledge makes nothing, even for a waiting uuid.
      {Response("s", "m", "u-1", "p", false, "ACK"), ""},
      {Response("s", "m", "u-1", kGzipItems, true),
       "OnServiceProxyUuidEvent>7 u-1|s|m|{\"items\":[1,2]}|OK|;"},
      // Once answered, a uuid is nobody's.
      {Response("s", "m", "u-1"), ""},
      // Registrations answer oldest first, under their response method.
      {Response("inv", "getDone", "x", "{}"), "OnServiceProxyMethodEvent>7 |inv|getDone|{}|OK|;"},
      {Response("inv", "getError", "x", "boom"),
       "OnServiceProxyMethodEvent>8 |inv|getDone|boom|OK|boom;"},
      {Response("inv", "get", "x", "q"),
       "OnServiceProxyMethodEvent>9 |inv|getDone|q|OK|inv proxy is not enabled.;"},
      {Response("off", "getError", "x", kNotGzip, true),
       "OnServiceProxyMethodEvent>9 |off|getDone||OK|" + inflate_error},
      {Response("inv", "getDone", "x"), ""},
      {Response("ab", "c", "x", kGzipCut, true),
       "OnServiceProxyAsyncEvent>7 |ab|c||OK|" + inflate_error +
           "OnServiceProxyAsyncEvent>8 |ab|c||OK|" + inflate_error},
      {Response("a", "bc", "x", "not base64!", true),
       "OnServiceProxyAsyncEvent>7 |a|bc||OK|" + inflate_error +
           "OnServiceProxyAsyncEvent>8 |a|bc||OK|" + inflate_error},
      {Response("x", "y", "x"), ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.response.serviceName + "." + row.response.methodName);
    EXPECT_EQ(Describe(router.Route(row.response, "{body}")), row.deliveries);
  }
  EXPECT_EQ(recorder_.Messages(),
            (std::vector<std::string>{"No handler found for service proxy response: {body}",
                                      "Service proxy error method called: getError",
                                      "Service proxy is not enabled: inv",
                                      "No handler found for service proxy response: {body}",
                                      "No handler found for service proxy response: {body}"}));
  for (const auto& line : recorder_.Lines()) EXPECT_EQ(line.level, kLevelWarn);
  EXPECT_EQ(router.pending_uuid_calls(), 0u);
  EXPECT_EQ(router.method_registrations(), 0u);
}

TEST(ServiceProxyRouterLogoutTest, EveryWaitingCallIsToldOnceSubscriptionsStay) {
  ServiceProxyRouter router;
  router.AddUuidCall("u-1", 7);
  router.AddUuidCall("u-2", 8);
  router.AddMethodRegistration("inv", 9, "get", "getDone", "getError");
  router.Subscribe("ab", "c", 7);
  EXPECT_EQ(Describe(router.FailPending("Logout")),
            "OnServiceProxyUuidEvent>7 u-1|||||Logout;OnServiceProxyUuidEvent>8 u-2|||||Logout;"
            "OnServiceProxyMethodEvent>9 |inv|get|||Logout;");
  EXPECT_EQ(Describe(router.FailPending("Logout")), "");
  EXPECT_EQ(Describe(router.Route(Response("ab", "c", "u-1"), "{}")),
            "OnServiceProxyAsyncEvent>7 |ab|c|p|OK|;");
}

}  // namespace
}  // namespace Voro
