#include "login/login_api_types.h"

#include "binding/types/record_builder.h"

namespace Voro::Client::Api {

namespace {

const std::vector<std::string> kApiNamespace = {"Voro", "Client", "Api"};

void RegisterEnums(TypeRegistry& registry) {
  // Other plugins list the states in this order.
  registry.Enum<LoginSessionStates>(kApiNamespace, "LoginSessionStates")
      .Value("IN_PROGRESS", LoginSessionStates::IN_PROGRESS)
      .Value("ERROR", LoginSessionStates::ERROR)
      .Value("SUCCEEDED", LoginSessionStates::SUCCEEDED)
      .Value("LOGGING_OUT", LoginSessionStates::LOGGING_OUT);
  registry.Enum<AccountStateType>(kApiNamespace, "AccountStateType")
      .Value("CREATING", AccountStateType::CREATING)
      .Value("ENABLED", AccountStateType::ENABLED)
      .Value("TRANSFERRING_OUT", AccountStateType::TRANSFERRING_OUT)
      .Value("TRANSFERRING_IN", AccountStateType::TRANSFERRING_IN)
      .Value("TRANSFERRED_OUT", AccountStateType::TRANSFERRED_OUT)
      .Value("GENERATING", AccountStateType::GENERATING);
}

void RegisterSessionRecords(TypeRegistry& registry) {
  registry.Record<LcdsResponse>(kApiNamespace, "LcdsResponse")
      .Field("typeName", &LcdsResponse::typeName)
      .Field("body", &LcdsResponse::body);
  registry.Record<LoginSessionWallet>(kApiNamespace, "LoginSessionWallet")
      .Field("ip", &LoginSessionWallet::ip)
      .Field("vp", &LoginSessionWallet::vp);
  registry.Record<LoginQueue>(kApiNamespace, "LoginQueue")
      .Field("estimatedPositionInQueue", &LoginQueue::estimatedPositionInQueue)
      .Field("isPositionCapped", &LoginQueue::isPositionCapped)
      .Field("approximateWaitTimeSeconds", &LoginQueue::approximateWaitTimeSeconds);
  registry.Record<LoginError>(kApiNamespace, "LoginError")
      .Field("id", &LoginError::id)
      .Field("messageId", &LoginError::messageId)
      .Field("description", &LoginError::description);
  registry.Record<LoginSession>(kApiNamespace, "LoginSession")
      .Field("state", &LoginSession::state)
      .Field("username", &LoginSession::username)
      .Field("userAuthToken", &LoginSession::userAuthToken)
      .Field("gasToken", &LoginSession::gasToken)
      .Field("accountId", &LoginSession::accountId)
      .Field("summonerId", &LoginSession::summonerId)
      .Field("queueStatus", &LoginSession::queueStatus)
      .Field("error", &LoginSession::error)
      .Field("idToken", &LoginSession::idToken)
      .Field("puuid", &LoginSession::puuid)
      .Field("isNewPlayer", &LoginSession::isNewPlayer)
      .Field("connected", &LoginSession::connected);
}

void RegisterCredentialRecords(TypeRegistry& registry) {
  registry.Record<UsernameAndPassword>(kApiNamespace, "UsernameAndPassword")
      .Field("username", &UsernameAndPassword::username)
      .Field("password", &UsernameAndPassword::password);
  registry.Record<PlatformGeneratedCredentials>(kApiNamespace, "PlatformGeneratedCredentials")
      .Field("username", &PlatformGeneratedCredentials::username)
      .Field("password", &PlatformGeneratedCredentials::password)
      .Field("gasToken", &PlatformGeneratedCredentials::gasToken);
  registry.Record<RegionStatus>(kApiNamespace, "RegionStatus")
      .Field("platformId", &RegionStatus::platformId)
      .Field("enabled", &RegionStatus::enabled);
  registry.Record<QSAPlayerCredentials>(kApiNamespace, "QSAPlayerCredentials")
      .Field("username", &QSAPlayerCredentials::username)
      .Field("password", &QSAPlayerCredentials::password)
      .Field("platformId", &QSAPlayerCredentials::platformId);
  registry.Record<AccessToken>(kApiNamespace, "AccessToken")
      .Field("token", &AccessToken::token)
      .Field("scopes", &AccessToken::scopes)
      .Field("expiry", &AccessToken::expiry);
  registry.Record<IdToken>(kApiNamespace, "IdToken")
      .Field("token", &IdToken::token)
      .Field("expiry", &IdToken::expiry);
}

void RegisterServiceRecords(TypeRegistry& registry) {
  registry.Record<LcdsServiceProxyResponse>(kApiNamespace, "LcdsServiceProxyResponse")
      .Field("serviceName", &LcdsServiceProxyResponse::serviceName)
      .Field("methodName", &LcdsServiceProxyResponse::methodName)
      .Field("messageId", &LcdsServiceProxyResponse::messageId)
      .Field("status", &LcdsServiceProxyResponse::status)
      .Field("payload", &LcdsServiceProxyResponse::payload)
      .Field("compressedPayload", &LcdsServiceProxyResponse::compressedPayload);
  registry.Record<Authorization>(kApiNamespace, "Authorization")
      .Field("currentPlatformId", &Authorization::currentPlatformId)
      .Field("currentAccountId", &Authorization::currentAccountId)
      .Field("subject", &Authorization::subject);
  registry.Record<AccountStateResource>(kApiNamespace, "AccountStateResource")
      .Field("state", &AccountStateResource::state);
  registry.Record<SummonerCreatedResource>(kApiNamespace, "SummonerCreatedResource")
      .Field("summonerId", &SummonerCreatedResource::summonerId);
}

}  // namespace

void RegisterLoginApiTypes(TypeRegistry& registry) {
  // Records, then enumerations: the order the API table lists them in. Fields refer to
  // enumerations by type hash, so the later registration is fine.
  RegisterSessionRecords(registry);
  RegisterCredentialRecords(registry);
  RegisterServiceRecords(registry);
  RegisterEnums(registry);
}

}  // namespace Voro::Client::Api
