// One RTMP connection after its handshake: a worker thread that does every read of the
// transport, hands complete messages to the message handler and writes what senders leave.
//
// A Send cuts its message into chunks on the calling thread. When nothing is ahead of it and
// the transport can write alongside the worker's read (plain sockets), the chunks go out at
// once from the sender, as far as they fit without waiting; whatever is left is written by
// the worker, which a Send wakes through an eventfd. While the worker is handling a burst of
// input, sends only queue: it writes them together right after the burst. So a call costs no
// hand-off between threads on the way out, and a sender never blocks on a full socket.
//
// The worker waits up to 10 ms for input, reads every chunk that has arrived, then writes
// what is left. It acknowledges received bytes once the peer announced a window, and ends on
// the first transport failure, a stop or a disconnect request: then it closes the transport
// (exactly once) and calls the disconnect handler (exactly once, on the worker thread).
//
// Threads: Send, RequestDisconnect, Stop and closed() from any thread; the handlers run on
// the worker and must not block it for long (nothing is read or written meanwhile).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "diag/mutex.h"
#include "lcds/net/transport.h"
#include "lcds/rtmp/chunk_stream.h"
#include "lcds/rtmp/rtmp_message.h"

namespace Voro {

inline constexpr int kRtmpPollMilliseconds = 10;
// The chunk streams the program sends on.
inline constexpr uint32_t kControlChunkStream = 2;
inline constexpr uint32_t kCommandChunkStream = 3;

enum class RtmpSendStatus {
  kQueued,
  kTooLarge,  // the body exceeds 0xFFFFFF bytes; nothing was queued
  kClosed,    // the worker has ended; nothing will be written any more
};

struct RtmpConnectionOptions {
  // Off only to measure the poll alone: a Send then neither writes nor wakes the worker,
  // and its message waits for the worker's next turn.
  bool wake_on_send = true;
};

class RtmpConnection {
 public:
  using MessageHandler = std::function<void(RtmpMessage)>;
  using DisconnectHandler = std::function<void()>;

  // Takes a transport whose handshake is done. The worker starts with Start.
  explicit RtmpConnection(TransportPtr transport, RtmpConnectionOptions options = {});
  // Stops and joins the worker.
  ~RtmpConnection();
  RtmpConnection(const RtmpConnection&) = delete;
  RtmpConnection& operator=(const RtmpConnection&) = delete;

  // REQUIRES: before Start.
  void SetMessageHandler(MessageHandler handler) { on_message_ = std::move(handler); }
  void SetDisconnectHandler(DisconnectHandler handler) { on_disconnect_ = std::move(handler); }
  // Starts the worker. REQUIRES: called once.
  void Start();

  // Encodes `message` on the calling thread with the given ids (timestamp 0, absolute) and
  // writes or queues it.
  [[nodiscard]] RtmpSendStatus Send(RtmpMessage message, uint32_t chunk_stream_id,
                                    uint32_t message_stream_id);
  // The worker closes the transport at its next turn.
  void RequestDisconnect();
  // As RequestDisconnect, and waits for the worker to end (unless called on the worker).
  void Stop();
  // True once the worker has ended (or was never started and Stop was called).
  bool closed() const { return closed_.load(std::memory_order_acquire); }

 private:
  void Run();
  void Wake();
  void DrainWake();
  void SetReading(bool reading);
  // Writes what senders left; false on a transport failure.
  bool WriteUnsent();
  void Acknowledge(const RtmpMessage& message);
  void Finish();

  TransportPtr transport_;
  const RtmpConnectionOptions options_;
  int wake_fd_ = -1;
  MessageHandler on_message_;
  DisconnectHandler on_disconnect_;
  std::thread worker_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> disconnect_requested_{false};
  std::atomic<bool> closed_{false};

  // Chunks are cut and written in one order; writes and Close never overlap.
  Mutex write_mutex_;
  ChunkWriter writer_ GUARDED_BY(write_mutex_);
  std::vector<uint8_t> unsent_ GUARDED_BY(write_mutex_);
  // The worker is writing bytes taken from unsent_ outside the lock: later ones must wait.
  bool worker_writing_ GUARDED_BY(write_mutex_) = false;
  // The worker is handling a burst of input and writes what is left right after it, so a
  // send meanwhile only adds its chunks: answers to a burst leave in one write.
  bool worker_reading_ GUARDED_BY(write_mutex_) = false;

  // Worker only.
  ChunkReader reader_;
  std::vector<uint8_t> out_;
  uint32_t ack_window_ = 0;
  uint64_t acknowledged_ = 0;
};

}  // namespace Voro
