// The TLS transport and its error texts, against a server the test steers and against
// `openssl s_server`, an independent implementation.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/eventfd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "diag/log.h"
#include "diag/log_test_support.h"
#include "lcds/net/connect_socket.h"
#include "lcds/net/net_test_peers.h"
#include "lcds/net/tls_error.h"
#include "lcds/net/tls_transport.h"
#include "support/test_pki.h"

namespace Voro {
namespace {

using std::chrono::steady_clock;
using namespace testing;

TEST(TlsErrorTest, EachCodeHasItsText) {
  const struct {
    int code;
    int call_result;
    std::vector<std::string> queue;
    std::string text;
  } rows[] = {
      // The call's result matters for SSL_ERROR_SYSCALL only; the queue for it and SSL only.
      {0, 5, {"ignored"}, "SSL_ERROR_NONE"},
      {2, -1, {"ignored"}, "SSL_ERROR_WANT_READ"},
      {3, 0, {}, "SSL_ERROR_WANT_WRITE"},
      {4, -1, {}, "SSL_ERROR_WANT_X509_LOOKUP"},
      {6, 0, {"ignored"}, "SSL_ERROR_ZERO_RETURN"},
      {7, 5, {}, "SSL_ERROR_WANT_CONNECT"},
      {8, -1, {}, "SSL_ERROR_WANT_ACCEPT"},
      {9, 0, {}, "Unknown SSL_ERROR code"},
      {11, -1, {"ignored"}, "Unknown SSL_ERROR code"},
      {-1, 0, {}, "Unknown SSL_ERROR code"},
      {1, -1, {"first:error", "second:error"}, "first:error\nsecond:error"},
      {1, 0, {"only"}, "only"},
      {1, -1, {}, ""},
      {5, -1, {"a", "b", "c"}, "a\nb\nc"},
      {5, 0, {}, "SSL_ERROR_SYSCALL - An EOF was observed that violates the protocol."},
      {5, -1, {}, "SSL_ERROR_SYSCALL - The underlying BIO reported an I/O error."},
      {5, 1, {}, "SSL_ERROR_SYSCALL - Unknown error 1."},
      {5, -2, {}, "SSL_ERROR_SYSCALL - Unknown error -2."},
      {5, 2147483647, {}, "SSL_ERROR_SYSCALL - Unknown error 2147483647."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const TlsErrorInfo info = DescribeTlsError(row.code, row.call_result, row.queue);
    EXPECT_EQ(info.code, row.code);
    EXPECT_EQ(info.text, row.text);
  }
}

class TlsTest : public testing_support::LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    SimulateInitialize();
    std::string why;
    pki_ = SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
  }
  void TearDown() override {
    transport_.reset();  // ends a peer still reading
    peer_.reset();
    LoggerTest::TearDown();
  }

  TrustedCertificates TestAuthority() const {
    return TrustedCertificates::FromPemFile(pki_->ca_cert);
  }
  void Connect(uint16_t port, const TrustedCertificates& trusted) {
    const SocketResult socket = ConnectSocket("localhost", port);
    ASSERT_TRUE(socket.ok()) << socket.error.message;
    client_fd_ = socket.fd;
    transport_ = CreateTlsTransport(socket.fd, trusted, "localhost");
    ASSERT_NE(transport_, nullptr);
  }
  // Starts a peer and sends it one byte, which runs the handshake; the peer reads that byte
  // and then runs `session`.
  void ConnectToPeer(TlsPeer::Session session) {
    peer_ = std::make_unique<TlsPeer>(pki_->localhost_cert, pki_->server_key,
                                      [session](Transport& server, int fd) {
                                        uint8_t hello;
                                        if (server.Read(&hello, 1).ok()) session(server, fd);
                                      });
    Connect(peer_->port(), TestAuthority());
    const TransportResult hello = transport_->Write(reinterpret_cast<const uint8_t*>("h"), 1);
    ASSERT_TRUE(hello.ok()) << hello.message;
  }
  std::string Logged(size_t from = 0) const {
    std::string text;
    const auto messages = recorder_.Messages();
    for (size_t i = from; i < messages.size(); ++i) text += messages[i] + "\n";
    return text;
  }

  const TestPki* pki_ = nullptr;
  std::unique_ptr<TlsPeer> peer_;
  TransportPtr transport_;
  int client_fd_ = -1;
};

// Blocks until the client sends or goes.
void AwaitClient(Transport& server) {
  uint8_t byte;
  (void)server.Read(&byte, 1);
}

TEST_F(TlsTest, ErrorQueueIsTakenAndLoggedLineByLine) {
  ERR_clear_error();
  EXPECT_TRUE(TakeTlsErrorQueue().empty());
  const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01};  // no certificate
  const unsigned char* cursor = garbage;
  ASSERT_EQ(d2i_X509(nullptr, &cursor, sizeof(garbage)), nullptr);
  const std::vector<std::string> lines = TakeTlsErrorQueue();
  EXPECT_EQ(ERR_peek_error(), 0u);
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    EXPECT_NE(line.find(":error:"), std::string::npos) << line;
  }
  LogTlsErrorQueue(lines);
  const auto logged = recorder_.Lines();
  ASSERT_EQ(logged.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(logged[i].level, kLevelError);
    EXPECT_EQ(logged[i].tags, Tag::NET);
    EXPECT_EQ(logged[i].message, lines[i]);
  }
}

TEST_F(TlsTest, LargeTransfersBothWaysArriveExactly) {
  // Many records each way; the client's one call must loop over partial reads and writes.
  const std::vector<uint8_t> up = Pattern((1 << 20) + 3, 7);
  const std::vector<uint8_t> down = Pattern((1 << 20) + 11, 8);
  std::vector<uint8_t> received_up(up.size());
  bool server_ok = false;
  ConnectToPeer([&](Transport& server, int) {
    // Small reads on the server: the client's records arrive in pieces.
    for (size_t done = 0, want = 0; done < up.size(); done += want) {
      want = std::min<size_t>(1000 + done % 3000, up.size() - done);
      if (!server.Read(received_up.data() + done, want).ok()) return;
    }
    server_ok = server.Write(down.data(), down.size()).ok();
    AwaitClient(server);
  });
  const TransportResult written = transport_->Write(up.data(), up.size());
  ASSERT_TRUE(written.ok()) << written.message;
  EXPECT_EQ(written.transferred, up.size());
  std::vector<uint8_t> received_down(down.size());
  const TransportResult read = transport_->Read(received_down.data(), received_down.size());
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(read.transferred, down.size());
  EXPECT_TRUE(received_down == down);
  transport_->Close();
  peer_->Join();
  EXPECT_TRUE(server_ok);
  EXPECT_TRUE(received_up == up);
  EXPECT_EQ(recorder_.Count(), 0u) << Logged();
}

TEST_F(TlsTest, ZeroByteReadIsACallerErrorAndCloseNotifyEndsTheStream) {
  ConnectToPeer([](Transport& server, int) { (void)server.Write(Pattern(2, 1).data(), 2); });
  ExpectZeroByteReadRefused(*transport_, recorder_, "ALE-16892BF1");
  uint8_t buffer[2];
  // Then the peer's close notify fails the next read.
  ASSERT_TRUE(transport_->Read(buffer, 2).ok());
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 2), Pattern(2, 1));
  const TransportResult result = transport_->Read(buffer, 1);
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.error_code, 6);
  EXPECT_EQ(result.message, "SSL_ERROR_ZERO_RETURN");
  EXPECT_EQ(result.transferred, 0u);
  EXPECT_EQ(recorder_.Count(), 1u) << Logged();
}

TEST_F(TlsTest, CloseSendsCloseNotifyAndLaterCallsFailWithTheirTexts) {
  TransportResult server_read;
  ConnectToPeer([&](Transport& server, int) {
    uint8_t byte;
    server_read = server.Read(&byte, 1);
  });
  transport_->Close();
  transport_->Close();
  peer_->Join();
  EXPECT_EQ(server_read.error_code, SSL_ERROR_ZERO_RETURN) << server_read.message;
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
  EXPECT_EQ(recorder_.Count(), 0u) << Logged();
}

TEST_F(TlsTest, CloseDoesNotWaitLongForASilentPeer) {
  std::promise<void> release;
  ConnectToPeer([released = release.get_future().share()](Transport&, int) {
    released.wait_for(std::chrono::seconds(10));  // never answers the close notify
  });
  const auto start = steady_clock::now();
  transport_->Close();
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(5));
  release.set_value();
}

TEST_F(TlsTest, WaitReadableSeesBufferedPlaintextAndReturnsOnAWakeUp) {
  const std::vector<uint8_t> message = Pattern(300, 3);
  ConnectToPeer([&](Transport& server, int) {
    (void)server.Write(message.data(), message.size());  // one record
    AwaitClient(server);
  });
  ASSERT_TRUE(transport_->WaitReadable(10000));
  std::vector<uint8_t> head(10);
  ASSERT_TRUE(transport_->Read(head.data(), head.size()).ok());
  // The whole record was taken off the socket and decrypted; the socket itself is empty.
  pollfd socket{client_fd_, POLLIN, 0};
  ASSERT_EQ(poll(&socket, 1, 0), 0);
  const int wake = eventfd(0, EFD_CLOEXEC);
  EXPECT_TRUE(transport_->WaitReadable(0));
  EXPECT_TRUE(transport_->WaitReadableOrWoken(0, wake));
  std::vector<uint8_t> rest(message.size() - head.size());
  ASSERT_TRUE(transport_->Read(rest.data(), rest.size()).ok());
  head.insert(head.end(), rest.begin(), rest.end());
  EXPECT_TRUE(head == message);
  EXPECT_FALSE(transport_->WaitReadable(20));

  ExpectWokenEarly(wake, [&](int ms) { return transport_->WaitReadableOrWoken(ms, wake); });
  close(wake);
}

TEST_F(TlsTest, WriteToAVanishedPeerFailsWithoutSigpipe) {
  DefaultSigpipe default_action;
  // Gone without a close notify: the peer's own cannot be sent any more.
  ConnectToPeer([](Transport&, int fd) { shutdown(fd, SHUT_RDWR); });
  peer_->Join();
  ASSERT_TRUE(transport_->WaitReadable(5000));  // the end of the stream has arrived
  const TransportResult result = WriteUntilFailure(*transport_);
  ASSERT_TRUE(result.failed);
  EXPECT_TRUE(result.error_code == SSL_ERROR_SYSCALL || result.error_code == SSL_ERROR_SSL)
      << result.error_code << " " << result.message;
  EXPECT_TRUE(DefaultSigpipe::Clean());
  transport_->Close();
  EXPECT_TRUE(DefaultSigpipe::Clean());
}

TEST_F(TlsTest, HostNamesThatWouldWeakenTheCheckAreRefusedAtSetUp) {
  // An empty name would switch the name check off; a zero byte would cut it short.
  for (const std::string& name : {std::string(), std::string("localhost\0.voro.test", 20)}) {
    SCOPED_TRACE(name.size());
    LoopbackListener listener;
    const SocketResult socket = ConnectSocket("127.0.0.1", listener.port());
    ASSERT_TRUE(socket.ok());
    const int accepted = listener.Accept();
    ASSERT_GE(accepted, 0);
    const size_t logged_before = recorder_.Count();
    EXPECT_EQ(CreateTlsTransport(socket.fd, TestAuthority(), name), nullptr);
    EXPECT_GT(recorder_.Count(), logged_before);
    EXPECT_EQ(ERR_peek_error(), 0u);
    // The socket was taken over and closed: the peer sees the end of the stream.
    pollfd peer{accepted, POLLIN, 0};
    ASSERT_EQ(poll(&peer, 1, 10000), 1);
    char c;
    EXPECT_EQ(recv(accepted, &c, 1, 0), 0);
    close(accepted);
  }
}

TEST_F(TlsTest, ExchangesBytesWithOpenSslServer) {
  OpenSslServer server(pki_->localhost_cert, pki_->server_key);
  if (server.port() == 0) GTEST_SKIP() << "openssl s_server is not usable here";
  Connect(server.port(), TestAuthority());
  const std::string up = "kiv-0123\n";
  const TransportResult written =
      transport_->Write(reinterpret_cast<const uint8_t*>(up.data()), up.size());
  ASSERT_TRUE(written.ok()) << written.message;
  EXPECT_EQ(written.transferred, up.size());
  ASSERT_TRUE(transport_->WaitReadable(10000));
  std::string received(up.size(), '\0');
  const TransportResult read =
      transport_->Read(reinterpret_cast<uint8_t*>(received.data()), received.size());
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(received, "3210-vik\n");  // the server's answer: the line reversed
  EXPECT_EQ(recorder_.Count(), 0u) << Logged();
}

TEST_F(TlsTest, CertificatesThatMustNotPassFailTheFirstWrite) {
  const struct {
    const char* name;
    std::string cert;
    bool built_in_trust;  // the built-in list, which does not hold the test authority
    const char* reason;
  } rows[] = {
      {"another host", pki_->other_host_cert, false, "hostname mismatch"},
      {"untrusted", pki_->untrusted_cert, false, "unable to get local issuer certificate"},
      {"expired", pki_->expired_cert, false, "certificate has expired"},
      {"not built in", pki_->localhost_cert, true, "unable to get local issuer certificate"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    OpenSslServer server(row.cert, pki_->server_key);
    if (server.port() == 0) GTEST_SKIP() << "openssl s_server is not usable here";
    Connect(server.port(), row.built_in_trust ? TrustedCertificates::BuiltIn() : TestAuthority());
    const size_t before = recorder_.Count();
    const TransportResult result = transport_->Write(reinterpret_cast<const uint8_t*>("0\n"), 2);
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.error_code, 1);  // SSL_ERROR_SSL
    EXPECT_EQ(result.transferred, 0u);
    EXPECT_NE(result.message.find("certificate verify failed"), std::string::npos)
        << result.message;
    const std::string logged = Logged(before);
    EXPECT_NE(logged.find(row.reason), std::string::npos) << logged;
    EXPECT_NE(logged.find(result.message), std::string::npos) << logged;  // every line
    const auto lines = recorder_.Lines();
    for (size_t i = before; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].level, kLevelError);
      EXPECT_EQ(lines[i].tags, Tag::NET);
    }
    EXPECT_EQ(ERR_peek_error(), 0u);
    // The connection is dead: reading fails too, and closing is quiet.
    uint8_t byte;
    EXPECT_TRUE(transport_->Read(&byte, 1).failed);
    const size_t before_close = recorder_.Count();
    transport_.reset();
    EXPECT_EQ(recorder_.Count(), before_close);
  }
}

}  // namespace
}  // namespace Voro
