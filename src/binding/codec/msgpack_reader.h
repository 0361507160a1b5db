// MessagePack request bodies and argument values read into one BindingProperty tree.
// The binding layer only decodes MessagePack; values leave the plugin as host records or
// JSON.
#pragma once

#include <cstddef>
#include <string_view>

#include "binding/value/binding_result.h"

namespace Voro {

// Deeper containers are refused rather than decoded.
inline constexpr size_t kMaxMsgpackNesting = 1000;

struct MsgpackDecodeResult {
  BindingResult result;
  // Bytes taken by the first top-level value; the caller decides what trailing bytes mean.
  size_t consumed = 0;
};

// Decodes exactly one top-level value. An empty buffer gives success, an "empty" value and
// a count of 0. On failure the result holds the decoder's message and no partial tree.
MsgpackDecodeResult DecodeMsgpack(const void* data, size_t size);
inline MsgpackDecodeResult DecodeMsgpack(std::string_view bytes) {
  return DecodeMsgpack(bytes.data(), bytes.size());
}

// The content sniffing test used when no content type is given: a non-empty buffer whose
// first byte is a fixmap, fixarray, array 16/32 or map 16/32.
bool LooksLikeMsgpack(std::string_view bytes);

}  // namespace Voro
