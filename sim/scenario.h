// What the simulator plays: its accounts, how the platform server and the login queue
// behave, and which faults they inject. Read from a JSON or YAML file (see
// sim/scenarios/demo.yaml for every knob); every knob has a default, so an empty file is a
// valid scenario with no accounts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/value/binding_property.h"
#include "common/result.h"

namespace Voro::Sim {

enum class Fault {
  kNone,
  kNoAnswer,   // the call is never answered
  kError,      // "_error" without a root cause
  kDrop,       // the connection is closed instead of answering
  kMalformed,  // the answer's bytes are not a readable command
};

// The login queue's verdict on an account that authenticates.
enum class QueueOutcome {
  kAuto,  // LOGIN when nobody is ahead, else QUEUE
  kLogin,
  kQueue,
  kBusy,      // "BUSY"
  kArlQueue,  // "ARL_QUEUE"
  kFailed,    // "FAILED" with `queue_reason`
  kBanned,
};

struct PlatformAccount {
  std::string username;
  std::string password;             // accepted when the client sends a password
  std::string partner_credentials;  // accepted when the client sends partner credentials
  std::string access_token;         // accepted by the login queue's "/authenticate/QSA"
  int64_t account_id = 0;
  int64_t summoner_id = 0;
  std::string summoner_name;
  int32_t profile_icon_id = 0;
  int32_t summoner_level = 1;
  int64_t ip_balance = 0;
  int64_t vp_balance = 0;
  std::string platform_id = "SIM1";
  std::string puuid;             // the id token's "sub"; made from the account id when empty
  std::string login_error_code;  // when set, the platform refuses the login with this root cause
  // Answers of "accountService"."getAccountStateForCurrentSession", in turn; the last one
  // repeats. Names such as "ENABLED" or "TRANSFERRING_OUT".
  std::vector<std::string> account_states{"ENABLED"};
  // "reconnectInfo"."playerCredentials" of the login data packet; absent when empty.
  BindingProperty reconnect_credentials;
  QueueOutcome queue_outcome = QueueOutcome::kAuto;
  std::string queue_reason;  // "reason" of a FAILED outcome
  std::string ban_reason;    // with kBanned
  uint64_t ban_expiration = 0;
  bool in_game = false;  // "inGameCredentials"."inGame"
};

// One fault per step of the platform's side of a login, and per service.
struct PlatformFaults {
  Fault login = Fault::kNone;
  Fault subscribe = Fault::kNone;
  Fault channel_login = Fault::kNone;
  Fault login_data_packet = Fault::kNone;
  Fault account_state = Fault::kNone;
  Fault service_proxy = Fault::kNone;
  Fault logout = Fault::kNone;
};

// A message the platform pushes by itself, `delay_ms` after the login data packet was
// answered on a connection. Texts "$token", "$user" and "$account_id" anywhere in `body`
// stand for the session's values.
struct ScheduledPush {
  uint32_t delay_ms = 0;
  std::string class_name;
  std::string subtopic;
  BindingProperty body;  // a structure: the members of the pushed object
  // Lists in the body go out as externalizable ArrayCollections rather than plain arrays.
  bool array_collections = false;
};

// A payload the client cannot read, for the client's error paths; all of them go out with
// "compressedPayload" true.
enum class MalformedPayload {
  kNone,
  kNotBase64,  // "not Base64: " and the text
  kNotGzip,    // the text in Base64, not compressed
  kTruncated,  // the first half of the gzip stream, in Base64
};

// How "lcdsServiceProxy"."call" answers: an acknowledge at once, then, `delay_ms` later,
// a pushed LcdsServiceProxyResponse.
struct ServiceProxyAnswer {
  std::string service;  // empty: any
  std::string method;   // empty: any
  std::string status = "OK";
  std::string payload;           // "$payload" stands for the request's payload
  std::optional<bool> compress;  // unset: the settings' `compress`
  MalformedPayload malformed = MalformedPayload::kNone;
  std::optional<std::string> message_id;  // "messageId" of the response; unset: the call's uuid
  // A response with status "ACK" and an empty payload is pushed first, at once.
  bool also_ack = false;
  // The "methodName" the response carries (a service's answer or error method); empty: the
  // request's.
  std::string response_method;
};

struct ServiceProxySettings {
  uint32_t delay_ms = 50;
  bool compress = false;                    // gzip, then Base64, with "compressedPayload" true
  std::vector<ServiceProxyAnswer> answers;  // the first match wins; none: echo, "OK"
};

// The "_error" a scripted destination answers with.
struct ServiceFault {
  std::string code = "Server.Processing";  // "faultCode"; never empty
  std::string text;                        // "faultString"
};

// A scripted answer of `destination`.`operation`, for calls none of the built-in services
// (login, logout, the login data packet, account state, the service proxy) takes.
struct ScriptedService {
  std::string destination;  // empty: any
  std::string operation;    // empty: any
  // The answer's value; empty: null. A mapping with a "__class" text is an object of that
  // class, another mapping an anonymous object.
  BindingProperty value;
  std::optional<ServiceFault> fault;  // when set, the call fails with it instead
  // Lists in the value go out as externalizable ArrayCollections rather than plain arrays.
  bool array_collections = false;
};

// A delay drawn uniformly from [min_ms, max_ms].
struct DelayRange {
  uint32_t min_ms = 0;
  uint32_t max_ms = 0;
};

// The server closing a logged-in user's connections by itself, as networks and servers do.
// Counted per user name.
struct DropSettings {
  // The first drop: this long after the login data packet was answered on a connection, or
  // after a reconnect's channel login succeeded, until one drop has happened; 0: never.
  uint32_t after_ms = 0;
  // After the first drop, each reconnected connection is dropped again after a delay drawn
  // from this range; without it the user is dropped once.
  std::optional<DelayRange> every_ms;
  uint64_t seed = 1;  // of the drawn delays, so that a run repeats
};

// Channel logins on connections that did not log in (reconnects) the platform refuses,
// counted per user from 1: the first `count`, and every `every`-th of them all.
struct ReconnectRefusals {
  uint32_t count = 0;
  uint32_t every = 0;  // 0: none
  std::string root_cause = "RECONNECT-REFUSED";
};

struct PlatformSettings {
  uint32_t chunk_size = 0;  // Set Chunk Size after connect; 0: not sent
  // When set, a login must carry an "authToken" the simulator's login queue issued to the
  // user; otherwise the password or partner credentials are enough.
  bool require_queue_token = false;
  PlatformFaults faults;
  ServiceProxySettings service_proxy;
  // The first match answers; without one a call gets an acknowledge without a body.
  std::vector<ScriptedService> services;
  std::vector<ScheduledPush> pushes;
  DropSettings drops;
  ReconnectRefusals refuse_reconnects;
};

// A run of failures the login queue answers before behaving: `count` requests to the
// endpoint get `status` (and `body`).
struct HttpStorm {
  uint32_t count = 0;
  int status = 503;
  std::string body;
};

struct LoginQueueSettings {
  std::string queue_name = "sim";
  uint32_t players_ahead = 0;  // spread over the nodes when an account joins
  uint32_t nodes = 2;
  double rate = 10.0;           // players served per second, all nodes together
  double reported_rate = -1.0;  // "rate" in the answer; negative: `rate`
  uint64_t backlog = 0;
  uint64_t vcap = 1000;
  uint64_t delay_ms = 1000;  // the grace period at the front
  HttpStorm authenticate_storm;
  HttpStorm ticker_storm;
  HttpStorm token_storm;
  bool ticker_busy = false;  // tickers answer "BUSY"
  bool token_busy = false;   // "/token" answers "BUSY"
  // Which endpoint answers 200 with a body that is not JSON: "", "authenticate", "ticker"
  // or "token".
  std::string malformed;
};

struct Scenario {
  std::vector<PlatformAccount> accounts;
  PlatformSettings platform;
  LoginQueueSettings login_queue;
};

// Reads a scenario from a JSON or YAML text (YAML unless it starts with "{" after white
// space). Fails on a decoding error, an unknown knob or a wrong value.
[[nodiscard]] kiv::Result<Scenario> ParseScenario(std::string_view text);
[[nodiscard]] kiv::Result<Scenario> LoadScenarioFile(const std::string& path);

const char* FaultName(Fault fault);
[[nodiscard]] bool ParseFault(std::string_view name, Fault* fault);
// "", "not-base64", "not-gzip", "truncated".
const char* MalformedPayloadName(MalformedPayload malformed);
[[nodiscard]] bool ParseMalformedPayload(std::string_view name, MalformedPayload* malformed);

}  // namespace Voro::Sim
