#include "diag/plugin_log_target.h"

#include "diag/logger.h"

namespace Voro {

namespace {

int32_t CurrentLoggerLevel() {
  Logger::Scoped logger(Logger::Scoped::kExisting);
  return logger ? logger->GetLevel() : Logger::kInitialLevel;
}

}  // namespace

PluginLogTarget::PluginLogTarget(HostApi* api)
    : LogTarget(kDefaultFormat, CurrentLoggerLevel(), 0, 0), api_(api) {}

PluginLogTarget::~PluginLogTarget() { Detach(); }

const char* PluginLogTarget::Name() const { return "PluginLogTarget"; }

bool PluginLogTarget::Write(const LogRecord& record) {
  MutexLock lock(&mutex_);
  if (api_ != nullptr && api_->Log != nullptr) {
    api_->Log(api_, record.level, record.message);
  }
  return true;
}

}  // namespace Voro
