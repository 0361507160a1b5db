#include "login/qsa_failure.h"

#include <string_view>

#include "diag/log.h"

namespace Voro {
namespace {

Failure Unexpected(const RequestFailure& failure) {
  return {"ALE-54000004", "UNSPECIFIED_ERROR", "Unexpected message from QSA: " + failure.message};
}

}  // namespace

Failure MapQSAFailure(const RequestFailure& failure,
                      const std::function<std::optional<std::string>()>& fetch_error_description) {
  if (failure.status == 410) return {"ALE-54000001", "LOGIN_CANCELED", "Login was canceled"};
  if (failure.status >= 500) {
    return {"ALE-54000002", "FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE",
            "Server error: " + failure.message};
  }
  if (failure.status == 401)
    return {"ALE-54000003", "INVALID_CREDENTIALS", "QSA rejected credentials."};
  if (failure.status != 400) return Unexpected(failure);

  const std::optional<std::string> description = fetch_error_description();
  if (!description.has_value()) {
    Log(kLevelWarn, Tag::DBG,
        "Received error response or incorrectly formatted response from QSA for detailed auth "
        "failure.");
    return Unexpected(failure);
  }
  const std::string_view text = *description;
  if (text == "account_state_disabled") {
    return {"ALE-54000005", "ACCOUNT_DISABLED",
            "QSA rejected auth: account is currently disabled."};
  }
  if (text == "account_state_transferring_out") {
    return {"ALE-54000006", "LOGIN-0008",
            "QSA rejected auth: account is currently transferring out."};
  }
  if (text == "account_state_transferring_in" || text == "account_state_transferring_back" ||
      text == "account_state_creating") {
    return {"ALE-54000008", "LOGIN-0009",
            "QSA rejected auth: account is currently transferring in."};
  }
  if (text == "account_state_transferred_out" || text == "account_state_platform_split") {
    return {"ALE-54000007", "LOGIN-0010", "QSA rejected auth: account has been transferred out."};
  }
  return Unexpected(failure);
}

}  // namespace Voro
