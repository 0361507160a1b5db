// The call interface over one RTMP connection: the "connect" command, remote calls matched
// to their answers by transaction id, a 60-second time-out per call, server pushes.
//
// Completions fulfil the call's future at once (on the connection's worker); callbacks and
// pushes are queued and run by Pump on the thread that drives the client. When the
// connection drops, every open call fails with "RTMP_DISCONNECT" right away (an answer can
// no longer come), and so does every later call. A push is handed on as the first argument
// of its "receive" command, undecoded: reading it is up to the layer that knows its format.
//
// Threads: Call and ConnectCommand from any thread; Pump from the driving thread only;
// futures may be waited on anywhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "diag/mutex.h"
#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf_class.h"
#include "lcds/rtmp/command_result.h"
#include "lcds/rtmp/rtmp_connection.h"
#include "lcds/rtmp/rtmp_names.h"

namespace Voro {

inline constexpr int64_t kRtmpCallTimeoutNanoseconds = 60'000'000'000;
inline constexpr char kStatusClassName[] = "Status";

// The "connect" command (transaction id 0 until sent): an AMF0 command whose anonymous
// object lists its members in ascending key order.
RtmpMessage MakeConnectCommand(const std::string& tc_url, const std::string& swf_url,
                               const std::string& page_url, int object_encoding);

class RtmpClient {
 public:
  using Callback = std::function<void(const RTMP::CommandResult&)>;
  // Gets the first argument of each "receive" command (Undefined when it has none).
  using ReceiveHandler = std::function<void(const AmfValue&)>;

  // Takes a connection that has not been started, installs its handlers and starts it.
  explicit RtmpClient(std::unique_ptr<RtmpConnection> connection, int object_encoding = 1);
  // Stops the connection; open calls fail with "RTMP_DISCONNECT".
  ~RtmpClient();
  RtmpClient(const RtmpClient&) = delete;
  RtmpClient& operator=(const RtmpClient&) = delete;

  // The "connect" command; its answer sets connected() and may supply the client id.
  std::future<RTMP::CommandResult> ConnectCommand(const std::string& tc_url,
                                                  const std::string& swf_url,
                                                  const std::string& page_url);
  // Sends `message` (a command; its transaction id is assigned here) on chunk stream 3,
  // message stream 0. `callback`, when set, runs in a later Pump with the result.
  std::future<RTMP::CommandResult> Call(RtmpMessage message, Callback callback = nullptr);

  // The time-out sweep, then queued pushes to the receive handler, then queued callbacks.
  void Pump();
  // From the Pump thread; pushes that arrive while none is set are dropped at the next Pump.
  void SetReceiveHandler(ReceiveHandler handler);

  bool connected() const { return connected_.load(); }
  // True once the connection has ended.
  bool disconnected() const { return connection_->closed(); }
  int object_encoding() const { return object_encoding_; }
  // kRtmpNoClientId until the connect answer supplies one.
  std::string client_id() const;
  // Asks the connection to close (the disconnect path runs on its worker).
  void RequestDisconnect() { connection_->RequestDisconnect(); }

  // The "Status" class of error answers, registered once.
  static std::shared_ptr<AmfClass> StatusClass();

 private:
  struct PendingCall {
    std::promise<RTMP::CommandResult> promise;
    Callback callback;
    int64_t sent_at = 0;
    bool is_connect = false;
  };

  void OnMessage(RtmpMessage message);
  void OnDisconnect();
  void OnAnswer(const RtmpCommand& command, bool success);
  // Fails the call an unreadable answer was meant for.
  void FailCall(const RtmpCommand& command);
  std::optional<PendingCall> TakePending(int64_t transaction_id) EXCLUDES(mutex_);
  // Fulfils the call and queues its callback.
  void Complete(PendingCall call, RTMP::CommandResult result);
  void FailAllPending(std::string_view code, std::string_view text);
  std::future<RTMP::CommandResult> Register(RtmpMessage message, Callback callback,
                                            bool is_connect);

  std::unique_ptr<RtmpConnection> connection_;
  const int object_encoding_;
  std::atomic<uint32_t> transaction_counter_{0};
  std::atomic<bool> connected_{false};

  mutable Mutex mutex_;
  std::map<int64_t, PendingCall> pending_ GUARDED_BY(mutex_);
  std::string client_id_ GUARDED_BY(mutex_);
  bool closed_ GUARDED_BY(mutex_) = false;

  Mutex queue_mutex_;
  std::deque<std::pair<Callback, RTMP::CommandResult>> completions_ GUARDED_BY(queue_mutex_);
  std::deque<AmfValue> pushes_ GUARDED_BY(queue_mutex_);

  ReceiveHandler on_receive_;  // Pump thread only.
};

}  // namespace Voro
