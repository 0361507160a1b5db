// One HTTP/1.x request as `kivhost serve` reads it from a connection's bytes: the request
// line, the header fields, and a body of Content-Length bytes. Chunked request bodies are
// refused (411): the clients of a local server send a length.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivhost {

inline constexpr size_t kMaxRequestHeadBytes = 64 * 1024;

struct HttpRequest {
  std::string method;
  std::string path;                                          // percent-decoded, without the query
  std::vector<std::pair<std::string, std::string>> query;    // decoded, in order
  std::vector<std::pair<std::string, std::string>> headers;  // names as sent
  std::string body;
  bool keep_alive = true;  // HTTP/1.1 unless "Connection: close"; HTTP/1.0 only if asked

  // The first field named `name` (any case), or null.
  const std::string* Header(std::string_view name) const;
  // The first query value named `name`, or null.
  const std::string* Param(std::string_view name) const;
};

struct HttpParse {
  enum Status { kIncomplete, kComplete, kFailed };
  Status status = kIncomplete;
  // kComplete: the bytes the request took. kIncomplete: the bytes needed before trying
  // again (0: unknown, more of the head).
  size_t size = 0;
  // kFailed: the status to answer with, and why; the connection cannot go on.
  int error_status = 0;
  std::string error;
};

// Reads one request from the front of `input`; a body above `max_body` fails with 413 as
// soon as its length is known.
HttpParse ParseHttpRequest(std::string_view input, size_t max_body, HttpRequest* request);

// Whether two header field names (or tokens such as "close") are the same, case aside.
bool SameHeaderName(std::string_view a, std::string_view b);

// `text` with %XX sequences decoded (and '+' as a space when `plus_is_space`); false for a
// '%' not followed by two hexadecimal digits.
bool PercentDecode(std::string_view text, bool plus_is_space, std::string* out);

}  // namespace kivhost
