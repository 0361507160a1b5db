#include "binding/value/binding_abi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace Voro {
namespace {

std::string Incompatible(const std::string& name, const std::string& tag) {
  return "Couldn't assign value to '" + name +
         "' of type object because the input is of an incompatible type '" + tag + "'.";
}

// Released records are zeroed byte for byte, padding included.
bool IsZero(const BindingAbiValue& v) {
  static const BindingAbiValue zero = {};
  return std::memcmp(&v, &zero, sizeof(v)) == 0;  // NOLINT(bugprone-suspicious-memory-comparison)
}

// Host-side builders for records the plugin only reads (tags 5 and 7 borrow).
BindingAbiValue Signed(int64_t i) {
  BindingAbiValue v = {};
  v.tag = KIV_ABI_SIGNED;
  v.payload.i64 = i;
  return v;
}
BindingAbiValue Ref(uint32_t tag, const void* pointer, uint32_t count) {
  BindingAbiValue v = {};
  v.tag = tag;
  v.payload.ref.pointer = pointer;
  v.payload.ref.count = count;
  return v;
}
BindingAbiValue BadTag() { return Ref(0xFFFFFFFFu, nullptr, 0); }

const char* Text(const BindingAbiValue& v) {
  return static_cast<const char*>(v.payload.ref.pointer);
}

TEST(BindingAbiTest, EveryTagMapsToItsRecordAndRoundTrips) {
  BindingProperty value;
  value["bool"] = true;
  value["signed"] = int64_t{-5};
  value["unsigned"] = UINT64_MAX;
  value["float"] = 0.125;
  value["string"] = "text";
  value["blob"] = std::vector<uint8_t>{0, 1, 2};
  value["no-blob"] = std::vector<uint8_t>{};
  value["no-string"] = "";
  value["empty"].Reset();
  value["list"][1]["nested"][0] = "deep";
  value["list"][2].MakeCollection();
  value["record"].MakeStructure();
  BindingAbiValue abi;
  ToAbiValue(value, &abi);
  ASSERT_EQ(abi.tag, uint32_t{KIV_ABI_STRUCTURE});
  ASSERT_EQ(abi.payload.ref.count, 11u);
  const auto* entries = static_cast<const BindingAbiStructEntry*>(abi.payload.ref.pointer);
  std::map<std::string, const BindingAbiValue*> fields;
  for (uint32_t i = 0; i < 11; ++i) {
    EXPECT_EQ(entries[i].owned_key, 1);
    if (i > 0) {
      EXPECT_LT(std::string(entries[i - 1].key), entries[i].key);  // ascending keys
    }
    fields[entries[i].key] = &entries[i].value;
  }
  // The host's tag names agree with the tree's.
  for (const auto& [key, record] : fields) {
    EXPECT_EQ(BindingAbiTagName(record->tag),
              key == "empty" ? "" : BindingTypeName(value[key].type()));
  }
  EXPECT_EQ(fields["bool"]->payload.boolean, 1);
  EXPECT_EQ(fields["signed"]->payload.i64, -5);
  EXPECT_EQ(fields["unsigned"]->payload.u64, UINT64_MAX);
  EXPECT_EQ(fields["float"]->payload.f64, 0.125);
  EXPECT_TRUE(IsZero(*fields["empty"]));
  // Strings and blobs are owned copies; texts keep their terminator.
  EXPECT_EQ(fields["string"]->tag, uint32_t{KIV_ABI_STRING_OWNED});
  EXPECT_EQ(fields["string"]->payload.ref.count, 4u);
  EXPECT_NE(Text(*fields["string"]), value["string"].GetString().data());
  EXPECT_STREQ(Text(*fields["string"]), "text");
  EXPECT_STREQ(Text(*fields["no-string"]), "");
  EXPECT_EQ(fields["blob"]->tag, uint32_t{KIV_ABI_BLOB_OWNED});
  EXPECT_EQ(fields["blob"]->payload.ref.count, 3u);
  EXPECT_EQ(std::memcmp(fields["blob"]->payload.ref.pointer, "\0\1\2", 3), 0);
  EXPECT_EQ(fields["list"]->tag, uint32_t{KIV_ABI_COLLECTION});

  BindingProperty back;
  back[7] = "replaced";
  BindingAbiError error = {};
  ASSERT_TRUE(FromAbiValue(abi, "<result>", &back, &error));
  EXPECT_EQ(error.failed, 0u);
  EXPECT_EQ(error.message, nullptr);
  EXPECT_TRUE(back == value);
  ReleaseAbiValue(&abi);
  EXPECT_TRUE(IsZero(abi));
}

TEST(BindingAbiTest, EnumsAreSignedUnlessTheRegistryNamesThem) {
  class FakeEnumNames final : public EnumNameResolver {
   public:
    bool FindEnumValueName(uint32_t type_hash, int32_t value, std::string* name) const override {
      if (type_hash != 0x1234 || value != 1) return false;
      *name = "ONE";
      return true;
    }
  } names;
  // The record as text: a signed number, or an owned name and its length.
  const auto convert = [](BindingEnum e, const EnumNameResolver* resolver) {
    BindingProperty value;
    value = e;
    BindingAbiValue abi;
    ToAbiValue(value, &abi, resolver);
    const std::string text =
        abi.tag == KIV_ABI_SIGNED ? std::to_string(abi.payload.i64)
        : abi.tag == KIV_ABI_STRING_OWNED
            ? Text(abi) + std::string("/") + std::to_string(abi.payload.ref.count)
            : "?";
    ReleaseAbiValue(&abi);
    return text;
  };
  // Without names, a value the type does not name, a type not registered: signed.
  EXPECT_EQ(convert({-2, 0x1234}, nullptr), "-2");
  EXPECT_EQ(convert({-2, 0x1234}, &names), "-2");
  EXPECT_EQ(convert({1, 0x9999}, &names), "1");
  EXPECT_EQ(convert({1, 0x1234}, &names), "ONE/3");
}

TEST(BindingAbiTest, ReadsAndReleasesHostRecordsThatBorrow) {
  static const char text[] = "borrowed";
  static const uint8_t bytes[] = {1, 2, 3, 4};
  auto* elements = static_cast<BindingAbiValue*>(std::calloc(5, sizeof(BindingAbiValue)));
  elements[0] = Ref(KIV_ABI_STRING_BORROWED, text, 2);  // the count is ignored for texts
  elements[1] = Ref(KIV_ABI_BLOB_BORROWED, bytes, 3);
  elements[2] = Ref(KIV_ABI_STRING_BORROWED, nullptr, 5);
  elements[3] = Ref(KIV_ABI_BLOB_OWNED, nullptr, 5);
  char* owned = static_cast<char*>(std::malloc(2));
  std::memcpy(owned, "x", 2);
  elements[4] = Ref(KIV_ABI_STRING_OWNED, owned, 1);
  auto* entries =
      static_cast<BindingAbiStructEntry*>(std::calloc(3, sizeof(BindingAbiStructEntry)));
  entries[0].key = "list";
  entries[0].value = Ref(KIV_ABI_COLLECTION, elements, 5);
  entries[1].value = Signed(3);  // no key: ""
  char* key = static_cast<char*>(std::malloc(4));
  std::memcpy(key, "own", 4);
  entries[2].key = key;
  entries[2].owned_key = 1;
  BindingAbiValue root = Ref(KIV_ABI_STRUCTURE, entries, 3);
  BindingResult result = FromAbiValue(root, "<result>");
  ASSERT_TRUE(result.ok()) << result.error();
  const BindingProperty& v = result.value();
  EXPECT_EQ(v["list"][0].GetString(), "borrowed");
  EXPECT_EQ(v["list"][1].GetBlob(), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(v["list"][2].type(), BindingType::kString);
  EXPECT_EQ(v["list"][3].type(), BindingType::kBlob);
  EXPECT_EQ(v["list"][2].size() + v["list"][3].size(), 0u);
  EXPECT_EQ(v[""].GetSigned(), 3);
  EXPECT_EQ(v["own"].type(), BindingType::kEmpty);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(BindingAbiTagName(elements[i].tag), BindingTypeName(v["list"][i].type()));
  }
  // Under the sanitizers, a wrong free or a leak here fails the run.
  ReleaseAbiValue(&root);
  EXPECT_TRUE(IsZero(root));
}

TEST(BindingAbiTest, AnUnknownTagFailsWithTheExactMessage) {
  BindingAbiValue bad = {};
  bad.tag = 11;
  BindingProperty out;
  out = "old";
  BindingAbiError error = {};
  // A previous failure is released and replaced.
  error.message = static_cast<char*>(std::malloc(4));
  std::memcpy(error.message, "old", 4);
  ToAbiValue(out, &error.value);
  EXPECT_FALSE(FromAbiValue(bad, "<result>", &out, &error));
  EXPECT_EQ(error.failed, 1u);
  ASSERT_NE(error.message, nullptr);
  EXPECT_EQ(std::string(error.message),
            "Couldn't assign value to '<result>' of type object because the input is of an "
            "incompatible type ''.");
  EXPECT_TRUE(IsZero(error.value));
  ReleaseAbiError(&error);
  EXPECT_EQ(error.message, nullptr);
  EXPECT_EQ(error.failed, 0u);
  EXPECT_EQ(FromAbiValue(bad, "payload").error(), Incompatible("payload", ""));
  // A collection claiming more elements than a tree can hold.
  BindingAbiValue one = Signed(1);
  EXPECT_EQ(FromAbiValue(Ref(KIV_ABI_COLLECTION, &one, 0xFFFFFFFFu), "list").error(),
            Incompatible("list", "collection"));
}

TEST(BindingAbiTest, WhatWasConvertedBeforeAFailureStays) {
  BindingAbiValue elements[] = {Signed(1), Signed(2), BadTag(), Signed(4)};
  BindingProperty out;
  out[5] = 1;  // replaced
  BindingAbiError error = {};
  EXPECT_FALSE(FromAbiValue(Ref(KIV_ABI_COLLECTION, elements, 4), "items", &out, &error));
  EXPECT_EQ(std::string(error.message), Incompatible("items", ""));
  ASSERT_EQ(out.size(), 3u);  // the fourth was never reached
  EXPECT_EQ(out[1].GetSigned(), 2);
  EXPECT_EQ(out[2].type(), BindingType::kEmpty);

  // Structure entries in any order read in key order, and the last of a repeated key wins.
  BindingAbiStructEntry entries[5] = {};
  const char* keys[] = {"c", "a", "c", "b", "d"};
  const BindingAbiValue values[] = {Signed(1), Signed(2), Signed(3), Signed(4), BadTag()};
  for (int i = 0; i < 5; ++i) {
    entries[i].key = keys[i];
    entries[i].value = values[i];
  }
  ASSERT_TRUE(FromAbiValue(Ref(KIV_ABI_STRUCTURE, entries, 4), "s", &out, &error));
  std::vector<std::pair<std::string, int64_t>> fields;
  for (const auto& field : out.Fields()) fields.emplace_back(field.key, field.value.GetSigned());
  EXPECT_EQ(fields, (std::vector<std::pair<std::string, int64_t>>{{"a", 2}, {"b", 4}, {"c", 3}}));
  // Failing on the fifth entry: "d" holds the empty value it was given before failing.
  BindingProperty partial;
  EXPECT_FALSE(FromAbiValue(Ref(KIV_ABI_STRUCTURE, entries, 5), "s", &partial, &error));
  EXPECT_EQ(partial.size(), 4u);
  EXPECT_EQ(partial.Field("c").GetSigned(), 3);
  EXPECT_EQ(partial.FindField("d")->type(), BindingType::kEmpty);
  ReleaseAbiError(&error);
}

TEST(BindingAbiTest, NestingIsLimitedToAThousandLevels) {
  // A chain of nested collections built the way a host would, innermost empty.
  const auto chain = [](size_t depth) {
    std::vector<BindingAbiValue> values(depth);
    for (size_t i = 0; i + 1 < depth; ++i) values[i] = Ref(KIV_ABI_COLLECTION, &values[i + 1], 1);
    values.back() = Ref(KIV_ABI_COLLECTION, nullptr, 0);
    return values;
  };
  BindingProperty out;
  BindingAbiError error = {};
  EXPECT_TRUE(FromAbiValue(chain(1000)[0], "<result>", &out, &error));
  EXPECT_EQ(error.failed, 0u);
  EXPECT_FALSE(FromAbiValue(chain(1001)[0], "<result>", &out, &error));
  EXPECT_EQ(std::string(error.message),
            "Couldn't assign value to '<result>' because it is nested deeper than 1000 levels.");
  // Far deeper input fails the same way, without touching the stack.
  EXPECT_FALSE(FromAbiValue(chain(200000)[0], "x", &out, &error));
  EXPECT_EQ(error.failed, 1u);
  ReleaseAbiError(&error);
}

TEST(BindingAbiTest, DeepTreesConvertAndReleaseWithoutRecursion) {
  constexpr int kDepth = 100000;
  BindingProperty root;
  BindingProperty* node = &root;
  for (int i = 0; i < kDepth; ++i) node = (i % 2 == 0) ? &(*node)["k"] : &(*node)[0];
  *node = "bottom";
  BindingAbiValue abi;
  ToAbiValue(root, &abi);
  const BindingAbiValue* v = &abi;
  for (int i = 0; i < kDepth; ++i) {
    ASSERT_EQ(v->tag, static_cast<uint32_t>(i % 2 == 0 ? KIV_ABI_STRUCTURE : KIV_ABI_COLLECTION));
    v = i % 2 == 0 ? &static_cast<const BindingAbiStructEntry*>(v->payload.ref.pointer)->value
                   : static_cast<const BindingAbiValue*>(v->payload.ref.pointer);
  }
  EXPECT_STREQ(Text(*v), "bottom");
  ReleaseAbiValue(&abi);
  EXPECT_TRUE(IsZero(abi));
}

}  // namespace
}  // namespace Voro
