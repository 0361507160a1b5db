// Argument binding through the router: path variables (whole and dotted), the host's named
// and positional arguments, bodies, the text rules, and the messages of every failure.
#include "binding/argument_binder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/endpoint_router.h"
#include "binding/json_reader.h"
#include "binding/json_writer.h"
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

class ArgumentBinderTest : public ::testing::Test {
 protected:
  ArgumentBinderTest() {
    h_.registry.Record<Item>({"Test"}, "Item")
        .Field("name", &Item::name)
        .Field("count", &Item::count);
    h_.registry.Enum<Shade>({"Test"}, "Shade")
        .Value("LIGHT", Shade::kLight)
        .Value("DARK", Shade::kDark);
  }

  template <typename T>
  std::string Json(const T& value) {
    BindingResult converted = ToBinding(value, h_.registry);
    return converted.ok() ? WriteJson(converted.value(), &h_.registry) : "<error>";
  }

  // F: one parameter of type T named `parameter`, at `location`, under `path`; the
  // handler records the JSON of what it received.
  template <typename T>
  void DeclareOne(const std::string& path, const std::string& parameter,
                  ParameterLocation location = ParameterLocation::kAnywhere) {
    ASSERT_TRUE(h_.router.DeclareNamed("F", 0, path)
                    .Parameter(parameter, "", location)
                    .Handle([this](const T& value) { seen_ = Json(value); }));
  }

  // Calls F; returns the error, or "" and leaves the handler's view in seen_.
  std::string Call(RouterRequest request) {
    seen_ = "<not called>";
    RouterResponse response = h_.Call("F", request);
    if (response.failed) {
      EXPECT_EQ(seen_, "<not called>");
      return response.error;
    }
    return "";
  }
  std::string Get(const std::string& path) {
    RouterRequest request;
    request.path = path;
    return Call(request);
  }
  std::string Post(const std::optional<std::string>& content_type, const std::string& body,
                   const std::string& path = "/f") {
    RouterRequest request;
    request.method = KIV_METHOD_POST;
    request.path = path;
    request.content_type = content_type;
    request.body = body;
    return Call(request);
  }

  RouterHarness h_;
  std::string seen_;
};

// ---- Path variables ----

TEST_F(ArgumentBinderTest, IndexPathsCreateElementsAndFields) {
  DeclareOne<std::vector<Item>>("/items/{items.2.name}", "items");
  EXPECT_EQ(Get("/items/x"), "");
  EXPECT_EQ(seen_, R"([{"count":0,"name":""},{"count":0,"name":""},{"count":0,"name":"x"}])");
}

TEST_F(ArgumentBinderTest, IndexSegmentsParseWithBaseZero) {
  struct Case {
    const char* segment;
    const char* error;
    const char* seen;
  };
  const Case cases[] = {
      {"0x1", "", R"([{"count":0,"name":""},{"count":0,"name":"v"}])"},
      {"01", "", R"([{"count":0,"name":""},{"count":0,"name":"v"}])"},
      {"0", "", R"([{"count":0,"name":"v"}])"},
      {"1a", "Index 1a is in an incorrect format", nullptr},
      {"0x", "Index 0x is in an incorrect format", nullptr},
      {"4294967296", "Index 4294967296 is out of range", nullptr},
      {"2147483648", "Index 2147483648 is out of range", nullptr},
      {"99999999999999999999999", "Index 99999999999999999999999 is out of range", nullptr},
      // Far below 2^31 but more than any argument needs: refused the same way.
      {"2147483647", "Index 2147483647 is out of range", nullptr},
  };
  for (const Case& c : cases) {
    RouterHarness fresh;
    fresh.registry.Record<Item>({"Test"}, "Item")
        .Field("name", &Item::name)
        .Field("count", &Item::count);
    std::string template_text = std::string("/i/{items.") + c.segment + ".name}";
    std::string seen;
    ASSERT_TRUE(fresh.router.DeclareNamed("F", 0, template_text)
                    .Parameter("items")
                    .Handle([&](std::vector<Item> items) {
                      seen = WriteJson(ToBinding(items, fresh.registry).value());
                    }));
    RouterResponse response = fresh.Get("F", "/i/v");
    EXPECT_EQ(response.error, c.error) << c.segment;
    if (c.seen != nullptr) {
      EXPECT_EQ(seen, c.seen) << c.segment;
    }
  }
}

TEST_F(ArgumentBinderTest, NestedFieldPathsAndSniffedLeaves) {
  ASSERT_TRUE(h_.router.DeclareNamed("F", 0, "/o/{doc.a.b}/{doc.list.1}")
                  .Parameter("doc")
                  .Handle([this](const BindingProperty& doc) { seen_ = WriteJson(doc); }));
  EXPECT_EQ(Get("/o/x/%7B%22k%22%3A1%7D"), "");
  EXPECT_EQ(seen_, R"({"a":{"b":"x"},"list":[null,{"k":1}]})");
}

TEST_F(ArgumentBinderTest, UnknownArgumentsAndInvalidLocations) {
  ASSERT_TRUE(h_.router.DeclareNamed("F", 0, "/u/{nope.x}/{a}")
                  .Parameter("a", "", ParameterLocation::kPath)
                  .Handle([](int32_t) {}));
  EXPECT_EQ(Get("/u/1/2"), "Unknown argument 'nope' for 'F'.");

  RouterHarness other;
  ASSERT_TRUE(other.router.DeclareNamed("G", 0, "/l/{x}")
                  .Parameter("x", "", ParameterLocation::kBody)
                  .Handle([](int32_t) {}));
  EXPECT_EQ(other.Get("G", "/l/1").error,
            "Argument 'x' for 'G' was specified in an invalid location.");
}

TEST_F(ArgumentBinderTest, PathVariablesBindInNameOrderAndTheLastCaptureWins) {
  ASSERT_TRUE(h_.router.DeclareNamed("F", 0, "/d/{b}/{a}/{b}")
                  .Parameter("a", "", ParameterLocation::kPath)
                  .Parameter("b", "", ParameterLocation::kPath)
                  .Handle([this](std::string a, std::string b) { seen_ = a + "," + b; }));
  EXPECT_EQ(Get("/d/first/2/second%21"), "");
  EXPECT_EQ(seen_, "2,second!");

  // Both names are unknown: the first in byte order is reported, not the first captured.
  RouterHarness other;
  ASSERT_TRUE(other.router.DeclareNamed("G", 0, "/e/{zz}/{Zz}/{aa}").Handle([] {}));
  EXPECT_EQ(other.Get("G", "/e/1/2/3").error, "Unknown argument 'Zz' for 'G'.");
}

TEST_F(ArgumentBinderTest, EmptyTextsByKind) {
  RouterHarness k;
  std::string seen;
  ASSERT_TRUE(k.router.DeclareNamed("Int", 0, "/int/{v}").Parameter("v").Handle([&](int32_t v) {
    seen = std::to_string(v);
  }));
  ASSERT_TRUE(k.router.DeclareNamed("Str", 0, "/str/{v}").Parameter("v").Handle([&](std::string v) {
    seen = v;
  }));
  ASSERT_TRUE(
      k.router.DeclareNamed("Obj", 0, "/obj/{v}").Parameter("v").Handle([&](BindingProperty v) {
        seen = WriteJson(v);
      }));
  ASSERT_TRUE(k.router.DeclareNamed("Vec", 0, "/vec/{v}")
                  .Parameter("v")
                  .Handle([&](std::vector<int32_t> v) { seen = std::to_string(v.size()); }));
  ASSERT_TRUE(k.router.DeclareNamed("OptInt", 0, "/oint/{v}")
                  .Parameter("v")
                  .Handle([&](std::optional<int32_t>) {}));
  EXPECT_EQ(k.Get("Int", "/int/").error, "Expected value for argument 'v'.");
  EXPECT_EQ(k.Get("Str", "/str/").error, "Expected value for argument 'v'.");
  EXPECT_EQ(k.Get("OptInt", "/oint/").error, "Expected value for argument 'v'.");
  seen.clear();
  EXPECT_FALSE(k.Get("Obj", "/obj/").failed);
  EXPECT_EQ(seen, "{}");
  EXPECT_FALSE(k.Get("Vec", "/vec/").failed);
  EXPECT_EQ(seen, "0");
}

TEST_F(ArgumentBinderTest, BoolParametersGivenAndNotGiven) {
  ASSERT_TRUE(h_.router.DeclareNamed("F", 0, "/b/{on}").Parameter("on").Handle([this](bool on) {
    seen_ = on ? "true" : "false";
  }));
  ASSERT_TRUE(h_.router.DeclareNamed("NotGiven", 0, "/b").Parameter("on").Handle([this](bool on) {
    seen_ = on ? "true" : "false";
  }));
  EXPECT_EQ(Get("/b/"), "");
  EXPECT_EQ(seen_, "true");
  EXPECT_EQ(Get("/b/false"), "");
  EXPECT_EQ(seen_, "false");
  EXPECT_EQ(Get("/b/1"), "");
  EXPECT_EQ(seen_, "true");
  EXPECT_EQ(Get("/b/TRUE"),
            "Value TRUE for 'on' of type bool is in an incorrect format. Options are \"true\", "
            "\"false\", \"1\", \"0\".");
  seen_.clear();
  EXPECT_FALSE(h_.Get("NotGiven", "/b").failed);
  EXPECT_EQ(seen_, "false");
}

TEST_F(ArgumentBinderTest, TextRulesSniffOnlyForContainers) {
  DeclareOne<std::vector<int32_t>>("/v/{v}", "v");
  EXPECT_EQ(Get("/v/+[3,4]"), "");  // JSON after a leading space
  EXPECT_EQ(seen_, "[3,4]");
  EXPECT_EQ(Get("/v/---+[1,+2]"), "");  // YAML
  EXPECT_EQ(seen_, "[1,2]");
  EXPECT_EQ(Get("/v/%92%01%02"), "");  // MessagePack
  EXPECT_EQ(seen_, "[1,2]");
  EXPECT_EQ(Get("/v/7"),
            "Couldn't assign value to 'v' of type vector because the input not a collection.");

  RouterHarness s;
  std::string text;
  ASSERT_TRUE(s.router.DeclareNamed("S", 0, "/s/{s}").Parameter("s").Handle([&](std::string v) {
    text = v;
  }));
  for (const char* raw : {"[1]", "{x}", "---", "\x92\x01\x02"}) {
    text.clear();
    EXPECT_FALSE(s.Get("S", std::string("/s/") + raw).failed) << raw;
    EXPECT_EQ(text, raw);
  }
}

TEST_F(ArgumentBinderTest, MessagePackArgumentMayCarryExtraBytes) {
  DeclareOne<std::vector<int32_t>>("/m/{v}", "v");
  // The same bytes as a body fail (below); as an argument the first value is taken.
  EXPECT_EQ(Get("/m/%91%01%02"), "");
  EXPECT_EQ(seen_, "[1]");
}

TEST_F(ArgumentBinderTest, ArgumentDecodeFailuresNameParameterAndFunction) {
  DeclareOne<BindingProperty>("/o/{obj}", "obj");
  EXPECT_EQ(Get("/o/%7Bbad"), "Couldn't deserialize JSON value for parameter 'obj' of 'F': " +
                                  std::string(ParseJson("{bad").error()));
  EXPECT_EQ(Get("/o/---+[1"), "Couldn't deserialize YAML value for parameter 'obj' of 'F': " +
                                  std::string(ParseYaml("--- [1").error()));
  std::string truncated("\xDC\x00", 2);
  EXPECT_EQ(Get("/o/%DC%00"),
            "Couldn't deserialize MessagePack value for parameter 'obj' of 'F': " +
                std::string(DecodeMsgpack(truncated).result.error()));
}

TEST(DecodeArgumentTextTest, ContentTypesChooseTheDecoder) {
  struct Case {
    const char* content_type;
    bool sniff;
    std::string text;
    const char* json;
  };
  const Case cases[] = {
      {"application/json", false, "[1]", "[1]"},
      {"Application/JSON; charset=utf-8", false, "{\"a\":true}", "{\"a\":true}"},
      {"text/x-yaml", false, "a: 1", "{\"a\":1}"},
      {"application/x-msgpack", false, "\x91\x05", "[5]"},
      {"application/x-msgpack-ext", false, std::string("\x05", 1), "5"},
      {"application/octet-stream", false, "AB", "\"QUI=\""},
      {"text/plain", true, "[1]", "\"[1]\""},
      {"", false, "[1]", "\"[1]\""},
      {"", true, "  {\"a\":1}", "{\"a\":1}"},
      {"", true, "--- 5", "5"},
      {"", true, "\x91\x05", "[5]"},
      {"", true, "plain", "\"plain\""},
  };
  for (const Case& c : cases) {
    BindingResult decoded = DecodeArgumentText(c.text, c.content_type, c.sniff, "p", "F");
    ASSERT_TRUE(decoded.ok()) << c.content_type << " " << c.text << ": " << decoded.error();
    EXPECT_EQ(WriteJson(decoded.value()), c.json) << c.content_type << " " << c.text;
  }
  BindingResult blob = DecodeArgumentText("AB", "application/octet-stream", false, "p", "F");
  EXPECT_EQ(blob.value().type(), BindingType::kBlob);
}

// ---- Bodies ----

TEST_F(ArgumentBinderTest, MessagePackBodyWithAnExtraByteFails) {
  DeclareOne<std::vector<int32_t>>("/f", "v", ParameterLocation::kBody);
  EXPECT_EQ(Post("application/x-msgpack", "\x91\x01\x02"), "Extra MessgePack data found in body");
  EXPECT_EQ(Post("application/x-msgpack", "\x91\x01"), "");
  EXPECT_EQ(seen_, "[1]");
  EXPECT_EQ(Post("Application/X-MsgPack-Ext", "\x91\x07"), "");
  EXPECT_EQ(seen_, "[7]");
  std::string bad("\xCD\x01", 2);
  EXPECT_EQ(Post("application/x-msgpack", bad), DecodeMsgpack(bad).result.error());
}

TEST_F(ArgumentBinderTest, BodyContentTypesAreCaseInsensitivePrefixes) {
  DeclareOne<Item>("/f", "item", ParameterLocation::kBody);
  struct Case {
    std::optional<std::string> content_type;
    std::string body;
    std::string error;
    std::string seen;
  };
  const Case cases[] = {
      {"APPLICATION/JSON; charset=utf-8", R"({"name":"a","count":2})", "",
       R"({"count":2,"name":"a"})"},
      {"application/vnd.api+json", R"({"name":"b"})", "", R"({"count":0,"name":"b"})"},
      {"application/x-yaml", "name: c\ncount: 3\n", "", R"({"count":3,"name":"c"})"},
      {"application/json", R"({"name":)", std::string(ParseJson(R"({"name":)").error()), ""},
      {"application/x-yaml", "[", std::string(ParseYaml("[").error()), ""},
      {"text/x-yaml", "name: c", "Unsupported body content type", ""},
      {"text/plain", "x", "Unsupported body content type", ""},
      {std::nullopt, "{}", "Unsupported body content type", ""},
      {"application/json", R"({"count":"x"})",
       "Value x for 'count' of type int32 is in an incorrect format", ""},
      {"application/json", "[]",
       "Couldn't assign value to 'item' of type Item because the input not a structure.", ""},
      {"application/json", "null", "A value for 'item' is required.", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Post(c.content_type, c.body), c.error) << c.body;
    if (c.error.empty()) {
      EXPECT_EQ(seen_, c.seen) << c.body;
    }
  }
  // No body at all: the record is required.
  EXPECT_EQ(Get("/f"), "A value for 'item' is required.");
}

TEST_F(ArgumentBinderTest, BodyToAFunctionWithoutABodyParameterIsIgnored) {
  ASSERT_TRUE(
      h_.router.DeclareNamed("F", 0, "/f").Parameter("n").Handle([this](std::optional<int32_t> n) {
        seen_ = n ? std::to_string(*n) : "none";
      }));
  EXPECT_EQ(Post("text/plain", "\xC1 not decoded"), "");
  EXPECT_EQ(seen_, "none");
  EXPECT_EQ(Post("application/json", "{broken"), "");
}

// ---- The host's arguments ----

TEST_F(ArgumentBinderTest, NamedAndPositionalHostArguments) {
  ASSERT_TRUE(h_.router.DeclareNamed("F", 0, "/p/{a}")
                  .Parameter("a", "", ParameterLocation::kPath)
                  .Parameter("b")
                  .Parameter("c")
                  .Handle([this](int32_t a, std::string b, std::optional<Shade> c) {
                    seen_ = std::to_string(a) + "," + b + "," + (c ? Json(*c) : "none");
                  }));
  auto call = [&](std::vector<std::pair<std::optional<std::string>, BindingProperty>> arguments) {
    RouterRequest request;
    request.path = "/p/1";
    request.arguments = std::move(arguments);
    return Call(request);
  };
  BindingProperty text;
  text.SetString("x");
  BindingProperty dark;
  dark.SetString("DARK");
  BindingProperty nine;
  nine.SetSigned(9);
  BindingProperty seven;
  seven.SetUnsigned(7);

  EXPECT_EQ(call({{"b", text}}), "");
  EXPECT_EQ(seen_, "1,x,none");
  // Positional entries start after the captured path variables.
  EXPECT_EQ(call({{std::nullopt, text}, {std::nullopt, dark}}), "");
  EXPECT_EQ(seen_, "1,x,\"DARK\"");
  EXPECT_EQ(call({{std::nullopt, text}, {std::nullopt, dark}, {std::nullopt, text}}),
            "Unknown argument '3' for 'F'.");
  EXPECT_EQ(call({{"zzz", text}}), "Unknown argument 'zzz' for 'F'.");
  // A named argument is not held to the parameter's location, and wins over the path.
  EXPECT_EQ(call({{"a", nine}, {"b", text}}), "");
  EXPECT_EQ(seen_, "9,x,none");
  EXPECT_EQ(call({{"b", text}, {"c", seven}}), "7 is not a valid Shade enumeration value for 'c'.");
  EXPECT_EQ(call({}), "A value for 'b' is required.");
}

TEST_F(ArgumentBinderTest, HostArgumentOfUnknownTagFails) {
  DeclareOne<BindingProperty>("/f", "v");
  HostRequest host{};
  host.method = KIV_METHOD_GET;
  host.path = "/f";
  BindingAbiNamedValue argument{};
  argument.name = "v";
  argument.value.tag = 11;
  host.arguments = &argument;
  host.argument_count = 1;
  host.context = &h_.Function("F").context;
  HostResponse response{};
  EndpointRouter::RequestCallback(&response, &host);
  ASSERT_EQ(response.failed, 1u);
  EXPECT_STREQ(response.error_text,
               "Couldn't assign value to 'v' of type object because the input is of an "
               "incompatible type ''.");
  response.release(&response);
}

TEST_F(ArgumentBinderTest, PathTextsConvertToTheParameterKind) {
  ASSERT_TRUE(h_.router.DeclareNamed("F", 0, "/c/{n}/{shade}")
                  .Parameter("n")
                  .Parameter("shade")
                  .Handle([this](int8_t n, Shade shade) {
                    seen_ = std::to_string(n) + "," + Json(shade);
                  }));
  EXPECT_EQ(Get("/c/0x7f/DARK"), "");
  EXPECT_EQ(seen_, "127,\"DARK\"");
  EXPECT_EQ(Get("/c/1/1"), "");
  EXPECT_EQ(seen_, "1,\"LIGHT\"");
  EXPECT_EQ(Get("/c/128/1"), "Value 128 for 'n' of type int8 is out of range");
  EXPECT_EQ(Get("/c/12abc/1"), "Value 12abc for 'n' of type int8 is in an incorrect format");
  EXPECT_EQ(Get("/c/1/7"), "7 is not a valid Shade enumeration value for 'shade'.");
}

// ---- The request description ----

TEST_F(ArgumentBinderTest, HandlersMayAskForTheRequest) {
  EndpointRequest seen;
  ASSERT_TRUE(h_.router.DeclareNamed("F", KIV_METHOD_CUSTOM, "/r/{id}", "PROPFIND")
                  .Parameter("id")
                  .Handle([&](const EndpointRequest& request, std::string id) {
                    seen = request;
                    seen_ = id;
                  }));
  EXPECT_NE(h_.Function("F").invoker->RequestType(), 0u);
  RouterRequest request;
  request.method = KIV_METHOD_CUSTOM;
  request.method_text = "PROPFIND";
  request.path = "/r/7";
  request.headers = {{"Accept", "a"}, {"X-Two", "1"}, {"X-Two", "2"}};
  EXPECT_EQ(Call(request), "");
  EXPECT_EQ(seen_, "7");
  EXPECT_EQ(seen.function_name, "F");
  EXPECT_EQ(seen.path, "/r/7");
  EXPECT_EQ(seen.method, static_cast<uint32_t>(KIV_METHOD_CUSTOM));
  EXPECT_EQ(seen.method_text, "PROPFIND");
  EXPECT_GT(seen.time, 0);
  EXPECT_EQ(seen.headers.size(), 3u);
  EXPECT_EQ(seen.headers.count("X-Two"), 2u);
}

}  // namespace
}  // namespace Voro
