#include "lcds/net/tls_error.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "diag/log.h"
#include "diag/log_test_support.h"

namespace Voro {
namespace {

class TlsErrorLogTest : public testing_support::LoggerTest {};

TEST(TlsErrorTest, EachCodeHasItsText) {
  const std::vector<std::string> no_queue;
  struct Row {
    int code;
    const char* text;
  };
  const Row rows[] = {
      {0, "SSL_ERROR_NONE"},          {2, "SSL_ERROR_WANT_READ"},
      {3, "SSL_ERROR_WANT_WRITE"},    {4, "SSL_ERROR_WANT_X509_LOOKUP"},
      {6, "SSL_ERROR_ZERO_RETURN"},   {7, "SSL_ERROR_WANT_CONNECT"},
      {8, "SSL_ERROR_WANT_ACCEPT"},   {9, "Unknown SSL_ERROR code"},
      {11, "Unknown SSL_ERROR code"}, {-1, "Unknown SSL_ERROR code"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    // The call's result matters for SSL_ERROR_SYSCALL only; the queue for it and SSL only.
    for (int call_result : {-1, 0, 5}) {
      const TlsErrorInfo info = DescribeTlsError(row.code, call_result, {"ignored line"});
      EXPECT_EQ(info.code, row.code);
      EXPECT_EQ(info.text, row.text);
    }
  }
}

TEST(TlsErrorTest, ProtocolErrorIsTheQueue) {
  EXPECT_EQ(DescribeTlsError(1, -1, {"first:error", "second:error"}).text,
            "first:error\nsecond:error");
  EXPECT_EQ(DescribeTlsError(1, 0, {"only"}).text, "only");
  EXPECT_EQ(DescribeTlsError(1, -1, {}).code, 1);
  EXPECT_EQ(DescribeTlsError(1, -1, {}).text, "");
}

TEST(TlsErrorTest, SystemCallErrorWithQueueIsTheQueue) {
  const TlsErrorInfo info = DescribeTlsError(5, -1, {"a", "b", "c"});
  EXPECT_EQ(info.code, 5);
  EXPECT_EQ(info.text, "a\nb\nc");
}

TEST(TlsErrorTest, SystemCallErrorWithoutQueueGoesByTheResult) {
  EXPECT_EQ(DescribeTlsError(5, 0, {}).text,
            "SSL_ERROR_SYSCALL - An EOF was observed that violates the protocol.");
  EXPECT_EQ(DescribeTlsError(5, -1, {}).text,
            "SSL_ERROR_SYSCALL - The underlying BIO reported an I/O error.");
  EXPECT_EQ(DescribeTlsError(5, 1, {}).text, "SSL_ERROR_SYSCALL - Unknown error 1.");
  EXPECT_EQ(DescribeTlsError(5, -2, {}).text, "SSL_ERROR_SYSCALL - Unknown error -2.");
  EXPECT_EQ(DescribeTlsError(5, 2147483647, {}).text,
            "SSL_ERROR_SYSCALL - Unknown error 2147483647.");
}

// Puts one real entry on this thread's error queue: a certificate that does not parse.
void MakeOpenSslError() {
  const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01};
  const unsigned char* cursor = garbage;
  X509* certificate = d2i_X509(nullptr, &cursor, sizeof(garbage));
  ASSERT_EQ(certificate, nullptr);
}

TEST_F(TlsErrorLogTest, QueueIsTakenAndLoggedLineByLine) {
  SimulateInitialize();
  ERR_clear_error();
  EXPECT_TRUE(TakeTlsErrorQueue().empty());

  MakeOpenSslError();
  ASSERT_NE(ERR_peek_error(), 0u);
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

}  // namespace
}  // namespace Voro
