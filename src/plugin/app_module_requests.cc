// AppModule: requests to the host's endpoints.
#include <string>
#include <vector>

#include "binding/router/http_method.h"
#include "binding/value/binding_abi.h"
#include "diag/format_positional.h"
#include "plugin/app_module.h"
#include "plugin/streamed_body.h"

namespace Voro {

namespace {

constexpr const char* kParametersMessage =
    "Request not sent: Error converting parameters for %1 %2: %3";
constexpr const char* kErrorResponseMessage = "Error response for %1 %2: %3";
constexpr const char* kStreamedResponseMessage = "Error reading streamed response for %1 %2: %3";
constexpr const char* kConvertResponseMessage = "Error converting response for %1 %2: %3";
constexpr int32_t kParametersStatus = 400;

// The named arguments of one request; frees the host records they own in every case.
class NamedArguments {
 public:
  NamedArguments() = default;
  NamedArguments(const NamedArguments&) = delete;
  NamedArguments& operator=(const NamedArguments&) = delete;
  ~NamedArguments() {
    for (BindingAbiNamedValue& argument : arguments_) ReleaseAbiValue(&argument.value);
  }

  // Each field of `parameters` under its name. Keys are zero-terminated copies, kept here.
  void Flatten(const BindingProperty& parameters, const EnumNameResolver* names) {
    names_.reserve(parameters.size());
    arguments_.reserve(parameters.size());
    for (const auto& [key, value] : parameters.Fields()) {
      names_.emplace_back(key);
      arguments_.push_back(BindingAbiNamedValue{});
      ToAbiValue(value, &arguments_.back().value, names);
    }
    for (size_t i = 0; i < names_.size(); ++i) arguments_[i].name = names_[i].c_str();
  }

  const BindingAbiNamedValue* data() const { return arguments_.empty() ? nullptr : &arguments_[0]; }
  uint32_t size() const { return static_cast<uint32_t>(arguments_.size()); }

 private:
  std::vector<std::string> names_;
  std::vector<BindingAbiNamedValue> arguments_;
};

}  // namespace

RequestResult<void> AppModule::RawRequest(uint32_t method, std::string_view path,
                                          const BindingResult& parameters, HostResponse* response) {
  const std::string_view method_name = HttpMethodName(method);
  const BindingProperty& values = parameters.value();
  std::string conversion_error;
  if (!parameters.ok()) {
    conversion_error = std::string(parameters.error());
  } else if (values.type() != BindingType::kEmpty && values.type() != BindingType::kStructure) {
    conversion_error = "parameters must be a record";
  }
  if (!conversion_error.empty()) {
    return RequestFailure{kParametersStatus, FormatPositional(kParametersMessage, method_name, path,
                                                              conversion_error)};
  }

  NamedArguments arguments;
  try {
    arguments.Flatten(values, &registry_);
  } catch (const std::exception& e) {
    return RequestFailure{kParametersStatus,
                          FormatPositional(kParametersMessage, method_name, path, e.what())};
  }
  const std::string path_text(path);
  HostRequest request{};
  request.method = method;
  request.path = path_text.c_str();
  request.arguments = arguments.data();
  request.argument_count = arguments.size();
  request.plugin_handle = plugin_handle_;
  SendRequest(response, &request);
  if (response->error_text == nullptr) return {};
  return RequestFailure{response->status_code, FormatPositional(kErrorResponseMessage, method_name,
                                                                path, response->error_text)};
}

void AppModule::ReleaseResponse(HostResponse* response) {
  HostResponseReleaseFn release = response->release;
  response->release = nullptr;
  if (release != nullptr) release(response);
}

RequestResult<BindingProperty> AppModule::TakeResponseBody(uint32_t method, std::string_view path,
                                                           HostResponse* response) {
  const std::string_view method_name = HttpMethodName(method);
  BindingResult body;
  const char* message = nullptr;
  if (response->stream_read != nullptr) {
    body = ReadStreamedBody(*response, [this] { Yield(); });
    message = kStreamedResponseMessage;
  } else {
    body = FromAbiValue(response->body, "<result>");
    message = kConvertResponseMessage;
  }
  ReleaseResponse(response);
  if (!body.ok()) {
    return RequestFailure{0, FormatPositional(message, method_name, path, body.error())};
  }
  return std::move(body.value());
}

std::string AppModule::ConvertResponseMessage(uint32_t method, std::string_view path,
                                              std::string_view error) const {
  return FormatPositional(kConvertResponseMessage, HttpMethodName(method), path, error);
}

}  // namespace Voro
