#include "binding/endpoint_router.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "binding/argument_binder.h"
#include "binding/json_reader.h"
#include "binding/msgpack_reader.h"
#include "binding/record_builder.h"
#include "binding/router_harness.h"
#include "binding/yaml_reader.h"

namespace Voro {
namespace {

using testing::RouterHarness;
using testing::RouterRequest;
using testing::RouterResponse;

enum class Shade : int32_t { kLight = 1, kDark = 2 };

struct Item {
  std::string name;
  int32_t count = 0;
};

struct Unregistered {
  int32_t x = 0;
};

class EndpointRouterTest : public ::testing::Test {
 protected:
  EndpointRouterTest() {
    h_.registry.Record<Item>({"Test"}, "Item")
        .Field("name", &Item::name)
        .Field("count", &Item::count);
    h_.registry.Enum<Shade>({"Test"}, "Shade")
        .Value("LIGHT", Shade::kLight)
        .Value("DARK", Shade::kDark);
  }

  // The text a handler saw, as JSON of its binding form.
  template <typename T>
  std::string Json(const T& value) {
    BindingResult converted = ToBinding(value, h_.registry);
    return converted.ok() ? WriteJson(converted.value(), &h_.registry) : "<error>";
  }

  RouterHarness h_;
  std::string seen_;
};

// ---- Declaration ----

TEST_F(EndpointRouterTest, DeclaresWithDerivedOrExplicitNames) {
  EXPECT_TRUE(h_.router.Declare(KIV_METHOD_GET, "/kiv-login/v1/session/{id}")
                  .Parameter("id", "", ParameterLocation::kPath)
                  .Handle([](const std::string&) {}));
  EXPECT_TRUE(h_.router.DeclareNamed("Ping", 0, "").Handle([] { return std::string("pong"); }));
  const FunctionDescriptor& derived = h_.Function("GetKivLoginV1SessionById");
  EXPECT_EQ(derived.method, static_cast<uint32_t>(KIV_METHOD_GET));
  EXPECT_EQ(derived.path, "/kiv-login/v1/session/{id}");
  // An empty template makes the name the path; method 0 takes any method.
  const FunctionDescriptor& named = h_.Function("Ping");
  EXPECT_EQ(named.path, "Ping");
  RouterRequest request;
  request.method = KIV_METHOD_PUT;
  request.path = "Ping";
  RouterResponse response = h_.Call("Ping", request);
  EXPECT_FALSE(response.failed);
  EXPECT_EQ(response.body, "\"pong\"");
}

TEST_F(EndpointRouterTest, RefusesMismatchedParametersAndDuplicateNames) {
  EXPECT_FALSE(h_.router.DeclareNamed("Two", 0, "").Parameter("a").Handle([](int32_t, int32_t) {}));
  EXPECT_EQ(h_.router.Find("Two"), nullptr);
  EXPECT_TRUE(h_.router.DeclareNamed("Once", 0, "").Handle([] {}));
  EXPECT_FALSE(h_.router.DeclareNamed("Once", 0, "").Handle([] { return 1; }));
  EXPECT_EQ(h_.router.functions().size(), 1u);
}

TEST_F(EndpointRouterTest, ParameterTypesComeFromTheHandler) {
  ASSERT_TRUE(h_.router.DeclareNamed("Typed", 0, "")
                  .Parameter("item", "An item", ParameterLocation::kBody)
                  .Parameter("shade")
                  .Parameter("count")
                  .Parameter("names")
                  .Handle([](const Item&, Shade, std::optional<uint64_t>, std::vector<std::string>)
                              -> EndpointReply<std::vector<Item>> { return std::vector<Item>{}; }));
  const FunctionDescriptor& f = h_.Function("Typed");
  ASSERT_EQ(f.parameters.size(), 4u);
  EXPECT_EQ(f.parameters[0].kind(), BindingKind::kStruct);
  EXPECT_EQ(f.parameters[0].location, ParameterLocation::kBody);
  EXPECT_EQ(f.parameters[0].description, "An item");
  EXPECT_EQ(f.parameters[1].kind(), BindingKind::kEnum);
  EXPECT_EQ(f.parameters[2].kind(), BindingKind::kUint64);
  EXPECT_TRUE(f.parameters[2].optional);
  EXPECT_FALSE(f.parameters[1].optional);
  EXPECT_EQ(f.parameters[3].kind(), BindingKind::kVector);
  EXPECT_EQ(f.parameters[3].name_hash, Fnv1a("names"));
  ASSERT_NE(f.result_type, nullptr);
  EXPECT_EQ(f.result_type->kind, BindingKind::kVector);
  EXPECT_EQ(f.invoker->RequestType(), 0u);
}

// ---- Endpoint choice ----

class DispatchTest : public EndpointRouterTest {
 protected:
  // A handler that records its name, with one string parameter per path variable.
  void Declare(const std::string& name, uint32_t method, const std::string& path,
               const std::string& method_text = {}) {
    const std::vector<std::string> variables = PathTemplate(path).variables();
    EndpointBuilder builder = h_.router.DeclareNamed(name, method, path, method_text);
    for (const std::string& variable : variables) {
      builder.Parameter(variable, "", ParameterLocation::kPath);
    }
    bool declared = false;
    switch (variables.size()) {
      case 0:
        declared = builder.Handle([this, name] { seen_ = name; });
        break;
      case 1:
        declared = builder.Handle([this, name](std::string) { seen_ = name; });
        break;
      default:
        declared = builder.Handle([this, name](std::string, std::string) { seen_ = name; });
        break;
    }
    ASSERT_TRUE(declared) << name;
  }
  RouterResponse Dispatch(const std::vector<std::string>& names, uint32_t method,
                          const std::string& path, const char* method_text = nullptr) {
    std::vector<EndpointRouter::Endpoint> endpoints;
    for (const std::string& name : names) {
      const FunctionDescriptor& f = h_.Function(name);
      endpoints.push_back({&f, f.matcher.get()});
    }
    HostRequest request{};
    request.method = method;
    request.path = path.c_str();
    request.method_text = method_text;
    HostResponse response{};
    seen_.clear();
    h_.router.Dispatch(&response, request, endpoints);
    RouterResponse out;
    out.failed = response.failed != 0;
    if (response.error_text != nullptr) out.error = response.error_text;
    out.status = response.status_code;
    response.release(&response);
    return out;
  }
};

TEST_F(DispatchTest, ChoosesLiteralMatchesFirstThenShortestCaptures) {
  Declare("ById", KIV_METHOD_GET, "/items/{id}");
  Declare("New", KIV_METHOD_GET, "/items/new");
  Declare("Rest", KIV_METHOD_GET, "/files/{+path}");
  Declare("Split", KIV_METHOD_GET, "/files/{dir}/{name}");
  Declare("Split2", KIV_METHOD_GET, "/files/{dir}/{name}.txt");
  Declare("Any", 0, "/any");
  Declare("Custom", KIV_METHOD_CUSTOM, "/custom", "PROPFIND");

  Dispatch({"ById", "New"}, KIV_METHOD_GET, "/items/new");
  EXPECT_EQ(seen_, "New");
  Dispatch({"ById", "New"}, KIV_METHOD_GET, "/items/7");
  EXPECT_EQ(seen_, "ById");
  // "ab/c.txt" (8 bytes) against "ab" + "c.txt" (7) against "ab" + "c" (3).
  Dispatch({"Rest", "Split", "Split2"}, KIV_METHOD_GET, "/files/ab/c.txt");
  EXPECT_EQ(seen_, "Split2");
  Dispatch({"Split2", "Rest", "Split"}, KIV_METHOD_GET, "/files/ab/c.txt");
  EXPECT_EQ(seen_, "Split2");
  // Equal lengths keep the earlier endpoint.
  Declare("Before", KIV_METHOD_GET, "/p/{a}x");
  Declare("After", KIV_METHOD_GET, "/p/x{b}");
  Dispatch({"Before", "After"}, KIV_METHOD_GET, "/p/xx");
  EXPECT_EQ(seen_, "Before");
  Dispatch({"After", "Before"}, KIV_METHOD_GET, "/p/xx");
  EXPECT_EQ(seen_, "After");

  // Methods filter; 0 takes any; a custom method also compares its text.
  RouterResponse wrong = Dispatch({"New"}, KIV_METHOD_POST, "/items/new");
  EXPECT_TRUE(wrong.failed);
  EXPECT_EQ(wrong.error, "Invalid function");
  EXPECT_EQ(wrong.status, 404);
  Dispatch({"Any"}, KIV_METHOD_DELETE, "/any");
  EXPECT_EQ(seen_, "Any");
  Dispatch({"Custom"}, KIV_METHOD_CUSTOM, "/custom", "PROPFIND");
  EXPECT_EQ(seen_, "Custom");
  EXPECT_EQ(Dispatch({"Custom"}, KIV_METHOD_CUSTOM, "/custom", "MKCOL").error, "Invalid function");
  EXPECT_EQ(Dispatch({"Custom"}, KIV_METHOD_CUSTOM, "/custom").error, "Invalid function");
  EXPECT_EQ(seen_, "");

  RouterResponse none = Dispatch({"ById", "New"}, KIV_METHOD_GET, "/items/a/b");
  EXPECT_EQ(none.error, "Invalid function");
  EXPECT_EQ(none.status, 404);
  EXPECT_EQ(Dispatch({}, KIV_METHOD_GET, "/items/new").status, 404);
}

TEST_F(EndpointRouterTest, CallbackWithoutContextIsAnInvalidFunction) {
  RouterRequest request;
  request.path = "/x";
  RouterResponse response = testing::CallEndpoint(nullptr, request);
  EXPECT_TRUE(response.failed);
  EXPECT_EQ(response.error, "Invalid function");
  EXPECT_EQ(response.status, 404);
  EXPECT_TRUE(response.released);
  // A path that does not fit the endpoint's own template.
  ASSERT_TRUE(h_.router.Declare(KIV_METHOD_GET, "/kiv-login/v1/session").Handle([] {}));
  EXPECT_EQ(h_.Get("GetKivLoginV1Session", "/kiv-login/v1/session/x").error, "Invalid function");
  EXPECT_FALSE(h_.Get("GetKivLoginV1Session", "/kiv-login/v1/session").failed);
}

}  // namespace
}  // namespace Voro
