// Endpoint dispatch through the router's request callback, from a HostRequest to a filled
// HostResponse (then released), for a literal path and for a template with two variables
// plus a named argument. Each is measured with the matcher compiled once per endpoint (what
// the plugin does) and with a matcher compiled for every request; the ratios are printed at
// the end. A third literal case answers 404 without a record, to show the router's own cost
// apart from converting the session.
//
//   bench_router --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "binding/router/endpoint_router.h"
#include "binding/router/path_template.h"
#include "binding/types/record_builder.h"
#include "binding/types/type_registry.h"
#include "binding/value/binding_abi.h"
#include "kiv/plugin_abi.h"

namespace Voro {
namespace {

enum class SessionState : int32_t { kInProgress = 0, kSucceeded = 1 };

struct Queue {
  uint64_t position = 0;
  bool capped = false;
};

// Shaped like the login session the plugin answers most often.
struct Session {
  SessionState state = SessionState::kInProgress;
  std::string username;
  std::string userAuthToken;
  uint64_t accountId = 0;
  std::optional<uint64_t> summonerId;
  std::optional<Queue> queueStatus;
  std::string idToken;
  std::string puuid;
  bool isNewPlayer = false;
  bool connected = false;
};

class Api {
 public:
  Api() {
    const std::vector<std::string> ns = {"Voro", "Client", "Api"};
    registry_.Enum<SessionState>(ns, "LoginSessionStates")
        .Value("IN_PROGRESS", SessionState::kInProgress)
        .Value("SUCCEEDED", SessionState::kSucceeded);
    registry_.Record<Queue>(ns, "LoginQueue")
        .Field("estimatedPositionInQueue", &Queue::position)
        .Field("isPositionCapped", &Queue::capped);
    registry_.Record<Session>(ns, "LoginSession")
        .Field("state", &Session::state)
        .Field("username", &Session::username)
        .Field("userAuthToken", &Session::userAuthToken)
        .Field("accountId", &Session::accountId)
        .Field("summonerId", &Session::summonerId)
        .Field("queueStatus", &Session::queueStatus)
        .Field("idToken", &Session::idToken)
        .Field("puuid", &Session::puuid)
        .Field("isNewPlayer", &Session::isNewPlayer)
        .Field("connected", &Session::connected);
    session_.state = SessionState::kSucceeded;
    session_.username = "player";
    session_.userAuthToken = "token-0123456789";
    session_.accountId = 123456789;
    session_.summonerId = 987654321;
    session_.puuid = "6f1c0c1e-0b8a-4c1d-9d2e-7a1f3e5b9c0d";
    session_.connected = true;

    (void)router_.Declare(KIV_METHOD_GET, "/kiv-login/v1/session")
        .Handle([this]() -> EndpointReply<Session> { return session_; });
    // The same path before any login: a 404 without a record to convert, which separates
    // the router's own cost from the conversion of the session.
    (void)router_.DeclareNamed("NoSession", KIV_METHOD_GET, "/kiv-login/v1/session")
        .Handle([]() -> EndpointReply<Session> {
          return EndpointReply<Session>::Error(
              404, "No session currently exists, you must initiate a login first.");
        });
    (void)router_
        .Declare(KIV_METHOD_POST,
                 "/kiv-login/v1/service-proxy-async-requests/{serviceName}/{methodName}")
        .Parameter("serviceName", "", ParameterLocation::kPath)
        .Parameter("methodName", "", ParameterLocation::kPath)
        .Parameter("pluginId")
        .Handle([this](const std::string& service, const std::string& method,
                       const std::string& plugin_id) {
          subscriptions_ += service.size() + method.size() + plugin_id.size();
        });
  }

  const FunctionDescriptor& Function(const char* name) const { return *router_.Find(name); }
  const EndpointRouter& router() const { return router_; }

 private:
  TypeRegistry registry_;
  EndpointRouter router_{&registry_};
  Session session_;
  size_t subscriptions_ = 0;
};

const Api& TheApi() {
  static const Api api;
  return api;
}

struct Case {
  const char* function;
  uint32_t method;
  const char* path;
  bool named_argument;
};

const Case kStatic = {"GetKivLoginV1Session", KIV_METHOD_GET, "/kiv-login/v1/session", false};
const Case kNoSession = {"NoSession", KIV_METHOD_GET, "/kiv-login/v1/session", false};
const Case kTemplated = {
    "PostKivLoginV1ServiceProxyAsyncRequestsByServiceNameByMethodName", KIV_METHOD_POST,
    "/kiv-login/v1/service-proxy-async-requests/summonerService/getSummonerByName", true};

void Run(benchmark::State& state, const Case& c, bool compile_per_request) {
  const Api& api = TheApi();
  const FunctionDescriptor& function = api.Function(c.function);
  BindingAbiNamedValue argument{};
  argument.name = "pluginId";
  argument.value.tag = KIV_ABI_STRING_BORROWED;
  argument.value.payload.ref = {"kiv-fe-lobby-team-setup", 23};
  HostRequest request{};
  request.method = c.method;
  request.path = c.path;
  request.context = &function.context;
  if (c.named_argument) {
    request.arguments = &argument;
    request.argument_count = 1;
  }
  for (auto _ : state) {
    HostResponse response{};
    if (compile_per_request) {
      PathTemplate matcher(function.path);
      const EndpointRouter::Endpoint endpoint{&function, &matcher};
      api.router().Dispatch(&response, request, {&endpoint, 1});
    } else {
      EndpointRouter::RequestCallback(&response, &request);
    }
    if (response.failed != 0 && response.status_code != 404) {
      state.SkipWithError(response.error_text);
      response.release(&response);
      break;
    }
    benchmark::DoNotOptimize(response.body.tag);
    response.release(&response);
  }
  state.counters["calls/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_StaticReused(benchmark::State& state) { Run(state, kStatic, false); }
void BM_StaticPerRequest(benchmark::State& state) { Run(state, kStatic, true); }
void BM_StaticNoSessionReused(benchmark::State& state) { Run(state, kNoSession, false); }
void BM_TemplatedReused(benchmark::State& state) { Run(state, kTemplated, false); }
void BM_TemplatedPerRequest(benchmark::State& state) { Run(state, kTemplated, true); }

BENCHMARK(BM_StaticReused);
BENCHMARK(BM_StaticPerRequest);
BENCHMARK(BM_StaticNoSessionReused);
BENCHMARK(BM_TemplatedReused);
BENCHMARK(BM_TemplatedPerRequest);

// The calls per second of each case and the ratio of the reused matcher to the
// per-request one.
void PrintRatios(const kivbench::CounterReporter& r) {
  const struct {
    const char* what;
    const char* reused;
    const char* per_request;
    double goal;
  } pairs[] = {{"static", "BM_StaticReused", "BM_StaticPerRequest", 1e6},
               {"templated", "BM_TemplatedReused", "BM_TemplatedPerRequest", 5e5}};
  for (const auto& pair : pairs) {
    double reused = 0, per_request = 0;
    if (!r.Find(pair.reused, "calls/s", &reused) ||
        !r.Find(pair.per_request, "calls/s", &per_request)) {
      continue;
    }
    std::printf(
        "%-9s: reused %10.0f calls/s (goal %.0f: %s), compiled per request %10.0f "
        "calls/s, ratio %.2f\n",
        pair.what, reused, pair.goal, reused >= pair.goal ? "met" : "MISSED", per_request,
        reused / per_request);
  }
}

}  // namespace
}  // namespace Voro

int main(int argc, char** argv) { return kivbench::RunBenchmarks(argc, argv, Voro::PrintRatios); }
