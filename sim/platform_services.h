// The platform's services on top of the simulator's RTMP server: login, channel
// subscriptions and authentication, the login data packet, logout, and generic remoting
// answers, for a table of accounts, with a fault to inject per step.
//
// Answers follow the Flex conventions the client expects: "_result" carrying an acknowledge
// object whose "body" is the value, "_error" carrying an error message (faultCode,
// faultString, and for refused logins a "rootCause" with an "errorCode").
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "lcds/amf/amf3_item.h"
#include "sim/rtmp_server.h"

namespace Voro::Sim {

struct PlatformAccount {
  std::string username;
  std::string password;             // accepted when the client sends a password
  std::string partner_credentials;  // accepted when the client sends partner credentials
  int64_t account_id = 0;
  int64_t summoner_id = 0;
  std::string summoner_name;
  int32_t profile_icon_id = 0;
  int32_t summoner_level = 1;
  int64_t ip_balance = 0;
  int64_t vp_balance = 0;
  std::string platform_id = "SIM1";
  std::string login_error_code;  // when set, the login is refused with this root cause
};

enum class Fault {
  kNone,
  kNoAnswer,  // the call is never answered
  kError,     // "_error" without a root cause
  kDrop,      // the connection is closed instead of answering
};

// One fault per step the login goes through.
struct PlatformFaults {
  Fault login = Fault::kNone;
  Fault subscribe = Fault::kNone;
  Fault channel_login = Fault::kNone;
  Fault login_data_packet = Fault::kNone;
};

class PlatformServices {
 public:
  void AddAccount(PlatformAccount account);
  void SetFaults(const PlatformFaults& faults);
  // Makes this the server's call handler. REQUIRES: this outlives the server's sessions.
  void Attach(RtmpServer& server);

  // What the services were asked, in order, one line each: "loginService.login alice",
  // "unsubscribe gn-7", "subscribe bc", "auth alice",
  // "clientFacadeService.getLoginDataPacketForUser", "loginService.logout",
  // "<destination>.<operation>" for anything else.
  std::vector<std::string> journal() const;

  bool Handle(RtmpServerSession& session, const RtmpMessage& call);

 private:
  bool Answer(RtmpServerSession& session, const RtmpMessage& call, Fault fault,
              const Amf3Item& body);
  bool Refuse(RtmpServerSession& session, const RtmpMessage& call, const std::string& code,
              const std::string& text, const std::string& root_cause_code = {});
  Amf3Item LoginDataPacket(const PlatformAccount& account) const;
  void Note(std::string line);

  mutable std::mutex mutex_;
  std::map<std::string, PlatformAccount> accounts_;  // by user name; guarded by mutex_
  PlatformFaults faults_;                            // guarded by mutex_
  std::map<std::string, std::string> tokens_;         // user name -> session token
  std::map<std::string, std::string> session_users_;  // connection's client id -> user name
  uint64_t next_token_ = 1;
  std::vector<std::string> journal_;
};

}  // namespace Voro::Sim
