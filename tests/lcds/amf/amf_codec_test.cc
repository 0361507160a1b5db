// Byte-exact AMF0 and AMF3 vectors, written and read back, and the reader's answers to
// hostile input: it must end bodies cleanly, never over-allocate or recurse without bound,
// and free cyclic graphs.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "diag/log_test_support.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_externalizable.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_test_support.h"

namespace Voro {
namespace {

using namespace amf_testing;

// The class names of the externalizable Flex collections, as the bytes of AMF3 strings.
const std::string kCollection = "'flex.messaging.io.ArrayCollection'";
const std::string kList = "'flex.messaging.io.ArrayList'";
const std::string kProxy = "'flex.messaging.io.ObjectProxy'";

// Every value in the input, and at least one.
std::vector<AmfValue> Read(bool amf3, std::string_view hex, AmfClassRegistry& registry,
                           bool* ended = nullptr) {
  const std::vector<uint8_t> bytes = FromHex(hex);
  AmfReader reader(bytes, registry);
  std::vector<AmfValue> values;
  do {
    values.push_back(amf3 ? AmfValue(reader.ReadAmf3()) : reader.ReadAmf0());
  } while (!reader.at_end());
  if (ended != nullptr) *ended = reader.ended();
  return values;
}

struct Case {
  std::vector<AmfValue> values;  // write as `hex`; none for a case that is only read
  std::string hex;
  const char* reread = nullptr;  // what `hex` read and written again gives, when not `hex`
  bool ends = false;             // the reader gives up on the rest of the body
  const char* kinds = nullptr;   // of the values read, where the bytes cannot tell
};

void ExpectCases(bool amf3, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex.substr(0, 80));
    if (!c.values.empty()) {
      EXPECT_EQ(Write(amf3, c.values), ToHex(FromHex(c.hex)));
    }
    if (!c.values.empty() && c.hex.empty()) continue;
    std::weak_ptr<const void> first;  // what was read, cycles included, is freed with it
    {
      AmfClassRegistry registry;
      bool ended = false;
      const std::vector<AmfValue> values = Read(amf3, c.hex, registry, &ended);
      EXPECT_EQ(ended, c.ends);
      EXPECT_EQ(Write(amf3, values), ToHex(FromHex(c.reread ? c.reread : c.hex)));
      std::string kinds;
      for (const AmfValue& v : values) {
        kinds += (kinds.empty() ? "" : " ") +
                 std::string(v.is_amf3() ? v.amf3().kind_name() : v.amf0().kind_name());
      }
      if (c.kinds) {
        EXPECT_EQ(kinds, c.kinds);
      }
      const AmfValue& v = values[0];
      first = v.is_amf3() ? v.amf3().SharedPayload() : v.amf0().SharedPayload();
    }
    EXPECT_TRUE(first.expired());
  }
}

TEST(Amf0CodecTest, VectorsBothWays) {
  const Amf0Item shared = Amf0Item::Object(nullptr);
  const Amf0Item strict =
      Amf0Item::StrictArray(Shared(Amf0StrictArray{Amf0Item::Boolean(true), shared, shared}));
  const Amf3Item abc = Amf3Item::String("abc"), x = Amf3Item::String("x");
  ExpectCases(false,
              {{{Amf0Item::Number(1.0), Amf0Item::Boolean(true), Amf0Item::Boolean(false)},
                "00 3F F0 00 00 00 00 00 00 | 01 01 | 01 00"},
               {{Amf0Item::String("ab"), Amf0Item::String(""), Amf0Item::LongString("ab")},
                "02 00 02 61 62 | 02 00 00 | 0C 00 00 00 02 61 62"},
               {{Amf0Item::Null(), Amf0Item(), Amf0Item(Amf0Kind::kObjectEnd),
                 Amf0Item(Amf0Kind::kUnsupported)},
                "05 | 06 | 09 | 0D"},
               {{Amf0Item::Date(1700000000000)}, "0B 42 78 BC FE 56 80 00 00 00 00"},
               {{Amf0Item(Amf0Kind::kAmf3Object)}, "11", "11 00"},
               {{Amf0Item(Amf0Kind::kMovieclip), Amf0Item(Amf0Kind::kReference),
                 Amf0Item(Amf0Kind::kRecordset), Amf0Item(Amf0Kind::kXml), Amf0Item(Amf0Kind{18})},
                ""},
               // Members go out in key order.
               {{Object0("", {{"b", Amf0Item::Boolean(true)}, {"a", Amf0Item::Boolean(false)}})},
                "03 00 01 61 01 00 | 00 01 62 01 01 | 00 00 09"},
               {{Object0("T", {{"n", Amf0Item::Null()}})}, "10 00 01 54 | 00 01 6E 05 | 00 00 09"},
               {{Amf0Item(Amf0Kind::kTypedObject)}, "03 00 00 09"},  // no class name: anonymous
               {{Amf0Item::EcmaArray(Shared(Amf0EcmaArray{{"a", Amf0Item::Null()}}))},
                "08 00 00 00 01 | 00 01 61 05 | 00 00 09"},
               // The strict array is reference 0, the object 1.
               {{strict}, "0A 00 00 00 03 | 01 01 | 03 00 00 09 | 07 00 01"},
               // AMF3 values share one set of tables, across values too.
               {{Object0("", {{"m", abc}, {"n", abc}})},
                "03 00 01 6D 11 06 07 61 62 63 | 00 01 6E 11 06 00 | 00 00 09"},
               {{x, Amf0Item::Number(0), x}, "11 06 03 78 | 00 00 00 00 00 00 00 00 00 | 11 06 00"},
               // An AMF3 value may stand in an array's place too, and shares the tables there.
               {{Amf0Item::StrictArray(Shared(Amf0StrictArray{Amf3Item::Integer(5)}))},
                "0A 00 00 00 01 | 11 04 05"},
               {{Amf0Item::EcmaArray(Shared(Amf0EcmaArray{{"a", Amf3Item::Integer(5)}}))},
                "08 00 00 00 01 | 00 01 61 11 04 05 | 00 00 09"},
               {{Amf0Item::StrictArray(Shared(Amf0StrictArray{abc, Amf0Item::Null(), abc}))},
                "0A 00 00 00 03 | 11 06 07 61 62 63 | 05 | 11 06 00"}});
  // Read only: odd and hostile input.
  ExpectCases(
      false,
      {Case{{}, "04 | 0E | 0F", "", false, "Movieclip Recordset Xml"},
       Case{{}, "07 00 00 | 12 | FF", "06 | 06 | 06"},      // nothing to refer to; unknown markers
       Case{{}, "00 3F F0", "00 3F F0 00 00 00 00 00 00"},  // reads past the end as zero
       Case{{}, "", "00 00 00 00 00 00 00 00 00"},
       Case{{}, "02 00 05 61 62", "02 00 00 | 06 | 06"},  // too long: read empty, bytes left unread
       Case{{}, "03 00 01 73 07 00 00 00 00 09"},         // a cycle
       Case{{}, "0C FF FF FF FF", "0C 00 00 00 00", true},
       Case{{}, "0A 7F FF FF FF 05", "06", true}});
}

using AmfWriterLimitsTest = testing_support::LoggerTest;

TEST_F(AmfWriterLimitsTest, LongStringsOversizedNamesAndU24) {
  SimulateInitialize();
  const std::string big(65536, 'x');
  // 65535 bytes still fit a short string; one more makes it a long one.
  EXPECT_EQ(Write(false, {Amf0Item::String(std::string(65535, 'y'))}).substr(0, 8), "02 FF FF");
  const std::string promoted = Write(false, {Amf0Item::String(big)});
  EXPECT_EQ(promoted.size(), 3 * (5 + big.size()) - 1);
  EXPECT_EQ(promoted.substr(0, 14), "0C 00 01 00 00");
  EXPECT_EQ(recorder_.Count(), 0u);

  EXPECT_EQ(Write(false, {Object0("", {{big, Amf0Item::Null()}, {"k", Amf0Item::Null()}})}),
            "03 00 01 6B 05 00 00 09");
  AmfWriter primitive;
  primitive.WriteAmf0ShortString(big);
  primitive.WriteU24(0x040506);
  primitive.WriteU24(0x1000000);  // cut to 24 bits
  EXPECT_EQ(ToHex(primitive.bytes()), "00 00 04 05 06 00 00 00");
  AmfReader reader(primitive.bytes());
  reader.ReadU16();
  EXPECT_EQ(reader.ReadU24(), 0x040506u);
  EXPECT_EQ(reader.ReadU32(), 0u);  // its last byte past the end
  EXPECT_EQ(reader.position(), 8u);
  EXPECT_EQ(recorder_.Messages(), (std::vector<std::string>{
                                      "String is larger than maximum encodable value.",
                                      "String is larger than maximum encodable value.",
                                      "Value is out of range for UInt24: 16777216",
                                  }));
  for (const auto& line : recorder_.Lines()) EXPECT_EQ(line.level, kLevelError);
}

TEST(Amf3CodecTest, VectorsBothWays) {
  const Amf3Item ab = Amf3Item::String("ab"), cd = Amf3Item::String("cd");
  const Amf3Item empty = Amf3Item::String(""), one = Amf3Item::Integer(1);
  const auto point = Class("P", {"x", "y"});
  const Amf3Item point_1_2 = Object3(point, {{"x", one}, {"y", Amf3Item::Integer(2)}});
  const auto I = [](int32_t value) { return AmfValue(Amf3Item::Integer(value)); };
  const auto collection = Class(kArrayCollectionClassName, {}, false, /*externalizable=*/true);
  // Written in full by the third value, then referred to as object 2.
  const Amf3Item shared_collection = External3(collection, Array3({ab, point_1_2}));
  ExpectCases(
      true,
      {{{Amf3Item(), Amf3Item::Null(), Amf3Item::Boolean(false), Amf3Item::Boolean(true),
         Amf3Item::Double(1.5), Amf3Item::Double(-0.0)},
        "00 | 01 | 02 | 03 | 05 3F F8 00 00 00 00 00 00 | 05 80 00 00 00 00 00 00 00"},
       // Integers at each U29 width and at the ends of the range.
       {{I(0), I(0x7F), I(0x80), I(0x3FFF), I(0x4000), I(0x1FFFFF), I(0x200000), I(268435455),
         I(-1), I(-268435456)},
        "04 00 | 04 7F | 04 81 00 | 04 FF 7F | 04 81 80 00 | 04 FF FF 7F | 04 80 C0 80 00 | "
        "04 BF FF FF FF | 04 FF FF FF FF | 04 C0 80 80 00"},
       // String references skip the empty string.
       {{ab, empty, cd, empty, ab, cd},
        "06 05 61 62 | 06 01 | 06 05 63 64 | 06 01 | 06 00 | 06 02"},
       {{Amf3Item(Amf3Kind::kLegacyXml)}, ""},
       {{Amf3Item::Date(1700000000000), Amf3Item::Xml("<a/>"),
         Amf3Item::ByteArray(std::vector<uint8_t>{1, 2, 3})},
        "08 01 42 78 BC FE 56 80 00 00 | 0B 09 3C 61 2F 3E | 0C 07 01 02 03"},
       {{Amf3Item::VectorInt(Shared(Amf3VectorInt{false, {1, -1}})),
         Amf3Item::VectorUInt(Shared(Amf3VectorUInt{true, {0xFFFFFFFFu}})),
         Amf3Item::VectorDouble(Shared(Amf3VectorDouble{false, {1.5}}))},
        "0D 05 00 00 00 00 01 FF FF FF FF | 0E 03 01 FF FF FF FF | 0F 03 00 3F F8 00 00 00 00 00 "
        "00"},
       {{Amf3Item::VectorObject(
            Shared(Amf3ObjectVector{false, "T", {Amf3Item::Null(), Amf3Item::String("T")}}))},
        "10 05 00 03 54 | 01 | 06 00"},  // "T" is a reference
       {{Amf3Item::Dictionary(Shared(Amf3Dictionary{true,
                                                    {{Amf3Item::String("k"), Amf3Item::Integer(1)},
                                                     {Amf3Item::Integer(2), Amf3Item::Null()}}}))},
        "11 05 01 | 06 03 6B 04 01 | 04 02 01"},
       // Associative entries first (in key order), the empty key, then the dense values.
       {{Array3({one, one}),
         Array3({one}, {{"b", Amf3Item::Boolean(true)}, {"a", Amf3Item::Boolean(false)}})},
        "09 05 01 04 01 04 01 | 09 03 03 61 02 03 62 03 01 04 01"},
       // The array is object 0, the points 1 and 2; P's traits are entry 0. An Undefined
       // sealed member goes out as Null.
       {{Array3({point_1_2, Object3(point, {{"x", Amf3Item::Integer(3)}}), point_1_2})},
        "09 07 01 | 0A 23 03 50 03 78 03 79 04 01 04 02 | 0A 01 04 03 01 | 0A 02"},
       // Two definitions with one name are two traits; read back, they are one class.
       {{Object3(Class("D", {"x"}), {{"x", one}}), Object3(Class("D", {"x"}), {})},
        "0A 13 03 44 03 78 04 01 | 0A 13 00 02 01",
        "0A 13 03 44 03 78 04 01 | 0A 01 01"},
       {{Object3(Class("", {}, /*dynamic=*/true), {}, {{"b", Amf3Item::Integer(2)}, {"a", one}})},
        "0A 0B 01 | 03 61 04 01 | 03 62 04 02 | 01"},
       {{Object3(Class("R", {"s"}, /*dynamic=*/true), {{"s", ab}}, {{"z", Amf3Item::Xml("<>")}})},
        "0A 1B 03 52 03 73 | 06 05 61 62 | 03 7A 0B 05 3C 3E | 01"},
       // The known externalizable classes carry one value as their body, read and written
       // with the body's tables: here the string and the point before it, the array inside
       // it and the class's traits are all referred to.
       {{ab, point_1_2, shared_collection, ab, point_1_2, shared_collection,
         External3(collection, shared_collection.AsObject().external_body())},
        "06 05 61 62 | 0A 23 03 50 03 78 03 79 04 01 04 02 | 0A 07 43 " + kCollection +
            " 09 05 01 06 00 0A 00 | 06 00 | 0A 00 | 0A 02 | 0A 05 09 04"},
       {{External3(collection, Array3({Object3(Class("T", {"c"}),
                                               {{"c", External3(collection, Array3({one}))}})}))},
        "0A 07 43 " + kCollection + " 09 03 01 | 0A 13 03 54 03 63 | 0A 01 09 03 01 04 01"},
       {{External3(Class(kArrayListClassName, {}, false, true), Array3({})),
         External3(Class(kObjectProxyClassName, {}, false, true),
                   Object3(Class("", {}, /*dynamic=*/true), {}, {{"a", one}})),
         External3(collection, Amf3Item())},  // a body never set goes out as Null
        "0A 07 37 " + kList + " 09 01 01 | 0A 07 3B " + kProxy + " 0A 0B 01 03 61 04 01 01 | " +
            "0A 07 43 " + kCollection + " 01"},
       // Dates are referenced by value.
       {{Amf3Item::Date(0), Amf3Item::Date(0), Amf3Item::Date(1)},
        "08 01 00 00 00 00 00 00 00 00 | 08 00 | 08 01 3F F0 00 00 00 00 00 00"}});
  // Read only: the fourth U29 byte is unsigned; missing bytes read as zero.
  ExpectCases(true,
              {Case{{}, "04 80 80 80 80 | 04 81", "04 81 00 | 04 81 00"},
               Case{{}, "07 | 12", "00", false, "LegacyXml Undefined"},
               // References beyond their tables.
               Case{{}, "09 02 | 0A 04 | 08 00 | 0A 05 | 06 04", "00 | 00 | 00 | 00 | 06 01"},
               // Cycles are written back as references.
               Case{{}, "09 03 01 09 00"}, Case{{}, "0A 13 01 09 73 65 6C 66 0A 00"},
               Case{{}, "0A 0B 01 03 61 0A 00 03 62 09 05 01 0A 00 09 02 01"},
               // After "a" the input ends; a name read there would be a reference to "a" again.
               Case{{}, "0A 0B 01 03 61 04 01", "0A 0B 01 03 61 04 01 01"},
               // Counts beyond the input end the body.
               Case{{}, "09 FF FF FF FF", "00", true}, Case{{}, "0C 81 01", "00", true},
               Case{{}, "0D 05 00 00 00 00 01", "00", true}, Case{{}, "0F 03 00 3F F0", "00", true},
               Case{{}, "10 FF FF FF FF 00 01", "00", true}, Case{{}, "11 05 00 01", "00", true},
               Case{{}, "06 03 61 | 06 FF FF FF FF", "06 03 61 | 06 01", true},
               Case{{}, "0A 7B 01", "00", true},       // 7 sealed names, no bytes
               Case{{}, "0A 13 03 41", "00", true}});  // 1 sealed name, only the class name
}

TEST(Amf3CodecTest, NamedTraitsMeetTheRegistry) {
  AmfClassRegistry registry;
  auto grown = registry.Create("G", false, false, AmfMemberList{{"a", AmfTypeHint::Any()}});
  // Traits for G with "a" and an extra "b": the registered class learns "b"; wire order other
  // than the class's lands by name.
  const std::vector<AmfValue> g = Read(
      true, "0A 23 03 47 03 61 03 62 04 01 04 02 | 0A 23 03 47 03 62 03 61 04 05 04 06", registry);
  EXPECT_EQ(g[1].amf3().AsObject().amf_class(), grown);
  EXPECT_EQ(Write(true, g), "0A 23 03 47 03 61 03 62 04 01 04 02 0A 01 04 06 04 05");

  // Named classes met on the wire are registered, anonymous ones never.
  const Amf3Item e = Read(true, "0A 13 03 45 03 78 04 01", registry)[0].amf3();
  EXPECT_EQ(registry.Find("E"), e.AsObject().amf_class());
  (void)Read(true, "0A 0B 01 03 61 04 01 01", registry);
  EXPECT_EQ(registry.size(), 2u);

  // A registered class whose externalizable flag differs from the wire's does not take the
  // object: its body, or its sealed members, would be lost when it is written again.
  for (const bool externalizable : {false, true}) {
    SCOPED_TRACE(externalizable);
    AmfClassRegistry own;
    own.Create(kArrayCollectionClassName, !externalizable, false,
               AmfMemberList{{"source", AmfTypeHint::Any()}});
    const std::string hex =
        externalizable ? "0A 07 43 " + kCollection + " 09 03 01 04 01"
                       : "0A 13 43 " + kCollection + " 0D 73 6F 75 72 63 65 09 03 01 04 01";
    const std::vector<AmfValue> read = Read(true, hex, own);
    EXPECT_EQ(Write(true, read), ToHex(FromHex(hex)));
    EXPECT_EQ(own.Find(kArrayCollectionClassName)->externalizable(), !externalizable);
    EXPECT_EQ(own.size(), 1u);
  }

  // A string reference shares the first occurrence's payload.
  const std::vector<AmfValue> read = Read(true, "09 05 01 06 05 61 62 06 00", registry);
  const Amf3Array& strings = read[0].amf3().AsArray();
  EXPECT_EQ(strings.dense[1].PayloadIdentity(), strings.dense[0].PayloadIdentity());
}

using AmfExternalizableTest = testing_support::LoggerTest;

TEST_F(AmfExternalizableTest, AnUnknownClassEndsTheBodyWithItsName) {
  SimulateInitialize();
  const std::string opaque = "0A 07 15 'kiv.Opaque'";
  struct Row {
    bool amf3;
    std::string hex;
  };
  for (const Row& row : {
           // In the middle of an array: nothing after it is taken for a value.
           Row{true, "09 07 01 04 01 " + opaque + " 04 02 04 03"},
           // As a sealed member, and inside a known class's body.
           Row{true, "0A 13 03 54 03 63 " + opaque + " 04 02"},
           Row{true, "0A 07 43 " + kCollection + " 09 03 01 " + opaque},
           // Behind the AMF3 switch in an AMF0 strict array.
           Row{false, "0A 00 00 00 02 05 11 " + opaque + " 05"},
       }) {
    SCOPED_TRACE(row.hex);
    const size_t logged = recorder_.Count();
    const std::vector<uint8_t> bytes = FromHex(row.hex);
    AmfReader reader(bytes);
    while (!reader.at_end()) row.amf3 ? (void)reader.ReadAmf3() : (void)reader.ReadAmf0();
    const std::string text =
        "Cannot read an object of the externalizable AMF3 class 'kiv.Opaque': its body format "
        "is unknown.";
    EXPECT_TRUE(reader.ended());
    EXPECT_EQ(reader.error(), text);
    ASSERT_EQ(recorder_.Count(), logged + 1);
    EXPECT_EQ(recorder_.Lines().back().message, text);
    EXPECT_EQ(recorder_.Lines().back().level, kLevelError);
  }
  // Cut short is not refused.
  const std::vector<uint8_t> cut = FromHex("09 FF FF FF FF");
  AmfReader reader(cut);
  (void)reader.ReadAmf3();
  EXPECT_TRUE(reader.ended());
  EXPECT_EQ(reader.error(), "");
}

TEST(AmfReaderLimitsTest, NestingIsBoundedBothWays) {
  // Reading: below the limit of one-element arrays sits an Integer; one level deeper, the body
  // ends. Writing: what a reader could not take goes out as Null, and behind the AMF0 switch
  // the switch itself is a level.
  std::string arrays;
  for (size_t i = 2; i < kMaxAmfReadDepth; ++i) arrays += "09 03 01 ";
  const std::string fits = arrays + "09 03 01 ", cut = fits + "01";
  Amf3Item root(Amf3Kind::kArray);
  Amf3Item* inner = &root;
  for (int i = 0; i < 1200; ++i) {
    inner->MutableArray()->dense.emplace_back(Amf3Kind::kArray);
    inner = &inner->MutableArray()->dense.back();
  }
  ExpectCases(true, {{{}, fits + "04 05 | 04 06"},
                     Case{{}, fits + "09 03 01 04 05 | 04 06", cut.c_str(), true},
                     {{root}, cut}});
  ExpectCases(false, {{{AmfValue(root)}, "11 " + arrays + "01"}});
  // AMF0 objects nest the same way, and deep input does not overflow the stack.
  std::vector<uint8_t> deep;
  for (int i = 0; i < 100000; ++i) deep.insert(deep.end(), {0x03, 0x00, 0x01, 0x61});
  AmfReader reader(deep);
  (void)reader.ReadAmf0();
  EXPECT_TRUE(reader.ended());
}

TEST(AmfReaderLimitsTest, TraitReferencesCannotMultiplyAllocations) {
  // An externalizable class with 2000 members, then many three-byte objects of it (traits
  // reference and a Null body): without a budget they would take members times objects
  // slots (gigabytes from 600 KB).
  const uint32_t count = 200000, members = 2000;
  AmfWriter writer;
  writer.WriteU8(0x09);
  writer.WriteU29(count << 1 | 1);
  writer.WriteBytes("\x01\x0A");
  writer.WriteU29(members << 4 | 0x07);
  writer.WriteAmf3String(kArrayListClassName);
  for (uint32_t i = 0; i < members; ++i) writer.WriteAmf3String("m" + std::to_string(i));
  writer.WriteU8(0x01);
  for (uint32_t i = 1; i < count; ++i) writer.WriteBytes("\x0A\x01\x01");
  AmfReader reader(writer.bytes());
  const Amf3Item item = reader.ReadAmf3();
  EXPECT_TRUE(reader.ended());
  EXPECT_GT(item.AsArray().dense.size(), 100u);
  EXPECT_LT(item.AsArray().dense.size(), 5000u);
}

}  // namespace
}  // namespace Voro
