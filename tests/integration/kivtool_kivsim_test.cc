// kivtool and kivsim as people run them: kivtool decode prints bodies as JSON or the
// plugin's message; kivtool rtmp-probe shows the simulator's connect answer; kivsim plays
// a scenario file and serves its login queue over HTTPS to the substitute host's libcurl.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/host_exchange.h"
#include "support/run_kivhost.h"
#include "support/test_pki.h"

namespace {

using kivhost::testing::CommandRun;
using kivhost::testing::RunProgram;
using kivhost::testing::TempFile;

CommandRun Kivtool(const std::string& args) { return RunProgram(KIV_KIVTOOL_PATH, args); }

TEST(KivtoolDecodeTest, PrintsEachBodyTypeAsJsonOrThePluginsRefusal) {
  struct Case {
    std::string options;
    std::string bytes;
    int exit_code;
    std::string output;
  };
  const Case cases[] = {
      // {"b": 1, "a": [true, nil, bin "hi"]}
      {"--type msgpack",
       std::string("\x82\xa1"
                   "b\x01\xa1"
                   "a\x93\xc3\xc0\xc4\x02hi",
                   13),
       0,
       "{\n    \"a\": [\n        true,\n        null,\n        \"aGk=\"\n    ],\n"
       "    \"b\": 1\n}\n"},
      {"--type=json --compact", R"({"z": 1.5, "a": -2, "a": "last"} )", 0,
       "{\"a\":\"last\",\"z\":1.5}\n"},
      {"--compact --type yaml", "list: [1, -1, yes, '1', ~]\nname: alice\n", 0,
       "{\"list\":[1,-1,true,\"1\",null],\"name\":\"alice\"}\n"},
      {"--type msgpack",
       std::string("\xa5"
                   "ab",
                   3),
       1, "Invalid MessagePack data. String of size 5 at position 1 is truncated.\n"},
      {"--type msgpack", std::string("\x01\x02", 2), 1, "Extra MessgePack data found in body\n"},
      {"--type json", "[1] [2]", 1,
       "Error: The document root must not follow by other values. at offset 4.\n"},
      {"--type yaml", "a: 1\n---\nb: 2\n", 1, "Multi-document YAML is not supported.\n"},
  };
  for (const Case& c : cases) {
    TempFile body(c.bytes);
    CommandRun run = Kivtool("decode " + c.options + " " + body.path());
    EXPECT_EQ(run.exit_code, c.exit_code) << c.bytes;
    EXPECT_EQ(run.output, c.output) << c.bytes;
  }
  EXPECT_EQ(
      RunProgram("printf '[1, 2]' | " KIV_KIVTOOL_PATH, "decode --type json --compact -").output,
      "[1,2]\n");
}

TEST(KivtoolDecodeTest, BadCommandLines) {
  for (const char* args : {"decode", "decode --type xml", "decode --type json a b", "nonsense"}) {
    EXPECT_EQ(Kivtool(args).exit_code, 2) << args;
  }
  CommandRun missing = Kivtool("decode --type json /nonexistent/body.json");
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.output,
            "kivtool decode: cannot open /nonexistent/body.json: No such file or directory\n");
  EXPECT_TRUE(Kivtool("--help").Has("decode     print a MessagePack, JSON or YAML body as JSON"));
}

// kivsim started in the background; `port` is read from the first line that matches
// `port_line`, the rest of what it prints is kept for rest().
class Kivsim {
 public:
  Kivsim(const std::string& args, const char* port_line) {
    out_ = popen((std::string(KIV_KIVSIM_PATH) + " " + args).c_str(), "r");
    char line[512];
    while (out_ != nullptr && port == 0 && std::fgets(line, sizeof line, out_)) {
      std::sscanf(line, port_line, &port);
    }
  }
  ~Kivsim() { rest(); }
  // Everything printed after the port, once kivsim has ended by itself (--run-for).
  std::string rest() {
    char line[512];
    while (out_ != nullptr && std::fgets(line, sizeof line, out_)) rest_ += line;
    if (out_ != nullptr) pclose(out_);
    out_ = nullptr;
    return rest_;
  }
  int port = 0;

 private:
  FILE* out_ = nullptr;
  std::string rest_;
};

TEST(KivsimProbeTest, ProbeShowsTheSimulatorsConnectAnswer) {
  Kivsim sim("--rtmp-port 0 --chunk-size 1024 --run-for 4",
             "kivsim: rtmp listening on 127.0.0.1:%d");
  ASSERT_GT(sim.port, 0);
  CommandRun run =
      Kivtool("rtmp-probe rtmp://127.0.0.1:" + std::to_string(sim.port) + " --seconds 1");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  run.ExpectHas(
      {"\"typeName\":\"Set Chunk Size\",\"chunkStream\":2,\"messageStream\":0,"
       "\"length\":4,\"value\":1024}",
       "\"clientId\":\"sim-client-1\""});
}

TEST(KivsimProbeTest, ClearErrors) {
  TempFile scenario("platform: { faults: { login: sometimes } }\n");
  struct Case {
    std::string program;
    std::string args;
    int exit_code;
    std::string text;
  };
  const Case cases[] = {
      {KIV_KIVTOOL_PATH, "rtmp-probe rtmp://127.0.0.1:1 --seconds 1", 1,
       "cannot connect to 127.0.0.1:1: Failed to connect with socket"},
      {KIV_KIVTOOL_PATH, "rtmp-probe http://x", 2, "the URL must start with rtmp:// or rtmps://"},
      {KIV_KIVSIM_PATH, "--rtmps-port 0", 2, "--rtmps-port needs --cert and --key"},
      {KIV_KIVSIM_PATH, "--scenario " + scenario.path(), 2,
       scenario.path() + ": platform.faults.login must be one of none, no_answer, error, drop, "
                         "malformed (not \"sometimes\")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    CommandRun run = RunProgram(c.program, c.args);
    EXPECT_EQ(run.exit_code, c.exit_code);
    run.ExpectHas({c.text});
  }
}

TEST(KivsimProbeTest, ScenarioLoginQueueOverHttpsThroughTheHost) {
  std::string why;
  const Voro::testing::TestPki* pki = Voro::testing::SharedTestPki(&why);
  ASSERT_NE(pki, nullptr) << why;
  TempFile scenario(
      "accounts:\n"
      "  - { username: alice, password: pw, account_id: 7 }\n"
      "login_queue: { players_ahead: 6, nodes: 3, rate: 1000 }\n");
  Kivsim sim("--scenario " + scenario.path() + " --queue-port 0 --cert " + pki->localhost_cert +
                 " --key " + pki->server_key + " --run-for 3",
             "kivsim: login queue listening on https://127.0.0.1:%d");
  ASSERT_GT(sim.port, 0);
  const std::string base = "https://localhost:" + std::to_string(sim.port);
  kivhost::ExternalHttp http;
  auto trusted = http.SetExtraCaFile(pki->ca_cert);
  ASSERT_TRUE(trusted.ok()) << trusted.error();
  using kivhost::testing::Perform;
  const auto joined =
      Perform(http, KIV_METHOD_POST, base + "/authenticate", {}, "user=alice,password=pw");
  EXPECT_EQ(joined.code + joined.status, 200);
  EXPECT_TRUE(joined.body.find(R"("status":"QUEUE")") != std::string::npos &&
              joined.body.find(R"("node":"node3")") != std::string::npos)
      << joined.body;
  const auto ticker = Perform(http, KIV_METHOD_GET, base + "/ticker/sim");
  EXPECT_EQ(ticker.status, 200);
  EXPECT_NE(ticker.body.find(R"("node1":")"), std::string::npos) << ticker.body;
  EXPECT_EQ(
      Perform(http, KIV_METHOD_POST, base + "/authenticate", {}, "user=alice,password=no").status,
      403);
  // What it received, one line each, once it has run its time.
  const std::string rest = sim.rest();
  for (const char* line :
       {"kivsim: queue: POST /authenticate -> 200 {", "kivsim: queue: GET /ticker/sim -> 200",
        "kivsim: queue: POST /authenticate -> 403"}) {
    EXPECT_NE(rest.find(line), std::string::npos) << line << "\n---\n" << rest;
  }
}

}  // namespace
