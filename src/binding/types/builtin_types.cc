#include "binding/types/builtin_types.h"

#include "binding/types/record_builder.h"

namespace Voro {

namespace {

const std::vector<std::string>& HelpSpace() {
  static const std::vector<std::string> path = {"$builtin", "help"};
  return path;
}
const std::vector<std::string>& AsyncSpace() {
  static const std::vector<std::string> path = {"$builtin", "async"};
  return path;
}
const std::vector<std::string>& BuiltinSpace() {
  static const std::vector<std::string> path = {"$builtin"};
  return path;
}

template <typename T>
RecordBuilder<T> Builtin(TypeRegistry& registry, const std::vector<std::string>& name_space,
                         std::string name, std::string description) {
  RecordBuilder<T> builder = registry.Record<T>(name_space, std::move(name));
  builder.Description(std::move(description)).Tag(std::string(kBuiltinTag));
  return builder;
}

void RegisterHelpTypes(TypeRegistry& registry) {
  registry.Enum<BindingHelpFormat>(HelpSpace(), "BindingHelpFormat")
      .Description("Help format for binding functions and types.")
      .Tag(std::string(kBuiltinTag))
      .Value("Full", BindingHelpFormat::kFull, "Native help format")
      .Value("Epytext", BindingHelpFormat::kEpytext, "Python epytext format");

  using TypeId = BindingFullTypeIdentifier;
  Builtin<TypeId>(registry, HelpSpace(), "BindingFullTypeIdentifier",
                  "Describes the type of a value.")
      .Field("type", &TypeId::type)
      .Field("elementType", &TypeId::element_type);

  using Argument = BindingFullArgumentHelp;
  Builtin<Argument>(registry, HelpSpace(), "BindingFullArgumentHelp",
                    "Describes a function parameter.")
      .Field("name", &Argument::name)
      .Field("description", &Argument::description)
      .Field("type", &Argument::type)
      .Field("optional", &Argument::optional);

  using Function = BindingFullFunctionHelp;
  Builtin<Function>(registry, HelpSpace(), "BindingFullFunctionHelp", "Describes a function.")
      .Field("name", &Function::name)
      .Field("nameSpace", &Function::name_space)
      .Field("arguments", &Function::arguments)
      .Field("returns", &Function::returns)
      .Field("description", &Function::description)
      .Field("help", &Function::help)
      .Field("threadSafe", &Function::thread_safe)
      .Field("async", &Function::async)
      .Field("tags", &Function::tags);

  using EnumValue = BindingFullEnumValueHelp;
  Builtin<EnumValue>(registry, HelpSpace(), "BindingFullEnumValueHelp", "Describes an enumerator.")
      .Field("name", &EnumValue::name)
      .Field("description", &EnumValue::description)
      .Field("value", &EnumValue::value);

  using FieldHelp = BindingFullFieldHelp;
  Builtin<FieldHelp>(registry, HelpSpace(), "BindingFullFieldHelp",
                     "Describes a member of a struct.")
      .Field("name", &FieldHelp::name)
      .Field("description", &FieldHelp::description)
      .Field("offset", &FieldHelp::offset)
      .Field("type", &FieldHelp::type)
      .Field("optional", &FieldHelp::optional);

  using Type = BindingFullTypeHelp;
  Builtin<Type>(registry, HelpSpace(), "BindingFullTypeHelp", "Describes a struct or enum type.")
      .Field("name", &Type::name)
      .Field("nameSpace", &Type::name_space)
      .Field("size", &Type::size)
      .Field("description", &Type::description)
      .Field("tags", &Type::tags)
      .Field("fields", &Type::fields)
      .Field("values", &Type::values);

  using Event = BindingFullEventHelp;
  Builtin<Event>(registry, HelpSpace(), "BindingFullEventHelp", "Describes an event.")
      .Field("name", &Event::name)
      .Field("nameSpace", &Event::name_space)
      .Field("type", &Event::type)
      .Field("description", &Event::description)
      .Field("tags", &Event::tags);

  using Api = BindingFullApiHelp;
  Builtin<Api>(registry, HelpSpace(), "BindingFullApiHelp", "Describes the exposed native API.")
      .Field("functions", &Api::functions)
      .Field("types", &Api::types)
      .Field("events", &Api::events);
}

void RegisterAsyncState(TypeRegistry& registry) {
  registry.Enum<BindingAsyncState>(AsyncSpace(), "BindingAsyncState")
      .Description("Possible states of an asynchronous operation.")
      .Tag(std::string(kBuiltinTag))
      .Value("None", BindingAsyncState::kNone, "Invalid state")
      .Value("Running", BindingAsyncState::kRunning, "The operation is in flight")
      .Value("Cancelling", BindingAsyncState::kCancelling,
             "A request to cancel the operation has been made")
      .Value("Cancelled", BindingAsyncState::kCancelled, "The operation was cancelled")
      .Value("Succeeded", BindingAsyncState::kSucceeded, "The operation completed successfully")
      .Value("Failed", BindingAsyncState::kFailed, "The operation encountered an error");
}

void RegisterEventPayloads(TypeRegistry& registry) {
  Builtin<BindingGenericEvent>(registry, BuiltinSpace(), "BindingGenericEvent",
                               "Represents generic data for an event.")
      .Field("data", &BindingGenericEvent::data, "Event data");

  Builtin<BindingCallbackEvent>(registry, BuiltinSpace(), "BindingCallbackEvent",
                                "Represents the parameters of a call to a provided callback.")
      .Field("id", &BindingCallbackEvent::id, "ID of the callback being invoked")
      .Field("parameters", &BindingCallbackEvent::parameters, "Callback parameters");

  Builtin<BindingGenericAsyncEvent>(registry, AsyncSpace(), "BindingGenericAsyncEvent",
                                    "Represents generic data for an asynchronous event.")
      .Field("asyncToken", &BindingGenericAsyncEvent::async_token, "Asynchronous operation token")
      .Field("data", &BindingGenericAsyncEvent::data, "Event data");

  Builtin<BindingAsyncFailureEvent>(registry, AsyncSpace(), "BindingAsyncFailureEvent",
                                    "Represents a failed asynchronous operation.")
      .Field("asyncToken", &BindingAsyncFailureEvent::async_token, "Asynchronous operation token")
      .Field("error", &BindingAsyncFailureEvent::error, "Error message");

  Builtin<BindingAsyncCancelEvent>(registry, AsyncSpace(), "BindingAsyncCancelEvent",
                                   "Represents a cancelled asynchronous operation.")
      .Field("asyncToken", &BindingAsyncCancelEvent::async_token, "Asynchronous operation token");
}

}  // namespace

void RegisterBuiltinTypes(TypeRegistry& registry) {
  RegisterHelpTypes(registry);
  RegisterAsyncState(registry);
  RegisterEventPayloads(registry);

  EventDescriptor callback;
  callback.name = std::string(kCallbackEventName);
  callback.name_space = BuiltinSpace();
  callback.payload_type_hash = StaticType::HashCode<BindingCallbackEvent>().hash;
  callback.description = "Fired when a callback is invoked.";
  callback.tags = {std::string(kBuiltinTag)};
  registry.AddEvent(std::move(callback));
}

}  // namespace Voro
