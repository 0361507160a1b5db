// Token text through the token reader.
//
// Checks: the segments put back together with "." give the token; a failure names its
// segment and reaches Header() and Payload() as a failed result; a success gives two
// objects, a decoded payload text that reads back to the payload object, and a non-empty
// signature; a second round of calls returns the same results.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "binding/value/binding_type.h"
#include "binding/codec/json_reader.h"
#include "lcds/token_reader.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_token_reader: %s\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

void CheckSegments(Voro::TokenReader& reader) {
  std::string joined;
  for (size_t i = 0; i < reader.SegmentCount(); ++i) {
    if (i > 0) joined += '.';
    joined += reader.Segment(i);
  }
  if (joined != reader.token()) Fail("segments do not rebuild the token", joined);
}

void CheckFailure(Voro::TokenReader& reader) {
  const std::string& error = reader.error();
  if (error.rfind("Token header is not ", 0) != 0 && error.rfind("Token payload is not ", 0) != 0 &&
      error.rfind("Token signature is not valid Base64url: ", 0) != 0) {
    Fail("malformed failure", error);
  }
  const Voro::BindingResult payload = reader.Payload();
  const Voro::BindingResult header = reader.Header();
  if (payload.ok() || header.ok()) Fail("failed token gave an object", error);
  if (payload.error() != error || header.error() != error) Fail("failure text differs", error);
  if (!reader.Signature().empty()) Fail("failed token kept a signature", error);
}

void CheckSuccess(Voro::TokenReader& reader) {
  const Voro::BindingResult payload = reader.Payload();
  const Voro::BindingResult header = reader.Header();
  if (!payload.ok() || !header.ok()) Fail("good token gave a failure", reader.token());
  if (payload.value().type() != Voro::BindingType::kStructure ||
      header.value().type() != Voro::BindingType::kStructure) {
    Fail("good token gave a non-object", reader.token());
  }
  if (!reader.Segment(1).empty()) {
    const Voro::BindingResult again = Voro::ParseJson(reader.PayloadText());
    if (!again.ok() || !(again.value() == payload.value())) {
      Fail("payload text does not read back to the payload", reader.PayloadText());
    }
  }
  if (reader.Signature().empty()) Fail("empty signature", reader.token());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Voro::TokenReader reader(std::string(reinterpret_cast<const char*>(data), size));
  CheckSegments(reader);
  const bool ok = reader.ok();
  if (ok) {
    CheckSuccess(reader);
  } else {
    CheckFailure(reader);
  }
  // Everything is cached: a second round sees the same token.
  const std::string error = reader.error();
  const std::string signature = reader.Signature();
  if (reader.ok() != ok || reader.error() != error || reader.Signature() != signature) {
    Fail("second round differs", reader.token());
  }
  CheckSegments(reader);
  return 0;
}
