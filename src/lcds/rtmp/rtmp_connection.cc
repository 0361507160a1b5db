#include "lcds/rtmp/rtmp_connection.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

#include "diag/log.h"

namespace Voro {

RtmpConnection::RtmpConnection(TransportPtr transport, RtmpConnectionOptions options)
    : transport_(std::move(transport)), options_(options) {
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    // Without it the worker still runs on its 10 ms poll.
    Log(kLevelWarn, Tag::NET, "RTMP wake-up descriptor unavailable (errno %d).", errno);
  }
}

RtmpConnection::~RtmpConnection() {
  Stop();
  if (worker_.joinable()) {
    // Destroyed from a handler on the worker itself: let it finish on its own.
    worker_.detach();
  }
  if (wake_fd_ >= 0) {
    close(wake_fd_);
  }
}

void RtmpConnection::Start() {
  worker_ = std::thread([this] { Run(); });
}

RtmpSendStatus RtmpConnection::Send(RtmpMessage message, uint32_t chunk_stream_id,
                                    uint32_t message_stream_id) {
  const std::vector<uint8_t> body = EncodeRtmpBody(message);
  if (body.size() > kMaxMessageLength) {
    return RtmpSendStatus::kTooLarge;
  }
  RtmpHeader header = message.header;
  header.chunk_stream_id = chunk_stream_id;
  header.message_stream_id = message_stream_id;
  header.timestamp = 0;
  header.timestamp_is_delta = false;
  header.length = static_cast<uint32_t>(body.size());
  bool left = false;
  {
    MutexLock lock(&write_mutex_);
    if (closed()) {
      return RtmpSendStatus::kClosed;
    }
    const bool first = unsent_.empty() && !worker_writing_ && !worker_reading_;
    (void)writer_.WriteMessage(header, body, unsent_);
    if (first && options_.wake_on_send) {
      const size_t written = transport_->TryWrite(unsent_.data(), unsent_.size());
      unsent_.erase(unsent_.begin(), unsent_.begin() + static_cast<std::ptrdiff_t>(written));
    }
    left = !unsent_.empty() && !worker_reading_;
  }
  if (left && options_.wake_on_send) {
    Wake();
  }
  return RtmpSendStatus::kQueued;
}

void RtmpConnection::RequestDisconnect() {
  disconnect_requested_.store(true);
  Wake();
}

void RtmpConnection::Stop() {
  stop_.store(true);
  Wake();
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) {
    worker_.join();
  }
  if (!worker_.joinable()) {
    closed_.store(true, std::memory_order_release);
  }
}

void RtmpConnection::Wake() {
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    // A full counter already means "wake up"; nothing to do on failure.
    [[maybe_unused]] ssize_t written = write(wake_fd_, &one, sizeof one);
  }
}

void RtmpConnection::DrainWake() {
  if (wake_fd_ >= 0) {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t got = read(wake_fd_, &count, sizeof count);
  }
}

void RtmpConnection::Run() {
  const int wake = options_.wake_on_send ? wake_fd_ : -1;
  for (;;) {
    if (stop_.load() || disconnect_requested_.exchange(false)) {
      Finish();
      return;
    }
    if (reader_.buffered() || transport_->WaitReadableOrWoken(kRtmpPollMilliseconds, wake)) {
      // Every chunk already received, then the writes: one turn per burst, not per chunk.
      SetReading(true);
      do {
        ChunkReadResult result = reader_.ReadChunk(*transport_);
        if (!result.ok()) {
          Log(kLevelError, Tag::NET, "%s", result.error.c_str());
          SetReading(false);
          Finish();
          return;
        }
        if (result.message) {
          Acknowledge(*result.message);
          if (!IsSupportedRtmpType(result.message->header.type)) {
            Log(kLevelWarn, Tag::NET, "Skipping RTMP message of unsupported type %u.",
                unsigned{result.message->header.type});
          } else if (on_message_) {
            on_message_(std::move(*result.message));
          }
        }
      } while (reader_.buffered() && !stop_.load());
      SetReading(false);
    }
    DrainWake();
    if (!WriteUnsent()) {
      Finish();
      return;
    }
  }
}

void RtmpConnection::SetReading(bool reading) {
  MutexLock lock(&write_mutex_);
  worker_reading_ = reading;
}

void RtmpConnection::Acknowledge(const RtmpMessage& message) {
  if (message.header.type == RtmpType::kWindowAckSize) {
    ack_window_ = message.value();
  }
  if (ack_window_ == 0 || reader_.bytes_read() - acknowledged_ < ack_window_) {
    return;
  }
  acknowledged_ = reader_.bytes_read();
  (void)Send(RtmpMessage::Control(RtmpType::kAcknowledgement, static_cast<uint32_t>(acknowledged_)),
             kControlChunkStream, 0);
}

bool RtmpConnection::WriteUnsent() {
  {
    MutexLock lock(&write_mutex_);
    if (unsent_.empty()) {
      return true;
    }
    out_.swap(unsent_);  // unsent_ keeps the old buffer's capacity
    worker_writing_ = true;
  }
  TransportResult result = transport_->Write(out_.data(), out_.size());
  out_.clear();
  {
    MutexLock lock(&write_mutex_);
    worker_writing_ = false;
  }
  if (!result.ok()) {
    Log(kLevelError, Tag::NET, "%s", result.message.c_str());
    return false;
  }
  return true;
}

void RtmpConnection::Finish() {
  {
    MutexLock lock(&write_mutex_);
    transport_->Close();
    closed_.store(true, std::memory_order_release);
    unsent_.clear();
  }
  if (on_disconnect_) {
    on_disconnect_();
  }
}

}  // namespace Voro
