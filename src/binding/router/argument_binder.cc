#include "binding/router/argument_binder.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "binding/value/binding_abi.h"
#include "binding/codec/json_reader.h"
#include "binding/codec/msgpack_reader.h"
#include "binding/codec/yaml_reader.h"
#include "diag/format_positional.h"

namespace Voro {
namespace {

constexpr std::string_view kMsgpackType = "application/x-msgpack";
constexpr std::string_view kJsonType = "application/json";
constexpr std::string_view kJsonApiType = "application/vnd.api+json";
constexpr std::string_view kArgumentYamlType = "text/x-yaml";
constexpr std::string_view kBodyYamlType = "application/x-yaml";
constexpr std::string_view kOctetStreamType = "application/octet-stream";

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view SkipLeadingSpaces(std::string_view text) {
  size_t i = 0;
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) {
    ++i;
  }
  return text.substr(i);
}

BindingResult Wrapped(BindingResult decoded, std::string_view message, std::string_view parameter,
                      std::string_view function) {
  if (decoded.ok()) return decoded;
  return BindingResult::Error(FormatPositional(message, parameter, function, decoded.error()));
}

// Whether an empty or sniffed text may stand for a whole value of this kind.
bool IsContainerKind(BindingKind kind) {
  return kind == BindingKind::kObject || kind == BindingKind::kVector ||
         kind == BindingKind::kStruct;
}

void Fail(BindingResult& result, std::string message) { result.MakeError(message); }

// Step 3: a text bound to the whole argument.
void BindWholeText(const FunctionDescriptor& function, const ParameterDescriptor& parameter,
                   std::string_view text, OptionalBindingProperty& slot, BindingResult& result) {
  BindingKind kind = parameter.kind();
  if (text.empty()) {
    BindingProperty value;
    switch (kind) {
      case BindingKind::kBool:
        value.SetBool(true);
        break;
      case BindingKind::kObject:
      case BindingKind::kStruct:
        value.MakeStructure();
        break;
      case BindingKind::kVector:
        value.MakeCollection();
        break;
      default:
        Fail(result, FormatPositional(kExpectedValueMessage, parameter.name));
        return;
    }
    slot = std::move(value);
    return;
  }
  BindingResult decoded =
      DecodeArgumentText(text, {}, IsContainerKind(kind), parameter.name, function.name);
  if (!decoded.ok()) {
    Fail(result, std::string(decoded.error()));
    return;
  }
  slot = std::move(decoded.value());
}

// Step 2 for a dotted name: `rest` is the path below the argument.
void BindIndexedText(const FunctionDescriptor& function, const ParameterDescriptor& parameter,
                     std::string_view rest, std::string_view text, OptionalBindingProperty& slot,
                     BindingResult& result) {
  if (!slot.has_value()) slot.emplace();
  BindingProperty* target = &*slot;
  while (true) {
    size_t dot = rest.find('.');
    std::string_view segment = rest.substr(0, dot);
    if (!segment.empty() && segment[0] >= '0' && segment[0] <= '9') {
      std::string digits(segment);
      char* end = nullptr;
      errno = 0;
      unsigned long long index = std::strtoull(digits.c_str(), &end, 0);
      if (end != digits.c_str() + digits.size()) {
        Fail(result, FormatPositional(kIndexFormatMessage, segment));
        return;
      }
      if (errno == ERANGE || index >= (1ull << 31) || index > kMaxArgumentIndex) {
        Fail(result, FormatPositional(kIndexRangeMessage, segment));
        return;
      }
      target = &target->MutableElement(static_cast<size_t>(index));
    } else {
      target = &target->MutableField(segment);
    }
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  BindingResult decoded = DecodeArgumentText(text, {}, IsContainerKind(parameter.kind()),
                                             parameter.name, function.name);
  if (!decoded.ok()) {
    Fail(result, std::string(decoded.error()));
    return;
  }
  *target = std::move(decoded.value());
}

// Step 2: one named input from a source with location `source`.
void BindNamedText(const FunctionDescriptor& function, std::string_view name, std::string_view text,
                   ParameterLocation source, std::vector<OptionalBindingProperty>& arguments,
                   BindingResult& result) {
  size_t dot = name.find('.');
  std::string_view head = name.substr(0, dot);
  int index = function.FindParameter(head);
  if (index < 0) {
    Fail(result, FormatPositional(kUnknownArgumentMessage, head, function.name));
    return;
  }
  const ParameterDescriptor& parameter = function.parameters[static_cast<size_t>(index)];
  if (parameter.location != ParameterLocation::kAnywhere && parameter.location != source) {
    Fail(result, FormatPositional(kInvalidLocationMessage, head, function.name));
    return;
  }
  OptionalBindingProperty& slot = arguments[static_cast<size_t>(index)];
  if (dot == std::string_view::npos) {
    BindWholeText(function, parameter, text, slot, result);
  } else {
    BindIndexedText(function, parameter, name.substr(dot + 1), text, slot, result);
  }
}

// Step 4: the host's named and positional arguments.
void BindHostArguments(const FunctionDescriptor& function, size_t captured,
                       const HostRequest& request, std::vector<OptionalBindingProperty>& arguments,
                       BindingResult& result) {
  if (request.arguments == nullptr) return;
  for (uint32_t i = 0; i < request.argument_count && result.ok(); ++i) {
    const BindingAbiNamedValue& entry = request.arguments[i];
    int index;
    if (entry.name != nullptr) {
      index = function.FindParameter(entry.name);
      if (index < 0) {
        Fail(result, FormatPositional(kUnknownArgumentMessage, entry.name, function.name));
        return;
      }
    } else {
      size_t position = captured + i;
      if (position >= function.parameters.size()) {
        Fail(result, FormatPositional(kUnknownArgumentMessage, position, function.name));
        return;
      }
      index = static_cast<int>(position);
    }
    const ParameterDescriptor& parameter = function.parameters[static_cast<size_t>(index)];
    BindingProperty value;
    BindingAbiError error{};
    if (!FromAbiValue(entry.value, parameter.name, &value, &error)) {
      Fail(result, error.message != nullptr ? std::string(error.message) : std::string());
      ReleaseAbiError(&error);
      return;
    }
    arguments[static_cast<size_t>(index)] = std::move(value);
  }
}

// Step 5: the body, for a function that takes one.
void BindBody(const FunctionDescriptor& function, const HostRequest& request,
              std::vector<OptionalBindingProperty>& arguments, BindingResult& result) {
  if (request.body == nullptr || request.body_length == 0) return;
  int index = function.BodyParameter();
  if (index < 0) return;
  std::string_view body(static_cast<const char*>(request.body), request.body_length);
  std::string_view type = request.content_type != nullptr ? request.content_type : "";
  BindingResult decoded;
  if (StartsWithIgnoringCase(type, kMsgpackType)) {
    MsgpackDecodeResult msgpack = DecodeMsgpack(body);
    if (msgpack.result.ok() && msgpack.consumed < body.size()) {
      Fail(result, std::string(kExtraMsgpackMessage));
      return;
    }
    decoded = std::move(msgpack.result);
  } else if (StartsWithIgnoringCase(type, kJsonType) ||
             StartsWithIgnoringCase(type, kJsonApiType)) {
    decoded = ParseJson(body);
  } else if (StartsWithIgnoringCase(type, kBodyYamlType)) {
    decoded = ParseYaml(body);
  } else {
    Fail(result, std::string(kUnsupportedBodyTypeMessage));
    return;
  }
  if (!decoded.ok()) {
    Fail(result, std::string(decoded.error()));
    return;
  }
  arguments[static_cast<size_t>(index)] = std::move(decoded.value());
}

}  // namespace

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

BindingResult DecodeArgumentText(std::string_view text, std::string_view content_type, bool sniff,
                                 std::string_view parameter, std::string_view function) {
  bool untyped = sniff && content_type.empty();
  std::string_view trimmed = SkipLeadingSpaces(text);
  // "application/x-msgpack-ext" shares the prefix.
  if (StartsWithIgnoringCase(content_type, kMsgpackType) || (untyped && LooksLikeMsgpack(text))) {
    return Wrapped(std::move(DecodeMsgpack(text).result), kMsgpackArgumentMessage, parameter,
                   function);
  }
  if (StartsWithIgnoringCase(content_type, kJsonType) ||
      (untyped && !trimmed.empty() && (trimmed[0] == '{' || trimmed[0] == '['))) {
    return Wrapped(ParseJson(text), kJsonArgumentMessage, parameter, function);
  }
  if (StartsWithIgnoringCase(content_type, kArgumentYamlType) ||
      (untyped && trimmed.substr(0, 3) == "---")) {
    return Wrapped(ParseYaml(text), kYamlArgumentMessage, parameter, function);
  }
  BindingProperty value;
  if (StartsWithIgnoringCase(content_type, kOctetStreamType)) {
    value.SetBlob(text.data(), text.size());
  } else {
    value.SetString(text);
  }
  return BindingResult(std::move(value));
}

void BindArguments(const FunctionDescriptor& function,
                   const std::vector<PathVariable>& path_variables, const HostRequest& request,
                   std::vector<OptionalBindingProperty>* arguments, BindingResult& result) {
  // 1. One slot per parameter; a bool that must be there starts as false.
  arguments->assign(function.parameters.size(), std::nullopt);
  for (size_t i = 0; i < function.parameters.size(); ++i) {
    const ParameterDescriptor& parameter = function.parameters[i];
    if (!parameter.optional && parameter.kind() == BindingKind::kBool) {
      (*arguments)[i].emplace().SetBool(false);
    }
  }
  // 2. Named inputs: the header and query sources are never filled by this host, so only
  // the path variables remain, in the order of their names (a later capture of the same
  // name wins).
  if (!path_variables.empty()) {
    std::vector<const PathVariable*> by_name;
    by_name.reserve(path_variables.size());
    for (const PathVariable& variable : path_variables) {
      auto same = std::find_if(by_name.begin(), by_name.end(), [&](const PathVariable* seen) {
        return seen->first == variable.first;
      });
      if (same != by_name.end()) {
        *same = &variable;
      } else {
        by_name.push_back(&variable);
      }
    }
    std::sort(by_name.begin(), by_name.end(), [](const PathVariable* a, const PathVariable* b) {
      return std::string_view(a->first) < std::string_view(b->first);
    });
    for (const PathVariable* variable : by_name) {
      BindNamedText(function, variable->first, variable->second, ParameterLocation::kPath,
                    *arguments, result);
      if (!result.ok()) return;
    }
  }
  // 4. The host's named and positional arguments.
  BindHostArguments(function, path_variables.size(), request, *arguments, result);
  if (!result.ok()) return;
  // 5. The body.
  BindBody(function, request, *arguments, result);
}

}  // namespace Voro
