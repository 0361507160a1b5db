#include "host/host_endpoints.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <limits>
#include <sstream>

#include "host/abi_value.h"

namespace kivhost {

namespace {

constexpr char kNoEndpoint[] = "kivhost has no endpoint ";
constexpr char kBadArguments[] = "kivhost cannot read the arguments of ";
constexpr char kHandlerFailed[] = "kivhost endpoint failed: ";

// The context of a streamed body. The response owns it: the close function only marks it,
// and the response's release deletes it, so reading and closing are both optional.
struct StreamState {
  std::string data;
  std::vector<uint32_t> chunk_sizes;
  size_t next_chunk = 0;
  size_t offset = 0;
  std::optional<size_t> fail_after;
  bool closed = false;
};

bool ReadStream(void* context, char* buffer, uint32_t* size, bool* more) {
  auto* state = static_cast<StreamState*>(context);
  if (state == nullptr || size == nullptr || more == nullptr) return false;
  uint32_t capacity = *size;
  *size = 0;
  *more = false;
  if (state->closed || (buffer == nullptr && capacity > 0)) return false;
  uint32_t chunk = 1;
  if (!state->chunk_sizes.empty()) {
    chunk = state->chunk_sizes[std::min(state->next_chunk, state->chunk_sizes.size() - 1)];
    ++state->next_chunk;
  }
  chunk = std::max<uint32_t>(chunk, 1);
  size_t n = std::min<size_t>({capacity, chunk, state->data.size() - state->offset});
  if (state->fail_after && state->offset + n > *state->fail_after) return false;
  if (n > 0) std::memcpy(buffer, state->data.data() + state->offset, n);
  state->offset += n;
  *size = static_cast<uint32_t>(n);
  *more = state->offset < state->data.size();
  return true;
}

void CloseStream(void* context) {
  if (context != nullptr) static_cast<StreamState*>(context)->closed = true;
}

void ReleaseResponse(HostResponse* response) {
  if (response == nullptr) return;
  ReleaseAbiValue(&response->body);
  std::free(response->error_text);
  std::free(response->status_text);
  delete static_cast<StreamState*>(response->stream_context);
  std::memset(response, 0, sizeof(*response));
}

void FillError(int32_t status, const std::string& text, HostResponse* response) {
  response->error_text = CopyText(text);
  response->failed = 1;
  response->status_code = status;
}

void Fill(const EndpointReply& reply, const std::string& what, HostResponse* response) {
  switch (reply.kind()) {
    case EndpointReply::Kind::kError:
      FillError(reply.status(), reply.error_text(), response);
      return;
    case EndpointReply::Kind::kJson: {
      if (auto built = AbiFromJsonText(reply.json(), &response->body); !built.ok()) {
        FillError(kHandlerFailedStatus, kHandlerFailed + what + ": " + built.error(), response);
        return;
      }
      response->status_code = 200;
      return;
    }
    case EndpointReply::Kind::kStream: {
      const StreamedBody& body = reply.stream();
      auto* state = new StreamState{body.data, body.chunk_sizes, 0, 0, body.fail_after, false};
      response->stream_context = state;
      response->stream_read = &ReadStream;
      response->stream_close = &CloseStream;
      size_t hint = body.size_hint ? *body.size_hint : body.data.size();
      response->stream_size_hint =
          static_cast<uint32_t>(std::min<size_t>(hint, std::numeric_limits<uint32_t>::max()));
      response->status_code = 200;
      return;
    }
  }
}

std::string JsonOfPairs(const std::vector<std::pair<std::string, std::string>>& pairs) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  // A name given twice keeps its last value, as a command line is usually read.
  std::map<std::string, std::string> unique;
  for (const auto& [name, value] : pairs) unique[name] = value;
  for (const auto& [name, value] : unique) {
    writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
    writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string JsonString(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  return std::string(buffer.GetString(), buffer.GetSize());
}

// Re-writes a member through the depth-bounded conversion, so that a hand-written file
// cannot nest without limit.
kiv::Result<std::string> MemberText(const rapidjson::Value& value) {
  BindingAbiValue abi;
  if (auto built = AbiFromJson(value, &abi); !built.ok()) return kiv::Error{built.error()};
  auto text = AbiToJson(abi);
  ReleaseAbiValue(&abi);
  return text;
}

}  // namespace

EndpointReply EndpointReply::Json(std::string json) {
  EndpointReply reply;
  reply.kind_ = Kind::kJson;
  reply.text_ = std::move(json);
  return reply;
}

EndpointReply EndpointReply::Error(int32_t status, std::string text) {
  EndpointReply reply;
  reply.kind_ = Kind::kError;
  reply.status_ = status;
  reply.text_ = std::move(text);
  return reply;
}

EndpointReply EndpointReply::Stream(StreamedBody body) {
  EndpointReply reply;
  reply.kind_ = Kind::kStream;
  reply.stream_ = std::move(body);
  return reply;
}

HostEndpoints::HostEndpoints() { InstallDefaults(); }

std::string HostEndpoints::MethodName(uint32_t method, const char* text) {
  static const char* const kNames[] = {"",        "DELETE", "GET",  "HEAD",
                                       "OPTIONS", "PATCH",  "POST", "PUT"};
  if (method >= 1 && method <= 7) return kNames[method];
  if (method == KIV_METHOD_CUSTOM && text != nullptr) return text;
  return "";
}

void HostEndpoints::InstallDefaults() {
  // The reply is an object from argument name (without leading dashes) to its value text,
  // e.g. {"auto-login-username": "alice"}; every value is a string.
  Set("GET", kCommandLineArgsPath, [this](const EndpointRequest&) {
    std::lock_guard<std::mutex> lock(mutex_);
    return EndpointReply::Json(JsonOfPairs(command_line_));
  });
  Set("GET", kRegionDataPath, [this](const EndpointRequest&) {
    std::lock_guard<std::mutex> lock(mutex_);
    return EndpointReply::Json(region_data_);
  });
  Set("GET", kGlobalsPath, [this](const EndpointRequest&) {
    std::lock_guard<std::mutex> lock(mutex_);
    return EndpointReply::Json(globals_);
  });
  Set("GET", kPluginStatusPath, [this](const EndpointRequest&) {
    std::lock_guard<std::mutex> lock(mutex_);
    return EndpointReply::Json("{\"state\":" + JsonString(plugin_state_) + "}");
  });
  Set("GET", kPreShutdownPath, [](const EndpointRequest&) { return EndpointReply::Json("{}"); });
  SetPrefix("POST", kTelemetryEventsPrefix, [this](const EndpointRequest& request) {
    Record("events", request);
    return EndpointReply::Json("null");
  });
  SetPrefix("POST", kTelemetryCommonDataPrefix, [this](const EndpointRequest& request) {
    Record("common-data", request);
    return EndpointReply::Json("null");
  });
  Set("PUT", kPlatformIdPath, [this](const EndpointRequest& request) {
    Record("platform-id", request);
    return EndpointReply::Json("null");
  });
}

void HostEndpoints::Set(const std::string& method, const std::string& path,
                        EndpointHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handler) {
    exact_[{method, path}] = std::move(handler);
  } else {
    exact_.erase({method, path});
  }
}

void HostEndpoints::SetPrefix(const std::string& method, const std::string& prefix,
                              EndpointHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handler) {
    prefixes_[{method, prefix}] = std::move(handler);
  } else {
    prefixes_.erase({method, prefix});
  }
}

EndpointHandler HostEndpoints::Find(const std::string& method, const std::string& path,
                                    std::string* rest) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto exact = exact_.find({method, path});
  if (exact != exact_.end()) return exact->second;
  const EndpointHandler* best = nullptr;
  size_t best_length = 0;
  for (const auto& [key, handler] : prefixes_) {
    const std::string& prefix = key.second;
    // The rest names something, so the bare prefix is not served.
    if (key.first == method && path.size() > prefix.size() && path.starts_with(prefix) &&
        (best == nullptr || prefix.size() > best_length)) {
      best = &handler;
      best_length = prefix.size();
    }
  }
  if (best == nullptr) return nullptr;
  *rest = path.substr(best_length);
  return *best;
}

void HostEndpoints::Answer(const HostRequest& request, HostResponse* response) {
  response->release = &ReleaseResponse;
  // The plugin called through a C table: nothing may escape back into it.
  try {
    AnswerUnguarded(request, response);
  } catch (const std::exception& e) {
    ReleaseResponse(response);
    response->release = &ReleaseResponse;
    FillError(kHandlerFailedStatus, std::string(kHandlerFailed) + e.what(), response);
  }
}

void HostEndpoints::Refuse(int32_t status, const std::string& text, HostResponse* response) {
  response->release = &ReleaseResponse;
  FillError(status, text, response);
}

void HostEndpoints::AnswerUnguarded(const HostRequest& request, HostResponse* response) {
  EndpointRequest call;
  call.method = MethodName(request.method, request.method_text);
  call.path = request.path != nullptr ? request.path : "";
  if (request.content_type != nullptr) call.content_type = request.content_type;
  if (request.body != nullptr && request.body_length > 0) {
    call.body.assign(static_cast<const char*>(request.body), request.body_length);
  }
  std::string what = call.method + " " + call.path;
  auto arguments = ArgumentsToJson(request.arguments, request.argument_count);
  if (!arguments.ok()) {
    FillError(kBadArgumentsStatus, kBadArguments + what + ": " + arguments.error(), response);
    return;
  }
  call.arguments = std::move(arguments.value());
  EndpointHandler handler = Find(call.method, call.path, &call.rest);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(call);
  }
  if (!handler) {
    FillError(kNoEndpointStatus, kNoEndpoint + what, response);
    return;
  }
  Fill(handler(call), what, response);
}

void HostEndpoints::SetCommandLineArgs(std::vector<std::pair<std::string, std::string>> args) {
  std::lock_guard<std::mutex> lock(mutex_);
  command_line_ = std::move(args);
}

kiv::Status HostEndpoints::LoadRegionFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return kiv::Error{"cannot read region file " + path + ": " + std::strerror(errno)};
  std::stringstream content;
  content << file.rdbuf();
  std::string text = content.str();
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  if (document.HasParseError()) {
    return kiv::Error{"region file " + path + " is not valid JSON: " +
                      rapidjson::GetParseError_En(document.GetParseError()) + " at offset " +
                      std::to_string(document.GetErrorOffset())};
  }
  if (!document.IsObject() || !document.HasMember("globals") || !document["globals"].IsObject() ||
      !document.HasMember("region_data") || !document["region_data"].IsObject()) {
    return kiv::Error{"region file " + path +
                      " must hold an object with the objects \"globals\" and \"region_data\""};
  }
  auto globals = MemberText(document["globals"]);
  if (!globals.ok()) return kiv::Error{"region file " + path + ": " + globals.error()};
  auto region_data = MemberText(document["region_data"]);
  if (!region_data.ok()) return kiv::Error{"region file " + path + ": " + region_data.error()};
  std::lock_guard<std::mutex> lock(mutex_);
  globals_ = std::move(globals.value());
  region_data_ = std::move(region_data.value());
  return {};
}

void HostEndpoints::SetPluginState(std::string state) {
  std::lock_guard<std::mutex> lock(mutex_);
  plugin_state_ = std::move(state);
}

void HostEndpoints::Record(const char* sink, const EndpointRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back(SinkRecord{sink, request.rest, request.arguments, request.body});
}

std::vector<SinkRecord> HostEndpoints::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::vector<EndpointRequest> HostEndpoints::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

}  // namespace kivhost
