// The request reader of `kivhost serve`: what it takes from a connection's bytes, and what it
// refuses with which status.
#include "host/http_request.h"

#include <gtest/gtest.h>

#include <string>

namespace kivhost {
namespace {

// The parse as one line: "complete SIZE METHOD PATH q=v,... BODY keep|close", "incomplete
// NEEDED" or "failed STATUS REASON".
std::string Read(const std::string& input, size_t max_body = 100) {
  HttpRequest request;
  const HttpParse parse = ParseHttpRequest(input, max_body, &request);
  switch (parse.status) {
    case HttpParse::kIncomplete:
      return "incomplete " + std::to_string(parse.size);
    case HttpParse::kFailed:
      return "failed " + std::to_string(parse.error_status) + " " + parse.error;
    case HttpParse::kComplete:
      break;
  }
  std::string query;
  for (const auto& [name, value] : request.query) query += name + "=" + value + ",";
  const std::string* host = request.Header("host");
  return "complete " + std::to_string(parse.size) + " " + request.method + " " + request.path +
         " " + query + " " + request.body + " " + (request.keep_alive ? "keep" : "close") +
         (host != nullptr ? " host=" + *host : "");
}

TEST(HttpRequestTest, ReadsOneRequestFromTheFrontOfTheInput) {
  const std::string post =
      "POST /kiv-login/v1/session HTTP/1.1\r\nContent-Length: 5\r\nHost:  127.0.0.1:9 \r\n\r\n"
      "hello";
  struct Case {
    const char* name;
    std::string input;
    std::string read;
  };
  const Case cases[] = {
      {"a GET with a decoded query", "GET /a%20b?x=%22y%22&flag&plus=a+b&=e HTTP/1.1\r\n\r\n",
       R"(complete 50 GET /a b x="y",flag=,plus=a b,=e,  keep)"},
      {"a body by its length, the header trimmed", post,
       "complete 84 POST /kiv-login/v1/session  hello keep host=127.0.0.1:9"},
      {"a second request behind the first is left", post + "GET / HTTP/1.1\r\n\r\n",
       "complete 84 POST /kiv-login/v1/session  hello keep host=127.0.0.1:9"},
      {"the body not all there yet", post.substr(0, 82), "incomplete 84"},
      {"the head not all there yet", "GET / HTTP/1.1\r\nHost: x\r\n", "incomplete 0"},
      {"HTTP/1.1 asked to close", "GET / HTTP/1.1\r\nConnection: Close\r\n\r\n",
       "complete 37 GET /   close"},
      {"HTTP/1.0 closes unless asked", "GET / HTTP/1.0\r\n\r\n", "complete 18 GET /   close"},
      {"HTTP/1.0 kept alive", "GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
       "complete 42 GET /   keep"},
      {"a body over the cap, refused before it arrives",
       "POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n", "failed 413 The body exceeds 100 bytes."},
      {"a chunked body", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "failed 411 Send the body with a Content-Length, not a transfer coding."},
      {"a length that is not a number", "POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n",
       "failed 400 Content-Length is not a number."},
      {"a negative length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
       "failed 400 Content-Length is not a number."},
      {"HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\n",
       "failed 505 Only HTTP/1.0 and HTTP/1.1 are served."},
      {"a target that is not a path", "GET http://elsewhere/ HTTP/1.1\r\n\r\n",
       "failed 400 The request target must be a path starting with '/'."},
      {"a broken escape in the path", "GET /%zz HTTP/1.1\r\n\r\n",
       "failed 400 The request path has a '%' without two hexadecimal digits."},
      {"an escape cut short in the query", "GET /?a=%2 HTTP/1.1\r\n\r\n",
       "failed 400 The query has a '%' without two hexadecimal digits."},
      {"no version", "GET /\r\n\r\n", "failed 400 The request line is not METHOD TARGET VERSION."},
      {"a method that is not a token", "G(T / HTTP/1.1\r\n\r\n",
       "failed 400 The request's method is not a token."},
      {"a field without a colon", "GET / HTTP/1.1\r\nBroken\r\n\r\n",
       "failed 400 A header field is not NAME: VALUE."},
      {"header fields over 64 KiB", "GET / HTTP/1.1\r\nX: " + std::string(70000, 'a'),
       "failed 431 The request's header fields exceed 65536 bytes."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Read(c.input), c.read);
  }
}

}  // namespace
}  // namespace kivhost
