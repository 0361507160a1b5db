// ClientLogin: the platform (LCDS) login that follows the login queue.
#include <string>

#include "diag/log.h"
#include "lcds/amf/amf_conversion.h"
#include "lcds/amf/amf_member.h"
#include "login/client_login.h"

namespace Voro {
namespace {

constexpr ClientLogin::LoginState kLcdsFailed = 13;

}  // namespace

ClientLogin::~ClientLogin() {
  // Tells the platform the session ends (waiting a few seconds at most) and closes it.
  lcds_.Logout();
}

MaybeType<std::monostate> ClientLogin::ConnectToLcds(std::chrono::milliseconds timeout) {
  failure_.reset();
  state_ = kConnectingToLcds;
  Log(kLevelAlways, Tag::DBG, "Connecting to LCDS host: %s:%hu", lcds_target.host.c_str(),
      lcds_target.port);

  LoginCredentials lcds_credentials;
  lcds_credentials.username = username;
  lcds_credentials.auth_token = auth_token;
  switch (credentials.kind) {
    case CredentialKind::kUsernameAndPassword:
      lcds_credentials.password = credentials.username_and_password.password;
      break;
    case CredentialKind::kAccessToken:
      // Signed on through the sign-on service: the queue's token is the credential.
      break;
    case CredentialKind::kPartner:
      lcds_credentials.has_partner_credentials = true;
      lcds_credentials.partner_credentials = credentials.partner;
      break;
  }
  static const TrustedCertificates kNone;
  MaybeType<LoginResult> result =
      lcds_.Login(lcds_target.host, lcds_target.port, lcds_target.use_tls,
                  trusted_certificates != nullptr ? *trusted_certificates : kNone, lcds_credentials,
                  std::to_string(account_id), timeout);
  if (!result.ok()) {
    Failure failure{"ALE-4FBFEF56", result.failure().messageId, result.failure().description};
    SetFailure(kLcdsFailed, failure);
    return failure;
  }
  Log(kLevelAlways, Tag::DBG, "Connected to LCDS host.");
  const std::string* password = AmfString(result.value().password);
  platform_password = password != nullptr ? *password : std::string();
  login_data_packet = ToBindingProperty(result.value().login_data_packet);

  const BindingProperty& all = login_data_packet.Field("allSummonerData");
  if (all.type() == BindingType::kStructure) {
    const BindingProperty& summoner = all.Field("summoner");
    summoner_id = summoner.Field("sumId").ToUnsigned();
    summoner_name = summoner.Field("name").ToString();
    is_new_player = summoner.Field("profileIconId").ToSigned() < 0;
  } else {
    summoner_id.reset();
    is_new_player = true;
  }
  platform_id = std::string(login_data_packet.Field("platformId").GetString());
  lcds_disconnected = false;
  state_ = kLoggedIn;
  return std::monostate{};
}

MaybeType<std::monostate> ClientLogin::ReconnectLcds(std::chrono::milliseconds timeout) {
  failure_.reset();
  state_ = kConnectingToLcds;
  static const TrustedCertificates kNone;
  MaybeType<Success> result =
      lcds_.Reconnect(lcds_target.host, lcds_target.port, lcds_target.use_tls,
                      trusted_certificates != nullptr ? *trusted_certificates : kNone,
                      std::to_string(account_id), timeout);
  if (!result.ok()) {
    Failure failure{"ALE-4FBFEF57", result.failure().messageId, result.failure().description};
    SetFailure(kReconnectFailed, failure);
    return failure;
  }
  lcds_disconnected = false;
  state_ = kLoggedIn;
  return std::monostate{};
}

void ClientLogin::OnKickNotification(const Amf3Item& body) {
  const std::string* token = AmfString(AmfMember(AmfValue(body), "sessionToken"));
  if (token == nullptr) {
    Log(kLevelWarn, Tag::DBG, "Ignoring a kick notification without a session token.");
    return;
  }
  if (*token == lcds_.session_token()) {
    lcds_.Logout();
    lcds_disconnected = true;
    SetFailure(kLoggedOut, {"ALE-C17DA63E", "LOGGED_IN_ELSEWHERE", "Account logged elsewhere"});
  }
  NotifyChanged();
}

}  // namespace Voro
