// Hostile input: the reader must end bodies cleanly, never over-allocate or recurse without
// bound, and free cyclic graphs (the sanitizer builds check the last).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_test_support.h"
#include "lcds/amf/amf_writer.h"

namespace Voro {
namespace {

using amf_testing::FromHex;

TEST(AmfReaderLimitsTest, CountsBeyondTheInputEndTheBody) {
  for (const char* hex : {
           "09 FF FF FF FF",        // dense count 2^28 - 1
           "0C 81 01",              // 64 bytes, none there
           "0D 05 00 00 00 00 01",  // two ints, one byte short
           "0F 03 00 3F F0",        // a double cut short
           "10 FF FF FF FF 00 01",  // object vector
           "11 05 00 01",           // two pairs need four bytes
           "06 FF FF FF FF",        // string length
           "0A 7B 01",              // traits with 7 sealed names and no bytes
       }) {
    const std::vector<uint8_t> bytes = FromHex(hex);
    AmfClassRegistry registry;
    AmfReader reader(bytes, registry);
    const Amf3Item item = reader.ReadAmf3();
    EXPECT_TRUE(reader.ended()) << hex;
    EXPECT_TRUE(reader.at_end()) << hex;
    (void)item;
  }
  const std::vector<uint8_t> long_string = FromHex("0C FF FF FF FF");
  AmfReader reader(long_string);
  EXPECT_EQ(reader.ReadAmf0().amf0().AsString(), "");
  EXPECT_TRUE(reader.ended());
  const std::vector<uint8_t> strict = FromHex("0A 7F FF FF FF 05");
  AmfReader strict_reader(strict);
  EXPECT_EQ(strict_reader.ReadAmf0().amf0().kind(), Amf0Kind::kUndefined);
  EXPECT_TRUE(strict_reader.ended());
}

TEST(AmfReaderLimitsTest, ReferencesBeyondTheirTablesAreUndefined) {
  AmfClassRegistry registry;
  for (const char* hex : {"09 02", "0A 04", "08 00", "0A 05"}) {
    const std::vector<uint8_t> bytes = FromHex(hex);
    AmfReader reader(bytes, registry);
    EXPECT_EQ(reader.ReadAmf3().kind(), Amf3Kind::kUndefined) << hex;
  }
  const std::vector<uint8_t> bytes = FromHex("06 04");
  AmfReader reader(bytes, registry);
  EXPECT_EQ(reader.ReadAmf3().AsString(), "");
}

TEST(AmfReaderLimitsTest, NestingBeyondTheLimitEndsTheBody) {
  // 1000 nested one-element arrays hold an Integer; 1001 do not.
  for (size_t depth : {kMaxAmfReadDepth - 1, kMaxAmfReadDepth}) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < depth; ++i) bytes.insert(bytes.end(), {0x09, 0x03, 0x01});
    bytes.insert(bytes.end(), {0x04, 0x05, 0x04, 0x06});
    AmfReader reader(bytes);
    Amf3Item item = reader.ReadAmf3();
    const Amf3Item* inner = &item;
    for (size_t i = 0; i < depth; ++i) inner = &inner->AsArray().dense.at(0);
    if (depth < kMaxAmfReadDepth) {
      EXPECT_EQ(inner->AsInteger(), 5);
      EXPECT_FALSE(reader.ended());
      EXPECT_EQ(reader.ReadAmf3().AsInteger(), 6);
    } else {
      EXPECT_TRUE(inner->is_undefined());
      EXPECT_TRUE(reader.ended());
      EXPECT_EQ(reader.ReadAmf3().kind(), Amf3Kind::kUndefined);
    }
  }
  // AMF0 objects nest the same way and deep input does not overflow the stack.
  std::vector<uint8_t> deep;
  for (int i = 0; i < 100000; ++i) deep.insert(deep.end(), {0x03, 0x00, 0x01, 0x61});
  AmfReader reader(deep);
  (void)reader.ReadAmf0();
  EXPECT_TRUE(reader.ended());
}

TEST(AmfReaderLimitsTest, WriterKeepsOutputWithinTheReadersDepth) {
  // 1200 nested arrays: what the reader could not take goes out as Null.
  Amf3Item root(Amf3Kind::kArray);
  Amf3Item* inner = &root;
  for (int i = 0; i < 1200; ++i) {
    inner->MutableArray()->dense.emplace_back(Amf3Kind::kArray);
    inner = &inner->MutableArray()->dense.back();
  }
  AmfWriter writer;
  writer.WriteAmf3(root);
  AmfReader reader(writer.bytes());
  const Amf3Item decoded = reader.ReadAmf3();
  EXPECT_FALSE(reader.ended());
  EXPECT_TRUE(reader.at_end());
  size_t depth = 1;
  for (const Amf3Item* item = &decoded; item->kind() == Amf3Kind::kArray; ++depth) {
    item = &item->AsArray().dense.at(0);
    if (item->kind() != Amf3Kind::kArray) {
      EXPECT_TRUE(item->is_null());
    }
  }
  EXPECT_EQ(depth, kMaxAmfReadDepth);

  // Behind the AMF0 switch the switch itself is a level, for the writer as for the reader.
  AmfWriter amf0_writer;
  amf0_writer.WriteAmf0(AmfValue(root));
  AmfReader amf0_reader(amf0_writer.bytes());
  (void)amf0_reader.ReadAmf0();
  EXPECT_FALSE(amf0_reader.ended());
  EXPECT_TRUE(amf0_reader.at_end());
}

TEST(AmfReaderLimitsTest, TraitReferencesCannotMultiplyAllocations) {
  // An externalizable class with 2000 members, then many two-byte objects of it: without a
  // budget they would take members times objects slots (gigabytes from 400 KB).
  std::vector<uint8_t> bytes = {0x09};
  const uint32_t count = 200000;
  const uint32_t array_header = count << 1 | 1;
  bytes.insert(bytes.end(), {static_cast<uint8_t>(0x80 | (array_header >> 14)),
                             static_cast<uint8_t>(0x80 | ((array_header >> 7) & 0x7F)),
                             static_cast<uint8_t>(array_header & 0x7F)});
  bytes.push_back(0x01);
  const uint32_t members = 2000;
  const uint32_t header = members << 4 | 0x07;
  bytes.insert(bytes.end(), {0x0A, static_cast<uint8_t>(0x80 | (header >> 14)),
                             static_cast<uint8_t>(0x80 | ((header >> 7) & 0x7F)),
                             static_cast<uint8_t>(header & 0x7F), 0x03, 0x43});
  for (uint32_t i = 0; i < members; ++i) {
    const std::string name = "m" + std::to_string(i);
    bytes.push_back(static_cast<uint8_t>(name.size() << 1 | 1));
    bytes.insert(bytes.end(), name.begin(), name.end());
  }
  for (uint32_t i = 1; i < count; ++i) bytes.insert(bytes.end(), {0x0A, 0x01});
  AmfClassRegistry registry;
  AmfReader reader(bytes, registry);
  const Amf3Item item = reader.ReadAmf3();
  EXPECT_TRUE(reader.ended());
  EXPECT_GT(item.AsArray().dense.size(), 100u);
  EXPECT_LT(item.AsArray().dense.size(), 5000u);
}

TEST(AmfReaderLimitsTest, DroppedCyclicGraphsAreFreed) {
  AmfClassRegistry registry;
  std::weak_ptr<const void> watch;
  {
    // A dynamic object whose members refer to it and to an array that holds it.
    const std::vector<uint8_t> bytes =
        FromHex("0A 0B 01 03 61 0A 00 03 62 09 05 01 0A 00 09 02 01");
    AmfReader reader(bytes, registry);
    const Amf3Item item = reader.ReadAmf3();
    EXPECT_TRUE(reader.at_end());
    const Amf3Object& object = item.AsObject();
    EXPECT_EQ(object.GetMember("a").PayloadIdentity(), item.PayloadIdentity());
    const Amf3Item& b = object.GetMember("b");
    ASSERT_EQ(b.AsArray().dense.size(), 2u);
    EXPECT_EQ(b.AsArray().dense[0].PayloadIdentity(), item.PayloadIdentity());
    EXPECT_EQ(b.AsArray().dense[1].PayloadIdentity(), b.PayloadIdentity());
    watch = item.SharedPayload();
  }
  EXPECT_TRUE(watch.expired());

  std::weak_ptr<const void> watch0;
  {
    // An AMF0 object whose member refers to it.
    const std::vector<uint8_t> bytes = FromHex("03 00 01 73 07 00 00 00 00 09");
    AmfReader reader(bytes, registry);
    const AmfValue value = reader.ReadAmf0();
    EXPECT_EQ(value.amf0().AsObject().members.at("s").amf0().PayloadIdentity(),
              value.amf0().PayloadIdentity());
    watch0 = value.amf0().SharedPayload();
  }
  EXPECT_TRUE(watch0.expired());
}

TEST(AmfReaderLimitsTest, TruncatedDynamicMembersEndAtTheInputsEnd) {
  // After "a" the input ends; a name read there would be a reference to "a" again.
  const std::vector<uint8_t> bytes = FromHex("0A 0B 01 03 61 04 01");
  AmfClassRegistry registry;
  AmfReader reader(bytes, registry);
  const Amf3Item item = reader.ReadAmf3();
  EXPECT_TRUE(reader.at_end());
  EXPECT_EQ(item.AsObject().dynamic_members().size(), 1u);
  EXPECT_EQ(item.AsObject().GetMember("a").AsInteger(), 1);
}

}  // namespace
}  // namespace Voro
