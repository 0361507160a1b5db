#include "host/api_client.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <array>
#include <cstdio>
#include <memory>

#include "host/abi_value.h"

namespace kivhost {

namespace {

constexpr std::array<const char*, 8> kMethodNames = {"",        "DELETE", "GET",  "HEAD",
                                                     "OPTIONS", "PATCH",  "POST", "PUT"};

std::string MethodText(const ApiEndpointRecord& endpoint) {
  if (endpoint.method == KIV_METHOD_CUSTOM && endpoint.method_text != nullptr) {
    return endpoint.method_text;
  }
  if (endpoint.method == 0) return "ANY";
  return endpoint.method < kMethodNames.size() ? kMethodNames[endpoint.method] : "?";
}

const char* Text(const char* text) { return text != nullptr ? text : ""; }

bool IsTemplated(const char* path) {
  return path != nullptr && std::string(path).find('{') != std::string::npos;
}

// Frees the named arguments the host built for one call.
struct OwnedArguments {
  std::vector<BindingAbiNamedValue> values;
  ~OwnedArguments() {
    for (BindingAbiNamedValue& value : values) ReleaseAbiValue(&value.value);
  }
};

}  // namespace

std::string JsonOrString(const std::string& value) {
  rapidjson::Document document;
  document.Parse(value.c_str(), value.size());
  if (!document.HasParseError()) return value;
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
  return buffer.GetString();
}

std::string IndentedJson(const std::string& json) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(json.c_str(), json.size());
  if (document.HasParseError()) return json;
  rapidjson::StringBuffer buffer;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
  writer.SetIndent(' ', 4);
  document.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

uint32_t MethodCode(const std::string& name) {
  for (uint32_t code = 1; code < kMethodNames.size(); ++code) {
    if (name == kMethodNames[code]) return code;
  }
  return 0;
}

std::string DescribeApiTable(const ApiTable& table) {
  std::string out;
  char line[512];
  std::snprintf(line, sizeof(line), "%u endpoints\n", table.endpoint_count);
  out += line;
  for (const ApiEndpointRecord* e = table.endpoints; e != nullptr; e = e->next) {
    out += "  " + MethodText(*e) + " " + Text(e->path) + "  (" + Text(e->name) + ")";
    if (e->return_type_name != nullptr && *e->return_type_name != '\0') {
      out += std::string(" -> ") + e->return_type_name;
    }
    out += "\n";
    const ApiParameterLocation* location = e->locations;
    for (const ApiParameterRecord* p = e->parameters; p != nullptr; p = p->next) {
      static constexpr std::array<const char*, 6> kLocations = {"named", "1", "path",
                                                                "3",     "4", "body"};
      const uint32_t where = location != nullptr ? location->location : 0;
      out += std::string("      ") + Text(p->name) + " (" +
             (where < kLocations.size() ? kLocations[where] : "?") +
             (p->optional ? ", optional" : "") + ")";
      if (p->type_name != nullptr && *p->type_name != '\0') out += std::string(": ") + p->type_name;
      out += "\n";
      if (location != nullptr) location = location->next;
    }
  }
  std::snprintf(line, sizeof(line), "%u types\n", table.type_count);
  out += line;
  for (const ApiTypeRecord* t = table.types; t != nullptr; t = t->next) {
    out += std::string("  ") + Text(t->name_space) + " " + Text(t->name) + "\n";
    for (const ApiFieldRecord* f = t->fields; f != nullptr; f = f->next) {
      out += std::string("      ") + Text(f->name) + (f->optional ? " (optional)" : "");
      if (f->type_name != nullptr && *f->type_name != '\0') out += std::string(": ") + f->type_name;
      out += "\n";
    }
    for (const ApiEnumValueRecord* v = t->values; v != nullptr; v = v->next) {
      std::snprintf(line, sizeof(line), "      %s = %d\n", Text(v->name), v->value);
      out += line;
    }
  }
  std::snprintf(line, sizeof(line), "%u events\n", table.event_count);
  out += line;
  for (const ApiEventRecord* ev = table.events; ev != nullptr; ev = ev->next) {
    out += std::string("  ") + Text(ev->name) + ": " + Text(ev->payload_type_name) + "\n";
  }
  return out;
}

bool PathFitsTemplate(const std::string& path_template, const std::string& full_path) {
  const std::string path = full_path.substr(0, full_path.find('?'));
  size_t t = 0;
  size_t p = 0;
  while (t < path_template.size()) {
    if (path_template[t] == '{') {
      const size_t close = path_template.find('}', t);
      if (close == std::string::npos) return false;
      const bool rest = t + 1 < close && path_template[t + 1] == '+';
      const size_t start = p;
      while (p < path.size() && (rest || path[p] != '/')) ++p;
      if (p == start) return false;
      t = close + 1;
    } else if (p < path.size() && path[p] == path_template[t]) {
      ++p;
      ++t;
    } else {
      return false;
    }
  }
  return p == path.size();
}

const ApiEndpointRecord* FindEndpoint(const ApiTable& table, uint32_t method,
                                      const std::string& path) {
  const ApiEndpointRecord* templated = nullptr;
  for (const ApiEndpointRecord* e = table.endpoints; e != nullptr; e = e->next) {
    if (e->method != 0 && e->method != method) continue;
    const std::string endpoint_path =
        e->path != nullptr && *e->path != '\0' ? e->path : std::string("/") + Text(e->name);
    if (!PathFitsTemplate(endpoint_path, path)) continue;
    if (!IsTemplated(endpoint_path.c_str())) return e;
    if (templated == nullptr) templated = e;
  }
  return templated;
}

kiv::Status CallEndpoint(const ApiEndpointRecord& endpoint, const ApiCall& call,
                         ApiCallResult* result) {
  OwnedArguments arguments;
  arguments.values.reserve(call.arguments.size());
  for (const auto& [name, json] : call.arguments) {
    BindingAbiNamedValue value{};
    value.name = name.c_str();
    if (auto built = AbiFromJsonText(json, &value.value); !built.ok()) {
      return kiv::Error{"argument '" + name + "': " + built.error()};
    }
    arguments.values.push_back(value);
  }
  HostRequest request{};
  request.method = call.method;
  request.path = call.path.c_str();
  request.arguments = arguments.values.empty() ? nullptr : arguments.values.data();
  request.argument_count = static_cast<uint32_t>(arguments.values.size());
  request.context = endpoint.context;
  request.content_type = call.content_type.empty() ? nullptr : call.content_type.c_str();
  request.body = call.body.empty() ? nullptr : call.body.data();
  request.body_length = static_cast<uint32_t>(call.body.size());

  HostResponse response{};
  endpoint.callback(&response, &request);
  result->status = response.status_code;
  result->failed = response.failed != 0 || response.error_text != nullptr;
  result->error = Text(response.error_text);
  for (uint32_t i = 0; i < response.header_count && response.headers != nullptr; ++i) {
    result->headers.emplace_back(Text(response.headers[i].name), Text(response.headers[i].value));
  }
  if (response.stream_read != nullptr) {
    std::string text;
    bool more = true;
    while (more) {
      char chunk[4096];
      uint32_t size = sizeof(chunk);
      more = false;
      if (!response.stream_read(response.stream_context, chunk, &size, &more)) {
        result->error += result->error.empty() ? "stream read failed" : "; stream read failed";
        break;
      }
      text.append(chunk, size < sizeof(chunk) ? size : sizeof(chunk));
    }
    if (response.stream_close != nullptr) response.stream_close(response.stream_context);
    result->body_json = text;
  } else {
    auto body = AbiToJson(response.body);
    result->body_json = body.ok() ? std::move(body.value()) : "<" + body.error() + ">";
  }
  if (response.release != nullptr) response.release(&response);
  return {};
}

}  // namespace kivhost
