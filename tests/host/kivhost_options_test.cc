#include "host/kivhost_options.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace kivhost {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

KivhostOptions Parse(const std::vector<std::string>& args) {
  KivhostOptions options;
  auto parsed = ParseKivhostOptions(args, &options);
  EXPECT_TRUE(parsed.ok()) << parsed.error();
  return options;
}

TEST(KivhostOptionsTest, OwnOptionsTakeTheirValuesAndTheRestGoToTheClientCommandLine) {
  KivhostOptions options = Parse(
      {"--auto-login-username=alice", "--plugin", "/p.so", "--auto-login-password=a=b",
       "--region-file", "r.json", "--tcls-uId=", "--xml-events", "--ca", "/tmp/a.pem", "--run-for",
       "1.5", "--wait-timeout=30", "--raise", "OnX", R"({"a":1})", "--raise", "OnY", "null"});
  EXPECT_EQ(options.plugin + " " + options.region_file + " " + options.ca_file,
            "/p.so r.json /tmp/a.pem");
  EXPECT_TRUE(options.xml_events);
  EXPECT_EQ(options.version_text, "17.1.0");
  EXPECT_EQ(options.run_seconds, 1.5);
  EXPECT_EQ(options.wait_timeout_seconds, 30);
  EXPECT_EQ(options.raised_events, (Pairs{{"OnX", R"({"a":1})"}, {"OnY", "null"}}));
  EXPECT_EQ(
      options.client_args,
      (Pairs{{"auto-login-username", "alice"}, {"auto-login-password", "a=b"}, {"tcls-uId", ""}}));

  options = Parse({"--plugin=/q.so", "--region-file=s.json", "--host-version=1.2.3", "--ca=b"});
  EXPECT_EQ(options.plugin + " " + options.region_file + " " + options.version_text + " " +
                options.ca_file,
            "/q.so s.json 1.2.3 b");
  EXPECT_TRUE(options.client_args.empty());
}

TEST(KivhostOptionsTest, CommandsTakeTheirArguments) {
  KivhostOptions login =
      Parse({"--region-file", "r.json", "login", "--username", "alice", "--password=p w=x",
             "--qsa-file", "q.json", "--login-timeout", "2.5"});
  EXPECT_EQ(login.command + " " + *login.login.username + " " + *login.login.password,
            "login alice p w=x");
  EXPECT_EQ(login.login.timeout_seconds, 2.5);
  EXPECT_EQ(login.region_file, "r.json");
  EXPECT_EQ(login.qsa_file, "q.json");
  EXPECT_TRUE(login.client_args.empty());
  // Credentials may come before the command; an empty password is a password.
  KivhostOptions before = Parse({"--username=bob", "--password", "", "login"});
  EXPECT_EQ(before.login.username.value_or("-") + before.login.password.value_or("-"), "bob");
  EXPECT_EQ(before.login.timeout_seconds, std::nullopt);
  // Help is help, whatever else is missing.
  EXPECT_TRUE(Parse({"login", "--help"}).help);

  EXPECT_EQ(Parse({"login", "--username=u", "--password=p", "--stay", "3"}).login.stay_seconds, 3);
  KivhostOptions serve = Parse({"serve", "--port", "8099", "--bind=0.0.0.0", "--token",
                                "console-token-0123", "--for", "2.5"});
  EXPECT_EQ(serve.command + " " + serve.serve.bind + ":" + std::to_string(serve.serve.port) + " " +
                serve.serve.token,
            "serve 0.0.0.0:8099 console-token-0123");
  EXPECT_TRUE(serve.serve.port_given && serve.serve.bind_given && serve.serve.token_given);
  EXPECT_EQ(serve.observer.for_seconds, 2.5);

  KivhostOptions call = Parse({"--plugin", "/p.so", "call", "post", "/kiv-login/v1/session",
                               "--msgpack-hex", "81 a1 61 01", "--arg", "pluginId=7"});
  EXPECT_EQ(
      call.command + " " + call.call.method + " " + call.call.path + " " + call.call.content_type,
      "call POST /kiv-login/v1/session application/x-msgpack");
  EXPECT_EQ(call.call.body, std::string("\x81\xa1"
                                        "a\x01",
                                        4));
  EXPECT_EQ(call.call.arguments, (Pairs{{"pluginId", "7"}}));
}

TEST(KivhostOptionsTest, RefusesWhatItCannotPlace) {
  const std::string needs_credentials = "'login' needs --username USER and --password PASSWORD";
  const std::string whole_number = "'--as-plugin' needs a whole number from 1 to 4294967295, not ";
  const std::string filter_form =
      "'--filter' needs an event name, or the start of one followed by '*', not ";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--bogus"}, "unknown argument '--bogus'"},
      {{"--=x"}, "unknown argument '--=x'"},
      {{"-x=1"}, "unknown argument '-x=1'"},
      {{"--region-file"}, "'--region-file' needs a value"},
      {{"--xml-events=1"}, "'--xml-events' takes no value"},
      {{"--run-for", "soon"}, "'--run-for' needs a number of seconds, not 'soon'"},
      {{"--wait-timeout=-1"}, "'--wait-timeout' needs a number of seconds, not '-1'"},
      {{"--raise", "OnX"}, "'--raise' needs an event name and a JSON payload"},
      {{"--raise=OnX"}, "'--raise' takes an event name and a JSON payload as two arguments"},
      {{"login"}, needs_credentials},
      {{"login", "--username", "a"}, needs_credentials},
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
      {{"call", "GET"}, "'call' needs a method and a path"},
      {{"call", "GET", "/p", "--json", "{}", "--yaml", "a: 1"}, "a call takes one body"},
      {{"call", "GET", "/p", "--msgpack-hex", "8"},
       "'--msgpack-hex' needs pairs of hexadecimal digits, not '8'"},
      {{"call", "GET", "/p", "--arg", "=1"}, "'--arg' needs name=value, not '=1'"},
      {{"call", "GET", "/p", "--bogus"}, "unknown call argument '--bogus'"},
      {{"api", "extra"}, "'api' takes no arguments"},
      // Observer and serve options.
      {{"events", "--as-plugin", "0"}, whole_number + "'0'"},
      {{"events", "--as-plugin", "4294967296"}, whole_number + "'4294967296'"},
      {{"events", "--as-plugin", "99999999999"}, whole_number + "'99999999999'"},
      {{"events", "--as-plugin", "-1"}, whole_number + "'-1'"},
      {{"events", "--as-plugin", "+7"}, whole_number + "'+7'"},
      {{"events", "--as-plugin", "7.0"}, whole_number + "'7.0'"},
      {{"events", "--as-plugin", ""}, whole_number + "''"},
      {{"events", "--as-plugin"}, "'--as-plugin' needs a value"},
      {{"call", "GET", "/p", "--as-plugin", "x"}, whole_number + "'x'"},
      {{"call", "GET", "/p", "--events-for"}, "'--events-for' needs a value"},
      {{"events", "--filter", "On*Event"}, filter_form + "'On*Event'"},
      {{"events", "--filter", "*On"}, filter_form + "'*On'"},
      {{"events", "--filter", "On?"}, filter_form + "'On?'"},
      {{"events", "--filter=On Lcds"}, filter_form + "'On Lcds'"},
      {{"call", "GET", "/p", "--filter", "On**"}, filter_form + "'On**'"},
      {{"events", "--for", "soon"}, "'--for' needs a number of seconds, not 'soon'"},
      {{"call", "GET", "/p", "--events-for", "-1"},
       "'--events-for' needs a number of seconds, not '-1'"},
      {{"--for", "1"}, "'--for' goes with the 'events' or 'serve' command"},
      {{"--for", "1", "call", "GET", "/p"}, "'--for' goes with the 'events' or 'serve' command"},
      {{"events", "--events-for", "1"}, "'--events-for' goes with the 'call' command"},
      {{"--events-for", "1"}, "'--events-for' goes with the 'call' command"},
      {{"--as-plugin", "7", "api"}, "'--as-plugin' does not go with the 'api' command"},
      {{"--as-plugin", "7", "login", "--username", "a", "--password", "b"},
       "'--as-plugin' does not go with the 'login' command"},
      {{"--filter", "OnLcdsEvent"},
       "'--filter' goes with the 'events' command, --as-plugin or --events-for"},
      {{"--filter", "OnLcdsEvent", "call", "GET", "/p"},
       "'--filter' goes with the 'events' command, --as-plugin or --events-for"},
      {{"events", "extra"}, "unknown argument 'extra'"},
      {{"events", "call", "GET", "/p"}, "'call' cannot follow the command 'events'"},
      {{"login", "events"}, "'events' cannot follow the command 'login'"},
      {{"events", "--username", "a"}, "'--username' goes with the 'login' command"},
      {{"--port", "8080"}, "'--port' goes with the 'serve' command"},
      {{"call", "GET", "/p", "--bind", "::1"}, "unknown call argument '--bind'"},
      {{"--token", "0123456789abcdef", "events"}, "'--token' goes with the 'serve' command"},
      {{"serve", "--port", "65536"}, "'--port' needs a port number from 0 to 65535, not '65536'"},
      {{"serve", "--port", "-1"}, "'--port' needs a port number from 0 to 65535, not '-1'"},
      {{"serve", "--bind", ""}, "'--bind' needs an address"},
      {{"serve", "--token", "short"},
       "'--token' needs at least 16 letters, digits or '-', '_', '.', '~'"},
      {{"serve", "--token", "0123456789abcdef/"},
       "'--token' needs at least 16 letters, digits or '-', '_', '.', '~'"},
      {{"serve", "--as-plugin", "7"}, "'--as-plugin' does not go with the 'serve' command"},
  };
  for (const auto& [args, message] : cases) {
    KivhostOptions options;
    auto parsed = ParseKivhostOptions(args, &options);
    EXPECT_FALSE(parsed.ok()) << ::testing::PrintToString(args);
    EXPECT_EQ(parsed.error(), message) << ::testing::PrintToString(args);
  }
}

// The observer options as parsed: plugin id, filter, --for and --events-for; "-" for none.
std::string Observer(const std::vector<std::string>& args) {
  const KivhostOptions options = Parse(args);
  std::ostringstream out;
  auto put = [&out](const auto& value) { (value ? out << *value : out << "-") << " "; };
  put(ObserverPluginId(options));
  put(options.observer.filter);
  put(options.observer.for_seconds);
  put(options.observer.events_for_seconds);
  return out.str();
}

TEST(KivhostOptionsTest, ObserverOptionsGoWhereSomeoneListens) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "- - - - "},
      {{"events"}, "1 - - - "},
      {{"--for", "2.5", "events", "--filter", "OnJsonApiEvent_*", "--as-plugin", "42"},
       "42 OnJsonApiEvent_* 2.5 - "},
      {{"events", "--as-plugin=4294967295", "--filter=", "--for=0"}, "4294967295  0 - "},
      {{"--as-plugin", "007", "--filter", "OnLcdsEvent"}, "7 OnLcdsEvent - - "},
      {{"call", "GET", "/p"}, "- - - - "},
      {{"call", "GET", "/p", "--as-plugin", "7"}, "7 - - - "},
      {{"call", "POST", "/p", "--events-for", "2", "--json", "{}", "--filter", "On*"},
       "1 On* - 2 "},
      {{"--as-plugin", "9", "call", "POST", "/p", "--events-for", "1"}, "9 - - 1 "},
  };
  for (const auto& [args, observer] : cases) {
    EXPECT_EQ(Observer(args), observer) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(Parse({"call", "POST", "/p", "--as-plugin", "7", "--json", "{}"}).call.body, "{}");
}
}  // namespace
}  // namespace kivhost
