// The credentials the module holds for its next login.
#pragma once

#include <cstdint>
#include <string>

#include "login/login_api_types.h"

namespace Voro {

enum class CredentialKind : int32_t {
  kUsernameAndPassword = 0,  // from POST session or the command line
  kAccessToken = 1,          // from POST access-token or the sign-on service
  kPartner = 2,              // a partner's text from the command line
};

struct HeldCredentials {
  CredentialKind kind = CredentialKind::kUsernameAndPassword;
  Client::Api::UsernameAndPassword username_and_password;  // kind 0
  Client::Api::AccessToken access_token;                   // kind 1
  std::string partner;                                     // kind 2
};

}  // namespace Voro
