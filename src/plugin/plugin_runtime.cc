#include "plugin/plugin_runtime.h"

#include "plugin/telemetry_sender.h"

#include <cstring>
#include <exception>

#include "diag/assertion.h"
#include "diag/format_positional.h"
#include "diag/heap_hooks.h"
#include "diag/log.h"
#include "diag/logger.h"
#include "diag/plugin_log_target.h"
#include "plugin/plugin_runtime_types.h"
#include "plugin/telemetry_sender.h"

namespace Voro {

bool PluginRuntime::Create(PluginDescriptor* descriptor, std::unique_ptr<AppModule> module,
                           std::string_view short_name) {
  if (descriptor == nullptr || module == nullptr) return false;
  // The module's own tag; registering again returns the same bit.
  Logger::RegisterTag(kLocationTagName);
  const PluginApiVersion& own = PluginOwnApiVersion();
  PluginApiVersion host{descriptor->major, descriptor->minor, descriptor->patch, "", ""};

  if (!IsCompatibleHostVersion(own, host)) {
    std::string full_name(GetFullNameFromShortNameAndType(short_name, kPluginTypeBackend));
    std::string message =
        FormatPositional(kIncompatibleHostMessage, full_name, own.Text(), host.Text());
    ReportAssertion(kIncompatibleHostCode, message.c_str(), "", 0, "");
    descriptor->callbacks = nullptr;
    descriptor->module = nullptr;
    descriptor->short_name = nullptr;
    descriptor->api = nullptr;
    return false;
  }

  AppModule* m = module.get();
  m->host_version_ = host;
  m->name_ = MakePluginName(short_name, kPluginTypeBackend);
  m->help_tags_ = {"Plugins", "Plugin " + m->name_.short_name};
  RegisterPluginRuntimeTypes(m->registry_);
  m->router_.SetDefaultTags(m->help_tags_);
  m->RegisterApi();
  m->api_storage_ = ApiTableStorage::Build(m->registry_, m->router_, m->help_tags_);
  m->api_table_ = m->api_storage_->table();
  m->callbacks_ = PluginCallbacks{&PluginRuntime::Initialize, &PluginRuntime::Shutdown,
                                  &PluginRuntime::GetMemoryStats};

  descriptor->major = own.major;
  descriptor->minor = own.minor;
  descriptor->patch = own.patch;
  descriptor->callbacks = &m->callbacks_;
  descriptor->module = module.release();
  descriptor->short_name = m->name_.short_name.c_str();
  descriptor->api = &m->api_table_;
  return true;
}

bool PluginRuntime::Initialize(void* module, HostServices* services) {
  // Called by the host through a C table: nothing may escape.
  try {
    return InitializeModule(static_cast<AppModule*>(module), services);
  } catch (const std::exception& e) {
    Log(kLevelError, Tag::DBG, "Initialize failed: %s", e.what());
  } catch (...) {
    Log(kLevelError, Tag::DBG, "Initialize failed");
  }
  return false;
}

bool PluginRuntime::InitializeModule(AppModule* m, HostServices* services) {
  if (m == nullptr || services == nullptr || services->api == nullptr) return false;
  m->host_services_ = services;

  // From here on the host's log is the only destination.
  Logger& logger = Logger::Instance();
  logger.Detach(logger.StdOutTarget());
  logger.Detach(logger.StdErrTarget());
  logger.Detach(logger.DebuggerTarget());
  logger.SetLevel(kLevelOkay);
  logger.SetSuppressedTags(Tag::XTR);

  if (m->log_target_) m->log_target_->Detach();
  m->log_target_ = std::make_unique<PluginLogTarget>(services->api);
  m->log_target_->SetLevel(logger.GetLevel());
  m->log_target_->SetMasks(0, 0);
  m->log_target_->SetFormat(kPluginLineFormat);
  m->log_target_->Attach();

  m->user_agent_ =
      FormatPositional(kUserAgentTemplate, m->host_version_.Text(), m->name_.short_name);
  m->plugin_handle_ = services->plugin_handle;
  m->telemetry_ = std::make_unique<TelemetrySender>(m);
  m->SubscribeOwnEvents();
  return m->OnInitialize();
}

void PluginRuntime::Shutdown(void* module) {
  auto* m = static_cast<AppModule*>(module);
  if (m == nullptr) return;
  try {
    m->Shutdown();
  } catch (...) {
    Log(kLevelError, Tag::DBG, "Shutdown failed");
  }
  delete m;
}

void PluginRuntime::GetMemoryStats(void* /*module*/, PluginMemoryStats* stats) {
  if (stats == nullptr) return;
  HeapCounters counters = ReadHeapCounters();
  std::memset(stats, 0, sizeof(*stats));
  stats->peak_live_bytes = counters.peak_live_bytes;
  stats->live_allocations_at_peak = counters.live_allocations_at_peak;
  stats->bytes_allocated = counters.bytes_allocated;
  stats->allocations = counters.allocations;
  stats->bytes_freed = counters.bytes_freed;
  stats->frees = counters.frees;
}

}  // namespace Voro
