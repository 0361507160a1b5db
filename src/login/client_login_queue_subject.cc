#include "login/client_login_queue_subject.h"

#include <type_traits>
#include <utility>

namespace Voro {

static_assert(std::is_same_v<ClientLogin::LoginState, LoginQueueSubject::State>,
              "the queue client sets the login's own state numbers");

LoginQueueCredentials ClientLoginQueueSubject::credentials() const {
  const HeldCredentials& held = login_.credentials;
  LoginQueueCredentials credentials;
  switch (held.kind) {
    case CredentialKind::kUsernameAndPassword:
      credentials.form = LoginQueueCredentials::Form::kUsernameAndPassword;
      credentials.username = held.username_and_password.username;
      credentials.password = held.username_and_password.password;
      break;
    case CredentialKind::kAccessToken:
      credentials.form = LoginQueueCredentials::Form::kAccessToken;
      credentials.access_token = held.access_token.token;
      break;
    default:
      credentials.form = LoginQueueCredentials::Form::kPartner;
      credentials.partner = held.partner;
      break;
  }
  return credentials;
}

void ClientLoginQueueSubject::StoreAccount(LoginQueueAccount account) {
  if (account.in_game_credentials.has_value()) {
    login_.in_game_credentials = std::move(account.in_game_credentials);
  }
  login_.id_token = std::move(account.id_token);
  login_.puuid = std::move(account.puuid);
  login_.id_token_expiry = account.id_token_expiry;
  login_.username = std::move(account.username);
  login_.account_id = account.account_id;
  login_.gas_token = std::move(account.gas_token);
}

}  // namespace Voro
