// The byte stream under an RTMP connection: a connected TCP socket, plain or inside TLS.
//
// Reads and writes are blocking and, but for ReadSome, exact-length: they return once every
// byte moved or the stream failed. A Transport is used by one thread at a time (its connection's
// worker) and closed once; every call after Close fails or reports nothing readable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Voro {

struct [[nodiscard]] TransportResult {
  bool failed = false;
  // errno for socket failures, the SSL_get_error code for TLS failures, 0 otherwise.
  int error_code = 0;
  std::string message;
  // Bytes moved before the failure (all of them on success).
  size_t transferred = 0;

  bool ok() const { return !failed; }
  static TransportResult Success(size_t count) { return {false, 0, {}, count}; }
  static TransportResult Failure(int code, std::string text, size_t done) {
    return {true, code, std::move(text), done};
  }
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Writes bytes[0, count). A count of 0 succeeds at once.
  virtual TransportResult Write(const uint8_t* bytes, size_t count) = 0;
  // Writes what fits without waiting and returns how much (`transferred`), 0 when nothing
  // fits or the stream failed: a failure is left for the next Write to report. Unlike every
  // other call it may run on another thread while one reads or waits, provided writes and
  // Close are serialised by the caller. A transport that cannot write alongside a read
  // (TLS: one connection state for both directions) writes nothing.
  virtual size_t TryWrite(const uint8_t* /*bytes*/, size_t /*count*/) { return 0; }
  // Reads exactly `count` bytes into buffer. REQUIRES: count > 0 (a zero-byte read is
  // reported as a caller error and fails).
  virtual TransportResult Read(uint8_t* buffer, size_t count) = 0;
  // Reads what is available, at least one byte and at most `capacity`, waiting for the
  // first. REQUIRES: capacity > 0.
  virtual TransportResult ReadSome(uint8_t* buffer, size_t capacity) = 0;
  // True when a Read can make progress without blocking: buffered plaintext, or the socket
  // readable within `timeout_ms`. False on time-out, error, or after Close.
  virtual bool WaitReadable(int timeout_ms) = 0;
  // As WaitReadable, but also returns (false) as soon as `wake_fd` becomes readable, so a
  // worker waiting for input can be woken to write. A negative wake_fd is ignored.
  virtual bool WaitReadableOrWoken(int timeout_ms, int wake_fd) = 0;
  // Ends the stream (TLS: close notify first) and releases the socket. Idempotent.
  virtual void Close() = 0;
};

using TransportPtr = std::unique_ptr<Transport>;

}  // namespace Voro
