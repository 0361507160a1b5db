// A logged-in session under what networks and servers do to it: the simulated platform
// drops its connection, refuses reconnects or kicks it, and the login module (in-process,
// so that the test can pin its random draws and move its clock) keeps it up or ends it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "integration/login_flow_fixture.h"
#include "sim/amf_builders.h"

namespace {

using login_flow::LoginFlowTest;
using login_flow::WaitUntil;

constexpr char kKickClass[] = "com.vorogames.platform.messaging.ClientLoginKickNotification";

class SessionUpkeepTest : public LoginFlowTest {
 protected:
  // The "connected" member of every session resource published, as "t"/"f", in order.
  std::string ConnectedFlags() const {
    std::string flags;
    for (const std::string& payload : Published("OnJsonApiEvent_kiv-login_v1_session")) {
      if (payload.find(R"("state":"SUCCEEDED")") == std::string::npos) continue;
      flags += payload.find(R"("connected":true)") != std::string::npos ? 't' : 'f';
    }
    return flags;
  }
  void Kick(const std::string& token) {
    Voro::BindingProperty body;
    body["sessionToken"] = token;
    ASSERT_EQ(platform_->services().PushTo("alice", Voro::Sim::TypedDynamicObject(kKickClass, body),
                                           "cn-7"),
              1u);
  }

  std::vector<std::string> RunWithRefusals(uint32_t refusals, const std::string& outcome);
};

// One drop: the tick notices it once, however many times it runs while the reconnect
// waits, and the session is published as it goes down and comes back.
TEST_F(SessionUpkeepTest, ADropIsReconnectedOnceAndPublishedAroundIt) {
  scenario_.platform.drops.after_ms = 100;
  LogIn([](int64_t bound) { return std::min<int64_t>(bound, 700); });
  ASSERT_TRUE(WaitUntil([&] { return Logged("Reconnect complete.") == 1; }))
      << ::testing::PrintToString(LogLines({"Reconnect", "Attempting", "Disconnected"}));
  EXPECT_EQ(Logged("Disconnected from platform. Reconnecting..."), 1u);
  EXPECT_EQ(Logged("Beginning reconnect."), 1u);
  EXPECT_EQ(LogLines({"Attempting reconnect"}),
            std::vector<std::string>{"Attempting reconnect in 700 ms..."});
  EXPECT_EQ(Journaled("drop alice"), 1u);
  EXPECT_EQ(Journaled("reconnect alice"), 1u);
  // Logged in, down while reconnecting, up again.
  EXPECT_TRUE(ConnectedFlags().ends_with("tft")) << ConnectedFlags();
  const std::string session = Call("GET", "/kiv-login/v1/session").body_json;
  EXPECT_NE(session.find(R"("connected":true)"), std::string::npos) << session;
  EXPECT_NE(session.find(R"("state":"SUCCEEDED")"), std::string::npos) << session;
}

// Refused reconnects back off below 5 s, 10 s, then 15 s each time (the draws are pinned
// to the bound, and a moving clock lets minutes pass in seconds); returns the attempts
// logged once `outcome` was logged.
std::vector<std::string> SessionUpkeepTest::RunWithRefusals(uint32_t refusals,
                                                            const std::string& outcome) {
  scenario_.platform.drops.after_ms = 100;
  scenario_.platform.refuse_reconnects.count = refusals;
  manual_clock_.emplace();
  // The login runs on a still clock, so that a slow machine cannot make its waits look long.
  LogIn([](int64_t bound) { return bound; });
  EXPECT_TRUE(MoveClockUntil(50, [&] { return Logged(outcome) == 1; }))
      << ::testing::PrintToString(LogLines({"Reconnect", "Attempting"}));
  return LogLines({"Attempting reconnect"});
}

TEST_F(SessionUpkeepTest, TwoRefusedReconnectsAreOvercome) {
  EXPECT_EQ(RunWithRefusals(2, "Reconnect complete."),
            (std::vector<std::string>{"Attempting reconnect in 5000 ms...",
                                      "Attempting reconnect in 10000 ms...",
                                      "Attempting reconnect in 15000 ms..."}));
  EXPECT_EQ(Logged("AuthenticateChannelAsync failed.. Retrying."), 2u);
  EXPECT_EQ(Journaled("refuse reconnect alice"), 2u);
  EXPECT_EQ(Journaled("reconnect alice"), 1u);
  EXPECT_EQ(SessionStates().back(), "SUCCEEDED");
}

TEST_F(SessionUpkeepTest, EndlessRefusalsCloseTheSessionAfterThreeHundredSeconds) {
  const std::vector<std::string> attempts = RunWithRefusals(1'000'000, "Reconnect failed.");
  // 5 + 10 + 15 s per later attempt: past 300 s after some twenty attempts.
  ASSERT_GE(attempts.size(), 15u);
  EXPECT_EQ(attempts[0], "Attempting reconnect in 5000 ms...");
  EXPECT_EQ(attempts[1], "Attempting reconnect in 10000 ms...");
  EXPECT_EQ(attempts.back(), "Attempting reconnect in 15000 ms...");
  EXPECT_EQ(Logged("AuthenticateChannelAsync failed.. Retrying."), attempts.size());
  EXPECT_EQ(
      LogLines({"Reconnect timed out", "Closing session.", "Session closed.", "Reconnect failed."}),
      (std::vector<std::string>{"Reconnect timed out", "Closing session.", "Session closed.",
                                "Reconnect failed."}));
  EXPECT_EQ(SessionError(), "ALE-4FBFEF57 CHANNEL_AUTH_FAILED");
  EXPECT_EQ(Call("GET", "/kiv-login/v1/wallet").status, 404) << "the session's login is gone";
}

// A kick with another session's token only republishes the session; with its own token
// the session ends logged in elsewhere, and no reconnect follows.
TEST_F(SessionUpkeepTest, OnlyAKickWithTheSessionsOwnTokenEndsIt) {
  LogIn([](int64_t) { return 0; });
  const size_t published = SessionStates().size();
  Kick("someone-else");
  ASSERT_TRUE(WaitUntil([&] { return SessionStates().size() == published + 1; }));
  EXPECT_EQ(SessionStates().back(), "SUCCEEDED");
  EXPECT_EQ(SessionError().find("ALE-"), std::string::npos);

  Kick(platform_->services().SessionToken("alice"));
  ASSERT_TRUE(WaitUntil([&] { return SessionStates().back() == "LOGGING_OUT"; }))
      << ::testing::PrintToString(SessionStates());
  EXPECT_EQ(SessionError(), "ALE-C17DA63E LOGGED_IN_ELSEWHERE");
  EXPECT_EQ(Journaled("loginService.logout alice"), 1u);
  EXPECT_EQ(Logged("Account logged elsewhere"), 1u);
  // Ticks go on; the connection the kick closed starts nothing.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Logged("Beginning reconnect."), 0u);
}

// Logging out while the reconnect waits: the wait ends at once, and a second request while
// the first runs does nothing. The client's pre-shutdown event logs out too.
TEST_F(SessionUpkeepTest, LogoutHappensOnceAlsoDuringAReconnectAndOnPreShutdown) {
  scenario_.platform.drops.after_ms = 100;
  LogIn([](int64_t bound) { return bound; });
  ASSERT_TRUE(WaitUntil([&] { return Logged("Attempting reconnect in 5000 ms...") == 1; }));
  EXPECT_EQ(Call("DELETE", "/kiv-login/v1/session").status, 0);
  EXPECT_EQ(Call("DELETE", "/kiv-login/v1/session").status, 0);
  ASSERT_TRUE(WaitUntil([&] { return Logged("Logout complete.") == 1; }));
  EXPECT_EQ(Logged("Beginning logout."), 1u);
  EXPECT_EQ(Logged("Reconnect failed."), 1u);
  EXPECT_EQ(Journaled("reconnect alice"), 0u);
  EXPECT_EQ(Call("GET", "/kiv-login/v1/session").status, 404);
  EXPECT_EQ(KivLoginResources().back(), "session") << "its Delete comes last";

  scenario_.platform.drops.after_ms = 0;
  platform_->services().Configure(scenario_.platform);
  ASSERT_EQ(PostLogin("wonderland").status, 201);
  ASSERT_TRUE(WaitUntil([&] { return SessionStates().back() == "SUCCEEDED"; }));
  auto raised = host_->RaiseEvent(
      "OnJsonApiEvent_voroclient_pre-shutdown_begin",
      R"({"uri":"/voroclient/pre-shutdown/begin","eventType":"Create","data":{}})");
  ASSERT_TRUE(raised.ok()) << raised.error();
  EXPECT_TRUE(WaitUntil([&] { return Logged("Logout complete.") == 2; }));
  EXPECT_EQ(Journaled("loginService.logout alice"), 1u) << "the first logout had no connection";
}

}  // namespace
