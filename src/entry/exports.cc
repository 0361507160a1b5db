// The library's only exported symbols. No exception may leave them.
#include <memory>

#include "binding/value/page_source.h"
#include "diag/event_xml_log_target.h"
#include "diag/log.h"
#include "diag/logger.h"
#include "kiv/plugin_abi.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/flex_message_classes.h"
#include "login/login_module.h"
#include "plugin/plugin_runtime.h"

#define KIV_EXPORT extern "C" __attribute__((visibility("default")))

KIV_EXPORT void Create(PluginDescriptor* descriptor) {
  try {
    (void)Voro::PluginRuntime::Create(descriptor, std::make_unique<Voro::LoginModule>(),
                                      Voro::LoginModule::kShortName);
  } catch (...) {
    Voro::Log(Voro::kLevelError, Voro::Tag::DBG, "Create failed with an exception");
    if (descriptor != nullptr) {
      descriptor->callbacks = nullptr;
      descriptor->module = nullptr;
      descriptor->short_name = nullptr;
      descriptor->api = nullptr;
    }
  }
}

KIV_EXPORT NativeEventCallback RegisterNativeEventCallback(NativeEventCallback callback) {
  return Voro::SetNativeEventCallback(callback);
}

KIV_EXPORT void EnableEventXMLLogTarget() {
  try {
    Voro::AttachEventXMLLogTarget();
  } catch (...) {
  }
}

// Unloading the library: what its process-lifetime objects hold would otherwise outlive its
// code, and a client that loads the plugin again would lose it each time.
__attribute__((destructor)) static void ReleaseAtUnload() {
  // A logger that only came into being through use (a log line or the XML target attached
  // while no module exists).
  Voro::Logger::DeleteUnreferenced();
  // The class definitions the platform's messages and the wire registered.
  Voro::ReleaseFlexMessageClasses();
  Voro::AmfClassRegistry::Global().Clear();
  // The spare pages kept for the next tree.
  Voro::PageSource::Default().ReleaseSpareBlocks();
}
