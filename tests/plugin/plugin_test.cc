// The plugin's side of the host: the runtime's entry points, subscriptions and events,
// requests to the host and external requests (each response released exactly once), and
// the scheduler behind waits and timers.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "binding/types/record_builder.h"
#include "binding/value/binding_abi.h"
#include "diag/clock.h"
#include "diag/log.h"
#include "login/login_module.h"
#include "plugin/endpoint_errors.h"
#include "plugin/http_base_transport.h"
#include "plugin/module_scheduler.h"
#include "plugin/plugin_runtime.h"
#include "plugin/telemetry_sender.h"
#include "support/fake_host.h"
#include "support/initialized_module.h"
#include "support/manual_clock.h"

namespace Voro {
namespace {

using namespace std::string_literals;
using testing::FakeHost;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using Texts = std::vector<std::string>;

// ---- The module ----

enum class Mood : int32_t { kCalm = 0, kAngry = 3 };

struct Session {
  Mood state = Mood::kCalm;
  std::string username;
  std::optional<uint64_t> playerId;
  std::vector<std::string> scopes;
};

struct Unregistered {
  int64_t x = 0;
};

// A module whose registry knows the session and its enumeration.
class SessionModule : public AppModule {
 public:
  void RegisterApi() override {
    AppModule::RegisterApi();
    registry().Enum<Mood>({"T"}, "Mood").Value("CALM", Mood::kCalm).Value("ANGRY", Mood::kAngry);
    registry()
        .Record<Session>({"T"}, "Session")
        .Field("state", &Session::state)
        .Field("username", &Session::username)
        .Field("playerId", &Session::playerId)
        .Field("scopes", &Session::scopes);
  }
};

// ---- The fake host's answers ----

// Reads `text` in the given chunk sizes, failing after the last one when asked to.
struct Stream {
  std::string text;
  std::vector<uint32_t> chunks;
  bool fail_at_end = false;
  size_t offset = 0;
  size_t index = 0;
  int closes = 0;

  static bool Read(void* context, char* buffer, uint32_t* size, bool* more) {
    auto* self = static_cast<Stream*>(context);
    if (self->index == self->chunks.size()) {
      *size = 0;
      return !self->fail_at_end;
    }
    *size = std::min<uint32_t>(self->chunks[self->index++], *size);
    std::memcpy(buffer, self->text.data() + self->offset, *size);
    self->offset += *size;
    *more = self->index < self->chunks.size() || self->fail_at_end;
    return true;
  }
};

// An external answer. A non-zero count or length is claimed whatever is there, as a faulty
// host might.
struct Answer {
  int32_t code = 0;
  int32_t status = 200;
  std::vector<HostHeaderPair> headers;
  bool null_headers = false;
  uint32_t header_count = 0;
  const char* body = "";
  uint32_t body_length = 0;
};

std::string BodyText(const std::string& text) { return text; }
std::string BodyText(const BindingProperty& json) { return WriteJson(json); }

// An external response as "transport status result [error] headers body".
template <typename Body>
std::string Show(const HttpBaseTransport::BasicResponse<Body>& r) {
  std::string out = std::to_string(r.transport_status) + " " + std::to_string(r.status_code) + " " +
                    std::to_string(r.result_state) + " [" + r.error + "]";
  for (const auto& [name, value] : r.headers) out += " " + name + ":" + value;
  return out + " " + BodyText(r.body);
}

class ModuleTest : public ::testing::Test {
 protected:
  ModuleTest() : module_(&host_, std::make_unique<SessionModule>()) {
    releases_ = 0;
    // Requests are recorded as "method path name=value...", then answered by respond_.
    host_.on_request = [this](HostResponse* response, const HostRequest* request) {
      std::string sent = std::to_string(request->method) + " " + request->path;
      for (uint32_t i = 0; i < request->argument_count; ++i) {
        const BindingAbiNamedValue& argument = request->arguments[i];
        sent += " "s + argument.name + "=" +
                WriteJson(FromAbiValue(argument.value, argument.name).value());
      }
      EXPECT_EQ(request->plugin_handle, host_.services()->plugin_handle);
      sent_.push_back(sent);
      response->release = [](HostResponse* r) {
        ++releases_;
        ReleaseAbiValue(&r->body);
        std::free(r->error_text);
      };
      respond_(response);
    };
    // External requests as "method url [body] timeout/flag headers", answered from answer_.
    host_.on_external_request = [this](HostExternalResponse* r, const HostExternalRequest* q) {
      std::string sent = std::to_string(q->method) + " " + q->url + " [" +
                         std::string(q->body, q->body_length) + "] " + std::to_string(q->timeout) +
                         "/" + std::to_string(q->flag);
      for (uint32_t i = 0; i < q->header_count; ++i) {
        sent += " "s + q->headers[i].name + ":" + q->headers[i].value;
      }
      sent_.push_back(sent);
      r->transport_code = answer_.code;
      r->http_status = answer_.status;
      r->headers = answer_.null_headers ? nullptr : answer_.headers.data();
      r->header_count = answer_.header_count != 0 ? answer_.header_count
                                                  : static_cast<uint32_t>(answer_.headers.size());
      r->body = answer_.body;
      r->body_length = answer_.body_length != 0 || answer_.body == nullptr
                           ? answer_.body_length
                           : static_cast<uint32_t>(std::strlen(answer_.body));
      r->release = [](HostExternalResponse*) { ++releases_; };
    };
  }

  // The host calls since the last look, as "slot text flag".
  Texts TakeCalls() {
    Texts calls;
    for (const FakeHost::Call& c : host_.calls) {
      calls.push_back(c.slot + " " + c.text + " " + std::to_string(c.flag));
    }
    host_.calls.clear();
    return calls;
  }
  bool Logged(const std::string& text) const {
    for (const auto& [level, line] : host_.log) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  void FailWith(int32_t status, const char* text) {
    respond_ = [=](HostResponse* r) {
      r->error_text = strdup(text);
      r->failed = 1;
      r->status_code = status;
    };
  }
  void StreamWith(Stream* stream) {
    respond_ = [stream](HostResponse* r) {
      r->stream_read = &Stream::Read;
      r->stream_close = [](void* context) { ++static_cast<Stream*>(context)->closes; };
      r->stream_context = stream;
      r->stream_size_hint = static_cast<uint32_t>(stream->text.size());
    };
  }

  static inline int releases_ = 0;
  FakeHost host_;
  testing::InitializedModule module_;
  std::function<void(HostResponse*)> respond_ = [](HostResponse*) {};
  Answer answer_;
  Texts sent_;
};

// ---- Subscriptions and events ----

BindingProperty Json(const std::string& text) { return ParseJson(text).value(); }

BindingProperty Resource(const std::string& uri, const std::string& type) {
  return Json(R"({"uri":")" + uri + R"(","eventType":")" + type + R"(","data":{"state":"On"}})");
}

BindingProperty ProxyResult(const std::string& uuid, const std::string& method) {
  return Json(R"({"uuid":")" + uuid + R"(","serviceName":"svc","methodName":")" + method +
              R"(","payload":"payload of )" + uuid + R"(","status":"OK","error":""})");
}

TEST_F(ModuleTest, SubscriptionsAndForwardersReachTheHost) {
  ASSERT_TRUE(module_.ok());
  EXPECT_EQ(TakeCalls(), (Texts{"SubscribeEvent OnServiceProxyUuidEvent 1",
                                "SubscribeEvent OnServiceProxyMethodEvent 1",
                                "SubscribeEvent OnServiceProxyAsyncEvent 1"}));
  EXPECT_EQ(module_->subscription_count("OnServiceProxyUuidEvent"), 0);  // not counted
  module_->ScheduleCallback(
      "kiv.tick", [](void*) {}, nullptr, -5.0);
  module_->BeginWait("Wait: yield");
  module_->Pump();
  module_->EndWait();
  module_->Subscribe("/kiv-login/v1/session");
  module_->Subscribe("/kiv-login/v1/session/deeper/still");  // one name below the fourth level
  EXPECT_EQ(module_->subscription_count("OnJsonApiEvent_kiv-login_v1_session"), 2);
  for (int i = 0; i < 3; ++i) module_->Unsubscribe("/kiv-login/v1/session");
  EXPECT_EQ(TakeCalls(),
            (Texts{"ScheduleCallback kiv.tick 0", "BeginWait Wait: yield 0", "Pump  0",
                   "EndWait  0", "SubscribeEvent OnJsonApiEvent_kiv-login_v1_session 0",
                   "UnsubscribeEvent OnJsonApiEvent_kiv-login_v1_session 0"}));
  EXPECT_EQ(AppModule::ResourceEventName("//a///b/"), "OnJsonApiEvent_a_b");
  EXPECT_EQ(AppModule::ResourceEventName(""), "OnJsonApiEvent");
  EXPECT_EQ(AppModule::ResourceEventName("/kiv-platform-config/v1/ns/key/deeper/x"),
            "OnJsonApiEvent_kiv-platform-config_v1_ns_key_deeper");
}

TEST_F(ModuleTest, ResourceEventsReachExactThenPatternHandlers) {
  Texts calls;
  module_->SetResourceHandler("/pm/v1/status", [&](const PluginResourceEvent& e) {
    calls.push_back("exact " + e.uri + " " + std::to_string(static_cast<int>(e.eventType)) + " " +
                    std::string(e.data["state"].GetString()));
  });
  module_->AddResourcePatternHandler(
      "/pm/*/status", [&](const PluginResourceEvent& e) { calls.push_back("pattern1 " + e.uri); });
  module_->AddResourcePatternHandler(
      "/pm/*", [&](const PluginResourceEvent& e) { calls.push_back("pattern2 " + e.uri); });
  module_->Subscribe("/pm/v1/status");
  const std::string name = "OnJsonApiEvent_pm_v1_status";
  ASSERT_TRUE(host_.Deliver(name, Resource("/pm/v1/status", "Update")));
  // Payloads that do not convert are dropped and the subscription stays.
  ASSERT_TRUE(host_.Deliver(name, Resource("/pm/v1/status", "Bogus")));
  ASSERT_TRUE(host_.Deliver(name, Json(R"("text")")));
  // Without the leading "/" the same handlers are found.
  ASSERT_TRUE(host_.Deliver(name, Resource("pm/v1/status", "Create")));
  // A host that delivers after the unsubscription finds no handler.
  FakeHost::Subscriber kept = host_.subscribers[name];
  module_->Unsubscribe("/pm/v1/status");
  host_.subscribers[name] = kept;
  ASSERT_TRUE(host_.Deliver(name, Resource("/pm/v1/status", "Delete")));
  EXPECT_EQ(calls, (Texts{"exact /pm/v1/status 1 On", "pattern1 /pm/v1/status",
                          "exact /pm/v1/status 0 On", "pattern1 /pm/v1/status"}));
  const struct {
    const char* pattern;
    const char* path;
    bool matches;
  } patterns[] = {{"/a/*/c", "/a/b/c", true}, {"/a/*", "/a/", false},      {"/a/*", "/a/b", true},
                  {"/a/b", "/a/bc", false},   {"/a/*/c", "/a/b/d", false}, {"", "", true}};
  for (const auto& row : patterns) {
    EXPECT_EQ(AppModule::MatchesResourcePattern(row.pattern, row.path), row.matches) << row.path;
  }
}

TEST_F(ModuleTest, PublishingUsesTheSpecificThenTheGeneralName) {
  PluginResourceEvent change;
  change.uri = "/kiv-login/v1/session/extra";
  change.eventType = PluginResourceEventType::Update;
  change.data["state"] = "IN_PROGRESS";
  module_->PublishResourceEvent(change);
  module_->PublishResourceDeleted("/kiv-login/v1/session");
  PluginLcdsEvent push;
  push.typeName = "com.vorogames.Message";
  push.subtopic = "gn";
  module_->PublishLcdsEvent(push);
  const std::string update =
      R"({"data":{"state":"IN_PROGRESS"},"eventType":"Update","uri":"/kiv-login/v1/session/extra"})";
  const std::string removal = R"({"data":null,"eventType":"Delete","uri":"/kiv-login/v1/session"})";
  const std::string lcds =
      R"({"body":null,"clientId":"","subtopic":"gn","typeName":"com.vorogames.Message"})";
  EXPECT_EQ(host_.published, (std::vector<std::pair<std::string, std::string>>{
                                 {"OnJsonApiEvent_kiv-login_v1_session", update},
                                 {"OnJsonApiEvent", update},
                                 {"OnJsonApiEvent_kiv-login_v1_session", removal},
                                 {"OnJsonApiEvent", removal},
                                 {"OnLcdsEvent_com_vorogames_Message", lcds},
                                 {"OnLcdsEvent", lcds},
                             }));
}

TEST_F(ModuleTest, MailboxKeepsResultsUntilARequestWaitsAndFulfilsOnePerPass) {
  Texts fulfilled;
  auto waiter = [&](const char* who) {
    return [&fulfilled, who](const PluginServiceProxyResponse& r) {
      fulfilled.push_back(std::string(who) + ":" + r.payload);
    };
  };
  // Results arrive before anyone waits for them.
  ASSERT_TRUE(host_.Deliver("OnServiceProxyUuidEvent", ProxyResult("u1", "m")));
  ASSERT_TRUE(host_.Deliver("OnServiceProxyUuidEvent", ProxyResult("u2", "m")));
  module_->AddPendingServiceProxyRequest("u1", waiter("first"));
  module_->AddPendingServiceProxyRequest("u2", waiter("second"));
  EXPECT_TRUE(fulfilled.empty());  // fulfilment runs only when a result is stored

  // The next stored result triggers one pass, which hands over one waiting result.
  ASSERT_TRUE(host_.Deliver("OnServiceProxyMethodEvent", ProxyResult("u3", "get")));
  EXPECT_EQ(fulfilled, Texts{"first:payload of u1"});
  EXPECT_TRUE(Logged("Fulfilled service proxy request: u1"));
  module_->AddPendingServiceProxyRequest("svc.get", waiter("third"));
  ASSERT_TRUE(host_.Deliver("OnServiceProxyUuidEvent", ProxyResult("u4", "m")));
  ASSERT_TRUE(host_.Deliver("OnServiceProxyUuidEvent", ProxyResult("u5", "m")));
  // Passes walk the mailbox in key order: "svc.get" before "u2".
  EXPECT_EQ(fulfilled,
            (Texts{"first:payload of u1", "third:payload of u3", "second:payload of u2"}));
  EXPECT_EQ(module_->service_proxy_mailbox_size(), 2u);  // u4 and u5 wait for requesters

  // Asynchronous results go to their handler or are logged.
  Texts seen;
  module_->SetServiceProxyAsyncHandler(
      "svc.notify", [&](const PluginServiceProxyResponse& r) { seen.push_back(r.uuid); });
  ASSERT_TRUE(host_.Deliver("OnServiceProxyAsyncEvent", ProxyResult("a1", "notify")));
  ASSERT_TRUE(host_.Deliver("OnServiceProxyAsyncEvent", ProxyResult("a2", "other")));
  EXPECT_EQ(seen, Texts{"a1"});
  EXPECT_TRUE(Logged("Could not find registered handler for async service proxy event svc.other"));
  EXPECT_EQ(module_->service_proxy_mailbox_size(), 2u);
}

// ---- Requests to the host ----

TEST_F(ModuleTest, FieldsBecomeNamedArgumentsInKeyOrder) {
  EXPECT_TRUE(
      module_->Request(KIV_METHOD_PUT, "/data/v1/x?y=1", Session{Mood::kAngry, "alice", 3, {"a"}})
          .ok());
  using Fields = std::map<std::string, std::string>;
  TelemetrySender sender(module_.get());
  auto sent = sender.SendTelemetryEvent("login_result", Fields{{"try", "2"}, {"ok", "true"}});
  ASSERT_EQ(sent.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_TRUE(sent.get().ok());
  FailWith(503, "telemetry is off");
  sender.SetTelemetryCommonData("platform_id", Fields{{"value", "LOC1"}});  // refusal ignored
  RequestResult<void> refused = sender.SendTelemetryEvent("login_queue_timing", Fields{}).get();
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.failure().status, 503);
  EXPECT_EQ(refused.failure().message,
            "Error response for POST /telemetry/v1/events/login_queue_timing: telemetry is off");
  // Enumerations go by name.
  EXPECT_EQ(sent_,
            (Texts{R"(7 /data/v1/x?y=1 playerId=3 scopes=["a"] state="ANGRY" username="alice")",
                   R"(6 /telemetry/v1/events/login_result ok="true" try="2")",
                   R"(6 /telemetry/v1/common-data/platform_id value="LOC1")",
                   "6 /telemetry/v1/events/login_queue_timing"}));
  EXPECT_EQ(releases_, 4);
}

TEST_F(ModuleTest, FailuresNameTheRequest) {
  RequestResult<Session> unsent = module_->Request<Session>(KIV_METHOD_GET, "/p", Unregistered{});
  ASSERT_FALSE(unsent.ok());
  EXPECT_EQ(unsent.failure().status, 400);
  EXPECT_EQ(unsent.failure().message.rfind(
                "Request not sent: Error converting parameters for GET /p: ", 0),
            0u)
      << unsent.failure().message;
  EXPECT_TRUE(sent_.empty());

  RequestResult<Session> empty = module_->Request<Session>(KIV_METHOD_GET, "/p");
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.failure().status, 0);
  EXPECT_EQ(empty.failure().message,
            "Error converting response for GET /p: A value for '<result>' is required.");

  const std::string prefix = "Error reading streamed response for GET /s: ";
  for (bool fail_read : {true, false}) {
    Stream stream{"{\"a\":", {5}, fail_read};
    StreamWith(&stream);
    RequestResult<Session> read = module_->Request<Session>(KIV_METHOD_GET, "/s");
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.failure().status, 0);
    EXPECT_EQ(read.failure().message,
              prefix + (fail_read ? "Stream read error" : "Error: Invalid value. at offset 5."));
    EXPECT_EQ(stream.closes, 1);
  }
  EXPECT_EQ(releases_, 3);
}

TEST_F(ModuleTest, StreamedBodiesYieldOnlyAfterShortChunks) {
  TakeCalls();  // the subscriptions at start-up
  const std::string head = R"({"state":"CALM","scopes":[],"username":")";
  const std::string name(8192 - head.size() - 2, 'x');
  Stream stream{head + name + "\"}", {1000, 4096, 1000, 2096}};
  StreamWith(&stream);
  RequestResult<Session> typed = module_->Request<Session>(KIV_METHOD_GET, "/stream");
  ASSERT_TRUE(typed.ok()) << typed.failure().message;
  EXPECT_EQ(typed.value().username, name);
  EXPECT_EQ(stream.closes, 1);
  EXPECT_EQ(releases_, 1);
  // Waits for a future are labelled with the registered type name, when there is one.
  std::promise<Session> promise;
  std::future<Session> future = promise.get_future();
  host_.on_pump = [&] { promise.set_value(Session{Mood::kCalm, "done", std::nullopt, {}}); };
  EXPECT_EQ(module_->Await(future).username, "done");
  std::promise<int> other;
  std::future<int> unregistered = other.get_future();
  host_.on_pump = [&] { other.set_value(5); };
  EXPECT_EQ(module_->Await(unregistered), 5);
  const std::string yield = "BeginWait Wait: yield 0|Pump  0|EndWait  0|";
  std::string calls;
  for (const std::string& call : TakeCalls()) calls += call + "|";
  EXPECT_EQ(calls, "SendRequest /stream 0|" + yield + yield +
                       "BeginWait Wait: future<Session> 0|Pump  0|EndWait  0|" +
                       "BeginWait Wait: future<int> 0|Pump  0|EndWait  0|");
}

// ---- External requests ----

constexpr char kUrl[] = "http://q.kiv";

TEST_F(ModuleTest, TheModulesUserAgentGoesFirstUnlessTheCallerSetsOne) {
  HttpBaseTransport transport(module_.get());
  answer_.body = R"({"ok":true})";
  EXPECT_EQ(Show(transport.PostJson(kUrl, R"({"user":"alice"})", 10,
                                    {{"content-type", "application/json"}, {"accept", "*/*"}})),
            R"(0 200 0 [] {"ok":true})");
  transport.PostText(kUrl, "b", 7, {{"User-Agent", "Mine/1.0"}, {"x-a", "1"}});
  transport.GetJson(kUrl, 3, {{"user_agent", "v"}, {"user-agent2", "v"}});
  transport.RequestText({KIV_METHOD_PUT, kUrl, {}, "a\0b"s, 99, 7});
  const std::string ua = "user-agent:VoroClient/17.1.0 (kiv-test)";
  EXPECT_EQ(sent_, (Texts{R"(6 http://q.kiv [{"user":"alice"}] 10/1 )" + ua +
                              " accept:*/* content-type:application/json",
                          "6 http://q.kiv [b] 7/1 User-Agent:Mine/1.0 x-a:1",
                          "2 http://q.kiv [] 3/1 " + ua + " user-agent2:v user_agent:v",
                          "7 http://q.kiv [a\0b] 99/7 "s + ua}));
  EXPECT_EQ(releases_, 4);
}

TEST_F(ModuleTest, ExternalAnswersAsTextAndAsJson) {
  const std::string in = "Error converting response for GET "s + kUrl + ": ";
  struct Row {
    const char* name;
    Answer answer;
    std::string text;
    std::string json;
  };
  const Row rows[] = {
      {"an error status is still converted",
       {0, 500, {{"Content-Type", "application/json"}, {"X-A", "1"}}, false, 0, R"({"e":[1]})"},
       R"(0 500 0 [] Content-Type:application/json X-A:1 {"e":[1]})",
       R"(0 500 0 [] Content-Type:application/json X-A:1 {"e":[1]})"},
      {"a failed transport keeps the host's text and reads nothing else",
       {5, 404, {}, true, 3, "Couldn't connect"},
       "1 0 -1 [Couldn't connect] ",
       "1 0 -1 [Couldn't connect] "},
      {"empty body",
       {0, 204, {}, false, 0, ""},
       "0 204 0 [] ",
       "0 204 1 [" + in + "body was empty] "},
      {"a header count without headers",
       {0, 200, {}, true, 2, "{}"},
       "0 200 1 [" + in + "headers was null] ",
       "0 200 1 [" + in + "headers was null] "},
      {"a body length without a body",
       {0, 200, {{"a", "1"}}, false, 0, nullptr, 5},
       "0 200 1 [" + in + "body was null] a:1 ",
       "0 200 1 [" + in + "body was empty] a:1 "},
      {"bytes by length, JSON that does not parse kept as text, null header texts",
       {0, 200, {{nullptr, "value"}, {"name", nullptr}}, false, 0, "a\0b\xff", 4},
       "0 200 0 [] :value name: a\0b\xff"s,
       "0 200 1 [Error deserializing json response for GET http://q.kiv: Error: Invalid "
       "value. at offset 0.] :value name: \"a\\u0000b\xff\""s},
  };
  HttpBaseTransport transport(module_.get());
  HttpBaseTransport::Request request;
  request.url = kUrl;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    answer_ = row.answer;
    releases_ = 0;
    EXPECT_EQ(Show(transport.RequestText(request)), row.text);
    EXPECT_EQ(Show(transport.RequestJson(request)), row.json);
    EXPECT_EQ(releases_, 2);
  }
  // Of the host's other transport codes only -1 (no answer, above) and 2 keep their meaning.
  EXPECT_EQ(HttpBaseTransport::MapTransportCode(2), 2);
}

// ---- The runtime ----

// Runs Create like the exported entry does and owns the module until the test ends.
struct CreatedPlugin {
  CreatedPlugin(uint32_t major, uint32_t minor, uint32_t patch) {
    descriptor.major = major;
    descriptor.minor = minor;
    descriptor.patch = patch;
    // The host does not initialise the output words; they must be overwritten.
    descriptor.callbacks = reinterpret_cast<const PluginCallbacks*>(0x1);
    descriptor.module = reinterpret_cast<void*>(0x2);
    accepted = PluginRuntime::Create(&descriptor, std::make_unique<LoginModule>(),
                                     LoginModule::kShortName);
  }
  ~CreatedPlugin() {
    if (accepted) descriptor.callbacks->Shutdown(descriptor.module);
  }
  AppModule* module() const { return static_cast<AppModule*>(descriptor.module); }

  PluginDescriptor descriptor{};
  bool accepted = false;
};

// Hosts of the same major version and no older minor one are accepted (17.1 and 17.4 in the
// other tests); the others are refused with a report and no output word set.
TEST(PluginRuntimeTest, OlderOrOtherMajorHostsAreRefused) {
  EXPECT_EQ((PluginApiVersion{1, 2, 3, "rc", "x"}).Text(), "1.2.3-rc+x");
  for (const PluginApiVersion& host : {PluginApiVersion{17, 0, 9, "", ""}, {16, 9, 9, "", ""}}) {
    SCOPED_TRACE(host.Text());
    CaptureStderr();
    CreatedPlugin plugin(host.major, host.minor, host.patch);
    const std::string err = GetCapturedStderr();
    const PluginDescriptor& d = plugin.descriptor;
    EXPECT_FALSE(plugin.accepted);
    EXPECT_EQ(d.minor, host.minor);
    EXPECT_TRUE(!d.callbacks && !d.module && !d.short_name && !d.api);
    EXPECT_NE(err.find(" ERROR| Assertion failed!\n\nExpression: ALE-EECF0606\n\nDescription: "
                       "zop-be-kiv-login which supports plugin API 17.1.0 is not compatible with "
                       "core's plugin API " +
                       host.Text()),
              std::string::npos)
        << err;
  }
}

TEST(PluginRuntimeTest, CreateFillsTheDescriptor) {
  CreatedPlugin plugin(17, 4, 2);
  ASSERT_TRUE(plugin.accepted);
  const PluginDescriptor& d = plugin.descriptor;
  AppModule* m = plugin.module();
  EXPECT_EQ(PluginApiVersion({d.major, d.minor, d.patch, "", ""}).Text(), "17.1.0");
  EXPECT_EQ(d.short_name + " "s + m->name().full_name + " " + m->name().type + " " +
                m->host_version().Text() + " " + m->help_tags()[1],
            "kiv-login zop-be-kiv-login backend 17.4.2 Plugin kiv-login");
  EXPECT_TRUE(d.api == m->api_table() && d.callbacks == m->callbacks());
  EXPECT_EQ(d.api->endpoint_count, m->router().functions().size());
  PluginMemoryStats stats;
  std::memset(&stats, 0xAB, sizeof(stats));
  d.callbacks->GetMemoryStats(d.module, &stats);
  EXPECT_EQ(stats.zero[0] + stats.zero[1], 0u);
  EXPECT_NE(stats.allocations, 0xABABABABABABABABull);

  CaptureStderr();
  EXPECT_EQ(GetFullNameFromShortNameAndType("kiv-login", "frontend"), "zop-fe-kiv-login");
  EXPECT_EQ(GetFullNameFromShortNameAndType("kiv-login", "global"), "zop-xx-kiv-login");
  const std::string err = GetCapturedStderr();  // one line, for the unknown type only
  EXPECT_EQ(err.substr(err.find("): ")),
            "):  ERROR|             Plugin Manager| GetFullNameFromShortNameAndType(\"kiv-login\", "
            "\"global\") called with an unknown type\n");
  EXPECT_EQ(std::to_string(NotFound().status) + " " + NotFound().message + ", " +
                NotFound("No session").message + ", " +
                std::to_string(InternalServerError().status) + " " + InternalServerError().message +
                ", " + InternalServerError("boom").message,
            "404 Not found, No session, 500 Internal server error, boom");
}

TEST(PluginRuntimeTest, InitializeMovesLoggingToTheHostAndShutdownBack) {
  {
    FakeHost host;
    CreatedPlugin plugin(17, 4, 0);
    AppModule* m = plugin.module();
    EXPECT_EQ(m->telemetry(), nullptr);
    CaptureStderr();
    Log(kLevelOkay, Tag::DBG, "before initialize");  // below the start-up level
    m->Pump();                                       // no host yet: an error line, no crash
    EXPECT_EQ(Show(HttpBaseTransport(m).PostText(kUrl, "x", 10, {})), "-1 0 -1 [] ");
    const std::string early = GetCapturedStderr();
    EXPECT_NE(early.find("Pump called before the host initialised the plugin"), std::string::npos);
    EXPECT_NE(early.find("SendExternalRequest called before the host initialised"),
              std::string::npos);
    EXPECT_EQ(early.find("before initialize"), std::string::npos);

    CaptureStderr();
    ASSERT_TRUE(plugin.descriptor.callbacks->Initialize(m, host.services()));
    Log(kLevelOkay, Tag::DBG, "after %s", "initialize");
    Log(kLevelWarn, Tag::XTR, "suppressed");
    Log(kLevelError, 0, "untagged\n");
    EXPECT_EQ(GetCapturedStderr(), "") << "nothing reaches standard error once the host logs";
    EXPECT_EQ(m->host_services(), host.services());
    EXPECT_EQ(m->plugin_handle(), &host);
    EXPECT_NE(m->telemetry(), nullptr);
    // The host's Log gets the level and the bare message, not a formatted line; a newline the
    // message brings stays.
    std::string log;
    for (const auto& [level, text] : host.log) log += std::to_string(level) + " " + text + "|";
    EXPECT_NE(
        log.find("3 zop-be-kiv-login initialized, user agent \"VoroClient/17.4.0 (kiv-login)\"|"),
        std::string::npos);
    EXPECT_TRUE(log.ends_with("|0 after initialize|2 untagged\n|")) << log;
  }
  // The module held the last reference: the next message meets a fresh logger again.
  CaptureStderr();
  Log(kLevelWarn, Tag::DBG, "console again");
  EXPECT_NE(GetCapturedStderr().find("  WARN| console again\n"), std::string::npos);
}

// ---- The scheduler ----

// A host that queues scheduled callbacks against the manual clock, runs what is due when
// pumped and records every call as text ("Schedule label delay-in-ms").
class FakeSchedulerHost : public SchedulerHost {
 public:
  void ScheduleCallback(const char* label, HostScheduledCallback callback, void* user_data,
                        double delay_seconds) override {
    calls.push_back("Schedule "s + label + " " + std::to_string(std::llround(delay_seconds * 1e3)));
    queue.emplace(SteadyNowNanoseconds() + std::llround(delay_seconds * 1e9),
                  [=] { callback(user_data); });
  }
  void Pump() override {
    calls.push_back("Pump");
    if (on_pump) on_pump();
    RunDue();
  }
  void BeginWait(const char* label) override { calls.push_back("Begin "s + label); }
  void EndWait() override { calls.push_back("End"); }

  // Runs every callback due now, in due order.
  void RunDue() {
    const auto end = queue.upper_bound(SteadyNowNanoseconds());
    std::multimap<int64_t, std::function<void()>> due(queue.begin(), end);
    queue.erase(queue.begin(), end);
    for (const auto& [at, callback] : due) callback();
  }

  std::multimap<int64_t, std::function<void()>> queue;
  Texts calls;
  std::function<void()> on_pump;
};

class ModuleSchedulerTest : public ::testing::Test {
 protected:
  // Moves the clock on and runs what became due, returning what standard error got.
  std::string AdvanceAndRun(int64_t milliseconds) {
    clock.AdvanceMilliseconds(milliseconds);
    CaptureStderr();
    host.RunDue();
    return GetCapturedStderr();
  }

  testing::ManualClock clock;
  FakeSchedulerHost host;
  ModuleScheduler scheduler{&host};
};

TEST_F(ModuleSchedulerTest, RunAtConvertsTheDeadlineToADelayAndContainsFailures) {
  int runs = 0;
  const auto count = [&] { ++runs; };
  const auto fail = [] { throw std::runtime_error("boom"); };
  scheduler.RunAt("past", count, SteadyNowNanoseconds() - 5'000'000'000);
  scheduler.RunAt("soon", count, SteadyNowNanoseconds() + 50'000'000);
  scheduler.RunAt("throws", fail, 0);
  EXPECT_EQ(host.calls, (Texts{"Schedule past 0", "Schedule soon 50", "Schedule throws 0"}));
  EXPECT_NE(AdvanceAndRun(0).find("Scheduled callback failed: boom"), std::string::npos);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(scheduler.scheduled_count(), 1u) << "an entry lives until its callback has run";
  AdvanceAndRun(50);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(scheduler.scheduled_count(), 0u);
}

TEST_F(ModuleSchedulerTest, TimersFireEveryIntervalInOneChainPerName) {
  int fired = 0;
  std::vector<int> restarted;
  std::function<void()> self = [&] {
    ++fired;
    scheduler.SetTimer("self", 90.0, self);
  };
  scheduler.SetTimer("self", 90.0, self);
  EXPECT_EQ(host.calls.back(), "Schedule Timer: self 90000");
  scheduler.SetTimer("t", 90.0, [&] { restarted.push_back(1); });
  scheduler.SetTimer("t", 90.0, [&] { restarted.push_back(2); });
  for (int i = 0; i < 6; ++i) AdvanceAndRun(90'000);  // nine minutes in no wall time
  EXPECT_EQ(fired, 6);
  EXPECT_EQ(restarted, std::vector<int>(6, 2)) << "a restart ends the earlier chain";
  EXPECT_EQ(scheduler.scheduled_count(), 2u) << "one firing per timer is always pending";

  scheduler.SetTimer("slow", 0.05, [&] { clock.AdvanceMilliseconds(120); });
  AdvanceAndRun(50);
  EXPECT_EQ(host.calls.back(), "Schedule Timer: slow 0") << "the next deadline was already past";
}

TEST_F(ModuleSchedulerTest, ClearForgetsEntriesAndTimersAndAGoneTimerWarns) {
  int runs = 0;
  const auto count = [&] { ++runs; };
  scheduler.SetTimer("gone", 1.0, count);
  scheduler.EraseTimer("gone");
  EXPECT_NE(AdvanceAndRun(1000).find("  WARN| Couldn't find timer named gone\n"),
            std::string::npos);
  scheduler.RunAt("later", count, SteadyNowNanoseconds() + 1'000'000);
  scheduler.SetTimer("tick", 0.001, count);
  scheduler.Clear();
  EXPECT_EQ(scheduler.scheduled_count(), 0u);
  EXPECT_FALSE(scheduler.HasTimer("tick"));
  // The host still delivers both: the plain callback does not run, the firing warns.
  EXPECT_NE(AdvanceAndRun(1).find("Couldn't find timer named tick"), std::string::npos);
  EXPECT_EQ(runs, 0);
  // A callback may clear the scheduler it runs in.
  scheduler.SetTimer("cleared", 60.0, count);
  const auto clear = [&] { scheduler.Clear(); };
  scheduler.RunAt("clears", clear, 0);
  AdvanceAndRun(0);
  EXPECT_FALSE(scheduler.HasTimer("cleared"));
  EXPECT_EQ(scheduler.scheduled_count(), 0u);
}

TEST_F(ModuleSchedulerTest, AwaitPumpsUntilTheFutureIsReady) {
  std::promise<int> ready;
  std::future<int> now = ready.get_future();
  ready.set_value(7);
  EXPECT_EQ(scheduler.Await(now), 7);
  EXPECT_TRUE(host.calls.empty()) << "a ready future neither waits nor pumps";

  std::promise<int> promise;
  std::future<int> later = promise.get_future();
  int pumps = 0;
  host.on_pump = [&] {
    if (++pumps == 3) promise.set_value(42);
  };
  EXPECT_EQ(scheduler.Await(later), 42);
  EXPECT_EQ(host.calls, (Texts{"Begin Wait: future<int>", "Pump", "Pump", "Pump", "End"}));

  // What the future holds is rethrown after the wait has ended.
  std::promise<std::string> failing;
  std::future<std::string> thrown = failing.get_future();
  host.on_pump = [&] { failing.set_exception(std::make_exception_ptr(std::runtime_error("x"))); };
  EXPECT_THROW(scheduler.Await(thrown), std::runtime_error);
  EXPECT_EQ(host.calls.back(), "End");

  host.calls.clear();
  std::future<int> empty;
  CaptureStderr();
  EXPECT_THROW(scheduler.Await(empty), std::future_error);
  const std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("Assertion failed!\n\nExpression: ALE-6D828C10\n\nDescription: Caught "
                     "std::future_error in AppModule::Await: (3) "),
            std::string::npos)
      << err;
  EXPECT_TRUE(host.calls.empty());
}

TEST_F(ModuleSchedulerTest, SleepAndYieldPumpAndNest) {
  scheduler.RunAt(
      "inner", [&] { scheduler.Yield(); }, 0);
  scheduler.Sleep(0);  // still pumps once
  EXPECT_EQ(host.calls, (Texts{"Schedule inner 0", "Begin Wait: sleep", "Pump", "Begin Wait: yield",
                               "Pump", "End", "End"}));
  host.calls.clear();
  host.on_pump = [&] { clock.AdvanceMilliseconds(1000); };
  scheduler.Sleep(300'000);  // five minutes, by the clock and not the wall time
  EXPECT_EQ(std::count(host.calls.begin(), host.calls.end(), "Pump"), 300);
}

}  // namespace
}  // namespace Voro
