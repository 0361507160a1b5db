// JSON text into a BindingProperty tree: simdjson's document where it is sure to give the
// same tree (see json_simd_reader.cc), otherwise straight from RapidJSON's SAX callbacks.
//
// Limits and deliberate strictness:
// - containers nest at most kMaxJsonNesting levels; the reader runs iteratively
//   (kParseIterativeFlag), so neither it nor the tree building recurses on any input;
// - numbers with a fraction or an exponent are converted from their text with
//   std::from_chars (correctly rounded, so every double the writer prints reads back to the
//   same bits); a number beyond the double range fails as "too big" instead of becoming an
//   infinity, and one below it reads as zero;
// - the reader stops at a NUL byte; a NUL before the end of the text is refused instead of
//   silently ending the document there.
#include "binding/codec/json_reader.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "binding/codec/json_simd_reader.h"

namespace Voro {
namespace {

constexpr char kNestingMessage[] = "Error: Nesting is deeper than 1000 levels at offset %u.";
constexpr char kReaderMessage[] = "Error: %s at offset %u.";
// Callers match the original wording; later RapidJSON releases reworded this one message.
constexpr char kRootNotSingular[] = "The document root must not follow by other values.";

// In-situ parsing over a private copy: strings decode in place and reach the handler
// without another copy, and the copy supplies the NUL end mark the reader relies on.
constexpr unsigned kParseFlags = rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag;

// RapidJSON's in-situ string stream without its copy optimisation: the reader then advances
// this very object while it reads a number, so the handler sees where the number ends.
class InsituStream {
 public:
  using Ch = char;
  explicit InsituStream(char* text) : src_(text), dst_(nullptr), head_(text) {}

  char Peek() const { return *src_; }
  char Take() { return *src_++; }
  size_t Tell() const { return static_cast<size_t>(src_ - head_); }
  const char* head() const { return head_; }
  const char* position() const { return src_; }

  char* PutBegin() { return dst_ = src_; }
  void Put(char c) { *dst_++ = c; }
  void Flush() {}
  size_t PutEnd(char* begin) { return static_cast<size_t>(dst_ - begin); }
  char* Push(size_t count) {
    char* begin = dst_;
    dst_ += count;
    return begin;
  }
  void Pop(size_t count) { dst_ -= count; }

 private:
  char* src_;
  char* dst_;
  char* head_;
};

bool IsNumberChar(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Whether a number text that does not fit a double lies above its range (rather than below):
// the decimal exponent of its first significant digit is positive.
// REQUIRES: the text is a valid JSON number.
bool AboveDoubleRange(std::string_view number) {
  size_t i = number[0] == '-' ? 1 : 0;
  int64_t magnitude = -1;
  bool significant = false;
  for (; i < number.size() && number[i] >= '0' && number[i] <= '9'; ++i) {
    if (number[i] != '0') significant = true;
    if (significant) ++magnitude;
  }
  if (i < number.size() && number[i] == '.') {
    for (++i; i < number.size() && number[i] >= '0' && number[i] <= '9'; ++i) {
      if (!significant) --magnitude;
      if (number[i] != '0') significant = true;
    }
  }
  int64_t exponent = 0;
  if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
    ++i;
    const bool negative = number[i] == '-';
    if (number[i] == '-' || number[i] == '+') ++i;
    for (; i < number.size(); ++i) {
      // Saturates far beyond any double: only the sign of the sum matters.
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (number[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent > 0;
}

// Builds the tree. `open_` holds the containers being filled, innermost last; inside a
// structure, `field_` is the value slot of the key just read.
class TreeHandler {
 public:
  enum class Stop { kNone, kNesting, kNumberTooBig };

  TreeHandler(BindingProperty* root, const InsituStream* stream)
      : root_(root), stream_(stream), strings_(root->strings()) {
    open_.reserve(32);
  }

  bool Null() {
    Slot().Reset();
    return true;
  }
  bool Bool(bool b) {
    Slot().SetBool(b);
    return true;
  }
  // The reader reports "-0" as a signed integer; it is zero, not negative, and "unsigned"
  // like every other non-negative integer (so that it also writes and reads back the same).
  bool Int(int i) { return Int64(i); }
  bool Uint(unsigned u) {
    Slot().SetUnsigned(u);
    return true;
  }
  bool Int64(int64_t i) {
    if (i < 0) {
      Slot().SetSigned(i);
    } else {
      Slot().SetUnsigned(static_cast<uint64_t>(i));
    }
    return true;
  }
  bool Uint64(uint64_t u) {
    Slot().SetUnsigned(u);
    return true;
  }
  bool Double(double) {
    // The reader has just taken the number's last character; its first follows a
    // character that cannot be part of a number (or is the first of the text).
    const char* end = stream_->position();
    const char* begin = end;
    while (begin != stream_->head() && IsNumberChar(begin[-1])) --begin;
    double d = 0;
    const std::from_chars_result converted = std::from_chars(begin, end, d);
    if (converted.ec == std::errc::result_out_of_range) {
      if (AboveDoubleRange(std::string_view(begin, static_cast<size_t>(end - begin)))) {
        stop_ = Stop::kNumberTooBig;
        return false;
      }
      d = *begin == '-' ? -0.0 : 0.0;
    }
    Slot().SetFloat(d);
    return true;
  }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }  // flag not used
  bool String(const char* text, rapidjson::SizeType length, bool) {
    Slot().SetInternedString(strings_.Intern(std::string_view(text, length)));
    return true;
  }
  bool StartObject() { return Open(false); }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    // Of repeated names the last value wins, when the object ends.
    field_ = &open_.back().node->AppendField(strings_.Intern(std::string_view(text, length)));
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    open_.back().node->FinishFields();
    open_.pop_back();
    return true;
  }
  bool StartArray() { return Open(true); }
  bool EndArray(rapidjson::SizeType) {
    open_.pop_back();
    return true;
  }

  Stop stop() const { return stop_; }

 private:
  struct Frame {
    BindingProperty* node;
    bool is_collection;
  };

  // The node the next value goes into.
  BindingProperty& Slot() {
    if (open_.empty()) return *root_;
    const Frame& top = open_.back();
    return top.is_collection ? top.node->Append() : *field_;
  }

  bool Open(bool collection) {
    if (open_.size() >= kMaxJsonNesting) {
      stop_ = Stop::kNesting;
      return false;
    }
    BindingProperty& node = Slot();
    if (collection) {
      node.MakeCollection();
    } else {
      node.MakeStructure();
    }
    // Elements appended to a parent never move while this child is open: the parent only
    // grows again after the child has ended.
    open_.push_back({&node, collection});
    return true;
  }

  BindingProperty* root_;
  const InsituStream* stream_;
  BindingProperty* field_ = nullptr;
  std::vector<Frame> open_;
  Stop stop_ = Stop::kNone;
  StringInternTable& strings_;
};

BindingResult Failure(const char* format, const char* reason, size_t offset) {
  char message[160];
  if (reason == nullptr) {
    std::snprintf(message, sizeof(message), format, static_cast<unsigned>(offset));
  } else {
    std::snprintf(message, sizeof(message), format, reason, static_cast<unsigned>(offset));
  }
  return BindingResult::Error(message);
}

// About one distinct key or string per 64 bytes of text is typical of documents with many
// records.
void ReserveStringsFor(std::string_view text, BindingProperty* root) {
  constexpr size_t kBytesPerDistinctString = 64;
  root->ReserveStringsForInput(text.size(), kBytesPerDistinctString);
}

}  // namespace

BindingResult ParseJson(std::string_view text) {
  BindingResult result;
  ReserveStringsFor(text, &result.value());
  if (ReadJsonWithSimdjson(text, &result.value())) return result;
  return ParseJsonWithRapidJson(text);
}

BindingResult ParseJsonWithRapidJson(std::string_view text) {
  std::string buffer(text);  // in-situ parsing writes into it; NUL-terminated
  InsituStream stream(buffer.data());
  rapidjson::Reader reader;
  BindingResult result;
  ReserveStringsFor(text, &result.value());
  TreeHandler handler(&result.value(), &stream);
  const rapidjson::ParseResult parsed = reader.Parse<kParseFlags>(stream, handler);
  if (handler.stop() == TreeHandler::Stop::kNesting) {
    return Failure(kNestingMessage, nullptr, parsed.Offset());
  }
  rapidjson::ParseErrorCode code = parsed.Code();
  if (handler.stop() == TreeHandler::Stop::kNumberTooBig) {
    code = rapidjson::kParseErrorNumberTooBig;  // the offset is the number's first character
  }
  size_t offset = parsed.Offset();
  // The reader ends at the first NUL byte: one inside the text is not the text's end.
  const size_t stop = stream.Tell();
  if ((code == rapidjson::kParseErrorNone || code == rapidjson::kParseErrorDocumentEmpty) &&
      stop < text.size()) {
    code = code == rapidjson::kParseErrorNone ? rapidjson::kParseErrorDocumentRootNotSingular
                                              : rapidjson::kParseErrorValueInvalid;
    offset = stop;
  }
  if (code == rapidjson::kParseErrorDocumentEmpty) return BindingResult();
  if (code != rapidjson::kParseErrorNone) {
    const char* reason = code == rapidjson::kParseErrorDocumentRootNotSingular
                             ? kRootNotSingular
                             : rapidjson::GetParseError_En(code);
    return Failure(kReaderMessage, reason, offset);
  }
  return result;
}

}  // namespace Voro
