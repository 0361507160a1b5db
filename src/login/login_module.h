// The login plugin's module: the one object Create makes.
#pragma once

#include "plugin/app_module.h"

namespace Voro {

class LoginModule : public AppModule {
 public:
  static constexpr const char* kShortName = "kiv-login";
  static constexpr const char* kPluginManagerStatusPath = "/plugin-manager/v1/status";
  static constexpr const char* kPreShutdownPath = "/voroclient/pre-shutdown/begin";
  static constexpr const char* kAccessTokenPath = "/qsa-auth/v1/authorization/access-token";

  LoginModule() = default;
  ~LoginModule() override = default;

  void RegisterApi() override;
  bool OnInitialize() override;

 private:
  void RegisterEvents();
};

}  // namespace Voro
