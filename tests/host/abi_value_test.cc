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

BindingAbiValue Ref(uint32_t tag, const void* pointer, uint32_t count) {
  return {.tag = tag, .payload = {.ref = {pointer, count}}};
}

TEST(AbiValueTest, JsonRoundTripKeepsEveryTag) {
  const std::string text = R"({"array":[1,-2,18446744073709551615,2.5,true,null,"x",[],{}],)"
                           R"("nested":{"deeper":[{"k":"v"}]},"text":"h\u00e9llo \"q\""})";
  BindingAbiValue value;
  auto built = AbiFromJsonText(text, &value);
  ASSERT_TRUE(built.ok()) << built.error();
  ASSERT_EQ(value.tag, uint32_t(KIV_ABI_STRUCTURE));
  const auto* entries = static_cast<const BindingAbiStructEntry*>(value.payload.ref.pointer);
  ASSERT_EQ(entries[0].value.payload.ref.count, 9u);
  const auto* elements = static_cast<const BindingAbiValue*>(entries[0].value.payload.ref.pointer);
  const uint32_t tags[] = {KIV_ABI_SIGNED,       KIV_ABI_SIGNED,     KIV_ABI_UNSIGNED,
                           KIV_ABI_DOUBLE,       KIV_ABI_BOOL,       KIV_ABI_EMPTY,
                           KIV_ABI_STRING_OWNED, KIV_ABI_COLLECTION, KIV_ABI_STRUCTURE};
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(elements[i].tag, tags[i]) << i;
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
  BindingAbiValue values[4] = {Ref(KIV_ABI_STRING_BORROWED, borrowed, 8),
                               Ref(KIV_ABI_BLOB_BORROWED, kBytes, 4),
                               {},
                               {.tag = KIV_ABI_DOUBLE, .payload = {.f64 = -0.125}}};
  ASSERT_TRUE(MakeOwnedBlob("abcde", 5, &values[2]));
  BindingAbiStructEntry entries[2] = {
      {.key = "list", .value = Ref(KIV_ABI_COLLECTION, values, 4)},
      {.key = "n", .value = {.tag = KIV_ABI_UNSIGNED, .payload = {.u64 = 7}}}};
  EXPECT_EQ(ToJson(Ref(KIV_ABI_STRUCTURE, entries, 2)),
            R"({"list":["borrowed","AP9hYg==","YWJjZGU=",-0.125],"n":7})");
  for (BindingAbiValue& value : values) ReleaseAbiValue(&value);
  EXPECT_TRUE(IsZeroed(values[0]) && IsZeroed(values[2]));
  EXPECT_STREQ(borrowed, "borrowed") << "borrowed data is left alone";
}

TEST(AbiValueTest, RefusesMalformedValues) {
  BindingAbiStructEntry keyless{};
  const std::pair<BindingAbiValue, const char*> rows[] = {
      {Ref(11, nullptr, 0), "unknown value tag 11"},
      {Ref(KIV_ABI_COLLECTION, nullptr, 3), "collection without elements"},
      {Ref(KIV_ABI_STRUCTURE, &keyless, 1), "structure entry without a key"},
      {Ref(KIV_ABI_BLOB_BORROWED, nullptr, 1), "blob without bytes"},
  };
  for (const auto& [bad, error] : rows) EXPECT_EQ(ToJson(bad), error);
  BindingAbiValue bad;
  auto built = AbiFromJsonText("{\"a\":", &bad);
  EXPECT_FALSE(built.ok());
  EXPECT_TRUE(IsZeroed(bad));
  EXPECT_EQ(built.error().rfind("invalid JSON at offset 5", 0), 0u) << built.error();
}

TEST(AbiValueTest, DepthIsBoundedBothWays) {
  // A chain of single-element collections around an empty value.
  std::vector<BindingAbiValue> chain(1002);
  for (size_t i = 0; i + 1 < chain.size(); ++i)
    chain[i] = Ref(KIV_ABI_COLLECTION, &chain[i + 1], 1);
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
  BindingAbiNamedValue arguments[3] = {{.name = "eventName"},
                                       {.value = {.tag = KIV_ABI_SIGNED, .payload = {.i64 = 42}}},
                                       {.name = "flag", .value = {.tag = KIV_ABI_BOOL}}};
  ASSERT_TRUE(MakeOwnedString("login", &arguments[0].value));
  auto json = ArgumentsToJson(arguments, 3);
  ASSERT_TRUE(json.ok()) << json.error();
  EXPECT_EQ(json.value(), R"({"eventName":"login","#1":42,"flag":false})");
  EXPECT_FALSE(ArgumentsToJson(nullptr, 1).ok());
  ReleaseAbiValue(&arguments[0].value);
}

}  // namespace
}  // namespace kivhost
