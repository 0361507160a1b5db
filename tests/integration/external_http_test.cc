// The substitute host's external HTTP(S) with libcurl against an in-process HTTPS server
// whose certificates come from the local test authority: what the server receives, what
// comes back, trust failures with libcurl's own text, time-outs, and the plugin's transport
// through the host's slot.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "host/external_http.h"
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
using kivhost::testing::Perform;

// An HTTPS server on a port of the kernel's choice, serving on its own thread.
class HttpsServer {
 public:
  HttpsServer(const std::string& cert, const std::string& key)
      : server_(cert.c_str(), key.c_str()) {
    server_.Get("/hello", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("X-Second", "two words");
      res.set_content("hello body", "text/plain");
    });
    server_.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
      res.status = 500;
      res.set_content(R"({"error":"boom","code":7})", "application/json");
    });
    auto echo = [this](const httplib::Request& req, httplib::Response& res) {
      received_ = req;
      res.status = 201;
      res.set_content(req.method + ":" + req.body, "application/octet-stream");
    };
    server_.Post("/echo", echo);
    server_.Put("/echo", echo);
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
  std::string Url(const std::string& path, const std::string& host = "localhost") const {
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

// A listener that never accepts: the kernel completes the connection, nobody answers.
class SilentListener {
 public:
  SilentListener() {
    sockaddr_in address{.sin_family = AF_INET, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    socklen_t length = sizeof(address);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(fd_, 4) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      url_ = "://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    }
  }
  ~SilentListener() { close(fd_); }
  const int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string url_;  // without the scheme
};

class ExternalHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(pki_, nullptr) << why_;
    auto trusted = trusting_.SetExtraCaFile(pki_->ca_cert);
    ASSERT_TRUE(trusted.ok()) << trusted.error();
    ASSERT_TRUE(server_.ok());
  }

  std::string why_;
  const Voro::testing::TestPki* pki_ = Voro::testing::SharedTestPki(&why_);
  HttpsServer server_{pki_ ? pki_->localhost_cert : "", pki_ ? pki_->server_key : ""};
  ExternalHttp trusting_;  // trusts the local test authority
  ExternalHttp system_only_;
};

TEST_F(ExternalHttpTest, MethodFieldsAndBodyGoAndComeBack) {
  Exchange hello = Perform(trusting_, KIV_METHOD_GET, server_.Url("/hello"));
  EXPECT_EQ(hello.code, ExternalHttp::kCompleted) << hello.body;
  EXPECT_EQ(hello.status, 200);
  EXPECT_EQ(hello.body, "hello body");
  for (const auto& field : kivhost::testing::Headers{
           {"X-Second", "two words"}, {"Content-Type", "text/plain"}, {"Content-Length", "10"}}) {
    EXPECT_NE(std::find(hello.headers.begin(), hello.headers.end(), field), hello.headers.end())
        << field.first;
  }
  // An error status is still a completed exchange.
  Exchange broken = Perform(trusting_, KIV_METHOD_GET, server_.Url("/broken", "127.0.0.1"));
  EXPECT_EQ(broken.code, ExternalHttp::kCompleted) << broken.body;
  EXPECT_EQ(broken.status, 500);
  EXPECT_EQ(broken.body, R"({"error":"boom","code":7})");

  const std::string body("{\"a\":1}\0tail", 12);
  Exchange posted = Perform(trusting_, KIV_METHOD_POST, server_.Url("/echo"),
                            {{"user-agent", "VoroClient/17.1.0 (kiv-login)"},
                             {"Content-Type", "application/json"},
                             {"Authorization", "Bearer t0k"}},
                            body);
  EXPECT_EQ(posted.code, ExternalHttp::kCompleted) << posted.body;
  EXPECT_EQ(posted.status, 201);
  EXPECT_EQ(posted.body, "POST:" + body);
  const httplib::Request& received = server_.received();
  EXPECT_EQ(received.get_header_value("User-Agent"), "VoroClient/17.1.0 (kiv-login)");
  EXPECT_EQ(received.get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(received.get_header_value("Authorization"), "Bearer t0k");
  EXPECT_FALSE(received.has_header("Expect"));

  // Without a type of its own the body goes without libcurl's form type.
  EXPECT_EQ(Perform(trusting_, KIV_METHOD_PUT, server_.Url("/echo"), {}, "p").body, "PUT:p");
  EXPECT_FALSE(server_.received().has_header("Content-Type"));
  // A POST without a body still says so.
  EXPECT_EQ(Perform(trusting_, KIV_METHOD_POST, server_.Url("/echo")).body, "POST:");
  EXPECT_EQ(server_.received().get_header_value("Content-Length"), "0");
}

TEST_F(ExternalHttpTest, UntrustedPeersFailWithLibcurlsText) {
  // The test authority is not in the system store.
  Exchange failed = Perform(system_only_, KIV_METHOD_GET, server_.Url("/hello"));
  EXPECT_EQ(failed.code, ExternalHttp::kFailed);
  EXPECT_NE(failed.body.find("SSL certificate problem"), std::string::npos) << failed.body;
  HttpsServer other(pki_->other_host_cert, pki_->server_key);
  failed = Perform(trusting_, KIV_METHOD_GET, other.Url("/hello"));
  EXPECT_EQ(failed.code, ExternalHttp::kFailed);
  EXPECT_EQ(failed.status, 0);
  EXPECT_NE(failed.body.find("localhost"), std::string::npos) << failed.body;
}

// Plain HTTP to a listener that records the raw request head and answers 204.
TEST_F(ExternalHttpTest, RawRequestHeadOverPlainHttp) {
  SilentListener listener;
  std::string head;
  std::thread server([&] {
    const int client = accept(listener.fd_, nullptr, nullptr);
    char buffer[4096];
    for (ssize_t n = 1; n > 0 && head.find("\r\n\r\n") == std::string::npos;) {
      n = read(client, buffer, sizeof(buffer));
      if (n > 0) head.append(buffer, size_t(n));
    }
    const char answer[] =
        "HTTP/1.1 204 No Content\r\nX-Reply:  padded \r\nConnection: close\r\n\r\n";
    (void)!write(client, answer, sizeof(answer) - 1);
    close(client);
  });
  Exchange exchange = Perform(system_only_, KIV_METHOD_DELETE, "http" + listener.url_ + "item/7",
                              {{"user-agent", "UA/2"}, {"X-Empty", ""}});
  server.join();
  EXPECT_EQ(exchange.code, ExternalHttp::kCompleted) << exchange.body;
  EXPECT_EQ(exchange.status, 204);
  EXPECT_EQ(exchange.body, "");
  EXPECT_EQ(exchange.headers.front(), (std::pair<std::string, std::string>{"X-Reply", "padded"}));
  EXPECT_EQ(head.rfind("DELETE /item/7 HTTP/1.1\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("\r\nuser-agent: UA/2\r\nX-Empty:\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("Content-Type"), std::string::npos) << head;
}

TEST_F(ExternalHttpTest, RequestsThatCannotBeSentAreRefused) {
  const std::pair<Exchange, std::string> refused[] = {
      {Perform(trusting_, KIV_METHOD_GET, "file:///etc/passwd"), ""},
      {Perform(trusting_, 42, "https://localhost/"), "kivhost: unknown method code 42"},
      {Perform(trusting_, KIV_METHOD_GET, "https://localhost/", {{"X-A", "1\r\nX-Injected: 2"}}),
       "kivhost: header field 0 is not a valid HTTP field"},
  };
  for (const auto& [exchange, text] : refused) {
    EXPECT_EQ(exchange.code, ExternalHttp::kFailed);
    EXPECT_EQ(exchange.body.find("root:"), std::string::npos);
    EXPECT_FALSE(exchange.body.empty());
    if (!text.empty()) {
      EXPECT_EQ(exchange.body, text);
    }
  }
  HostExternalRequest no_url{};
  HostExternalResponse response{};
  trusting_.Perform(no_url, &response);
  EXPECT_EQ(std::string(response.body, response.body_length), "kivhost: the request has no URL");
  response.release(&response);

  auto trusted = trusting_.SetExtraCaFile("/nonexistent/ca.pem");
  EXPECT_FALSE(trusted.ok());
  EXPECT_EQ(trusted.error(), "cannot read the CA file '/nonexistent/ca.pem'");
  kivhost::testing::TempFile not_a_ca("not a certificate\n");
  trusted = trusting_.SetExtraCaFile(not_a_ca.path());
  EXPECT_FALSE(trusted.ok());
  EXPECT_EQ(trusted.error(), "the CA file '" + not_a_ca.path() + "' holds no PEM certificate");
}

// The plugin's transport, initialised against the substitute host, through the host's slot.
TEST_F(ExternalHttpTest, PluginTransportThroughTheHostSlot) {
  kivhost::PluginThread thread;
  kivhost::SubstituteHost host(&thread);
  auto trusted = host.external_http().SetExtraCaFile(pki_->ca_cert);
  ASSERT_TRUE(trusted.ok()) << trusted.error();
  PluginDescriptor descriptor{.major = 17, .minor = 1};
  ASSERT_TRUE(
      Voro::PluginRuntime::Create(&descriptor, std::make_unique<Voro::AppModule>(), "kiv-login"));
  ASSERT_TRUE(descriptor.callbacks->Initialize(descriptor.module, host.services()));
  Voro::HttpBaseTransport transport(static_cast<Voro::AppModule*>(descriptor.module));

  auto broken = transport.GetJson(server_.Url("/broken"), 10, {});
  EXPECT_EQ(broken.transport_status, 0) << broken.error;
  EXPECT_EQ(broken.status_code, 500);
  EXPECT_EQ(broken.result_state, 0) << broken.error;
  EXPECT_EQ(broken.body.Field("error").ToString(), "boom");

  auto posted =
      transport.PostText(server_.Url("/echo"), "ticket", 10, {{"Content-Type", "text/plain"}});
  EXPECT_EQ(posted.status_code, 201);
  EXPECT_EQ(posted.body, "POST:ticket");
  EXPECT_EQ(server_.received().get_header_value("User-Agent"), "VoroClient/17.1.0 (kiv-login)");

  auto hello = transport.GetJson(server_.Url("/hello"), 10, {});
  EXPECT_EQ(hello.result_state, 1);
  EXPECT_EQ(hello.body.ToString(), "hello body");
  EXPECT_EQ(hello.error.find("Error deserializing json response for GET https://localhost:"), 0u)
      << hello.error;

  // A time-out is transport code 2 and holds the caller for the time-out only.
  SilentListener silent;
  const auto start = std::chrono::steady_clock::now();
  auto stalled = transport.PostText("https" + silent.url_, "", 1, {});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(stalled.transport_status, 2);
  EXPECT_EQ(stalled.result_state, -1);
  EXPECT_FALSE(stalled.error.empty());
  descriptor.callbacks->Shutdown(descriptor.module);
}

}  // namespace
