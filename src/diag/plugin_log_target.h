// Sends log messages to the host's own log once the host has initialised the plugin.
#pragma once

#include <cstdint>

#include "diag/log_record.h"
#include "diag/log_target.h"
#include "diag/thread_annotations.h"
#include "kiv/plugin_abi.h"

namespace Voro {

// The host receives the record's level and bare message; it adds its own time stamp and
// decoration, so the line format ("#D| #L| #G| #M") is not used for what it is sent.
class PluginLogTarget final : public LogTarget {
 public:
  // Starts at the logger's minimum level of this moment (the initial level when there is
  // no logger). api must stay valid while the target is attached.
  explicit PluginLogTarget(HostApi* api);
  ~PluginLogTarget() override;

  const char* Name() const override;
  // Always succeeds: the host's Log reports nothing back.
  bool Write(const LogRecord& record) override EXCLUDES(mutex_);

 private:
  HostApi* const api_;
};

}  // namespace Voro
