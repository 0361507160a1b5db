// Requests to the host: parameter flattening, the failure table, streamed bodies and the
// release of every response exactly once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "binding/binding_abi.h"
#include "binding/record_builder.h"
#include "support/fake_host.h"
#include "support/initialized_module.h"

namespace Voro {
namespace {

using testing::FakeHost;
using testing::InitializedModule;

enum class Shade : int32_t { kDark = 0, kLight = 1 };

struct Query {
  std::string name;
  int64_t count = 0;
  Shade shade = Shade::kDark;
};

struct Answer {
  std::string text;
  uint64_t number = 0;
};

struct Unregistered {
  int64_t x = 0;
};

void RegisterTestTypes(TypeRegistry& registry) {
  registry.Enum<Shade>({"T"}, "Shade").Value("DARK", Shade::kDark).Value("LIGHT", Shade::kLight);
  registry.Record<Query>({"T"}, "Query")
      .Field("name", &Query::name)
      .Field("count", &Query::count)
      .Field("shade", &Query::shade);
  registry.Record<Answer>({"T"}, "Answer")
      .Field("text", &Answer::text)
      .Field("number", &Answer::number);
}

// The answering side of one request: what the fake host fills in, and how often the
// plugin handed the response back.
struct Responder {
  int releases = 0;
  int closes = 0;
  std::vector<uint32_t> chunk_sizes;  // streamed: what each read delivers
  bool fail_read_at_end = false;
  std::string streamed;
  size_t offset = 0;
  size_t read_index = 0;

  static Responder* current;

  static void Release(HostResponse* response) {
    ++current->releases;
    ReleaseAbiValue(&response->body);
    std::free(response->error_text);
    response->error_text = nullptr;
  }
  static bool Read(void* context, char* buffer, uint32_t* size, bool* more) {
    auto* self = static_cast<Responder*>(context);
    if (self->read_index >= self->chunk_sizes.size()) {
      if (self->fail_read_at_end) return false;
      *size = 0;
      *more = false;
      return true;
    }
    uint32_t n = std::min<uint32_t>(self->chunk_sizes[self->read_index++], *size);
    n = static_cast<uint32_t>(std::min<size_t>(n, self->streamed.size() - self->offset));
    std::memcpy(buffer, self->streamed.data() + self->offset, n);
    self->offset += n;
    *size = n;
    *more = self->read_index < self->chunk_sizes.size() || self->fail_read_at_end;
    return true;
  }
  static void Close(void* context) { ++static_cast<Responder*>(context)->closes; }

  void Fail(HostResponse* response, int32_t status, const char* text) {
    response->error_text = strdup(text);
    response->failed = 1;
    response->status_code = status;
    response->release = &Release;
  }
  void Answer(HostResponse* response, const BindingProperty& body) {
    ToAbiValue(body, &response->body);
    response->release = &Release;
  }
  void Stream(HostResponse* response, std::string text, std::vector<uint32_t> chunks) {
    streamed = std::move(text);
    chunk_sizes = std::move(chunks);
    response->stream_read = &Read;
    response->stream_close = &Close;
    response->stream_context = this;
    response->stream_size_hint = static_cast<uint32_t>(streamed.size());
    response->release = &Release;
  }
};
Responder* Responder::current = nullptr;

class HostRequestsTest : public ::testing::Test {
 protected:
  HostRequestsTest() : module_(&host_) {
    Responder::current = &responder_;
    RegisterTestTypes(module_->registry());
    host_.calls.clear();
  }

  FakeHost host_;
  InitializedModule module_;
  Responder responder_;
};

TEST_F(HostRequestsTest, ParametersBecomeNamedArgumentsInKeyOrder) {
  std::vector<std::string> seen;
  host_.on_request = [&](HostResponse* response, const HostRequest* request) {
    EXPECT_EQ(request->method, uint32_t{KIV_METHOD_PUT});
    EXPECT_STREQ(request->path, "/data-store/v1/x?y=1");
    EXPECT_EQ(request->plugin_handle, host_.services()->plugin_handle);
    EXPECT_EQ(request->body, nullptr);
    for (uint32_t i = 0; i < request->argument_count; ++i) {
      const BindingAbiNamedValue& argument = request->arguments[i];
      BindingResult value = FromAbiValue(argument.value, argument.name);
      seen.push_back(std::string(argument.name) + "=" +
                     (value.value().type() == BindingType::kString
                          ? std::string(value.value().GetString())
                          : std::to_string(value.value().GetSigned())));
    }
    responder_.Answer(response, BindingProperty());
  };
  RequestResult<void> result =
      module_->Request(KIV_METHOD_PUT, "/data-store/v1/x?y=1", Query{"alice", 3, Shade::kLight});
  ASSERT_TRUE(result.ok());
  // Enumerations go to the host by name.
  EXPECT_EQ(seen, (std::vector<std::string>{"count=3", "name=alice", "shade=LIGHT"}));
  EXPECT_EQ(responder_.releases, 1);
}

TEST_F(HostRequestsTest, ParametersThatDoNotConvertNeverReachTheHost) {
  RequestResult<Answer> result = module_->Request<Answer>(KIV_METHOD_GET, "/p", Unregistered{});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.failure().status, 400);
  EXPECT_EQ(result.failure().message.rfind("Request not sent: Error converting parameters for GET "
                                           "/p: ",
                                           0),
            0u)
      << result.failure().message;
  EXPECT_EQ(host_.Count("SendRequest"), 0);
}

TEST_F(HostRequestsTest, HostErrorsCarryTheirStatusAndAreReleasedOnce) {
  host_.on_request = [&](HostResponse* response, const HostRequest*) {
    responder_.Fail(response, 404, "kivhost has no endpoint GET /p");
  };
  RequestResult<Answer> typed = module_->Request<Answer>(KIV_METHOD_GET, "/p");
  ASSERT_FALSE(typed.ok());
  EXPECT_EQ(typed.failure().status, 404);
  EXPECT_EQ(typed.failure().message, "Error response for GET /p: kivhost has no endpoint GET /p");
  RequestResult<void> plain = module_->Request(KIV_METHOD_DELETE, "/p");
  ASSERT_FALSE(plain.ok());
  EXPECT_EQ(plain.failure().message,
            "Error response for DELETE /p: kivhost has no endpoint GET /p");
  EXPECT_EQ(responder_.releases, 2);
}

TEST_F(HostRequestsTest, BodiesConvertToTheResultType) {
  host_.on_request = [&](HostResponse* response, const HostRequest*) {
    BindingProperty body;
    body["text"] = "hello";
    body["number"] = uint64_t{42};
    responder_.Answer(response, body);
  };
  RequestResult<Answer> typed = module_->Request<Answer>(KIV_METHOD_GET, "/p");
  ASSERT_TRUE(typed.ok()) << typed.failure().message;
  EXPECT_EQ(typed.value().text, "hello");
  EXPECT_EQ(typed.value().number, 42u);
  RequestResult<BindingProperty> dynamic = module_->Request<BindingProperty>(KIV_METHOD_GET, "/p");
  ASSERT_TRUE(dynamic.ok());
  EXPECT_EQ(dynamic.value()["text"].GetString(), "hello");
  EXPECT_EQ(responder_.releases, 2);
}

TEST_F(HostRequestsTest, AnEmptyBodyDoesNotConvertToARecord) {
  host_.on_request = [&](HostResponse* response, const HostRequest*) {
    responder_.Answer(response, BindingProperty());
  };
  RequestResult<Answer> typed = module_->Request<Answer>(KIV_METHOD_GET, "/p");
  ASSERT_FALSE(typed.ok());
  EXPECT_EQ(typed.failure().status, 0);
  EXPECT_EQ(typed.failure().message.rfind("Error converting response for GET /p: ", 0), 0u)
      << typed.failure().message;
  EXPECT_NE(typed.failure().message.find("<result>"), std::string::npos);
  EXPECT_EQ(responder_.releases, 1);
}

struct StreamCase {
  const char* name;
  std::vector<uint32_t> chunks;
  int yields;
};

TEST_F(HostRequestsTest, StreamedBodiesYieldOnlyAfterShortChunks) {
  // 8192 bytes of JSON: {"number":7,"text":"xxx..."}
  std::string json = R"({"number":7,"text":")";
  json += std::string(8192 - json.size() - 2, 'x');
  json += "\"}";
  ASSERT_EQ(json.size(), 8192u);
  const StreamCase cases[] = {
      {"whole chunks", {4096, 4096}, 0},
      {"one short chunk", {4096, 100, 3996}, 1},
      {"short chunks", {1000, 1000, 1000, 1000, 4096, 96}, 4},
  };
  for (const StreamCase& c : cases) {
    SCOPED_TRACE(c.name);
    Responder responder;
    Responder::current = &responder;
    host_.calls.clear();
    host_.on_request = [&](HostResponse* response, const HostRequest*) {
      responder.Stream(response, json, c.chunks);
    };
    RequestResult<Answer> typed = module_->Request<Answer>(KIV_METHOD_GET, "/stream");
    ASSERT_TRUE(typed.ok()) << typed.failure().message;
    EXPECT_EQ(typed.value().number, 7u);
    EXPECT_EQ(typed.value().text.size(), 8192u - 22u);
    EXPECT_EQ(host_.Count("Pump"), c.yields);
    EXPECT_EQ(host_.Count("BeginWait"), c.yields);
    EXPECT_EQ(responder.closes, 1);
    EXPECT_EQ(responder.releases, 1);
  }
}

TEST_F(HostRequestsTest, StreamFailuresNameTheRequest) {
  struct Case {
    const char* name;
    std::string text;
    bool fail_read;
    std::string message;
  };
  const Case cases[] = {
      {"read error", "{\"a\":", true,
       "Error reading streamed response for GET /stream: Stream read error"},
      {"bad json", "{\"a\":", false,
       "Error reading streamed response for GET /stream: Error: Invalid value. at offset 5."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Responder responder;
    Responder::current = &responder;
    responder.fail_read_at_end = c.fail_read;
    host_.on_request = [&](HostResponse* response, const HostRequest*) {
      responder.Stream(response, c.text, {static_cast<uint32_t>(c.text.size())});
    };
    RequestResult<Answer> typed = module_->Request<Answer>(KIV_METHOD_GET, "/stream");
    ASSERT_FALSE(typed.ok());
    EXPECT_EQ(typed.failure().status, 0);
    EXPECT_EQ(typed.failure().message, c.message);
    EXPECT_EQ(responder.closes, 1);
    EXPECT_EQ(responder.releases, 1);
  }
}

TEST_F(HostRequestsTest, AwaitLabelsTheWaitWithTheRegisteredTypeName) {
  std::promise<Answer> promise;
  std::future<Answer> future = promise.get_future();
  host_.on_pump = [&] { promise.set_value(Answer{"done", 1}); };
  EXPECT_EQ(module_->Await(future).text, "done");
  std::promise<int> other;
  std::future<int> unregistered = other.get_future();
  host_.on_pump = [&] { other.set_value(5); };
  EXPECT_EQ(module_->Await(unregistered), 5);
  std::vector<std::string> labels;
  for (const FakeHost::Call& call : host_.calls) {
    if (call.slot == "BeginWait") labels.push_back(call.text);
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"Wait: future<Answer>", "Wait: future<int>"}));
}

}  // namespace
}  // namespace Voro
