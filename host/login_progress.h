// Follows a login as a person watching it would: reads the plugin's session resource as it
// changes and says, one line at a time, what became different (state, place in the queue)
// and when the login has ended.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kivhost {

// The specific event name under which the plugin publishes its session resource.
inline constexpr char kSessionEventName[] = "OnJsonApiEvent_kiv-login_v1_session";

// A line of the plugin's log that tells what happens to a logged-in session (a lost
// connection, a reconnect attempt and its outcome, a kick), said for a person; nullopt for
// every other line.
std::optional<std::string> DescribeSessionUpkeep(std::string_view log_message);

class LoginProgress {
 public:
  enum class Outcome { kRunning, kSucceeded, kFailed, kClosed };

  // A resource event payload, {"uri", "eventType", "data"}. Returns the line to print when
  // what is shown changed (or the payload could not be read); nullopt otherwise.
  std::optional<std::string> OnResourceEvent(std::string_view payload_json);
  // A `LoginSession` record, such as the one the POST that starts the login answers.
  std::optional<std::string> OnSession(std::string_view session_json);

  Outcome outcome() const { return outcome_; }
  bool finished() const { return outcome_ != Outcome::kRunning; }
  const std::string& state() const { return state_; }
  // Whether the session resource has been deleted, however the login ended.
  bool closed() const { return closed_; }
  // The session's "error" as "id ..., messageId ..., description ..."; empty without one.
  const std::string& error() const { return error_; }

 private:
  std::optional<std::string> Show(std::string line);
  std::optional<std::string> Apply(const std::optional<std::string>& state,
                                   const std::string& detail, const std::string& error);

  Outcome outcome_ = Outcome::kRunning;
  std::string state_;
  std::string error_;
  std::string last_line_;
  bool closed_ = false;
};

}  // namespace kivhost
