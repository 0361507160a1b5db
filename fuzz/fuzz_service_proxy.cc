// Service-proxy answers as the platform pushes them (the body as JSON): read into the
// response record, inflated when compressed, and routed among uuid calls, method
// registrations and async subscriptions; then a logout answers what still waits.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "binding/codec/json_reader.h"
#include "fuzz_quiet.h"
#include "login/service_proxy_router.h"

namespace {

std::string Text(const Voro::BindingProperty& body, std::string_view name) {
  const Voro::BindingProperty* field = body.FindField(name);
  return field != nullptr && field->type() == Voro::BindingType::kString
             ? std::string(field->GetString())
             : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::QuietLogger();
  const Voro::BindingResult parsed =
      Voro::ParseJson(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!parsed.ok() || parsed.value().type() != Voro::BindingType::kStructure) return 0;
  const Voro::BindingProperty& body = parsed.value();
  Voro::Client::Api::LcdsServiceProxyResponse response;
  response.serviceName = Text(body, "serviceName");
  response.methodName = Text(body, "methodName");
  response.messageId = Text(body, "messageId");
  response.status = Text(body, "status");
  response.payload = Text(body, "payload");
  const Voro::BindingProperty* compressed = body.FindField("compressedPayload");
  response.compressedPayload = compressed != nullptr &&
                               compressed->type() == Voro::BindingType::kBool &&
                               compressed->GetBool();
  // Someone waits in each way for names the input may hit.
  Voro::ServiceProxyRouter router;
  router.AddUuidCall("u-1", 1);
  router.AddMethodRegistration(response.serviceName, 2, "get", "getDone", "getError");
  router.AddMethodRegistration("inventory", 3, "get", "getDone", "getError");
  router.Subscribe("inventory", "get", 4);
  router.Subscribe(
      response.serviceName.substr(0, response.serviceName.size() / 2),
      response.serviceName.substr(response.serviceName.size() / 2) + response.methodName, 5);
  (void)router.Route(response, "{}");
  (void)router.Route(response, "{}");
  (void)router.FailPending("Logout");
  return 0;
}
