#include "lcds/net/tls_transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

#include "diag/assertion.h"
#include "diag/log.h"
#include "lcds/net/sigpipe_block.h"
#include "lcds/net/socket_wait.h"
#include "lcds/net/tls_error.h"

namespace Voro {
namespace {

// Largest single SSL_read/SSL_write: the API counts in int.
int ChunkSize(size_t left) {
  return static_cast<int>(std::min(left, static_cast<size_t>(INT_MAX)));
}

void ReportSetUpFailure(const char* message, const char* code) {
  Log(kLevelError, Tag::NET, "%s", message);
  LogTlsErrorQueue(TakeTlsErrorQueue());
  ReportAssertion(code, nullptr, "", 0, "");
}

}  // namespace

TlsTransport::~TlsTransport() { Close(); }

TransportResult TlsTransport::Fail(int code, int call_result, size_t done) {
  if (code == SSL_ERROR_SSL || code == SSL_ERROR_SYSCALL) {
    fatal_ = true;
  }
  const std::vector<std::string> queue = TakeTlsErrorQueue();
  LogTlsErrorQueue(queue);
  // The queue says only that verification failed; the reason is kept on the connection.
  const long verify_result = SSL_get_verify_result(ssl_);
  if (code == SSL_ERROR_SSL && verify_result != X509_V_OK) {
    Log(kLevelError, Tag::NET, "TLS certificate verification failed: %s (%ld)",
        X509_verify_cert_error_string(verify_result), verify_result);
  }
  TlsErrorInfo info = DescribeTlsError(code, call_result, queue);
  return TransportResult::Failure(info.code, std::move(info.text), done);
}

template <typename Call>
TransportResult TlsTransport::Transfer(size_t count, const Call& call) {
  size_t done = 0;
  while (done < count) {
    ERR_clear_error();
    int result;
    int code;
    {
      // Reading may write too (alerts, key updates), so both directions guard SIGPIPE.
      ScopedSigpipeBlock no_sigpipe;
      result = call(done);
      code = SSL_get_error(ssl_, result);
    }
    if (code == SSL_ERROR_ZERO_RETURN && (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) != 0) {
      result = 0;
    }
    if (result < 1) {
      return Fail(code, result, done);
    }
    done += static_cast<size_t>(result);
  }
  return TransportResult::Success(done);
}

TransportResult TlsTransport::Write(const uint8_t* bytes, size_t count) {
  if (ssl_ == nullptr) {
    return TransportResult::Failure(0, kTlsWriteClosedMessage, 0);
  }
  return Transfer(
      count, [&](size_t done) { return SSL_write(ssl_, bytes + done, ChunkSize(count - done)); });
}

TransportResult TlsTransport::Read(uint8_t* buffer, size_t count) {
  if (ssl_ == nullptr) {
    return TransportResult::Failure(0, kTlsReadClosedMessage, 0);
  }
  if (count == 0) {
    ReportAssertion(kTlsZeroReadCode, nullptr, "", 0, "");
    return TransportResult::Failure(0, kTlsZeroReadMessage, 0);
  }
  return Transfer(
      count, [&](size_t done) { return SSL_read(ssl_, buffer + done, ChunkSize(count - done)); });
}

TransportResult TlsTransport::ReadSome(uint8_t* buffer, size_t capacity) {
  if (ssl_ == nullptr) {
    return TransportResult::Failure(0, kTlsReadClosedMessage, 0);
  }
  if (capacity == 0) {
    ReportAssertion(kTlsZeroReadCode, nullptr, "", 0, "");
    return TransportResult::Failure(0, kTlsZeroReadMessage, 0);
  }
  // One successful SSL_read: the rest of the current record at most.
  size_t got = 0;
  TransportResult result = Transfer(1, [&](size_t) {
    const int n = SSL_read(ssl_, buffer, ChunkSize(capacity));
    if (n > 0) got = static_cast<size_t>(n);
    return n;
  });
  if (result.ok()) result.transferred = got;
  return result;
}

bool TlsTransport::WaitReadable(int timeout_ms) { return WaitReadableOrWoken(timeout_ms, -1); }

bool TlsTransport::WaitReadableOrWoken(int timeout_ms, int wake_fd) {
  if (ssl_ == nullptr) {
    return false;
  }
  if (SSL_pending(ssl_) > 0) {
    return true;
  }
  return WaitSocketReadable(fd_, timeout_ms, wake_fd);
}

void TlsTransport::Close() {
  if (ssl_ != nullptr) {
    ERR_clear_error();
    if (!fatal_ && SSL_is_init_finished(ssl_)) {
      ScopedSigpipeBlock no_sigpipe;
      // The socket is blocking: bound both the sending of our close notify and the wait
      // for the peer's.
      SetSocketTimeouts(fd_, kTlsCloseWaitMs);
      int result = SSL_shutdown(ssl_);
      if (result == 0 && WaitSocketReadable(fd_, kTlsCloseWaitMs, -1)) {
        result = SSL_shutdown(ssl_);
      }
      if (result < 0) {
        LogTlsErrorQueue(TakeTlsErrorQueue());
      }
    }
  }
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  SSL_free(ssl_);  // accepts null
  ssl_ = nullptr;
  SSL_CTX_free(context_);
  context_ = nullptr;
}

TransportPtr CreateTlsTransport(int fd, const TrustedCertificates& trusted,
                                const std::string& expected_host) {
  ERR_clear_error();
  const SSL_METHOD* method = TLS_client_method();
  if (method == nullptr) {
    ReportSetUpFailure(kTlsMethodFailedMessage, kTlsMethodFailedCode);
    close(fd);
    return nullptr;
  }
  SSL_CTX* context = SSL_CTX_new(method);
  if (context == nullptr) {
    ReportSetUpFailure(kTlsContextFailedMessage, kTlsContextFailedCode);
    close(fd);
    return nullptr;
  }
  SSL_CTX_set_options(context, SSL_OP_NO_SSLv3);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  // Only these are trusted: the system's store is never loaded.
  (void)trusted.AddTo(SSL_CTX_get_cert_store(context));

  SSL* ssl = SSL_new(context);
  if (ssl == nullptr) {
    ReportSetUpFailure(kTlsSslFailedMessage, kTlsSslFailedCode);
    SSL_CTX_free(context);
    close(fd);
    return nullptr;
  }
  // An empty name would switch the name check off, and a name with a zero byte in it is
  // refused here; either way the connection must not go ahead unchecked.
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  X509_VERIFY_PARAM_set_hostflags(param, 0);
  const bool host_set =
      !expected_host.empty() &&
      X509_VERIFY_PARAM_set1_host(param, expected_host.data(), expected_host.size()) == 1;
  if (!host_set || SSL_set_fd(ssl, fd) != 1) {
    Log(kLevelError, Tag::NET, "TLS set-up failed for host \"%s\"", expected_host.c_str());
    LogTlsErrorQueue(TakeTlsErrorQueue());
    SSL_free(ssl);
    SSL_CTX_free(context);
    close(fd);
    return nullptr;
  }
  SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_AUTO_RETRY);
  SSL_set_connect_state(ssl);
  return std::make_unique<TlsTransport>(fd, context, ssl);
}

}  // namespace Voro
