// The simulator and the probe as people run them: kivsim serves, kivtool rtmp-probe shows
// the connect answer with the client id the simulator handed out; kivsim plays a scenario
// file and serves its login queue over HTTPS to the substitute host's libcurl.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/host_exchange.h"
#include "support/run_kivhost.h"
#include "support/test_pki.h"

namespace {

using kivhost::testing::RunProgram;

// Starts kivsim and reads the port from its first line.
struct Kivsim {
  FILE* out = nullptr;
  int port = 0;

  explicit Kivsim(const std::string& args) {
    out = popen((std::string(KIV_KIVSIM_PATH) + " " + args).c_str(), "r");
    char line[256];
    if (out && std::fgets(line, sizeof line, out)) {
      std::sscanf(line, "kivsim: rtmp listening on 127.0.0.1:%d", &port);
    }
  }
  ~Kivsim() {
    if (out) {
      pclose(out);  // kivsim ends by itself (--run-for)
    }
  }
};

TEST(KivsimProbeTest, ProbeShowsTheSimulatorsConnectAnswer) {
  Kivsim sim("--rtmp-port 0 --chunk-size 1024 --run-for 4");
  ASSERT_GT(sim.port, 0);
  const auto run = RunProgram(
      KIV_KIVTOOL_PATH, "rtmp-probe rtmp://127.0.0.1:" + std::to_string(sim.port) + " --seconds 1");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(run.output.find("\"typeName\":\"Set Chunk Size\",\"chunkStream\":2,\"messageStream\":0,"
                            "\"length\":4,\"value\":1024}"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("\"clientId\":\"sim-client-1\""), std::string::npos) << run.output;
}

TEST(KivsimProbeTest, ClearErrors) {
  const auto refused = RunProgram(KIV_KIVTOOL_PATH, "rtmp-probe rtmp://127.0.0.1:1 --seconds 1");
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.output.find("cannot connect to 127.0.0.1:1: Failed to connect with socket"),
            std::string::npos)
      << refused.output;
  const auto bad_url = RunProgram(KIV_KIVTOOL_PATH, "rtmp-probe http://x");
  EXPECT_EQ(bad_url.exit_code, 2);
  EXPECT_NE(bad_url.output.find("the URL must start with rtmp:// or rtmps://"), std::string::npos);
  const auto bad_sim = RunProgram(KIV_KIVSIM_PATH, "--rtmps-port 0");
  EXPECT_EQ(bad_sim.exit_code, 2);
  EXPECT_NE(bad_sim.output.find("--rtmps-port needs --cert and --key"), std::string::npos);
}

TEST(KivsimProbeTest, ScenarioLoginQueueOverHttpsThroughTheHost) {
  std::string why;
  const Voro::testing::TestPki* pki = Voro::testing::SharedTestPki(&why);
  ASSERT_NE(pki, nullptr) << why;
  const std::string scenario = pki->dir + "/queue-scenario.yaml";
  std::ofstream(scenario) << "accounts:\n"
                             "  - { username: alice, password: pw, account_id: 7 }\n"
                             "login_queue: { players_ahead: 6, nodes: 3, rate: 1000 }\n";
  FILE* out =
      popen((std::string(KIV_KIVSIM_PATH) + " --scenario " + scenario + " --queue-port 0 --cert " +
             pki->localhost_cert + " --key " + pki->server_key + " --run-for 3")
                .c_str(),
            "r");
  ASSERT_NE(out, nullptr);
  char line[512];
  int port = 0;
  while (port == 0 && std::fgets(line, sizeof line, out)) {
    std::sscanf(line, "kivsim: login queue listening on https://127.0.0.1:%d", &port);
  }
  ASSERT_GT(port, 0);
  const std::string base = "https://localhost:" + std::to_string(port);

  kivhost::ExternalHttp http;
  ASSERT_TRUE(http.SetExtraCaFile(pki->ca_cert, &why)) << why;
  const auto joined = kivhost::testing::Perform(http, KIV_METHOD_POST, base + "/authenticate", {},
                                                "user=alice,password=pw");
  EXPECT_EQ(joined.code, 0);
  EXPECT_EQ(joined.status, 200);
  EXPECT_NE(joined.body.find(R"("status":"QUEUE")"), std::string::npos) << joined.body;
  EXPECT_NE(joined.body.find(R"("node":"node3")"), std::string::npos) << joined.body;
  const auto ticker = kivhost::testing::Perform(http, KIV_METHOD_GET, base + "/ticker/sim");
  EXPECT_EQ(ticker.status, 200);
  EXPECT_NE(ticker.body.find(R"("node1":")"), std::string::npos) << ticker.body;
  const auto refused = kivhost::testing::Perform(http, KIV_METHOD_POST, base + "/authenticate", {},
                                                 "user=alice,password=wrong");
  EXPECT_EQ(refused.status, 403);

  // What it received, one line each, once it has run its time.
  std::string rest;
  while (std::fgets(line, sizeof line, out)) rest += line;
  pclose(out);
  EXPECT_NE(rest.find("kivsim: queue: POST /authenticate -> 200 {"), std::string::npos) << rest;
  EXPECT_NE(rest.find("kivsim: queue: GET /ticker/sim -> 200"), std::string::npos) << rest;
  EXPECT_NE(rest.find("kivsim: queue: POST /authenticate -> 403"), std::string::npos) << rest;
}

TEST(KivsimProbeTest, BadScenarioIsRefusedWithItsReason) {
  std::string why;
  const Voro::testing::TestPki* pki = Voro::testing::SharedTestPki(&why);
  ASSERT_NE(pki, nullptr) << why;
  const std::string scenario = pki->dir + "/bad-scenario.yaml";
  std::ofstream(scenario) << "platform: { faults: { login: sometimes } }\n";
  const auto run = RunProgram(KIV_KIVSIM_PATH, "--scenario " + scenario);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.output.find(scenario + ": platform.faults.login must be one of none, no_answer, "
                                       "error, drop, malformed (not \"sometimes\")"),
            std::string::npos)
      << run.output;
}

}  // namespace
