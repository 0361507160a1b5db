#include "login/login_session_context.h"

namespace Voro {

const Client::Api::LoginSession& LoginSessionContext::Refresh() {
  if (login_ == nullptr) return session_;
  const ClientLogin& login = *login_;
  session_.state = ClientLogin::ToSessionState(login.state());
  session_.username = login.username;
  session_.userAuthToken = login.auth_token;
  // Values set before the login knew them (from the sign-on service) stay.
  if (session_.gasToken.type() == BindingType::kEmpty) session_.gasToken = login.gas_token;
  session_.accountId = login.account_id;
  session_.summonerId = login.summoner_id;
  session_.queueStatus = login.queue_position;
  if (login.failure().has_value()) {
    session_.error = Client::Api::LoginError::From(*login.failure());
  } else {
    session_.error.reset();
  }
  if (session_.idToken.empty()) session_.idToken = login.id_token;
  if (session_.puuid.empty()) session_.puuid = login.puuid;
  session_.isNewPlayer = login.is_new_player;
  session_.connected = login.state() == ClientLogin::kLoggedIn && !login.lcds_disconnected;
  return session_;
}

}  // namespace Voro
