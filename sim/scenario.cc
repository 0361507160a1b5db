#include "sim/scenario.h"

#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <utility>

#include "binding/codec/json_reader.h"
#include "binding/codec/yaml_reader.h"
#include "binding/value/binding_result.h"

namespace Voro::Sim {
namespace {

// `value` as a T, when it is a whole number T holds.
template <typename T>
bool WholeNumber(const BindingProperty& value, T* out) {
  if (value.type() == BindingType::kUnsigned) {
    if (value.GetUnsigned() > static_cast<uint64_t>(std::numeric_limits<T>::max())) return false;
    *out = static_cast<T>(value.GetUnsigned());
    return true;
  }
  if (value.type() == BindingType::kSigned) {
    const int64_t v = value.GetSigned();
    const bool fits = std::numeric_limits<T>::is_signed
                          ? v >= static_cast<int64_t>(std::numeric_limits<T>::min())
                          : v >= 0;
    if (fits) *out = static_cast<T>(v);
    return fits;
  }
  return false;
}

// Reads the knobs of one structure and remembers which names were read, so that a
// misspelt knob is an error instead of a silently ignored line.
class Knobs {
 public:
  Knobs(const BindingProperty& node, std::string path, std::string* error)
      : node_(node), path_(std::move(path)), error_(error) {
    if (node.type() != BindingType::kStructure && node.type() != BindingType::kEmpty) {
      Fail(path_.empty() ? "the scenario" : path_, "must be a mapping");
    }
  }

  bool ok() const { return error_->empty(); }

  const BindingProperty* Find(const char* name) {
    known_.insert(name);
    const BindingProperty* value = node_.FindField(name);
    return value == nullptr || value->type() == BindingType::kEmpty ? nullptr : value;
  }

  template <typename T>
  void Integer(const char* name, T* out) {
    const BindingProperty* value = Find(name);
    if (value == nullptr) return;
    if (!WholeNumber(*value, out)) Fail(Path(name), "must be a whole number in range");
  }

  void Number(const char* name, double* out) {
    const BindingProperty* value = Find(name);
    if (value == nullptr) return;
    switch (value->type()) {
      case BindingType::kUnsigned:
      case BindingType::kSigned:
      case BindingType::kFloat:
        *out = value->ToDouble();
        return;
      default:
        Fail(Path(name), "must be a number");
    }
  }

  void Bool(const char* name, bool* out) {
    const BindingProperty* value = Find(name);
    if (value == nullptr) return;
    if (value->type() != BindingType::kBool) {
      Fail(Path(name), "must be true or false");
      return;
    }
    *out = value->GetBool();
  }

  // Numbers are taken as their text, so that "platform_id: 1" is not an error.
  void Text(const char* name, std::string* out) {
    const BindingProperty* value = Find(name);
    if (value == nullptr) return;
    switch (value->type()) {
      case BindingType::kString:
      case BindingType::kUnsigned:
      case BindingType::kSigned:
      case BindingType::kFloat:
      case BindingType::kBool:
        *out = value->ToString();
        return;
      default:
        Fail(Path(name), "must be a text");
    }
  }

  // Fails on every field no reader asked for.
  void CheckAllKnown() {
    if (!ok()) return;
    for (const auto& field : node_.Fields()) {
      if (known_.count(std::string(field.key)) == 0) {
        Fail(Path(std::string(field.key).c_str()), "is not a known setting");
        return;
      }
    }
  }

  std::string Path(const char* name) const { return path_.empty() ? name : path_ + "." + name; }

  void Fail(const std::string& where, const std::string& what) {
    if (error_->empty()) *error_ = where + " " + what;
  }

 private:
  const BindingProperty& node_;
  std::string path_;
  std::string* error_;
  std::set<std::string> known_;
};

void ReadFault(Knobs& knobs, const char* name, Fault* fault) {
  std::string text;
  knobs.Text(name, &text);
  if (!text.empty() && !ParseFault(text, fault)) {
    knobs.Fail(knobs.Path(name),
               "must be one of none, no_answer, error, drop, malformed (not \"" + text + "\")");
  }
}

bool ParseQueueOutcome(std::string_view name, QueueOutcome* outcome) {
  static const std::pair<std::string_view, QueueOutcome> kNames[] = {
      {"auto", QueueOutcome::kAuto},          {"login", QueueOutcome::kLogin},
      {"queue", QueueOutcome::kQueue},        {"busy", QueueOutcome::kBusy},
      {"arl_queue", QueueOutcome::kArlQueue}, {"failed", QueueOutcome::kFailed},
      {"banned", QueueOutcome::kBanned}};
  for (const auto& [text, value] : kNames) {
    if (text == name) {
      *outcome = value;
      return true;
    }
  }
  return false;
}

template <typename F>
void EachElement(Knobs& parent, const char* name, std::string* error, F&& read) {
  const BindingProperty* list = parent.Find(name);
  if (list == nullptr) return;
  if (list->type() != BindingType::kCollection) {
    parent.Fail(parent.Path(name), "must be a list");
    return;
  }
  for (size_t i = 0; i < list->size() && error->empty(); ++i) {
    Knobs element(list->Element(i), parent.Path(name) + "[" + std::to_string(i) + "]", error);
    if (!element.ok()) return;
    read(element);
    element.CheckAllKnown();
  }
}

// Fails on a "__class" anywhere in `value` that is not a class name: the mapping would
// quietly go out as an anonymous object.
void CheckClassNames(Knobs& knobs, const BindingProperty& value, const std::string& path) {
  if (value.type() == BindingType::kCollection) {
    for (size_t i = 0; i < value.size(); ++i) {
      CheckClassNames(knobs, value.Element(i), path + "[" + std::to_string(i) + "]");
    }
  } else if (value.type() == BindingType::kStructure) {
    for (const auto& field : value.Fields()) {
      const std::string at = path + "." + std::string(field.key);
      if (field.key != "__class") {
        CheckClassNames(knobs, field.value, at);
      } else if (field.value.type() != BindingType::kString || field.value.GetString().empty()) {
        knobs.Fail(at, "must be a class name");
      }
    }
  }
}

void ReadAccount(Knobs& knobs, PlatformAccount* account) {
  knobs.Text("username", &account->username);
  knobs.Text("password", &account->password);
  knobs.Text("partner_credentials", &account->partner_credentials);
  knobs.Text("access_token", &account->access_token);
  knobs.Integer("account_id", &account->account_id);
  knobs.Integer("summoner_id", &account->summoner_id);
  knobs.Text("summoner_name", &account->summoner_name);
  knobs.Integer("profile_icon_id", &account->profile_icon_id);
  knobs.Integer("summoner_level", &account->summoner_level);
  knobs.Integer("ip_balance", &account->ip_balance);
  knobs.Integer("vp_balance", &account->vp_balance);
  knobs.Text("platform_id", &account->platform_id);
  knobs.Text("puuid", &account->puuid);
  knobs.Text("login_error_code", &account->login_error_code);
  if (const BindingProperty* states = knobs.Find("account_states")) {
    account->account_states.clear();
    for (size_t i = 0; i < states->size(); ++i) {
      if (states->Element(i).type() != BindingType::kString) {
        knobs.Fail(knobs.Path("account_states"), "must be a list of state names");
        return;
      }
      account->account_states.emplace_back(states->Element(i).GetString());
    }
    if (states->type() != BindingType::kCollection || account->account_states.empty()) {
      knobs.Fail(knobs.Path("account_states"), "must be a list of state names");
    }
  }
  if (const BindingProperty* credentials = knobs.Find("reconnect_credentials")) {
    if (credentials->type() != BindingType::kStructure) {
      knobs.Fail(knobs.Path("reconnect_credentials"), "must be a mapping");
    }
    account->reconnect_credentials = *credentials;
  }
  std::string outcome;
  knobs.Text("queue_outcome", &outcome);
  if (!outcome.empty() && !ParseQueueOutcome(outcome, &account->queue_outcome)) {
    knobs.Fail(knobs.Path("queue_outcome"),
               "must be one of auto, login, queue, busy, arl_queue, failed, banned");
  }
  knobs.Text("queue_reason", &account->queue_reason);
  knobs.Text("ban_reason", &account->ban_reason);
  knobs.Integer("ban_expiration", &account->ban_expiration);
  knobs.Bool("in_game", &account->in_game);
}

void ReadStorm(Knobs& parent, const char* name, std::string* error, HttpStorm* storm) {
  const BindingProperty* node = parent.Find(name);
  if (node == nullptr) return;
  Knobs knobs(*node, parent.Path(name), error);
  knobs.Integer("count", &storm->count);
  knobs.Integer("status", &storm->status);
  knobs.Text("body", &storm->body);
  knobs.CheckAllKnown();
}

void ReadDrops(Knobs& parent, std::string* error, DropSettings* drops) {
  const BindingProperty* node = parent.Find("drops");
  if (node == nullptr) return;
  Knobs knobs(*node, parent.Path("drops"), error);
  knobs.Integer("after_ms", &drops->after_ms);
  if (const BindingProperty* range = knobs.Find("every_ms")) {
    DelayRange every;
    if (range->type() != BindingType::kCollection || range->size() != 2 ||
        !WholeNumber(range->Element(0), &every.min_ms) ||
        !WholeNumber(range->Element(1), &every.max_ms)) {
      knobs.Fail(knobs.Path("every_ms"), "must be [min, max], two whole numbers of ms");
    } else if (every.min_ms > every.max_ms) {
      knobs.Fail(knobs.Path("every_ms"), "must not have its min above its max");
    } else if (drops->after_ms == 0) {
      // Repeats follow the first drop, which after_ms 0 never makes.
      knobs.Fail(knobs.Path("every_ms"), "needs after_ms");
    }
    drops->every_ms = every;
  }
  knobs.Integer("seed", &drops->seed);
  knobs.CheckAllKnown();
}

void ReadRefusals(Knobs& parent, std::string* error, ReconnectRefusals* refusals) {
  const BindingProperty* node = parent.Find("refuse_reconnects");
  if (node == nullptr) return;
  Knobs knobs(*node, parent.Path("refuse_reconnects"), error);
  knobs.Integer("count", &refusals->count);
  knobs.Integer("every", &refusals->every);
  knobs.Text("root_cause", &refusals->root_cause);
  // Without a root cause the refusal would read as a plain credentials failure.
  if (refusals->root_cause.empty()) knobs.Fail(knobs.Path("root_cause"), "must not be empty");
  knobs.CheckAllKnown();
}

void ReadPlatform(Knobs& knobs, std::string* error, PlatformSettings* platform) {
  knobs.Integer("chunk_size", &platform->chunk_size);
  knobs.Bool("require_queue_token", &platform->require_queue_token);
  if (const BindingProperty* node = knobs.Find("faults")) {
    Knobs faults(*node, knobs.Path("faults"), error);
    ReadFault(faults, "login", &platform->faults.login);
    ReadFault(faults, "subscribe", &platform->faults.subscribe);
    ReadFault(faults, "channel_login", &platform->faults.channel_login);
    ReadFault(faults, "login_data_packet", &platform->faults.login_data_packet);
    ReadFault(faults, "account_state", &platform->faults.account_state);
    ReadFault(faults, "service_proxy", &platform->faults.service_proxy);
    ReadFault(faults, "logout", &platform->faults.logout);
    faults.CheckAllKnown();
  }
  if (const BindingProperty* node = knobs.Find("service_proxy")) {
    Knobs proxy(*node, knobs.Path("service_proxy"), error);
    proxy.Integer("delay_ms", &platform->service_proxy.delay_ms);
    proxy.Bool("compress", &platform->service_proxy.compress);
    EachElement(proxy, "answers", error, [&](Knobs& item) {
      ServiceProxyAnswer answer;
      item.Text("service", &answer.service);
      item.Text("method", &answer.method);
      item.Text("status", &answer.status);
      item.Text("payload", &answer.payload);
      if (item.Find("compress") != nullptr) {
        bool compress = false;
        item.Bool("compress", &compress);
        answer.compress = compress;
      }
      std::string malformed;
      item.Text("malformed", &malformed);
      if (!ParseMalformedPayload(malformed, &answer.malformed)) {
        item.Fail(item.Path("malformed"),
                  "must be one of not-base64, not-gzip, truncated (not \"" + malformed + "\")");
      }
      // Present, even empty, it replaces the uuid: an empty id is a case worth playing too.
      if (item.Find("message_id") != nullptr) {
        std::string id;
        item.Text("message_id", &id);
        answer.message_id = id;
      }
      item.Bool("also_ack", &answer.also_ack);
      item.Text("response_method", &answer.response_method);
      platform->service_proxy.answers.push_back(std::move(answer));
    });
    proxy.CheckAllKnown();
  }
  EachElement(knobs, "services", error, [&](Knobs& item) {
    ScriptedService service;
    item.Text("destination", &service.destination);
    item.Text("operation", &service.operation);
    if (const BindingProperty* value = item.Find("value")) {
      CheckClassNames(item, *value, item.Path("value"));
      service.value = *value;
    }
    item.Bool("array_collections", &service.array_collections);
    if (const BindingProperty* node = item.Find("fault")) {
      Knobs fault(*node, item.Path("fault"), error);
      ServiceFault answer;
      fault.Text("faultCode", &answer.code);
      fault.Text("faultString", &answer.text);
      // The client tells a fault by its code; an empty one would read as no fault at all.
      if (answer.code.empty()) fault.Fail(fault.Path("faultCode"), "must not be empty");
      fault.CheckAllKnown();
      if (service.value.type() != BindingType::kEmpty) {
        item.Fail(item.Path("fault"), "and value do not go together");
      }
      service.fault = std::move(answer);
    }
    platform->services.push_back(std::move(service));
  });
  EachElement(knobs, "pushes", error, [&](Knobs& item) {
    ScheduledPush push;
    item.Integer("delay_ms", &push.delay_ms);
    item.Text("class", &push.class_name);
    item.Text("subtopic", &push.subtopic);
    item.Bool("array_collections", &push.array_collections);
    if (const BindingProperty* body = item.Find("body")) {
      if (body->type() != BindingType::kStructure) {
        item.Fail(item.Path("body"), "must be a mapping");
      }
      push.body = *body;
    }
    if (push.class_name.empty()) item.Fail(item.Path("class"), "is required");
    platform->pushes.push_back(std::move(push));
  });
  ReadDrops(knobs, error, &platform->drops);
  ReadRefusals(knobs, error, &platform->refuse_reconnects);
}

void ReadLoginQueue(Knobs& knobs, std::string* error, LoginQueueSettings* queue) {
  knobs.Text("queue_name", &queue->queue_name);
  knobs.Integer("players_ahead", &queue->players_ahead);
  knobs.Integer("nodes", &queue->nodes);
  knobs.Number("rate", &queue->rate);
  knobs.Number("reported_rate", &queue->reported_rate);
  knobs.Integer("backlog", &queue->backlog);
  knobs.Integer("vcap", &queue->vcap);
  knobs.Integer("delay_ms", &queue->delay_ms);
  ReadStorm(knobs, "authenticate_storm", error, &queue->authenticate_storm);
  ReadStorm(knobs, "ticker_storm", error, &queue->ticker_storm);
  ReadStorm(knobs, "token_storm", error, &queue->token_storm);
  knobs.Bool("ticker_busy", &queue->ticker_busy);
  knobs.Bool("token_busy", &queue->token_busy);
  knobs.Text("malformed", &queue->malformed);
  if (queue->nodes == 0 || queue->nodes > 64) knobs.Fail(knobs.Path("nodes"), "must be 1 to 64");
  if (!(queue->rate >= 0)) knobs.Fail(knobs.Path("rate"), "must not be negative");
  if (queue->queue_name.empty() || queue->queue_name.find('/') != std::string::npos) {
    knobs.Fail(knobs.Path("queue_name"), "must be a non-empty name without \"/\"");
  }
  static const std::set<std::string> kMalformed = {"", "authenticate", "ticker", "token"};
  if (kMalformed.count(queue->malformed) == 0) {
    knobs.Fail(knobs.Path("malformed"), "must be one of authenticate, ticker, token");
  }
}

}  // namespace

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kNone:
      return "none";
    case Fault::kNoAnswer:
      return "no_answer";
    case Fault::kError:
      return "error";
    case Fault::kDrop:
      return "drop";
    case Fault::kMalformed:
      return "malformed";
  }
  return "none";
}

bool ParseFault(std::string_view name, Fault* fault) {
  for (Fault f : {Fault::kNone, Fault::kNoAnswer, Fault::kError, Fault::kDrop, Fault::kMalformed}) {
    if (name == FaultName(f)) {
      *fault = f;
      return true;
    }
  }
  return false;
}

const char* MalformedPayloadName(MalformedPayload malformed) {
  switch (malformed) {
    case MalformedPayload::kNone:
      return "";
    case MalformedPayload::kNotBase64:
      return "not-base64";
    case MalformedPayload::kNotGzip:
      return "not-gzip";
    case MalformedPayload::kTruncated:
      return "truncated";
  }
  return "";
}

bool ParseMalformedPayload(std::string_view name, MalformedPayload* malformed) {
  for (MalformedPayload m : {MalformedPayload::kNone, MalformedPayload::kNotBase64,
                             MalformedPayload::kNotGzip, MalformedPayload::kTruncated}) {
    if (name == MalformedPayloadName(m)) {
      *malformed = m;
      return true;
    }
  }
  return false;
}

kiv::Result<Scenario> ParseScenario(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  const bool json = first != std::string_view::npos && text[first] == '{';
  BindingResult decoded = json ? ParseJson(text) : ParseYaml(text);
  if (!decoded.ok()) return kiv::Error{std::string(decoded.error())};
  Scenario result;
  // The first fault any reader finds; the readers stop adding to it once it is set.
  std::string fault;
  Knobs top(decoded.value(), "", &fault);
  EachElement(top, "accounts", &fault, [&](Knobs& item) {
    PlatformAccount account;
    ReadAccount(item, &account);
    if (account.username.empty()) item.Fail(item.Path("username"), "is required");
    result.accounts.push_back(std::move(account));
  });
  if (const BindingProperty* node = top.Find("platform")) {
    Knobs platform(*node, "platform", &fault);
    ReadPlatform(platform, &fault, &result.platform);
    platform.CheckAllKnown();
  }
  if (const BindingProperty* node = top.Find("login_queue")) {
    Knobs queue(*node, "login_queue", &fault);
    ReadLoginQueue(queue, &fault, &result.login_queue);
    queue.CheckAllKnown();
  }
  top.CheckAllKnown();
  if (!fault.empty()) return kiv::Error{std::move(fault)};
  return result;
}

kiv::Result<Scenario> LoadScenarioFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return kiv::Error{"cannot read " + path};
  std::ostringstream text;
  text << in.rdbuf();
  auto scenario = ParseScenario(text.str());
  if (!scenario.ok()) return kiv::Error{path + ": " + scenario.error()};
  return scenario;
}

}  // namespace Voro::Sim
