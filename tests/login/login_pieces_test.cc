// The small rules of a login attempt: command-line credentials, the sign-on failure
// tables, the telemetry record, region settings and the login as the queue client sees it.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "binding/codec/json_reader.h"
#include "binding/value/binding_result.h"
#include "login/client_login_queue_subject.h"
#include "login/command_line_credentials.h"
#include "login/login_telemetry.h"
#include "login/qsa_failure.h"
#include "login/region_settings.h"
#include "support/manual_clock.h"

namespace Voro {
namespace {

std::optional<HeldCredentials> FromJson(const char* json) {
  BindingResult arguments = ParseJson(json);
  EXPECT_TRUE(arguments.ok()) << json;
  return CredentialsFromCommandLine(arguments.value());
}

TEST(CommandLineCredentialsTest, EachSourceAndItsPrecedence) {
  EXPECT_FALSE(FromJson(R"({"locale": "en_US"})").has_value());
  EXPECT_FALSE(FromJson(R"({"garena-plus-token": ""})").has_value()) << "a value is needed";

  std::optional<HeldCredentials> partner = FromJson(R"({"garena-plus-token": "gp-123"})");
  ASSERT_TRUE(partner.has_value());
  EXPECT_EQ(partner->kind, CredentialKind::kPartner);
  EXPECT_EQ(partner->partner, "gp-123");

  std::optional<HeldCredentials> tcls =
      FromJson(R"({"garena-plus-token": "gp-123", "tcls-uId": "u42", "tcls-cltkey": "a1b2c3",)"
               R"( "tcls-gameSignature": "sig!"})");
  ASSERT_TRUE(tcls.has_value());
  EXPECT_EQ(tcls->kind, CredentialKind::kPartner);
  EXPECT_EQ(tcls->partner,
            "payload=8393 gameSignatureLength=4 szGameSignature=sig! cltkeyLength=3 "
            "cltkey=a1b2c3 uId=u42");
  EXPECT_EQ(FromJson(R"({"garena-plus-token": "gp", "tcls-uId": "u", "tcls-cltkey": "",)"
                     R"( "tcls-gameSignature": "s"})")
                ->partner,
            "gp")
      << "all three tcls arguments must be non-empty";

  std::optional<HeldCredentials> auto_login = FromJson(
      R"({"garena-plus-token": "gp", "auto-login-username": "alice", "auto-login-password": ""})");
  ASSERT_TRUE(auto_login.has_value());
  EXPECT_EQ(auto_login->kind, CredentialKind::kUsernameAndPassword);
  EXPECT_EQ(auto_login->username_and_password.username, "alice");
  EXPECT_EQ(auto_login->username_and_password.password, "") << "present is enough";
  EXPECT_EQ(FromJson(R"({"auto-login-username": "alice"})"), std::nullopt);
}

TEST(QsaFailureTest, StatusTable) {
  auto never = []() -> std::optional<std::string> {
    ADD_FAILURE() << "only a 400 asks the error endpoint";
    return std::nullopt;
  };
  EXPECT_EQ(MapQSAFailure({410, "gone"}, never),
            (Failure{"ALE-54000001", "LOGIN_CANCELED", "Login was canceled"}));
  EXPECT_EQ(MapQSAFailure({503, "upstream down"}, never),
            (Failure{"ALE-54000002", "FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE",
                     "Server error: upstream down"}));
  EXPECT_EQ(MapQSAFailure({401, "no"}, never),
            (Failure{"ALE-54000003", "INVALID_CREDENTIALS", "QSA rejected credentials."}));
  EXPECT_EQ(MapQSAFailure({404, "what"}, never),
            (Failure{"ALE-54000004", "UNSPECIFIED_ERROR", "Unexpected message from QSA: what"}));
}

TEST(QsaFailureTest, ErrorDescriptionTable) {
  const std::pair<const char*, Failure> rows[] = {
      {"account_state_disabled",
       {"ALE-54000005", "ACCOUNT_DISABLED", "QSA rejected auth: account is currently disabled."}},
      {"account_state_transferring_out",
       {"ALE-54000006", "LOGIN-0008", "QSA rejected auth: account is currently transferring out."}},
      {"account_state_transferring_in",
       {"ALE-54000008", "LOGIN-0009", "QSA rejected auth: account is currently transferring in."}},
      {"account_state_transferring_back",
       {"ALE-54000008", "LOGIN-0009", "QSA rejected auth: account is currently transferring in."}},
      {"account_state_creating",
       {"ALE-54000008", "LOGIN-0009", "QSA rejected auth: account is currently transferring in."}},
      {"account_state_transferred_out",
       {"ALE-54000007", "LOGIN-0010", "QSA rejected auth: account has been transferred out."}},
      {"account_state_platform_split",
       {"ALE-54000007", "LOGIN-0010", "QSA rejected auth: account has been transferred out."}},
      {"account_state_unknown",
       {"ALE-54000004", "UNSPECIFIED_ERROR", "Unexpected message from QSA: bad request"}},
  };
  for (const auto& row : rows) {
    const std::string& description = row.first;
    EXPECT_EQ(MapQSAFailure({400, "bad request"},
                            [&]() -> std::optional<std::string> { return description; }),
              row.second)
        << description;
  }
  EXPECT_EQ(
      MapQSAFailure({400, "bad request"}, [] { return std::optional<std::string>(); }),
      (Failure{"ALE-54000004", "UNSPECIFIED_ERROR", "Unexpected message from QSA: bad request"}));
}

TEST(LoginTelemetryTest, DurationsAndFailures) {
  testing::ManualClock clock;
  const int64_t start = SteadyNowNanoseconds();
  clock.AdvanceMilliseconds(1500);
  LoginTelemetryRecord record;
  RecordDuration(record, "login_auth", start);
  EXPECT_EQ(record.at("login_auth_duration_seconds"), "1.500000");
  clock.AdvanceNanoseconds(1);
  RecordDuration(record, "login_overall", SteadyNowNanoseconds());
  EXPECT_EQ(record.at("login_overall_duration_seconds"), "0.000000");
  RecordFailure(record, {"ALE-591382CE", "LOGIN_CANCELLED", "The login attempt was canceled"});
  EXPECT_EQ(record.at("login_succeeded"), "false");
  EXPECT_EQ(record.at("login_error.id"), "ALE-591382CE");
  EXPECT_EQ(record.at("login_error.messageId"), "LOGIN_CANCELLED");
  EXPECT_EQ(record.size(), 5u);
}

MaybeType<RegionSettings> Region(const char* lcds, const char* entry_extra = "") {
  BindingResult region_data = ParseJson(std::string(R"({"eu": {)") + entry_extra +
                                        R"("servers": {"lcds": )" + lcds + "}}}");
  BindingResult globals = ParseJson(R"({"region": "eu"})");
  EXPECT_TRUE(region_data.ok() && globals.ok()) << lcds;
  return ReadRegionSettings(region_data.value(), globals.value());
}

TEST(RegionSettingsTest, DefaultsAndValues) {
  MaybeType<RegionSettings> defaults = Region(R"({"lcds_host": "h", "login_queue_url": "q"})");
  ASSERT_TRUE(defaults.ok());
  EXPECT_EQ(defaults.value().lcds_port, 2099);
  EXPECT_TRUE(defaults.value().use_tls);
  EXPECT_EQ(defaults.value().qsa_platform_id, "");
  EXPECT_EQ(defaults.value().lcds_host, "h");
  EXPECT_EQ(defaults.value().login_queue_url, "q");

  MaybeType<RegionSettings> given =
      Region(R"({"lcds_port": 65535, "use_tls": false})", R"("qsa_platform_id": "EU1", )");
  ASSERT_TRUE(given.ok());
  EXPECT_EQ(given.value().lcds_port, 65535);
  EXPECT_FALSE(given.value().use_tls);
  EXPECT_EQ(given.value().qsa_platform_id, "EU1");
}

TEST(RegionSettingsTest, PortsOutOfRangeAndMissingRegions) {
  const std::pair<const char*, Failure> cases[] = {
      {R"({"lcds_port": 0})",
       {"ALE-5B139041", "UNSPECIFIED_ERROR", "lcds_port must be larger than 0, but was 0"}},
      {R"({"lcds_port": -5})",
       {"ALE-5B139041", "UNSPECIFIED_ERROR", "lcds_port must be larger than 0, but was -5"}},
      {R"({"lcds_port": 65536})",
       {"ALE-58CC123E", "UNSPECIFIED_ERROR",
        "lcds_port cannot be larger than 65535, but was 65536"}},
      {R"({"lcds_port": 18446744073709551615})",
       {"ALE-58CC123E", "UNSPECIFIED_ERROR",
        "lcds_port cannot be larger than 65535, but was 18446744073709551615"}},
      {R"({"lcds_port": "2099"})",
       {"ALE-5B139041", "UNSPECIFIED_ERROR", "lcds_port must be larger than 0, but was 2099"}},
  };
  for (const auto& [lcds, expected] : cases) {
    MaybeType<RegionSettings> settings = Region(lcds);
    ASSERT_FALSE(settings.ok()) << lcds;
    EXPECT_EQ(settings.failure(), expected) << lcds;
  }
  BindingResult region_data = ParseJson(R"({"eu": {}})");
  BindingResult globals = ParseJson(R"({"region": "us"})");
  MaybeType<RegionSettings> missing = ReadRegionSettings(region_data.value(), globals.value());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.failure().description, "Region \"us\" has no settings in the region data");
}

TEST(ClientLoginQueueSubjectTest, TheQueueClientReadsAndFillsTheLogin) {
  ClientLogin login;
  login.login_queue_url = "https://lq.test";
  login.credentials.username_and_password = {"alice", "pw"};
  login.credentials.access_token.token = "tok.en";
  login.credentials.partner = "payload=8393 uId=7";
  ClientLoginQueueSubject subject(login);
  EXPECT_EQ(subject.login_queue_url(), "https://lq.test");

  // Each kind of held credentials comes with only its own values.
  const std::pair<CredentialKind, std::string> kinds[] = {
      {CredentialKind::kUsernameAndPassword, "0 alice pw  "},
      {CredentialKind::kAccessToken, "1   tok.en "},
      {CredentialKind::kPartner, "2    payload=8393 uId=7"},
      {static_cast<CredentialKind>(7), "2    payload=8393 uId=7"},
  };
  for (const auto& [kind, expected] : kinds) {
    login.credentials.kind = kind;
    const LoginQueueCredentials held = subject.credentials();
    EXPECT_EQ(std::to_string(static_cast<int32_t>(held.form)) + " " + held.username + " " +
                  held.password + " " + held.access_token + " " + held.partner,
              expected);
  }

  LoginQueueAccount account;
  account.username = "alice";
  account.account_id = 77;
  account.gas_token["g"] = 1;
  account.id_token = "id";
  account.puuid = "puuid-1";
  account.id_token_expiry = 1700000000;
  account.in_game_credentials = BindingProperty();
  (*account.in_game_credentials)["inGame"] = true;
  subject.StoreAccount(account);
  EXPECT_EQ(login.username + " " + std::to_string(login.account_id) + " " + login.id_token + " " +
                login.puuid + " " + std::to_string(login.id_token_expiry),
            "alice 77 id puuid-1 1700000000");
  EXPECT_EQ(login.gas_token["g"].ToUnsigned(), 1u);
  // An answer without in-game credentials leaves the ones held.
  account.in_game_credentials.reset();
  account.username = "bob";
  subject.StoreAccount(std::move(account));
  EXPECT_EQ(login.username, "bob");
  ASSERT_TRUE(login.in_game_credentials.has_value());
  EXPECT_TRUE((*login.in_game_credentials)["inGame"].GetBool());

  subject.StoreAuthToken("lq-token");
  EXPECT_EQ(login.auth_token, "lq-token");

  int changes = 0;
  login.SetChangeCallback([&changes] { ++changes; });
  subject.SetQueueStatus(Client::Api::LoginQueue{5, true, 30});
  EXPECT_EQ(changes, 0) << "setting the status does not announce it";
  subject.NotifyChanged();
  EXPECT_EQ(changes, 1);
  ASSERT_TRUE(login.queue_position.has_value());
  EXPECT_EQ(&*subject.queue_status(), &*login.queue_position);
  subject.SetQueueStatus(std::nullopt);
  EXPECT_FALSE(login.queue_position.has_value());

  subject.SetState(3);
  EXPECT_EQ(login.state(), 3);
  subject.SetFailure(13, {"ALE-1", "M", "D"});
  EXPECT_EQ(login.state(), 13);
  EXPECT_EQ(login.failure().value_or(Failure{}).id, "ALE-1");
  EXPECT_FALSE(subject.stop_requested());
  login.RequestStop();
  EXPECT_TRUE(subject.stop_requested());
}

}  // namespace
}  // namespace Voro
