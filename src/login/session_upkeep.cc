// LoginModule: what keeps a logged-in session alive. The tick delivers what the platform
// connection received and notices when it drops; the reconnect task then opens a new one,
// with back-off, for up to 300 seconds; a kick notification ends a session logged in
// elsewhere.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "diag/clock.h"
#include "diag/log.h"
#include "diag/retry_delay.h"
#include "lcds/amf/amf3_object.h"
#include "login/login_module.h"

namespace Voro {
namespace {

constexpr int64_t kNanosecondsPerMillisecond = 1'000'000;
constexpr int64_t kWaitMilliseconds = 10;

}  // namespace

void LoginModule::set_reconnect_random(RandomDelay random) {
  reconnect_random_ = std::move(random);
}

void LoginModule::OnTick() {
  if (session_ == nullptr || session_->login() == nullptr) return;
  session_->login()->lcds().Tick();
  // A push just delivered (a kick) may have ended the login or the session.
  ClientLogin* login = session_ != nullptr ? session_->login() : nullptr;
  if (login == nullptr || login_task_active_ || !login->lcds().IsDisconnected() ||
      ClientLogin::IsFinished(login->state())) {
    return;
  }
  login->lcds_disconnected = true;
  FailPendingServiceProxyCalls();
  {
    MutexLock lock(&reconnect_mutex_);
    if (reconnect_in_progress_) return;
    reconnect_in_progress_ = true;
  }
  Log(kLevelError, Tag::DBG, "Disconnected from platform. Reconnecting...");
  BeginReconnect();
}

void LoginModule::BeginReconnect() {
  Log(kLevelAlways, Tag::DBG, "Beginning reconnect.");
  RunAt(
      kReconnectTimerName, [this] { RunReconnectTask(); }, SteadyNowNanoseconds());
}

void LoginModule::RunReconnectTask() {
  {
    ModuleLock lock(*this);
    if (session_ == nullptr || session_->login() == nullptr) {
      Log(kLevelWarn, Tag::DBG, "Reconnect cancelled.");
    } else {
      reconnect_task_active_ = true;
      PublishResource(kSessionPath, PluginResourceEventType::Update,
                      ToBinding(session_->Refresh(), registry()));
      const bool in_time = RunReconnectLoop(session_->login());
      reconnect_task_active_ = false;
      if (!in_time) CloseSession();
      ClientLogin* login = session_ != nullptr ? session_->login() : nullptr;
      if (login != nullptr && !login->stop_requested() &&
          login->state() == ClientLogin::kLoggedIn) {
        PublishResource(kSessionPath, PluginResourceEventType::Update,
                        ToBinding(session_->Refresh(), registry()));
        Log(kLevelAlways, Tag::DBG, "Reconnect complete.");
      } else {
        Log(kLevelWarn, Tag::DBG, "Reconnect failed.");
      }
      FinishWhatWaitedForTheTask();
    }
  }
  MutexLock lock(&reconnect_mutex_);
  reconnect_in_progress_ = false;
}

bool LoginModule::RunReconnectLoop(ClientLogin* login) {
  const int64_t deadline =
      SteadyNowNanoseconds() + kReconnectLimitSeconds * 1000 * kNanosecondsPerMillisecond;
  for (uint32_t attempt = 0; SteadyNowNanoseconds() < deadline; ++attempt) {
    // Below 5 s, 10 s, then 15 s.
    const int64_t bound =
        RetryDelayCap(attempt, kReconnectBackoff.minimum, kReconnectBackoff.maximum);
    const int64_t delay = reconnect_random_
                              ? std::clamp<int64_t>(reconnect_random_(bound), 0, bound)
                              : RetryDelay(attempt, kReconnectBackoff);
    Log(kLevelAlways, Tag::DBG, "Attempting reconnect in %lld ms...",
        static_cast<long long>(delay));
    const int64_t resume = SteadyNowNanoseconds() + delay * kNanosecondsPerMillisecond;
    for (;;) {
      // The other work run meanwhile may have ended the session or stopped its login.
      if (!LoginContinues(login)) return true;
      if (SteadyNowNanoseconds() >= resume) break;
      Sleep(kWaitMilliseconds);
    }
    MaybeType<std::monostate> reconnected = login->ReconnectLcds();
    if (reconnected.ok()) return true;
    Log(kLevelError, Tag::DBG, "%s. Retrying.", reconnected.failure().description.c_str());
  }
  Log(kLevelError, Tag::DBG, "Reconnect timed out");
  return false;
}

void LoginModule::OnKickNotification(const Push& push) {
  ClientLogin* login = session_ != nullptr ? session_->login() : nullptr;
  if (login == nullptr) return;
  login->OnKickNotification(push.body);
}

}  // namespace Voro
