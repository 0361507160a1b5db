// The platform's services on top of the simulator's RTMP server: login, channel
// subscriptions and authentication, the login data packet, account state, the service
// proxy, pushes, logout, and the scenario's scripted answers (a value or a fault) of any
// other destination, for a table of accounts, with a fault to inject per step.
//
// Answers follow the Flex conventions the client expects: "_result" carrying an acknowledge
// object whose "body" is the value, "_error" carrying an error message (faultCode,
// faultString, and for refused logins a "rootCause" with an "errorCode").
//
// Threads: every method from any thread; calls are handled on the sessions' threads and
// delayed answers on a thread of the services' own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "lcds/amf/amf3_item.h"
#include "sim/delayed_runner.h"
#include "sim/rtmp_server.h"
#include "sim/scenario.h"

namespace Voro::Sim {

class PlatformServices {
 public:
  // Decides whether `auth_token` (the login's "authToken") was issued to `user`.
  using TokenCheck = std::function<bool(const std::string& user, const std::string& auth_token)>;
  using Observer = std::function<void(const std::string& line)>;

  PlatformServices();
  ~PlatformServices();
  PlatformServices(const PlatformServices&) = delete;
  PlatformServices& operator=(const PlatformServices&) = delete;

  void AddAccount(PlatformAccount account);
  void SetFaults(const PlatformFaults& faults);
  // The scenario's platform settings (chunk size aside, which is the server's). Drops and
  // refused reconnects count afresh from here.
  void Configure(const PlatformSettings& settings);
  void SetTokenCheck(TokenCheck check);
  // Called with every journal line as it is written (on the thread that wrote it).
  void SetObserver(Observer observer);
  // Makes this the server's call handler. REQUIRES: this outlives the server's sessions.
  void Attach(RtmpServer& server);

  // What the services were asked, in order, one line each: "loginService.login alice",
  // "unsubscribe gn-7", "subscribe bc", "auth alice",
  // "clientFacadeService.getLoginDataPacketForUser", "loginService.logout alice",
  // "accountService.getAccountStateForCurrentSession ENABLED",
  // "lcdsServiceProxy.call <service>.<method>", "push <class>",
  // "<destination>.<operation>" for anything else, scripted or not. A channel login on a connection
  // that did not log in is a reconnect: "reconnect alice" or "refuse reconnect alice" comes right
  // before its "auth alice". "drop alice" when the server drops one of alice's connections.
  std::vector<std::string> journal() const;

  // Pushes `body` (wrapped in an AsyncMessage on `subtopic`) to every connection whose
  // login succeeded as `user`; the number of connections it went to.
  size_t PushTo(const std::string& user, const Amf3Item& body, const std::string& subtopic);
  // The session token issued to `user`'s last login; empty when none.
  std::string SessionToken(const std::string& user) const;

  bool Handle(RtmpServerSession& session, const RtmpMessage& call);

 private:
  struct Connection {
    std::weak_ptr<RtmpServerSession> session;
    std::string user;
    bool logged_in = false;  // by loginService.login; otherwise by a reconnect
    size_t account_state_reads = 0;
  };
  // What the drop and refusal knobs have done to a user so far.
  struct UserFaults {
    uint32_t drops = 0;
    uint64_t reconnects = 0;
  };

  bool HandleCommand(RtmpServerSession& session, const RtmpMessage& call, const AmfValue& message);
  bool HandleLogin(RtmpServerSession& session, const RtmpMessage& call, const AmfValue& body);
  bool HandleLoginDataPacket(RtmpServerSession& session, const RtmpMessage& call);
  bool HandleAccountState(RtmpServerSession& session, const RtmpMessage& call);
  bool HandleServiceProxy(RtmpServerSession& session, const RtmpMessage& call,
                          const AmfValue& body);
  bool HandleLogout(RtmpServerSession& session, const RtmpMessage& call);
  // Any other call: the scenario's first matching service answers, else a bodiless acknowledge.
  bool HandleScripted(RtmpServerSession& session, const RtmpMessage& call,
                      const std::string& destination, const std::string& operation);
  // The channel login: `user` is whose token it carried (empty: nobody's).
  bool HandleChannelLogin(RtmpServerSession& session, const RtmpMessage& call,
                          const std::string& user, Fault fault);
  // Arms the next drop of `session`'s connection, on which `user`'s session just came up.
  void ArmDrop(RtmpServerSession& session, const std::string& user);
  void SchedulePushes(RtmpServerSession& session, const PlatformAccount& account,
                      const std::string& token);

  bool Answer(RtmpServerSession& session, const RtmpMessage& call, Fault fault,
              const Amf3Item& body);
  bool Refuse(RtmpServerSession& session, const RtmpMessage& call, const std::string& code,
              const std::string& text, const std::string& root_cause_code = {});
  Amf3Item LoginDataPacket(const PlatformAccount& account) const;
  // The account logged in on `session`'s connection; false when none.
  bool AccountOf(const RtmpServerSession& session, PlatformAccount* account);
  void Note(std::string line);

  mutable std::mutex mutex_;
  std::map<std::string, PlatformAccount> accounts_;  // by user name; guarded by mutex_
  PlatformSettings settings_;                        // guarded by mutex_
  TokenCheck token_check_;                           // guarded by mutex_
  Observer observer_;                                // guarded by mutex_
  std::map<std::string, std::string> tokens_;        // user name -> session token
  std::map<std::string, Connection> connections_;    // client id -> connection
  std::map<std::string, UserFaults> user_faults_;    // by user name
  // Draws the delays of repeated drops; seeded by Configure.
  std::mt19937_64 drop_random_;
  uint64_t next_token_ = 1;
  std::vector<std::string> journal_;
  // Last, so that it stops (dropping what waits) before the tables it reads go away.
  DelayedRunner delayed_;
};

}  // namespace Voro::Sim
