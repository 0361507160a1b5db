// What other plugins ask of the platform through the login, against the simulated platform
// over TLS with the login module in-process: invokes, service-proxy round trips, the
// account-state poll, and what a logout tells those still waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "binding/codec/json_reader.h"
#include "integration/login_flow_fixture.h"

namespace {

using login_flow::LoginFlowTest;
using login_flow::WaitUntil;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

class PlatformCallsTest : public LoginFlowTest {
 protected:
  // The service-proxy events published, "NAME>PLUGIN PAYLOAD" each, in order.
  std::vector<std::string> ProxyEvents() const {
    std::vector<std::string> events;
    for (const auto& event : host_->event_log()) {
      if (event.kind == kivhost::EventRecord::kPublished &&
          event.name.starts_with("OnServiceProxy")) {
        events.push_back(event.name + ">" + std::to_string(event.plugin_id) + " " + event.payload);
      }
    }
    return events;
  }
  kivhost::ApiCallResult Invoke(const std::string& destination, const std::string& method,
                                const std::string& args_json) {
    return Call(
        "POST", "/kiv-login/v1/session/invoke", "",
        {{"destination", Quoted(destination)}, {"method", Quoted(method)}, {"args", args_json}});
  }
  kivhost::ApiCallResult RequestUuid(const std::string& payload, const char* plugin = "7",
                                     const std::string& service = "inventory",
                                     const std::string& method = "get") {
    return Call("POST", "/kiv-login/v1/service-proxy-uuid-requests", "",
                {{"serviceName", Quoted(service)},
                 {"methodName", Quoted(method)},
                 {"pluginId", plugin},
                 {"payload", Quoted(payload)}});
  }
  // Answered under METHODDone, or as an error under METHODError.
  void RequestMethod(const std::string& service, const std::string& method, const char* plugin,
                     const std::string& payload) {
    Call("POST", "/kiv-login/v1/service-proxy-method-requests", "",
         {{"serviceName", Quoted(service)},
          {"methodName", Quoted(method)},
          {"responseMethodName", Quoted(method + "Done")},
          {"responseRrrorName", Quoted(method + "Error")},
          {"pluginId", plugin},
          {"payload", Quoted(payload)}});
  }
};

TEST_F(PlatformCallsTest, InvokeAnswersTheValueOrSaysWhyNot) {
  scenario_.accounts[0].account_states = {"ENABLED"};
  Voro::Sim::ScriptedService items{.destination = "inventoryService", .operation = "list"};
  items.value = Voro::ParseJson(R"({"__class":"kiv.ItemList","items":[1,2]})").value();
  items.array_collections = true;
  Voro::Sim::ScriptedService bound{.destination = "inventoryService", .operation = "bind"};
  bound.fault = Voro::Sim::ServiceFault{.code = "Server.Processing", .text = "Item is bound"};
  scenario_.platform.services = {items, bound};
  LogIn([](int64_t) { return 0; });
  // A typed answer carries its class; its lists arrived as ArrayCollections.
  const kivhost::ApiCallResult listed = Invoke("inventoryService", "list", R"([7,"x"])");
  EXPECT_EQ(listed.error, "");
  EXPECT_EQ(listed.body_json, R"({"body":{"items":[1,2]},"typeName":"kiv.ItemList"})");
  const kivhost::ApiCallResult fault = Invoke("inventoryService", "bind", "[]");
  EXPECT_EQ(fault.status, 500);
  EXPECT_EQ(fault.error,
            "LCDS invoke to inventoryService.bind failed: Item is bound, Server.Processing");
  const kivhost::ApiCallResult state =
      Invoke("accountService", "getAccountStateForCurrentSession", "[]");
  EXPECT_EQ(state.error, "");
  EXPECT_EQ(state.body_json, R"({"body":"ENABLED","typeName":""})");
  EXPECT_EQ(Journaled("accountService.getAccountStateForCurrentSession ENABLED"), 1u);
  // Arguments that are not a list are refused before anything is sent.
  const kivhost::ApiCallResult refused = Invoke("accountService", "x", R"({"not":"a list"})");
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.error, "The arguments of an invoke must be a list.");

  Call("DELETE", "/kiv-login/v1/session");
  const kivhost::ApiCallResult gone = Invoke("accountService", "x", "[]");
  EXPECT_EQ(gone.status, 404);
  EXPECT_EQ(gone.error, "No login session exists.");
}

// The uuid comes back at once; the answer follows as an event for the asking plugin, its
// payload inflated when the platform compressed it.
TEST_F(PlatformCallsTest, AServiceProxyUuidCallIsAnsweredByItsEvent) {
  scenario_.platform.service_proxy.delay_ms = 20;
  scenario_.platform.service_proxy.answers.push_back(
      {.service = "inventory", .method = "get", .payload = R"({"items":$payload})"});
  LogIn([](int64_t) { return 0; });
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress);
    scenario_.platform.service_proxy.compress = compress;
    platform_->services().Configure(scenario_.platform);
    const size_t before = Published("OnServiceProxyUuidEvent").size();
    const kivhost::ApiCallResult asked = RequestUuid(compress ? "[2]" : "[1]");
    ASSERT_EQ(asked.error, "");
    ASSERT_EQ(asked.body_json.size(), 38u) << asked.body_json;  // a quoted uuid
    const std::string uuid = asked.body_json.substr(1, 36);
    ASSERT_TRUE(WaitUntil([&] { return Published("OnServiceProxyUuidEvent").size() > before; }));
    EXPECT_EQ(Published("OnServiceProxyUuidEvent").back(),
              R"({"error":"","methodName":"get","payload":"{\"items\":)" +
                  std::string(compress ? "[2]" : "[1]") +
                  R"(}","serviceName":"inventory","status":"OK","uuid":")" + uuid + R"("})");
  }
  EXPECT_EQ(Journaled("lcdsServiceProxy.call inventory.get"), 2u);
  EXPECT_TRUE(Published("OnLcdsEvent").empty()) << "service-proxy answers are not for everyone";
}

// Answers no call waits for go to every async subscriber of their service and method (one
// key for "inventory"+"get" and "inven"+"toryget"), each its own copy; an acknowledge
// before them makes nothing; an answer nobody waits for is logged; a payload that is not
// gzip reaches its caller as the zlib error.
TEST_F(PlatformCallsTest, AnswersReachTheirPluginsOnly) {
  using Voro::Sim::MalformedPayload;
  auto& answers = scenario_.platform.service_proxy.answers;
  answers.push_back({.service = "inventory",
                     .method = "get",
                     .payload = "pushed",
                     .message_id = "push-1",
                     .also_ack = true});
  answers.push_back({.service = "nobody", .payload = "x", .message_id = "stray"});
  answers.push_back({.service = "broken", .payload = "x", .malformed = MalformedPayload::kNotGzip});
  scenario_.platform.service_proxy.delay_ms = 10;
  LogIn([](int64_t) { return 0; });
  const auto subscribe = [&](const std::string& service, const std::string& method,
                             const char* plugin) {
    return Call("POST", "/kiv-login/v1/service-proxy-async-requests/" + service + "/" + method, "",
                {{"pluginId", plugin}});
  };
  EXPECT_EQ(subscribe("inventory", "get", "7").error, "");
  EXPECT_EQ(subscribe("inven", "toryget", "8").error, "");
  EXPECT_EQ(subscribe("other", "get", "9").error, "");
  RequestUuid("[1]", "9");  // answered under another id: still waiting afterwards
  RequestUuid("", "9", "nobody", "m");
  const std::string broken = RequestUuid("", "10", "broken", "m").body_json.substr(1, 36);
  // The pushes come in the order of the calls: the last one's event means all were handled.
  ASSERT_TRUE(WaitUntil([&] { return Published("OnServiceProxyUuidEvent").size() == 1; }))
      << ::testing::PrintToString(LogLines({"No handler", "Service proxy"}));
  const std::string pushed =
      R"({"error":"","methodName":"get","payload":"pushed","serviceName":"inventory",)"
      R"("status":"OK","uuid":""})";
  EXPECT_EQ(ProxyEvents(),
            (std::vector<std::string>{
                "OnServiceProxyAsyncEvent>7 " + pushed, "OnServiceProxyAsyncEvent>8 " + pushed,
                "OnServiceProxyUuidEvent>10 "
                R"({"error":"Failed to decompress lcdsServiceProxyResponse payload, zlib )"
                R"(returned -3","methodName":"m","payload":"","serviceName":"broken",)"
                R"("status":"OK","uuid":")" +
                    broken + R"("})"}));
  const std::vector<std::string> stray = LogLines({"No handler found"});
  ASSERT_EQ(stray.size(), 1u);
  EXPECT_NE(stray[0].find(R"("messageId":"stray")"), std::string::npos) << stray[0];
}

// Method calls: each answer goes to the oldest registration it matches, under the
// registration's response method; an answer under the error method carries its payload as
// the error, one under the request's own method says the proxy is not enabled.
TEST_F(PlatformCallsTest, MethodCallsAreAnsweredOldestFirst) {
  auto& answers = scenario_.platform.service_proxy.answers;
  answers.push_back(
      {.service = "inv", .method = "get", .payload = "got $payload", .response_method = "getDone"});
  answers.push_back(
      {.service = "inv", .method = "fail", .payload = "no stock", .response_method = "failError"});
  answers.push_back({.service = "inv", .method = "off", .payload = "x"});  // echoes "off"
  scenario_.platform.service_proxy.delay_ms = 10;
  LogIn([](int64_t) { return 0; });
  RequestMethod("inv", "get", "7", "a");
  RequestMethod("inv", "get", "8", "b");
  RequestMethod("inv", "fail", "9", "c");
  RequestMethod("inv", "off", "10", "d");
  ASSERT_TRUE(WaitUntil([&] { return Published("OnServiceProxyMethodEvent").size() == 4; }));
  const auto event = [](const char* plugin, const std::string& fields) {
    return std::string("OnServiceProxyMethodEvent>") + plugin + " {" + fields +
           R"(,"serviceName":"inv","status":"OK","uuid":""})";
  };
  EXPECT_EQ(ProxyEvents(),
            (std::vector<std::string>{
                event("7", R"("error":"","methodName":"getDone","payload":"got a")"),
                event("8", R"("error":"","methodName":"getDone","payload":"got b")"),
                event("9", R"("error":"no stock","methodName":"failDone","payload":"no stock")"),
                event("10", R"("error":"inv proxy is not enabled.","methodName":"offDone",)"
                            R"("payload":"x")")}));
  EXPECT_EQ(Logged("Service proxy error method called: failError"), 1u);
  EXPECT_EQ(Logged("Service proxy is not enabled: inv"), 1u);
}

// A logout tells every plugin still waiting, once.
TEST_F(PlatformCallsTest, LogoutAnswersWaitingCallsWithLogout) {
  scenario_.platform.service_proxy.delay_ms = 60'000;
  LogIn([](int64_t) { return 0; });
  const std::string uuid = RequestUuid("[1]").body_json.substr(1, 36);
  RequestMethod("inventory", "get", "8", "[1]");
  Call("DELETE", "/kiv-login/v1/session");
  EXPECT_EQ(
      Published("OnServiceProxyUuidEvent"),
      std::vector<std::string>{R"({"error":"Logout","methodName":"","payload":"","serviceName":"",)"
                               R"("status":"","uuid":")" +
                               uuid + R"("})"});
  EXPECT_EQ(Published("OnServiceProxyMethodEvent"),
            std::vector<std::string>{
                R"({"error":"Logout","methodName":"get","payload":"","serviceName":"inventory",)"
                R"("status":"","uuid":""})"});
}

// The poll fetches every period while the account is moving, publishes only changes, and
// stops at the first other state; asking again while it runs starts nothing. (The period is
// shortened from 30 s: the host schedules timers on its own clock.)
TEST_F(PlatformCallsTest, TheAccountStatePollPublishesChangesUntilTheMoveEnds) {
  scenario_.accounts[0].account_states = {"TRANSFERRING_OUT", "TRANSFERRING_OUT", "ENABLED"};
  LogIn([](int64_t) { return 0; });
  thread_->Invoke([&] { module_pointer_->set_account_state_poll_seconds(0.1); });
  EXPECT_EQ(Call("GET", "/kiv-login/v1/account-state").status, 404);
  EXPECT_EQ(Call("POST", "/kiv-login/v1/account-state").error, "");
  EXPECT_EQ(Call("POST", "/kiv-login/v1/account-state").error, "");
  const std::string published = "OnJsonApiEvent_kiv-login_v1_account-state";
  EXPECT_TRUE(WaitUntil([&] { return Published(published).size() == 2; }))
      << ::testing::PrintToString(platform_->services().journal());
  // Some more periods: no fourth fetch.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::vector<std::string> states = Published(published);
  ASSERT_EQ(states.size(), 2u);
  EXPECT_NE(states[0].find(R"("state":"TRANSFERRING_OUT")"), std::string::npos) << states[0];
  EXPECT_NE(states[1].find(R"("state":"ENABLED")"), std::string::npos) << states[1];
  EXPECT_EQ(Journaled("accountService.getAccountStateForCurrentSession TRANSFERRING_OUT"), 2u);
  EXPECT_EQ(Journaled("accountService.getAccountStateForCurrentSession ENABLED"), 1u);
  EXPECT_EQ(Call("GET", "/kiv-login/v1/account-state").body_json, R"({"state":"ENABLED"})");
  // The state outlives the session.
  Call("DELETE", "/kiv-login/v1/session");
  EXPECT_EQ(Call("GET", "/kiv-login/v1/account-state").body_json, R"({"state":"ENABLED"})");
}

}  // namespace
