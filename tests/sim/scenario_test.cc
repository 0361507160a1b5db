#include "sim/scenario.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "binding/codec/json_writer.h"

namespace Voro::Sim {
namespace {

// The shipped scenarios must keep reading; the demo sets every knob.
TEST(ScenarioTest, TheShippedFilesRead) {
  struct Case {
    const char* file;
    const char* summoner_name;
    std::function<void(const PlatformSettings&)> check;
  };
  const Case cases[] = {
      {"demo.yaml", "Demo Player",
       [](const PlatformSettings& platform) {
         const ServiceProxyAnswer& answer = platform.service_proxy.answers.at(0);
         EXPECT_EQ(answer.payload, R"({"pong": $payload})");
         EXPECT_EQ(answer.compress, std::optional<bool>(false));
         EXPECT_EQ(answer.malformed, MalformedPayload::kNone);
         EXPECT_FALSE(answer.message_id.has_value());
         EXPECT_FALSE(answer.also_ack);
         ASSERT_EQ(platform.services.size(), 2u);
         EXPECT_EQ(platform.services[0].value.Field("__class").GetString(), "kiv.ItemList");
         EXPECT_FALSE(platform.services[0].fault.has_value());
         ASSERT_TRUE(platform.services[1].fault.has_value());
         EXPECT_EQ(platform.services[1].fault->code + "|" + platform.services[1].fault->text,
                   "Server.Processing|Item is bound");
         EXPECT_EQ(platform.drops.after_ms, 0u);
         EXPECT_EQ(platform.refuse_reconnects.root_cause, "RECONNECT-REFUSED");
       }},
      {"faults.yaml", "Demo",
       [](const PlatformSettings& platform) {
         EXPECT_EQ(platform.drops.after_ms, 3000u);
         ASSERT_TRUE(platform.drops.every_ms.has_value());
         EXPECT_EQ(platform.drops.every_ms->min_ms, 2000u);
         EXPECT_EQ(platform.drops.every_ms->max_ms, 5000u);
         EXPECT_EQ(platform.refuse_reconnects.count, 1u);
         EXPECT_EQ(platform.refuse_reconnects.every, 0u);
         EXPECT_TRUE(platform.pushes.empty()) << "a kick would end the session";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    auto loaded = LoadScenarioFile(std::string(KIV_SOURCE_DIR "/sim/scenarios/") + c.file);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    const Scenario& scenario = loaded.value();
    ASSERT_EQ(scenario.accounts.size(), 1u);
    EXPECT_EQ(scenario.accounts[0].summoner_name, c.summoner_name);
    c.check(scenario.platform);
  }
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
  drops: { after_ms: 3000, every_ms: [2000, 5000], seed: 7 }
  refuse_reconnects: { count: 2, every: 3, root_cause: KIV-NO-RETURN }
  service_proxy:
    compress: true
    answers:
      - { service: inventoryService, compress: false, malformed: truncated, message_id: "",
          also_ack: true, status: ACK, response_method: getItemsDone }
      - { malformed: not-gzip }
  services:
    - { destination: inventoryService, operation: getItems, array_collections: true,
        value: { __class: kiv.ItemList, items: [ { __class: kiv.Item, name: sword } ] } }
    - { operation: dropItem, fault: { faultString: Item is bound } }
    - { fault: { faultCode: Client.Kiv, faultString: No such service } }
login_queue: { players_ahead: 3, rate: 0.5, ticker_storm: { count: 2, status: 429 } }
)";
  const char* json = R"({"accounts": [{"username": "bob", "queue_outcome": "failed",
    "account_states": ["TRANSFERRING_OUT", "ENABLED"],
    "reconnect_credentials": {"serverPort": 5100}}],
  "platform": {"faults": {"login_data_packet": "malformed", "subscribe": "drop"},
    "pushes": [{"delay_ms": 10, "class": "kiv.Kick", "body": {"sessionToken": "$token"},
                "array_collections": true}],
    "drops": {"after_ms": 3000, "every_ms": [2000, 5000], "seed": 7},
    "refuse_reconnects": {"count": 2, "every": 3, "root_cause": "KIV-NO-RETURN"},
    "service_proxy": {"compress": true, "answers": [
      {"service": "inventoryService", "compress": false, "malformed": "truncated",
       "message_id": "", "also_ack": true, "status": "ACK", "response_method": "getItemsDone"},
      {"malformed": "not-gzip"}]},
    "services": [
      {"destination": "inventoryService", "operation": "getItems", "array_collections": true,
       "value": {"__class": "kiv.ItemList", "items": [{"__class": "kiv.Item", "name": "sword"}]}},
      {"operation": "dropItem", "fault": {"faultString": "Item is bound"}},
      {"fault": {"faultCode": "Client.Kiv", "faultString": "No such service"}}]},
  "login_queue": {"players_ahead": 3, "rate": 0.5, "ticker_storm": {"count": 2, "status": 429}}})";
  auto empty = ParseScenario("");
  ASSERT_TRUE(empty.ok()) << "an empty file is a scenario: " << empty.error();
  EXPECT_TRUE(empty.value().accounts.empty());
  EXPECT_FALSE(empty.value().platform.drops.every_ms.has_value());
  EXPECT_EQ(empty.value().platform.drops.seed, 1u);
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
    const DropSettings& drops = s.platform.drops;
    ASSERT_TRUE(drops.every_ms.has_value());
    EXPECT_EQ(std::to_string(drops.after_ms) + " [" + std::to_string(drops.every_ms->min_ms) +
                  ", " + std::to_string(drops.every_ms->max_ms) + "] " + std::to_string(drops.seed),
              "3000 [2000, 5000] 7");
    const ReconnectRefusals& refusals = s.platform.refuse_reconnects;
    EXPECT_EQ(std::to_string(refusals.count) + " " + std::to_string(refusals.every) + " " +
                  refusals.root_cause,
              "2 3 KIV-NO-RETURN");

    const ServiceProxySettings& proxy = s.platform.service_proxy;
    ASSERT_EQ(proxy.answers.size(), 2u);
    const ServiceProxyAnswer& first = proxy.answers[0];
    EXPECT_TRUE(proxy.compress);
    EXPECT_EQ(first.compress, std::optional<bool>(false));
    EXPECT_EQ(first.malformed, MalformedPayload::kTruncated);
    EXPECT_EQ(first.message_id, std::optional<std::string>("")) << "present though empty";
    EXPECT_TRUE(first.also_ack);
    EXPECT_EQ(first.response_method, "getItemsDone");
    EXPECT_EQ(first.status, "ACK");
    const ServiceProxyAnswer& second = proxy.answers[1];
    EXPECT_EQ(second.service + second.method + second.status + second.payload, "OK");
    EXPECT_FALSE(second.compress.has_value()) << "left to the global compress";
    EXPECT_EQ(second.malformed, MalformedPayload::kNotGzip);
    EXPECT_FALSE(second.message_id.has_value());
    EXPECT_FALSE(second.also_ack);

    ASSERT_EQ(s.platform.services.size(), 3u);
    const ScriptedService& items = s.platform.services[0];
    EXPECT_EQ(items.destination + "." + items.operation, "inventoryService.getItems");
    EXPECT_TRUE(items.array_collections);
    EXPECT_FALSE(items.fault.has_value());
    EXPECT_EQ(WriteJson(items.value),
              R"({"__class":"kiv.ItemList","items":[{"__class":"kiv.Item","name":"sword"}]})");
    std::string faults;
    for (size_t i = 1; i < 3; ++i) {
      const ScriptedService& service = s.platform.services[i];
      ASSERT_TRUE(service.fault.has_value());
      EXPECT_EQ(service.value.type(), BindingType::kEmpty);
      EXPECT_FALSE(service.array_collections);
      faults += service.destination + "." + service.operation + " " + service.fault->code + "|" +
                service.fault->text + ";";
    }
    EXPECT_EQ(faults, ".dropItem Server.Processing|Item is bound;. Client.Kiv|No such service;");
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
      {"platform: { drops: { after_ms: soon } }\n",
       "platform.drops.after_ms must be a whole number in range"},
      {"platform: { drops: { after_ms: 1, every_ms: 2000 } }\n",
       "platform.drops.every_ms must be [min, max], two whole numbers of ms"},
      {"platform: { drops: { after_ms: 1, every_ms: [2000] } }\n",
       "platform.drops.every_ms must be [min, max], two whole numbers of ms"},
      {"platform: { drops: { after_ms: 1, every_ms: [-1, 5] } }\n",
       "platform.drops.every_ms must be [min, max], two whole numbers of ms"},
      {"platform: { drops: { after_ms: 1, every_ms: [5000, 2000] } }\n",
       "platform.drops.every_ms must not have its min above its max"},
      {"platform: { drops: { every_ms: [2000, 5000] } }\n",
       "platform.drops.every_ms needs after_ms"},
      {"platform: { drops: { after_ms: 1, seed: -7 } }\n",
       "platform.drops.seed must be a whole number in range"},
      {"platform: { drops: { after: 1 } }\n", "platform.drops.after is not a known setting"},
      {"platform: { drops: 3000 }\n", "platform.drops must be a mapping"},
      {"platform: { refuse_reconnects: { count: [1] } }\n",
       "platform.refuse_reconnects.count must be a whole number in range"},
      {"platform: { refuse_reconnects: { every: -3 } }\n",
       "platform.refuse_reconnects.every must be a whole number in range"},
      {"platform: { refuse_reconnects: { root_cause: \"\" } }\n",
       "platform.refuse_reconnects.root_cause must not be empty"},
      {"{\"platform\": {\"refuse_reconnects\": {\"count\": 1, \"evry\": 3}}}",
       "platform.refuse_reconnects.evry is not a known setting"},
      {"platform: { service_proxy: { answers: [ { malformed: garbled } ] } }\n",
       "platform.service_proxy.answers[0].malformed must be one of not-base64, not-gzip, "
       "truncated (not \"garbled\")"},
      {"platform: { service_proxy: { answers: [ { compress: 1 } ] } }\n",
       "platform.service_proxy.answers[0].compress must be true or false"},
      {"platform: { service_proxy: { answers: [ { also_ack: sometimes } ] } }\n",
       "platform.service_proxy.answers[0].also_ack must be true or false"},
      {"platform: { service_proxy: { answers: [ { message_id: [a] } ] } }\n",
       "platform.service_proxy.answers[0].message_id must be a text"},
      {"platform: { service_proxy: { answers: [ { messageId: a } ] } }\n",
       "platform.service_proxy.answers[0].messageId is not a known setting"},
      {"platform: { services: { destination: a } }\n", "platform.services must be a list"},
      {"platform: { services: [ destination ] }\n", "platform.services[0] must be a mapping"},
      {"platform: { services: [ { destination: [a] } ] }\n",
       "platform.services[0].destination must be a text"},
      {"platform: { services: [ { operation: { a: 1 } } ] }\n",
       "platform.services[0].operation must be a text"},
      {"platform: { services: [ { service: a } ] }\n",
       "platform.services[0].service is not a known setting"},
      {"platform: { services: [ { array_collections: yes please } ] }\n",
       "platform.services[0].array_collections must be true or false"},
      {"platform: { services: [ { fault: Item is bound } ] }\n",
       "platform.services[0].fault must be a mapping"},
      {"platform: { services: [ { fault: { faultcode: X } } ] }\n",
       "platform.services[0].fault.faultcode is not a known setting"},
      {"platform: { services: [ { fault: { faultCode: \"\" } } ] }\n",
       "platform.services[0].fault.faultCode must not be empty"},
      {"platform: { services: [ { fault: { faultString: [a] } } ] }\n",
       "platform.services[0].fault.faultString must be a text"},
      {"platform: { services: [ { value: 1, fault: { faultString: x } } ] }\n",
       "platform.services[0].fault and value do not go together"},
      {"platform: { services: [ { value: { a: [ 1, { __class: 7 } ] } } ] }\n",
       "platform.services[0].value.a[1].__class must be a class name"},
      {"{\"platform\": {\"services\": [{\"value\": {\"__class\": \"\"}}]}}",
       "platform.services[0].value.__class must be a class name"},
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
