// A fake host function table for unit tests: records what the plugin asks of the host.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "binding/value/binding_property.h"
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

  // Answers SendRequest; without it the response stays as the plugin zero-filled it.
  std::function<void(HostResponse*, const HostRequest*)> on_request;
  // Answers SendExternalRequest; without it the response stays as the plugin left it.
  std::function<void(HostExternalResponse*, const HostExternalRequest*)> on_external_request;
  // Runs inside Pump, after the call is recorded.
  std::function<void()> on_pump;

  // Published events: the name and the payload as compact JSON.
  std::vector<std::pair<std::string, std::string>> published;

  struct Subscriber {
    HostEventCallback callback = nullptr;
    void* user_data = nullptr;
    uint32_t flag = 0;
  };
  std::map<std::string, Subscriber> subscribers;
  // Calls the subscriber of `name` with `payload` in the host's wire form, as a host does.
  // False when nobody is subscribed.
  bool Deliver(const std::string& name, const BindingProperty& payload);

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
