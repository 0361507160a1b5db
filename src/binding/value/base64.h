// Standard Base64 (RFC 4648 alphabet "A-Z a-z 0-9 + /") with "=" padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Voro {

std::string Base64Encode(const uint8_t* data, size_t size);

// Whether every character of `text` is a letter, a digit, "+", "/" or "=".
bool IsBase64Alphabet(std::string_view text);

// Decodes `text` into *out (replaced). Padding is optional, but "=" may only end the text,
// at most two of them, completing a group of four when present. A group with a single
// character left over is malformed. Bits below the last whole byte are ignored.
// Returns false (and leaves *out unspecified) on a character outside the alphabet or a
// malformed text.
[[nodiscard]] bool Base64Decode(std::string_view text, std::vector<uint8_t>* out);

}  // namespace Voro
