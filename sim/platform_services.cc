#include "sim/platform_services.h"

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "binding/value/base64.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_member.h"
#include "sim/amf_builders.h"

namespace Voro::Sim {
namespace {

constexpr char kServiceProxyResponseClass[] =
    "com.vorogames.platform.serviceproxy.dispatch.LcdsServiceProxyResponse";

// gzip (not zlib) framing, as the service proxy's compressed payloads use.
std::string Gzip(const std::string& text) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return {};
  }
  std::string out(deflateBound(&stream, text.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return status == Z_STREAM_END ? out : std::string();
}

std::string Base64(const std::string& bytes) {
  return Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// The "payload" of a service proxy response carrying `text`.
std::string ProxyPayload(const std::string& text, bool compressed, MalformedPayload malformed) {
  switch (malformed) {
    case MalformedPayload::kNotBase64:
      // A space and a colon are outside Base64's alphabet, whatever the text.
      return "not Base64: " + text;
    case MalformedPayload::kNotGzip:
      return Base64(text);
    case MalformedPayload::kTruncated: {
      // A gzip stream is at least 20 bytes, so its 10-byte header stays whole.
      const std::string packed = Gzip(text);
      return Base64(packed.substr(0, packed.size() / 2));
    }
    case MalformedPayload::kNone:
      break;
  }
  return compressed ? Base64(Gzip(text)) : text;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The push body with the session's values put in for "$token", "$user" and "$account_id".
void Substitute(BindingProperty& value, const std::map<std::string, std::string>& values) {
  if (value.type() == BindingType::kString) {
    std::string text(value.GetString());
    for (const auto& [from, to] : values) text = Replace(std::move(text), from, to);
    value = text;
  } else if (value.type() == BindingType::kCollection) {
    for (BindingProperty& element : value.Elements()) Substitute(element, values);
  } else if (value.type() == BindingType::kStructure) {
    for (auto field : value.Fields()) Substitute(field.value, values);
  }
}

}  // namespace

PlatformServices::PlatformServices() = default;
PlatformServices::~PlatformServices() = default;

void PlatformServices::AddAccount(PlatformAccount account) {
  std::lock_guard lock(mutex_);
  std::string name = account.username;
  accounts_[name] = std::move(account);
}

void PlatformServices::SetFaults(const PlatformFaults& faults) {
  std::lock_guard lock(mutex_);
  settings_.faults = faults;
}

void PlatformServices::Configure(const PlatformSettings& settings) {
  std::lock_guard lock(mutex_);
  settings_ = settings;
  user_faults_.clear();
  drop_random_.seed(settings.drops.seed);
}

void PlatformServices::SetTokenCheck(TokenCheck check) {
  std::lock_guard lock(mutex_);
  token_check_ = std::move(check);
}

void PlatformServices::SetObserver(Observer observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void PlatformServices::Attach(RtmpServer& server) {
  server.SetCallHandler([this](RtmpServerSession& session, const RtmpMessage& call) {
    return Handle(session, call);
  });
}

std::vector<std::string> PlatformServices::journal() const {
  std::lock_guard lock(mutex_);
  return journal_;
}

std::string PlatformServices::SessionToken(const std::string& user) const {
  std::lock_guard lock(mutex_);
  const auto it = tokens_.find(user);
  return it == tokens_.end() ? std::string() : it->second;
}

void PlatformServices::Note(std::string line) {
  Observer observer;
  {
    std::lock_guard lock(mutex_);
    journal_.push_back(line);
    observer = observer_;
  }
  if (observer) observer(line);
}

size_t PlatformServices::PushTo(const std::string& user, const Amf3Item& body,
                                const std::string& subtopic) {
  std::vector<std::shared_ptr<RtmpServerSession>> sessions;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [client_id, connection] : connections_) {
      if (connection.user != user) continue;
      if (auto session = connection.session.lock(); session && !session->closed()) {
        sessions.push_back(std::move(session));
      }
    }
  }
  const std::string class_name =
      body.kind() == Amf3Kind::kObject ? std::string(body.AsObject().class_name()) : "";
  size_t sent = 0;
  for (const auto& session : sessions) {
    Note("push " + class_name);
    sent += session->SendPush(AsyncMessage(body, subtopic, session->client_id())) ? 1 : 0;
  }
  return sent;
}

bool PlatformServices::Answer(RtmpServerSession& session, const RtmpMessage& call, Fault fault,
                              const Amf3Item& body) {
  switch (fault) {
    case Fault::kNoAnswer:
      return true;
    case Fault::kDrop:
      session.Drop();
      return true;
    case Fault::kError:
      return Refuse(session, call, "Server.Processing", "Injected failure");
    case Fault::kMalformed:
      // A command whose name is cut short: a reader finds no usable answer in it.
      session.Send(RtmpMessage::Raw(call.header.type, {0x00, 0x02, 0x00, 0x07, '_', 'r'}));
      return true;
    case Fault::kNone:
      break;
  }
  const Amf3Item ack =
      TypedObject("flex.messaging.messages.AcknowledgeMessage",
                  {{"body", body},
                   {"clientId", Amf3Item::String(session.client_id())},
                   {"correlationId",
                    Amf3Item::String(MemberText(call.command().arguments.at(0), "messageId"))}});
  session.SendResult(call.header.type, call.command().transaction_id, AmfValue(ack));
  return true;
}

bool PlatformServices::Refuse(RtmpServerSession& session, const RtmpMessage& call,
                              const std::string& code, const std::string& text,
                              const std::string& root_cause_code) {
  Amf3Item error = DynamicObject({{"faultCode", Amf3Item::String(code)},
                                  {"faultString", Amf3Item::String(text)},
                                  {"faultDetail", Amf3Item::String("")}});
  if (!root_cause_code.empty()) {
    error.MutableObject()->SetDynamicMember(
        "rootCause", DynamicObject({{"errorCode", Amf3Item::String(root_cause_code)},
                                    {"message", Amf3Item::String(text)}}));
  }
  session.SendError(call.header.type, call.command().transaction_id, AmfValue(error));
  return true;
}

Amf3Item PlatformServices::LoginDataPacket(const PlatformAccount& account) const {
  const Amf3Item summoner =
      TypedObject("com.vorogames.platform.summoner.Summoner",
                  {{"sumId", WholeNumber(account.summoner_id)},
                   {"acctId", WholeNumber(account.account_id)},
                   {"name", Amf3Item::String(account.summoner_name)},
                   {"profileIconId", Amf3Item::Integer(account.profile_icon_id)},
                   {"nameChangeFlag", Amf3Item::Boolean(false)}});
  const Amf3Item level = TypedObject("com.vorogames.platform.summoner.SummonerLevelAndPoints",
                                     {{"summonerLevel", WholeNumber(account.summoner_level)},
                                      {"sumId", WholeNumber(account.summoner_id)}});
  const Amf3Item all = TypedObject("com.vorogames.platform.summoner.AllSummonerData",
                                   {{"summoner", summoner}, {"summonerLevelAndPoints", level}});
  Amf3Item reconnect = Amf3Item::Null();
  if (account.reconnect_credentials.type() == BindingType::kStructure) {
    reconnect = TypedObject(
        "com.vorogames.platform.reconnect.ReconnectInfo",
        {{"playerCredentials", TypedDynamicObject("com.vorogames.platform.game.PlayerCredentials",
                                                  account.reconnect_credentials)}});
  }
  return TypedObject("com.vorogames.platform.clientfacade.domain.LoginDataPacket",
                     {{"allSummonerData", all},
                      {"ipBalance", WholeNumber(account.ip_balance)},
                      {"vpBalance", WholeNumber(account.vp_balance)},
                      {"platformId", Amf3Item::String(account.platform_id)},
                      {"reconnectInfo", reconnect}});
}

bool PlatformServices::AccountOf(const RtmpServerSession& session, PlatformAccount* account) {
  std::lock_guard lock(mutex_);
  const auto connection = connections_.find(session.client_id());
  if (connection == connections_.end()) return false;
  const auto it = accounts_.find(connection->second.user);
  if (it == accounts_.end()) return false;
  *account = it->second;
  return true;
}

bool PlatformServices::Handle(RtmpServerSession& session, const RtmpMessage& call) {
  const RtmpCommand& command = call.command();
  if (command.arguments.empty()) {
    return false;
  }
  const AmfValue& message = command.arguments[0];
  if (!message.is_amf3() || message.amf3().kind() != Amf3Kind::kObject) {
    return false;
  }
  const std::string_view class_name = message.amf3().AsObject().class_name();
  if (class_name == "flex.messaging.messages.CommandMessage") {
    return HandleCommand(session, call, message);
  }
  if (class_name != "flex.messaging.messages.RemotingMessage") {
    return false;
  }
  const std::string destination = MemberText(message, "destination");
  const std::string operation = MemberText(message, "operation");
  const AmfValue body = AmfMember(message, "body");
  if (destination == "loginService" && operation == "login") {
    return HandleLogin(session, call, body);
  }
  if (destination == "loginService" && operation == "logout") {
    return HandleLogout(session, call);
  }
  if (destination == "clientFacadeService" && operation == "getLoginDataPacketForUser") {
    return HandleLoginDataPacket(session, call);
  }
  if (destination == "accountService" && operation == "getAccountStateForCurrentSession") {
    return HandleAccountState(session, call);
  }
  if (destination == "lcdsServiceProxy" && operation == "call") {
    return HandleServiceProxy(session, call, body);
  }
  Note(destination + "." + operation);
  return HandleScripted(session, call, destination, operation);
}

bool PlatformServices::HandleScripted(RtmpServerSession& session, const RtmpMessage& call,
                                      const std::string& destination,
                                      const std::string& operation) {
  std::optional<ScriptedService> scripted;
  {
    std::lock_guard lock(mutex_);
    for (const ScriptedService& candidate : settings_.services) {
      if ((candidate.destination.empty() || candidate.destination == destination) &&
          (candidate.operation.empty() || candidate.operation == operation)) {
        scripted = candidate;
        break;
      }
    }
  }
  if (!scripted) return Answer(session, call, Fault::kNone, Amf3Item::Null());
  if (scripted->fault) return Refuse(session, call, scripted->fault->code, scripted->fault->text);
  Amf3Item value = ScriptedValue(scripted->value);
  if (scripted->array_collections) value = AsArrayCollections(value);
  return Answer(session, call, Fault::kNone, value);
}

bool PlatformServices::HandleCommand(RtmpServerSession& session, const RtmpMessage& call,
                                     const AmfValue& message) {
  const AmfValue operation_value = AmfMember(message, "operation");
  const int32_t operation =
      operation_value.is_amf3() && operation_value.amf3().kind() == Amf3Kind::kInteger
          ? operation_value.amf3().AsInteger()
          : -1;
  PlatformFaults faults;
  {
    std::lock_guard lock(mutex_);
    faults = settings_.faults;
  }
  if (operation == 0 || operation == 1) {
    const std::string subtopic = MemberText(AmfMember(message, "headers"), "DSSubtopic");
    Note(std::string(operation == 0 ? "subscribe " : "unsubscribe ") + subtopic);
    return Answer(session, call, faults.subscribe, Amf3Item::Null());
  }
  if (operation != 8) {
    return false;
  }
  std::string user;
  {
    const std::string body = MemberText(message, "body");
    std::lock_guard lock(mutex_);
    for (const auto& [name, issued] : tokens_) {
      const std::string expected = name + ":" + issued;
      if (Base64Encode(reinterpret_cast<const uint8_t*>(expected.data()), expected.size()) ==
          body) {
        user = name;
      }
    }
  }
  return HandleChannelLogin(session, call, user, faults.channel_login);
}

bool PlatformServices::HandleChannelLogin(RtmpServerSession& session, const RtmpMessage& call,
                                          const std::string& user, Fault fault) {
  if (fault != Fault::kNone || user.empty()) {
    Note("auth " + user);
    if (fault == Fault::kNone) {
      return Refuse(session, call, "Server.Security.Credentials", "Invalid credentials");
    }
    return Answer(session, call, fault, Amf3Item::String("success"));
  }
  bool reconnect = false;
  bool refused = false;
  std::string root_cause;
  {
    std::lock_guard lock(mutex_);
    const auto it = connections_.find(session.client_id());
    reconnect = it == connections_.end() || !it->second.logged_in;
    if (reconnect) {
      const ReconnectRefusals& refusals = settings_.refuse_reconnects;
      const uint64_t number = ++user_faults_[user].reconnects;
      refused = number <= refusals.count || (refusals.every != 0 && number % refusals.every == 0);
      root_cause = refusals.root_cause;
      if (!refused) {
        Connection& connection = connections_[session.client_id()];
        connection.session = session.weak_from_this();
        connection.user = user;
      }
    }
  }
  if (refused) {
    Note("refuse reconnect " + user);
    Note("auth " + user);
    return Refuse(session, call, "Server.Processing", "Reconnect refused", root_cause);
  }
  if (reconnect) Note("reconnect " + user);
  Note("auth " + user);
  const bool answered = Answer(session, call, Fault::kNone, Amf3Item::String("success"));
  if (reconnect) ArmDrop(session, user);
  return answered;
}

void PlatformServices::ArmDrop(RtmpServerSession& session, const std::string& user) {
  uint32_t delay_ms = 0;
  {
    std::lock_guard lock(mutex_);
    const DropSettings& drops = settings_.drops;
    if (drops.after_ms == 0) return;
    if (user_faults_[user].drops == 0) {
      delay_ms = drops.after_ms;
    } else if (drops.every_ms) {
      // Modulo rather than a distribution, whose draws differ between standard libraries.
      const uint64_t span = uint64_t{drops.every_ms->max_ms} - drops.every_ms->min_ms + 1;
      delay_ms = drops.every_ms->min_ms + static_cast<uint32_t>(drop_random_() % span);
    } else {
      return;
    }
  }
  std::weak_ptr<RtmpServerSession> weak = session.weak_from_this();
  delayed_.After(std::chrono::milliseconds(delay_ms), [this, weak, user] {
    const std::shared_ptr<RtmpServerSession> target = weak.lock();
    if (!target || target->closed()) return;
    {
      std::lock_guard lock(mutex_);
      // A connection logged out in the meantime is no longer the user's to drop.
      const auto it = connections_.find(target->client_id());
      if (it == connections_.end() || it->second.user != user) return;
      // Without repeats a user is dropped once, even with two connections armed.
      if (!settings_.drops.every_ms && user_faults_[user].drops > 0) return;
      connections_.erase(it);
      ++user_faults_[user].drops;
    }
    // Journaled first, so that whoever sees the connection gone finds the line.
    Note("drop " + user);
    target->Drop();
  });
}

bool PlatformServices::HandleLogin(RtmpServerSession& session, const RtmpMessage& call,
                                   const AmfValue& body) {
  const AmfValue credentials = FirstDenseElement(body);
  const std::string user = MemberText(credentials, "username");
  Note("loginService.login " + user);
  PlatformAccount account;
  bool known = false;
  PlatformSettings settings;
  TokenCheck token_check;
  {
    std::lock_guard lock(mutex_);
    if (auto it = accounts_.find(user); it != accounts_.end()) {
      account = it->second;
      known = true;
    }
    settings = settings_;
    token_check = token_check_;
  }
  if (settings.faults.login != Fault::kNone) {
    return Answer(session, call, settings.faults.login, Amf3Item::Null());
  }
  const std::string partner = MemberText(credentials, "partnerCredentials");
  const bool credentials_match = partner.empty()
                                     ? MemberText(credentials, "password") == account.password
                                     : partner == account.partner_credentials;
  const bool token_issued = token_check && token_check(user, MemberText(credentials, "authToken"));
  const bool accepted =
      known && (settings.require_queue_token ? token_issued : credentials_match || token_issued);
  if (!accepted) {
    return Refuse(session, call, "Server.Processing", "Login failed", "LOGIN-0001");
  }
  if (!account.login_error_code.empty()) {
    return Refuse(session, call, "Server.Processing", "Login refused", account.login_error_code);
  }
  std::string token;
  {
    std::lock_guard lock(mutex_);
    token = "sim-token-" + std::to_string(next_token_++);
    tokens_[user] = token;
    Connection& connection = connections_[session.client_id()];
    connection.session = session.weak_from_this();
    connection.user = user;
    connection.logged_in = true;
  }
  return Answer(session, call, Fault::kNone,
                TypedObject("com.vorogames.platform.login.Session",
                            {{"token", Amf3Item::String(token)},
                             {"password", Amf3Item::String(account.password)},
                             {"accountSummary",
                              TypedObject("com.vorogames.platform.account.AccountSummary",
                                          {{"username", Amf3Item::String(user)},
                                           {"accountId", WholeNumber(account.account_id)}})}}));
}

bool PlatformServices::HandleLoginDataPacket(RtmpServerSession& session, const RtmpMessage& call) {
  Note("clientFacadeService.getLoginDataPacketForUser");
  PlatformAccount account;
  const bool logged_in = AccountOf(session, &account);
  Fault fault;
  {
    std::lock_guard lock(mutex_);
    fault = settings_.faults.login_data_packet;
  }
  if (fault == Fault::kNone && !logged_in) {
    return Refuse(session, call, "Server.Security.Credentials", "Not logged in");
  }
  const bool answered = Answer(session, call, fault, LoginDataPacket(account));
  if (fault == Fault::kNone) {
    SchedulePushes(session, account, SessionToken(account.username));
    ArmDrop(session, account.username);
  }
  return answered;
}

bool PlatformServices::HandleAccountState(RtmpServerSession& session, const RtmpMessage& call) {
  PlatformAccount account;
  const bool logged_in = AccountOf(session, &account);
  std::string state = "ENABLED";
  Fault fault;
  {
    std::lock_guard lock(mutex_);
    fault = settings_.faults.account_state;
    if (logged_in && !account.account_states.empty()) {
      size_t& reads = connections_[session.client_id()].account_state_reads;
      state = account.account_states[std::min(reads, account.account_states.size() - 1)];
      ++reads;
    }
  }
  Note("accountService.getAccountStateForCurrentSession " + state);
  if (fault == Fault::kNone && !logged_in) {
    return Refuse(session, call, "Server.Security.Credentials", "Not logged in");
  }
  return Answer(session, call, fault, Amf3Item::String(state));
}

bool PlatformServices::HandleServiceProxy(RtmpServerSession& session, const RtmpMessage& call,
                                          const AmfValue& body) {
  const std::vector<std::string> arguments = DenseTexts(body);
  const std::string uuid = arguments.size() > 0 ? arguments[0] : "";
  const std::string service = arguments.size() > 1 ? arguments[1] : "";
  const std::string method = arguments.size() > 2 ? arguments[2] : "";
  const std::string payload = arguments.size() > 3 ? arguments[3] : "";
  Note("lcdsServiceProxy.call " + service + "." + method);
  ServiceProxySettings proxy;
  Fault fault;
  {
    std::lock_guard lock(mutex_);
    proxy = settings_.service_proxy;
    fault = settings_.faults.service_proxy;
  }
  const bool answered = Answer(session, call, fault, Amf3Item::Null());
  if (fault != Fault::kNone) return answered;

  ServiceProxyAnswer answer;
  answer.payload = "$payload";
  for (const ServiceProxyAnswer& candidate : proxy.answers) {
    if ((candidate.service.empty() || candidate.service == service) &&
        (candidate.method.empty() || candidate.method == method)) {
      answer = candidate;
      break;
    }
  }
  const std::string text = Replace(answer.payload, "$payload", payload);
  const bool compressed =
      answer.malformed != MalformedPayload::kNone || answer.compress.value_or(proxy.compress);
  const std::string message_id = answer.message_id.value_or(uuid);
  auto response = [&](const std::string& status, const std::string& carried, bool packed) {
    return TypedObject(
        kServiceProxyResponseClass,
        {{"serviceName", Amf3Item::String(service)},
         {"methodName",
          Amf3Item::String(answer.response_method.empty() ? method : answer.response_method)},
         {"messageId", Amf3Item::String(message_id)},
         {"status", Amf3Item::String(status)},
         {"payload", Amf3Item::String(carried)},
         {"compressedPayload", Amf3Item::Boolean(packed)}});
  };
  std::weak_ptr<RtmpServerSession> weak = session.weak_from_this();
  auto push_later = [this, &weak](uint32_t delay_ms, const Amf3Item& pushed) {
    delayed_.After(std::chrono::milliseconds(delay_ms), [this, weak, pushed] {
      if (auto target = weak.lock()) {
        Note(std::string("push ") + kServiceProxyResponseClass);
        target->SendPush(AsyncMessage(pushed, "cn-proxy", target->client_id()));
      }
    });
  };
  // Work due together runs in the order given, so the ACK goes first even with no delay.
  if (answer.also_ack) push_later(0, response("ACK", "", false));
  push_later(proxy.delay_ms,
             response(answer.status, ProxyPayload(text, compressed, answer.malformed), compressed));
  return answered;
}

bool PlatformServices::HandleLogout(RtmpServerSession& session, const RtmpMessage& call) {
  PlatformAccount account;
  AccountOf(session, &account);
  Note("loginService.logout " + account.username);
  Fault fault;
  {
    std::lock_guard lock(mutex_);
    fault = settings_.faults.logout;
    connections_.erase(session.client_id());
  }
  return Answer(session, call, fault, Amf3Item::Null());
}

void PlatformServices::SchedulePushes(RtmpServerSession& session, const PlatformAccount& account,
                                      const std::string& token) {
  std::vector<ScheduledPush> pushes;
  {
    std::lock_guard lock(mutex_);
    pushes = settings_.pushes;
  }
  const std::map<std::string, std::string> values = {
      {"$token", token},
      {"$user", account.username},
      {"$account_id", std::to_string(account.account_id)}};
  std::weak_ptr<RtmpServerSession> weak = session.weak_from_this();
  for (ScheduledPush& push : pushes) {
    Substitute(push.body, values);
    Amf3Item body = TypedDynamicObject(push.class_name, push.body);
    if (push.array_collections) body = AsArrayCollections(body);
    const std::string subtopic =
        push.subtopic.empty() ? "cn-" + std::to_string(account.account_id) : push.subtopic;
    const std::string class_name = push.class_name;
    delayed_.After(std::chrono::milliseconds(push.delay_ms),
                   [this, weak, body, subtopic, class_name] {
                     if (auto target = weak.lock()) {
                       Note("push " + class_name);
                       target->SendPush(AsyncMessage(body, subtopic, target->client_id()));
                     }
                   });
  }
}

}  // namespace Voro::Sim
