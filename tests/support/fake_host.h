// A fake host function table for unit tests: records what the plugin asks of the host.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kiv/plugin_abi.h"

namespace Voro::testing {

class FakeHost {
 public:
  FakeHost();
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  HostServices* services() { return &services_; }

  struct Call {
    std::string slot;
    std::string text;  // event name, label, message or path
    uint32_t flag = 0;
  };
  std::vector<Call> calls;
  std::vector<std::pair<int32_t, std::string>> log;

  int Count(const std::string& slot) const;

 private:
  struct Table {
    HostApi api;
    FakeHost* owner;
  };
  static FakeHost* From(HostApi* api) { return reinterpret_cast<Table*>(api)->owner; }

  Table table_;
  HostServices services_;
};

}  // namespace Voro::testing
