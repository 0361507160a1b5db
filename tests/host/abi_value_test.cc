#include "host/abi_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kivhost {
namespace {

std::string ToJson(const BindingAbiValue& value) {
  std::string json;
  std::string error;
  EXPECT_TRUE(AbiToJson(value, &json, &error)) << error;
  return json;
}

bool IsZeroed(const BindingAbiValue& value) {
  static const BindingAbiValue kZero{};
  return std::memcmp(&value, &kZero, sizeof(value)) == 0;
}

TEST(AbiValueTest, JsonRoundTripKeepsEveryTag) {
  const char* kText = R"({"array":[1,-2,18446744073709551615,2.5,true,false,null,"x",[],{}],)"
                      R"("empty":{},"nested":{"deeper":[{"k":"v"}]},"text":"h)"
                      "\xc3\xa9"
                      R"(llo \"q\""})";
  BindingAbiValue value;
  std::string error;
  ASSERT_TRUE(AbiFromJsonText(kText, &value, &error)) << error;
  ASSERT_EQ(value.tag, static_cast<uint32_t>(KIV_ABI_STRUCTURE));
  ASSERT_EQ(value.payload.ref.count, 4u);
  const auto* entries = static_cast<const BindingAbiStructEntry*>(value.payload.ref.pointer);
  EXPECT_STREQ(entries[0].key, "array");
  EXPECT_EQ(entries[0].owned_key, 1);
  EXPECT_STREQ(entries[3].key, "text");
  EXPECT_EQ(entries[3].value.tag, static_cast<uint32_t>(KIV_ABI_STRING_OWNED));
  EXPECT_EQ(entries[3].value.payload.ref.count, std::strlen("h\xc3\xa9llo \"q\""));

  const BindingAbiValue& array = entries[0].value;
  ASSERT_EQ(array.tag, static_cast<uint32_t>(KIV_ABI_COLLECTION));
  ASSERT_EQ(array.payload.ref.count, 10u);
  const auto* elements = static_cast<const BindingAbiValue*>(array.payload.ref.pointer);
  const std::vector<uint32_t> kTags = {
      KIV_ABI_SIGNED, KIV_ABI_SIGNED, KIV_ABI_UNSIGNED,     KIV_ABI_DOUBLE,     KIV_ABI_BOOL,
      KIV_ABI_BOOL,   KIV_ABI_EMPTY,  KIV_ABI_STRING_OWNED, KIV_ABI_COLLECTION, KIV_ABI_STRUCTURE};
  for (size_t i = 0; i < kTags.size(); ++i) EXPECT_EQ(elements[i].tag, kTags[i]) << i;
  EXPECT_EQ(elements[1].payload.i64, -2);
  EXPECT_EQ(elements[2].payload.u64, 18446744073709551615u);
  EXPECT_EQ(elements[3].payload.f64, 2.5);
  EXPECT_EQ(elements[4].payload.boolean, 1);
  EXPECT_EQ(elements[8].payload.ref.pointer, nullptr);

  EXPECT_EQ(ToJson(value), kText);
  ReleaseAbiValue(&value);
  EXPECT_TRUE(IsZeroed(value));
}

TEST(AbiValueTest, ScalarsAtTheTop) {
  for (const char* text : {"null", "true", "0", "-9223372036854775808", "9223372036854775808",
                           "1e300", "\"\"", "[]"}) {
    BindingAbiValue value;
    std::string error;
    ASSERT_TRUE(AbiFromJsonText(text, &value, &error)) << text << ": " << error;
    EXPECT_EQ(ToJson(value), text);
    ReleaseAbiValue(&value);
    EXPECT_TRUE(IsZeroed(value));
  }
}

TEST(AbiValueTest, ReadsBorrowedValuesAndBlobs) {
  // What the plugin sends: borrowed strings and blobs, keys it does not give away.
  static const char kBytes[] = {'\x00', '\xff', 'a', 'b'};
  BindingAbiValue values[4] = {};
  values[0].tag = KIV_ABI_STRING_BORROWED;
  values[0].payload.ref = {"borrowed", 8};
  values[1].tag = KIV_ABI_BLOB_BORROWED;
  values[1].payload.ref = {kBytes, 4};
  ASSERT_TRUE(MakeOwnedBlob("abcde", 5, &values[2]));
  EXPECT_EQ(values[2].tag, static_cast<uint32_t>(KIV_ABI_BLOB_OWNED));
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
  ReleaseAbiValue(&values[2]);
  EXPECT_TRUE(IsZeroed(values[2]));
}

TEST(AbiValueTest, ReleaseLeavesBorrowedDataAlone) {
  char text[] = "mine";
  BindingAbiValue value{};
  value.tag = KIV_ABI_STRING_BORROWED;
  value.payload.ref = {text, 4};
  ReleaseAbiValue(&value);
  EXPECT_TRUE(IsZeroed(value));
  EXPECT_STREQ(text, "mine");
}

TEST(AbiValueTest, RefusesMalformedValues) {
  std::string json;
  std::string error;
  BindingAbiValue bad{};
  bad.tag = 11;
  EXPECT_FALSE(AbiToJson(bad, &json, &error));
  EXPECT_EQ(error, "unknown value tag 11");

  bad.tag = KIV_ABI_COLLECTION;
  bad.payload.ref = {nullptr, 3};
  EXPECT_FALSE(AbiToJson(bad, &json, &error));
  EXPECT_EQ(error, "collection without elements");

  BindingAbiStructEntry entry{};
  entry.key = nullptr;
  bad.tag = KIV_ABI_STRUCTURE;
  bad.payload.ref = {&entry, 1};
  EXPECT_FALSE(AbiToJson(bad, &json, &error));
  EXPECT_EQ(error, "structure entry without a key");

  bad.tag = KIV_ABI_BLOB_BORROWED;
  bad.payload.ref = {nullptr, 1};
  EXPECT_FALSE(AbiToJson(bad, &json, &error));
  EXPECT_EQ(error, "blob without bytes");

  EXPECT_FALSE(AbiFromJsonText("{\"a\":", &bad, &error));
  EXPECT_EQ(bad.tag, static_cast<uint32_t>(KIV_ABI_EMPTY));
  EXPECT_NE(error.find("invalid JSON at offset 5"), std::string::npos) << error;
}

// A chain of `depth` single-element collections around an empty value.
std::vector<BindingAbiValue> Chain(size_t depth) {
  std::vector<BindingAbiValue> chain(depth + 1);
  for (size_t i = 0; i < depth; ++i) {
    chain[i] = BindingAbiValue{};
    chain[i].tag = KIV_ABI_COLLECTION;
    chain[i].payload.ref = {&chain[i + 1], 1};
  }
  chain[depth] = BindingAbiValue{};
  return chain;
}

TEST(AbiValueTest, DepthIsBoundedBothWays) {
  std::string json;
  std::string error;
  std::vector<BindingAbiValue> ok = Chain(1000);
  EXPECT_TRUE(AbiToJson(ok[0], &json, &error)) << error;
  EXPECT_EQ(json, std::string(1000, '[') + "null" + std::string(1000, ']'));
  std::vector<BindingAbiValue> deep = Chain(1001);
  EXPECT_FALSE(AbiToJson(deep[0], &json, &error));
  EXPECT_EQ(error, "nesting deeper than 1000 levels");

  BindingAbiValue value;
  ASSERT_TRUE(AbiFromJsonText(std::string(1000, '[') + std::string(1000, ']'), &value, &error));
  ReleaseAbiValue(&value);
  // Fails half-way through building: what was built is freed (ASan would see a leak).
  EXPECT_FALSE(
      AbiFromJsonText(std::string(100000, '[') + std::string(100000, ']'), &value, &error));
  EXPECT_EQ(error, "nesting deeper than 1000 levels");
  EXPECT_TRUE(IsZeroed(value));
}

TEST(AbiValueTest, ArgumentsBecomeOneObject) {
  BindingAbiNamedValue arguments[3] = {};
  arguments[0].name = "eventName";
  ASSERT_TRUE(MakeOwnedString("login", &arguments[0].value));
  arguments[1].name = nullptr;
  arguments[1].value.tag = KIV_ABI_SIGNED;
  arguments[1].value.payload.i64 = 42;
  arguments[2].name = "flag";
  arguments[2].value.tag = KIV_ABI_BOOL;
  arguments[2].value.payload.boolean = 0;
  std::string json;
  std::string error;
  ASSERT_TRUE(ArgumentsToJson(arguments, 3, &json, &error)) << error;
  EXPECT_EQ(json, R"({"eventName":"login","#1":42,"flag":false})");
  ASSERT_TRUE(ArgumentsToJson(nullptr, 0, &json, &error));
  EXPECT_EQ(json, "{}");
  EXPECT_FALSE(ArgumentsToJson(nullptr, 1, &json, &error));
  ReleaseAbiValue(&arguments[0].value);
}

}  // namespace
}  // namespace kivhost
