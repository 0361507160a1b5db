// What a failed request to the host's sign-on service means for the login.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "diag/failure.h"
#include "plugin/request_result.h"

namespace Voro {

inline constexpr char kQsaErrorPath[] = "/qsa-auth/v1/authorization/error";

// The failure of a sign-on request by its status. A 400 is explained by the service's
// error endpoint: `fetch_error_description` reads its "errorDescription" (nullopt when the
// read fails or the text is missing).
Failure MapQSAFailure(const RequestFailure& failure,
                      const std::function<std::optional<std::string>()>& fetch_error_description);

}  // namespace Voro
