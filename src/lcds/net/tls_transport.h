// The transport of "rtmps": TLS over a connected TCP socket, with the server's chain
// verified against a given trust list and its name checked against the expected host.
#pragma once

#include <openssl/ossl_typ.h>

#include <string>

#include "lcds/net/transport.h"
#include "lcds/net/trusted_certificates.h"

namespace Voro {

inline constexpr char kTlsReadClosedMessage[] =
    "Cannot read from TLS socket. The socket has been disconnected.";
inline constexpr char kTlsWriteClosedMessage[] =
    "Cannot write to TLS socket. The socket has been disconnected.";
inline constexpr char kTlsZeroReadCode[] = "ALE-16892BF1";
// The failure of a zero-byte read (code 0), after its assertion report.
inline constexpr char kTlsZeroReadMessage[] = "A read of zero bytes was requested.";

inline constexpr char kTlsMethodFailedMessage[] = "SSLv23_client_method() failed:";
inline constexpr char kTlsMethodFailedCode[] = "ALE-40E807BD";
inline constexpr char kTlsContextFailedMessage[] = "SSL_CTX_new() failed:";
inline constexpr char kTlsContextFailedCode[] = "ALE-483675C8";
inline constexpr char kTlsSslFailedMessage[] = "SSL_new() failed:";
inline constexpr char kTlsSslFailedCode[] = "ALE-BDE9D03D";

// How long Close waits for the peer's close notify (and for its own to be sent) before it
// closes the socket regardless: a peer that never answers must not hold up the worker.
inline constexpr int kTlsCloseWaitMs = 100;

// The handshake runs inside the first Write. A failed call carries the SSL_get_error code
// and its text (tls_error.h) and writes the thread's OpenSSL error queue to the log at
// ERROR; a failed certificate check also logs the verification result. No call raises
// SIGPIPE: it is held back on the calling thread during each OpenSSL call and a SIGPIPE
// the call caused is discarded.
class TlsTransport final : public Transport {
 public:
  // Takes ownership of the socket, the context and the connection object.
  TlsTransport(int fd, SSL_CTX* context, SSL* ssl) : fd_(fd), context_(context), ssl_(ssl) {}
  ~TlsTransport() override;
  TlsTransport(const TlsTransport&) = delete;
  TlsTransport& operator=(const TlsTransport&) = delete;

  TransportResult Write(const uint8_t* bytes, size_t count) override;
  TransportResult Read(uint8_t* buffer, size_t count) override;
  TransportResult ReadSome(uint8_t* buffer, size_t capacity) override;
  // True at once when decrypted bytes are buffered, else as the socket.
  bool WaitReadable(int timeout_ms) override;
  bool WaitReadableOrWoken(int timeout_ms, int wake_fd) override;
  // Sends close notify and waits up to kTlsCloseWaitMs for the peer's; skipped when the
  // handshake never finished or the connection already failed fatally (OpenSSL then must
  // not be asked to shut down). Frees everything.
  void Close() override;

 private:
  TransportResult Fail(int code, int call_result, size_t done);
  // Repeats the OpenSSL `call(done)` until `count` bytes moved; the first failure ends it.
  template <typename Call>
  TransportResult Transfer(size_t count, const Call& call);

  int fd_;              // -1 once closed
  SSL_CTX* context_;    // null once closed
  SSL* ssl_;            // null once closed
  bool fatal_ = false;  // SSL_ERROR_SSL or SSL_ERROR_SYSCALL seen
};

// Sets up a TLS client on the connected socket `fd` (which it takes over in every case):
// peer verification against `trusted` only, SSL 3 refused, the certificate must be valid
// for `expected_host`. On failure of a set-up step it logs and reports it and returns null,
// the socket closed; the caller must then fail the connection. Any thread.
TransportPtr CreateTlsTransport(int fd, const TrustedCertificates& trusted,
                                const std::string& expected_host);

}  // namespace Voro
