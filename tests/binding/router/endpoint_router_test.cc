// The endpoint router called the way the host calls it: a HostRequest with the function's
// registration context through the request callback, and the HostResponse read back and
// released.
#include "binding/router/endpoint_router.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "binding/codec/msgpack_reader.h"
#include "binding/codec/yaml_reader.h"
#include "binding/router/argument_binder.h"
#include "binding/router/response_writer.h"
#include "binding/types/record_builder.h"
#include "binding/types/type_registry.h"
#include "binding/value/binding_abi.h"
#include "kiv/plugin_abi.h"
#include "support/binding_values.h"

namespace Voro {
namespace {

enum class Shade : int32_t { kLight = 1, kDark = 2, kUnnamed = 7 };

struct Item {
  std::string name;
  int32_t count = 0;
};

struct RouterResponse {
  bool failed = false;
  std::string error;
  int32_t status = 0;
  std::optional<std::string> status_text;
  uint8_t response_flag = 0;
  uint32_t response_code = 0;
  std::string body;  // compact JSON of the body value
  std::map<std::string, std::string> headers;
  bool released = false;  // the release function left the record zeroed

  // "<status> <body>", or "<status> failed: <error>" for a failure.
  std::string Outcome() const {
    return std::to_string(status) + (failed ? " failed: " + error : " " + body);
  }
};

// Sends `request` to the endpoint whose registration context is `context`.
RouterResponse CallEndpoint(const void* context, HostRequest request) {
  request.context = context;
  HostResponse response{};
  EndpointRouter::RequestCallback(&response, &request);

  const BindingResult body = FromAbiValue(response.body, "<result>");
  RouterResponse out{.failed = response.failed != 0,
                     .error = response.error_text != nullptr ? response.error_text : "",
                     .status = response.status_code,
                     .response_flag = response.response_flag,
                     .response_code = response.response_code,
                     .body = body.ok() ? WriteJson(body.value()) : "<unreadable>"};
  if (response.status_text != nullptr) out.status_text = response.status_text;
  for (uint32_t i = 0; i < response.header_count; ++i) {
    out.headers[response.headers[i].name] = response.headers[i].value;
  }
  if (response.release != nullptr) {
    response.release(&response);
    const HostResponse zero{};
    out.released = std::memcmp(&response, &zero, sizeof(zero)) == 0;
  }
  return out;
}

// A registry that knows Item and Shade, and a router to declare test endpoints on.
class RouterHarness {
 public:
  RouterHarness() {
    registry.Record<Item>({"Test"}, "Item").Field("name", &Item::name).Field("count", &Item::count);
    registry.Enum<Shade>({"Test"}, "Shade")
        .Value("LIGHT", Shade::kLight)
        .Value("DARK", Shade::kDark);
  }

  TypeRegistry registry;
  EndpointRouter router{&registry};

  // A native value as compact JSON of its binding form, enumerations by name.
  template <typename T>
  std::string Json(const T& value) const {
    BindingResult converted = ToBinding(value, registry);
    return converted.ok() ? WriteJson(converted.value(), &registry) : "<error>";
  }

  const FunctionDescriptor& Function(const std::string& name) const {
    const FunctionDescriptor* function = router.Find(name);
    if (function == nullptr) throw std::runtime_error("no function " + name);
    return *function;
  }
  RouterResponse Call(const std::string& function_name, const HostRequest& request) const {
    return CallEndpoint(&Function(function_name).context, request);
  }
};

// ---- Declaration and dispatch ----

TEST(EndpointRouterTest, DeclaresFunctionsFromHandlers) {
  RouterHarness h;
  EXPECT_TRUE(h.router.Declare(KIV_METHOD_GET, "/kiv-login/v1/session/{id}")
                  .Parameter("id", "", ParameterLocation::kPath)
                  .Handle([](const std::string&) {}));
  EXPECT_EQ(h.Function("GetKivLoginV1SessionById").path, "/kiv-login/v1/session/{id}");
  // An empty template makes the name the path; method 0 takes any method.
  EXPECT_TRUE(h.router.DeclareNamed("Ping", 0, "").Handle([] { return std::string("pong"); }));
  EXPECT_EQ(h.Function("Ping").path, "Ping");
  EXPECT_EQ(h.Call("Ping", {.method = KIV_METHOD_PUT, .path = "Ping"}).Outcome(), "0 \"pong\"");
  // A path that does not fit the endpoint's own template, or no endpoint at all.
  EXPECT_EQ(h.Call("Ping", {.path = "Ping/x"}).Outcome(), "404 failed: Invalid function");
  const RouterResponse none = CallEndpoint(nullptr, {.path = "Ping"});
  EXPECT_EQ(none.Outcome(), "404 failed: Invalid function");
  EXPECT_TRUE(none.released);
  // Parameter kinds and optionality come from the handler's signature.
  ASSERT_TRUE(h.router.DeclareNamed("Typed", 0, "")
                  .Parameter("item", "An item", ParameterLocation::kBody)
                  .Parameter("shade")
                  .Parameter("count")
                  .Parameter("names")
                  .Handle([](const Item&, Shade, std::optional<uint64_t>, std::vector<std::string>)
                              -> EndpointReply<std::vector<Item>> { return std::vector<Item>{}; }));
  const FunctionDescriptor& f = h.Function("Typed");
  std::string parameters;
  for (const ParameterDescriptor& p : f.parameters) {
    parameters += std::string(BindingKindName(p.kind())) + (p.optional ? "? " : " ");
  }
  EXPECT_EQ(parameters, "struct enum uint64? vector ");
  EXPECT_EQ(f.parameters[3].name_hash, Fnv1a("names"));
  EXPECT_EQ(f.result_type->kind, BindingKind::kVector);
  // A parameter count that does not fit the handler, or a name taken, declares nothing.
  EXPECT_FALSE(h.router.DeclareNamed("Two", 0, "").Parameter("a").Handle([](int32_t, int32_t) {}));
  EXPECT_EQ(h.router.Find("Two"), nullptr);
  EXPECT_FALSE(h.router.DeclareNamed("Ping", 0, "").Handle([] { return 1; }));
  EXPECT_EQ(h.router.functions().size(), 3u);
}

class DispatchTest : public ::testing::Test {
 protected:
  // An endpoint whose path variables all bind to "v", recording its name when it runs.
  void Declare(const std::string& name, uint32_t method, const std::string& path,
               const std::string& method_text = {}) {
    ASSERT_TRUE(h_.router.DeclareNamed(name, method, path, method_text)
                    .Parameter("v")
                    .Handle([this](const EndpointRequest& request, std::optional<BindingProperty>) {
                      seen_ = request.function_name;
                    }));
  }
  // The name of the endpoint that ran, or the failure.
  std::string Dispatch(const std::vector<std::string>& names, uint32_t method,
                       const std::string& path, const char* method_text) {
    std::vector<EndpointRouter::Endpoint> endpoints;
    for (const std::string& name : names) {
      endpoints.push_back({&h_.Function(name), h_.Function(name).matcher.get()});
    }
    HostResponse response{};
    seen_.clear();
    h_.router.Dispatch(
        &response, {.method = method, .path = path.c_str(), .method_text = method_text}, endpoints);
    const std::string outcome =
        response.failed != 0 ? std::to_string(response.status_code) + " " + response.error_text
                             : seen_;
    response.release(&response);
    return outcome;
  }

  RouterHarness h_;
  std::string seen_;
};

TEST_F(DispatchTest, ChoosesLiteralMatchesFirstThenShortestCaptures) {
  Declare("ById", KIV_METHOD_GET, "/items/{v}");
  Declare("New", KIV_METHOD_GET, "/items/new");
  Declare("Rest", KIV_METHOD_GET, "/files/{+v}");
  Declare("Split", KIV_METHOD_GET, "/files/{v.0}/{v.1}");
  Declare("Split2", KIV_METHOD_GET, "/files/{v.0}/{v.1}.txt");
  Declare("Before", KIV_METHOD_GET, "/p/{v}x");
  Declare("After", KIV_METHOD_GET, "/p/x{v}");
  Declare("Custom", KIV_METHOD_CUSTOM, "/custom", "PROPFIND");
  const std::string none = "404 Invalid function";
  const struct {
    std::vector<std::string> endpoints;
    uint32_t method;
    const char* path;
    const char* method_text;
    std::string outcome;
  } cases[] = {
      {{"ById", "New"}, KIV_METHOD_GET, "/items/new", nullptr, "New"},
      // "ab/c.txt" (8 bytes) against "ab" + "c.txt" (7) against "ab" + "c" (3).
      {{"Rest", "Split", "Split2"}, KIV_METHOD_GET, "/files/ab/c.txt", nullptr, "Split2"},
      {{"Split2", "Rest", "Split"}, KIV_METHOD_GET, "/files/ab/c.txt", nullptr, "Split2"},
      // Equal lengths keep the earlier endpoint.
      {{"Before", "After"}, KIV_METHOD_GET, "/p/xx", nullptr, "Before"},
      {{"After", "Before"}, KIV_METHOD_GET, "/p/xx", nullptr, "After"},
      // Methods filter; a custom method also compares its text.
      {{"New"}, KIV_METHOD_POST, "/items/new", nullptr, none},
      {{"Custom"}, KIV_METHOD_CUSTOM, "/custom", "PROPFIND", "Custom"},
      {{"Custom"}, KIV_METHOD_CUSTOM, "/custom", nullptr, none},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Dispatch(c.endpoints, c.method, c.path, c.method_text), c.outcome) << c.path;
  }
}

// ---- Arguments ----

// Endpoints with one parameter "v" each, named by the first segment of their path; every
// handler records what it received.
class ArgumentBinderTest : public ::testing::Test {
 protected:
  ArgumentBinderTest() {
    auto record = [this](auto v) { seen_ = h_.Json(v); };
    Declare("/int/{v}", [=](int32_t v) { record(v); });
    Declare("/str/{v}", [this](std::string v) { seen_ = v; });
    Declare("/obj/{v}", [=](BindingProperty v) { record(v); });
    Declare("/vec/{v}", [=](std::vector<int32_t> v) { record(v); });
    Declare("/bool/{v}", [=](bool v) { record(v); });
    Declare("/nobool", [=](bool v) { record(v); });
    Declare(
        "/body/{v}", [](int32_t) {}, ParameterLocation::kBody);
    Declare(
        "/item", [=](Item v) { record(v); }, ParameterLocation::kBody);
    Declare(
        "/list", [=](std::vector<int32_t> v) { record(v); }, ParameterLocation::kBody);
    Declare("/ignored", [this](std::optional<int32_t> v) { seen_ = v ? "given" : "none"; });
    for (const char* index : {"0x1", "1a", "4294967296", "99999999999999999999999", "2147483647"}) {
      Declare("/i" + std::string(index) + "/{v." + index + ".name}",
              [=](std::vector<Item> v) { record(v); });
    }
  }
  template <typename Handler>
  void Declare(const std::string& path, Handler handler,
               ParameterLocation location = ParameterLocation::kAnywhere) {
    ASSERT_TRUE(
        h_.router.DeclareNamed(Name(path), 0, path).Parameter("v", "", location).Handle(handler));
  }
  static std::string Name(const std::string& path) { return path.substr(1, path.find('/', 1) - 1); }

  // The error, or what the handler recorded.
  std::string Call(const HostRequest& request, std::string name = "") {
    seen_ = "<not called>";
    const RouterResponse response = h_.Call(name.empty() ? Name(request.path) : name, request);
    if (!response.failed) return seen_;
    EXPECT_EQ(seen_, "<not called>");
    return response.error;
  }

  RouterHarness h_;
  std::string seen_;
};

HostRequest Post(const char* path, const char* content_type, std::string_view body) {
  return {.method = KIV_METHOD_POST,
          .path = path,
          .content_type = content_type,
          .body = body.data(),
          .body_length = static_cast<uint32_t>(body.size())};
}

TEST_F(ArgumentBinderTest, PathTextsAndBodiesConvertToTheParameterKind) {
  const std::string expected_value = "Expected value for argument 'v'.";
  const std::string unsupported = "Unsupported body content type";
  const std::pair<HostRequest, std::string> cases[] = {
      {{.path = "/int/"}, expected_value},
      {{.path = "/vec/"}, "[]"},
      // A bool given without text is true; not given at all, false.
      {{.path = "/bool/"}, "true"},
      {{.path = "/nobool"}, "false"},
      // Only containers sniff their text (here JSON after a leading space).
      {{.path = "/vec/+[3,4]"}, "[3,4]"},
      // An argument's MessagePack may carry extra bytes: the first value is taken.
      {{.path = "/vec/%91%01%02"}, "[1]"},
      {{.path = "/str/[1]"}, "[1]"},
      {{.path = "/obj/%7Bbad"},
       "Couldn't deserialize JSON value for parameter 'v' of 'obj': " +
           std::string(ParseJson("{bad").error())},
      {{.path = "/obj/---+[1"},
       "Couldn't deserialize YAML value for parameter 'v' of 'obj': " +
           std::string(ParseYaml("--- [1").error())},
      {{.path = "/obj/%DC%00"},
       "Couldn't deserialize MessagePack value for parameter 'v' of 'obj': " +
           std::string(DecodeMsgpack(std::string("\xDC\x00", 2)).result.error())},
      {{.path = "/body/1"}, "Argument 'v' for 'body' was specified in an invalid location."},
      // Dotted paths create the elements and fields on the way; indexes parse with base 0.
      {{.path = "/i0x1/v"}, R"([{"count":0,"name":""},{"count":0,"name":"v"}])"},
      {{.path = "/i1a/v"}, "Index 1a is in an incorrect format"},
      {{.path = "/i4294967296/v"}, "Index 4294967296 is out of range"},
      {{.path = "/i99999999999999999999999/v"}, "Index 99999999999999999999999 is out of range"},
      // Far below 2^31 but more than any argument needs: refused the same way.
      {{.path = "/i2147483647/v"}, "Index 2147483647 is out of range"},
      // Body content types are case-insensitive prefixes.
      {Post("/item", "APPLICATION/JSON; charset=utf-8", R"({"name":"a","count":2})"),
       R"({"count":2,"name":"a"})"},
      {Post("/item", "application/vnd.api+json", R"({"name":"b"})"), R"({"count":0,"name":"b"})"},
      {Post("/item", "application/x-yaml", "["), std::string(ParseYaml("[").error())},
      {Post("/item", "text/x-yaml", "name: c"), unsupported},
      {Post("/item", nullptr, "{}"), unsupported},
      // A body holds exactly one MessagePack value.
      {Post("/list", "application/x-msgpack", "\x91\x01\x02"),
       "Extra MessgePack data found in body"},
      {Post("/list", "application/x-msgpack", "\x91\x01"), "[1]"},
      {Post("/list", "application/x-msgpack", "\xCD\x01"),
       std::string(DecodeMsgpack(std::string("\xCD\x01", 2)).result.error())},
      // A body to a function without a body parameter is not even decoded.
      {Post("/ignored", "application/json", "{broken"), "none"},
  };
  for (const auto& [request, outcome] : cases) {
    EXPECT_EQ(Call(request), outcome)
        << request.path << " "
        << std::string_view(static_cast<const char*>(request.body), request.body_length);
  }
}

TEST_F(ArgumentBinderTest, PathVariablesBindByName) {
  ASSERT_TRUE(h_.router.DeclareNamed("Doc", 0, "/o/{doc.a.b}/{doc.list.1}")
                  .Parameter("doc")
                  .Handle([this](const BindingProperty& doc) { seen_ = WriteJson(doc); }));
  EXPECT_EQ(Call({.path = "/o/x/%7B%22k%22%3A1%7D"}, "Doc"),
            R"({"a":{"b":"x"},"list":[null,{"k":1}]})");
  // Variables bind in name order, and of one name captured twice the last wins.
  ASSERT_TRUE(h_.router.DeclareNamed("Twice", 0, "/d/{b}/{a}/{b}")
                  .Parameter("a", "", ParameterLocation::kPath)
                  .Parameter("b", "", ParameterLocation::kPath)
                  .Handle([this](std::string a, std::string b) { seen_ = a + "," + b; }));
  EXPECT_EQ(Call({.path = "/d/first/2/second%21"}, "Twice"), "2,second!");
  // Both names are unknown: the first in byte order is reported, not the first captured.
  ASSERT_TRUE(h_.router.DeclareNamed("None", 0, "/e/{zz}/{Zz}/{aa}").Handle([] {}));
  EXPECT_EQ(Call({.path = "/e/1/2/3"}, "None"), "Unknown argument 'Zz' for 'None'.");
}

TEST(DecodeArgumentTextTest, ContentTypesChooseTheDecoder) {
  const struct {
    const char* content_type;
    bool sniff;
    std::string text;
    const char* json;
  } cases[] = {
      {"application/json", false, "[1]", "[1]"},
      {"text/x-yaml", false, "a: 1", "{\"a\":1}"},
      {"application/x-msgpack", false, "\x91\x05", "[5]"},
      {"text/plain", true, "[1]", "\"[1]\""},
  };
  for (const auto& c : cases) {
    BindingResult decoded = DecodeArgumentText(c.text, c.content_type, c.sniff, "p", "F");
    ASSERT_TRUE(decoded.ok()) << c.content_type << " " << c.text << ": " << decoded.error();
    EXPECT_EQ(WriteJson(decoded.value()), c.json) << c.content_type << " " << c.text;
  }
  BindingResult blob = DecodeArgumentText("AB", "application/octet-stream", false, "p", "F");
  EXPECT_EQ(blob.value().type(), BindingType::kBlob);
  EXPECT_EQ(WriteJson(blob.value()), "\"QUI=\"");
}

TEST_F(ArgumentBinderTest, NamedAndPositionalHostArguments) {
  ASSERT_TRUE(h_.router.DeclareNamed("F", 0, "/p/{a}")
                  .Parameter("a", "", ParameterLocation::kPath)
                  .Parameter("b")
                  .Parameter("c")
                  .Handle([this](int32_t a, std::string b, std::optional<Shade> c) {
                    seen_ = std::to_string(a) + "," + b + "," + (c ? h_.Json(*c) : "none");
                  }));
  // Named (or, without a name, positional) arguments in the host's form.
  auto call = [&](const std::vector<std::pair<const char*, BindingProperty>>& given) {
    std::vector<BindingAbiNamedValue> arguments(given.size());
    for (size_t i = 0; i < given.size(); ++i) {
      arguments[i].name = given[i].first;
      ToAbiValue(given[i].second, &arguments[i].value);
    }
    const std::string outcome = Call({.path = "/p/1",
                                      .arguments = arguments.data(),
                                      .argument_count = static_cast<uint32_t>(arguments.size())},
                                     "F");
    for (BindingAbiNamedValue& argument : arguments) ReleaseAbiValue(&argument.value);
    return outcome;
  };
  const BindingProperty x = testing::Str("x");
  const BindingProperty dark = testing::Str("DARK");
  EXPECT_EQ(call({{"b", x}}), "1,x,none");
  // Positional entries start after the captured path variables.
  EXPECT_EQ(call({{nullptr, x}, {nullptr, dark}}), "1,x,\"DARK\"");
  EXPECT_EQ(call({{nullptr, x}, {nullptr, dark}, {nullptr, x}}), "Unknown argument '3' for 'F'.");
  EXPECT_EQ(call({{"zzz", x}}), "Unknown argument 'zzz' for 'F'.");
  // A named argument is not held to the parameter's location, and wins over the path.
  EXPECT_EQ(call({{"a", testing::Signed(9)}, {"b", x}}), "9,x,none");
  EXPECT_EQ(call({{"b", x}, {"c", testing::Unsigned(7)}}),
            "7 is not a valid Shade enumeration value for 'c'.");
  EXPECT_EQ(call({}), "A value for 'b' is required.");
}

TEST_F(ArgumentBinderTest, HostArgumentOfUnknownTagFails) {
  BindingAbiNamedValue argument{.name = "v", .value = {.tag = 11}};
  EXPECT_EQ(Call({.path = "/obj/", .arguments = &argument, .argument_count = 1}),
            "Couldn't assign value to 'v' of type object because the input is of an "
            "incompatible type ''.");
}

TEST_F(ArgumentBinderTest, HandlersMayAskForTheRequest) {
  // "<id> <path> <method> <method text> <headers named X-Two>", and whether a time was set.
  ASSERT_TRUE(h_.router.DeclareNamed("F", KIV_METHOD_CUSTOM, "/r/{id}", "PROPFIND")
                  .Parameter("id")
                  .Handle([&](const EndpointRequest& request, std::string id) {
                    seen_ = id + " " + request.path + " " + std::to_string(request.method) + " " +
                            request.method_text + " " +
                            std::to_string(request.headers.count("X-Two")) +
                            (request.time > 0 ? "" : " no time");
                  }));
  const HostHeaderPair headers[] = {{"Accept", "a"}, {"X-Two", "1"}, {"X-Two", "2"}};
  EXPECT_EQ(Call({.method = KIV_METHOD_CUSTOM,
                  .path = "/r/7",
                  .headers = headers,
                  .header_count = 3,
                  .method_text = "PROPFIND"},
                 "F"),
            "7 /r/7 " + std::to_string(KIV_METHOD_CUSTOM) + " PROPFIND 2");
}

// ---- Responses ----

struct Unregistered {
  int32_t x = 0;
};

struct Failure {
  int32_t status;
  std::string message;
};

// Declares `handler` as an endpoint and calls it.
template <typename Handler>
RouterResponse Respond(Handler handler) {
  RouterHarness h;
  EXPECT_TRUE(h.router.DeclareNamed("F", 0, "/f").Handle(std::move(handler)));
  RouterResponse response = h.Call("F", {.path = "/f"});
  EXPECT_TRUE(response.released);
  return response;
}

TEST(ResponseWriterTest, ValuesErrorsAndTheirStatuses) {
  const std::string conflict = "A login session already exists";
  const std::pair<RouterResponse, std::string> cases[] = {
      {Respond([] { return Shade::kDark; }), "0 \"DARK\""},
      // A number the enumeration does not name stays a number.
      {Respond([] { return Shade::kUnnamed; }), "0 7"},
      {Respond([] {
         return std::vector<Shade>{Shade::kLight, Shade::kDark};
       }),
       R"(0 ["LIGHT","DARK"])"},
      {Respond([] {}), "0 "},
      {Respond([] {
         return EndpointReply<Item>(Item{"n", 1}).Status(201);
       }),
       R"(201 {"count":1,"name":"n"})"},
      {Respond([&]() -> EndpointReply<Item> { return EndpointReply<Item>::Error(409, conflict); }),
       "409 failed: " + conflict},
      {Respond([]() -> EndpointReply<void> {
         return Failure{404, "No session currently exists"};
       }),
       "404 failed: No session currently exists"},
      {Respond([] { return Unregistered{}; }),
       "400 failed: Couldn't convert native value because it's an unregistered structure."},
      {Respond([]() -> int32_t { throw std::runtime_error("boom"); }), "500 failed: boom"},
  };
  for (const auto& [response, outcome] : cases) {
    EXPECT_EQ(response.Outcome(), outcome);
    EXPECT_EQ(response.status_text, "");
  }
  // A failure also carries its message as the body.
  EXPECT_EQ(cases[5].first.body, R"({"error":"A login session already exists"})");
}

TEST(ResponseWriterTest, StatusTextFlagsAndHeaders) {
  RouterResponse response = Respond([]() -> EndpointReply<std::string> {
    return EndpointReply<std::string>("x")
        .Status(202)
        .StatusText("Accepted")
        .Header("X-B", "2")
        .Header("X-A", "1")
        .Flags(1, 3);
  });
  EXPECT_EQ(response.Outcome(), "202 \"x\"");
  EXPECT_EQ(response.status_text, "Accepted");
  EXPECT_EQ(response.response_flag, 1);
  EXPECT_EQ(response.response_code, 3u);
  EXPECT_EQ(response.headers, (std::map<std::string, std::string>{{"X-A", "1"}, {"X-B", "2"}}));
  // Response codes other than 1 to 3 go out as 0.
  EXPECT_EQ(Respond([] { return EndpointReply<void>().Flags(0, 4); }).response_code, 0u);
  EXPECT_EQ(Respond([] { return EndpointReply<void>().Flags(0, 1); }).response_code, 1u);
}

// Gives "ab", then "c"; records its close and its deletion.
class ChunkStream : public ResponseBodyStream {
 public:
  ChunkStream(bool* closed, bool* deleted) : closed_(closed), deleted_(deleted) {}
  ~ChunkStream() override { *deleted_ = true; }
  bool Read(char* buffer, uint32_t* size, bool* more) override {
    if (next_ == 2) return false;
    const std::string chunk = next_++ == 0 ? "ab" : "c";
    *size = std::min<uint32_t>(*size, static_cast<uint32_t>(chunk.size()));
    std::memcpy(buffer, chunk.data(), *size);
    *more = next_ < 2;
    return true;
  }
  void Close() override { *closed_ = true; }
  uint32_t SizeHint() const override { return 42; }

 private:
  int next_ = 0;
  bool* closed_;
  bool* deleted_;
};

TEST(WriteCallResultTest, BodyStreamsBelongToTheResponse) {
  bool closed = false;
  bool deleted = false;
  CallResult call;
  call.body_stream = std::make_unique<ChunkStream>(&closed, &deleted);
  HostResponse response{};
  WriteCallResult(call, &response, nullptr);
  EXPECT_EQ(call.body_stream, nullptr);
  ASSERT_NE(response.stream_read, nullptr);
  ASSERT_NE(response.stream_close, nullptr);
  EXPECT_EQ(response.stream_size_hint, 42u);
  std::string text;
  for (bool more = true; more;) {
    char buffer[8];
    uint32_t size = sizeof(buffer);
    ASSERT_TRUE(response.stream_read(response.stream_context, buffer, &size, &more));
    text.append(buffer, size);
  }
  EXPECT_EQ(text, "abc");
  response.stream_close(response.stream_context);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(deleted);
  response.release(&response);
  EXPECT_TRUE(deleted);
  EXPECT_EQ(response.stream_context, nullptr);
}

}  // namespace
}  // namespace Voro
