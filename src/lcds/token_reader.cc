#include "lcds/token_reader.h"

#include <cstdint>
#include <cstdio>

#include "binding/value/base64.h"
#include "binding/value/binding_type.h"
#include "binding/codec/json_reader.h"

namespace Voro {

namespace {

// Message templates: "Token <part> ..." where part is "header", "payload" or "signature".
constexpr std::string_view kNotBase64Url = " is not valid Base64url: ";
constexpr std::string_view kNotJson = " is not valid JSON: ";
constexpr std::string_view kNotObject = " is not a JSON object: ";
constexpr std::string_view kSingleCharacterLeft = "a single character left over in the last group";
constexpr std::string_view kTooMuchPadding = "too much padding";

bool IsBase64UrlCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

std::string DescribeBadCharacter(char c, size_t offset) {
  char buffer[80];
  if (c == '=') {
    std::snprintf(buffer, sizeof buffer, "padding before the end at offset %zu", offset);
  } else {
    std::snprintf(buffer, sizeof buffer, "invalid character 0x%02X at offset %zu",
                  static_cast<unsigned>(static_cast<unsigned char>(c)), offset);
  }
  return buffer;
}

// What a JSON text held instead of an object, in JSON's own words.
std::string_view JsonKindName(BindingType type) {
  switch (type) {
    case BindingType::kEmpty:
      return "null or no value";
    case BindingType::kBool:
      return "a boolean";
    case BindingType::kSigned:
    case BindingType::kUnsigned:
    case BindingType::kFloat:
      return "a number";
    case BindingType::kString:
      return "a string";
    case BindingType::kCollection:
      return "an array";
    default:
      return "not a JSON value";
  }
}

std::string PartMessage(std::string_view part, std::string_view what, std::string_view detail) {
  std::string message = "Token ";
  message += part;
  message += what;
  message += detail;
  return message;
}

}  // namespace

bool Base64UrlDecode(std::string_view text, std::string* out, std::string* why) {
  out->clear();
  size_t data_length = text.size();
  while (data_length > 0 && text[data_length - 1] == '=') --data_length;
  const size_t padding = text.size() - data_length;

  // Map onto the standard alphabet and let the standard decoder do the bit work.
  std::string standard;
  standard.reserve(data_length + 3);
  for (size_t i = 0; i < data_length; ++i) {
    const char c = text[i];
    if (!IsBase64UrlCharacter(c)) {
      *why = DescribeBadCharacter(c, i);
      return false;
    }
    standard += c == '-' ? '+' : c == '_' ? '/' : c;
  }
  if (data_length % 4 == 1) {
    *why = kSingleCharacterLeft;
    return false;
  }
  const size_t missing = (4 - data_length % 4) % 4;
  if (padding > missing) {
    *why = kTooMuchPadding;
    return false;
  }
  standard.append(missing, '=');
  std::vector<uint8_t> bytes;
  if (!Base64Decode(standard, &bytes)) {
    *why = "malformed text";  // not reached: the checks above cover the decoder's refusals
    return false;
  }
  out->assign(bytes.begin(), bytes.end());
  return true;
}

bool TokenReader::ok() {
  EnsureParsed();
  return error_.empty();
}

const std::string& TokenReader::error() {
  EnsureParsed();
  return error_;
}

BindingResult TokenReader::Payload() {
  EnsureParsed();
  return ObjectResult(payload_);
}

BindingResult TokenReader::Header() {
  EnsureParsed();
  return ObjectResult(header_);
}

const std::string& TokenReader::Signature() {
  EnsureParsed();
  return signature_;
}

const std::string& TokenReader::HeaderText() {
  EnsureParsed();
  return header_text_;
}

const std::string& TokenReader::PayloadText() {
  EnsureParsed();
  return payload_text_;
}

size_t TokenReader::SegmentCount() {
  EnsureParsed();
  return segments_.size();
}

std::string_view TokenReader::Segment(size_t index) {
  EnsureParsed();
  if (index >= segments_.size()) return {};
  return std::string_view(token_).substr(segments_[index].offset, segments_[index].length);
}

void TokenReader::Parse() {
  parsed_ = true;  // first, so that the accessors used below do not start again
  size_t start = 0;
  for (;;) {
    const size_t dot = token_.find('.', start);
    if (dot == std::string::npos) {
      segments_.push_back({start, token_.size() - start});
      break;
    }
    segments_.push_back({start, dot - start});
    start = dot + 1;
  }

  if (!DecodeObjectSegment(0, "header", &header_text_, &header_)) return;
  if (!DecodeObjectSegment(1, "payload", &payload_text_, &payload_)) return;

  const std::string_view signature = Segment(2);
  if (signature.empty()) {
    signature_ = kNoSignatureMarker;
    return;
  }
  std::string why;
  if (!Base64UrlDecode(signature, &signature_, &why)) {
    signature_.clear();
    error_ = PartMessage("signature", kNotBase64Url, why);
  }
}

bool TokenReader::DecodeObjectSegment(size_t index, std::string_view part, std::string* text,
                                      BindingProperty* object) {
  const std::string_view segment = Segment(index);
  if (segment.empty()) {
    object->Reset();
    (*object)["error"] = true;
    return true;
  }
  std::string why;
  if (!Base64UrlDecode(segment, text, &why)) {
    text->clear();
    error_ = PartMessage(part, kNotBase64Url, why);
    return false;
  }
  BindingResult parsed = ParseJson(*text);
  if (!parsed.ok()) {
    error_ = PartMessage(part, kNotJson, parsed.error());
    return false;
  }
  if (parsed.value().type() != BindingType::kStructure) {
    error_ = PartMessage(part, kNotObject, JsonKindName(parsed.value().type()));
    return false;
  }
  *object = std::move(parsed.value());
  return true;
}

BindingResult TokenReader::ObjectResult(const BindingProperty& object) const {
  if (!error_.empty()) return BindingResult::Error(error_);
  return BindingResult(object);
}

}  // namespace Voro
