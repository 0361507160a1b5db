// Reading a response body that the host streams instead of handing it over whole.
#pragma once

#include <cstddef>
#include <functional>

#include "binding/value/binding_result.h"
#include "kiv/plugin_abi.h"

namespace Voro {

inline constexpr size_t kStreamChunkSize = 4096;
inline constexpr const char* kStreamReadErrorMessage = "Stream read error";

// Reads every chunk of `response`'s stream, calling `yield` after a chunk that came back
// short while more data is announced, then parses the text as JSON and closes the stream.
// A reader failure gives the error "Stream read error"; a parse failure the JSON reader's
// message. REQUIRES: response.stream_read is set.
BindingResult ReadStreamedBody(const HostResponse& response, const std::function<void()>& yield);

}  // namespace Voro
