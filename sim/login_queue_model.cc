#include "sim/login_queue_model.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "binding/value/base64.h"
#include "binding/value/binding_result.h"
#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"

namespace Voro::Sim {
namespace {

constexpr uint64_t kFirstServedNumber = 1000;  // node i starts serving at 1000 * (i + 1)
constexpr uint64_t kIdTokenLifetimeSeconds = 3600;

std::string Base64Url(const std::string& text) {
  std::string encoded = Base64Encode(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  while (!encoded.empty() && encoded.back() == '=') encoded.pop_back();
  for (char& c : encoded) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return encoded;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%" PRIx64, value);
  return text;
}

BindingProperty Status(const char* status) {
  BindingProperty body;
  body["status"] = status;
  return body;
}

}  // namespace

LoginQueueModel::LoginQueueModel(std::vector<PlatformAccount> accounts, LoginQueueSettings settings,
                                 int64_t start_ms)
    : accounts_(std::move(accounts)), start_ms_(start_ms), settings_(std::move(settings)) {}

int64_t LoginQueueModel::NowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string LoginQueueModel::NodeName(size_t index) { return "node" + std::to_string(index + 1); }

std::string LoginQueueModel::IdToken(const std::string& puuid, uint64_t expiry_seconds) {
  BindingProperty payload;
  payload["sub"] = puuid;
  payload["exp"] = expiry_seconds;
  return Base64Url(R"({"alg":"none","typ":"JWT"})") + "." + Base64Url(WriteJson(payload)) + "." +
         Base64Url("sim-signature");
}

std::vector<uint64_t> LoginQueueModel::Served(int64_t now_ms) const {
  const size_t nodes = settings_.nodes;
  const double elapsed_s = now_ms > start_ms_ ? static_cast<double>(now_ms - start_ms_) / 1000 : 0;
  const auto per_node =
      static_cast<uint64_t>(settings_.rate * elapsed_s / static_cast<double>(nodes));
  std::vector<uint64_t> served;
  for (size_t i = 0; i < nodes; ++i) served.push_back(kFirstServedNumber * (i + 1) + per_node);
  return served;
}

HttpAnswer LoginQueueModel::Json(int status, const BindingProperty& body) {
  return {status, WriteJson(body), "application/json"};
}

HttpAnswer LoginQueueModel::Malformed() {
  return {200, "<html>temporarily unavailable", "application/json"};
}

bool LoginQueueModel::StormAnswer(HttpStorm& storm, HttpAnswer* answer) {
  if (storm.count == 0) return false;
  --storm.count;
  *answer = {storm.status, storm.body, "text/plain"};
  return true;
}

BindingProperty LoginQueueModel::NewTicket(const PlatformAccount& account, bool queued,
                                           int64_t now_ms, std::string* signature) {
  Ticket ticket;
  ticket.user = account.username;
  if (queued) {
    const std::vector<uint64_t> served = Served(now_ms);
    const uint32_t nodes = settings_.nodes;
    for (uint32_t i = 0; i < nodes; ++i) {
      const uint64_t share =
          settings_.players_ahead / nodes + (i < settings_.players_ahead % nodes);
      ticket.numbers.push_back(served[i] + share);
    }
  }
  *signature = "sim-lqt-" + std::to_string(next_ticket_++);
  tickets_[*signature] = ticket;

  BindingProperty lqt;
  lqt["account_id"] = static_cast<uint64_t>(account.account_id);
  lqt["account_name"] = account.username;
  lqt["queue"] = settings_.queue_name;
  lqt["signature"] = *signature;
  return lqt;
}

HttpAnswer LoginQueueModel::Verdict(const PlatformAccount& account, int64_t now_ms) {
  QueueOutcome outcome = account.queue_outcome;
  if (outcome == QueueOutcome::kAuto) {
    outcome = settings_.players_ahead == 0 ? QueueOutcome::kLogin : QueueOutcome::kQueue;
  }
  switch (outcome) {
    case QueueOutcome::kBusy:
      return Json(200, Status("BUSY"));
    case QueueOutcome::kArlQueue:
      return Json(200, Status("ARL_QUEUE"));
    case QueueOutcome::kFailed: {
      BindingProperty body = Status("FAILED");
      body["reason"] = account.queue_reason;
      return Json(403, body);
    }
    case QueueOutcome::kBanned: {
      BindingProperty body;
      body["banned"] = account.ban_expiration;
      body["banReason"] = account.ban_reason;
      return Json(403, body);
    }
    default:
      break;
  }
  const bool queued = outcome == QueueOutcome::kQueue;
  std::string signature;
  BindingProperty body = Status(queued ? "QUEUE" : "LOGIN");
  body["lqt"] = NewTicket(account, queued, now_ms, &signature);
  const std::string puuid =
      account.puuid.empty() ? "sim-puuid-" + std::to_string(account.account_id) : account.puuid;
  // Expiry is wall-clock time, unlike the queue's own monotonic milliseconds.
  const auto unix_now = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  body["idToken"] =
      IdToken(puuid, static_cast<uint64_t>(unix_now.count()) + kIdTokenLifetimeSeconds);
  BindingProperty& gas = body["gasToken"];
  gas["gas_account_id"] = static_cast<uint64_t>(account.account_id);
  gas["gas_token"] = "sim-gas-" + account.username;
  BindingProperty& in_game = body["inGameCredentials"];
  in_game["inGame"] = account.in_game;
  if (account.in_game) {
    in_game["serverIp"] = "127.0.0.1";
    in_game["serverPort"] = uint64_t{5100};
    in_game["encryptionKey"] = "sim-key";
    in_game["handshakeToken"] = "sim-handshake";
  }
  if (queued) {
    const Ticket& ticket = tickets_[signature];
    const std::vector<uint64_t> served = Served(now_ms);
    body["champ"] = settings_.queue_name;
    body["vcap"] = settings_.vcap;
    body["delay"] = settings_.delay_ms;
    body["rate"] = settings_.reported_rate < 0 ? settings_.rate : settings_.reported_rate;
    body["backlog"] = settings_.backlog;
    BindingProperty& tickers = body["tickers"];
    tickers.MakeCollection();
    for (size_t i = 0; i < ticket.numbers.size(); ++i) {
      BindingProperty& node = tickers.Append();
      node["node"] = NodeName(i);
      node["id"] = ticket.numbers[i];
      node["current"] = served[i];
    }
  }
  return Json(200, body);
}

HttpAnswer LoginQueueModel::Authenticate(const std::string& body, int64_t now_ms) {
  std::lock_guard lock(mutex_);
  HttpAnswer answer;
  if (StormAnswer(settings_.authenticate_storm, &answer)) return answer;
  if (settings_.malformed == "authenticate") return Malformed();
  static constexpr std::string_view kUser = "user=";
  static constexpr std::string_view kPassword = ",password=";
  const size_t split = body.find(kPassword);
  const bool password_form =
      body.compare(0, kUser.size(), kUser) == 0 && split != std::string::npos;
  for (const PlatformAccount& account : accounts_) {
    const bool match =
        password_form ? body.substr(kUser.size(), split - kUser.size()) == account.username &&
                            body.substr(split + kPassword.size()) == account.password
                      : !account.partner_credentials.empty() && body == account.partner_credentials;
    if (match) return Verdict(account, now_ms);
  }
  BindingProperty refused = Status("FAILED");
  refused["reason"] = "invalid_credentials";
  return Json(403, refused);
}

HttpAnswer LoginQueueModel::AuthenticateWithAccessToken(const std::string& authorization,
                                                        int64_t now_ms) {
  std::lock_guard lock(mutex_);
  HttpAnswer answer;
  if (StormAnswer(settings_.authenticate_storm, &answer)) return answer;
  if (settings_.malformed == "authenticate") return Malformed();
  static constexpr std::string_view kBearer = "Bearer ";
  if (authorization.compare(0, kBearer.size(), kBearer) == 0) {
    const std::string token = authorization.substr(kBearer.size());
    for (const PlatformAccount& account : accounts_) {
      if (!account.access_token.empty() && token == account.access_token) {
        return Verdict(account, now_ms);
      }
    }
  }
  BindingProperty refused = Status("FAILED");
  refused["reason"] = "invalid_access_token";
  return Json(403, refused);
}

HttpAnswer LoginQueueModel::Ticker(const std::string& queue, int64_t now_ms) {
  std::lock_guard lock(mutex_);
  HttpAnswer answer;
  if (StormAnswer(settings_.ticker_storm, &answer)) return answer;
  if (queue != settings_.queue_name) return {404, "no such queue", "text/plain"};
  if (settings_.malformed == "ticker") return Malformed();
  if (settings_.ticker_busy) return Json(200, Status("BUSY"));
  BindingProperty body = Status("QUEUE");
  // The first answer counts the backlog; by the first ticker it has been absorbed.
  body["backlog"] = uint64_t{0};
  const std::vector<uint64_t> served = Served(now_ms);
  for (size_t i = 0; i < served.size(); ++i) body[NodeName(i)] = Hex(served[i]);
  return Json(200, body);
}

HttpAnswer LoginQueueModel::Token(const std::string& body, int64_t now_ms) {
  std::lock_guard lock(mutex_);
  HttpAnswer answer;
  if (StormAnswer(settings_.token_storm, &answer)) return answer;
  if (settings_.malformed == "token") return Malformed();
  if (settings_.token_busy) return Json(200, Status("BUSY"));
  BindingResult ticket = ParseJson(body);
  const std::string signature(ticket.ok() ? ticket.value().Field("signature").GetString() : "");
  const auto it = tickets_.find(signature);
  if (it == tickets_.end()) return {400, R"({"status":"FAILED","reason":"unknown_ticket"})"};
  const std::vector<uint64_t> served = Served(now_ms);
  for (size_t i = 0; i < it->second.numbers.size(); ++i) {
    if (served[i] < it->second.numbers[i]) return Json(200, Status("QUEUE"));
  }
  BindingProperty token;
  token["lqt"] = ticket.value();
  return Json(200, token);
}

bool LoginQueueModel::IsIssued(const std::string& user, const std::string& auth_token) const {
  BindingResult ticket = ParseJson(auth_token);
  if (!ticket.ok()) return false;
  const std::string signature(ticket.value().Field("signature").GetString());
  std::lock_guard lock(mutex_);
  const auto it = tickets_.find(signature);
  return it != tickets_.end() && it->second.user == user;
}

}  // namespace Voro::Sim
