// The simulator's RTMP server: accepts connections on a loopback port (plain, or TLS with a
// locally made certificate), performs the server side of the handshake, answers "connect"
// and lets a script answer everything else.
//
// Each accepted connection is an RtmpServerSession running on the same connection worker
// the client uses. The server answers "connect" itself: Window Acknowledgement Size, Set
// Peer Bandwidth, Set Chunk Size (when configured), then "_result" whose information object
// carries a fresh "clientId". Every other command goes to the call handler; a command no
// handler takes is answered with "_error".
//
// Threads: every method from any thread. Handlers run on the session's worker thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/result.h"
#include "lcds/amf/amf0_item.h"
#include "lcds/rtmp/rtmp_connection.h"
#include "lcds/rtmp/rtmp_message.h"

namespace Voro::Sim {

class ServerTlsContext;

struct RtmpServerOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  bool tls = false;
  std::string certificate_file;          // PEM chain, with tls
  std::string key_file;                  // PEM key, with tls
  uint32_t window_ack_size = 2'500'000;  // sent after connect; 0: not sent
  uint32_t peer_bandwidth = 2'500'000;   // sent after connect; 0: not sent
  uint32_t chunk_size = 0;               // Set Chunk Size after connect; 0: not sent
  bool answer_connect = true;            // false: "connect" goes to the call handler too
  // Every received message kept for received() and WaitForMessage, as tests read them. A
  // long-running simulator or a benchmark keeps none: the list would only grow.
  bool keep_received = true;
  RtmpConnectionOptions connection;
};

class RtmpServerSession : public std::enable_shared_from_this<RtmpServerSession> {
 public:
  RtmpServerSession(std::unique_ptr<RtmpConnection> connection, std::string client_id);
  ~RtmpServerSession();
  RtmpServerSession(const RtmpServerSession&) = delete;
  RtmpServerSession& operator=(const RtmpServerSession&) = delete;

  const std::string& client_id() const { return client_id_; }

  // Queues a message; false when the connection is gone or the body is too large.
  bool Send(RtmpMessage message, uint32_t chunk_stream_id = kCommandChunkStream,
            uint32_t message_stream_id = 0);
  // A command of `type` (17 or 20) with a Null command object and `arguments`.
  bool SendCommand(uint8_t type, std::string name, int64_t transaction_id,
                   std::vector<AmfValue> arguments);
  bool SendResult(uint8_t type, int64_t transaction_id, AmfValue answer);
  bool SendError(uint8_t type, int64_t transaction_id, AmfValue fault);
  // A "receive" command (type 17) carrying `message`, as the platform pushes.
  bool SendPush(const Amf3Item& message);
  // User Control ping request (event 6) with `value`, on chunk stream 2.
  bool SendPing(uint32_t value);
  // Set Chunk Size; later messages of this session are cut at `size`.
  bool SetChunkSize(uint32_t size);
  // Closes the connection (at the worker's next turn).
  void Drop();
  bool closed() const { return connection_->closed(); }

  // Every message received since the handshake, in order.
  std::vector<RtmpMessage> received() const;
  // The first received message (from index `from`) matching `match`, waiting up to
  // `timeout_ms` for it.
  std::optional<RtmpMessage> WaitForMessage(const std::function<bool(const RtmpMessage&)>& match,
                                            int timeout_ms, size_t from = 0) const;
  // The first command named `name`.
  std::optional<RtmpMessage> WaitForCommand(const std::string& name, int timeout_ms) const;

 private:
  friend class RtmpServer;
  void Record(const RtmpMessage& message);
  void Start() { connection_->Start(); }

  std::unique_ptr<RtmpConnection> connection_;
  const std::string client_id_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<RtmpMessage> received_;  // Guarded by mutex_.
};

// Answers a command the server does not answer itself: returns true when it answered or
// will answer (through the session, now or later), false to let the server send "_error".
using RtmpCallHandler = std::function<bool(RtmpServerSession& session, const RtmpMessage& call)>;

class RtmpServer {
 public:
  explicit RtmpServer(RtmpServerOptions options = {});
  ~RtmpServer();
  RtmpServer(const RtmpServer&) = delete;
  RtmpServer& operator=(const RtmpServer&) = delete;

  // Listens and starts accepting; fails when it cannot.
  [[nodiscard]] kiv::Status Start();
  // Stops accepting and closes every session.
  void Stop();
  uint16_t port() const { return port_; }

  void SetCallHandler(RtmpCallHandler handler);
  // The session accepted `index`-th (from 0), waiting up to `timeout_ms` for it.
  std::shared_ptr<RtmpServerSession> WaitForSession(size_t index, int timeout_ms);
  size_t session_count() const;

  // The text of the "_error" answer to a command nobody handled.
  static constexpr char kUnhandledFaultCode[] = "Server.Processing";

 private:
  void AcceptLoop();
  void Serve(int fd);
  void OnMessage(const std::shared_ptr<RtmpServerSession>& session, RtmpMessage message);
  void AnswerConnect(RtmpServerSession& session, const RtmpMessage& connect);

  RtmpServerOptions options_;
  std::unique_ptr<ServerTlsContext> tls_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;                                     // Guarded by mutex_.
  RtmpCallHandler handler_;                                   // Guarded by mutex_.
  std::vector<std::shared_ptr<RtmpServerSession>> sessions_;  // Guarded by mutex_.
  std::vector<std::thread> handshakes_;                       // Guarded by mutex_.
  uint64_t next_client_ = 1;                                  // Guarded by mutex_.
};

}  // namespace Voro::Sim
