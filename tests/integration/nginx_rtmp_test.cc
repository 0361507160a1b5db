// Our RTMP client and `kivtool rtmp-probe` against an independent server: nginx with its
// RTMP module (and its stream module as a TLS front). Skipped, with the reason, when nginx
// or its modules are not installed or it does not start.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
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

using kivhost::testing::RunProgram;

constexpr char kRtmpModule[] = "/usr/lib/nginx/modules/ngx_rtmp_module.so";
constexpr char kStreamModule[] = "/usr/lib/nginx/modules/ngx_stream_module.so";

// One nginx for the whole binary: plain RTMP on one port, TLS in front of it on another.
// It runs in the foreground of a shell that writes its pid; both go at exit.
class NginxRtmp {
 public:
  static NginxRtmp& Get() {
    static NginxRtmp* instance = new NginxRtmp();
    return *instance;
  }
  std::string why_not;
  std::string ca_file;
  int port = 0;
  int tls_port = 0;

 private:
  NginxRtmp() {
    const testing::TestPki* pki = testing::SharedTestPki(&why_not);
    if (access("/usr/sbin/nginx", X_OK) != 0 || access(kRtmpModule, R_OK) != 0 ||
        access(kStreamModule, R_OK) != 0) {
      why_not =
          "nginx or its RTMP or stream module is missing (nginx, libnginx-mod-rtmp, "
          "libnginx-mod-stream)";
      return;
    }
    if (pki == nullptr) return;
    ca_file = pki->ca_cert;
    dir_ = pki->dir + "/nginx";
    std::filesystem::create_directories(dir_);
    // Two ports the kernel has just handed out and taken back.
    for (int* p : {&port, &tls_port}) {
      kivhost::testing::CommandRun free =
          RunProgram("python3",
                     "-c 'import socket; s=socket.socket(); s.bind((\"127.0.0.1\", 0)); "
                     "print(s.getsockname()[1])'");
      *p = std::atoi(free.output.c_str());
    }
    std::ofstream(dir_ + "/nginx.conf")
        << "daemon off;\nmaster_process off;\nerror_log " << dir_ << "/error.log info;\n"
        << "pid " << dir_ << "/nginx.pid;\nload_module " << kRtmpModule << ";\n"
        << "load_module " << kStreamModule << ";\nevents { worker_connections 64; }\n"
        << "rtmp { server {\n  listen 127.0.0.1:" << port << ";\n"
        << "  chunk_size 4096;\n  ping 1s;\n  ping_timeout 2s;\n"
        << "  application \"\" { live on; }\n} }\n"
        << "stream { server {\n  listen 127.0.0.1:" << tls_port << " ssl;\n"
        << "  ssl_certificate " << pki->localhost_cert << ";\n"
        << "  ssl_certificate_key " << pki->server_key << ";\n"
        << "  proxy_pass 127.0.0.1:" << port << ";\n} }\n";
    pid_ = fork();
    if (pid_ == 0) {
      freopen((dir_ + "/stderr.log").c_str(), "w", stderr);
      execl("/usr/sbin/nginx", "nginx", "-p", dir_.c_str(), "-c", "nginx.conf", nullptr);
      _exit(127);
    }
    std::atexit([] { Get().Kill(); });
    const std::string ready = "5 bash -c 'until (exec 3<>/dev/tcp/127.0.0.1/" +
                              std::to_string(tls_port) + ") 2>/dev/null; do sleep 0.02; done'";
    if (RunProgram("timeout", ready).exit_code != 0) {
      why_not = "nginx did not start: " + testing::ReadTextFile(dir_ + "/stderr.log");
      Kill();
    }
  }
  void Kill() {
    if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t pid_ = -1;
  std::string dir_;
};

class NginxRtmpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!nginx_.why_not.empty()) GTEST_SKIP() << nginx_.why_not;
  }
  const NginxRtmp& nginx_ = NginxRtmp::Get();
};

RTMP::CommandResult Wait(std::future<RTMP::CommandResult>& future) {
  if (future.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return future.get();
  ADD_FAILURE() << "nginx did not answer";
  return {};
}

TEST_F(NginxRtmpTest, ClientConnectsCallsAndAnswersPingsOverTlsOrNot) {
  struct Row {
    std::string host;
    int port;
    bool tls;
    TrustedCertificates trusted;
  };
  const Row rows[] = {
      {"127.0.0.1", nginx_.port, false, TrustedCertificates()},
      {"localhost", nginx_.tls_port, true, TrustedCertificates::FromPemFile(nginx_.ca_file)}};
  std::vector<std::unique_ptr<RtmpClient>> clients;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.host);
    RtmpConnectResult connected = ConnectRtmp(row.host, row.port, row.tls, row.trusted);
    ASSERT_TRUE(connected.ok()) << connected.error.message;
    auto& client =
        clients.emplace_back(std::make_unique<RtmpClient>(std::move(connected.connection)));
    auto connect = client->ConnectCommand(std::string(row.tls ? "rtmps://" : "rtmp://") + row.host +
                                              ":" + std::to_string(row.port) + "/",
                                          "app:/probe.swf", "");
    RTMP::CommandResult answer = Wait(connect);
    ASSERT_TRUE(answer.success);
    EXPECT_TRUE(client->connected());
    const std::string* code = AmfString(AmfMember(answer.value, "code"));
    EXPECT_EQ(code ? *code : "", "NetConnection.Connect.Success");
    // A second command is matched to its own answer (transaction id 2).
    RtmpCommand create;
    create.name = "createStream";
    auto created = client->Call(RtmpMessage::Command(RtmpType::kAmf0Command, std::move(create)));
    RTMP::CommandResult stream = Wait(created);
    ASSERT_TRUE(stream.success);
    ASSERT_TRUE(stream.value.is_amf0());
    EXPECT_EQ(stream.value.amf0().kind(), Amf0Kind::kNumber);
  }
  // nginx pings every second and drops a client that does not answer within two.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  for (auto& client : clients) {
    client->Pump();
    EXPECT_FALSE(client->disconnected()) << "nginx closed the connection: pings unanswered?";
  }
  EXPECT_FALSE(ConnectRtmp("localhost", nginx_.tls_port, true, TrustedCertificates::BuiltIn()).ok())
      << "a server outside the trust list";
}

TEST_F(NginxRtmpTest, ProbePrintsTheServersMessagesAndTrustsAnExtraCa) {
  const auto plain =
      RunProgram(KIV_KIVTOOL_PATH,
                 "rtmp-probe rtmp://127.0.0.1:" + std::to_string(nginx_.port) + " --seconds 2");
  EXPECT_EQ(plain.exit_code, 0) << plain.output;
  plain.ExpectHas({"\"typeName\":\"Window Acknowledgement Size\"",
                   "{\"type\":1,\"typeName\":\"Set Chunk Size\",\"chunkStream\":2,"
                   "\"messageStream\":0,\"length\":4,\"value\":4096}",
                   "\"name\":\"_result\",\"transactionId\":1,",
                   "\"code\":\"NetConnection.Connect.Success\""});

  const std::string tls =
      "rtmp-probe rtmps://localhost:" + std::to_string(nginx_.tls_port) + " --seconds 1";
  const auto trusted = RunProgram(KIV_KIVTOOL_PATH, tls + " --ca " + nginx_.ca_file);
  EXPECT_EQ(trusted.exit_code, 0) << trusted.output;
  trusted.ExpectHas({"\"name\":\"_result\""});
  const auto untrusted = RunProgram(KIV_KIVTOOL_PATH, tls);
  EXPECT_EQ(untrusted.exit_code, 1) << untrusted.output;
  untrusted.ExpectHas({"cannot connect to localhost"});
}

}  // namespace
}  // namespace Voro
