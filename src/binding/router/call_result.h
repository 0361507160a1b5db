// What an endpoint call produces: the result value (or the first error), the response flag
// and code, the HTTP status and its text, response headers and an optional body stream.
// The router writes it into the host's HostResponse (response_writer.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "binding/value/binding_result.h"

namespace Voro {

// A response body handed to the host piece by piece. Once written into a HostResponse the
// response owns the object; releasing the response deletes it. Used by one thread.
class ResponseBodyStream {
 public:
  virtual ~ResponseBodyStream() = default;
  // Fills up to *size bytes of buffer; sets *size to the bytes delivered and *more while
  // further data follows. False is a read error.
  [[nodiscard]] virtual bool Read(char* buffer, uint32_t* size, bool* more) = 0;
  // Reading has ended; the object stays alive until the response is released.
  virtual void Close() = 0;
  // The number of bytes the host should expect (0 when unknown).
  virtual uint32_t SizeHint() const = 0;
};

struct CallResult {
  BindingResult result;
  uint8_t response_flag = 0;
  uint32_t response_code = 0;  // copied to the host when 1, 2 or 3
  int32_t status = 0;          // 0 until somebody sets it
  std::string status_text;
  std::map<std::string, std::string> headers;
  std::unique_ptr<ResponseBodyStream> body_stream;

  // The result's make-error; the status stays as it is.
  void MakeError(std::string_view message) { result.MakeError(message); }
  bool ok() const { return result.ok(); }
};

}  // namespace Voro
