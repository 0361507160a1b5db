#include "sim/login_queue_model.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "binding/binding_result.h"
#include "binding/json_reader.h"
#include "binding/json_writer.h"
#include "lcds/token_reader.h"

namespace Voro::Sim {
namespace {

constexpr int64_t kStart = 1'000'000;

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
  LoginQueueModel model({Account("alice", 7)}, {}, kStart);
  const HttpAnswer answer = model.Authenticate("user=alice,password=alice-pw", kStart + 5000);
  ASSERT_EQ(answer.status, 200);
  const BindingProperty body = Body(answer);
  EXPECT_EQ(body.Field("status").GetString(), "LOGIN");
  EXPECT_EQ(WriteJson(body.Field("lqt")),
            R"({"account_id":7,"account_name":"alice","queue":"sim","signature":"sim-lqt-1"})");
  EXPECT_EQ(body.Field("gasToken").Field("gas_token").GetString(), "sim-gas-alice");
  EXPECT_FALSE(body.Field("inGameCredentials").Field("inGame").GetBool(true));
  EXPECT_EQ(body.FindField("tickers"), nullptr);

  TokenReader id_token(std::string(body.Field("idToken").GetString()));
  BindingResult claims = id_token.Payload();
  ASSERT_TRUE(claims.ok()) << id_token.error();
  EXPECT_EQ(claims.value().Field("sub").GetString(), "sim-puuid-7");
  const uint64_t expiry = claims.value().Field("exp").ToUnsigned();
  const auto now = static_cast<uint64_t>(std::time(nullptr));
  EXPECT_GE(expiry, now + 3590) << "an hour from now, in Unix seconds";
  EXPECT_LE(expiry, now + 3600);

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
  EXPECT_EQ(Body(model.Authenticate("partner:carol", kStart))
                .Field("lqt")
                .Field("account_name")
                .GetString(),
            "carol");
  EXPECT_EQ(Body(model.AuthenticateWithAccessToken("Bearer at-carol", kStart))
                .Field("status")
                .GetString(),
            "LOGIN");
  const HttpAnswer wrong = model.Authenticate("user=alice,password=nope", kStart);
  EXPECT_EQ(wrong.status, 403);
  EXPECT_EQ(wrong.body, R"({"reason":"invalid_credentials","status":"FAILED"})");
  EXPECT_EQ(model.AuthenticateWithAccessToken("at-carol", kStart).status, 403)
      << "the header needs its Bearer prefix";
  EXPECT_EQ(model.Authenticate("", kStart).status, 403) << "no empty partner text matches";
}

TEST(LoginQueueModelTest, OutcomesOfTheAccountTable) {
  PlatformAccount busy = Account("busy", 1);
  busy.queue_outcome = QueueOutcome::kBusy;
  PlatformAccount arl = Account("arl", 2);
  arl.queue_outcome = QueueOutcome::kArlQueue;
  PlatformAccount failed = Account("failed", 3);
  failed.queue_outcome = QueueOutcome::kFailed;
  failed.queue_reason = "account_transferring_out";
  PlatformAccount banned = Account("banned", 4);
  banned.queue_outcome = QueueOutcome::kBanned;
  banned.ban_reason = "cheating";
  banned.ban_expiration = 1700000000000;
  PlatformAccount in_game = Account("ingame", 5);
  in_game.in_game = true;
  LoginQueueModel model({busy, arl, failed, banned, in_game}, {}, kStart);
  auto answer = [&](const std::string& user) {
    return model.Authenticate("user=" + user + ",password=" + user + "-pw", kStart).body;
  };
  EXPECT_EQ(answer("busy"), R"({"status":"BUSY"})");
  EXPECT_EQ(answer("arl"), R"({"status":"ARL_QUEUE"})");
  EXPECT_EQ(answer("failed"), R"({"reason":"account_transferring_out","status":"FAILED"})");
  EXPECT_EQ(answer("banned"), R"({"banReason":"cheating","banned":1700000000000})");
  const BindingProperty game = Body(model.Authenticate("user=ingame,password=ingame-pw", kStart));
  EXPECT_TRUE(game.Field("inGameCredentials").Field("inGame").GetBool());
  EXPECT_EQ(game.Field("inGameCredentials").Field("serverIp").GetString(), "127.0.0.1");
}

TEST(LoginQueueModelTest, QueueDrainsAtItsRateAcrossNodes) {
  LoginQueueSettings settings;
  settings.players_ahead = 21;
  settings.nodes = 2;
  settings.rate = 10;  // 5 per node per second
  settings.backlog = 4;
  settings.vcap = 15;
  settings.delay_ms = 250;
  LoginQueueModel model({Account("alice", 7)}, settings, kStart);
  // Two seconds in, the nodes serve 1010 and 2010.
  const BindingProperty body =
      Body(model.Authenticate("user=alice,password=alice-pw", kStart + 2000));
  EXPECT_EQ(body.Field("status").GetString(), "QUEUE");
  EXPECT_EQ(body.Field("champ").GetString(), "sim");
  EXPECT_EQ(body.Field("vcap").ToUnsigned(), 15u);
  EXPECT_EQ(body.Field("delay").ToUnsigned(), 250u);
  EXPECT_EQ(body.Field("rate").ToDouble(), 10.0);
  EXPECT_EQ(body.Field("backlog").ToUnsigned(), 4u);
  EXPECT_EQ(WriteJson(body.Field("tickers")), R"([{"current":1010,"id":1021,"node":"node1"},)"
                                              R"({"current":2010,"id":2020,"node":"node2"}])");

  // Served numbers are hexadecimal texts; 1.5 s later each node has served 7 more.
  EXPECT_EQ(model.Ticker("sim", kStart + 3500).body,
            R"({"backlog":0,"node1":"3f9","node2":"7e1","status":"QUEUE"})");
  EXPECT_EQ(model.Ticker("other", kStart).status, 404);

  const std::string ticket = WriteJson(body.Field("lqt"), nullptr, "pretty");
  EXPECT_EQ(model.Token(ticket, kStart + 3500).body, R"({"status":"QUEUE"})")
      << "the nodes still have 4 and 3 to serve";
  // By 6.2 s both nodes have passed the ticket.
  const BindingProperty token = Body(model.Token(ticket, kStart + 6200));
  EXPECT_EQ(WriteJson(token.Field("lqt")), WriteJson(body.Field("lqt")));
  EXPECT_EQ(model.Token(R"({"signature":"forged"})", kStart + 6200).status, 400);
}

TEST(LoginQueueModelTest, StormsComeFirstThenTheQueueBehaves) {
  LoginQueueSettings settings;
  settings.players_ahead = 2;
  settings.authenticate_storm = {2, 503, "overloaded"};
  settings.ticker_storm = {1, 429, ""};
  settings.token_storm = {1, 500, "{}"};
  LoginQueueModel model({Account("alice", 7)}, settings, kStart);
  const std::string form = "user=alice,password=alice-pw";
  EXPECT_EQ(model.Authenticate(form, kStart).status, 503);
  EXPECT_EQ(model.Authenticate(form, kStart).body, "overloaded");
  const HttpAnswer joined = model.Authenticate(form, kStart);
  EXPECT_EQ(joined.status, 200);
  EXPECT_EQ(model.Ticker("sim", kStart).status, 429);
  EXPECT_EQ(model.Ticker("sim", kStart).status, 200);
  const std::string ticket = WriteJson(Body(joined).Field("lqt"));
  EXPECT_EQ(model.Token(ticket, kStart + 10'000).status, 500);
  EXPECT_EQ(model.Token(ticket, kStart + 10'000).status, 200);
}

TEST(LoginQueueModelTest, BusyAndMalformedEndpoints) {
  LoginQueueSettings settings;
  settings.ticker_busy = true;
  settings.token_busy = true;
  LoginQueueModel busy({Account("alice", 7)}, settings, kStart);
  EXPECT_EQ(busy.Ticker("sim", kStart).body, R"({"status":"BUSY"})");
  EXPECT_EQ(busy.Token("{}", kStart).body, R"({"status":"BUSY"})");

  for (const char* endpoint : {"authenticate", "ticker", "token"}) {
    settings = {};
    settings.malformed = endpoint;
    LoginQueueModel model({Account("alice", 7)}, settings, kStart);
    const HttpAnswer answers[] = {model.Authenticate("user=alice,password=alice-pw", kStart),
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
