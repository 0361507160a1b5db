#include "login/command_line_credentials.h"

#include <string>
#include <string_view>

#include "diag/format_positional.h"

namespace Voro {
namespace {

// The argument's text; empty when it is missing or not a text.
std::string Argument(const BindingProperty& arguments, std::string_view name) {
  const BindingProperty* value = arguments.FindField(name);
  return value != nullptr && value->type() == BindingType::kString ? std::string(value->GetString())
                                                                   : std::string();
}

HeldCredentials Partner(std::string text) {
  HeldCredentials credentials;
  credentials.kind = CredentialKind::kPartner;
  credentials.partner = std::move(text);
  return credentials;
}

}  // namespace

std::optional<HeldCredentials> CredentialsFromCommandLine(const BindingProperty& arguments) {
  std::optional<HeldCredentials> held;
  if (const std::string token = Argument(arguments, "garena-plus-token"); !token.empty()) {
    held = Partner(token);
  }
  const std::string user_id = Argument(arguments, "tcls-uId");
  const std::string client_key = Argument(arguments, "tcls-cltkey");
  const std::string signature = Argument(arguments, "tcls-gameSignature");
  if (!user_id.empty() && !client_key.empty() && !signature.empty()) {
    // The client key is hexadecimal: its length in bytes is half its length in digits.
    held = Partner(FormatPositional(
        "payload=8393 gameSignatureLength=%1 szGameSignature=%2 cltkeyLength=%3 cltkey=%4 "
        "uId=%5",
        std::to_string(signature.size()), signature, std::to_string(client_key.size() / 2),
        client_key, user_id));
  }
  const BindingProperty* username = arguments.FindField("auto-login-username");
  const BindingProperty* password = arguments.FindField("auto-login-password");
  if (username != nullptr && password != nullptr) {
    HeldCredentials credentials;
    credentials.kind = CredentialKind::kUsernameAndPassword;
    credentials.username_and_password.username = Argument(arguments, "auto-login-username");
    credentials.username_and_password.password = Argument(arguments, "auto-login-password");
    held = std::move(credentials);
  }
  return held;
}

}  // namespace Voro
