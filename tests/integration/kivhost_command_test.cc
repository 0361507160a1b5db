// The kivhost command as a person runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/run_kivhost.h"

namespace {

using kivhost::testing::CommandRun;
using kivhost::testing::RunKivhost;

TEST(KivhostCommandTest, ShowsEachStepOfALoad) {
  CommandRun run = RunKivhost("--host-version 17.1.0 --plugin " KIV_PLUGIN_PATH);
  EXPECT_EQ(run.exit_code, 0) << run.output;
  for (const char* expected :
       {"handshake: host plugin API 17.1.0, descriptor now 17.1.0: accepted\n",
        "plugin: short name \"kiv-login\"\n", "api table: ",
        "plugin log: ALWAYS| zop-be-kiv-login initialized, user agent \"VoroClient/17.1.0 "
        "(kiv-login)\"\n",
        "initialize: ready\n", "memory (after initialize): peak live bytes ",
        "shutdown: done, 1 log lines from the plugin\n"}) {
    EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n---\n" << run.output;
  }
}

TEST(KivhostCommandTest, EventsFlowBetweenHostAndPlugin) {
  CommandRun run = RunKivhost(
      "--plugin " KIV_PLUGIN_PATH
      " --raise OnServiceProxyAsyncEvent "
      R"('{"uuid":"u1","serviceName":"svc","methodName":"m","payload":"","status":"","error":""}')");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  for (const char* expected : {
           // The plugin follows the plugin manager's resource and hears of its update.
           "event: raised OnJsonApiEvent_plugin-manager_v1_status {\"uri\":\"/plugin-manager/v1/"
           "status\",\"eventType\":\"Update\",\"data\":{\"state\":\"PluginsInitialized\"}}\n",
           "event: delivered OnJsonApiEvent_plugin-manager_v1_status ",
           // Its own service-proxy events arrive through its flag-1 subscription.
           "event: delivered OnServiceProxyAsyncEvent ",
           "plugin log:  ERROR| Could not find registered handler for async service proxy event "
           "svc.m\n",
       }) {
    EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n---\n" << run.output;
  }
  // Nobody subscribed to the general name.
  EXPECT_EQ(run.output.find("event: delivered OnJsonApiEvent "), std::string::npos) << run.output;
}

TEST(KivhostCommandTest, WaitStackOnTimeout) {
  CommandRun run = RunKivhost("--plugin " KIV_PLUGIN_PATH " --wait-timeout 0.2 --run-for 0.3");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  // The login module does not wait yet; the watch reports nothing.
  EXPECT_EQ(run.output.find("wait stack"), std::string::npos) << run.output;
}

TEST(KivhostCommandTest, RejectedHostVersion) {
  CommandRun run = RunKivhost("--host-version 18.0.0 --plugin " KIV_PLUGIN_PATH);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.output.find("descriptor now 18.0.0: rejected"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("zop-be-kiv-login which supports plugin API 17.1.0 is not compatible "
                            "with core's plugin API 18.0.0"),
            std::string::npos)
      << run.output;
}

TEST(KivhostCommandTest, BadArguments) {
  EXPECT_EQ(RunKivhost("--host-version 17.x").exit_code, 2);
  EXPECT_EQ(RunKivhost("--bogus").exit_code, 2);
  CommandRun missing = RunKivhost("--plugin /nonexistent/libkiv-login.so");
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.output.find("cannot load /nonexistent/libkiv-login.so"), std::string::npos);
}

}  // namespace
