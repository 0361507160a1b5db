// Reads an identity token of dot-separated segments: a header and a payload, each a
// Base64url-encoded JSON object, and a signature. The signature is decoded, never checked.
//
// Limits, and where this is stricter than a lenient reader:
// - Base64url uses "A-Z a-z 0-9 - _" only: the "+" and "/" of standard Base64 are refused.
// - Padding is optional; "=" may only end a segment and at most complete its last group of
//   four ("YQ", "YQ=" and "YQ==" are the same text, "YQ===" is refused).
// - A missing or empty header or payload segment gives the object {"error": true}. One that
//   is present but is not Base64url, or not one JSON object, fails the whole token with a
//   message; nothing is silently left empty. JSON nesting stops at the reader's 1000 levels.
// - Segments after the third are split off but not decoded.
// - Memory grows linearly with the token's length.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/value/binding_property.h"
#include "binding/value/binding_result.h"

namespace Voro {

// The signature text of a token without a third segment, or with an empty one.
inline constexpr std::string_view kNoSignatureMarker = "NO_VALID_CRYPTO_SEGMENT_FOUND_IN_TOKEN";

// Decodes Base64url `text` into *out (replaced). On failure returns false, leaves *out
// unspecified and sets *why to a short reason (e.g. "invalid character 0x2B at offset 4").
[[nodiscard]] bool Base64UrlDecode(std::string_view text, std::string* out, std::string* why);

// One token. Decoding runs once, on the first call of any accessor below except token() and
// parsed(); every later call reads the cached result. Not synchronised: one thread at a time.
class TokenReader {
 public:
  // Keeps the text; does no other work.
  explicit TokenReader(std::string token) : token_(std::move(token)) {}

  const std::string& token() const { return token_; }
  // Whether decoding has run.
  bool parsed() const { return parsed_; }

  // Whether every present header, payload and signature segment decoded.
  bool ok();
  // Empty when ok(); otherwise the first problem, e.g. "Token payload is not valid JSON:
  // Error: Missing a name for object member. at offset 1.". Valid while this reader lives.
  const std::string& error();

  // A copy of the payload object: {"error": true} when the second segment is missing or
  // empty. When the token failed (in any segment), a failed result carrying error().
  BindingResult Payload();
  // A copy of the header object, with the same rules as Payload().
  BindingResult Header();
  // The decoded third segment (bytes, not necessarily printable), or kNoSignatureMarker
  // when it is missing or empty. Empty when the token failed.
  const std::string& Signature();
  // The decoded header and payload texts; empty when the segment is missing or empty, or
  // when the token failed before reaching it.
  const std::string& HeaderText();
  const std::string& PayloadText();

  // The token split at every ".", empty segments kept: one more than the number of dots.
  size_t SegmentCount();
  // The segment's text inside token(); empty when index >= SegmentCount().
  std::string_view Segment(size_t index);

 private:
  struct SegmentSpan {
    size_t offset;
    size_t length;
  };

  void EnsureParsed() {
    if (!parsed_) Parse();
  }
  void Parse();
  // Fills *text and *object from the segment at `index`, or makes *object {"error": true}
  // when the segment is missing or empty. Sets error_ and returns false on a bad segment.
  bool DecodeObjectSegment(size_t index, std::string_view part, std::string* text,
                           BindingProperty* object);
  BindingResult ObjectResult(const BindingProperty& object) const;

  std::string token_;
  std::vector<SegmentSpan> segments_;
  std::string header_text_;
  BindingProperty header_;
  std::string payload_text_;
  BindingProperty payload_;
  std::string signature_;
  std::string error_;
  bool parsed_ = false;
};

}  // namespace Voro
