#include "host/plugin_library.h"

#include <dlfcn.h>

namespace kivhost {

kiv::Result<std::unique_ptr<PluginLibrary>> PluginLibrary::Open(const std::string& path) {
  std::unique_ptr<PluginLibrary> library(new PluginLibrary());
  library->path_ = path;
  // RTLD_LOCAL: nothing of the plugin leaks into the host's symbol space.
  int flags = RTLD_NOW | RTLD_LOCAL;
#if defined(__SANITIZE_ADDRESS__)
  // Kept mapped after dlclose, so that leak reports at exit can name the plugin's code.
  flags |= RTLD_NODELETE;
#endif
  library->handle_ = dlopen(path.c_str(), flags);
  if (library->handle_ == nullptr) {
    const char* reason = dlerror();
    return kiv::Error{"cannot load " + path + ": " + (reason ? reason : "unknown error")};
  }
  library->create_ = reinterpret_cast<PluginCreateFn>(dlsym(library->handle_, "Create"));
  library->register_ = reinterpret_cast<RegisterNativeEventCallbackFn>(
      dlsym(library->handle_, "RegisterNativeEventCallback"));
  library->enable_xml_ = reinterpret_cast<EnableEventXMLLogTargetFn>(
      dlsym(library->handle_, "EnableEventXMLLogTarget"));
  if (library->create_ == nullptr) {
    return kiv::Error{path + " does not export Create"};
  }
  return library;
}

PluginLibrary::~PluginLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

}  // namespace kivhost
