// Random UUIDs and their text form (request identifiers).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace Voro {

using Uuid = std::array<uint8_t, 16>;

// Length of UuidText's result: 32 hexadecimal digits and four "-".
inline constexpr size_t kUuidTextLength = 36;

// Fills `bytes` with a new UUID; false when the system could not make one.
using UuidSource = bool (*)(Uuid& bytes);

// The system's generator (version 4, random). It does not fail on this platform: without an
// entropy device it falls back to a weaker random source on its own.
bool SystemUuidSource(Uuid& bytes);

// A new UUID from the system. A failure is fatal: the assertion report "ALE-8B4DC795", and
// no UUID.
std::optional<Uuid> CreateUuid();
// The same with another source, so the failure path can run.
std::optional<Uuid> CreateUuidFrom(UuidSource source);

// The bytes in storage order as lowercase hexadecimal in 8-4-4-4-12 groups.
std::string UuidText(const Uuid& bytes);

}  // namespace Voro
