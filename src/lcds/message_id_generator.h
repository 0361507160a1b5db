// Ids of outgoing Flex messages: "<prefix>-<counter>", both unsigned decimal.
//
// Each connection attempt takes a fresh random prefix and restarts the counter, so the ids
// of one connection are prefix-0, prefix-1, ... The prefix and the counter sit together in
// one lock-free atomic word: an id is never made of one connection's prefix and another's
// counter, and messages can be built on any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace Voro {

class MessageIdGenerator {
 public:
  // Yields 32 random bits. May be called from any thread that calls Renew.
  using RandomSource = std::function<uint32_t()>;

  // Prefix 0 and counter 0 until the first Renew. `random` stands in for the system random
  // device (tests); null means the device.
  explicit MessageIdGenerator(RandomSource random = nullptr);
  MessageIdGenerator(const MessageIdGenerator&) = delete;
  MessageIdGenerator& operator=(const MessageIdGenerator&) = delete;

  // At each connection attempt: a new prefix, drawn until it differs from the current one,
  // and the counter back to 0. Any thread.
  void Renew();
  // The next id; the counter goes up by one (wrapping at 2^32). Any thread.
  std::string Next();

  uint32_t prefix() const { return static_cast<uint32_t>(state_.load() >> 32); }
  // The counter value the next id will carry.
  uint32_t counter() const { return static_cast<uint32_t>(state_.load()); }

 private:
  uint32_t Draw() const;

  RandomSource random_;
  // Prefix in the high 32 bits, counter in the low 32.
  std::atomic<uint64_t> state_{0};
  static_assert(std::atomic<uint64_t>::is_always_lock_free);
};

}  // namespace Voro
