#include "host/kivhost_options.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/run_kivhost.h"

namespace kivhost {
namespace {

TEST(KivhostOptionsTest, UnknownNameValueOptionsGoToTheClientCommandLine) {
  KivhostOptions options;
  std::string error;
  ASSERT_TRUE(ParseKivhostOptions(
      {"--auto-login-username=alice", "--plugin", "/p.so", "--auto-login-password=a=b",
       "--region-file", "r.json", "--tcls-uId=", "--xml-events"},
      &options, &error))
      << error;
  EXPECT_EQ(options.plugin, "/p.so");
  EXPECT_EQ(options.region_file, "r.json");
  EXPECT_TRUE(options.xml_events);
  EXPECT_EQ(options.version_text, "17.1.0");
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(
      options.client_args,
      (Pairs{{"auto-login-username", "alice"}, {"auto-login-password", "a=b"}, {"tcls-uId", ""}}));
}

TEST(KivhostOptionsTest, RefusesWhatItCannotPlace) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"--=x"}, {"-x=1"}, {"name=value"}, {"--region-file"}, {"--plugin"}}) {
    KivhostOptions options;
    std::string error;
    EXPECT_FALSE(ParseKivhostOptions(args, &options, &error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
  KivhostOptions options;
  std::string error;
  EXPECT_FALSE(ParseKivhostOptions({"--region-file"}, &options, &error));
  EXPECT_EQ(error, "'--region-file' needs a value");
  EXPECT_FALSE(ParseKivhostOptions({"--bogus"}, &options, &error));
  EXPECT_EQ(error, "unknown argument '--bogus'");
  EXPECT_FALSE(ParseKivhostOptions({"--xml-events=1"}, &options, &error));
  EXPECT_EQ(error, "'--xml-events' takes no value");
}

TEST(KivhostOptionsTest, OwnOptionsMayBeWrittenWithEquals) {
  KivhostOptions options;
  std::string error;
  ASSERT_TRUE(ParseKivhostOptions(
      {"--plugin=/p.so", "--region-file=r.json", "--host-version=1.2.3"}, &options, &error))
      << error;
  EXPECT_EQ(options.plugin, "/p.so");
  EXPECT_EQ(options.region_file, "r.json");
  EXPECT_EQ(options.version_text, "1.2.3");
  EXPECT_TRUE(options.client_args.empty());
}

TEST(KivhostOptionsTest, RunTimeWaitTimeoutAndRaisedEvents) {
  KivhostOptions options;
  std::string error;
  ASSERT_TRUE(ParseKivhostOptions({"--run-for", "1.5", "--wait-timeout=30", "--raise", "OnX",
                                   R"({"a":1})", "--raise", "OnY", "null"},
                                  &options, &error))
      << error;
  EXPECT_EQ(options.run_seconds, 1.5);
  EXPECT_EQ(options.wait_timeout_seconds, 30);
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(options.raised_events, (Pairs{{"OnX", R"({"a":1})"}, {"OnY", "null"}}));
  EXPECT_TRUE(options.client_args.empty());

  const std::pair<std::vector<std::string>, std::string> bad[] = {
      {{"--run-for", "soon"}, "'--run-for' needs a number of seconds, not 'soon'"},
      {{"--wait-timeout=-1"}, "'--wait-timeout' needs a number of seconds, not '-1'"},
      {{"--run-for", "nan"}, "'--run-for' needs a number of seconds, not 'nan'"},
      {{"--raise", "OnX"}, "'--raise' needs an event name and a JSON payload"},
      {{"--raise=OnX"}, "'--raise' takes an event name and a JSON payload as two arguments"},
  };
  for (const auto& [args, message] : bad) {
    KivhostOptions o;
    EXPECT_FALSE(ParseKivhostOptions(args, &o, &error)) << args[0];
    EXPECT_EQ(error, message);
  }
}

TEST(KivhostOptionsTest, LoginTakesItsCredentialsBeforeOrAfterIt) {
  KivhostOptions options;
  std::string error;
  ASSERT_TRUE(ParseKivhostOptions(
      {"--region-file", "r.json", "login", "--username", "alice", "--password=p w=x", "--ca",
       "ca.pem", "--qsa-file", "q.json", "--login-timeout", "2.5"},
      &options, &error))
      << error;
  EXPECT_EQ(options.command, "login");
  EXPECT_EQ(options.login.username, "alice");
  EXPECT_EQ(options.login.password, "p w=x");
  EXPECT_EQ(options.login.timeout_seconds, 2.5);
  EXPECT_EQ(options.region_file, "r.json");
  EXPECT_EQ(options.ca_file, "ca.pem");
  EXPECT_EQ(options.qsa_file, "q.json");
  EXPECT_TRUE(options.client_args.empty());

  // An empty password is a password; the time-out has its default.
  KivhostOptions before;
  ASSERT_TRUE(ParseKivhostOptions({"--username=bob", "--password", "", "login"}, &before, &error))
      << error;
  EXPECT_EQ(before.login.username, "bob");
  EXPECT_EQ(before.login.password, "");
  EXPECT_EQ(before.login.timeout_seconds, std::nullopt);
  EXPECT_EQ(kDefaultLoginTimeout, 360);

  const std::pair<std::vector<std::string>, std::string> bad[] = {
      {{"login"}, "'login' needs --username USER and --password PASSWORD"},
      {{"login", "--username", "a"}, "'login' needs --username USER and --password PASSWORD"},
      {{"login", "--password", "a"}, "'login' needs --username USER and --password PASSWORD"},
      {{"login", "--username"}, "'--username' needs a value"},
      {{"--username", "a"}, "'--username' goes with the 'login' command"},
      {{"--password=a"}, "'--password' goes with the 'login' command"},
      {{"--login-timeout", "5"}, "'--login-timeout' goes with the 'login' command"},
      {{"--username", "a", "api"}, "'--username' goes with the 'login' command"},
      {{"--password", "a", "call", "GET", "/x"}, "'--password' goes with the 'login' command"},
      {{"login", "--username", "a", "--password", "b", "--login-timeout", "0"},
       "'--login-timeout' needs a number of seconds above 0, not '0'"},
      {{"login", "--login-timeout", "soon"},
       "'--login-timeout' needs a number of seconds, not 'soon'"},
      {{"login", "--username", "a", "--password", "b", "api"},
       "'api' cannot follow the command 'login'"},
      {{"login", "call", "GET", "/x"}, "'call' cannot follow the command 'login'"},
      {{"login", "login"}, "'login' cannot follow the command 'login'"},
      {{"--qsa-file"}, "'--qsa-file' needs a value"},
  };
  for (const auto& [args, message] : bad) {
    KivhostOptions o;
    EXPECT_FALSE(ParseKivhostOptions(args, &o, &error)) << args[0];
    EXPECT_EQ(error, message);
  }
  // Help is help, whatever else is missing.
  KivhostOptions help;
  EXPECT_TRUE(ParseKivhostOptions({"login", "--help"}, &help, &error));
  EXPECT_TRUE(help.help);
}

using kivhost::testing::CommandRun;
using kivhost::testing::RunKivhost;

TEST(KivhostOptionsTest, KivhostStopsAtABadRegionFile) {
  char name[] = "/tmp/kivhost-region-XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(name) << R"({"globals": {"region": "local"}})";
  CommandRun bad = RunKivhost(std::string("--plugin " KIV_PLUGIN_PATH " --region-file ") + name);
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.output.find(std::string("kivhost: region file ") + name +
                            " must hold an object with the objects \"globals\" and "
                            "\"region_data\"\n"),
            std::string::npos)
      << bad.output;
  EXPECT_EQ(bad.output.find("handshake:"), std::string::npos) << bad.output;

  std::ofstream(name) << R"({"globals": {"region": "local"}, "region_data": {}})";
  CommandRun good = RunKivhost(std::string("--plugin " KIV_PLUGIN_PATH " --region-file ") + name +
                               " --auto-login-username=alice");
  EXPECT_EQ(good.exit_code, 0) << good.output;
  EXPECT_NE(good.output.find("initialize: ready\n"), std::string::npos) << good.output;
  std::remove(name);

  CommandRun help = RunKivhost("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.output.find("--region-file FILE"), std::string::npos) << help.output;
  EXPECT_NE(help.output.find("--NAME=VALUE"), std::string::npos) << help.output;
}

}  // namespace
}  // namespace kivhost
