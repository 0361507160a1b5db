// Our RTMP client and `kivtool rtmp-probe` against an independent server: nginx with its
// RTMP module (and its stream module as a TLS front). Skipped, with the reason, when nginx
// or its modules are not installed or it does not start.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "lcds/amf/amf_member.h"
#include "lcds/net/trusted_certificates.h"
#include "lcds/rtmp/rtmp_client.h"
#include "lcds/rtmp/rtmp_connect.h"
#include "support/run_kivhost.h"
#include "support/test_pki.h"

namespace Voro {
namespace {

namespace fs = std::filesystem;
using kivhost::testing::RunProgram;

constexpr char kRtmpModule[] = "/usr/lib/nginx/modules/ngx_rtmp_module.so";
constexpr char kStreamModule[] = "/usr/lib/nginx/modules/ngx_stream_module.so";

uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

bool Accepts(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

std::string FindNginx() {
  for (const char* path : {"/usr/sbin/nginx", "/usr/bin/nginx"}) {
    if (access(path, X_OK) == 0) {
      return path;
    }
  }
  return {};
}

// One nginx for the whole suite: plain RTMP on one port, TLS in front of it on another.
class NginxRtmp {
 public:
  static NginxRtmp& Get() {
    static NginxRtmp* instance = new NginxRtmp();
    return *instance;
  }
  bool running() const { return pid_ > 0; }
  const std::string& why_not() const { return why_not_; }
  uint16_t port() const { return port_; }
  uint16_t tls_port() const { return tls_port_; }
  const std::string& ca_file() const { return ca_file_; }

 private:
  NginxRtmp() {
    const std::string nginx = FindNginx();
    if (nginx.empty()) {
      why_not_ = "nginx is not installed (Debian package nginx)";
      return;
    }
    if (access(kRtmpModule, R_OK) != 0 || access(kStreamModule, R_OK) != 0) {
      why_not_ =
          "nginx's RTMP or stream module is missing (libnginx-mod-rtmp, libnginx-mod-stream)";
      return;
    }
    std::string pki_error;
    const testing::TestPki* pki = testing::SharedTestPki(&pki_error);
    if (!pki) {
      why_not_ = "no test certificates: " + pki_error;
      return;
    }
    ca_file_ = pki->ca_cert;
    char dir_template[] = "/tmp/kiv-nginx-XXXXXX";
    if (!mkdtemp(dir_template)) {
      why_not_ = "no temporary directory";
      return;
    }
    dir_ = dir_template;
    port_ = FreePort();
    tls_port_ = FreePort();
    const std::string config = dir_ + "/nginx.conf";
    std::ofstream(config) << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                          << "error_log " << dir_ << "/error.log info;\n"
                          << "pid " << dir_ << "/nginx.pid;\n"
                          << "load_module " << kRtmpModule << ";\n"
                          << "load_module " << kStreamModule << ";\n"
                          << "events { worker_connections 64; }\n"
                          << "rtmp { server {\n  listen 127.0.0.1:" << port_ << ";\n"
                          << "  chunk_size 4096;\n  ping 1s;\n  ping_timeout 2s;\n"
                          << "  application \"\" { live on; }\n} }\n"
                          << "stream { server {\n  listen 127.0.0.1:" << tls_port_ << " ssl;\n"
                          << "  ssl_certificate " << pki->localhost_cert << ";\n"
                          << "  ssl_certificate_key " << pki->server_key << ";\n"
                          << "  proxy_pass 127.0.0.1:" << port_ << ";\n} }\n";
    pid_ = fork();
    if (pid_ == 0) {
      const std::string log = dir_ + "/stderr.log";
      freopen(log.c_str(), "w", stderr);
      freopen("/dev/null", "w", stdout);
      execl(nginx.c_str(), "nginx", "-p", dir_.c_str(), "-c", config.c_str(), nullptr);
      _exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      if (Accepts(port_) && Accepts(tls_port_)) {
        std::atexit([] { Get().Kill(); });
        return;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    std::ifstream log(dir_ + "/stderr.log");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    why_not_ = "nginx did not start: " + text;
    Kill();
  }

  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (!dir_.empty()) {
      std::error_code ignored;
      fs::remove_all(dir_, ignored);
      dir_.clear();
    }
  }

  pid_t pid_ = -1;
  std::string why_not_;
  std::string dir_;
  std::string ca_file_;
  uint16_t port_ = 0;
  uint16_t tls_port_ = 0;
};

class NginxRtmpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxRtmp::Get().running()) {
      GTEST_SKIP() << NginxRtmp::Get().why_not();
    }
  }
  NginxRtmp& nginx() { return NginxRtmp::Get(); }
};

RTMP::CommandResult Wait(std::future<RTMP::CommandResult>& future) {
  if (future.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "nginx did not answer";
    return {};
  }
  return future.get();
}

std::string Text(const AmfValue& object, const char* member) {
  const std::string* text = AmfString(AmfMember(object, member));
  return text ? *text : "<missing>";
}

void ConnectAndCall(const std::string& host, uint16_t port, bool tls,
                    const TrustedCertificates& trusted) {
  RtmpConnectResult connected = ConnectRtmp(host, port, tls, trusted);
  ASSERT_TRUE(connected.ok()) << connected.error.message;
  RtmpClient client(std::move(connected.connection));
  const std::string tc_url =
      std::string(tls ? "rtmps://" : "rtmp://") + host + ":" + std::to_string(port) + "/";
  auto connect = client.ConnectCommand(tc_url, "app:/probe.swf", "");
  RTMP::CommandResult answer = Wait(connect);
  ASSERT_TRUE(answer.success);
  EXPECT_TRUE(client.connected());
  EXPECT_EQ(Text(answer.value, "code"), "NetConnection.Connect.Success");

  // A second command is matched to its own answer (transaction id 2).
  RtmpCommand create;
  create.name = "createStream";
  auto created = client.Call(RtmpMessage::Command(RtmpType::kAmf0Command, std::move(create)));
  RTMP::CommandResult stream = Wait(created);
  ASSERT_TRUE(stream.success);
  ASSERT_TRUE(stream.value.is_amf0());
  EXPECT_EQ(stream.value.amf0().kind(), Amf0Kind::kNumber);

  // nginx pings every second and drops a client that does not answer within two.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  client.Pump();
  EXPECT_FALSE(client.disconnected()) << "nginx closed the connection: pings unanswered?";
}

TEST_F(NginxRtmpTest, ClientConnectsCallsAndAnswersPings) {
  ConnectAndCall("127.0.0.1", nginx().port(), false, TrustedCertificates());
}

TEST_F(NginxRtmpTest, ClientConnectsOverTls) {
  ConnectAndCall("localhost", nginx().tls_port(), true,
                 TrustedCertificates::FromPemFile(nginx().ca_file()));
}

TEST_F(NginxRtmpTest, TlsRefusesAServerOutsideTheTrustList) {
  RtmpConnectResult connected =
      ConnectRtmp("localhost", nginx().tls_port(), true, TrustedCertificates::BuiltIn());
  EXPECT_FALSE(connected.ok());
}

TEST_F(NginxRtmpTest, ProbePrintsTheServersMessages) {
  const auto run =
      RunProgram(KIV_KIVTOOL_PATH,
                 "rtmp-probe rtmp://127.0.0.1:" + std::to_string(nginx().port()) + " --seconds 2");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(run.output.find("\"typeName\":\"Window Acknowledgement Size\""), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("{\"type\":1,\"typeName\":\"Set Chunk Size\",\"chunkStream\":2,"
                            "\"messageStream\":0,\"length\":4,\"value\":4096}"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("\"name\":\"_result\",\"transactionId\":1,"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("\"code\":\"NetConnection.Connect.Success\""), std::string::npos)
      << run.output;
}

TEST_F(NginxRtmpTest, ProbeTrustsAnExtraCaOverTls) {
  const std::string url = "rtmps://localhost:" + std::to_string(nginx().tls_port());
  const auto trusted =
      RunProgram(KIV_KIVTOOL_PATH, "rtmp-probe " + url + " --seconds 1 --ca " + nginx().ca_file());
  EXPECT_EQ(trusted.exit_code, 0) << trusted.output;
  EXPECT_NE(trusted.output.find("\"name\":\"_result\""), std::string::npos) << trusted.output;

  const auto untrusted = RunProgram(KIV_KIVTOOL_PATH, "rtmp-probe " + url + " --seconds 1");
  EXPECT_EQ(untrusted.exit_code, 1) << untrusted.output;
  EXPECT_NE(untrusted.output.find("cannot connect to localhost"), std::string::npos)
      << untrusted.output;
}

}  // namespace
}  // namespace Voro
