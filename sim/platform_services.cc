#include "sim/platform_services.h"

#include <utility>

#include "binding/base64.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_member.h"

namespace Voro::Sim {
namespace {

Amf3Item Dynamic(std::initializer_list<std::pair<const char*, Amf3Item>> members) {
  Amf3Item object(Amf3Kind::kObject);
  for (const auto& [name, value] : members) {
    object.MutableObject()->SetDynamicMember(name, value);
  }
  return object;
}

// An object of a sealed class named `class_name` whose members are those given, in order.
Amf3Item Typed(const char* class_name,
               std::initializer_list<std::pair<const char*, Amf3Item>> members) {
  bool created = false;
  auto amf_class = AmfClassRegistry::Global().FindOrCreate(
      class_name, false, false,
      [&members] {
        AmfMemberList list;
        for (const auto& [name, value] : members) {
          list.push_back({name, AmfTypeHint::Any()});
        }
        return list;
      },
      &created);
  Amf3Item object = Amf3Item::Object(std::make_shared<Amf3Object>(amf_class));
  for (const auto& [name, value] : members) {
    object.MutableObject()->SetMember(name, value);
  }
  return object;
}

Amf3Item Double(int64_t value) { return Amf3Item::Double(static_cast<double>(value)); }

std::string Text(const AmfValue& object, const char* name) {
  const std::string* text = AmfString(AmfMember(object, name));
  return text ? *text : std::string();
}

AmfValue FirstDense(const AmfValue& array) {
  if (array.is_amf3() && array.amf3().kind() == Amf3Kind::kArray &&
      !array.amf3().AsArray().dense.empty()) {
    return array.amf3().AsArray().dense.front();
  }
  return {};
}

}  // namespace

void PlatformServices::AddAccount(PlatformAccount account) {
  std::lock_guard lock(mutex_);
  std::string name = account.username;
  accounts_[name] = std::move(account);
}

void PlatformServices::SetFaults(const PlatformFaults& faults) {
  std::lock_guard lock(mutex_);
  faults_ = faults;
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

void PlatformServices::Note(std::string line) {
  std::lock_guard lock(mutex_);
  journal_.push_back(std::move(line));
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
    case Fault::kNone:
      break;
  }
  const Amf3Item ack = Typed(
      "flex.messaging.messages.AcknowledgeMessage",
      {{"body", body},
       {"clientId", Amf3Item::String(session.client_id())},
       {"correlationId", Amf3Item::String(Text(call.command().arguments.at(0), "messageId"))}});
  session.SendResult(call.header.type, call.command().transaction_id, AmfValue(ack));
  return true;
}

bool PlatformServices::Refuse(RtmpServerSession& session, const RtmpMessage& call,
                              const std::string& code, const std::string& text,
                              const std::string& root_cause_code) {
  Amf3Item error = Dynamic({{"faultCode", Amf3Item::String(code)},
                            {"faultString", Amf3Item::String(text)},
                            {"faultDetail", Amf3Item::String("")}});
  if (!root_cause_code.empty()) {
    error.MutableObject()->SetDynamicMember(
        "rootCause", Dynamic({{"errorCode", Amf3Item::String(root_cause_code)},
                              {"message", Amf3Item::String(text)}}));
  }
  session.SendError(call.header.type, call.command().transaction_id, AmfValue(error));
  return true;
}

Amf3Item PlatformServices::LoginDataPacket(const PlatformAccount& account) const {
  const Amf3Item summoner = Typed("com.vorogames.platform.summoner.Summoner",
                                  {{"sumId", Double(account.summoner_id)},
                                   {"acctId", Double(account.account_id)},
                                   {"name", Amf3Item::String(account.summoner_name)},
                                   {"profileIconId", Amf3Item::Integer(account.profile_icon_id)},
                                   {"nameChangeFlag", Amf3Item::Boolean(false)}});
  const Amf3Item level = Typed(
      "com.vorogames.platform.summoner.SummonerLevelAndPoints",
      {{"summonerLevel", Double(account.summoner_level)}, {"sumId", Double(account.summoner_id)}});
  const Amf3Item all = Typed("com.vorogames.platform.summoner.AllSummonerData",
                             {{"summoner", summoner}, {"summonerLevelAndPoints", level}});
  return Typed("com.vorogames.platform.clientfacade.domain.LoginDataPacket",
               {{"allSummonerData", all},
                {"ipBalance", Double(account.ip_balance)},
                {"vpBalance", Double(account.vp_balance)},
                {"platformId", Amf3Item::String(account.platform_id)},
                {"reconnectInfo", Amf3Item::Null()}});
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
  PlatformFaults faults;
  {
    std::lock_guard lock(mutex_);
    faults = faults_;
  }
  if (class_name == "flex.messaging.messages.CommandMessage") {
    const int32_t operation = AmfMember(message, "operation").is_amf3()
                                  ? AmfMember(message, "operation").amf3().AsInteger()
                                  : -1;
    if (operation == 0 || operation == 1) {
      const std::string subtopic = Text(AmfMember(message, "headers"), "DSSubtopic");
      Note(std::string(operation == 0 ? "subscribe " : "unsubscribe ") + subtopic);
      return Answer(session, call, faults.subscribe, Amf3Item::Null());
    }
    if (operation == 8) {
      std::string user;
      std::string token;
      {
        const std::string body = Text(message, "body");
        std::lock_guard lock(mutex_);
        for (const auto& [name, issued] : tokens_) {
          const std::string expected = name + ":" + issued;
          if (Base64Encode(reinterpret_cast<const uint8_t*>(expected.data()), expected.size()) ==
              body) {
            user = name;
          }
        }
      }
      Note("auth " + user);
      if (faults.channel_login == Fault::kNone && user.empty()) {
        return Refuse(session, call, "Server.Security.Credentials", "Invalid credentials");
      }
      return Answer(session, call, faults.channel_login, Amf3Item::String("success"));
    }
    return false;
  }
  if (class_name != "flex.messaging.messages.RemotingMessage") {
    return false;
  }
  const std::string destination = Text(message, "destination");
  const std::string operation = Text(message, "operation");
  const AmfValue body = AmfMember(message, "body");
  if (destination == "loginService" && operation == "login") {
    const AmfValue credentials = FirstDense(body);
    const std::string user = Text(credentials, "username");
    Note("loginService.login " + user);
    PlatformAccount account;
    bool known = false;
    {
      std::lock_guard lock(mutex_);
      if (auto it = accounts_.find(user); it != accounts_.end()) {
        account = it->second;
        known = true;
      }
    }
    if (faults.login != Fault::kNone) {
      return Answer(session, call, faults.login, Amf3Item::Null());
    }
    const std::string partner = Text(credentials, "partnerCredentials");
    const bool accepted =
        known && (partner.empty() ? Text(credentials, "password") == account.password
                                  : partner == account.partner_credentials);
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
      session_users_[session.client_id()] = user;
    }
    return Answer(session, call, Fault::kNone,
                  Typed("com.vorogames.platform.login.Session",
                        {{"token", Amf3Item::String(token)},
                         {"password", Amf3Item::String(account.password)},
                         {"accountSummary", Typed("com.vorogames.platform.account.AccountSummary",
                                                  {{"username", Amf3Item::String(user)},
                                                   {"accountId", Double(account.account_id)}})}}));
  }
  if (destination == "clientFacadeService" && operation == "getLoginDataPacketForUser") {
    Note("clientFacadeService.getLoginDataPacketForUser");
    PlatformAccount account;
    {
      std::lock_guard lock(mutex_);
      // The packet of the account logged in on this connection.
      if (auto it = session_users_.find(session.client_id()); it != session_users_.end()) {
        account = accounts_[it->second];
      }
    }
    return Answer(session, call, faults.login_data_packet, LoginDataPacket(account));
  }
  Note(destination + "." + operation);
  return Answer(session, call, Fault::kNone, Amf3Item::Null());
}

}  // namespace Voro::Sim
