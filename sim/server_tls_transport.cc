#include "sim/server_tls_transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>

#include "lcds/net/sigpipe_block.h"
#include "lcds/net/socket_wait.h"

namespace Voro::Sim {
namespace {

std::string ErrorQueueText() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) {
      text += "; ";
    }
    text += line;
  }
  return text;
}

class ServerTlsTransport final : public Transport {
 public:
  ServerTlsTransport(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
  ~ServerTlsTransport() override { Close(); }

  TransportResult Write(const uint8_t* bytes, size_t count) override {
    return Transfer(count, [&](size_t done) {
      return SSL_write(ssl_, bytes + done, static_cast<int>(count - done));
    });
  }

  TransportResult Read(uint8_t* buffer, size_t count) override {
    return Transfer(count, [&](size_t done) {
      return SSL_read(ssl_, buffer + done, static_cast<int>(count - done));
    });
  }

  TransportResult ReadSome(uint8_t* buffer, size_t capacity) override {
    size_t got = 0;
    TransportResult result = Transfer(1, [&](size_t) {
      const int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(capacity, INT_MAX)));
      if (n > 0) got = static_cast<size_t>(n);
      return n;
    });
    if (result.ok()) result.transferred = got;
    return result;
  }

  bool WaitReadable(int timeout_ms) override { return WaitReadableOrWoken(timeout_ms, -1); }

  bool WaitReadableOrWoken(int timeout_ms, int wake_fd) override {
    if (!ssl_) {
      return false;
    }
    return SSL_pending(ssl_) > 0 || WaitSocketReadable(fd_, timeout_ms, wake_fd);
  }

  void Close() override {
    if (ssl_) {
      ScopedSigpipeBlock no_sigpipe;
      SetSocketTimeouts(fd_, 100);
      SSL_shutdown(ssl_);
      SSL_free(ssl_);
      ssl_ = nullptr;
      ERR_clear_error();
    }
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
  }

 private:
  // Repeats `call(done)` until `count` bytes moved; the first failure ends it.
  template <typename Call>
  TransportResult Transfer(size_t count, const Call& call) {
    size_t done = 0;
    while (done < count) {
      if (!ssl_) {
        return TransportResult::Failure(0, "closed", done);
      }
      ScopedSigpipeBlock no_sigpipe;
      ERR_clear_error();
      const int n = call(done);
      if (n <= 0) {
        const int code = SSL_get_error(ssl_, n);
        return TransportResult::Failure(code, "TLS transfer failed: " + std::to_string(code), done);
      }
      done += static_cast<size_t>(n);
    }
    return TransportResult::Success(done);
  }

  int fd_;
  SSL* ssl_;
};

}  // namespace

kiv::Result<std::unique_ptr<ServerTlsContext>> ServerTlsContext::Create(
    const std::string& certificate_file, const std::string& key_file) {
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (!context) return kiv::Error{"SSL_CTX_new: " + ErrorQueueText()};
  if (SSL_CTX_use_certificate_chain_file(context, certificate_file.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    std::string why = "cannot use " + certificate_file + " / " + key_file + ": " + ErrorQueueText();
    SSL_CTX_free(context);
    return kiv::Error{std::move(why)};
  }
  SSL_CTX_set_mode(context, SSL_MODE_AUTO_RETRY);
  return std::unique_ptr<ServerTlsContext>(new ServerTlsContext(context));
}

ServerTlsContext::~ServerTlsContext() { SSL_CTX_free(context_); }

TransportPtr ServerTlsContext::Accept(int fd) {
  ERR_clear_error();
  SSL* ssl = SSL_new(context_);
  if (!ssl) {
    close(fd);
    return nullptr;
  }
  SSL_set_fd(ssl, fd);
  ScopedSigpipeBlock no_sigpipe;
  if (SSL_accept(ssl) != 1) {
    ERR_clear_error();
    SSL_free(ssl);
    close(fd);
    return nullptr;
  }
  return std::make_unique<ServerTlsTransport>(fd, ssl);
}

}  // namespace Voro::Sim
