#include "binding/router/response_writer.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "binding/types/native_to_abi.h"

namespace Voro {
namespace {

char* CopyText(std::string_view text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

bool StreamRead(void* context, char* buffer, uint32_t* size, bool* more) {
  return static_cast<ResponseBodyStream*>(context)->Read(buffer, size, more);
}

void StreamClose(void* context) { static_cast<ResponseBodyStream*>(context)->Close(); }

void SetFailure(HostResponse* response, std::string_view message) {
  std::free(response->error_text);
  response->error_text = CopyText(message);
  response->failed = 1;
}

void WriteHeaders(const std::map<std::string, std::string>& headers, HostResponse* response) {
  if (headers.empty()) return;
  auto* pairs = static_cast<HostHeaderPair*>(std::calloc(headers.size(), sizeof(HostHeaderPair)));
  if (pairs == nullptr) throw std::bad_alloc();
  response->headers = pairs;
  for (const auto& [name, value] : headers) {
    pairs[response->header_count].name = CopyText(name);
    pairs[response->header_count].value = CopyText(value);
    ++response->header_count;
  }
}

// Everything but the body, which is written already.
void WriteCallOutcome(CallResult& call, HostResponse* response) {
  if (!call.ok()) SetFailure(response, call.result.error());
  response->response_flag = call.response_flag;
  response->response_code =
      call.response_code >= 1 && call.response_code <= 3 ? call.response_code : 0;
  response->status_text = CopyText(call.status_text);
  WriteHeaders(call.headers, response);
  if (call.body_stream != nullptr) {
    response->stream_read = &StreamRead;
    response->stream_close = &StreamClose;
    response->stream_size_hint = call.body_stream->SizeHint();
    response->reserved1 = 0;
    response->stream_context = call.body_stream.release();
  }
}

}  // namespace

void WriteCallResult(CallResult& call, HostResponse* response, const EnumNameResolver* names) {
  response->release = &ReleaseRouterResponse;
  response->status_code = call.status;
  try {
    ToAbiValue(call.result.value(), &response->body, names);
  } catch (const std::exception& e) {
    ReleaseAbiValue(&response->body);
    call.MakeError(e.what());
    call.status = kUnconvertibleResultStatus;
    response->status_code = call.status;
    ToAbiValue(call.result.value(), &response->body, names);
  }
  WriteCallOutcome(call, response);
}

void WriteNativeCallResult(CallResult& call, const void* native, const KindData& type,
                           HostResponse* response, const TypeRegistry& registry) {
  std::string error;
  if (!NativeToAbiValue(&response->body, native, type, registry, &error)) {
    call.MakeError(error);
    call.status = kUnconvertibleResultStatus;
    WriteCallResult(call, response, &registry);
    return;
  }
  response->release = &ReleaseRouterResponse;
  response->status_code = call.status;
  WriteCallOutcome(call, response);
}

void WriteErrorResponse(HostResponse* response, std::string_view message, int32_t status) {
  CallResult call;
  call.MakeError(message);
  call.status = status;
  WriteCallResult(call, response, nullptr);
}

void ReleaseRouterResponse(HostResponse* response) {
  if (response == nullptr) return;
  ReleaseAbiValue(&response->body);
  std::free(response->error_text);
  std::free(response->status_text);
  for (uint32_t i = 0; i < response->header_count && response->headers != nullptr; ++i) {
    std::free(const_cast<char*>(response->headers[i].name));
    std::free(const_cast<char*>(response->headers[i].value));
  }
  std::free(response->headers);
  delete static_cast<ResponseBodyStream*>(response->stream_context);
  std::memset(static_cast<void*>(response), 0, sizeof(*response));
}

}  // namespace Voro
