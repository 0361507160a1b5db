// The small rules of a login attempt: command-line credentials, the sign-on failure
// tables, the telemetry record, region settings and the queue status as the queue client
// sees it in the login.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "binding/codec/json_reader.h"
#include "login/client_login_queue_subject.h"
#include "login/command_line_credentials.h"
#include "login/login_telemetry.h"
#include "login/qsa_failure.h"
#include "login/region_settings.h"
#include "support/manual_clock.h"

namespace Voro {
namespace {

BindingProperty Json(const std::string& text) {
  BindingResult parsed = ParseJson(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.value();
}

std::string Text(const Failure& failure) {
  return failure.id + " " + failure.messageId + " " + failure.description;
}

TEST(CommandLineCredentialsTest, EachSourceAndItsPrecedence) {
  const std::pair<const char*, std::string> rows[] = {
      {R"({"locale": "en_US"})", "none"},
      {R"({"garena-plus-token": ""})", "none"},  // a value is needed
      {R"({"garena-plus-token": "gp-123"})", "partner gp-123"},
      {R"({"garena-plus-token": "gp-123", "tcls-uId": "u42", "tcls-cltkey": "a1b2c3",)"
       R"( "tcls-gameSignature": "sig!"})",
       "partner payload=8393 gameSignatureLength=4 szGameSignature=sig! cltkeyLength=3 "
       "cltkey=a1b2c3 uId=u42"},
      // All three tcls arguments must be non-empty.
      {R"({"garena-plus-token": "gp", "tcls-uId": "u", "tcls-cltkey": "",)"
       R"( "tcls-gameSignature": "s"})",
       "partner gp"},
      // A present password is enough, even an empty one.
      {R"({"garena-plus-token": "gp", "auto-login-username": "alice", "auto-login-password": ""})",
       "user alice/"},
      {R"({"auto-login-username": "alice"})", "none"},
  };
  for (const auto& [json, expected] : rows) {
    const std::optional<HeldCredentials> held = CredentialsFromCommandLine(Json(json));
    std::string got = "none";
    if (held && held->kind == CredentialKind::kPartner) got = "partner " + held->partner;
    if (held && held->kind == CredentialKind::kUsernameAndPassword) {
      got = "user " + held->username_and_password.username + "/" +
            held->username_and_password.password;
    }
    if (held && held->kind == CredentialKind::kAccessToken) got = "access token";
    EXPECT_EQ(got, expected) << json;
  }
}

// Only a 400 asks the error endpoint for its description (nullptr: it has none).
TEST(QsaFailureTest, StatusAndErrorDescriptionTables) {
  const std::string transferring_in =
      "ALE-54000008 LOGIN-0009 QSA rejected auth: account is currently transferring in.";
  const std::string transferred_out =
      "ALE-54000007 LOGIN-0010 QSA rejected auth: account has been transferred out.";
  const std::string unexpected = "ALE-54000004 UNSPECIFIED_ERROR Unexpected message from QSA: boom";
  const std::tuple<int32_t, const char*, std::string> rows[] = {
      {410, "", "ALE-54000001 LOGIN_CANCELED Login was canceled"},
      {503, "", "ALE-54000002 FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE Server error: boom"},
      {401, "", "ALE-54000003 INVALID_CREDENTIALS QSA rejected credentials."},
      {404, "", unexpected},
      {400, "account_state_disabled",
       "ALE-54000005 ACCOUNT_DISABLED QSA rejected auth: account is currently disabled."},
      {400, "account_state_transferring_out",
       "ALE-54000006 LOGIN-0008 QSA rejected auth: account is currently transferring out."},
      {400, "account_state_transferring_in", transferring_in},
      {400, "account_state_transferring_back", transferring_in},
      {400, "account_state_creating", transferring_in},
      {400, "account_state_transferred_out", transferred_out},
      {400, "account_state_platform_split", transferred_out},
      {400, "account_state_unknown", unexpected},
      {400, nullptr, unexpected},
  };
  for (const auto& [status, description, expected] : rows) {
    int asked = 0;
    const char* const answer = description;  // a lambda cannot capture a structured binding
    const Failure failure = MapQSAFailure({status, "boom"}, [&]() -> std::optional<std::string> {
      ++asked;
      return answer != nullptr ? std::optional<std::string>(answer) : std::nullopt;
    });
    EXPECT_EQ(Text(failure), expected) << status << " " << (description ? description : "none");
    EXPECT_EQ(asked, status == 400 ? 1 : 0) << status;
  }
}

TEST(LoginTelemetryTest, DurationsAndFailures) {
  testing::ManualClock clock;
  const int64_t start = SteadyNowNanoseconds();
  clock.AdvanceMilliseconds(1500);
  LoginTelemetryRecord record;
  RecordDuration(record, "login_auth", start);
  clock.AdvanceNanoseconds(1);
  RecordDuration(record, "login_overall", SteadyNowNanoseconds());
  RecordFailure(record, {"ALE-591382CE", "LOGIN_CANCELLED", "The login attempt was canceled"});
  EXPECT_EQ(record, (LoginTelemetryRecord{{"login_auth_duration_seconds", "1.500000"},
                                          {"login_overall_duration_seconds", "0.000000"},
                                          {"login_succeeded", "false"},
                                          {"login_error.id", "ALE-591382CE"},
                                          {"login_error.messageId", "LOGIN_CANCELLED"}}));
}

// The settings as "port tls|plain [qsa platform] host url", or the failure.
TEST(RegionSettingsTest, DefaultsValuesPortsOutOfRangeAndMissingRegions) {
  const struct {
    const char* region;
    const char* lcds;
    const char* entry_extra;
    std::string expected;
  } rows[] = {
      {"eu", R"({"lcds_host": "h", "login_queue_url": "q"})", "", "2099 tls [] h q"},
      {"eu", R"({"lcds_port": 65535, "use_tls": false})", R"("qsa_platform_id": "EU1", )",
       "65535 plain [EU1]  "},
      {"eu", R"({"lcds_port": 0})", "",
       "ALE-5B139041 UNSPECIFIED_ERROR lcds_port must be larger than 0, but was 0"},
      {"eu", R"({"lcds_port": -5})", "",
       "ALE-5B139041 UNSPECIFIED_ERROR lcds_port must be larger than 0, but was -5"},
      {"eu", R"({"lcds_port": 65536})", "",
       "ALE-58CC123E UNSPECIFIED_ERROR lcds_port cannot be larger than 65535, but was 65536"},
      {"eu", R"({"lcds_port": 18446744073709551615})", "",
       "ALE-58CC123E UNSPECIFIED_ERROR lcds_port cannot be larger than 65535, but was "
       "18446744073709551615"},
      {"eu", R"({"lcds_port": "2099"})", "",
       "ALE-5B139041 UNSPECIFIED_ERROR lcds_port must be larger than 0, but was 2099"},
      {"us", "{}", "",
       R"(ALE-15E4AC07 UNSPECIFIED_ERROR Region "us" has no settings in the region data)"},
  };
  for (const auto& row : rows) {
    const MaybeType<RegionSettings> read =
        ReadRegionSettings(Json(std::string(R"({"eu": {)") + row.entry_extra +
                                R"("servers": {"lcds": )" + row.lcds + "}}}"),
                           Json(std::string(R"({"region": ")") + row.region + "\"}"));
    const RegionSettings& s = read.ok() ? read.value() : RegionSettings{};
    EXPECT_EQ(read.ok() ? std::to_string(s.lcds_port) + (s.use_tls ? " tls [" : " plain [") +
                              s.qsa_platform_id + "] " + s.lcds_host + " " + s.login_queue_url
                        : Text(read.failure()),
              row.expected)
        << row.lcds;
  }
}

// The rest of the subject is exercised by the login queue client's tests.
TEST(ClientLoginQueueSubjectTest, TheQueueStatusIsTheLoginsAndSettingItAnnouncesNothing) {
  ClientLogin login;
  ClientLoginQueueSubject subject(login);
  int changes = 0;
  login.SetChangeCallback([&changes] { ++changes; });
  subject.SetQueueStatus(Client::Api::LoginQueue{5, true, 30});
  EXPECT_EQ(changes, 0);
  ASSERT_TRUE(login.queue_position.has_value());
  EXPECT_EQ(&*subject.queue_status(), &*login.queue_position);
  EXPECT_EQ(login.queue_position->estimatedPositionInQueue, 5u);
  subject.NotifyChanged();
  EXPECT_EQ(changes, 1);
  subject.SetQueueStatus(std::nullopt);
  EXPECT_FALSE(login.queue_position.has_value());
}

}  // namespace
}  // namespace Voro
