// The login plugin's module: the one object Create makes.
#pragma once

#include "plugin/app_module.h"

namespace Voro {

class LoginModule : public AppModule {
 public:
  static constexpr const char* kShortName = "kiv-login";

  LoginModule() = default;
  ~LoginModule() override = default;

  bool OnInitialize() override;
};

}  // namespace Voro
