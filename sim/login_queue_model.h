// The simulator's login queue, without the HTTP around it: what "/authenticate",
// "/authenticate/QSA", "/ticker/<queue>" and "/token" answer for a scenario's accounts and
// queue settings, at a given time.
//
// The queue has `nodes` nodes, each serving its own numbers. Served numbers grow from the
// moment the model is made at `rate` players per second over all nodes. An account that
// joins gets, on every node, a ticket number its share of `players_ahead` above what that
// node serves now, so the wait drains at the configured rate. Tickets ("lqt") carry a
// "signature" the model remembers, so the platform server can tell whether an auth token
// came from this queue (IsIssued).
//
// Threads: every method from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "binding/value/binding_property.h"
#include "sim/scenario.h"

namespace Voro::Sim {

struct HttpAnswer {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
};

class LoginQueueModel {
 public:
  // `start_ms` is the time (any monotonic milliseconds) the queue starts serving from.
  LoginQueueModel(std::vector<PlatformAccount> accounts, LoginQueueSettings settings,
                  int64_t start_ms);

  // POST "/authenticate": `body` is "user=U,password=P" or a partner's credential text.
  HttpAnswer Authenticate(const std::string& body, int64_t now_ms);
  // POST "/authenticate/QSA" with the "Authorization" header's value.
  HttpAnswer AuthenticateWithAccessToken(const std::string& authorization, int64_t now_ms);
  // GET "/ticker/<queue>".
  HttpAnswer Ticker(const std::string& queue, int64_t now_ms);
  // POST "/token" with the ticket text.
  HttpAnswer Token(const std::string& body, int64_t now_ms);

  // Whether `auth_token` (a ticket written as JSON) carries a signature issued to `user`.
  bool IsIssued(const std::string& user, const std::string& auth_token) const;
  // What each node serves at `now_ms`.
  std::vector<uint64_t> Served(int64_t now_ms) const;

  // The steady clock in milliseconds: the time the servers hand to the model.
  static int64_t NowMilliseconds();
  static std::string NodeName(size_t index);
  // A token of three dot-separated Base64url parts whose payload is
  // {"sub": puuid, "exp": expiry}; the signature part is not checked by anyone.
  static std::string IdToken(const std::string& puuid, uint64_t expiry_seconds);

 private:
  struct Ticket {
    std::string user;
    std::vector<uint64_t> numbers;  // one per node; empty for an immediate login
  };

  // The storm answer when one is still due for `storm`, counting it.
  bool StormAnswer(HttpStorm& storm, HttpAnswer* answer);
  HttpAnswer Verdict(const PlatformAccount& account, int64_t now_ms);
  BindingProperty NewTicket(const PlatformAccount& account, bool queued, int64_t now_ms,
                            std::string* signature);
  static HttpAnswer Json(int status, const BindingProperty& body);
  static HttpAnswer Malformed();

  const std::vector<PlatformAccount> accounts_;
  const int64_t start_ms_;
  mutable std::mutex mutex_;
  LoginQueueSettings settings_;            // storm counts guarded by mutex_
  std::map<std::string, Ticket> tickets_;  // by signature; guarded by mutex_
  uint64_t next_ticket_ = 1;               // guarded by mutex_
};

}  // namespace Voro::Sim
