// The client core's sign-on service ("QSA") as kivhost offers it: host endpoints under
// "/qsa-auth/v1/" that the plugin reaches with host requests, backed by a table of
// accounts, with failures that can be injected per endpoint.
//
// Configuration file (kivhost --qsa-file FILE), one JSON object; every member optional:
//
//   {
//     "enabledPlatforms": ["LOC1"],           platform ids whose status says "enabled"
//     "accounts": [{
//       "username": "alice", "password": "secret", "puuid": "p-1",     required
//       "platformId": "LOC1",                 only this platform signs it on (default any)
//       "accountId": 7,                       "currentAccountId" of the sign-on reply
//       "idToken": {"token": "...", "expiry": 0},
//       "gasToken": {...},                    any object, answered as it is
//       "accessToken": {"token": "...", "scopes": ["openid"], "expiry": 0},
//       "refusal": "account_state_disabled"   sign-on answers 400, the error endpoint
//     }],                                     then tells this errorDescription
//     "failures": {                           keys: status, gas, id-token, gas-token,
//       "gas": {"status": 400, "errorDescription": "account_state_creating"},
//       "access-token": {"status": 503, "message": "maintenance"}       access-token, error
//     }
//   }
//
// A failure has "status" (100 to 599) and optionally "message" (the error text) and, with
// status 400 only, "errorDescription"; it answers every request to its endpoint. The error
// endpoint tells the errorDescription of the service's last failed answer ({} when that
// had none); before any failure, or after a successful sign-on, it answers 404.
//
// Limits: the file is at most 16 MiB and nests at most 1000 levels.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "host/host_endpoints.h"

namespace kivhost {

inline constexpr char kQsaStatusPrefix[] = "/qsa-auth/v1/status/";
inline constexpr char kQsaAuthorizationPath[] = "/qsa-auth/v1/authorization";
inline constexpr char kQsaSignOnPath[] = "/qsa-auth/v1/authorization/gas";
inline constexpr char kQsaIdTokenPath[] = "/qsa-auth/v1/authorization/id-token";
inline constexpr char kQsaGasTokenPath[] = "/qsa-auth/v1/authorization/gas-token";
inline constexpr char kQsaAccessTokenPath[] = "/qsa-auth/v1/authorization/access-token";
inline constexpr char kQsaErrorPath[] = "/qsa-auth/v1/authorization/error";
// The event under which a subscriber of the access-token resource hears of its changes.
inline constexpr char kQsaAccessTokenEvent[] = "OnJsonApiEvent_qsa-auth_v1_authorization";

inline constexpr char kQsaBadCredentials[] = "kivhost qsa: unknown username or wrong password";
inline constexpr char kQsaBadSignOnRequest[] =
    "kivhost qsa: a sign-on needs the strings username, password and platformId";
inline constexpr char kQsaRefused[] = "kivhost qsa: sign-on refused: ";
inline constexpr char kQsaNotSignedOn[] = "kivhost qsa: nobody is signed on";
inline constexpr char kQsaNoFailure[] = "kivhost qsa: no request has failed";
inline constexpr char kQsaInjectedFailure[] = "kivhost qsa: injected failure";

struct QsaAccount {
  std::string username;
  std::string password;
  std::string puuid;
  std::string platform_id;  // empty: signs on to any platform
  uint64_t account_id = 0;
  // The replies, as compact JSON.
  std::string id_token = R"({"token":"","expiry":0})";
  std::string gas_token = "{}";
  std::string access_token = R"({"token":"","scopes":[],"expiry":0})";
  // When set, a sign-on with the right password is refused with 400 and this description.
  std::optional<std::string> refusal;
};

struct QsaFailure {
  int32_t status = 500;
  std::string message = kQsaInjectedFailure;
  std::optional<std::string> error_description;  // only with status 400
};

enum class QsaEndpoint { kStatus, kSignOn, kIdToken, kGasToken, kAccessToken, kError };

// The name of an endpoint in the "failures" object; false for an unknown name.
[[nodiscard]] bool QsaEndpointFromName(std::string_view name, QsaEndpoint* endpoint);

struct QsaConfig {
  std::set<std::string> enabled_platforms;
  std::vector<QsaAccount> accounts;
  std::map<QsaEndpoint, QsaFailure> failures;
};

// Reads the configuration format above; `source` names the text in messages. A failure says
// what is wrong where.
[[nodiscard]] kiv::Result<QsaConfig> ParseQsaConfig(std::string_view json,
                                                    const std::string& source);

// Thread-safe: the plugin thread asks while kivhost or a test configures.
class QsaService {
 public:
  QsaService() = default;
  QsaService(const QsaService&) = delete;
  QsaService& operator=(const QsaService&) = delete;

  // Replaces the configuration; whoever was signed on is signed off, the last failure
  // forgotten.
  void Configure(QsaConfig config);
  // Reads a file in the format above; on failure nothing changes.
  [[nodiscard]] kiv::Status LoadFile(const std::string& path);
  // Injects (or, with nullopt, removes) the failure of one endpoint.
  void SetFailure(QsaEndpoint endpoint, std::optional<QsaFailure> failure);

  // Serves the "/qsa-auth/v1/" endpoints from `endpoints`. REQUIRES: this service outlives
  // every request `endpoints` answers.
  void Install(HostEndpoints* endpoints);

  // The username signed on, if any.
  std::optional<std::string> signed_on() const;
  // The payload of the access-token resource's update as a client core raises it under
  // kQsaAccessTokenEvent, with the signed-on account's token; nullopt when nobody is.
  std::optional<std::string> AccessTokenUpdate() const;

  EndpointReply Status(const EndpointRequest& request);
  EndpointReply SignOn(const EndpointRequest& request);
  EndpointReply Token(QsaEndpoint endpoint);
  EndpointReply SignOff();
  EndpointReply Error();

 private:
  // The injected failure of `endpoint` as a reply, noted as the last failure; nullopt when
  // none is injected. REQUIRES: mutex_ held.
  std::optional<EndpointReply> Injected(QsaEndpoint endpoint);
  // A failed answer, noted as the last failure. REQUIRES: mutex_ held.
  EndpointReply Fail(int32_t status, std::string text, std::optional<std::string> description);

  mutable std::mutex mutex_;
  QsaConfig config_;                             // Guarded by mutex_.
  std::optional<size_t> signed_on_;              // Guarded by mutex_. Index into config_.accounts.
  bool failed_ = false;                          // Guarded by mutex_.
  std::optional<std::string> last_description_;  // Guarded by mutex_.
};

}  // namespace kivhost
