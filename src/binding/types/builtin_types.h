// The types every API carries, registered before the plugin's own: the help format and the
// records that describe an API (namespace "$builtin", "help"), the state of asynchronous
// operations ("$builtin", "async"), the payloads of the builtin events, and the event
// "OnCallback". All are tagged "$builtin".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/value/binding_property.h"
#include "binding/types/type_registry.h"

namespace Voro {

inline constexpr std::string_view kBuiltinTag = "$builtin";
inline constexpr std::string_view kCallbackEventName = "OnCallback";

enum class BindingHelpFormat : int32_t {
  kFull = 1,
  kEpytext = 2,
};

struct BindingFullTypeIdentifier {
  std::string type;
  std::string element_type;
};

struct BindingFullArgumentHelp {
  std::string name;
  std::string description;
  BindingFullTypeIdentifier type;
  bool optional = false;
};

struct BindingFullFunctionHelp {
  std::string name;
  std::string name_space;
  std::vector<BindingFullArgumentHelp> arguments;
  BindingFullTypeIdentifier returns;
  std::string description;
  std::string help;
  bool thread_safe = false;
  std::string async;
  std::vector<std::string> tags;
};

struct BindingFullEnumValueHelp {
  std::string name;
  std::string description;
  int32_t value = 0;
};

struct BindingFullFieldHelp {
  std::string name;
  std::string description;
  uint32_t offset = 0;
  BindingFullTypeIdentifier type;
  bool optional = false;
};

struct BindingFullTypeHelp {
  std::string name;
  std::string name_space;
  uint32_t size = 0;
  std::string description;
  std::vector<std::string> tags;
  std::vector<BindingFullFieldHelp> fields;
  std::vector<BindingFullEnumValueHelp> values;
};

struct BindingFullEventHelp {
  std::string name;
  std::string name_space;
  BindingFullTypeIdentifier type;
  std::string description;
  std::vector<std::string> tags;
};

struct BindingFullApiHelp {
  std::vector<BindingFullFunctionHelp> functions;
  std::vector<BindingFullTypeHelp> types;
  std::vector<BindingFullEventHelp> events;
};

enum class BindingAsyncState : int32_t {
  kNone = 0,
  kRunning = 1,
  kCancelling = 2,
  kCancelled = 3,
  kSucceeded = 4,
  kFailed = 5,
};

struct BindingGenericEvent {
  BindingProperty data;
};

struct BindingCallbackEvent {
  uint32_t id = 0;
  std::vector<BindingProperty> parameters;
};

struct BindingGenericAsyncEvent {
  uint32_t async_token = 0;
  BindingProperty data;
};

struct BindingAsyncFailureEvent {
  uint32_t async_token = 0;
  std::string error;
};

struct BindingAsyncCancelEvent {
  uint32_t async_token = 0;
};

// Registers the builtin types and the "OnCallback" event.
// REQUIRES: called once per registry, before any other registration.
void RegisterBuiltinTypes(TypeRegistry& registry);

}  // namespace Voro
