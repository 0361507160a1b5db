#include "binding/msgpack_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

namespace Voro {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
Bytes Repeat(const Bytes& part, size_t times) {
  Bytes out;
  for (size_t i = 0; i < times; ++i) out.insert(out.end(), part.begin(), part.end());
  return out;
}
Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

MsgpackDecodeResult Decode(const Bytes& bytes) { return DecodeMsgpack(bytes.data(), bytes.size()); }

BindingProperty Signed(int64_t v) {
  BindingProperty p;
  p.SetSigned(v);
  return p;
}
BindingProperty Unsigned(uint64_t v) {
  BindingProperty p;
  p.SetUnsigned(v);
  return p;
}
BindingProperty Float(double v) {
  BindingProperty p;
  p.SetFloat(v);
  return p;
}
BindingProperty Bool(bool v) {
  BindingProperty p;
  p.SetBool(v);
  return p;
}
BindingProperty Str(std::string_view v) {
  BindingProperty p;
  p.SetString(v);
  return p;
}
BindingProperty Blob(const Bytes& v) {
  BindingProperty p;
  p.SetBlob(v);
  return p;
}
BindingProperty List(std::initializer_list<BindingProperty> items) {
  BindingProperty p;
  p.MakeCollection();
  for (const BindingProperty& item : items) p.Append() = item;
  return p;
}
BindingProperty Struct(std::initializer_list<std::pair<std::string_view, BindingProperty>> fields) {
  BindingProperty p;
  p.MakeStructure();
  for (const auto& [key, value] : fields) p[key] = value;
  return p;
}

struct GoodCase {
  const char* name;
  Bytes bytes;
  BindingProperty expected;
};

void ExpectDecodes(const std::vector<GoodCase>& cases) {
  for (const GoodCase& c : cases) {
    SCOPED_TRACE(c.name);
    const MsgpackDecodeResult r = Decode(c.bytes);
    ASSERT_TRUE(r.result.ok()) << r.result.error();
    EXPECT_EQ(r.result.value().type(), c.expected.type());
    EXPECT_TRUE(r.result.value() == c.expected);
    EXPECT_EQ(r.consumed, c.bytes.size());
  }
}

TEST(MsgpackReaderTest, IntegersKeepTheEncodersChoiceInTheTag) {
  const uint64_t u64_max = std::numeric_limits<uint64_t>::max();
  const int64_t i64_min = std::numeric_limits<int64_t>::min();
  ExpectDecodes({
      {"fixint 0", {0x00}, Signed(0)},
      {"fixint 5", {0x05}, Signed(5)},
      {"fixint 127", {0x7F}, Signed(127)},
      {"negative fixint -32", {0xE0}, Signed(-32)},
      {"negative fixint -1", {0xFF}, Signed(-1)},
      {"uint8 5", {0xCC, 0x05}, Unsigned(5)},
      {"uint8 255", {0xCC, 0xFF}, Unsigned(255)},
      {"uint16", {0xCD, 0x01, 0x02}, Unsigned(0x0102)},
      {"uint16 max", {0xCD, 0xFF, 0xFF}, Unsigned(65535)},
      {"uint32", {0xCE, 0x01, 0x02, 0x03, 0x04}, Unsigned(0x01020304)},
      {"uint32 max", {0xCE, 0xFF, 0xFF, 0xFF, 0xFF}, Unsigned(4294967295u)},
      {"uint64",
       {0xCF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
       Unsigned(0x0102030405060708ull)},
      {"uint64 max", {0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, Unsigned(u64_max)},
      {"int8 -1", {0xD0, 0xFF}, Signed(-1)},
      {"int8 -128", {0xD0, 0x80}, Signed(-128)},
      {"int8 positive", {0xD0, 0x7F}, Signed(127)},
      {"int16 -32768", {0xD1, 0x80, 0x00}, Signed(-32768)},
      {"int16 positive", {0xD1, 0x01, 0x02}, Signed(258)},
      {"int32 min", {0xD2, 0x80, 0x00, 0x00, 0x00}, Signed(-2147483648ll)},
      {"int32 -2", {0xD2, 0xFF, 0xFF, 0xFF, 0xFE}, Signed(-2)},
      {"int64 min", {0xD3, 0x80, 0, 0, 0, 0, 0, 0, 0}, Signed(i64_min)},
      {"int64 -1", {0xD3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, Signed(-1)},
      {"int64",
       {0xD3, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
       Signed(0x0102030405060708ll)},
  });
}

TEST(MsgpackReaderTest, FixRangesDecodeEveryByte) {
  for (int b = 0x00; b <= 0x7F; ++b) {
    const MsgpackDecodeResult r = Decode({static_cast<uint8_t>(b)});
    EXPECT_EQ(r.result.value().type(), BindingType::kSigned) << b;
    EXPECT_EQ(r.result.value().GetSigned(-999), b);
  }
  for (int b = 0xE0; b <= 0xFF; ++b) {
    const MsgpackDecodeResult r = Decode({static_cast<uint8_t>(b)});
    EXPECT_EQ(r.result.value().GetSigned(999), b - 256) << b;
  }
  for (int n = 0; n < 32; ++n) {
    const std::string text(static_cast<size_t>(n), static_cast<char>('a' + n % 26));
    const MsgpackDecodeResult r = Decode(Cat({{static_cast<uint8_t>(0xA0 + n)}, Text(text)}));
    ASSERT_TRUE(r.result.ok()) << n;
    EXPECT_EQ(r.result.value().type(), BindingType::kString);
    EXPECT_EQ(r.result.value().GetString(), text);
    EXPECT_EQ(r.consumed, 1u + n);
  }
  for (int n = 0; n < 16; ++n) {
    Bytes array = {static_cast<uint8_t>(0x90 + n)};
    Bytes map = {static_cast<uint8_t>(0x80 + n)};
    for (int i = 0; i < n; ++i) {
      array.push_back(static_cast<uint8_t>(i));
      map.insert(map.end(), {0xA1, static_cast<uint8_t>('A' + i), static_cast<uint8_t>(i)});
    }
    const MsgpackDecodeResult a = Decode(array);
    ASSERT_TRUE(a.result.ok()) << n;
    EXPECT_EQ(a.result.value().type(), BindingType::kCollection);
    ASSERT_EQ(a.result.value().size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) EXPECT_EQ(a.result.value()[i].GetSigned(-1), i);
    const MsgpackDecodeResult m = Decode(map);
    ASSERT_TRUE(m.result.ok()) << n;
    EXPECT_EQ(m.result.value().type(), BindingType::kStructure);
    ASSERT_EQ(m.result.value().size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(m.result.value()[std::string(1, static_cast<char>('A' + i))].GetSigned(-1), i);
    }
    EXPECT_EQ(m.consumed, map.size());
  }
}

TEST(MsgpackReaderTest, NilBoolFloats) {
  float f = 0.1f;
  uint32_t f_bits;
  std::memcpy(&f_bits, &f, 4);
  ExpectDecodes({
      {"nil", {0xC0}, BindingProperty()},
      {"false", {0xC2}, Bool(false)},
      {"true", {0xC3}, Bool(true)},
      {"float32 1.5", {0xCA, 0x3F, 0xC0, 0x00, 0x00}, Float(1.5)},
      {"float32 -2", {0xCA, 0xC0, 0x00, 0x00, 0x00}, Float(-2.0)},
      // Widened exactly, not rounded to the nearest short decimal.
      {"float32 0.1",
       {0xCA, static_cast<uint8_t>(f_bits >> 24), static_cast<uint8_t>(f_bits >> 16),
        static_cast<uint8_t>(f_bits >> 8), static_cast<uint8_t>(f_bits)},
       Float(static_cast<double>(0.1f))},
      {"float64 1.5", {0xCB, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0}, Float(1.5)},
      {"float64 0.1", {0xCB, 0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}, Float(0.1)},
      {"float64 -inf",
       {0xCB, 0xFF, 0xF0, 0, 0, 0, 0, 0, 0},
       Float(-std::numeric_limits<double>::infinity())},
      {"float32 +inf", {0xCA, 0x7F, 0x80, 0, 0}, Float(std::numeric_limits<double>::infinity())},
  });
  EXPECT_NE(static_cast<double>(0.1f), 0.1);
  for (const Bytes& nan :
       {Bytes{0xCA, 0x7F, 0xC0, 0, 0}, Bytes{0xCB, 0x7F, 0xF8, 0, 0, 0, 0, 0, 1}}) {
    const MsgpackDecodeResult r = Decode(nan);
    EXPECT_EQ(r.result.value().type(), BindingType::kFloat);
    EXPECT_TRUE(std::isnan(r.result.value().GetFloat()));
  }
  const MsgpackDecodeResult negative_zero = Decode({0xCB, 0x80, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_TRUE(std::signbit(negative_zero.result.value().GetFloat(1.0)));
}

TEST(MsgpackReaderTest, StringsAndBlobsOfEveryWidth) {
  const std::string long_text(300, 'x');
  const std::string huge_text(70000, 'y');
  const Bytes long_bytes(300, 0xAB);
  ExpectDecodes({
      {"fixstr empty", {0xA0}, Str("")},
      {"fixstr", Cat({{0xA3}, Text("abc")}), Str("abc")},
      {"str8", Cat({{0xD9, 0x03}, Text("abc")}), Str("abc")},
      {"str8 empty", {0xD9, 0x00}, Str("")},
      {"str16", Cat({{0xDA, 0x00, 0x03}, Text("abc")}), Str("abc")},
      {"str16 long", Cat({{0xDA, 0x01, 0x2C}, Text(long_text)}), Str(long_text)},
      {"str32", Cat({{0xDB, 0x00, 0x00, 0x00, 0x03}, Text("abc")}), Str("abc")},
      {"str32 huge", Cat({{0xDB, 0x00, 0x01, 0x11, 0x70}, Text(huge_text)}), Str(huge_text)},
      // Raw bytes: no UTF-8 check, NUL kept.
      {"str bytes", {0xA4, 0xFF, 0x00, 0xC3, 0x28}, Str(std::string_view("\xFF\0\xC3\x28", 4))},
      {"bin8 empty", {0xC4, 0x00}, Blob({})},
      {"bin8", {0xC4, 0x03, 0x01, 0x00, 0xFF}, Blob({0x01, 0x00, 0xFF})},
      {"bin16", Cat({{0xC5, 0x01, 0x2C}, long_bytes}), Blob(long_bytes)},
      {"bin32", {0xC6, 0x00, 0x00, 0x00, 0x02, 0x07, 0x08}, Blob({0x07, 0x08})},
  });
}

TEST(MsgpackReaderTest, ContainersOfEveryWidth) {
  BindingProperty three_hundred;
  three_hundred.MakeCollection();
  Bytes array16 = {0xDC, 0x01, 0x2C};
  Bytes array32 = {0xDD, 0x00, 0x00, 0x01, 0x2C};
  for (int i = 0; i < 300; ++i) {
    three_hundred.Append().SetSigned(i % 100);
    array16.push_back(static_cast<uint8_t>(i % 100));
    array32.push_back(static_cast<uint8_t>(i % 100));
  }
  ExpectDecodes({
      {"fixarray empty", {0x90}, List({})},
      {"fixmap empty", {0x80}, Struct({})},
      {"array16 empty", {0xDC, 0x00, 0x00}, List({})},
      {"array32 empty", {0xDD, 0, 0, 0, 0}, List({})},
      {"map16 empty", {0xDE, 0x00, 0x00}, Struct({})},
      {"map32 empty", {0xDF, 0, 0, 0, 0}, Struct({})},
      {"array16", array16, three_hundred},
      {"array32", array32, three_hundred},
      {"map16", Cat({{0xDE, 0x00, 0x01, 0xA1}, Text("k"), {0xC3}}), Struct({{"k", Bool(true)}})},
      {"map32",
       Cat({{0xDF, 0, 0, 0, 0x02, 0xA1}, Text("a"), {0x01, 0xD9, 0x01}, Text("b"), {0xC0}}),
       Struct({{"a", Signed(1)}, {"b", BindingProperty()}})},
      {"mixed nesting",
       Cat({{0x83, 0xA4},
            Text("list"),
            {0x93, 0x01, 0xC0, 0x91, 0x80},
            {0xA3},
            Text("map"),
            {0x81, 0xA0, 0xCC, 0x07},
            {0xA3},
            Text("str"),
            {0xA2},
            Text("hi")}),
       Struct({{"list", List({Signed(1), BindingProperty(), List({Struct({})})})},
               {"map", Struct({{"", Unsigned(7)}})},
               {"str", Str("hi")}})},
  });
}

TEST(MsgpackReaderTest, DuplicateKeysKeepTheLastValue) {
  ExpectDecodes({
      {"scalars", Cat({{0x82, 0xA1}, Text("a"), {0x01, 0xA1}, Text("a"), {0x02}}),
       Struct({{"a", Signed(2)}})},
      {"string widths differ",
       Cat({{0x82, 0xA1}, Text("a"), {0x01, 0xD9, 0x01}, Text("a"), {0xC3}}),
       Struct({{"a", Bool(true)}})},
      // A later collection replaces an earlier one rather than writing over its elements.
      {"collections",
       Cat({{0x82, 0xA1}, Text("a"), {0x92, 0x01, 0x02, 0xA1}, Text("a"), {0x91, 0x03}}),
       Struct({{"a", List({Signed(3)})}})},
      {"structures",
       Cat({{0x82, 0xA1},
            Text("a"),
            {0x81, 0xA1},
            Text("x"),
            {0x01},
            {0xA1},
            Text("a"),
            {0x81, 0xA1},
            Text("y"),
            {0x02}}),
       Struct({{"a", Struct({{"y", Signed(2)}})}})},
      {"nil last", Cat({{0x82, 0xA1}, Text("a"), {0x91, 0x01, 0xA1}, Text("a"), {0xC0}}),
       Struct({{"a", BindingProperty()}})},
      {"three times",
       Cat({{0x83, 0xA1}, Text("k"), {0x01, 0xA1}, Text("k"), {0x02, 0xA1}, Text("k"), {0x03}}),
       Struct({{"k", Signed(3)}})},
  });
}

TEST(MsgpackReaderTest, FieldsIterateInByteOrderOfTheirKeys) {
  const Bytes bytes = Cat({{0x85, 0xA1},
                           Text("b"),
                           {0x01, 0xA1},
                           Text("a"),
                           {0x02},
                           {0xA2, 0xC3, 0xA9, 0x03, 0xA1},
                           Text("Z"),
                           {0x04},
                           {0xA2},
                           Text("aa"),
                           {0x05}});
  const MsgpackDecodeResult r = Decode(bytes);
  ASSERT_TRUE(r.result.ok()) << r.result.error();
  std::vector<std::string> keys;
  std::vector<int64_t> values;
  for (const auto& field : r.result.value().Fields()) {
    keys.emplace_back(field.key);
    values.push_back(field.value.GetSigned());
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"Z", "a", "aa", "b", "\xC3\xA9"}));
  EXPECT_EQ(values, (std::vector<int64_t>{4, 2, 5, 1, 3}));
}

TEST(MsgpackReaderTest, StringsAndKeysAreInternedInTheTree) {
  const Bytes bytes = Cat({{0x93, 0xA3},
                           Text("abc"),
                           {0xA3},
                           Text("abc"),
                           {0x81, 0xA3},
                           Text("abc"),
                           {0xA3},
                           Text("abc")});
  const MsgpackDecodeResult r = Decode(bytes);
  ASSERT_TRUE(r.result.ok()) << r.result.error();
  const BindingProperty& root = r.result.value();
  EXPECT_EQ(root[0].GetString().data(), root[1].GetString().data());
  EXPECT_EQ(root[2]["abc"].GetString().data(), root[0].GetString().data());
  ASSERT_NE(root.storage(), nullptr);
  const InternedString* entry = root.storage()->strings().Find("abc");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->refs(), 4u);  // two elements, one key, one field value
  EXPECT_EQ(root.storage()->strings().size(), 1u);
}

TEST(MsgpackReaderTest, ConsumedCountsOnlyTheFirstValue) {
  struct Case {
    Bytes bytes;
    size_t consumed;
  };
  for (const Case& c : std::vector<Case>{
           {{0x01, 0x02}, 1},
           {{0xC0, 0xC1}, 1},
           {{0x92, 0x01, 0x02, 0x03}, 3},
           {{0x90, 0x90}, 1},
           {{0x81, 0xA1, 'a', 0x91, 0x00, 0xFF, 0xFF}, 5},
           {{0xCD, 0x00, 0x01, 0xCD}, 3},
           {{0xA2, 'h', 'i', 0xA2, 'h'}, 3},
           {{0xC4, 0x01, 0x00, 0xC4}, 3},
       }) {
    const MsgpackDecodeResult r = Decode(c.bytes);
    EXPECT_TRUE(r.result.ok()) << r.result.error();
    EXPECT_EQ(r.consumed, c.consumed);
  }
  const MsgpackDecodeResult first = Decode({0x01, 0x02});
  EXPECT_EQ(first.result.value().GetSigned(), 1);
}

TEST(MsgpackReaderTest, EmptyBufferIsAnEmptyValue) {
  const MsgpackDecodeResult r = DecodeMsgpack(nullptr, 0);
  EXPECT_TRUE(r.result.ok());
  EXPECT_EQ(r.result.value().type(), BindingType::kEmpty);
  EXPECT_EQ(r.consumed, 0u);
  EXPECT_EQ(DecodeMsgpack(std::string_view()).consumed, 0u);
}

struct BadCase {
  Bytes bytes;
  std::string message;
};

void ExpectFailures(const std::vector<BadCase>& cases) {
  for (const BadCase& c : cases) {
    const MsgpackDecodeResult r = Decode(c.bytes);
    ASSERT_FALSE(r.result.ok()) << c.message;
    EXPECT_EQ(r.result.error(), c.message);
    // Nothing of the partial tree survives: the value is the error structure alone.
    EXPECT_EQ(r.result.value().type(), BindingType::kStructure);
    EXPECT_EQ(r.result.value().size(), 1u) << c.message;
    EXPECT_LE(r.consumed, c.bytes.size());
  }
}

TEST(MsgpackReaderTest, UnusedAndExtensionTypeBytesAreInvalid) {
  std::vector<BadCase> cases;
  for (uint8_t b : {0xC1, 0xC7, 0xC8, 0xC9, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8}) {
    // Followed by bytes a real extension would carry: they are never read.
    cases.push_back({{b, 0x01, 0x01, 0x01, 0x01, 0x01}, "Invalid MessagePack data at position 1."});
    cases.push_back({{b}, "Invalid MessagePack data at position 1."});
  }
  cases.push_back(
      {{0x93, 0x01, 0x02, 0xD4, 0x01, 0x02}, "Invalid MessagePack data at position 4."});
  cases.push_back({{0x81, 0xA1, 'k', 0xC1}, "Invalid MessagePack data at position 4."});
  ExpectFailures(cases);
}

TEST(MsgpackReaderTest, MapKeysMustBeStrings) {
  const std::string at2 = "Invalid MessagePack data at position 2. Map keys must be strings.";
  std::vector<BadCase> cases = {
      {{0x81, 0x01, 0x02}, at2},
      {{0x81, 0xFF, 0x02}, at2},
      {{0x81, 0xC0, 0x02}, at2},
      {{0x81, 0xC3, 0x02}, at2},
      {{0x81, 0xC4, 0x01, 'a', 0x02}, at2},
      {{0x81, 0xCC, 0x01, 0x02}, at2},
      {{0x81, 0xCB, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}, at2},
      {{0x81, 0x90, 0x02}, at2},
      {{0x81, 0x80, 0x02}, at2},
      {{0x81, 0xC1, 0x02}, at2},
      {{0x81, 0xD4, 0x01, 0x02}, at2},
      {{0x81, 0x01}, at2},  // checked before the data runs out
      {{0x82, 0xA1, 'a', 0x01, 0xC3, 0x02},
       "Invalid MessagePack data at position 5. Map keys must be strings."},
      {{0x92, 0x00, 0xDE, 0x00, 0x01, 0x00, 0x00},
       "Invalid MessagePack data at position 6. Map keys must be strings."},
  };
  ExpectFailures(cases);
}

TEST(MsgpackReaderTest, TruncatedNumbersAndLengths) {
  auto at = [](int bits, int pos) {
    return "Invalid MessagePack data. " + std::to_string(bits) + "-bit integer value at position " +
           std::to_string(pos) + " is truncated.";
  };
  ExpectFailures({
      {{0xCC}, at(8, 1)},
      {{0xCD, 0x01}, at(16, 1)},
      {{0xCE, 0x01, 0x02, 0x03}, at(32, 1)},
      {{0xCF, 1, 2, 3, 4, 5, 6, 7}, at(64, 1)},
      {{0xD0}, at(8, 1)},
      {{0xD1}, at(16, 1)},
      {{0xD2, 0x00}, at(32, 1)},
      {{0xD3}, at(64, 1)},
      {{0xCA, 0x3F, 0xC0, 0x00}, at(32, 1)},
      {{0xCB, 0x3F}, at(64, 1)},
      // Lengths and counts are read with the same primitives.
      {{0xD9}, at(8, 1)},
      {{0xDA, 0x00}, at(16, 1)},
      {{0xDB, 0x00, 0x00, 0x00}, at(32, 1)},
      {{0xC4}, at(8, 1)},
      {{0xC5, 0x00}, at(16, 1)},
      {{0xC6}, at(32, 1)},
      {{0xDC, 0x00}, at(16, 1)},
      {{0xDD, 0x00, 0x00}, at(32, 1)},
      {{0xDE}, at(16, 1)},
      {{0xDF, 0x00, 0x00, 0x00}, at(32, 1)},
      {{0x81, 0xD9}, at(8, 2)},
      {{0x81, 0xDA, 0x00}, at(16, 2)},
      {{0x81, 0xDB, 0x00, 0x00}, at(32, 2)},
      {{0x93, 0x01, 0x02, 0xCF, 0x00}, at(64, 4)},
  });
}

TEST(MsgpackReaderTest, TruncatedStringsAndRawBytes) {
  ExpectFailures({
      {{0xA5, 0x61, 0x62},
       "Invalid MessagePack data. String of size 5 at position 1 is truncated."},
      {{0xA1}, "Invalid MessagePack data. String of size 1 at position 1 is truncated."},
      {{0xD9, 0x05, 0x61},
       "Invalid MessagePack data. String of size 5 at position 2 is truncated."},
      {{0xDA, 0x01, 0x00},
       "Invalid MessagePack data. String of size 256 at position 3 is truncated."},
      {{0xDB, 0xFF, 0xFF, 0xFF, 0xFF, 0x61},
       "Invalid MessagePack data. String of size 4294967295 at position 5 is truncated."},
      {{0x81, 0xA3, 'a'}, "Invalid MessagePack data. String of size 3 at position 2 is truncated."},
      {{0x81, 0xD9, 0x02, 'a'},
       "Invalid MessagePack data. String of size 2 at position 3 is truncated."},
      {{0xC4, 0x05, 0x01},
       "Invalid MessagePack data. Raw bytes of size 5 at position 2 are truncated."},
      {{0xC5, 0x01, 0x00, 0x01},
       "Invalid MessagePack data. Raw bytes of size 256 at position 3 are truncated."},
      {{0xC6, 0x80, 0x00, 0x00, 0x00},
       "Invalid MessagePack data. Raw bytes of size 2147483648 at position 5 are truncated."},
      {{0x91, 0xC4, 0x01},
       "Invalid MessagePack data. Raw bytes of size 1 at position 3 are truncated."},
  });
}

TEST(MsgpackReaderTest, ContainersCutShortFail) {
  ExpectFailures({
      {{0x93, 0x01, 0x02}, "Invalid MessagePack data. Array of size 3 at position 0 is truncated."},
      {{0x91}, "Invalid MessagePack data. Array of size 1 at position 0 is truncated."},
      {{0xDC, 0x00, 0x03, 0x01},
       "Invalid MessagePack data. Array of size 3 at position 0 is truncated."},
      {{0xDD, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
       "Invalid MessagePack data. Array of size 4294967295 at position 0 is truncated."},
      // The innermost unfinished container is named.
      {{0x92, 0x01, 0x91}, "Invalid MessagePack data. Array of size 1 at position 2 is truncated."},
      {{0x92, 0x91, 0x01}, "Invalid MessagePack data. Array of size 2 at position 0 is truncated."},
      {{0x82, 0xA1, 'a', 0x01},
       "Invalid MessagePack data. Map of size 2 at position 0 is truncated."},
      // A key without its value.
      {{0x81, 0xA1, 'a'}, "Invalid MessagePack data. Map of size 1 at position 0 is truncated."},
      {{0x81}, "Invalid MessagePack data. Map of size 1 at position 0 is truncated."},
      {{0xDE, 0x00, 0x02, 0xA0, 0x01},
       "Invalid MessagePack data. Map of size 2 at position 0 is truncated."},
      {{0xDF, 0xFF, 0xFF, 0xFF, 0xFF},
       "Invalid MessagePack data. Map of size 4294967295 at position 0 is truncated."},
      {{0x91, 0x81}, "Invalid MessagePack data. Map of size 1 at position 1 is truncated."},
      {{0x81, 0xA1, 'k', 0x92, 0x01},
       "Invalid MessagePack data. Array of size 2 at position 3 is truncated."},
  });
}

TEST(MsgpackReaderTest, HugeAnnouncedCountsAllocateNothingUpFront) {
  // Each level announces four billion elements and holds one: nothing may be reserved for
  // what is not there.
  const Bytes nested = Repeat({0xDD, 0xFF, 0xFF, 0xFF, 0xFF}, 200);
  const MsgpackDecodeResult r = Decode(nested);
  EXPECT_EQ(r.result.error(),
            "Invalid MessagePack data. Array of size 4294967295 at position 995 is truncated.");
  const MsgpackDecodeResult maps = Decode(Repeat({0xDF, 0xFF, 0xFF, 0xFF, 0xFF, 0xA0}, 200));
  EXPECT_EQ(maps.result.error(),
            "Invalid MessagePack data. Map of size 4294967295 at position 1194 is truncated.");
}

TEST(MsgpackReaderTest, NestingIsLimitedToAThousandLevels) {
  const std::string too_deep_at =
      "Invalid MessagePack data at position %. Nesting is deeper than 1000 levels.";
  auto too_deep = [&](size_t pos) {
    std::string m = too_deep_at;
    return m.replace(m.find('%'), 1, std::to_string(pos));
  };
  // Exactly the limit decodes, whatever the innermost value.
  for (const Bytes& inner : {Bytes{0xC0}, Bytes{0x90}, Bytes{0x80}}) {
    const Bytes ok = Cat({Repeat({0x91}, 999), inner});
    const MsgpackDecodeResult r = Decode(ok);
    ASSERT_TRUE(r.result.ok()) << r.result.error();
    EXPECT_EQ(r.consumed, ok.size());
    const BindingProperty* node = &r.result.value();
    size_t depth = 0;
    while (node->type() == BindingType::kCollection) {
      node = &node->Element(0);
      ++depth;
    }
    EXPECT_EQ(depth, inner == Bytes{0x90} ? 1000u : 999u);
  }
  const Bytes thousand_maps = Cat({Repeat({0x81, 0xA0}, 1000), {0x01}});
  EXPECT_TRUE(Decode(thousand_maps).result.ok());
  ExpectFailures({
      {Repeat({0x91}, 1001), too_deep(1001)},
      {Cat({Repeat({0x91}, 1000), {0x90}}), too_deep(1001)},
      {Cat({Repeat({0x91}, 1000), {0x80}}), too_deep(1001)},
      {Cat({Repeat({0x91}, 1000), {0xDC, 0x00, 0x00}}), too_deep(1001)},
      {Cat({Repeat({0x81, 0xA0}, 1000), {0xDF, 0, 0, 0, 1}}), too_deep(2001)},
      {Cat({Repeat({0xDC, 0x00, 0x01}, 1001), {0x01}}), too_deep(3001)},
      // Siblings do not add up: only the chain of open containers counts.
      {Cat({{0x92}, Repeat({0x91}, 999), {0x01}, Repeat({0x91}, 1000), {0x01}}), too_deep(2001)},
      {Repeat({0x91}, 100000), too_deep(1001)},
  });
  const Bytes siblings = Cat({{0x92}, Repeat({0x91}, 998), {0x01}, Repeat({0x91}, 999), {0x01}});
  EXPECT_TRUE(Decode(siblings).result.ok()) << Decode(siblings).result.error();
}

TEST(MsgpackReaderTest, NilElementsAndValuesStayEmpty) {
  const MsgpackDecodeResult r = Decode({0x93, 0xC0, 0x01, 0xC0});
  ASSERT_TRUE(r.result.ok());
  ASSERT_EQ(r.result.value().size(), 3u);
  EXPECT_EQ(r.result.value()[0].type(), BindingType::kEmpty);
  EXPECT_EQ(r.result.value()[1].GetSigned(), 1);
  EXPECT_EQ(r.result.value()[2].type(), BindingType::kEmpty);
  const MsgpackDecodeResult m = Decode({0x81, 0xA1, 'n', 0xC0});
  ASSERT_TRUE(m.result.ok());
  ASSERT_NE(m.result.value().FindField("n"), nullptr);
  EXPECT_EQ(m.result.value().FindField("n")->type(), BindingType::kEmpty);
}

TEST(MsgpackReaderTest, SniffsContainersOnly) {
  EXPECT_FALSE(LooksLikeMsgpack(""));
  for (int b = 0; b < 256; ++b) {
    const bool expected = (b >= 0x80 && b <= 0x9F) || (b >= 0xDC && b <= 0xDF);
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(LooksLikeMsgpack(one), expected) << b;
    EXPECT_EQ(LooksLikeMsgpack(one + "{}"), expected) << b;
  }
}

}  // namespace
}  // namespace Voro
