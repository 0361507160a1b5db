#include "sim/scenario.h"

#include <gtest/gtest.h>

#include <string>

namespace Voro::Sim {
namespace {

// The shipped example sets every knob, so it must keep reading.
TEST(ScenarioTest, TheDemoFileReads) {
  auto loaded = LoadScenarioFile(KIV_SOURCE_DIR "/sim/scenarios/demo.yaml");
  ASSERT_TRUE(loaded.ok()) << loaded.error();
  const Scenario& scenario = loaded.value();
  ASSERT_EQ(scenario.accounts.size(), 1u);
  EXPECT_EQ(scenario.accounts[0].summoner_name, "Demo Player");
  EXPECT_EQ(scenario.platform.service_proxy.answers.at(0).payload, R"({"pong": $payload})");
}

TEST(ScenarioTest, JsonAndYamlSayTheSame) {
  const char* yaml = R"(
accounts:
  - username: bob
    account_states: [TRANSFERRING_OUT, ENABLED]
    reconnect_credentials: { serverPort: 5100 }
    queue_outcome: failed
platform:
  faults: { login_data_packet: malformed, subscribe: drop }
  pushes: [ { delay_ms: 10, class: kiv.Kick, body: { sessionToken: $token }, array_collections: true } ]
login_queue: { players_ahead: 3, rate: 0.5, ticker_storm: { count: 2, status: 429 } }
)";
  const char* json = R"({"accounts": [{"username": "bob", "queue_outcome": "failed",
    "account_states": ["TRANSFERRING_OUT", "ENABLED"],
    "reconnect_credentials": {"serverPort": 5100}}],
  "platform": {"faults": {"login_data_packet": "malformed", "subscribe": "drop"},
    "pushes": [{"delay_ms": 10, "class": "kiv.Kick", "body": {"sessionToken": "$token"},
                "array_collections": true}]},
  "login_queue": {"players_ahead": 3, "rate": 0.5, "ticker_storm": {"count": 2, "status": 429}}})";
  auto empty = ParseScenario("");
  ASSERT_TRUE(empty.ok()) << "an empty file is a scenario: " << empty.error();
  EXPECT_TRUE(empty.value().accounts.empty());
  for (const char* text : {yaml, json}) {
    auto parsed = ParseScenario(text);
    ASSERT_TRUE(parsed.ok()) << parsed.error();
    const Scenario& s = parsed.value();
    ASSERT_EQ(s.accounts.size(), 1u);
    EXPECT_EQ(s.accounts[0].account_states.at(1), "ENABLED");
    EXPECT_EQ(s.accounts[0].reconnect_credentials.Field("serverPort").ToSigned(), 5100);
    EXPECT_EQ(s.accounts[0].queue_outcome, QueueOutcome::kFailed);
    EXPECT_EQ(s.platform.faults.login_data_packet, Fault::kMalformed);
    EXPECT_EQ(s.platform.pushes.at(0).body.Field("sessionToken").GetString(), "$token");
    EXPECT_TRUE(s.platform.pushes.at(0).array_collections);
    EXPECT_EQ(s.login_queue.rate, 0.5);
    EXPECT_EQ(s.login_queue.ticker_storm.status, 429);
  }
}

TEST(ScenarioTest, MistakesAreNamedWithTheirPlace) {
  const std::pair<const char*, const char*> cases[] = {
      {"accounts:\n  - username: a\n    pasword: x\n",
       "accounts[0].pasword is not a known setting"},
      {"accounts:\n  - password: x\n", "accounts[0].username is required"},
      {"accounts: { username: a }\n", "accounts must be a list"},
      {"platform: { faults: { login: sometimes } }\n",
       "platform.faults.login must be one of none, no_answer, error, drop, malformed (not "
       "\"sometimes\")"},
      {"accounts:\n  - username: a\n    account_id: many\n",
       "accounts[0].account_id must be a whole number in range"},
      {"accounts:\n  - username: a\n    profile_icon_id: 4294967296\n",
       "accounts[0].profile_icon_id must be a whole number in range"},
      {"login_queue: { nodes: 0 }\n", "login_queue.nodes must be 1 to 64"},
      {"login_queue: { malformed: everything }\n",
       "login_queue.malformed must be one of authenticate, ticker, token"},
      {"login_queue: { ticker_busy: 1 }\n", "login_queue.ticker_busy must be true or false"},
      {"platform: { pushes: [ { delay_ms: 1 } ] }\n", "platform.pushes[0].class is required"},
      {"- 1\n", "the scenario must be a mapping"},
      {"{\"accounts\": [", "Error: Invalid value. at offset 14."},  // the reader's own text
  };
  for (const auto& [text, message] : cases) {
    auto parsed = ParseScenario(text);
    EXPECT_FALSE(parsed.ok()) << text;
    EXPECT_EQ(parsed.error(), message) << text;
  }
  auto loaded = LoadScenarioFile("/nonexistent/scenario.yaml");
  EXPECT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error(), "cannot read /nonexistent/scenario.yaml");
}

}  // namespace
}  // namespace Voro::Sim
