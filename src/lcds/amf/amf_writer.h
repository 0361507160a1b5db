// Encodes AMF0 and AMF3 values into one message body.
//
// One writer per body: its reference tables (the AMF0 objects, and the AMF3 strings,
// complex values and traits) cover everything written into the buffer, including AMF3
// values behind separate AMF0 switch markers (0x11). Repeated payloads are found by
// identity, so a graph with cycles is written with references and terminates.
//
// Limits and choices:
//  - AMF0 strings longer than 65535 bytes go out as LongString (0x0C). A member or
//    associative key longer than that cannot be encoded: it is left out and logged.
//  - AMF0 objects, ECMA arrays and strict arrays share the AMF0 reference table, as in the
//    published format; an index beyond 65535 cannot be referenced and is written as Null.
//  - Associative AMF3 array keys that are empty cannot be encoded and are left out.
//  - Objects of the known externalizable classes (amf_externalizable.h) are followed by
//    their body (Null when it was never set); other externalizable objects by nothing.
//  - Values nested deeper than a reader accepts (kMaxAmfWriteDepth levels, an AMF0 switch
//    counting as one) are written as Null, so that our output always decodes whole.
//
// Threads: one thread per writer. Class definitions may grow on other threads meanwhile:
// each class is written with the member list it had when its traits went out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf_class.h"

namespace Voro {

inline constexpr size_t kMaxAmfWriteDepth = 1000;

class AmfWriter {
 public:
  // Room for a typical body from the start: growing from nothing would reallocate at every
  // doubling of a call's few dozen bytes.
  AmfWriter() { out_.reserve(kInitialCapacity); }
  AmfWriter(const AmfWriter&) = delete;
  AmfWriter& operator=(const AmfWriter&) = delete;

  // In AMF0 context: an AMF3 item goes out as 0x11 and its AMF3 encoding.
  void WriteAmf0(const AmfValue& value);
  void WriteAmf0(const Amf0Item& item);
  // In AMF3 context.
  void WriteAmf3(const Amf3Item& item);

  // ---- Primitives (big-endian) ----
  void WriteU8(uint8_t value) { out_.push_back(value); }
  void WriteU16(uint16_t value);
  // Values above 0xFFFFFF are logged; their low 24 bits are written.
  void WriteU24(uint32_t value);
  void WriteU32(uint32_t value);
  void WriteDouble(double value);
  // The low 29 bits of `value`, in one to four bytes.
  void WriteU29(uint32_t value);
  void WriteBytes(std::string_view bytes);
  // 16-bit length and bytes; a text longer than 65535 bytes is logged and written empty.
  void WriteAmf0ShortString(std::string_view text);
  // A whole AMF0 String value (a LongString above 65535 bytes) and a Number value, as
  // WriteAmf0 writes such items, without making one.
  void WriteAmf0String(std::string_view text);
  void WriteAmf0Number(double value);
  // Through the string table: 0x01 for the empty string, a reference for a repeat.
  void WriteAmf3String(std::string_view text);

  const std::vector<uint8_t>& bytes() const { return out_; }
  std::vector<uint8_t> TakeBytes() { return std::move(out_); }

 private:
  static constexpr size_t kInitialCapacity = 256;

  struct TransparentHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  struct TraitsEntry {
    uint32_t index;
    AmfMemberListRef members;
    std::shared_ptr<AmfClass> amf_class;  // keeps the identity from being reused
  };

  void WriteAmf0Object(const Amf0Item& item);
  void WriteAmf0Members(const Amf0MemberMap& members);
  void WriteAmf0EcmaArray(const Amf0Item& item);
  void WriteAmf0StrictArray(const Amf0Item& item);
  void WriteAmf0ObjectEnd();
  // True when `item`'s payload was written before (a reference went out instead).
  bool Amf0Reference(const Amf0Item& item);
  bool Amf3Reference(const Amf3Item& item);
  void WriteAmf3Length(size_t length);  // U29 (length << 1 | 1)
  void WriteAmf3Object(const Amf3Item& item);
  void WriteAmf3Array(const Amf3Item& item);

  std::vector<uint8_t> out_;
  size_t depth_ = 0;
  std::unordered_map<const void*, uint32_t> amf0_objects_;
  std::unordered_map<std::string, uint32_t, TransparentHash, std::equal_to<>> strings_;
  std::unordered_map<const void*, uint32_t> objects_;
  std::unordered_map<int64_t, uint32_t> dates_;
  uint32_t object_count_ = 0;
  std::unordered_map<const AmfClass*, TraitsEntry> traits_;
  // Payloads written so far stay alive so that their addresses keep their identity.
  std::vector<std::shared_ptr<const void>> held_;
};

}  // namespace Voro
