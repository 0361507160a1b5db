// Decodes AMF0 and AMF3 values from one message body.
//
// One reader per body: the AMF0 object table and the AMF3 string, complex-value and traits
// tables cover the whole body, including AMF3 values behind separate AMF0 switch markers.
// Inline traits are resolved against a class registry, which they may grow.
//
// The reader never fails outright and trusts nothing it reads:
//  - a primitive read past the end yields zero bytes; a marker outside the table or a
//    reference beyond its table yields Undefined;
//  - an AMF0 short string whose length exceeds the bytes left reads as empty and leaves the
//    string's bytes unread;
//  - every other count or length is checked against the bytes left before anything is
//    allocated; one that cannot fit ends the body (ended() turns true);
//  - nesting deeper than kMaxAmfReadDepth yields Undefined and ends the body;
//  - the object slots a body may allocate are bounded by a small multiple of its size;
//  - a reference to a value still being read (a cycle) is held without ownership, so a
//    dropped message frees its whole graph.
// Externalizable objects: the body of the known Flex collections (amf_externalizable.h) is
// read with the object; any other externalizable class has a body this program cannot
// read or skip, so it ends the body with an error naming the class (logged at ERROR).
// An AMF0 Xml marker (0x0F) reads as an Xml item without payload, like the other
// unsupported AMF0 markers.
//
// Threads: one thread per reader; the registry may be shared with other threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf_class.h"
#include "lcds/amf/amf_class_registry.h"

namespace Voro {

inline constexpr size_t kMaxAmfReadDepth = 1000;

class AmfReader {
 public:
  explicit AmfReader(std::span<const uint8_t> bytes,
                     AmfClassRegistry& registry = AmfClassRegistry::Global());
  AmfReader(const AmfReader&) = delete;
  AmfReader& operator=(const AmfReader&) = delete;

  // One value in AMF0 context (0x11 switches to AMF3 for one value).
  AmfValue ReadAmf0();
  // The next AMF0 value when it is a String (or a Number) whose bytes are all there, read
  // without making an item: what ReadAmf0 would give. False, with nothing read, for any
  // other value, which ReadAmf0 then reads.
  bool ReadAmf0String(std::string* text);
  bool ReadAmf0Number(double* number);
  // One value in AMF3 context.
  Amf3Item ReadAmf3();

  // ---- Primitives (big-endian); missing bytes read as zero ----
  uint8_t ReadU8();
  uint16_t ReadU16();
  uint32_t ReadU24();
  uint32_t ReadU32();
  double ReadDouble();
  // The 29-bit value sign-extended from bit 28.
  int32_t ReadU29();
  std::string ReadAmf0ShortString();
  std::shared_ptr<const std::string> ReadAmf3String();

  size_t position() const { return pos_; }
  size_t remaining() const { return bytes_.size() - pos_; }
  bool at_end() const { return pos_ >= bytes_.size(); }
  // True once malformed input ended the body early.
  bool ended() const { return ended_; }
  // Why the body was refused, when it holds what this program cannot read (an object of
  // an unknown externalizable class); empty otherwise, also when merely cut short.
  const std::string& error() const { return error_; }

 private:
  struct Amf3Entry {
    Amf3Item item;
    bool in_progress;
  };
  struct Amf0Entry {
    Amf0Item item;
    bool in_progress;
  };
  struct Traits {
    std::shared_ptr<AmfClass> amf_class;
    AmfMemberListRef members;   // the class's members once resolved
    std::vector<size_t> slots;  // class index of each member name on the wire
    bool externalizable;
    bool dynamic;
  };

  // Ends the body: every later read sees no bytes.
  void End();
  // Ends the body with an error; the first one is kept and logged.
  void Refuse(std::string error);
  // Whether `count` items of `unit` bytes each can still follow; ends the body if not.
  [[nodiscard]] bool Fits(uint64_t count, uint64_t unit);
  // Takes `slots` from the allocation budget; ends the body when it is spent.
  [[nodiscard]] bool Charge(uint64_t slots);
  uint32_t ReadU29Bits();

  Amf0Item ReadAmf0Item(uint8_t marker);
  void ReadAmf0Members(Amf0MemberMap* members);
  Amf3Item ReadAmf3Item(uint8_t marker);
  Amf3Item ReadAmf3Object();
  const Traits* ReadTraits(uint32_t bits);
  Amf3Item Amf3Reference(uint32_t header);
  size_t EnterAmf3(const Amf3Item& item);

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  bool ended_ = false;
  std::string error_;
  size_t depth_ = 0;
  uint64_t budget_;
  AmfClassRegistry& registry_;
  std::vector<Amf0Entry> amf0_objects_;
  std::vector<std::shared_ptr<const std::string>> strings_;
  std::vector<Amf3Entry> objects_;
  // Each behind a pointer, so that a Traits handed out stays put as more are read; a deque
  // would allocate even for the many bodies that hold no traits.
  std::vector<std::unique_ptr<Traits>> traits_;
};

}  // namespace Voro
