// The transport of "rtmp": a connected TCP socket used as it is.
#pragma once

#include "lcds/net/transport.h"

namespace Voro {

inline constexpr char kPeerClosedMessage[] = "Socket gracefully closed from the other side.";
inline constexpr char kPlainZeroReadCode[] = "ALE-16892BF0";
// The failure of a zero-byte read (code 0), after its assertion report.
inline constexpr char kPlainZeroReadMessage[] = "A read of zero bytes was requested.";

// Failures carry errno and the system's text for it; a read that meets the end of the
// stream fails with kPeerClosedMessage and code 0. Writes never raise SIGPIPE.
class PlainTransport final : public Transport {
 public:
  // Takes ownership of the connected socket `fd`.
  explicit PlainTransport(int fd) : fd_(fd) {}
  ~PlainTransport() override;
  PlainTransport(const PlainTransport&) = delete;
  PlainTransport& operator=(const PlainTransport&) = delete;

  TransportResult Write(const uint8_t* bytes, size_t count) override;
  size_t TryWrite(const uint8_t* bytes, size_t count) override;
  TransportResult Read(uint8_t* buffer, size_t count) override;
  TransportResult ReadSome(uint8_t* buffer, size_t capacity) override;
  bool WaitReadable(int timeout_ms) override;
  bool WaitReadableOrWoken(int timeout_ms, int wake_fd) override;
  void Close() override;

 private:
  int fd_;  // -1 once closed
};

// Takes ownership of the connected socket `fd`.
TransportPtr CreatePlainTransport(int fd);

}  // namespace Voro
