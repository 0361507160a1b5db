#include "sim/login_queue_model.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "binding/value/binding_result.h"
#include "lcds/token_reader.h"

namespace Voro::Sim {
namespace {

constexpr int64_t kStart = 1'000'000;
constexpr char kAliceForm[] = "user=alice,password=alice-pw";

PlatformAccount Account(const std::string& user, int64_t id) {
  PlatformAccount account;
  account.username = user;
  account.password = user + "-pw";
  account.account_id = id;
  return account;
}

BindingProperty Body(const HttpAnswer& answer) {
  BindingResult parsed = ParseJson(answer.body);
  EXPECT_TRUE(parsed.ok()) << answer.body;
  return parsed.value();
}

TEST(LoginQueueModelTest, ImmediateLoginCarriesTicketIdTokenAndGasToken) {
  PlatformAccount alice = Account("alice", 7);
  alice.in_game = true;
  LoginQueueModel model({alice}, {}, kStart);
  // The wall clock the model reads; time() may lag it by a coarse tick across a second.
  auto unix_seconds = [] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  };
  const uint64_t before = unix_seconds();
  const BindingProperty body = Body(model.Authenticate(kAliceForm, kStart + 5000));
  const uint64_t after = unix_seconds();
  std::string fields;
  for (const char* name : {"status", "lqt", "gasToken", "inGameCredentials"}) {
    fields += WriteJson(body[name]) + " ";
  }
  EXPECT_EQ(fields, R"("LOGIN" {"account_id":7,"account_name":"alice","queue":"sim",)"
                    R"("signature":"sim-lqt-1"} {"gas_account_id":7,"gas_token":"sim-gas-alice"} )"
                    R"({"encryptionKey":"sim-key","handshakeToken":"sim-handshake","inGame":true,)"
                    R"("serverIp":"127.0.0.1","serverPort":5100} )");

  const BindingResult claims = TokenReader(std::string(body["idToken"].GetString())).Payload();
  ASSERT_TRUE(claims.ok());
  EXPECT_EQ(claims.value()["sub"].GetString(), "sim-puuid-7");
  const uint64_t expiry = claims.value()["exp"].ToUnsigned();
  EXPECT_TRUE(expiry >= before + 3600 && expiry <= after + 3600) << "an hour from now: " << expiry;

  // The platform recognises the ticket as the queue's, for its user only.
  const std::string ticket = WriteJson(body.Field("lqt"), nullptr, "pretty");
  EXPECT_TRUE(model.IsIssued("alice", ticket));
  EXPECT_FALSE(model.IsIssued("bob", ticket));
  EXPECT_FALSE(model.IsIssued("alice", R"({"signature":"sim-lqt-99"})"));
  EXPECT_FALSE(model.IsIssued("alice", "not json"));
}

TEST(LoginQueueModelTest, CredentialFormsAndRefusals) {
  PlatformAccount partner = Account("carol", 3);
  partner.partner_credentials = "partner:carol";
  partner.access_token = "at-carol";
  LoginQueueModel model({Account("alice", 7), partner}, {}, kStart);
  EXPECT_EQ(Body(model.Authenticate("partner:carol", kStart))["lqt"]["account_name"].GetString(),
            "carol");
  EXPECT_EQ(model.AuthenticateWithAccessToken("Bearer at-carol", kStart).status, 200);
  const HttpAnswer wrong = model.Authenticate("user=alice,password=nope", kStart);
  EXPECT_EQ(std::to_string(wrong.status) + " " + wrong.body,
            R"(403 {"reason":"invalid_credentials","status":"FAILED"})");
  EXPECT_EQ(model.AuthenticateWithAccessToken("at-carol", kStart).status, 403)
      << "the header needs its Bearer prefix";
  EXPECT_EQ(model.Authenticate("", kStart).status, 403) << "no empty partner text matches";
}

TEST(LoginQueueModelTest, OutcomesOfTheAccountTable) {
  const std::pair<QueueOutcome, const char*> rows[] = {
      {QueueOutcome::kBusy, R"({"status":"BUSY"})"},
      {QueueOutcome::kArlQueue, R"({"status":"ARL_QUEUE"})"},
      {QueueOutcome::kFailed, R"({"reason":"account_transferring_out","status":"FAILED"})"},
      {QueueOutcome::kBanned, R"({"banReason":"cheating","banned":1700000000000})"},
  };
  for (const auto& [outcome, body] : rows) {
    PlatformAccount alice = Account("alice", 7);
    alice.queue_outcome = outcome;
    alice.queue_reason = "account_transferring_out";
    alice.ban_reason = "cheating";
    alice.ban_expiration = 1700000000000;
    EXPECT_EQ(LoginQueueModel({alice}, {}, kStart).Authenticate(kAliceForm, kStart).body, body);
  }
}

TEST(LoginQueueModelTest, QueueDrainsAtItsRateAcrossNodes) {
  // 10 per second over two nodes: 5 per node per second.
  const LoginQueueSettings settings{
      .players_ahead = 21, .nodes = 2, .rate = 10, .backlog = 4, .vcap = 15, .delay_ms = 250};
  LoginQueueModel model({Account("alice", 7)}, settings, kStart);
  // Two seconds in, the nodes serve 1010 and 2010.
  const BindingProperty body = Body(model.Authenticate(kAliceForm, kStart + 2000));
  std::string fields;
  for (const char* name : {"status", "champ", "vcap", "delay", "rate", "backlog", "tickers"}) {
    fields += WriteJson(body[name]) + " ";
  }
  EXPECT_EQ(fields, R"("QUEUE" "sim" 15 250 10.0 4 [{"current":1010,"id":1021,"node":"node1"},)"
                    R"({"current":2010,"id":2020,"node":"node2"}] )");

  // Served numbers are hexadecimal texts; 1.5 s later each node has served 7 more.
  EXPECT_EQ(model.Ticker("sim", kStart + 3500).body,
            R"({"backlog":0,"node1":"3f9","node2":"7e1","status":"QUEUE"})");
  EXPECT_EQ(model.Ticker("other", kStart).status, 404);

  const std::string ticket = WriteJson(body.Field("lqt"), nullptr, "pretty");
  EXPECT_EQ(model.Token(ticket, kStart + 3500).body, R"({"status":"QUEUE"})")
      << "the nodes still have 4 and 3 to serve";
  // By 6.2 s both nodes have passed the ticket.
  EXPECT_EQ(WriteJson(Body(model.Token(ticket, kStart + 6200)).Field("lqt")),
            WriteJson(body.Field("lqt")));
  EXPECT_EQ(model.Token(R"({"signature":"forged"})", kStart + 6200).status, 400);
}

TEST(LoginQueueModelTest, StormsComeFirstThenTheQueueBehaves) {
  const LoginQueueSettings settings{.players_ahead = 2,
                                    .authenticate_storm = {2, 503, "overloaded"},
                                    .ticker_storm = {1, 429, ""},
                                    .token_storm = {1, 500, "{}"}};
  LoginQueueModel model({Account("alice", 7)}, settings, kStart);
  EXPECT_EQ(model.Authenticate(kAliceForm, kStart).status, 503);
  EXPECT_EQ(model.Authenticate(kAliceForm, kStart).body, "overloaded");
  const std::string ticket = WriteJson(Body(model.Authenticate(kAliceForm, kStart))["lqt"]);
  EXPECT_EQ(model.Ticker("sim", kStart).status, 429);
  EXPECT_EQ(model.Ticker("sim", kStart).status, 200);
  EXPECT_EQ(model.Token(ticket, kStart + 10'000).status, 500);
  EXPECT_EQ(model.Token(ticket, kStart + 10'000).status, 200);
}

TEST(LoginQueueModelTest, BusyAndMalformedEndpoints) {
  LoginQueueModel busy({Account("alice", 7)}, {.ticker_busy = true, .token_busy = true}, kStart);
  EXPECT_EQ(busy.Ticker("sim", kStart).body, R"({"status":"BUSY"})");
  EXPECT_EQ(busy.Token("{}", kStart).body, R"({"status":"BUSY"})");

  for (const char* endpoint : {"authenticate", "ticker", "token"}) {
    LoginQueueModel model({Account("alice", 7)}, {.malformed = endpoint}, kStart);
    const HttpAnswer answers[] = {model.Authenticate(kAliceForm, kStart),
                                  model.Ticker("sim", kStart), model.Token("{}", kStart)};
    int malformed = 0;
    for (const HttpAnswer& answer : answers) {
      if (answer.status == 200 && !ParseJson(answer.body).ok()) ++malformed;
    }
    EXPECT_EQ(malformed, 1) << endpoint;
  }
}

}  // namespace
}  // namespace Voro::Sim
