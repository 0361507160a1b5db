#include "login/client_login.h"

#include "diag/log.h"

namespace Voro {

using Client::Api::LoginSessionStates;

LoginSessionStates ClientLogin::ToSessionState(LoginState state) {
  if (state >= 1 && state <= 17 && !IsRetriedFailureState(state)) {
    return LoginSessionStates::IN_PROGRESS;
  }
  if (state == kLoggedIn) return LoginSessionStates::SUCCEEDED;
  if (state == kLoggingOut || state == kLoggedOut) return LoginSessionStates::LOGGING_OUT;
  return LoginSessionStates::ERROR;  // 0, the failure states and anything unknown
}

bool ClientLogin::IsFinished(LoginState state) {
  if (state == kLoggedOut) return true;
  return ToSessionState(state) == LoginSessionStates::ERROR;
}

bool ClientLogin::IsRetriedFailureState(LoginState state) {
  return state == 6 || state == 10 || state == 13 || state == 16 || state == 19;
}

void ClientLogin::SetFailure(LoginState state, Failure failure) {
  const int32_t level = IsRetriedFailureState(state) ? kLevelError : kLevelWarn;
  Log(level, Tag::DBG, "%s", failure.description.c_str());
  failure_ = std::move(failure);
  state_ = state;
}

}  // namespace Voro
