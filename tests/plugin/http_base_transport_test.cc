// External requests through the host: the record the host sees (user-agent rule, pass-through
// fields), the transport-code mapping, header and body conversion with their messages, and
// the release of the host's record exactly once on every path.
#include "plugin/http_base_transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/json_reader.h"
#include "support/fake_host.h"
#include "support/initialized_module.h"

namespace Voro {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;
using testing::FakeHost;
using testing::InitializedModule;

constexpr char kUserAgent[] = "VoroClient/17.1.0 (kiv-test)";
constexpr char kUrl[] = "https://queue.test/login-queue/v2/login/products/lol/regions/x";

// What the fake host saw of one request.
struct SeenRequest {
  uint32_t method = 0;
  std::string url;
  Headers headers;
  std::string body;
  uint32_t timeout = 0;
  uint8_t flag = 0;
};

// The host's side of one exchange: what it answers with and how often the plugin handed
// the record back. Null pointers are asked for explicitly.
struct HostAnswer {
  int32_t code = 0;
  int32_t status = 200;
  Headers headers;
  bool null_headers = false;
  uint32_t header_count_override = 0;  // non-zero: the count claimed, whatever is there
  std::optional<std::string> body = std::string();
  uint32_t body_length_override = 0;

  std::vector<HostHeaderPair> pairs;
  std::vector<SeenRequest> seen;
  int releases = 0;

  static HostAnswer* current;
  static void Release(HostExternalResponse* response) {
    ++current->releases;
    response->body = nullptr;
  }

  void Install(FakeHost* host) {
    current = this;
    host->on_external_request = [this](HostExternalResponse* response,
                                       const HostExternalRequest* request) {
      SeenRequest record;
      record.method = request->method;
      record.url = request->url;
      for (uint32_t i = 0; i < request->header_count; ++i) {
        record.headers.emplace_back(request->headers[i].name, request->headers[i].value);
      }
      record.body.assign(request->body, request->body_length);
      record.timeout = request->timeout;
      record.flag = request->flag;
      seen.push_back(std::move(record));

      pairs.clear();
      for (const auto& [name, value] : headers) {
        pairs.push_back(HostHeaderPair{name.c_str(), value.c_str()});
      }
      response->transport_code = code;
      response->http_status = status;
      response->headers = null_headers || pairs.empty() ? nullptr : pairs.data();
      response->header_count =
          header_count_override != 0 ? header_count_override : static_cast<uint32_t>(pairs.size());
      response->body = body ? body->data() : nullptr;
      response->body_length = body_length_override != 0
                                  ? body_length_override
                                  : static_cast<uint32_t>(body ? body->size() : 0);
      response->release = &Release;
    };
  }
};
HostAnswer* HostAnswer::current = nullptr;

class HttpBaseTransportTest : public ::testing::Test {
 protected:
  HttpBaseTransportTest() : module_(&host_), transport_(module_.get()) { answer_.Install(&host_); }

  FakeHost host_;
  InitializedModule module_;
  HttpBaseTransport transport_;
  HostAnswer answer_;
};

TEST_F(HttpBaseTransportTest, ModuleUserAgentGoesFirstAndFieldsPassThrough) {
  ASSERT_TRUE(module_.ok());
  ASSERT_EQ(module_->user_agent(), kUserAgent);
  answer_.body = R"({"ok":true})";
  HttpBaseTransport::JsonResponse response =
      transport_.PostJson(kUrl, R"({"user":"alice"})", 10,
                          {{"content-type", "application/json"}, {"accept", "application/json"}});
  ASSERT_EQ(answer_.seen.size(), 1u);
  const SeenRequest& seen = answer_.seen[0];
  EXPECT_EQ(seen.method, uint32_t{KIV_METHOD_POST});
  EXPECT_EQ(seen.url, kUrl);
  // The map's order after the added field: "accept" before "content-type".
  EXPECT_EQ(seen.headers, (Headers{{"user-agent", kUserAgent},
                                   {"accept", "application/json"},
                                   {"content-type", "application/json"}}));
  EXPECT_EQ(seen.body, R"({"user":"alice"})");
  EXPECT_EQ(seen.timeout, 10u);
  EXPECT_EQ(seen.flag, 1);
  EXPECT_EQ(response.result_state, 0);
  EXPECT_EQ(answer_.releases, 1);

  // The other convenience forms set the method and the flag the same way.
  answer_.body = "plain";
  HttpBaseTransport::Response text = transport_.PostText(kUrl, "b", 7, {});
  EXPECT_EQ(text.body, "plain");
  HttpBaseTransport::JsonResponse got = transport_.GetJson(kUrl, 3, {});
  EXPECT_EQ(got.result_state, 1);  // "plain" is no JSON
  ASSERT_EQ(answer_.seen.size(), 3u);
  EXPECT_EQ(answer_.seen[1].method, uint32_t{KIV_METHOD_POST});
  EXPECT_EQ(answer_.seen[1].timeout, 7u);
  EXPECT_EQ(answer_.seen[2].method, uint32_t{KIV_METHOD_GET});
  EXPECT_EQ(answer_.seen[2].body, "");
  for (const SeenRequest& each : answer_.seen) EXPECT_EQ(each.flag, 1);
  EXPECT_EQ(answer_.releases, 3);
}

TEST_F(HttpBaseTransportTest, CallersUserAgentInAnyCaseIsTheOnlyOne) {
  for (const char* name : {"User-Agent", "USER-AGENT", "user-agent", "uSeR-aGeNt"}) {
    SCOPED_TRACE(name);
    answer_.seen.clear();
    HttpBaseTransport::Request request;
    request.url = kUrl;
    request.headers = {{name, "Mine/1.0"}, {"x-a", "1"}};
    HttpBaseTransport::Response response = transport_.RequestText(request);
    ASSERT_EQ(answer_.seen.size(), 1u);
    Headers expected{{name, "Mine/1.0"}, {"x-a", "1"}};
    if (std::string(name) > "x-a") std::swap(expected[0], expected[1]);
    EXPECT_EQ(answer_.seen[0].headers, expected);
  }
  // Names that merely resemble it do not count.
  for (const char* name : {"user-agent2", "user_agent", "x-user-agent", "user-agen"}) {
    SCOPED_TRACE(name);
    answer_.seen.clear();
    HttpBaseTransport::Request request;
    request.url = kUrl;
    request.headers = {{name, "v"}};
    HttpBaseTransport::Response response = transport_.RequestText(request);
    ASSERT_EQ(answer_.seen.size(), 1u);
    EXPECT_EQ(answer_.seen[0].headers, (Headers{{"user-agent", kUserAgent}, {name, "v"}}));
  }
}

TEST(HttpBaseTransportRecordTest, HostRecordPointsIntoTheRequest) {
  HttpBaseTransport::Request request;
  request.method = KIV_METHOD_PUT;
  request.url = "http://a.test/";
  request.body = std::string("a\0b", 3);
  request.timeout = 99;
  request.flag = 7;
  std::vector<HostHeaderPair> pairs;
  const std::string user_agent = "UA/1";  // the record points into it
  HostExternalRequest host = HttpBaseTransport::BuildHostRequest(request, user_agent, &pairs);
  EXPECT_EQ(host.method, uint32_t{KIV_METHOD_PUT});
  EXPECT_EQ(host.url, request.url.c_str());
  EXPECT_EQ(host.body, request.body.data());
  EXPECT_EQ(host.body_length, 3u);
  EXPECT_EQ(host.timeout, 99u);
  EXPECT_EQ(host.flag, 7);
  ASSERT_EQ(host.header_count, 1u);
  EXPECT_STREQ(host.headers[0].name, "user-agent");
  EXPECT_STREQ(host.headers[0].value, "UA/1");
}

TEST_F(HttpBaseTransportTest, FailedTransportKeepsHostTextAndReadsNothingElse) {
  struct Case {
    int32_t host_code;
    int32_t status;
  };
  for (Case c : {Case{5, 1}, Case{2, 2}, Case{1, 1}, Case{-7, 1}, Case{-1, -1}, Case{3, 1}}) {
    SCOPED_TRACE(c.host_code);
    answer_.releases = 0;
    answer_.code = c.host_code;
    answer_.status = 404;
    // Headers that would fail conversion if they were read.
    answer_.null_headers = true;
    answer_.header_count_override = 3;
    answer_.body = "Couldn't connect to server";
    HttpBaseTransport::Response text = transport_.PostText(kUrl, "", 10, {});
    EXPECT_EQ(text.transport_status, c.status);
    EXPECT_EQ(text.status_code, 0);
    EXPECT_EQ(text.result_state, -1);
    EXPECT_EQ(text.error, "Couldn't connect to server");
    EXPECT_TRUE(text.headers.empty());
    EXPECT_EQ(text.body, "");
    HttpBaseTransport::JsonResponse json = transport_.GetJson(kUrl, 10, {});
    EXPECT_EQ(json.transport_status, c.status);
    EXPECT_EQ(json.result_state, -1);
    EXPECT_EQ(json.error, "Couldn't connect to server");
    EXPECT_EQ(json.body.type(), BindingType::kEmpty);
    EXPECT_EQ(answer_.releases, 2);
  }
  // A failure without any text from the host.
  answer_.code = 9;
  answer_.body.reset();
  answer_.null_headers = false;
  answer_.header_count_override = 0;
  HttpBaseTransport::Response bare = transport_.PostText(kUrl, "", 10, {});
  EXPECT_EQ(bare.transport_status, 1);
  EXPECT_EQ(bare.error, "");
}

TEST(HttpBaseTransportMappingTest, TransportCodes) {
  EXPECT_EQ(HttpBaseTransport::MapTransportCode(-1), -1);
  EXPECT_EQ(HttpBaseTransport::MapTransportCode(0), 0);
  EXPECT_EQ(HttpBaseTransport::MapTransportCode(2), 2);
  for (int32_t code : {1, 3, 5, 100, -2, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(HttpBaseTransport::MapTransportCode(code), 1) << code;
  }
}

TEST_F(HttpBaseTransportTest, JsonErrorStatusIsStillAConvertedResponse) {
  answer_.status = 500;
  answer_.headers = {{"Content-Type", "application/json"}, {"x-b", "2"}, {"X-A", "1"}};
  answer_.body = R"({"error":"boom","details":[1,2]})";
  HttpBaseTransport::JsonResponse response = transport_.GetJson(kUrl, 10, {});
  EXPECT_EQ(response.transport_status, 0);
  EXPECT_EQ(response.status_code, 500);
  EXPECT_EQ(response.result_state, 0);
  EXPECT_EQ(response.error, "");
  EXPECT_EQ(response.headers, answer_.headers);  // the host's order, not sorted
  EXPECT_EQ(response.body.Field("error").ToString(), "boom");
  EXPECT_EQ(response.body.Field("details").size(), 2u);
  EXPECT_EQ(answer_.releases, 1);
}

TEST_F(HttpBaseTransportTest, EmptyBodyIsTextButNoJson) {
  const std::string empty_message =
      std::string("Error converting response for GET ") + kUrl + ": body was empty";
  for (bool null_pointer : {true, false}) {
    SCOPED_TRACE(null_pointer);
    answer_.releases = 0;
    answer_.status = 204;
    if (null_pointer) {
      answer_.body.reset();
    } else {
      answer_.body = std::string();
    }
    HttpBaseTransport::Request request;
    request.url = kUrl;
    HttpBaseTransport::Response text = transport_.RequestText(request);
    EXPECT_EQ(text.status_code, 204);
    EXPECT_EQ(text.result_state, 0);
    EXPECT_EQ(text.error, "");
    EXPECT_EQ(text.body, "");
    HttpBaseTransport::JsonResponse json = transport_.RequestJson(request);
    EXPECT_EQ(json.transport_status, 0);
    EXPECT_EQ(json.status_code, 204);
    EXPECT_EQ(json.result_state, 1);
    EXPECT_EQ(json.error, empty_message);
    EXPECT_EQ(answer_.releases, 2);
  }
}

TEST_F(HttpBaseTransportTest, ConversionFailuresNameTheRequest) {
  // A header count with no array: the status is kept, the body is not looked at.
  answer_.status = 200;
  answer_.null_headers = true;
  answer_.header_count_override = 2;
  answer_.headers = {{"a", "1"}};
  answer_.body = "{}";
  HttpBaseTransport::JsonResponse headers = transport_.PostJson(kUrl, "{}", 10, {});
  EXPECT_EQ(headers.transport_status, 0);
  EXPECT_EQ(headers.status_code, 200);
  EXPECT_EQ(headers.result_state, 1);
  EXPECT_EQ(headers.error,
            std::string("Error converting response for POST ") + kUrl + ": headers was null");
  EXPECT_EQ(headers.body.type(), BindingType::kEmpty);
  EXPECT_TRUE(headers.headers.empty());

  // A body length with no bytes.
  answer_.null_headers = false;
  answer_.header_count_override = 0;
  answer_.body.reset();
  answer_.body_length_override = 5;
  HttpBaseTransport::Response text = transport_.PostText(kUrl, "", 10, {});
  EXPECT_EQ(text.result_state, 1);
  EXPECT_EQ(text.error,
            std::string("Error converting response for POST ") + kUrl + ": body was null");
  EXPECT_EQ(text.headers, (Headers{{"a", "1"}}));
  HttpBaseTransport::JsonResponse json = transport_.GetJson(kUrl, 10, {});
  EXPECT_EQ(json.error,
            std::string("Error converting response for GET ") + kUrl + ": body was empty");

  // JSON that does not parse: the parser's message, and the raw body kept as text.
  answer_.body_length_override = 0;
  answer_.body = "{\"unterminated\": ";
  HttpBaseTransport::JsonResponse bad = transport_.GetJson(kUrl, 10, {});
  BindingResult parsed = ParseJson(*answer_.body);
  ASSERT_FALSE(parsed.ok());
  ASSERT_FALSE(parsed.error().empty());
  EXPECT_EQ(bad.result_state, 1);
  EXPECT_EQ(bad.error, std::string("Error deserializing json response for GET ") + kUrl + ": " +
                           std::string(parsed.error()));
  EXPECT_EQ(bad.body.type(), BindingType::kString);
  EXPECT_EQ(bad.body.ToString(), "{\"unterminated\": ");
  EXPECT_EQ(answer_.releases, 4);
}

TEST_F(HttpBaseTransportTest, TextBodyIsTakenByLengthAndNullHeaderTextsAreEmpty) {
  answer_.body = std::string("a\0b\xff", 4);
  answer_.headers = {{"k", "v"}};
  answer_.Install(&host_);
  host_.on_external_request = [inner = host_.on_external_request](
                                  HostExternalResponse* response,
                                  const HostExternalRequest* request) {
    inner(response, request);
    static HostHeaderPair odd[2] = {{nullptr, "value"}, {"name", nullptr}};
    response->headers = odd;
    response->header_count = 2;
  };
  HttpBaseTransport::Response response = transport_.PostText(kUrl, "", 10, {});
  EXPECT_EQ(response.result_state, 0);
  EXPECT_EQ(response.body, std::string("a\0b\xff", 4));
  EXPECT_EQ(response.headers, (Headers{{"", "value"}, {"name", ""}}));
}

TEST(HttpBaseTransportNoHostTest, BeforeInitializeNothingIsSentAndNothingSet) {
  AppModule module;
  HttpBaseTransport transport(&module);
  HttpBaseTransport::Response response = transport.PostText(kUrl, "x", 10, {});
  EXPECT_EQ(response.transport_status, -1);
  EXPECT_EQ(response.status_code, 0);
  EXPECT_EQ(response.result_state, -1);
  EXPECT_EQ(response.error, "");
}

TEST_F(HttpBaseTransportTest, HostThatLeavesTheRecordAloneGivesUnsetStatus) {
  host_.on_external_request = nullptr;
  HttpBaseTransport::JsonResponse response = transport_.GetJson(kUrl, 10, {});
  EXPECT_EQ(host_.Count("SendExternalRequest"), 1);
  EXPECT_EQ(response.transport_status, -1);
  EXPECT_EQ(response.result_state, -1);
  EXPECT_EQ(answer_.releases, 0);
}

}  // namespace
}  // namespace Voro
