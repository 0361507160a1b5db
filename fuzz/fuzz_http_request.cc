// HTTP request bytes through kivhost serve's request reader, as a connection hands them over.
//
// Checks: a request is never said to take more bytes than there are; a failure always has a
// status and a reason; the same bytes give the same verdict when they arrive in two pieces
// (the second read sees the whole input, as the server keeps it).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "host/http_request.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_http_request: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  kivhost::HttpRequest request;
  const kivhost::HttpParse whole = kivhost::ParseHttpRequest(input, 4096, &request);
  if (whole.status == kivhost::HttpParse::kComplete && whole.size > size) {
    Fail("a request larger than its input");
  }
  if (whole.status == kivhost::HttpParse::kFailed &&
      (whole.error.empty() || whole.error_status < 400 || whole.error_status > 599)) {
    Fail("a failure without a status or a reason");
  }
  // The first half alone: never a different complete request.
  kivhost::HttpRequest part;
  const kivhost::HttpParse half = kivhost::ParseHttpRequest(input.substr(0, size / 2), 4096, &part);
  if (half.status == kivhost::HttpParse::kComplete &&
      whole.status == kivhost::HttpParse::kComplete &&
      (half.size != whole.size || part.path != request.path || part.body != request.body)) {
    Fail("a prefix read as another request");
  }
  if (half.status == kivhost::HttpParse::kIncomplete && half.size > 0 &&
      whole.status == kivhost::HttpParse::kComplete && half.size != whole.size) {
    Fail("the length asked for differs from the one taken");
  }
  return 0;
}
