// The records and enumerations of the login API ("Voro", "Client", "Api"), as other
// plugins see them; the queue status record (LoginQueue) comes with the login queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/types/type_registry.h"
#include "binding/value/binding_property.h"
#include "diag/failure.h"
#include "loginqueue/login_queue_status.h"

namespace Voro::Client::Api {

enum class LoginSessionStates : int32_t {
  IN_PROGRESS = 0,
  SUCCEEDED = 1,
  LOGGING_OUT = 2,
  ERROR = 3,
};

enum class AccountStateType : int32_t {
  CREATING = 1,
  ENABLED = 2,
  TRANSFERRING_OUT = 3,
  TRANSFERRING_IN = 4,
  TRANSFERRED_OUT = 5,
  GENERATING = 6,
};

struct LcdsResponse {
  std::string typeName;
  BindingProperty body;
};

struct LoginSessionWallet {
  int64_t ip = 0;
  int64_t vp = 0;
};

// The session's face of a Voro::Failure, field for field.
struct LoginError {
  std::string id;
  std::string messageId;
  std::string description;

  static LoginError From(const Failure& failure) {
    return {failure.id, failure.messageId, failure.description};
  }
};

struct LoginSession {
  LoginSessionStates state = LoginSessionStates::IN_PROGRESS;
  std::string username;
  std::string userAuthToken;
  BindingProperty gasToken;
  uint64_t accountId = 0;
  std::optional<uint64_t> summonerId;
  std::optional<LoginQueue> queueStatus;
  std::optional<LoginError> error;
  std::string idToken;
  std::string puuid;
  bool isNewPlayer = false;
  bool connected = false;
};

struct UsernameAndPassword {
  std::string username;
  std::string password;
};

struct PlatformGeneratedCredentials {
  std::string username;
  std::string password;
  BindingProperty gasToken;
};

struct RegionStatus {
  std::string platformId;
  bool enabled = false;
};

struct QSAPlayerCredentials {
  std::string username;
  std::string password;
  std::string platformId;
};

struct AccessToken {
  std::string token;
  std::vector<std::string> scopes;
  uint64_t expiry = 0;
};

struct IdToken {
  std::string token;
  uint64_t expiry = 0;
};

struct LcdsServiceProxyResponse {
  std::string serviceName;
  std::string methodName;
  std::string messageId;
  std::string status;
  std::string payload;
  bool compressedPayload = false;
};

struct Authorization {
  std::string currentPlatformId;
  uint64_t currentAccountId = 0;
  std::string subject;
};

struct AccountStateResource {
  AccountStateType state = AccountStateType::CREATING;
};

struct SummonerCreatedResource {
  uint64_t summonerId = 0;
};

// Registers the records and enumerations above, in the order other plugins see them.
void RegisterLoginApiTypes(TypeRegistry& registry);

}  // namespace Voro::Client::Api
