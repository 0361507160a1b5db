// Arbitrary requests through the router's request callback on a small declared API.
//
// Input layout: byte 0 picks the method (code 0 to 8), byte 1 the endpoint (or, when it is
// past the last one, dispatch over all of them); the rest is split at NUL bytes into the
// path, the content type, the method text, named arguments as "name=text" pairs (an entry
// without "=" is positional), and, after an empty field, the body.
//
// Checks: every response has its release function and a status text; a failure carries an
// error text and a success none; the response records convert back into values; an
// "Invalid function" failure has status 404.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/value/binding_abi.h"
#include "binding/router/endpoint_router.h"
#include "binding/types/record_builder.h"
#include "binding/types/type_registry.h"
#include "diag/logger.h"

namespace {

using namespace Voro;

enum class Shade : int32_t { kLight = 1, kDark = 2 };

struct Item {
  std::string name;
  int32_t count = 0;
  std::optional<Shade> shade;
  std::vector<uint8_t> bytes;
};

[[noreturn]] void Fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_router: %s\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

class Api {
 public:
  Api() {
    registry_.Enum<Shade>({"Fuzz"}, "Shade")
        .Value("LIGHT", Shade::kLight)
        .Value("DARK", Shade::kDark);
    registry_.Record<Item>({"Fuzz"}, "Item")
        .Field("name", &Item::name)
        .Field("count", &Item::count)
        .Field("shade", &Item::shade)
        .Field("bytes", &Item::bytes);
    (void)router_.Declare(KIV_METHOD_GET, "/kiv-login/v1/session")
        .Handle([]() -> EndpointReply<Item> {
          return Item{"s", 1, Shade::kDark, {1, 2}};
        });
    (void)router_.Declare(KIV_METHOD_POST, "/items/{id}/{items.1.name}")
        .Parameter("id", "", ParameterLocation::kPath)
        .Parameter("items")
        .Parameter("body", "", ParameterLocation::kBody)
        .Handle([](int64_t id, std::vector<Item> items,
                   std::optional<Item> body) -> EndpointReply<std::vector<Item>> {
          if (id == 409) return EndpointReply<std::vector<Item>>::Error(409, "conflict");
          if (body) items.push_back(*body);
          return EndpointReply<std::vector<Item>>(std::move(items)).Status(201);
        });
    (void)router_.DeclareNamed("Files", 0, "/files/{+path}{#part}")
        .Parameter("path")
        .Parameter("part")
        .Parameter("on")
        .Parameter("shade")
        .Handle([](std::string path, std::string part, bool on,
                   std::optional<Shade> shade) -> EndpointReply<BindingProperty> {
          BindingProperty out;
          out.MutableField("path") = path;
          out.MutableField("part") = part;
          out.MutableField("on") = on;
          if (shade) out.MutableField("shade").SetEnum(static_cast<int32_t>(*shade), 0);
          return out;
        });
    (void)router_.DeclareNamed("Object", KIV_METHOD_CUSTOM, "/o.{x}?", "PROPFIND")
        .Parameter("x")
        .Parameter("any", "", ParameterLocation::kBody)
        .Parameter("request")
        .Handle([](const EndpointRequest& request, BindingProperty x,
                   std::optional<BindingProperty> any, std::optional<std::string> name) {
          BindingProperty out;
          out.MutableField("x") = std::move(x);
          if (any) out.MutableField("any") = std::move(*any);
          out.MutableField("name") = name.value_or(request.function_name);
          return out;
        });
    for (const auto& function : router_.functions()) {
      endpoints_.push_back({function.get(), function->matcher.get()});
    }
  }

  const EndpointRouter& router() const { return router_; }
  const std::vector<EndpointRouter::Endpoint>& endpoints() const { return endpoints_; }

 private:
  TypeRegistry registry_;
  EndpointRouter router_{&registry_};
  std::vector<EndpointRouter::Endpoint> endpoints_;
};

const Api& TheApi() {
  static const Api* api = [] {
    Logger::Instance().Detach(Logger::Instance().StdErrTarget());
    Logger::Instance().Detach(Logger::Instance().StdOutTarget());
    return new Api();
  }();
  return *api;
}

void Check(HostResponse& response) {
  if (response.release == nullptr) Fail("response without release", "");
  if (response.status_text == nullptr) Fail("response without status text", "");
  if ((response.failed != 0) != (response.error_text != nullptr)) {
    Fail("failure flag and error text disagree", response.error_text ? response.error_text : "");
  }
  if (response.failed != 0 && std::strcmp(response.error_text, "Invalid function") == 0 &&
      response.status_code != 404) {
    Fail("Invalid function without 404", "");
  }
  if (response.response_code > 3) Fail("response code above 3", "");
  BindingResult body = FromAbiValue(response.body, "<result>");
  if (!body.ok()) Fail("response body does not read back", body.error());
  response.release(&response);
  HostResponse zero{};
  if (std::memcmp(&response, &zero, sizeof(zero)) != 0) Fail("release left data behind", "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Api& api = TheApi();
  if (size < 2) return 0;
  const uint32_t method = data[0] % 9;
  const size_t endpoint = data[1];
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);

  std::vector<std::string> fields;
  std::optional<std::string> body;
  while (!rest.empty()) {
    size_t nul = rest.find('\0');
    std::string_view field = rest.substr(0, nul);
    rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
    if (field.empty() && fields.size() >= 3) {
      body = std::string(rest);
      break;
    }
    fields.emplace_back(field);
  }
  while (fields.size() < 3) fields.emplace_back();

  std::vector<std::string> names;
  std::vector<BindingProperty> values;
  for (size_t i = 3; i < fields.size(); ++i) {
    size_t eq = fields[i].find('=');
    names.push_back(eq == std::string::npos ? std::string() : fields[i].substr(0, eq));
    BindingProperty value;
    value.SetString(eq == std::string::npos ? std::string_view(fields[i])
                                            : std::string_view(fields[i]).substr(eq + 1));
    values.push_back(std::move(value));
  }
  std::vector<BindingAbiNamedValue> arguments(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    arguments[i].name = fields[i + 3].find('=') == std::string::npos ? nullptr : names[i].c_str();
    ToAbiValue(values[i], &arguments[i].value);
  }

  HostRequest request{};
  request.method = method;
  request.path = fields[0].c_str();
  request.content_type = fields[1].empty() ? nullptr : fields[1].c_str();
  request.method_text = fields[2].c_str();
  request.arguments = arguments.empty() ? nullptr : arguments.data();
  request.argument_count = static_cast<uint32_t>(arguments.size());
  if (body) {
    request.body = body->data();
    request.body_length = static_cast<uint32_t>(body->size());
  }

  HostResponse response{};
  const auto& endpoints = api.endpoints();
  if (endpoint < endpoints.size()) {
    request.context = &endpoints[endpoint].function->context;
    EndpointRouter::RequestCallback(&response, &request);
  } else {
    api.router().Dispatch(&response, request, endpoints);
  }
  Check(response);
  for (BindingAbiNamedValue& argument : arguments) ReleaseAbiValue(&argument.value);
  return 0;
}
