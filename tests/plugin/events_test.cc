// Events: the module's own subscriptions, dispatch of resource events, publishing and the
// service-proxy mailboxes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/fake_host.h"
#include "support/initialized_module.h"

namespace Voro {
namespace {

using testing::FakeHost;
using testing::InitializedModule;

bool LogHas(const FakeHost& host, const std::string& text) {
  for (const auto& [level, line] : host.log) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

BindingProperty ResourcePayload(const std::string& uri, const char* type) {
  BindingProperty payload;
  payload["uri"] = uri;
  payload["eventType"] = type;
  payload["data"]["state"] = "PluginsInitialized";
  return payload;
}

BindingProperty ServiceProxyPayload(const char* uuid, const char* service, const char* method) {
  BindingProperty payload;
  payload["uuid"] = uuid;
  payload["serviceName"] = service;
  payload["methodName"] = method;
  payload["payload"] = std::string("payload of ") + uuid;
  payload["status"] = "OK";
  payload["error"] = "";
  return payload;
}

class EventsTest : public ::testing::Test {
 protected:
  EventsTest() : module_(&host_) {}
  FakeHost host_;
  InitializedModule module_;
};

TEST_F(EventsTest, OwnServiceProxyEventsAreSubscribedWithFlagOneAtInitialize) {
  ASSERT_TRUE(module_.ok());
  std::vector<std::pair<std::string, uint32_t>> subscribed;
  for (const FakeHost::Call& call : host_.calls) {
    if (call.slot == "SubscribeEvent") subscribed.emplace_back(call.text, call.flag);
  }
  EXPECT_EQ(subscribed,
            (std::vector<std::pair<std::string, uint32_t>>{{"OnServiceProxyUuidEvent", 1},
                                                           {"OnServiceProxyMethodEvent", 1},
                                                           {"OnServiceProxyAsyncEvent", 1}}));
  EXPECT_EQ(module_->subscription_count("OnServiceProxyUuidEvent"), 0);  // not counted
}

TEST_F(EventsTest, ResourceEventsReachExactThenPatternHandlers) {
  std::vector<std::string> calls;
  module_->SetResourceHandler("/plugin-manager/v1/status", [&](const PluginResourceEvent& e) {
    calls.push_back("exact " + e.uri + " " + std::to_string(static_cast<int>(e.eventType)) + " " +
                    std::string(e.data["state"].GetString()));
  });
  module_->AddResourcePatternHandler("/plugin-manager/*/status", [&](const PluginResourceEvent& e) {
    calls.push_back("pattern1 " + e.uri);
  });
  module_->AddResourcePatternHandler("/plugin-manager/*", [&](const PluginResourceEvent& e) {
    calls.push_back("pattern2 " + e.uri);
  });
  module_->Subscribe("/plugin-manager/v1/status");
  const std::string name = "OnJsonApiEvent_plugin-manager_v1_status";
  ASSERT_TRUE(host_.Deliver(name, ResourcePayload("/plugin-manager/v1/status", "Update")));
  // Without the leading "/" the same handlers are found.
  ASSERT_TRUE(host_.Deliver(name, ResourcePayload("plugin-manager/v1/status", "Create")));
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "exact /plugin-manager/v1/status 1 PluginsInitialized",
                       "pattern1 /plugin-manager/v1/status",
                       "exact /plugin-manager/v1/status 0 PluginsInitialized",
                       "pattern1 /plugin-manager/v1/status",
                   }));
}

TEST_F(EventsTest, UnconvertibleAndUnsubscribedEventsAreDropped) {
  int handled = 0;
  module_->SetResourceHandler("/a/b", [&](const PluginResourceEvent&) { ++handled; });
  module_->Subscribe("/a/b");
  ASSERT_TRUE(host_.Deliver("OnJsonApiEvent_a_b", ResourcePayload("/a/b", "Bogus")));
  BindingProperty not_a_record;
  not_a_record = "text";
  ASSERT_TRUE(host_.Deliver("OnJsonApiEvent_a_b", not_a_record));
  EXPECT_EQ(handled, 0);
  ASSERT_TRUE(host_.Deliver("OnJsonApiEvent_a_b", ResourcePayload("/a/b", "Delete")));
  EXPECT_EQ(handled, 1);  // the subscription survived the bad payloads

  // A host that delivers after the unsubscription finds no handler.
  FakeHost::Subscriber kept = host_.subscribers["OnJsonApiEvent_a_b"];
  module_->Unsubscribe("/a/b");
  host_.subscribers["OnJsonApiEvent_a_b"] = kept;
  ASSERT_TRUE(host_.Deliver("OnJsonApiEvent_a_b", ResourcePayload("/a/b", "Update")));
  EXPECT_EQ(handled, 1);
}

TEST(ResourcePatternTest, StarMatchesOneSegmentOrNothing) {
  struct Case {
    const char* pattern;
    const char* path;
    bool matches;
  };
  const Case cases[] = {
      {"/a/*/c", "/a/b/c", true}, {"/a/*/c", "/a//c", true},
      {"/a/*", "/a/b", true},     {"/a/*", "/a/", false},
      {"/a/*", "/a/b/c", false},  {"/a/*/c", "/a/b/d", false},
      {"/a/b", "/a/b", true},     {"/a/b", "/a/bc", false},
      {"/a/b*", "/a/bcd", true},  {"*", "", false},
      {"*", "x/", false},         {"/a/*/*", "/a/b/c", true},
      {"/a/b/", "/a/b", false},   {"", "", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AppModule::MatchesResourcePattern(c.pattern, c.path), c.matches)
        << c.pattern << " vs " << c.path;
  }
}

TEST_F(EventsTest, PublishingUsesTheSpecificThenTheGeneralName) {
  host_.published.clear();
  PluginResourceEvent change;
  change.uri = "/kiv-login/v1/session/extra";
  change.eventType = PluginResourceEventType::Update;
  change.data["state"] = "IN_PROGRESS";
  module_->PublishResourceEvent(change);
  module_->PublishResourceDeleted("/kiv-login/v1/session");
  PluginLcdsEvent push;
  push.typeName = "com.vorogames.Message";
  push.subtopic = "gn";
  module_->PublishLcdsEvent(push);
  push.typeName = "Plain";
  module_->PublishLcdsEvent(push);

  const std::string update =
      R"({"data":{"state":"IN_PROGRESS"},"eventType":"Update","uri":"/kiv-login/v1/session/extra"})";
  const std::string removal = R"({"data":null,"eventType":"Delete","uri":"/kiv-login/v1/session"})";
  const std::string lcds1 =
      R"({"body":null,"clientId":"","subtopic":"gn","typeName":"com.vorogames.Message"})";
  const std::string lcds2 = R"({"body":null,"clientId":"","subtopic":"gn","typeName":"Plain"})";
  EXPECT_EQ(host_.published, (std::vector<std::pair<std::string, std::string>>{
                                 {"OnJsonApiEvent_kiv-login_v1_session", update},
                                 {"OnJsonApiEvent", update},
                                 {"OnJsonApiEvent_kiv-login_v1_session", removal},
                                 {"OnJsonApiEvent", removal},
                                 {"OnLcdsEvent_com_vorogames_Message", lcds1},
                                 {"OnLcdsEvent", lcds1},
                                 {"OnLcdsEvent_Plain", lcds2},
                                 {"OnLcdsEvent", lcds2},
                             }));
}

TEST_F(EventsTest, MailboxKeepsResultsUntilARequestWaitsAndFulfilsOnePerPass) {
  std::vector<std::string> fulfilled;
  auto waiter = [&](const char* who) {
    return [&fulfilled, who](const PluginServiceProxyResponse& r) {
      fulfilled.push_back(std::string(who) + ":" + r.payload);
    };
  };
  // Results arrive before anyone waits for them.
  ASSERT_TRUE(host_.Deliver("OnServiceProxyUuidEvent", ServiceProxyPayload("u1", "s", "m")));
  ASSERT_TRUE(host_.Deliver("OnServiceProxyUuidEvent", ServiceProxyPayload("u2", "s", "m")));
  EXPECT_EQ(module_->service_proxy_mailbox_size(), 2u);
  module_->AddPendingServiceProxyRequest("u1", waiter("first"));
  module_->AddPendingServiceProxyRequest("u2", waiter("second"));
  EXPECT_TRUE(fulfilled.empty());  // fulfilment runs only when a result is stored

  // The next stored result triggers one pass, which hands over one waiting result.
  ASSERT_TRUE(host_.Deliver("OnServiceProxyMethodEvent", ServiceProxyPayload("u3", "svc", "get")));
  EXPECT_EQ(fulfilled, std::vector<std::string>{"first:payload of u1"});
  EXPECT_TRUE(LogHas(host_, "Fulfilled service proxy request: u1"));
  EXPECT_EQ(module_->service_proxy_mailbox_size(), 2u);  // u2 and svc.get

  module_->AddPendingServiceProxyRequest("svc.get", waiter("third"));
  ASSERT_TRUE(host_.Deliver("OnServiceProxyUuidEvent", ServiceProxyPayload("u4", "s", "m")));
  ASSERT_TRUE(host_.Deliver("OnServiceProxyUuidEvent", ServiceProxyPayload("u5", "s", "m")));
  // Passes walk the mailbox in key order: "svc.get" before "u2".
  EXPECT_EQ(fulfilled, (std::vector<std::string>{"first:payload of u1", "third:payload of u3",
                                                 "second:payload of u2"}));
  EXPECT_EQ(module_->service_proxy_mailbox_size(), 2u);  // u4 and u5 wait for requesters
}

TEST_F(EventsTest, AsyncResultsGoToTheirHandlerOrAreLogged) {
  std::vector<std::string> seen;
  module_->SetServiceProxyAsyncHandler(
      "svc.notify", [&](const PluginServiceProxyResponse& r) { seen.push_back(r.uuid); });
  ASSERT_TRUE(
      host_.Deliver("OnServiceProxyAsyncEvent", ServiceProxyPayload("a1", "svc", "notify")));
  ASSERT_TRUE(host_.Deliver("OnServiceProxyAsyncEvent", ServiceProxyPayload("a2", "svc", "other")));
  EXPECT_EQ(seen, std::vector<std::string>{"a1"});
  EXPECT_TRUE(
      LogHas(host_, "Could not find registered handler for async service proxy event svc.other"));
  EXPECT_EQ(module_->service_proxy_mailbox_size(), 0u);
}

}  // namespace
}  // namespace Voro
