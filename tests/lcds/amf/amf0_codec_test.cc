#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "diag/log_test_support.h"
#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_test_support.h"
#include "lcds/amf/amf_writer.h"

namespace Voro {
namespace {

using amf_testing::Amf0Hex;
using amf_testing::FromHex;
using amf_testing::ToHex;
using testing_support::LoggerTest;

AmfValue Decode(std::string_view hex) {
  const std::vector<uint8_t> bytes = FromHex(hex);
  AmfClassRegistry registry;
  AmfReader reader(bytes, registry);
  AmfValue value = reader.ReadAmf0();
  EXPECT_TRUE(reader.at_end()) << hex;
  return value;
}

TEST(Amf0CodecTest, ScalarKinds) {
  EXPECT_EQ(Amf0Hex(Amf0Item::Number(1.0)), "00 3F F0 00 00 00 00 00 00");
  EXPECT_EQ(Amf0Hex(Amf0Item::Boolean(true)), "01 01");
  EXPECT_EQ(Amf0Hex(Amf0Item::Boolean(false)), "01 00");
  EXPECT_EQ(Amf0Hex(Amf0Item::String("ab")), "02 00 02 61 62");
  EXPECT_EQ(Amf0Hex(Amf0Item::String("")), "02 00 00");
  EXPECT_EQ(Amf0Hex(Amf0Item::Null()), "05");
  EXPECT_EQ(Amf0Hex(Amf0Item()), "06");
  EXPECT_EQ(Amf0Hex(Amf0Item::Date(1)), "0B 3F F0 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Amf0Hex(Amf0Item::LongString("ab")), "0C 00 00 00 02 61 62");
  EXPECT_EQ(Amf0Hex(Amf0Item(Amf0Kind::kObjectEnd)), "09");
  EXPECT_EQ(Amf0Hex(Amf0Item(Amf0Kind::kUnsupported)), "0D");
  EXPECT_EQ(Amf0Hex(Amf0Item(Amf0Kind::kAmf3Object)), "11");
  for (Amf0Kind silent :
       {Amf0Kind::kMovieclip, Amf0Kind::kReference, Amf0Kind::kRecordset, Amf0Kind::kXml}) {
    EXPECT_EQ(Amf0Hex(Amf0Item(silent)), "") << Amf0KindName(silent);
  }

  EXPECT_EQ(Decode("00 3F F0 00 00 00 00 00 00").amf0().AsNumber(), 1.0);
  EXPECT_TRUE(Decode("01 01").amf0().AsBoolean());
  EXPECT_EQ(Decode("02 00 02 61 62").amf0().AsString(), "ab");
  EXPECT_EQ(Decode("05").amf0().kind(), Amf0Kind::kNull);
  EXPECT_EQ(Decode("06").amf0().kind(), Amf0Kind::kUndefined);
  EXPECT_EQ(Decode("0B 42 78 BC FE 56 80 00 00 00 00").amf0().AsDate(), 1700000000000);
  const AmfValue long_string = Decode("0C 00 00 00 02 61 62");
  EXPECT_EQ(long_string.amf0().kind(), Amf0Kind::kLongString);
  EXPECT_EQ(long_string.amf0().AsString(), "ab");
  for (uint8_t marker : {4, 9, 13, 14, 15}) {
    EXPECT_EQ(static_cast<uint8_t>(Decode(ToHex(std::vector<uint8_t>{marker})).amf0().kind()),
              marker);
  }
  EXPECT_EQ(Decode("12").amf0().kind(), Amf0Kind::kUndefined);
  EXPECT_EQ(Decode("FF").amf0().kind(), Amf0Kind::kUndefined);
}

TEST(Amf0CodecTest, ObjectsWriteMembersInKeyOrder) {
  auto object = std::make_shared<Amf0Object>();
  object->members.emplace("b", Amf0Item::Boolean(true));
  object->members.emplace("a", Amf0Item::Boolean(false));
  const std::string hex = "03 00 01 61 01 00 00 01 62 01 01 00 00 09";
  EXPECT_EQ(Amf0Hex(Amf0Item::Object(object)), hex);
  const AmfValue decoded = Decode(hex);
  EXPECT_EQ(decoded.amf0().kind(), Amf0Kind::kObject);
  EXPECT_EQ(decoded.amf0().AsObject().members.size(), 2u);
  EXPECT_TRUE(decoded.amf0().AsObject().members.at("b").amf0().AsBoolean());
}

TEST(Amf0CodecTest, TypedObjects) {
  auto typed = std::make_shared<Amf0Object>();
  typed->class_name = "T";
  EXPECT_EQ(Amf0Hex(Amf0Item::Object(typed)), "10 00 01 54 00 00 09");
  // A TypedObject item without a class name goes out as an anonymous object.
  EXPECT_EQ(Amf0Hex(Amf0Item(Amf0Kind::kTypedObject)), "03 00 00 09");
  const AmfValue decoded = Decode("10 00 01 54 00 01 6E 05 00 00 09");
  EXPECT_EQ(decoded.amf0().kind(), Amf0Kind::kTypedObject);
  EXPECT_EQ(decoded.amf0().AsObject().class_name, "T");
  EXPECT_EQ(decoded.amf0().AsObject().members.at("n").amf0().kind(), Amf0Kind::kNull);
  EXPECT_EQ(Amf0Hex(decoded), "10 00 01 54 00 01 6E 05 00 00 09");
}

TEST(Amf0CodecTest, ArraysAndReferences) {
  auto ecma = std::make_shared<Amf0EcmaArray>();
  ecma->emplace("a", Amf0Item::Null());
  EXPECT_EQ(Amf0Hex(Amf0Item::EcmaArray(ecma)), "08 00 00 00 01 00 01 61 05 00 00 09");
  auto strict = std::make_shared<Amf0StrictArray>();
  const Amf0Item object = Amf0Item::Object(nullptr);
  *strict = {Amf0Item::Boolean(true), object, object};
  // The strict array is reference 0, the object 1.
  const std::string hex = "0A 00 00 00 03 01 01 03 00 00 09 07 00 01";
  EXPECT_EQ(Amf0Hex(Amf0Item::StrictArray(strict)), hex);
  const AmfValue decoded = Decode(hex);
  const Amf0StrictArray& items = decoded.amf0().AsStrictArray();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[2].PayloadIdentity(), items[1].PayloadIdentity());
  const AmfValue array = Decode("08 00 00 00 01 00 01 61 05 00 00 09");
  EXPECT_EQ(array.amf0().AsEcmaArray().at("a").kind(), Amf0Kind::kNull);
  EXPECT_EQ(Decode("07 00 00").amf0().kind(), Amf0Kind::kUndefined);  // nothing to refer to
}

TEST(Amf0CodecTest, Amf3MembersShareOneSetOfTables) {
  auto object = std::make_shared<Amf0Object>();
  object->members.emplace("m", Amf3Item::String("abc"));
  object->members.emplace("n", Amf3Item::String("abc"));
  const std::string hex = "03 00 01 6D 11 06 07 61 62 63 00 01 6E 11 06 00 00 00 09";
  EXPECT_EQ(Amf0Hex(Amf0Item::Object(object)), hex);
  const AmfValue decoded = Decode(hex);
  const Amf0MemberMap& members = decoded.amf0().AsObject().members;
  ASSERT_TRUE(members.at("n").is_amf3());
  EXPECT_EQ(members.at("n").amf3().AsString(), "abc");

  AmfWriter writer;
  writer.WriteAmf0(AmfValue(Amf3Item::String("x")));
  writer.WriteAmf0(AmfValue(Amf0Item::Number(0)));
  writer.WriteAmf0(AmfValue(Amf3Item::String("x")));
  EXPECT_EQ(ToHex(writer.bytes()), "11 06 03 78 00 00 00 00 00 00 00 00 00 11 06 00");
}

TEST(Amf0CodecTest, ReadsPastTheEndAsZero) {
  const std::vector<uint8_t> bytes = FromHex("00 3F F0");
  AmfReader reader(bytes);
  EXPECT_EQ(reader.ReadAmf0().amf0().AsNumber(), std::bit_cast<double>(0x3FF0000000000000ull));
  EXPECT_TRUE(reader.at_end());
  EXPECT_EQ(reader.ReadU32(), 0u);
}

TEST(Amf0CodecTest, ShortStringLongerThanTheInputReadsEmpty) {
  const std::vector<uint8_t> bytes = FromHex("02 00 05 61 62");
  AmfReader reader(bytes);
  EXPECT_EQ(reader.ReadAmf0().amf0().AsString(), "");
  EXPECT_EQ(reader.position(), 3u);  // the string's bytes stay unread
}

TEST(Amf0CodecTest, PrimitiveWriters) {
  AmfWriter writer;
  writer.WriteU8(1);
  writer.WriteU16(0x0203);
  writer.WriteU24(0x040506);
  writer.WriteU32(0x0708090A);
  writer.WriteDouble(-2.0);
  writer.WriteAmf0ShortString("z");
  EXPECT_EQ(ToHex(writer.bytes()),
            "01 02 03 04 05 06 07 08 09 0A C0 00 00 00 00 00 00 00 00 01 7A");
  AmfReader reader(writer.bytes());
  EXPECT_EQ(reader.ReadU8(), 1);
  EXPECT_EQ(reader.ReadU16(), 0x0203);
  EXPECT_EQ(reader.ReadU24(), 0x040506u);
  EXPECT_EQ(reader.ReadU32(), 0x0708090Au);
  EXPECT_EQ(reader.ReadDouble(), -2.0);
  EXPECT_EQ(reader.ReadAmf0ShortString(), "z");
}

class Amf0LimitsTest : public LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    SimulateInitialize();
  }
};

TEST_F(Amf0LimitsTest, LongStringsAndOversizedNames) {
  const std::string big(65536, 'x');
  AmfWriter writer;
  writer.WriteAmf0(Amf0Item::String(big));
  ASSERT_EQ(writer.bytes().size(), 5u + big.size());
  EXPECT_EQ(ToHex(std::span(writer.bytes()).first(5)), "0C 00 01 00 00");
  AmfWriter exact;
  exact.WriteAmf0(Amf0Item::String(std::string(65535, 'y')));
  EXPECT_EQ(ToHex(std::span(exact.bytes()).first(3)), "02 FF FF");
  EXPECT_EQ(recorder_.Count(), 0u);

  auto object = std::make_shared<Amf0Object>();
  object->members.emplace(big, Amf0Item::Null());
  object->members.emplace("k", Amf0Item::Null());
  EXPECT_EQ(amf_testing::Amf0Hex(Amf0Item::Object(object)), "03 00 01 6B 05 00 00 09");
  AmfWriter primitive;
  primitive.WriteAmf0ShortString(big);
  EXPECT_EQ(ToHex(primitive.bytes()), "00 00");
  primitive.WriteU24(0x1000000);
  const auto lines = recorder_.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].level, kLevelError);
  EXPECT_EQ(lines[0].message, "String is larger than maximum encodable value.");
  EXPECT_EQ(lines[1].message, "String is larger than maximum encodable value.");
  EXPECT_EQ(lines[2].level, kLevelError);
  EXPECT_EQ(lines[2].message, "Value is out of range for UInt24: 16777216");
}

}  // namespace
}  // namespace Voro
