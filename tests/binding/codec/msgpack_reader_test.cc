#include "binding/codec/msgpack_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "binding/codec/json_writer.h"
#include "support/binding_values.h"

namespace Voro {
namespace {

using namespace std::literals;
using namespace testing;  // Str, Signed, Unsigned, Float, Bool, Scalar

std::string Times(const std::string& part, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += part;
  return out;
}
BindingProperty EmptyList() {
  BindingProperty p;
  p.MakeCollection();
  return p;
}

TEST(MsgpackReaderTest, DecodesEveryTypeByte) {
  const std::pair<std::string, BindingProperty> cases[] = {
      // Integers keep the encoder's choice in the tag.
      {"\xCC\xFF", Unsigned(255)},
      {"\xCD\x01\x02", Unsigned(0x0102)},
      {"\xCE\x01\x02\x03\x04", Unsigned(0x01020304)},
      {"\xCF\x01\x02\x03\x04\x05\x06\x07\x08", Unsigned(0x0102030405060708ull)},
      {"\xD0\x80", Signed(-128)},
      {"\xD1\x80\x00"s, Signed(-32768)},
      {"\xD2\xFF\xFF\xFF\xFE", Signed(-2)},
      {"\xD3\x80\0\0\0\0\0\0\0"s, Signed(std::numeric_limits<int64_t>::min())},
      {"\xC2", Bool(false)},
      {"\xC3", Bool(true)},
      {"\xE0", Signed(-32)},
      // 0.1f widened exactly, not rounded to the nearest short decimal.
      {"\xCA\x3D\xCC\xCC\xCD", Float(static_cast<double>(0.1f))},
      {"\xCB\x3F\xB9\x99\x99\x99\x99\x99\x9A", Float(0.1)},
      // Raw bytes: no UTF-8 check, NUL kept.
      {"\xA4\xFF\0\xC3\x28"s, Str("\xFF\0\xC3\x28"sv)},
      {"\xD9\x03kiv", Str("kiv")},
      {"\xC4\x03\x01\0\xFF"s, Scalar(std::vector<uint8_t>{1, 0, 0xFF})},
      {"\x90", EmptyList()},
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes.substr(0, 12)));
    // Bytes after the first value are the caller's business: an invalid one is not read.
    const MsgpackDecodeResult r = DecodeMsgpack(bytes + "\xC1");
    ASSERT_TRUE(r.result.ok()) << r.result.error();
    EXPECT_EQ(r.result.value(), expected);
    EXPECT_EQ(r.consumed, bytes.size());
  }
  const MsgpackDecodeResult empty = DecodeMsgpack(nullptr, 0);
  EXPECT_EQ(empty.result.value().type(), BindingType::kEmpty);
  EXPECT_TRUE(empty.result.ok());
  EXPECT_EQ(empty.consumed, 0u);
}

std::string At(size_t position) {
  return "Invalid MessagePack data at position " + std::to_string(position) + ".";
}
std::string Key(size_t position) { return At(position) + " Map keys must be strings."; }
std::string Deep(size_t position) { return At(position) + " Nesting is deeper than 1000 levels."; }
// "<what> at position <position> is truncated."
std::string Cut(const std::string& what, size_t position) {
  return "Invalid MessagePack data. " + what + " at position " + std::to_string(position) +
         (what.starts_with("Raw") ? " are" : " is") + " truncated.";
}

TEST(MsgpackReaderTest, HostileInputFailsWithThePosition) {
  std::vector<std::pair<std::string, std::string>> cases = {
      // Unused and extension type bytes.
      {"\xC1", At(1)},
      // The key is checked before the data runs out.
      {"\x81\x01", Key(2)},
      {"\x81\xFF\x02", Key(2)},
      {"\x81\xD9", Cut("8-bit integer value", 2)},
      {"\xA5kv", Cut("String of size 5", 1)},
      {"\xDB\xFF\xFF\xFF\xFFk", Cut("String of size 4294967295", 5)},
      {"\xC4\x05\x01", Cut("Raw bytes of size 5", 2)},
      // The innermost unfinished container is named.
      {"\x92\x01\x91", Cut("Array of size 1", 2)},
      {"\x82\xA1k\x01", Cut("Map of size 2", 0)},
      // Each level announces four billion items and holds one: nothing may be reserved for
      // what is not there.
      {Times("\xDD\xFF\xFF\xFF\xFF", 200), Cut("Array of size 4294967295", 995)},
      {Times("\xDF\xFF\xFF\xFF\xFF\xA0", 200), Cut("Map of size 4294967295", 1194)},
      {Times("\x91", 1001), Deep(1001)},
  };
  // Every number, length and count one byte short.
  for (const auto& [types, bits] : {std::pair{"\xCC\xD0\xD9\xC4"sv, 8},
                                    {"\xD1\xDA\xC5"sv, 16},
                                    {"\xCE\xD2\xCA\xC6"sv, 32},
                                    {"\xCF\xD3\xCB"sv, 64}}) {
    for (char type : types) {
      cases.push_back({type + std::string(bits / 8 - 1, '\x01'),
                       Cut(std::to_string(bits) + "-bit integer value", 1)});
    }
  }
  for (const auto& [bytes, message] : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes.substr(0, 12)));
    const MsgpackDecodeResult r = DecodeMsgpack(bytes);
    ASSERT_FALSE(r.result.ok());
    EXPECT_EQ(r.result.error(), message);
    // Nothing of the partial tree survives: the value is the error structure alone.
    EXPECT_EQ(r.result.value().type(), BindingType::kStructure);
    EXPECT_EQ(r.result.value().size(), 1u);
    EXPECT_LE(r.consumed, bytes.size());
  }
}

TEST(MsgpackReaderTest, NestingOfAThousandLevelsDecodes) {
  const MsgpackDecodeResult r = DecodeMsgpack(Times("\x91", 999) + "\x80");
  ASSERT_TRUE(r.result.ok()) << r.result.error();
  EXPECT_EQ(r.consumed, 1000u);
  EXPECT_EQ(WriteJson(r.result.value()), std::string(999, '[') + "{}" + std::string(999, ']'));
  const std::string siblings = "\x92" + Times("\x91", 998) + "\x01" + Times("\x91", 999) + "\x01";
  EXPECT_TRUE(DecodeMsgpack(siblings).result.ok()) << DecodeMsgpack(siblings).result.error();
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
