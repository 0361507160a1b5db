// The platform session: one RTMP client and the credentials it authenticated with. It runs
// the login sequence (connect, log in, authenticate the messaging channel, fetch the login
// data packet), relays calls and pushes, re-authenticates after a reconnect and logs out.
//
// Every step fails with a Failure whose messageId and description are fixed texts; its id
// (the log code) is left empty for the controller to set.
//
// Threads: Login, Reconnect, Invoke, Logout, Tick, IsDisconnected and SetReceiveHandler hold
// the session lock for their whole run, so callbacks and pushes (delivered by Tick) never run
// during a login. The lock is re-entrant: a callback or push may call back into the session.
// Waits are on futures the connection's worker fulfils, so they need no Tick.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "diag/failure.h"
#include "diag/mutex.h"
#include "lcds/amf/amf0_item.h"
#include "lcds/flex_calls.h"
#include "lcds/flex_messages.h"
#include "lcds/message_id_generator.h"
#include "lcds/net/trusted_certificates.h"
#include "lcds/rtmp/rtmp_client.h"

namespace Voro {

// What the session sends as "domain" unless the caller names another host.
inline constexpr char kDefaultPlatformDomain[] = "lcds.platform.kiv";
inline constexpr char kLcdsSwfUrl[] = "app:/KivClient.swf/[[DYNAMIC]]/50";
inline constexpr char kAuthenticationCredentialsClassName[] =
    "com.vorogames.platform.login.AuthenticationCredentials";
inline constexpr char kNotConnectedMessage[] = "Required RTMP connection is not established.";
inline constexpr auto kLogoutWait = std::chrono::seconds(5);

struct LoginCredentials {
  std::string username;
  std::string auth_token;
  bool has_partner_credentials = false;
  std::string partner_credentials;  // when has_partner_credentials
  std::string password;             // otherwise
};

struct LoginResult {
  std::string session_token;
  AmfValue login_data_packet;
  AmfValue password;  // the login answer's "password" member
};

struct ChannelSubscription {
  std::string subtopic;
  std::string client_id;
};

using Success = std::monostate;

class LcdsSession {
 public:
  using Timeout = std::chrono::milliseconds;
  using ValueCallback = std::function<void(const AmfValue&)>;

  explicit LcdsSession(std::string domain = kDefaultPlatformDomain);
  ~LcdsSession();
  LcdsSession(const LcdsSession&) = delete;
  LcdsSession& operator=(const LcdsSession&) = delete;

  // A new connection and "connect" command; on success its client replaces the current one.
  MaybeType<Success> Connect(const std::string& host, uint16_t port, bool use_tls,
                             const TrustedCertificates& trusted, Timeout timeout)
      EXCLUDES(connect_mutex_, state_mutex_);
  MaybeType<LoginResult> Login(const std::string& host, uint16_t port, bool use_tls,
                               const TrustedCertificates& trusted,
                               const LoginCredentials& credentials, const std::string& account_id,
                               Timeout timeout) EXCLUDES(connect_mutex_, state_mutex_);
  // Re-subscribes the three channels of `account_id` and logs the channel in.
  MaybeType<Success> AuthenticateChannel(const std::string& account_id, Timeout timeout)
      EXCLUDES(connect_mutex_, state_mutex_);
  // A new connection authenticated with the stored user name and session token.
  MaybeType<Success> Reconnect(const std::string& host, uint16_t port, bool use_tls,
                               const TrustedCertificates& trusted, const std::string& account_id,
                               Timeout timeout) EXCLUDES(connect_mutex_, state_mutex_);
  // Calls `method` of `service` with `argument`; the callbacks run in a later Tick (or at once
  // when there is no connection: then the failure callback gets kNotConnectedMessage).
  std::future<RTMP::CommandResult> Invoke(const std::string& service, const std::string& method,
                                          const Amf3Item& argument, ValueCallback on_success,
                                          ValueCallback on_failure) EXCLUDES(state_mutex_);
  // Tells the server (waiting up to 5 s) and closes the connection.
  void Logout() EXCLUDES(state_mutex_);
  // Delivers completions, time-outs and pushes.
  void Tick() EXCLUDES(state_mutex_);
  // True when a client exists and its connection has dropped.
  bool IsDisconnected() EXCLUDES(state_mutex_);

  // Gets the decoded pushes of the current client and of every client the session makes.
  void SetReceiveHandler(PushHandler handler) EXCLUDES(state_mutex_);

  std::string session_token() EXCLUDES(state_mutex_);
  std::string username() EXCLUDES(state_mutex_);
  std::vector<ChannelSubscription> subscriptions() EXCLUDES(state_mutex_);
  // The message ids of the current connection (renewed per connection attempt).
  MessageIdGenerator& message_ids() { return ids_; }

 private:
  std::shared_ptr<RtmpClient> client() EXCLUDES(state_mutex_);
  MaybeType<Success> ConnectLocked(const std::string& host, uint16_t port, bool use_tls,
                                   const TrustedCertificates& trusted, Timeout timeout)
      REQUIRES(connect_mutex_) EXCLUDES(state_mutex_);
  MaybeType<Success> AuthenticateChannelLocked(const std::string& account_id, Timeout timeout)
      REQUIRES(connect_mutex_) EXCLUDES(state_mutex_);
  Amf3Item MakeCredentials(const LoginCredentials& credentials) const;

  const std::string domain_;
  MessageIdGenerator ids_;  // safe on any thread
  // Re-entrant: a callback or push run by Tick may call back in.
  RecursiveMutex session_mutex_;
  // Serializes connecting and channel authentication, which Connect and AuthenticateChannel
  // offer without the session lock.
  Mutex connect_mutex_ ACQUIRED_AFTER(session_mutex_);

  Mutex state_mutex_ ACQUIRED_AFTER(connect_mutex_);  // held only briefly
  std::shared_ptr<RtmpClient> client_ GUARDED_BY(state_mutex_);
  PushHandler on_receive_ GUARDED_BY(state_mutex_);
  std::string session_token_ GUARDED_BY(state_mutex_);
  std::string username_ GUARDED_BY(state_mutex_);
  std::vector<ChannelSubscription> subscriptions_ GUARDED_BY(state_mutex_);
};

}  // namespace Voro
