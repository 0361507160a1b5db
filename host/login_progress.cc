#include "host/login_progress.h"

#include <rapidjson/document.h>

#include <iterator>
#include <utility>

namespace kivhost {

namespace {

constexpr const char* kStateNames[] = {"IN_PROGRESS", "SUCCEEDED", "LOGGING_OUT", "ERROR"};

std::string Text(const rapidjson::Value& object, const char* name) {
  auto it = object.FindMember(name);
  if (it == object.MemberEnd() || !it->value.IsString()) return "";
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

// The state as a name; the plugin writes enumerations by name, but a number is read too.
std::optional<std::string> StateName(const rapidjson::Value& session) {
  auto it = session.FindMember("state");
  if (it == session.MemberEnd()) return std::nullopt;
  if (it->value.IsString()) return std::string(it->value.GetString(), it->value.GetStringLength());
  if (it->value.IsUint64() && it->value.GetUint64() < std::size(kStateNames)) {
    return kStateNames[it->value.GetUint64()];
  }
  return std::nullopt;
}

std::string QueueText(const rapidjson::Value& session) {
  auto queue = session.FindMember("queueStatus");
  if (queue == session.MemberEnd() || !queue->value.IsObject()) return "";
  const rapidjson::Value& status = queue->value;
  std::string text;
  auto position = status.FindMember("estimatedPositionInQueue");
  if (position != status.MemberEnd() && position->value.IsUint64()) {
    text += ", queue position " + std::to_string(position->value.GetUint64());
  } else {
    text += ", in the queue";
  }
  auto capped = status.FindMember("isPositionCapped");
  if (capped != status.MemberEnd() && capped->value.IsBool() && capped->value.GetBool()) {
    text += " (capped)";
  }
  auto wait = status.FindMember("approximateWaitTimeSeconds");
  if (wait != status.MemberEnd() && wait->value.IsUint64()) {
    text += ", about " + std::to_string(wait->value.GetUint64()) + " s to wait";
  }
  return text;
}

// A logged-in session whose platform connection is down says so: the state alone does not.
std::string ConnectionText(const rapidjson::Value& session) {
  auto connected = session.FindMember("connected");
  const bool down =
      connected != session.MemberEnd() && connected->value.IsBool() && !connected->value.GetBool();
  return down && Text(session, "state") == "SUCCEEDED" ? ", platform connection down" : "";
}

std::string ErrorText(const rapidjson::Value& session) {
  auto error = session.FindMember("error");
  if (error == session.MemberEnd() || !error->value.IsObject()) return "";
  return "id " + Text(error->value, "id") + ", messageId " + Text(error->value, "messageId") +
         ", description " + Text(error->value, "description");
}

}  // namespace

std::optional<std::string> DescribeSessionUpkeep(std::string_view message) {
  constexpr std::string_view kAttempt = "Attempting reconnect in ";
  constexpr std::string_view kRetrying = ". Retrying.";
  if (message == "Disconnected from platform. Reconnecting...") {
    return "platform connection lost, reconnecting";
  }
  if (message.starts_with(kAttempt)) {
    std::string_view delay = message.substr(kAttempt.size());
    if (delay.ends_with("...")) delay.remove_suffix(3);
    return "reconnect attempt in " + std::string(delay);
  }
  if (message.ends_with(kRetrying)) {
    message.remove_suffix(kRetrying.size());
    return "reconnect attempt failed: " + std::string(message);
  }
  if (message == "Reconnect complete.") return "reconnected";
  if (message == "Reconnect failed.") return "reconnect failed";
  if (message == "Reconnect timed out") return "reconnecting timed out after 300 s";
  if (message == "Account logged elsewhere") return "kicked: the account logged in elsewhere";
  return std::nullopt;
}

std::optional<std::string> LoginProgress::Show(std::string line) {
  if (line == last_line_) return std::nullopt;
  last_line_ = line;
  return line;
}

std::optional<std::string> LoginProgress::Apply(const std::optional<std::string>& state,
                                                const std::string& detail,
                                                const std::string& error) {
  if (!state) return Show("unreadable session event: no \"state\"");
  state_ = *state;
  if (!error.empty()) error_ = error;
  if (!finished()) {
    if (state_ == "SUCCEEDED") outcome_ = Outcome::kSucceeded;
    if (state_ == "ERROR") outcome_ = Outcome::kFailed;
  }
  return Show("state " + state_ + detail);
}

std::optional<std::string> LoginProgress::OnResourceEvent(std::string_view payload_json) {
  rapidjson::Document event;
  event.Parse<rapidjson::kParseIterativeFlag>(payload_json.data(), payload_json.size());
  if (event.HasParseError() || !event.IsObject()) {
    return Show("unreadable session event: not a JSON object");
  }
  if (Text(event, "eventType") == "Delete") {
    if (!finished()) outcome_ = Outcome::kClosed;
    closed_ = true;
    return Show("session closed");
  }
  // HasMember rather than comparing member iterators, which C++20 finds ambiguous.
  if (!event.HasMember("data") || !event["data"].IsObject()) {
    return Show("unreadable session event: no session in \"data\"");
  }
  const rapidjson::Value& data = event["data"];
  return Apply(StateName(data), QueueText(data) + ConnectionText(data), ErrorText(data));
}

std::optional<std::string> LoginProgress::OnSession(std::string_view session_json) {
  rapidjson::Document session;
  session.Parse<rapidjson::kParseIterativeFlag>(session_json.data(), session_json.size());
  if (session.HasParseError() || !session.IsObject()) {
    return Show("unreadable session: not a JSON object");
  }
  return Apply(StateName(session), QueueText(session) + ConnectionText(session),
               ErrorText(session));
}

}  // namespace kivhost
