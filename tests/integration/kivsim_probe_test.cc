// The simulator and the probe as people run them: kivsim serves, kivtool rtmp-probe shows
// the connect answer with the client id the simulator handed out.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/run_kivhost.h"

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

}  // namespace
