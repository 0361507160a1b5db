// `kivhost serve` as a person or another program uses it: the real plugin in kivhost, a
// real HTTP client, the simulated platform over TLS on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/local_platform.h"
#include "support/child_process.h"
#include "support/run_kivhost.h"
#include "support/sim_accounts.h"
#include "support/test_pki.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kToken[] = "kiv-test-token-0123456789";
constexpr char kSessionPath[] = "/kiv-login/v1/session";
constexpr char kNoSession[] = "No session currently exists, you must initiate a login first.";

// "STATUS BODY" of the server's error answer.
std::string Refusal(int status, const std::string& message) {
  return std::to_string(status) + R"( {"httpStatus":)" + std::to_string(status) +
         R"(,"message":")" + message + R"("})";
}

// One stream of /events, read on a thread of its own until Stop.
class Follower {
 public:
  Follower(uint16_t port, const std::string& query) : client_("127.0.0.1", port) {
    client_.set_read_timeout(seconds(30));
    thread_ = std::thread([this, query] {
      const httplib::Headers headers = {{"Authorization", std::string("Bearer ") + kToken}};
      auto result = client_.Get(
          "/events" + query, headers,
          [this](const httplib::Response& response) {
            std::lock_guard lock(mutex_);
            head_ =
                std::to_string(response.status) + " " + response.get_header_value("Content-Type");
            return true;
          },
          [this](const char* data, size_t size) {
            {
              std::lock_guard lock(mutex_);
              text_.append(data, size);
            }
            changed_.notify_all();
            return !stop_.load();
          });
      std::lock_guard lock(mutex_);
      ended_ = true;
      if (!result) text_ += "\n[the stream ended: " + httplib::to_string(result.error()) + "]";
      changed_.notify_all();
    });
  }
  ~Follower() { Stop(); }

  // Waits until the stream holds `text` (from the start); false after `timeout`.
  bool WaitFor(const std::string& text, milliseconds timeout = milliseconds(15000)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      return text_.find(text) != std::string::npos || ended_;
    }) && text_.find(text) != std::string::npos;
  }
  // Ends the stream from this side, as a client that goes away does.
  void Stop() {
    stop_.store(true);
    client_.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::string text() {
    std::lock_guard lock(mutex_);
    return text_;
  }
  // The answer's status and content type.
  std::string head() {
    std::lock_guard lock(mutex_);
    return head_;
  }

 private:
  httplib::Client client_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  std::string head_;
  bool ended_ = false;
};

// A client socket connected to the server with a 4 KiB receive buffer, so that it soon stops
// taking what the server sends, and reads that give up after `timeout_seconds`; -1 on failure.
int SlowReader(uint16_t port, int timeout_seconds) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const timeval patience{.tv_sec = timeout_seconds, .tv_usec = 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  sockaddr_in address{
      .sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}};
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class KivhostServeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    const Voro::testing::TestPki* pki = Voro::testing::SharedTestPki(&why);
    ASSERT_NE(pki, nullptr) << why;
    Voro::Sim::Scenario scenario;
    scenario.accounts.push_back(Voro::testing::SimAlice());
    platform_ = std::make_unique<Voro::Sim::LocalPlatform>(scenario,
                                                           Voro::testing::TlsPlatformOptions(*pki));
    auto started = platform_->Start();
    ASSERT_TRUE(started.ok()) << started.error();
    region_ = std::make_unique<kivhost::testing::TempFile>(platform_->RegionSettingsJson(""));
    server_ = std::make_unique<Voro::testing::ChildProcess>(std::vector<std::string>{
        KIV_KIVHOST_PATH, "--plugin", KIV_PLUGIN_PATH, "--region-file", region_->path(), "--ca",
        pki->ca_cert, "--lcds-ca-file=" + pki->ca_cert, "serve", "--token", kToken});
    const auto listening = server_->WaitForLine("serve: listening on ", milliseconds(20000));
    ASSERT_TRUE(listening) << server_->Output();
    port_ = static_cast<uint16_t>(std::stoi(listening->substr(listening->rfind(':') + 1)));
  }
  static void TearDownTestSuite() {
    if (server_ != nullptr) {
      EXPECT_EQ(server_->Stop(), 0) << server_->Output();
      EXPECT_NE(server_->Output().find("serve: stopping\nshutdown: done"), std::string::npos)
          << server_->Output();
    }
    server_.reset();
    region_.reset();
    platform_.reset();
  }

  // "STATUS BODY" of one request with the token.
  static std::string Call(const std::string& method, const std::string& path,
                          const std::string& body = "", const std::string& type = "") {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(seconds(30));
    client.set_bearer_token_auth(kToken);
    httplib::Result result =
        method == "GET"      ? client.Get(path)
        : method == "DELETE" ? client.Delete(path)
                             : client.Post(path, body, type.empty() ? "application/json" : type);
    if (!result) return "no answer: " + httplib::to_string(result.error());
    return std::to_string(result->status) + " " + result->body;
  }

  static inline std::unique_ptr<Voro::Sim::LocalPlatform> platform_;
  static inline std::unique_ptr<kivhost::testing::TempFile> region_;
  static inline std::unique_ptr<Voro::testing::ChildProcess> server_;
  static inline uint16_t port_ = 0;
};

// What a page elsewhere, or a program without the token, gets.
TEST_F(KivhostServeTest, RefusesRequestsWithoutTheTokenOrForAnotherHost) {
  const std::string bearer = std::string("Bearer ") + kToken;
  const std::string port = std::to_string(port_);
  const std::string wrong_token = Refusal(401, "The access token is missing or wrong.");
  const std::string not_here = "' does not name this server.";
  struct Case {
    const char* name;
    std::string path;
    std::string authorization;  // none when empty
    std::string host;           // the client's own when empty
    std::string answer;         // "STATUS BODY"
  };
  const Case cases[] = {
      {"no token", kSessionPath, "", "", wrong_token},
      {"wrong token", kSessionPath, "Bearer kiv-test-token-0123456780", "", wrong_token},
      {"token in the query", std::string(kSessionPath) + "?token=" + kToken, "", "",
       Refusal(404, kNoSession)},
      {"rebound name", kSessionPath, bearer, "attacker.example:" + port,
       Refusal(403, "The Host header 'attacker.example:" + port + not_here)},
      {"another port", kSessionPath, bearer, "127.0.0.1:1",
       Refusal(403, "The Host header '127.0.0.1:1" + not_here)},
      {"localhost", kSessionPath, bearer, "localhost:" + port, Refusal(404, kNoSession)},
      {"no such endpoint", "/kiv-login/v1/nothing", bearer, "",
       Refusal(404, "No endpoint GET /kiv-login/v1/nothing.")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    httplib::Headers headers;
    if (!c.authorization.empty()) headers.emplace("Authorization", c.authorization);
    if (!c.host.empty()) headers.emplace("Host", c.host);
    httplib::Client client("127.0.0.1", port_);
    httplib::Result result = client.Get(c.path, headers);
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(std::to_string(result->status) + " " + result->body, c.answer);
    // A page on another origin must not be able to read any answer.
    EXPECT_FALSE(result->has_header("Access-Control-Allow-Origin"));
  }
}

// Bodies in each format the plugin reads, path variables and named arguments, binding
// errors, the size cap; the login followed on two streams, one filtered.
TEST_F(KivhostServeTest, CallsEveryEndpointFormAndStreamsTheLoginsEvents) {
  Follower all(port_, "");
  Follower session(port_, std::string("?filter=") + kSessionPath);
  ASSERT_TRUE(all.WaitFor(": following\n\n")) << all.text();
  ASSERT_TRUE(session.WaitFor(": following\n\n")) << session.text();
  EXPECT_EQ(all.head(), "200 text/event-stream");

  EXPECT_EQ(Call("GET", kSessionPath), Refusal(404, kNoSession));
  // Each body format reaches the plugin's reader: a member of the wrong type is refused with
  // the router's own text.
  const std::string refused =
      Refusal(400, "Couldn't assign value to 'username' because the input is not a string.");
  for (const auto& [body, type] : std::vector<std::pair<std::string, std::string>>{
           {R"({"username": 5})", "application/json"},
           {std::string("\x81\xa8username\x05", 11), "application/x-msgpack"},
           {"username: [5]\n", "application/x-yaml"}}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(Call("POST", kSessionPath, body, type), refused);
  }
  // 16 MiB is the most a body may be.
  EXPECT_EQ(Call("POST", kSessionPath, std::string((16 << 20) + 1, ' ')).substr(0, 4), "413 ");

  // A path with variables and a named argument from the query string.
  EXPECT_EQ(Call("POST", "/kiv-login/v1/service-proxy-async-requests/inventory/get?pluginId=7"),
            "200 null");
  EXPECT_EQ(Call("DELETE", "/kiv-login/v1/service-proxy-async-requests/inventory/get?pluginId=7"),
            "200 null");

  // The real login, its body in MessagePack, followed on both streams until it succeeds.
  const std::string started = Call("POST", kSessionPath,
                                   std::string("\x82\xa8username\xa5"
                                               "alice\xa8password\xaawonderland",
                                               36),
                                   "application/x-msgpack");
  EXPECT_EQ(started.substr(0, 4), "201 ") << started;
  ASSERT_TRUE(session.WaitFor(R"("state":"SUCCEEDED")")) << session.text();
  ASSERT_TRUE(all.WaitFor(R"("state":"SUCCEEDED")")) << all.text();
  EXPECT_NE(Call("GET", kSessionPath).find(R"("state":"SUCCEEDED")"), std::string::npos);

  // The filtered stream holds only the session's events, in order, each a named event with
  // one data line.
  const std::string text = session.text();
  size_t at = 0;
  std::vector<std::string> states;
  while ((at = text.find("event: ", at)) != std::string::npos) {
    const size_t data = text.find("\ndata: ", at);
    ASSERT_NE(data, std::string::npos) << text;
    const std::string name = text.substr(at + 7, data - at - 7);
    EXPECT_TRUE(name == "OnJsonApiEvent_kiv-login_v1_session" || name == "OnJsonApiEvent") << name;
    const size_t end = text.find("\n\n", data);
    const std::string payload = text.substr(data + 7, end - data - 7);
    EXPECT_NE(payload.find(R"("uri":"/kiv-login/v1/session")"), std::string::npos) << payload;
    const size_t state = payload.find(R"("state":")");
    if (name == "OnJsonApiEvent_kiv-login_v1_session" && state != std::string::npos) {
      states.push_back(payload.substr(state + 9, payload.find('"', state + 9) - state - 9));
    }
    at = end;
  }
  ASSERT_FALSE(states.empty()) << text;
  EXPECT_EQ(states.back(), "SUCCEEDED") << text;
  EXPECT_EQ(states.front(), "IN_PROGRESS") << text;
  // The unfiltered stream also carries events about other resources.
  EXPECT_NE(all.text().find("OnJsonApiEvent_kiv-login_v1_wallet"), std::string::npos) << all.text();

  // A client that goes away mid-stream leaves the rest working.
  all.Stop();
  EXPECT_EQ(Call("DELETE", kSessionPath).substr(0, 4), "200 ");
  ASSERT_TRUE(session.WaitFor(R"("eventType":"Delete")")) << session.text();
  session.Stop();
}

// The console page in a real browser: it lists the endpoints from the document, follows the
// event stream and shows the session a sign-in from the page started.
TEST_F(KivhostServeTest, TheConsolePageSignsInAndShowsTheSession) {
  (void)Call("DELETE", kSessionPath);
  const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + kToken;
  std::string output;
  const int status =
      Voro::testing::RunShellCommand("node " KIV_SOURCE_DIR "/tests/browser/console_test.mjs '" +
                                         url + "' alice wonderland SUCCEEDED",
                                     &output);
  if (status == 77) GTEST_SKIP() << output;
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("endpoints listed, state SUCCEEDED"), std::string::npos) << output;
  EXPECT_NE(Call("GET", kSessionPath).find(R"("state":"SUCCEEDED")"), std::string::npos);
  (void)Call("DELETE", kSessionPath);
}

// A stream client that stops reading is dropped once far behind; the plugin and the other
// clients never wait for it.
TEST_F(KivhostServeTest, AStreamClientThatDoesNotReadIsDropped) {
  // A stream never dropped fails, not hangs.
  const int fd = SlowReader(port_, 10);
  ASSERT_GE(fd, 0);
  const std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                              "\r\nAuthorization: Bearer " + kToken + "\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));

  (void)Call("DELETE", kSessionPath);
  ASSERT_EQ(
      Call("POST", kSessionPath, R"({"username":"alice","password":"wonderland"})").substr(0, 4),
      "201 ");
  bool succeeded = false;
  for (int i = 0; i < 200 && !succeeded; ++i) {
    succeeded = Call("GET", kSessionPath).find(R"("state":"SUCCEEDED")") != std::string::npos;
    if (!succeeded) std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_TRUE(succeeded);
  // Each change publishes the login data packet and the session.
  bool dropped = false;
  for (int batch = 0; batch < 100 && !dropped; ++batch) {
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(Call("POST", "/kiv-login/v1/change-summoner-name", R"("Alice")"), "200 null");
    }
    dropped = server_->WaitForLine("serve: dropped an event stream ", milliseconds(1)).has_value();
  }
  EXPECT_TRUE(dropped) << server_->Output();
  // What was sent before the drop is still there to read, then the end of the stream.
  char buffer[65536];
  ssize_t got = 0;
  while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) {
  }
  EXPECT_EQ(got, 0);
  close(fd);
  EXPECT_EQ(Call("DELETE", kSessionPath).substr(0, 4), "200 ");
}

// A client that sends requests back to back and reads the answers late: the server stops
// answering once a bounded amount waits for it, then stops reading, and answers every request,
// in order, once the client reads.
TEST_F(KivhostServeTest, PipelinedRequestsFromASlowReaderAreAllAnsweredInOrder) {
  const int fd = SlowReader(port_, 20);
  ASSERT_GE(fd, 0);
  // Together more than the server reads ahead (a request's most: 16 MiB and its head), and
  // their answers more than it keeps for a client.
  constexpr int kRequests = 250000;
  const std::string head = " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                           "\r\nAuthorization: Bearer " + kToken + "\r\n\r\n";
  std::thread sender([&] {
    std::string batch;
    for (int i = 0; i < kRequests; ++i) {
      batch += "GET /nothing/" + std::to_string(i) + head;
      if (batch.size() < 65536 && i + 1 < kRequests) continue;
      for (size_t sent = 0; sent < batch.size();) {
        const ssize_t n = send(fd, batch.data() + sent, batch.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
      }
      batch.clear();
    }
  });
  std::this_thread::sleep_for(milliseconds(500));
  // Read everything, checking each answer names its request, in order.
  std::string pending;
  size_t begin = 0;  // pending[begin, end) is not checked yet
  char buffer[65536];
  int next = 0;
  bool in_order = true;
  while (next < kRequests && in_order) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    pending.append(buffer, static_cast<size_t>(got));
    for (size_t end; (end = pending.find("\"}", begin)) != std::string::npos;) {
      const std::string answer = pending.substr(begin, end - begin);
      in_order = answer.rfind("HTTP/1.1 404", 0) == 0 &&
                 answer.find("No endpoint GET /nothing/" + std::to_string(next) + ".") !=
                     std::string::npos;
      if (!in_order) break;
      begin = end + 2;
      ++next;
    }
    pending.erase(0, begin);
    begin = 0;
  }
  sender.join();
  close(fd);
  EXPECT_TRUE(in_order) << next << ": " << pending.substr(begin, 300);
  EXPECT_EQ(next, kRequests);
}

TEST_F(KivhostServeTest, StreamFiltersThatAreNotFiltersAreRefused) {
  EXPECT_EQ(Call("GET", "/events?filter=bad%20name"),
            Refusal(400,
                    "filter must be an event name, a name prefix ending in '*' or a resource "
                    "path starting with '/', not 'bad name'"));
  EXPECT_EQ(Call("GET", "/events?plugin=0"),
            Refusal(400, "plugin must be a plugin id from 1 to 4294967295, not '0'"));
}

}  // namespace
