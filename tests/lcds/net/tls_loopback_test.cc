// The TLS transport against an in-process server that the test steers: close notify,
// buffered plaintext, large transfers, a vanished peer, and use after Close.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "diag/assertion.h"
#include "diag/log.h"
#include "diag/log_test_support.h"
#include "lcds/net/connect_socket.h"
#include "lcds/net/default_sigpipe.h"
#include "lcds/net/loopback_tls_server.h"
#include "lcds/net/tls_transport.h"
#include "support/test_pki.h"

namespace Voro {
namespace {

using testing::Flag;
using testing::LoopbackTlsServer;
using testing::ServerRead;
using testing::ServerWrite;

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed;
  for (uint8_t& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 23);
  }
  return bytes;
}

class TlsLoopbackTest : public testing_support::LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    SimulateInitialize();
    std::string why;
    pki_ = testing::SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
  }

  void TearDown() override {
    // Let a server still waiting for the client go before the transport goes.
    release_.Raise();
    transport_.reset();
    server_.Join();
    LoggerTest::TearDown();
  }

  // Starts the server with `session` and connects a transport trusting the test authority.
  void Connect(LoopbackTlsServer::Session session, const std::string& expected_host = "localhost") {
    std::string why;
    ASSERT_TRUE(server_.Start(pki_->localhost_cert, pki_->server_key, std::move(session), &why))
        << why;
    const SocketResult socket = ConnectSocket("127.0.0.1", server_.port());
    ASSERT_TRUE(socket.ok()) << socket.error.message;
    client_fd_ = socket.fd;
    transport_ = CreateTlsTransport(socket.fd, TrustedCertificates::FromPemFile(pki_->ca_cert),
                                    expected_host);
    ASSERT_NE(transport_, nullptr);
  }

  // One byte up runs the handshake; the server sessions below read it first.
  void Hello() {
    const uint8_t byte = 'h';
    const TransportResult result = transport_->Write(&byte, 1);
    ASSERT_TRUE(result.ok()) << result.message;
  }

  std::string LoggedText() const {
    std::string text;
    for (const std::string& message : recorder_.Messages()) {
      text += message + "\n";
    }
    return text;
  }

  const testing::TestPki* pki_ = nullptr;
  LoopbackTlsServer server_;
  Flag release_;  // raised by the test when the server may end its session
  int client_fd_ = -1;
  TransportPtr transport_;
};

TEST_F(TlsLoopbackTest, LargeTransfersBothWaysArriveExactly) {
  // Many records each way; the client's one call must loop over partial reads and writes.
  const std::vector<uint8_t> up = Pattern((1 << 20) + 3, 7);
  const std::vector<uint8_t> down = Pattern((1 << 20) + 11, 8);
  std::vector<uint8_t> received_up(up.size());
  std::atomic<bool> server_ok{false};
  Connect([&](SSL* ssl, int, bool*) {
    // Small reads on the server: the client's records arrive in pieces.
    size_t done = 0;
    while (done < received_up.size()) {
      const size_t want = std::min<size_t>(1000 + done % 3000, received_up.size() - done);
      if (!ServerRead(ssl, received_up.data() + done, want)) {
        return;
      }
      done += want;
    }
    server_ok = ServerWrite(ssl, down.data(), down.size());
    release_.Wait();
  });
  const TransportResult written = transport_->Write(up.data(), up.size());
  ASSERT_TRUE(written.ok()) << written.message;
  EXPECT_EQ(written.transferred, up.size());
  std::vector<uint8_t> received_down(down.size());
  const TransportResult read = transport_->Read(received_down.data(), received_down.size());
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(read.transferred, down.size());
  EXPECT_TRUE(received_down == down);
  release_.Raise();
  server_.Join();
  EXPECT_TRUE(server_.handshake_ok());
  EXPECT_TRUE(server_ok);
  EXPECT_TRUE(received_up == up);
  EXPECT_EQ(recorder_.Count(), 0u) << LoggedText();
}

TEST_F(TlsLoopbackTest, PeerCloseNotifyFailsTheNextReadWithZeroReturn) {
  Connect([&](SSL* ssl, int, bool*) {
    uint8_t byte;
    if (ServerRead(ssl, &byte, 1)) {
      ServerWrite(ssl, "ab", 2);
      SSL_shutdown(ssl);  // close notify, without waiting for the client's
    }
    release_.Wait();
  });
  Hello();
  uint8_t buffer[2];
  ASSERT_TRUE(transport_->Read(buffer, 2).ok());
  const TransportResult result = transport_->Read(buffer, 1);
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.error_code, 6);
  EXPECT_EQ(result.message, "SSL_ERROR_ZERO_RETURN");
  EXPECT_EQ(result.transferred, 0u);
  EXPECT_EQ(recorder_.Count(), 0u) << LoggedText();
  transport_->Close();
}

TEST_F(TlsLoopbackTest, CloseSendsCloseNotify) {
  std::atomic<int> server_read_result{1};
  std::atomic<int> server_error{0};
  Connect([&](SSL* ssl, int, bool*) {
    uint8_t byte;
    if (ServerRead(ssl, &byte, 1)) {
      const int result = SSL_read(ssl, &byte, 1);
      server_read_result = result;
      server_error = SSL_get_error(ssl, result);
      SSL_shutdown(ssl);  // answer with our own
    }
  });
  Hello();
  transport_->Close();
  server_.Join();
  EXPECT_EQ(server_read_result, 0);
  EXPECT_EQ(server_error, SSL_ERROR_ZERO_RETURN);
  EXPECT_EQ(recorder_.Count(), 0u) << LoggedText();
}

TEST_F(TlsLoopbackTest, CloseDoesNotWaitLongForASilentPeer) {
  Connect([&](SSL* ssl, int, bool*) {
    uint8_t byte;
    ServerRead(ssl, &byte, 1);
    release_.Wait();  // never answers the close notify
  });
  Hello();
  const auto start = std::chrono::steady_clock::now();
  transport_->Close();
  // Bounded by the close wait, not by the peer (which waits up to 10 s).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(TlsLoopbackTest, WaitReadableSeesBufferedPlaintext) {
  const std::vector<uint8_t> message = Pattern(300, 3);
  Connect([&](SSL* ssl, int, bool*) {
    uint8_t byte;
    if (ServerRead(ssl, &byte, 1)) {
      ServerWrite(ssl, message.data(), message.size());  // one record
    }
    release_.Wait();
  });
  Hello();
  ASSERT_TRUE(transport_->WaitReadable(10000));
  std::vector<uint8_t> head(10);
  ASSERT_TRUE(transport_->Read(head.data(), head.size()).ok());
  // The whole record was taken off the socket and decrypted; the socket itself is empty.
  pollfd entry{client_fd_, POLLIN, 0};
  ASSERT_EQ(poll(&entry, 1, 0), 0);
  EXPECT_TRUE(transport_->WaitReadable(0));
  const int wake = eventfd(1, EFD_CLOEXEC);
  EXPECT_TRUE(transport_->WaitReadableOrWoken(0, wake));
  close(wake);

  std::vector<uint8_t> rest(message.size() - head.size());
  ASSERT_TRUE(transport_->Read(rest.data(), rest.size()).ok());
  head.insert(head.end(), rest.begin(), rest.end());
  EXPECT_TRUE(head == message);
  EXPECT_FALSE(transport_->WaitReadable(20));
}

TEST_F(TlsLoopbackTest, WaitReadableOrWokenReturnsOnTheWakeUp) {
  Connect([&](SSL* ssl, int, bool*) {
    uint8_t byte;
    if (ServerRead(ssl, &byte, 1)) {
      ServerWrite(ssl, "r", 1);
    }
    release_.Wait();
  });
  Hello();
  // Reading the reply also takes in what the handshake left on the socket (TLS 1.3
  // session tickets), so the socket is quiet afterwards.
  uint8_t reply = 0;
  ASSERT_TRUE(transport_->Read(&reply, 1).ok());
  EXPECT_EQ(reply, 'r');
  const int wake = eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(wake, 0);
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t one = 1;
    ASSERT_EQ(write(wake, &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(transport_->WaitReadableOrWoken(20000, wake));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  waker.join();
  close(wake);
}

TEST_F(TlsLoopbackTest, ReadAndWriteAfterCloseGiveTheExactTexts) {
  Connect([&](SSL* ssl, int, bool*) {
    uint8_t byte;
    ServerRead(ssl, &byte, 1);
    release_.Wait();
  });
  Hello();
  transport_->Close();
  transport_->Close();
  uint8_t buffer[4] = {1, 2, 3, 4};
  const TransportResult read = transport_->Read(buffer, sizeof(buffer));
  EXPECT_TRUE(read.failed);
  EXPECT_EQ(read.error_code, 0);
  EXPECT_EQ(read.message, "Cannot read from TLS socket. The socket has been disconnected.");
  EXPECT_EQ(read.transferred, 0u);
  const TransportResult written = transport_->Write(buffer, sizeof(buffer));
  EXPECT_TRUE(written.failed);
  EXPECT_EQ(written.error_code, 0);
  EXPECT_EQ(written.message, "Cannot write to TLS socket. The socket has been disconnected.");
  EXPECT_FALSE(transport_->WaitReadable(0));
  const int wake = eventfd(1, EFD_CLOEXEC);
  EXPECT_FALSE(transport_->WaitReadableOrWoken(0, wake));
  close(wake);
}

TEST_F(TlsLoopbackTest, ZeroByteReadIsReportedAsACallerError) {
  Connect([&](SSL* ssl, int, bool*) {
    uint8_t byte;
    if (ServerRead(ssl, &byte, 1)) {
      ServerWrite(ssl, "q", 1);
    }
    release_.Wait();
  });
  Hello();
  uint8_t byte = 0;
  const TransportResult zero = transport_->Read(&byte, 0);
  EXPECT_TRUE(zero.failed);
  EXPECT_EQ(zero.error_code, 0);
  EXPECT_EQ(zero.message, kTlsZeroReadMessage);
  const auto lines = recorder_.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, kLevelError);
  EXPECT_EQ(lines[0].message, AssertionReportText("ALE-16892BF1", nullptr, "", 0, ""));
  // The stream is untouched.
  ASSERT_TRUE(transport_->Read(&byte, 1).ok());
  EXPECT_EQ(byte, 'q');
}

TEST_F(TlsLoopbackTest, WriteToAVanishedPeerFailsWithoutSigpipe) {
  testing::DefaultSigpipe default_action;
  Connect([&](SSL* ssl, int fd, bool* closed) {
    uint8_t byte;
    ServerRead(ssl, &byte, 1);
    // Gone without a close notify.
    close(fd);
    SSL_free(ssl);
    *closed = true;
  });
  Hello();
  server_.Join();
  ASSERT_TRUE(transport_->WaitReadable(5000));  // the end of the stream has arrived
  // The first write draws a reset from the closed socket; the next fails with EPIPE,
  // which would raise SIGPIPE.
  const std::vector<uint8_t> bytes(4096, 0x33);
  TransportResult result = TransportResult::Success(0);
  for (int attempt = 0; attempt < 200 && result.ok(); ++attempt) {
    result = transport_->Write(bytes.data(), bytes.size());
    if (result.ok()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ASSERT_TRUE(result.failed);
  EXPECT_TRUE(result.error_code == SSL_ERROR_SYSCALL || result.error_code == SSL_ERROR_SSL)
      << result.error_code << " " << result.message;
  EXPECT_TRUE(testing::DefaultSigpipe::Clean());
  transport_->Close();
  EXPECT_TRUE(testing::DefaultSigpipe::Clean());
}

TEST_F(TlsLoopbackTest, OnlyTheGivenAuthoritiesAreTrusted) {
  // The built-in list does not hold the test authority, and the system's store is not
  // consulted.
  std::string why;
  ASSERT_TRUE(server_.Start(
      pki_->localhost_cert, pki_->server_key, [](SSL*, int, bool*) {}, &why))
      << why;
  const SocketResult socket = ConnectSocket("127.0.0.1", server_.port());
  ASSERT_TRUE(socket.ok());
  transport_ = CreateTlsTransport(socket.fd, TrustedCertificates::BuiltIn(), "localhost");
  ASSERT_NE(transport_, nullptr);
  const uint8_t byte = 'h';
  const TransportResult result = transport_->Write(&byte, 1);
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.error_code, 1);
  EXPECT_NE(LoggedText().find("unable to get local issuer certificate"), std::string::npos)
      << LoggedText();
}

TEST_F(TlsLoopbackTest, EmptyExpectedHostIsRefusedAtSetUp) {
  // An empty name would switch the name check off.
  std::string why;
  ASSERT_TRUE(server_.Start(
      pki_->localhost_cert, pki_->server_key, [](SSL*, int, bool*) {}, &why))
      << why;
  const SocketResult socket = ConnectSocket("127.0.0.1", server_.port());
  ASSERT_TRUE(socket.ok());
  EXPECT_EQ(CreateTlsTransport(socket.fd, TrustedCertificates::FromPemFile(pki_->ca_cert), ""),
            nullptr);
  // The socket was taken over and closed.
  EXPECT_EQ(fcntl(socket.fd, F_GETFD), -1);
  EXPECT_GT(recorder_.Count(), 0u);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(TlsLoopbackTest, NameWithAZeroByteIsRefusedAtSetUp) {
  std::string why;
  ASSERT_TRUE(server_.Start(
      pki_->localhost_cert, pki_->server_key, [](SSL*, int, bool*) {}, &why))
      << why;
  const SocketResult socket = ConnectSocket("127.0.0.1", server_.port());
  ASSERT_TRUE(socket.ok());
  const std::string name("localhost\0.evil.test", 20);
  EXPECT_EQ(CreateTlsTransport(socket.fd, TrustedCertificates::FromPemFile(pki_->ca_cert), name),
            nullptr);
  EXPECT_EQ(fcntl(socket.fd, F_GETFD), -1);
}

}  // namespace
}  // namespace Voro
