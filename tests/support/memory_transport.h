// A transport over byte buffers: reads take from `input`, writes append to `output`.
// `on_write` may append to `input` (to answer what was written). Reading past the end fails
// as a closed peer does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "lcds/net/transport.h"

namespace Voro::testing {

class MemoryTransport final : public Transport {
 public:
  MemoryTransport() = default;
  explicit MemoryTransport(std::vector<uint8_t> bytes) : input(std::move(bytes)) {}

  TransportResult Write(const uint8_t* bytes, size_t count) override {
    output.insert(output.end(), bytes, bytes + count);
    if (on_write) on_write(*this);
    return TransportResult::Success(count);
  }
  TransportResult Read(uint8_t* buffer, size_t count) override {
    const size_t available = std::min(count, input.size() - position);
    if (available > 0) std::memcpy(buffer, input.data() + position, available);
    position += available;
    if (available < count) {
      return TransportResult::Failure(0, "Socket gracefully closed from the other side.",
                                      available);
    }
    return TransportResult::Success(count);
  }
  TransportResult ReadSome(uint8_t* buffer, size_t capacity) override {
    const size_t available = std::min({capacity, input.size() - position, read_some_limit});
    if (available == 0) return Read(buffer, 1);
    return Read(buffer, available);
  }
  bool WaitReadable(int) override { return position < input.size(); }
  bool WaitReadableOrWoken(int, int) override { return position < input.size(); }
  void Close() override { ++closes; }

  void Append(const std::vector<uint8_t>& bytes) {
    input.insert(input.end(), bytes.begin(), bytes.end());
  }

  std::vector<uint8_t> input;
  size_t position = 0;
  std::vector<uint8_t> output;
  std::function<void(MemoryTransport&)> on_write;
  // The most one ReadSome hands over: small, it cuts the input as a slow network would.
  size_t read_some_limit = SIZE_MAX;
  int closes = 0;
};

}  // namespace Voro::testing
