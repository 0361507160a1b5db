// A module created and initialised the way the host does it, against a FakeHost, and shut
// down when the test ends.
#pragma once

#include <memory>

#include "plugin/app_module.h"
#include "plugin/plugin_runtime.h"
#include "support/fake_host.h"

namespace Voro::testing {

class InitializedModule {
 public:
  explicit InitializedModule(FakeHost* host,
                             std::unique_ptr<AppModule> module = std::make_unique<AppModule>()) {
    created_ = PluginRuntime::Create(&descriptor_, std::move(module), "kiv-test");
    initialized_ =
        created_ && descriptor_.callbacks->Initialize(descriptor_.module, host->services());
  }
  ~InitializedModule() {
    if (created_) descriptor_.callbacks->Shutdown(descriptor_.module);
  }
  InitializedModule(const InitializedModule&) = delete;
  InitializedModule& operator=(const InitializedModule&) = delete;

  bool ok() const { return initialized_; }
  AppModule* get() const { return static_cast<AppModule*>(descriptor_.module); }
  AppModule* operator->() const { return get(); }

 private:
  PluginDescriptor descriptor_{.major = 17, .minor = 1};
  bool created_ = false;
  bool initialized_ = false;
};

}  // namespace Voro::testing
