#include "lcds/message_id_generator.h"

#include <atomic>
#include <exception>
#include <random>
#include <utility>

#include "diag/clock.h"

namespace Voro {

namespace {

uint64_t Pack(uint32_t prefix, uint32_t counter) {
  return static_cast<uint64_t>(prefix) << 32 | counter;
}

// Without an entropy source: the real clock mixed with a call count (splitmix64), so that
// successive draws differ even when the clock has not moved.
uint32_t FallbackDraw() {
  static std::atomic<uint64_t> calls{0};
  uint64_t z = static_cast<uint64_t>(RealSteadyNanoseconds()) +
               (calls.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>(z ^ (z >> 31));
}

}  // namespace

MessageIdGenerator::MessageIdGenerator(RandomSource random) : random_(std::move(random)) {}

uint32_t MessageIdGenerator::Draw() const {
  if (random_) return random_();
  try {
    std::random_device device;
    return static_cast<uint32_t>(device());
  } catch (const std::exception&) {
    return FallbackDraw();
  }
}

void MessageIdGenerator::Renew() {
  uint64_t current = state_.load();
  for (;;) {
    const uint32_t previous = static_cast<uint32_t>(current >> 32);
    uint32_t prefix = Draw();
    while (prefix == previous) prefix = Draw();
    // Fails only when another thread changed the word meanwhile; the prefix must then differ
    // from the one that thread left.
    if (state_.compare_exchange_weak(current, Pack(prefix, 0))) return;
  }
}

std::string MessageIdGenerator::Next() {
  uint64_t current = state_.load();
  uint64_t next;
  do {
    // The counter wraps within its own 32 bits and never carries into the prefix.
    next = Pack(static_cast<uint32_t>(current >> 32), static_cast<uint32_t>(current) + 1);
  } while (!state_.compare_exchange_weak(current, next));
  std::string id = std::to_string(static_cast<uint32_t>(current >> 32));
  id += '-';
  id += std::to_string(static_cast<uint32_t>(current));
  return id;
}

}  // namespace Voro
