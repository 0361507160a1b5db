// The TLS transport against `openssl s_server`, an independent implementation: a good
// certificate carries bytes both ways; a certificate for another name, from an authority
// outside the trust list, or out of date fails the handshake in the first write.
#include "lcds/net/tls_transport.h"

#include <openssl/err.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/log.h"
#include "diag/log_test_support.h"
#include "lcds/net/connect_socket.h"
#include "lcds/net/openssl_server_process.h"
#include "support/test_pki.h"

namespace Voro {
namespace {

class TlsTransportTest : public testing_support::LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    SimulateInitialize();
    std::string why;
    pki_ = testing::SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
  }

  // Starts s_server with `cert` and connects a TLS transport that trusts the test authority
  // and expects "localhost". Skips the test when s_server cannot run here.
  void ConnectTo(const std::string& cert) {
    std::string why;
    if (!server_.Start(cert, pki_->server_key, &why)) {
      GTEST_SKIP() << "openssl s_server is not usable: " << why;
    }
    const SocketResult socket = ConnectSocket("localhost", server_.port());
    ASSERT_TRUE(socket.ok()) << socket.error.message;
    transport_ =
        CreateTlsTransport(socket.fd, TrustedCertificates::FromPemFile(pki_->ca_cert), "localhost");
    ASSERT_NE(transport_, nullptr);
  }

  std::string LoggedText() const {
    std::string text;
    for (const std::string& message : recorder_.Messages()) {
      text += message + "\n";
    }
    return text;
  }

  // The first write runs the handshake, which must fail on the certificate.
  void ExpectVerificationFailure(const char* reason) {
    const std::string hello = "0123\n";
    const TransportResult result =
        transport_->Write(reinterpret_cast<const uint8_t*>(hello.data()), hello.size());
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.error_code, 1);  // SSL_ERROR_SSL
    EXPECT_EQ(result.transferred, 0u);
    EXPECT_NE(result.message.find("certificate verify failed"), std::string::npos)
        << result.message;
    const std::string logged = LoggedText();
    EXPECT_NE(logged.find(reason), std::string::npos) << logged;
    for (const auto& line : recorder_.Lines()) {
      EXPECT_EQ(line.level, kLevelError);
      EXPECT_EQ(line.tags, Tag::NET);
    }
    // Every line of the message was logged.
    EXPECT_NE(logged.find(result.message), std::string::npos);
    EXPECT_EQ(ERR_peek_error(), 0u);
    // The connection is dead: reading fails too, and closing is quiet.
    uint8_t byte;
    EXPECT_TRUE(transport_->Read(&byte, 1).failed);
    const size_t logged_before_close = recorder_.Count();
    transport_->Close();
    EXPECT_EQ(recorder_.Count(), logged_before_close);
  }

  const testing::TestPki* pki_ = nullptr;
  testing::OpenSslServerProcess server_;
  TransportPtr transport_;
};

TEST_F(TlsTransportTest, ExchangesBytesWithOpenSslServer) {
  ConnectTo(pki_->localhost_cert);
  if (IsSkipped()) {
    return;
  }
  const std::string up = "0123456789-from-the-client\n";
  const TransportResult written =
      transport_->Write(reinterpret_cast<const uint8_t*>(up.data()), up.size());
  ASSERT_TRUE(written.ok()) << written.message;
  EXPECT_EQ(written.transferred, up.size());
  EXPECT_TRUE(server_.WaitForOutput(up, 10000)) << server_.output();

  const std::string down = "9876543210 from the server\n";
  ASSERT_TRUE(server_.Send(down));
  ASSERT_TRUE(transport_->WaitReadable(10000));
  std::string received(down.size(), '\0');
  const TransportResult read =
      transport_->Read(reinterpret_cast<uint8_t*>(received.data()), received.size());
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(read.transferred, down.size());
  EXPECT_EQ(received, down);
  EXPECT_EQ(recorder_.Count(), 0u) << LoggedText();
  transport_->Close();
}

TEST_F(TlsTransportTest, CertificateForAnotherHostFailsTheFirstWrite) {
  ConnectTo(pki_->other_host_cert);
  if (IsSkipped()) {
    return;
  }
  ExpectVerificationFailure("hostname mismatch");
}

TEST_F(TlsTransportTest, CertificateFromAnUntrustedAuthorityFailsTheFirstWrite) {
  ConnectTo(pki_->untrusted_cert);
  if (IsSkipped()) {
    return;
  }
  ExpectVerificationFailure("unable to get local issuer certificate");
}

TEST_F(TlsTransportTest, ExpiredCertificateFailsTheFirstWrite) {
  ConnectTo(pki_->expired_cert);
  if (IsSkipped()) {
    return;
  }
  ExpectVerificationFailure("certificate has expired");
}

}  // namespace
}  // namespace Voro
