// A plugin library opened with dlopen and its three entry points.
#pragma once

#include <memory>
#include <string>

#include "common/result.h"
#include "kiv/plugin_abi.h"

namespace kivhost {

class PluginLibrary {
 public:
  // Opens the library and resolves Create; the two event entry points are optional.
  [[nodiscard]] static kiv::Result<std::unique_ptr<PluginLibrary>> Open(const std::string& path);
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  PluginCreateFn create() const { return create_; }
  RegisterNativeEventCallbackFn register_native_event_callback() const { return register_; }
  EnableEventXMLLogTargetFn enable_event_xml_log_target() const { return enable_xml_; }
  const std::string& path() const { return path_; }

 private:
  PluginLibrary() = default;

  void* handle_ = nullptr;
  std::string path_;
  PluginCreateFn create_ = nullptr;
  RegisterNativeEventCallbackFn register_ = nullptr;
  EnableEventXMLLogTargetFn enable_xml_ = nullptr;
};

}  // namespace kivhost
