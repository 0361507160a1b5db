#include "host/abi_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kivhost {
namespace {

std::string ToJson(const BindingAbiValue& value) {
  auto json = AbiToJson(value);
  return json.ok() ? json.value() : json.error();
}

bool IsZeroed(const BindingAbiValue& value) {
  static const BindingAbiValue kZero{};
  return std::memcmp(&value, &kZero, sizeof(value)) == 0;
}

TEST(AbiValueTest, JsonRoundTripKeepsEveryTag) {
  const std::string text = R"({"array":[1,-2,18446744073709551615,2.5,true,null,"x",[],{}],)"
                           R"("nested":{"deeper":[{"k":"v"}]},"text":"h\u00e9llo \"q\""})";
  BindingAbiValue value;
  auto built = AbiFromJsonText(text, &value);
  ASSERT_TRUE(built.ok()) << built.error();
  ASSERT_EQ(value.tag, uint32_t(KIV_ABI_STRUCTURE));
  const auto* entries = static_cast<const BindingAbiStructEntry*>(value.payload.ref.pointer);
  const BindingAbiValue& array = entries[0].value;
  ASSERT_EQ(array.payload.ref.count, 9u);
  const auto* elements = static_cast<const BindingAbiValue*>(array.payload.ref.pointer);
  const std::vector<uint32_t> tags = {KIV_ABI_SIGNED,       KIV_ABI_SIGNED,     KIV_ABI_UNSIGNED,
                                      KIV_ABI_DOUBLE,       KIV_ABI_BOOL,       KIV_ABI_EMPTY,
                                      KIV_ABI_STRING_OWNED, KIV_ABI_COLLECTION, KIV_ABI_STRUCTURE};
  for (size_t i = 0; i < tags.size(); ++i) EXPECT_EQ(elements[i].tag, tags[i]) << i;
  EXPECT_EQ(ToJson(value), R"({"array":[1,-2,18446744073709551615,2.5,true,null,"x",[],{}],)"
                           R"("nested":{"deeper":[{"k":"v"}]},"text":"h)"
                           "\xc3\xa9"
                           R"(llo \"q\""})");
  ReleaseAbiValue(&value);
  EXPECT_TRUE(IsZeroed(value));
  for (const char* top : {"false", "-9223372036854775808", "1e300", "\"\""}) {
    built = AbiFromJsonText(top, &value);
    ASSERT_TRUE(built.ok()) << top << ": " << built.error();
    EXPECT_EQ(ToJson(value), top);
    ReleaseAbiValue(&value);
  }
}

TEST(AbiValueTest, ReadsBorrowedValuesAndBlobs) {
  // What the plugin sends: borrowed strings and blobs, keys it does not give away.
  static const char kBytes[] = {'\x00', '\xff', 'a', 'b'};
  char borrowed[] = "borrowed";
  BindingAbiValue values[4] = {};
  values[0].tag = KIV_ABI_STRING_BORROWED;
  values[0].payload.ref = {borrowed, 8};
  values[1].tag = KIV_ABI_BLOB_BORROWED;
  values[1].payload.ref = {kBytes, 4};
  ASSERT_TRUE(MakeOwnedBlob("abcde", 5, &values[2]));
  values[3].tag = KIV_ABI_DOUBLE;
  values[3].payload.f64 = -0.125;
  BindingAbiStructEntry entries[2] = {};
  entries[0].key = "list";
  entries[0].value.tag = KIV_ABI_COLLECTION;
  entries[0].value.payload.ref = {values, 4};
  entries[1].key = "n";
  entries[1].value.tag = KIV_ABI_UNSIGNED;
  entries[1].value.payload.u64 = 7;
  BindingAbiValue root{};
  root.tag = KIV_ABI_STRUCTURE;
  root.payload.ref = {entries, 2};
  EXPECT_EQ(ToJson(root), R"({"list":["borrowed","AP9hYg==","YWJjZGU=",-0.125],"n":7})");
  for (BindingAbiValue& value : values) ReleaseAbiValue(&value);
  EXPECT_TRUE(IsZeroed(values[0]) && IsZeroed(values[2]));
  EXPECT_STREQ(borrowed, "borrowed") << "borrowed data is left alone";
}

TEST(AbiValueTest, RefusesMalformedValues) {
  BindingAbiStructEntry keyless{};
  struct Row {
    uint32_t tag;
    BindingAbiRef ref;
    const char* error;
  };
  const Row rows[] = {
      {11, {}, "unknown value tag 11"},
      {KIV_ABI_COLLECTION, {nullptr, 3}, "collection without elements"},
      {KIV_ABI_STRUCTURE, {&keyless, 1}, "structure entry without a key"},
      {KIV_ABI_BLOB_BORROWED, {nullptr, 1}, "blob without bytes"},
  };
  for (const Row& row : rows) {
    BindingAbiValue bad{};
    bad.tag = row.tag;
    bad.payload.ref = row.ref;
    EXPECT_EQ(ToJson(bad), row.error);
  }
  BindingAbiValue bad;
  auto built = AbiFromJsonText("{\"a\":", &bad);
  EXPECT_FALSE(built.ok());
  EXPECT_TRUE(IsZeroed(bad));
  EXPECT_EQ(built.error().rfind("invalid JSON at offset 5", 0), 0u) << built.error();
}

TEST(AbiValueTest, DepthIsBoundedBothWays) {
  // A chain of single-element collections around an empty value.
  std::vector<BindingAbiValue> chain(1002);
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    chain[i].tag = KIV_ABI_COLLECTION;
    chain[i].payload.ref = {&chain[i + 1], 1};
  }
  EXPECT_EQ(ToJson(chain[1]), std::string(1000, '[') + "null" + std::string(1000, ']'));
  EXPECT_EQ(ToJson(chain[0]), "nesting deeper than 1000 levels");

  BindingAbiValue value;
  auto built = AbiFromJsonText(std::string(1000, '[') + std::string(1000, ']'), &value);
  ASSERT_TRUE(built.ok()) << built.error();
  ReleaseAbiValue(&value);
  // Fails half-way through building: what was built is freed (ASan would see a leak).
  built = AbiFromJsonText(std::string(100000, '[') + std::string(100000, ']'), &value);
  EXPECT_FALSE(built.ok());
  EXPECT_EQ(built.error(), "nesting deeper than 1000 levels");
  EXPECT_TRUE(IsZeroed(value));
}

TEST(AbiValueTest, ArgumentsBecomeOneObject) {
  BindingAbiNamedValue arguments[3] = {};
  arguments[0].name = "eventName";
  ASSERT_TRUE(MakeOwnedString("login", &arguments[0].value));
  arguments[1].value.tag = KIV_ABI_SIGNED;
  arguments[1].value.payload.i64 = 42;
  arguments[2].name = "flag";
  arguments[2].value.tag = KIV_ABI_BOOL;
  auto json = ArgumentsToJson(arguments, 3);
  ASSERT_TRUE(json.ok()) << json.error();
  EXPECT_EQ(json.value(), R"({"eventName":"login","#1":42,"flag":false})");
  EXPECT_FALSE(ArgumentsToJson(nullptr, 1).ok());
  ReleaseAbiValue(&arguments[0].value);
}

}  // namespace
}  // namespace kivhost
