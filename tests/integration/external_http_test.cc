// The substitute host's external HTTP(S) with libcurl against an in-process HTTPS server on
// 127.0.0.1 whose certificates come from the local test authority: what the server
// receives, what comes back (status, fields, body), trust failures with libcurl's own text,
// time-outs, and the whole path from the plugin's transport through the host's slot.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/external_http.h"
#include "host/kivhost_options.h"
#include "host/plugin_thread.h"
#include "host/substitute_host.h"
#include "plugin/app_module.h"
#include "plugin/http_base_transport.h"
#include "plugin/plugin_runtime.h"
#include "support/host_exchange.h"
#include "support/run_kivhost.h"
#include "support/test_pki.h"

namespace {

using kivhost::ExternalHttp;
using kivhost::testing::Exchange;
using kivhost::testing::Headers;
using kivhost::testing::Perform;

// An HTTPS server on a port of the kernel's choice, serving on its own thread.
class HttpsServer {
 public:
  HttpsServer(const std::string& cert, const std::string& key)
      : server_(cert.c_str(), key.c_str()) {
    server_.Get("/hello", [](const httplib::Request&, httplib::Response& res) {
      res.status = 200;
      res.set_header("X-First", "one");
      res.set_header("X-Second", "two words");
      res.set_content("hello body", "text/plain");
    });
    server_.Post("/echo", [this](const httplib::Request& req, httplib::Response& res) {
      received_ = req;
      res.status = 201;
      res.set_content(req.body, "application/octet-stream");
    });
    server_.Put("/echo", [this](const httplib::Request& req, httplib::Response& res) {
      received_ = req;
      res.status = 200;
      res.set_content("put:" + req.body, "text/plain");
    });
    server_.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
      res.status = 500;
      res.set_content(R"({"error":"boom","code":7})", "application/json");
    });
    server_.Get("/slow", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      res.set_content("late", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ > 0) thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 200 && port_ > 0 && !server_.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~HttpsServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  bool ok() const { return server_.is_valid() && port_ > 0 && server_.is_running(); }
  std::string Url(const std::string& host, const std::string& path) const {
    return "https://" + host + ":" + std::to_string(port_) + path;
  }
  // The last request to /echo. Read after the exchange has finished.
  const httplib::Request& received() const { return received_; }

 private:
  httplib::SSLServer server_;
  int port_ = -1;
  std::thread thread_;
  httplib::Request received_;
};

std::string Find(const Headers& headers, const std::string& name) {
  for (const auto& [key, value] : headers) {
    if (key == name) return value;
  }
  return "<missing>";
}

class ExternalHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    pki_ = Voro::testing::SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
    ASSERT_TRUE(trusting_.SetExtraCaFile(pki_->ca_cert, &why)) << why;
  }

  const Voro::testing::TestPki* pki_ = nullptr;
  ExternalHttp trusting_;  // trusts the local test authority
  ExternalHttp system_only_;
};

TEST_F(ExternalHttpTest, CompletedExchangeCarriesStatusFieldsAndBody) {
  HttpsServer server(pki_->localhost_cert, pki_->server_key);
  ASSERT_TRUE(server.ok());
  Exchange hello = Perform(trusting_, KIV_METHOD_GET, server.Url("localhost", "/hello"));
  EXPECT_EQ(hello.code, ExternalHttp::kCompleted) << hello.body;
  EXPECT_EQ(hello.status, 200);
  EXPECT_EQ(hello.body, "hello body");
  EXPECT_EQ(Find(hello.headers, "X-First"), "one");
  EXPECT_EQ(Find(hello.headers, "X-Second"), "two words");
  EXPECT_EQ(Find(hello.headers, "Content-Type"), "text/plain");
  EXPECT_EQ(Find(hello.headers, "Content-Length"), "10");

  // An error status is still a completed exchange.
  Exchange broken = Perform(trusting_, KIV_METHOD_GET, server.Url("127.0.0.1", "/broken"));
  EXPECT_EQ(broken.code, ExternalHttp::kCompleted) << broken.body;
  EXPECT_EQ(broken.status, 500);
  EXPECT_EQ(broken.body, R"({"error":"boom","code":7})");

  Exchange missing = Perform(trusting_, KIV_METHOD_GET, server.Url("localhost", "/nowhere"));
  EXPECT_EQ(missing.code, ExternalHttp::kCompleted);
  EXPECT_EQ(missing.status, 404);
}

TEST_F(ExternalHttpTest, MethodFieldsAndBodyReachTheServer) {
  HttpsServer server(pki_->localhost_cert, pki_->server_key);
  ASSERT_TRUE(server.ok());
  const std::string body("{\"a\":1}\0tail", 12);
  Exchange posted = Perform(trusting_, KIV_METHOD_POST, server.Url("localhost", "/echo"),
                            {{"user-agent", "VoroClient/17.1.0 (kiv-login)"},
                             {"Content-Type", "application/json"},
                             {"X-Empty", ""},
                             {"Authorization", "Bearer t0k"}},
                            body);
  EXPECT_EQ(posted.code, ExternalHttp::kCompleted) << posted.body;
  EXPECT_EQ(posted.status, 201);
  EXPECT_EQ(posted.body, body);
  const httplib::Request& received = server.received();
  EXPECT_EQ(received.method, "POST");
  EXPECT_EQ(received.body, body);
  EXPECT_EQ(received.get_header_value("User-Agent"), "VoroClient/17.1.0 (kiv-login)");
  EXPECT_EQ(received.get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(received.get_header_value("Authorization"), "Bearer t0k");
  EXPECT_FALSE(received.has_header("Expect"));

  // Without a type of its own the body goes without libcurl's form type.
  Exchange put = Perform(trusting_, KIV_METHOD_PUT, server.Url("localhost", "/echo"), {}, "p");
  EXPECT_EQ(put.code, ExternalHttp::kCompleted) << put.body;
  EXPECT_EQ(put.body, "put:p");
  EXPECT_EQ(server.received().method, "PUT");
  EXPECT_FALSE(server.received().has_header("Content-Type"));

  // A POST without a body still says so.
  Exchange empty = Perform(trusting_, KIV_METHOD_POST, server.Url("localhost", "/echo"));
  EXPECT_EQ(empty.code, ExternalHttp::kCompleted) << empty.body;
  EXPECT_EQ(server.received().method, "POST");
  EXPECT_EQ(server.received().get_header_value("Content-Length"), "0");
}

TEST_F(ExternalHttpTest, UntrustedPeersFailWithLibcurlsText) {
  // The test authority is not in the system store.
  {
    HttpsServer server(pki_->localhost_cert, pki_->server_key);
    ASSERT_TRUE(server.ok());
    Exchange plain = Perform(system_only_, KIV_METHOD_GET, server.Url("localhost", "/hello"));
    EXPECT_EQ(plain.code, ExternalHttp::kFailed);
    EXPECT_EQ(plain.status, 0);
    EXPECT_NE(plain.body.find("SSL certificate problem"), std::string::npos) << plain.body;
  }
  {
    HttpsServer server(pki_->untrusted_cert, pki_->server_key);
    ASSERT_TRUE(server.ok());
    Exchange untrusted = Perform(trusting_, KIV_METHOD_GET, server.Url("localhost", "/hello"));
    EXPECT_EQ(untrusted.code, ExternalHttp::kFailed);
    EXPECT_NE(untrusted.body.find("SSL certificate problem"), std::string::npos) << untrusted.body;
  }
  {
    HttpsServer server(pki_->expired_cert, pki_->server_key);
    ASSERT_TRUE(server.ok());
    Exchange expired = Perform(trusting_, KIV_METHOD_GET, server.Url("localhost", "/hello"));
    EXPECT_EQ(expired.code, ExternalHttp::kFailed);
    EXPECT_NE(expired.body.find("expired"), std::string::npos) << expired.body;
  }
  {
    HttpsServer server(pki_->other_host_cert, pki_->server_key);
    ASSERT_TRUE(server.ok());
    Exchange other = Perform(trusting_, KIV_METHOD_GET, server.Url("localhost", "/hello"));
    EXPECT_EQ(other.code, ExternalHttp::kFailed);
    EXPECT_NE(other.body.find("localhost"), std::string::npos) << other.body;
  }
}

// A listener that never accepts: the kernel completes the connection, nobody answers.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        listen(fd_, 4) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~SilentListener() {
    if (fd_ >= 0) close(fd_);
  }
  int port() const { return port_; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Plain HTTP to a listener that records the raw request head and answers 204.
TEST_F(ExternalHttpTest, RawRequestHeadOverPlainHttp) {
  SilentListener listener;
  ASSERT_GT(listener.port(), 0);
  std::string head;
  std::thread server([&] {
    const int client = accept(listener.fd(), nullptr, nullptr);
    if (client < 0) return;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
      const ssize_t n = read(client, buffer, sizeof(buffer));
      if (n <= 0) break;
      head.append(buffer, static_cast<size_t>(n));
    }
    const char answer[] =
        "HTTP/1.1 204 No Content\r\nX-Reply:  padded \r\nConnection: close\r\n\r\n";
    (void)!write(client, answer, sizeof(answer) - 1);
    close(client);
  });
  Exchange exchange = Perform(system_only_, KIV_METHOD_DELETE,
                              "http://127.0.0.1:" + std::to_string(listener.port()) + "/item/7",
                              {{"user-agent", "UA/2"}, {"X-Empty", ""}});
  server.join();
  EXPECT_EQ(exchange.code, ExternalHttp::kCompleted) << exchange.body;
  EXPECT_EQ(exchange.status, 204);
  EXPECT_EQ(exchange.body, "");
  EXPECT_EQ(Find(exchange.headers, "X-Reply"), "padded");
  EXPECT_EQ(head.rfind("DELETE /item/7 HTTP/1.1\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("\r\nuser-agent: UA/2\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nX-Empty:\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("Content-Type"), std::string::npos) << head;
}

TEST_F(ExternalHttpTest, TimeOutIsCodeTwoAndBoundsTheWait) {
  SilentListener silent;
  ASSERT_GT(silent.port(), 0);
  const auto start = std::chrono::steady_clock::now();
  Exchange stalled = Perform(trusting_, KIV_METHOD_GET,
                             "https://127.0.0.1:" + std::to_string(silent.port()) + "/", {}, "", 1);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(stalled.code, ExternalHttp::kTimedOut);
  EXPECT_FALSE(stalled.body.empty());
  // The caller is held for the time-out, not for the server's pace.
  EXPECT_LT(waited, std::chrono::seconds(5));

  HttpsServer server(pki_->localhost_cert, pki_->server_key);
  ASSERT_TRUE(server.ok());
  Exchange slow = Perform(trusting_, KIV_METHOD_GET, server.Url("localhost", "/slow"), {}, "", 1);
  EXPECT_EQ(slow.code, ExternalHttp::kTimedOut) << slow.body;
  EXPECT_EQ(slow.status, 0);
}

TEST_F(ExternalHttpTest, RequestsThatCannotBeSentAreRefused) {
  int port = 0;
  {
    SilentListener gone;  // its port is free again once it closes: connecting is refused
    port = gone.port();
  }
  ASSERT_GT(port, 0);
  Exchange refused =
      Perform(trusting_, KIV_METHOD_GET, "https://127.0.0.1:" + std::to_string(port) + "/");
  EXPECT_EQ(refused.code, ExternalHttp::kFailed);
  EXPECT_FALSE(refused.body.empty());

  Exchange file = Perform(trusting_, KIV_METHOD_GET, "file:///etc/passwd");
  EXPECT_EQ(file.code, ExternalHttp::kFailed);
  EXPECT_EQ(file.body.find("root:"), std::string::npos);

  Exchange method = Perform(trusting_, 42, "https://localhost/");
  EXPECT_EQ(method.code, ExternalHttp::kFailed);
  EXPECT_EQ(method.body, "kivhost: unknown method code 42");

  Exchange header =
      Perform(trusting_, KIV_METHOD_GET, "https://localhost/", {{"X-A", "1\r\nX-Injected: 2"}});
  EXPECT_EQ(header.code, ExternalHttp::kFailed);
  EXPECT_EQ(header.body, "kivhost: header field 0 is not a valid HTTP field");

  HostExternalRequest no_url{};
  no_url.method = KIV_METHOD_GET;
  HostExternalResponse response{};
  trusting_.Perform(no_url, &response);
  EXPECT_EQ(response.transport_code, ExternalHttp::kFailed);
  EXPECT_EQ(std::string(response.body, response.body_length), "kivhost: the request has no URL");
  response.release(&response);
}

TEST(ExternalHttpCaFileTest, BadFilesAreRefusedAndTheOptionParses) {
  ExternalHttp http;
  std::string error;
  EXPECT_FALSE(http.SetExtraCaFile("/nonexistent/ca.pem", &error));
  EXPECT_EQ(error, "cannot read the CA file '/nonexistent/ca.pem'");
  char path[] = "/tmp/kiv-not-a-ca-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "not a certificate\n", 18), 18);
  close(fd);
  EXPECT_FALSE(http.SetExtraCaFile(path, &error));
  EXPECT_EQ(error, std::string("the CA file '") + path + "' holds no PEM certificate");
  unlink(path);

  kivhost::KivhostOptions options;
  ASSERT_TRUE(kivhost::ParseKivhostOptions({"--ca", "/tmp/a.pem"}, &options, &error)) << error;
  EXPECT_EQ(options.ca_file, "/tmp/a.pem");
  kivhost::KivhostOptions equals;
  ASSERT_TRUE(kivhost::ParseKivhostOptions({"--ca=/tmp/b.pem"}, &equals, &error)) << error;
  EXPECT_EQ(equals.ca_file, "/tmp/b.pem");
  EXPECT_TRUE(equals.client_args.empty());
  EXPECT_FALSE(kivhost::ParseKivhostOptions({"--ca"}, &options, &error));
  EXPECT_EQ(error, "'--ca' needs a value");

  kivhost::testing::CommandRun run =
      kivhost::testing::RunKivhost("--plugin " KIV_PLUGIN_PATH " --ca /nonexistent/ca.pem");
  EXPECT_EQ(run.exit_code, 2) << run.output;
  EXPECT_NE(run.output.find("kivhost: cannot read the CA file '/nonexistent/ca.pem'"),
            std::string::npos)
      << run.output;
}

// The plugin's transport, initialised against the substitute host, through the host's slot.
TEST_F(ExternalHttpTest, PluginTransportThroughTheHostSlot) {
  HttpsServer server(pki_->localhost_cert, pki_->server_key);
  ASSERT_TRUE(server.ok());
  kivhost::PluginThread thread;
  kivhost::SubstituteHost host(&thread);
  std::string why;
  ASSERT_TRUE(host.external_http().SetExtraCaFile(pki_->ca_cert, &why)) << why;

  PluginDescriptor descriptor{};
  descriptor.major = 17;
  descriptor.minor = 1;
  ASSERT_TRUE(
      Voro::PluginRuntime::Create(&descriptor, std::make_unique<Voro::AppModule>(), "kiv-login"));
  auto* module = static_cast<Voro::AppModule*>(descriptor.module);
  ASSERT_TRUE(descriptor.callbacks->Initialize(descriptor.module, host.services()));
  Voro::HttpBaseTransport transport(module);

  Voro::HttpBaseTransport::JsonResponse broken =
      transport.GetJson(server.Url("localhost", "/broken"), 10, {});
  EXPECT_EQ(broken.transport_status, 0) << broken.error;
  EXPECT_EQ(broken.status_code, 500);
  EXPECT_EQ(broken.result_state, 0) << broken.error;
  EXPECT_EQ(broken.body.Field("error").ToString(), "boom");

  Voro::HttpBaseTransport::Response posted = transport.PostText(
      server.Url("localhost", "/echo"), "ticket", 10, {{"Content-Type", "text/plain"}});
  EXPECT_EQ(posted.status_code, 201);
  EXPECT_EQ(posted.body, "ticket");
  EXPECT_EQ(server.received().get_header_value("User-Agent"), "VoroClient/17.1.0 (kiv-login)");

  Voro::HttpBaseTransport::JsonResponse hello =
      transport.GetJson(server.Url("localhost", "/hello"), 10, {});
  EXPECT_EQ(hello.result_state, 1);
  EXPECT_EQ(hello.body.ToString(), "hello body");
  EXPECT_EQ(hello.error.find("Error deserializing json response for GET https://localhost:"), 0u)
      << hello.error;

  SilentListener silent;
  Voro::HttpBaseTransport::Response stalled =
      transport.PostText("https://127.0.0.1:" + std::to_string(silent.port()) + "/", "", 1, {});
  EXPECT_EQ(stalled.transport_status, 2);
  EXPECT_EQ(stalled.result_state, -1);
  EXPECT_FALSE(stalled.error.empty());

  descriptor.callbacks->Shutdown(descriptor.module);
}

}  // namespace
