// Credentials the client's command line may carry, for a login that starts by itself.
#pragma once

#include <optional>

#include "binding/value/binding_property.h"
#include "login/held_credentials.h"

namespace Voro {

inline constexpr char kCommandLineArgsPath[] = "/voroclient/command-line-args";

// Reads the arguments (a structure of name to text) in the order of precedence: a partner
// token, then the three "tcls-" arguments, then an auto-login user name and password; a
// later source replaces an earlier one. Nothing when none is present.
std::optional<HeldCredentials> CredentialsFromCommandLine(const BindingProperty& arguments);

}  // namespace Voro
