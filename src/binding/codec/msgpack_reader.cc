// MessagePack into one BindingProperty tree, in one pass and without recursion.
//
// Limits and the places where the reader is stricter than the format:
// - containers nest at most kMaxMsgpackNesting levels (a top-level array or map is level 1);
//   the type byte that would open level 1001 fails, at the position just past it;
// - an array or map whose data ends before all of its announced items fails: a body cut
//   short must never pass for a complete one;
// - map keys must be strings; extension types (ext 8/16/32, fixext) are refused;
// - an announced count is never trusted for allocation: all collections of one call reserve
//   at most one element per input byte between them, which a complete document never needs
//   more than (every element takes at least one byte);
// - a collection or structure holds at most BindingProperty::kMaxCollectionSize items; a
//   larger array or map (only possible in an input of more than 256 MiB) is refused as invalid
//   data.
#include "binding/codec/msgpack_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "binding/codec/deferred_texts.h"
#include "binding/codec/key_predictor.h"
#include "diag/format_positional.h"

namespace Voro {

namespace {

constexpr std::string_view kInvalidData = "Invalid MessagePack data at position %1.";
constexpr std::string_view kKeyNotString =
    "Invalid MessagePack data at position %1. Map keys must be strings.";
constexpr std::string_view kTooDeep =
    "Invalid MessagePack data at position %1. Nesting is deeper than 1000 levels.";
constexpr std::string_view kTruncated8 =
    "Invalid MessagePack data. 8-bit integer value at position %1 is truncated.";
constexpr std::string_view kTruncated16 =
    "Invalid MessagePack data. 16-bit integer value at position %1 is truncated.";
constexpr std::string_view kTruncated32 =
    "Invalid MessagePack data. 32-bit integer value at position %1 is truncated.";
constexpr std::string_view kTruncated64 =
    "Invalid MessagePack data. 64-bit integer value at position %1 is truncated.";
constexpr std::string_view kStringTruncated =
    "Invalid MessagePack data. String of size %1 at position %2 is truncated.";
constexpr std::string_view kRawTruncated =
    "Invalid MessagePack data. Raw bytes of size %1 at position %2 are truncated.";
constexpr std::string_view kArrayTruncated =
    "Invalid MessagePack data. Array of size %1 at position %2 is truncated.";
constexpr std::string_view kMapTruncated =
    "Invalid MessagePack data. Map of size %1 at position %2 is truncated.";

static_assert(kMaxMsgpackNesting == 1000, "the nesting message names the limit");

constexpr size_t kInitialFrames = 16;

inline uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap16(v);
}
inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap32(v);
}
inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap64(v);
}

// An open array or map. Only containers get frames: a scalar is stored straight into its
// slot, so it never costs a push and a pop.
struct Frame {
  BindingProperty* target;
  // Items still to come: elements of an array, keys plus values of a map.
  uint64_t expected;
  uint64_t consumed;
  // Where the container's type byte is, for the truncation message.
  size_t start;
  bool is_map;
};

// The frames of the open containers: the first 16 live inside the decoder, deeper nesting
// moves them to the heap.
class FrameStack {
 public:
  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  Frame& top() { return data_[size_ - 1]; }
  void pop() { --size_; }
  void push(const Frame& frame) {
    if (size_ == capacity_) Grow();
    data_[size_++] = frame;
  }

 private:
  void Grow() {
    heap_.resize(capacity_ * 2);
    if (data_ == inline_) std::copy(inline_, inline_ + size_, heap_.begin());
    data_ = heap_.data();
    capacity_ = heap_.size();
  }

  Frame inline_[kInitialFrames];
  Frame* data_ = inline_;
  size_t size_ = 0;
  size_t capacity_ = kInitialFrames;
  std::vector<Frame> heap_;
};

// A failure, formatted only once decoding has stopped.
struct Failure {
  std::string_view message;
  uint64_t a = 0;
  uint64_t b = 0;
};

class Decoder {
 public:
  // Decodes into `root`, which must outlive the decoder.
  Decoder(const uint8_t* data, size_t size, BindingProperty* root)
      : begin_(data),
        end_(data + size),
        reserve_budget_(size),
        root_(root),
        keys_(root->strings()),
        texts_(root->strings()) {}

  // Decodes the first value into the root; false with failure() set on failure.
  bool Run();
  // Bytes read so far.
  size_t position() const { return static_cast<size_t>(p_ - begin_); }
  std::string FailureMessage() const {
    return failure_.message.find("%2") == std::string_view::npos
               ? FormatPositional(failure_.message, failure_.a)
               : FormatPositional(failure_.message, failure_.a, failure_.b);
  }

 private:
  // Reads the value at p_ (REQUIRES p_ < end_) into `slot`; an array or map with items
  // pushes a frame. A string into a field's value may be set later (see DeferredTexts).
  bool ReadValue(BindingProperty* slot, bool is_field);
  // Reads a key at p_ (REQUIRES p_ < end_).
  bool ReadKey(std::string_view* key);
  // A string body of `length` bytes at p_.
  bool ReadText(uint64_t length, std::string_view* text);
  // A length or count of `width` (1, 2 or 4) bytes at p_.
  bool ReadLength(size_t width, uint64_t* length);
  bool OpenArray(BindingProperty* slot, uint64_t count, size_t start);
  bool OpenMap(BindingProperty* slot, uint64_t pairs, size_t start);

  size_t Remaining() const { return static_cast<size_t>(end_ - p_); }
  size_t Offset(const uint8_t* at) const { return static_cast<size_t>(at - begin_); }
  // Checks that `n` (1, 2, 4 or 8) bytes remain for a number or a length.
  bool Need(size_t n) {
    if (Remaining() >= n) return true;
    return Fail(n == 1   ? kTruncated8
                : n == 2 ? kTruncated16
                : n == 4 ? kTruncated32
                         : kTruncated64,
                position());
  }
  bool Fail(std::string_view message, uint64_t a, uint64_t b = 0) {
    failure_ = Failure{message, a, b};
    return false;
  }

  const uint8_t* const begin_;
  const uint8_t* const end_;
  const uint8_t* p_ = begin_;
  // Collection elements that may still be reserved ahead of their data.
  size_t reserve_budget_;
  FrameStack frames_;
  Failure failure_;
  BindingProperty* const root_;
  KeyPredictor keys_;
  DeferredTexts texts_;
};

bool Decoder::Run() {
  BindingProperty* slot = root_;
  bool is_field = false;
  for (;;) {
    if (!ReadValue(slot, is_field)) return false;
    // The next slot: the next element or field of the innermost unfinished container.
    for (;;) {
      if (frames_.empty()) {
        texts_.Flush();
        return true;
      }
      Frame& frame = frames_.top();
      if (frame.consumed == frame.expected) {
        // Texts still waiting may go to this map's fields, so they wait on unless
        // finishing it frees a field.
        if (frame.is_map && !frame.target->TryFinishFieldsWithoutFreeing()) {
          texts_.Flush();
          frame.target->FinishFields();
        }
        frames_.pop();
        continue;
      }
      if (p_ == end_) {
        return frame.is_map ? Fail(kMapTruncated, frame.expected / 2, frame.start)
                            : Fail(kArrayTruncated, frame.expected, frame.start);
      }
      if (frame.is_map) {
        std::string_view key;
        if (!ReadKey(&key)) return false;
        if (p_ == end_) return Fail(kMapTruncated, frame.expected / 2, frame.start);
        const size_t position = static_cast<size_t>(frame.consumed / 2);
        frame.consumed += 2;
        // Of duplicate keys the last value wins, when the map is finished.
        slot = &frame.target->AppendField(keys_.Intern(frames_.size() - 1, position, key));
        is_field = true;
      } else {
        slot = &frame.target->MutableElement(static_cast<size_t>(frame.consumed));
        ++frame.consumed;
        is_field = false;
      }
      break;
    }
  }
}

bool Decoder::ReadLength(size_t width, uint64_t* length) {
  if (!Need(width)) return false;
  *length = width == 1 ? *p_ : width == 2 ? Load16(p_) : Load32(p_);
  p_ += width;
  return true;
}

bool Decoder::ReadText(uint64_t length, std::string_view* text) {
  if (Remaining() < length) return Fail(kStringTruncated, length, position());
  *text = std::string_view(reinterpret_cast<const char*>(p_), static_cast<size_t>(length));
  p_ += length;
  return true;
}

bool Decoder::ReadKey(std::string_view* key) {
  const uint8_t type = *p_++;
  uint64_t length;
  if (type >= 0xA0 && type <= 0xBF) {
    length = type & 0x1F;
  } else if (type >= 0xD9 && type <= 0xDB) {
    if (!ReadLength(size_t{1} << (type - 0xD9), &length)) return false;
  } else {
    return Fail(kKeyNotString, position());
  }
  return ReadText(length, key);
}

bool Decoder::OpenArray(BindingProperty* slot, uint64_t count, size_t start) {
  if (count > BindingProperty::kMaxCollectionSize &&
      Remaining() >= BindingProperty::kMaxCollectionSize) {
    return Fail(kInvalidData, start + 1);
  }
  // Each element takes at least one of the remaining bytes.
  const size_t reserve =
      static_cast<size_t>(std::min<uint64_t>({count, reserve_budget_, Remaining()}));
  reserve_budget_ -= reserve;
  slot->MakeCollection(reserve);
  if (count == 0) return true;
  frames_.push(Frame{slot, count, 0, start, false});
  return true;
}

bool Decoder::OpenMap(BindingProperty* slot, uint64_t pairs, size_t start) {
  if (pairs > BindingProperty::kMaxCollectionSize &&
      Remaining() >= BindingProperty::kMaxCollectionSize) {
    return Fail(kInvalidData, start + 1);
  }
  // Each pair takes at least two of the remaining bytes.
  const size_t reserve =
      static_cast<size_t>(std::min<uint64_t>({pairs, reserve_budget_, Remaining() / 2}));
  reserve_budget_ -= reserve;
  slot->MakeStructure(reserve);
  if (pairs == 0) return true;
  frames_.push(Frame{slot, pairs * 2, 0, start, true});
  return true;
}

bool Decoder::ReadValue(BindingProperty* slot, bool is_field) {
  const size_t start = position();
  const uint8_t type = *p_++;
  // The ranges first: small integers, short strings and small containers are most bytes.
  if (type <= 0x7F) {
    slot->SetSigned(type);
    return true;
  }
  if (type >= 0xE0) {
    slot->SetSigned(static_cast<int8_t>(type));
    return true;
  }
  if (type >= 0xA0 && type <= 0xBF) {
    std::string_view text;
    if (!ReadText(type & 0x1F, &text)) return false;
    texts_.SetString(slot, text, /*slot_may_wait=*/is_field);
    return true;
  }
  if (type <= 0x9F || (type >= 0xDC && type <= 0xDF)) {
    // Every container opens here, so the depth is checked once for all of them.
    if (frames_.size() >= kMaxMsgpackNesting) return Fail(kTooDeep, position());
    if (type <= 0x8F) return OpenMap(slot, type & 0x0F, start);
    if (type <= 0x9F) return OpenArray(slot, type & 0x0F, start);
    uint64_t count;
    if (!ReadLength((type & 1) != 0 ? 4 : 2, &count)) return false;
    return type <= 0xDD ? OpenArray(slot, count, start) : OpenMap(slot, count, start);
  }

  switch (type) {
    case 0xC0:
      slot->Reset();
      return true;
    case 0xC2:
      slot->SetBool(false);
      return true;
    case 0xC3:
      slot->SetBool(true);
      return true;
    case 0xC4:
    case 0xC5:
    case 0xC6: {
      uint64_t length;
      if (!ReadLength(size_t{1} << (type - 0xC4), &length)) return false;
      if (Remaining() < length) return Fail(kRawTruncated, length, position());
      slot->SetBlob(p_, static_cast<size_t>(length));
      p_ += length;
      return true;
    }
    case 0xCA: {
      if (!Need(4)) return false;
      const uint32_t bits = Load32(p_);
      p_ += 4;
      float value;
      std::memcpy(&value, &bits, sizeof value);
      slot->SetFloat(value);
      return true;
    }
    case 0xCB: {
      if (!Need(8)) return false;
      const uint64_t bits = Load64(p_);
      p_ += 8;
      double value;
      std::memcpy(&value, &bits, sizeof value);
      slot->SetFloat(value);
      return true;
    }
    case 0xCC:
      if (!Need(1)) return false;
      slot->SetUnsigned(*p_);
      p_ += 1;
      return true;
    case 0xCD:
      if (!Need(2)) return false;
      slot->SetUnsigned(Load16(p_));
      p_ += 2;
      return true;
    case 0xCE:
      if (!Need(4)) return false;
      slot->SetUnsigned(Load32(p_));
      p_ += 4;
      return true;
    case 0xCF:
      if (!Need(8)) return false;
      slot->SetUnsigned(Load64(p_));
      p_ += 8;
      return true;
    case 0xD0:
      if (!Need(1)) return false;
      slot->SetSigned(static_cast<int8_t>(*p_));
      p_ += 1;
      return true;
    case 0xD1:
      if (!Need(2)) return false;
      slot->SetSigned(static_cast<int16_t>(Load16(p_)));
      p_ += 2;
      return true;
    case 0xD2:
      if (!Need(4)) return false;
      slot->SetSigned(static_cast<int32_t>(Load32(p_)));
      p_ += 4;
      return true;
    case 0xD3:
      if (!Need(8)) return false;
      slot->SetSigned(static_cast<int64_t>(Load64(p_)));
      p_ += 8;
      return true;
    case 0xD9:
    case 0xDA:
    case 0xDB: {
      uint64_t length;
      if (!ReadLength(size_t{1} << (type - 0xD9), &length)) return false;
      std::string_view text;
      if (!ReadText(length, &text)) return false;
      texts_.SetString(slot, text, /*slot_may_wait=*/is_field);
      return true;
    }
    default:
      // 0xC1 and the extension types.
      return Fail(kInvalidData, position());
  }
}

}  // namespace

MsgpackDecodeResult DecodeMsgpack(const void* data, size_t size) {
  MsgpackDecodeResult out;
  if (size == 0) return out;
  // About one distinct key or string per 48 bytes is typical of data with many records.
  constexpr size_t kBytesPerDistinctString = 48;
  out.result.value().ReserveStringsForInput(size, kBytesPerDistinctString);
  std::string failure;
  {
    Decoder decoder(static_cast<const uint8_t*>(data), size, &out.result.value());
    if (!decoder.Run()) failure = decoder.FailureMessage();
    out.consumed = decoder.position();
  }
  // The partial tree goes; only the message is left.
  if (!failure.empty()) out.result.MakeError(failure);
  return out;
}

bool LooksLikeMsgpack(std::string_view bytes) {
  if (bytes.empty()) return false;
  const auto first = static_cast<uint8_t>(bytes[0]);
  return (first >= 0x80 && first <= 0x9F) || (first >= 0xDC && first <= 0xDF);
}

}  // namespace Voro
