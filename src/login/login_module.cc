#include "login/login_module.h"

#include "diag/log.h"

namespace Voro {

bool LoginModule::OnInitialize() {
  Log(kLevelAlways, Tag::DBG, "%s initialized, user agent \"%s\"", name().full_name.c_str(),
      user_agent().c_str());
  // The host resources the module follows for its whole life.
  for (const char* path : {kPluginManagerStatusPath, kPreShutdownPath, kAccessTokenPath}) {
    Subscribe(path);
  }
  return true;
}

}  // namespace Voro
