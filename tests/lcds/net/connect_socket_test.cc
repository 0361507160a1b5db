#include "lcds/net/connect_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "lcds/net/loopback_listener.h"

namespace Voro {
namespace {

using testing::LoopbackListener;

uint16_t PeerPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

TEST(ConnectSocketTest, ConnectsToALoopbackListener) {
  LoopbackListener listener;
  ASSERT_NE(listener.port(), 0);
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    const SocketResult result = ConnectSocket(host, listener.port());
    ASSERT_TRUE(result.ok()) << result.error.message;
    EXPECT_FALSE(result.error.failed);
    const int accepted = listener.Accept();
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(PeerPort(result.fd), listener.port());
    // Not inherited by child processes, and small messages leave at once.
    EXPECT_NE(fcntl(result.fd, F_GETFD) & FD_CLOEXEC, 0);
    int nodelay = 0;
    socklen_t length = sizeof(nodelay);
    ASSERT_EQ(getsockopt(result.fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length), 0);
    EXPECT_NE(nodelay, 0);
    // The connection carries bytes.
    ASSERT_EQ(send(result.fd, "x", 1, MSG_NOSIGNAL), 1);
    char c = 0;
    ASSERT_EQ(recv(accepted, &c, 1, 0), 1);
    EXPECT_EQ(c, 'x');
    close(accepted);
    close(result.fd);
  }
}

TEST(ConnectSocketTest, HostWithOnlyAnIpv6AddressIsNotFound) {
  const SocketResult result = ConnectSocket("::1", 4321);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.fd, -1);
  EXPECT_TRUE(result.error.failed);
  EXPECT_EQ(result.error.error_code, 11001);
  EXPECT_EQ(result.error.message, "Failed to resolve the endpoint ::1:4321");
  EXPECT_EQ(result.error.transferred, 0u);
}

TEST(ConnectSocketTest, UnresolvableHostFailsWithTheEndpointInTheMessage) {
  // ".invalid" never resolves; without a resolver the lookup fails in another way, with
  // the same message.
  const SocketResult result = ConnectSocket("no-such-host.invalid", 2099);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error.message, "Failed to resolve the endpoint no-such-host.invalid:2099");
  EXPECT_NE(result.error.error_code, 0);
}

TEST(ConnectSocketTest, RefusedConnectionFailsWithErrno) {
  // A bound port that does not listen refuses, and nobody else can take it meanwhile.
  LoopbackListener not_listening(false);
  ASSERT_NE(not_listening.port(), 0);
  const SocketResult result = ConnectSocket("127.0.0.1", not_listening.port());
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.fd, -1);
  EXPECT_EQ(result.error.error_code, ECONNREFUSED);
  EXPECT_EQ(result.error.message, "Failed to connect with socket");
}

}  // namespace
}  // namespace Voro
