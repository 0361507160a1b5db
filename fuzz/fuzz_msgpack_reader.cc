// MessagePack bytes into value trees.
//
// Checks: a decode either succeeds or fails with a non-empty message and nothing but the
// error structure; the consumed count never passes the input; a successful decode of a
// non-empty input consumed something, decodes to an equal tree from exactly the consumed
// bytes, and every shorter prefix of those bytes fails (a value cut short never passes).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "binding/codec/msgpack_reader.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_msgpack_reader: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Voro::MsgpackDecodeResult r = Voro::DecodeMsgpack(data, size);
  if (r.consumed > size) Fail("consumed more than the input");
  if (!r.result.ok()) {
    if (r.result.error().empty()) Fail("failure without a message");
    if (r.result.value().type() != Voro::BindingType::kStructure || r.result.value().size() != 1) {
      Fail("failure kept more than its message");
    }
    return 0;
  }
  if (!r.result.error().empty()) Fail("success with a message");
  if (size == 0) {
    if (r.consumed != 0 || r.result.value().type() != Voro::BindingType::kEmpty) {
      Fail("empty input gave a value");
    }
    return 0;
  }
  if (r.consumed == 0) Fail("success without consuming");

  const Voro::MsgpackDecodeResult exact = Voro::DecodeMsgpack(data, r.consumed);
  if (!exact.result.ok() || exact.consumed != r.consumed) Fail("the value alone did not decode");
  // Floats with NaN payloads are the one thing that does not compare equal to itself.
  if (r.result.value() == r.result.value() && !(exact.result.value() == r.result.value())) {
    Fail("trailing bytes changed the value");
  }
  const Voro::MsgpackDecodeResult cut = Voro::DecodeMsgpack(data, r.consumed - 1);
  if (r.consumed > 1 && cut.result.ok()) Fail("a value cut short decoded");
  (void)Voro::LooksLikeMsgpack(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
