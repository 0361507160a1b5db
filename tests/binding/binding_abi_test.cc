#include "binding/binding_abi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace Voro {
namespace {

constexpr std::string_view kIncompatible =
    "Couldn't assign value to '%1' of type object because the input is of an incompatible "
    "type '%2'.";

std::string Incompatible(const std::string& name, const std::string& tag) {
  std::string message(kIncompatible);
  message.replace(message.find("%1"), 2, name);
  message.replace(message.find("%2"), 2, tag);
  return message;
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

class FakeEnumNames final : public EnumNameResolver {
 public:
  bool FindEnumValueName(uint32_t type_hash, int32_t value, std::string* name) const override {
    auto it = names_.find({type_hash, value});
    if (it == names_.end()) return false;
    *name = it->second;
    return true;
  }
  std::map<std::pair<uint32_t, int32_t>, std::string> names_;
};

TEST(BindingAbiTest, RecordLayoutMatchesTheHost) {
  EXPECT_EQ(offsetof(BindingAbiValue, payload), 8u);
  if (sizeof(void*) == 4) {
    EXPECT_EQ(sizeof(BindingAbiValue), 16u);
    EXPECT_EQ(sizeof(BindingAbiStructEntry), 32u);
    EXPECT_EQ(offsetof(BindingAbiError, message), 16u);
    EXPECT_EQ(offsetof(BindingAbiError, failed), 20u);
  }
}

TEST(BindingAbiTest, NamesTheHostTags) {
  const char* expected[] = {"",       "bool", "signed", "unsigned",   "float",    "string",
                            "string", "blob", "blob",   "collection", "structure"};
  for (uint32_t tag = 0; tag <= 10; ++tag) {
    EXPECT_EQ(BindingAbiTagName(tag), expected[tag]);
  }
  EXPECT_EQ(BindingAbiTagName(11), "");
}

TEST(BindingAbiTest, ScalarsMapOneToOne) {
  BindingProperty value;
  BindingAbiValue abi;
  value = true;
  ToAbiValue(value, &abi);
  EXPECT_EQ(abi.tag, uint32_t{KIV_ABI_BOOL});
  EXPECT_EQ(abi.payload.boolean, 1);
  value = int64_t{-5};
  ToAbiValue(value, &abi);
  EXPECT_EQ(abi.tag, uint32_t{KIV_ABI_SIGNED});
  EXPECT_EQ(abi.payload.i64, -5);
  value = uint64_t{UINT64_MAX};
  ToAbiValue(value, &abi);
  EXPECT_EQ(abi.tag, uint32_t{KIV_ABI_UNSIGNED});
  EXPECT_EQ(abi.payload.u64, UINT64_MAX);
  value = 0.125;
  ToAbiValue(value, &abi);
  EXPECT_EQ(abi.tag, uint32_t{KIV_ABI_DOUBLE});
  EXPECT_EQ(abi.payload.f64, 0.125);
  value.Reset();
  ToAbiValue(value, &abi);
  EXPECT_TRUE(IsZero(abi));
}

TEST(BindingAbiTest, StringsBlobsAndKeysAreOwnedCopies) {
  BindingProperty value;
  value["name"] = "text";
  value["bytes"] = std::vector<uint8_t>{0, 1, 2};
  value["empty"] = "";
  BindingAbiValue abi;
  ToAbiValue(value, &abi);
  ASSERT_EQ(abi.tag, uint32_t{KIV_ABI_STRUCTURE});
  ASSERT_EQ(abi.payload.ref.count, 3u);
  const auto* entries = static_cast<const BindingAbiStructEntry*>(abi.payload.ref.pointer);
  // Ascending key order.
  EXPECT_STREQ(entries[0].key, "bytes");
  EXPECT_STREQ(entries[1].key, "empty");
  EXPECT_STREQ(entries[2].key, "name");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(entries[i].owned_key, 1);
  }
  EXPECT_EQ(entries[0].value.tag, uint32_t{KIV_ABI_BLOB_OWNED});
  EXPECT_EQ(entries[0].value.payload.ref.count, 3u);
  EXPECT_EQ(std::memcmp(entries[0].value.payload.ref.pointer, "\0\1\2", 3), 0);
  EXPECT_EQ(entries[1].value.tag, uint32_t{KIV_ABI_STRING_OWNED});
  EXPECT_STREQ(static_cast<const char*>(entries[1].value.payload.ref.pointer), "");
  EXPECT_EQ(entries[2].value.tag, uint32_t{KIV_ABI_STRING_OWNED});
  EXPECT_EQ(entries[2].value.payload.ref.count, 4u);
  EXPECT_NE(entries[2].value.payload.ref.pointer, value["name"].GetString().data());
  EXPECT_STREQ(static_cast<const char*>(entries[2].value.payload.ref.pointer), "text");
  ReleaseAbiValue(&abi);
  EXPECT_TRUE(IsZero(abi));
}

TEST(BindingAbiTest, EnumsAreSignedUnlessTheRegistryNamesThem) {
  BindingProperty value;
  value = BindingEnum{-2, 0x1234};
  BindingAbiValue abi;
  ToAbiValue(value, &abi);
  EXPECT_EQ(abi.tag, uint32_t{KIV_ABI_SIGNED});
  EXPECT_EQ(abi.payload.i64, -2);

  FakeEnumNames names;
  names.names_[{0x1234, 1}] = "ONE";
  ToAbiValue(value, &abi, &names);  // value -2 is not named: still signed
  EXPECT_EQ(abi.tag, uint32_t{KIV_ABI_SIGNED});
  value = BindingEnum{1, 0x9999};  // type unknown
  ToAbiValue(value, &abi, &names);
  EXPECT_EQ(abi.tag, uint32_t{KIV_ABI_SIGNED});
  EXPECT_EQ(abi.payload.i64, 1);
  value = BindingEnum{1, 0x1234};
  ToAbiValue(value, &abi, &names);
  EXPECT_EQ(abi.tag, uint32_t{KIV_ABI_STRING_OWNED});
  EXPECT_STREQ(static_cast<const char*>(abi.payload.ref.pointer), "ONE");
  EXPECT_EQ(abi.payload.ref.count, 3u);
  ReleaseAbiValue(&abi);
}

TEST(BindingAbiTest, EveryTagRoundTrips) {
  BindingProperty value;
  value["bool"] = true;
  value["signed"] = int64_t{-7};
  value["unsigned"] = uint64_t{7};
  value["float"] = -1.25;
  value["string"] = "s";
  value["blob"] = std::vector<uint8_t>{9, 8};
  value["empty-blob"] = std::vector<uint8_t>{};
  value["empty"].Reset();
  value["list"][0] = 1;
  value["list"][1]["nested"][0] = "deep";
  value["list"][2].MakeCollection();
  value["record"].MakeStructure();
  BindingAbiValue abi;
  ToAbiValue(value, &abi);
  BindingProperty back;
  BindingAbiError error = {};
  ASSERT_TRUE(FromAbiValue(abi, "<result>", &back, &error));
  EXPECT_EQ(error.failed, 0u);
  EXPECT_EQ(error.message, nullptr);
  EXPECT_TRUE(back == value);
  ReleaseAbiValue(&abi);
  EXPECT_TRUE(IsZero(abi));
}

TEST(BindingAbiTest, ReadsBorrowedHostRecords) {
  const char text[] = "borrowed";
  const uint8_t bytes[] = {1, 2, 3, 4};
  BindingAbiValue elements[] = {
      Ref(KIV_ABI_STRING_BORROWED, text, 2),  // the count is ignored for texts
      Ref(KIV_ABI_BLOB_BORROWED, bytes, 3),
      Ref(KIV_ABI_STRING_BORROWED, nullptr, 5),
      Ref(KIV_ABI_BLOB_OWNED, nullptr, 5),
  };
  BindingAbiStructEntry entries[2] = {};
  entries[0].key = "list";
  entries[0].value = Ref(KIV_ABI_COLLECTION, elements, 4);
  entries[1].key = nullptr;
  entries[1].value = Signed(3);
  const BindingAbiValue root = Ref(KIV_ABI_STRUCTURE, entries, 2);

  BindingResult result = FromAbiValue(root, "<result>");
  ASSERT_TRUE(result.ok()) << result.error();
  const BindingProperty& v = result.value();
  EXPECT_EQ(v["list"][0].GetString(), "borrowed");
  EXPECT_EQ(v["list"][1].GetBlob(), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(v["list"][2].type(), BindingType::kString);
  EXPECT_EQ(v["list"][2].size(), 0u);
  EXPECT_EQ(v["list"][3].type(), BindingType::kBlob);
  EXPECT_EQ(v["list"][3].size(), 0u);
  EXPECT_EQ(v[""].GetSigned(), 3);
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
  EXPECT_EQ(std::string(error.message), Incompatible("<result>", ""));
  EXPECT_EQ(std::string(error.message),
            "Couldn't assign value to '<result>' of type object because the input is of an "
            "incompatible type ''.");
  EXPECT_TRUE(IsZero(error.value));
  ReleaseAbiError(&error);
  EXPECT_EQ(error.message, nullptr);
  EXPECT_EQ(error.failed, 0u);

  BindingResult result = FromAbiValue(bad, "payload");
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error(), Incompatible("payload", ""));
}

TEST(BindingAbiTest, ElementsConvertedBeforeAFailureStay) {
  BindingAbiValue bad = {};
  bad.tag = 0xFFFFFFFFu;
  BindingAbiValue elements[] = {Signed(1), Signed(2), bad, Signed(4)};
  const BindingAbiValue list = Ref(KIV_ABI_COLLECTION, elements, 4);
  BindingProperty out;
  BindingAbiError error = {};
  EXPECT_FALSE(FromAbiValue(list, "items", &out, &error));
  EXPECT_EQ(std::string(error.message), Incompatible("items", ""));
  ASSERT_EQ(out.type(), BindingType::kCollection);
  EXPECT_EQ(out[0].GetSigned(), 1);
  EXPECT_EQ(out[1].GetSigned(), 2);
  EXPECT_EQ(out.Element(2).type(), BindingType::kEmpty);
  EXPECT_EQ(out.size(), 3u);  // the fourth was never reached
  ReleaseAbiError(&error);
}

TEST(BindingAbiTest, StructureEntriesInAnyOrderReadInKeyOrderAndTheLastRepeatWins) {
  BindingAbiValue bad = {};
  bad.tag = 0xFFFFFFFFu;
  BindingAbiStructEntry entries[5] = {};
  const char* keys[] = {"c", "a", "c", "b", "d"};
  const BindingAbiValue values[] = {Signed(1), Signed(2), Signed(3), Signed(4), bad};
  for (int i = 0; i < 5; ++i) {
    entries[i].key = keys[i];
    entries[i].value = values[i];
  }
  // Complete: the fields read in key order, "c" with its later value.
  BindingProperty whole;
  BindingAbiError error = {};
  ASSERT_TRUE(FromAbiValue(Ref(KIV_ABI_STRUCTURE, entries, 4), "s", &whole, &error));
  std::vector<std::pair<std::string, int64_t>> fields;
  for (const auto& field : whole.Fields()) fields.emplace_back(field.key, field.value.GetSigned());
  EXPECT_EQ(fields, (std::vector<std::pair<std::string, int64_t>>{{"a", 2}, {"b", 4}, {"c", 3}}));
  // Failing on the fifth entry: what was converted is just as readable.
  BindingProperty partial;
  EXPECT_FALSE(FromAbiValue(Ref(KIV_ABI_STRUCTURE, entries, 5), "s", &partial, &error));
  EXPECT_EQ(partial.size(), 4u);  // "d" holds the empty value it was given before failing
  EXPECT_EQ(partial.Field("c").GetSigned(), 3);
  EXPECT_EQ(partial.FindField("d")->type(), BindingType::kEmpty);
  ReleaseAbiError(&error);
}

TEST(BindingAbiTest, ConvertingIntoAContainerReplacesItsOldContent) {
  BindingProperty out;
  out[5] = 1;
  BindingAbiValue elements[] = {Signed(9)};
  BindingAbiError error = {};
  ASSERT_TRUE(FromAbiValue(Ref(KIV_ABI_COLLECTION, elements, 1), "x", &out, &error));
  EXPECT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].GetSigned(), 9);
}

// A chain of `depth` nested collections built the way a host would, innermost empty.
class HostChain {
 public:
  explicit HostChain(size_t depth) : values_(depth) {
    for (size_t i = 0; i < depth; ++i) {
      values_[i] = i + 1 < depth ? Ref(KIV_ABI_COLLECTION, &values_[i + 1], 1)
                                 : Ref(KIV_ABI_COLLECTION, nullptr, 0);
    }
  }
  const BindingAbiValue& root() const { return values_[0]; }

 private:
  std::vector<BindingAbiValue> values_;
};

TEST(BindingAbiTest, NestingIsLimitedToAThousandLevels) {
  BindingProperty out;
  BindingAbiError error = {};
  EXPECT_TRUE(FromAbiValue(HostChain(1000).root(), "<result>", &out, &error));
  EXPECT_EQ(error.failed, 0u);
  EXPECT_FALSE(FromAbiValue(HostChain(1001).root(), "<result>", &out, &error));
  EXPECT_EQ(error.failed, 1u);
  EXPECT_EQ(std::string(error.message),
            "Couldn't assign value to '<result>' because it is nested deeper than 1000 levels.");
  ReleaseAbiError(&error);
  // Far deeper input fails the same way, without touching the stack.
  EXPECT_FALSE(FromAbiValue(HostChain(200000).root(), "x", &out, &error));
  EXPECT_EQ(error.failed, 1u);
  ReleaseAbiError(&error);
}

TEST(BindingAbiTest, ACollectionClaimingTooManyElementsFails) {
  BindingAbiValue one = Signed(1);
  const BindingAbiValue huge = Ref(KIV_ABI_COLLECTION, &one, 0xFFFFFFFFu);
  BindingResult result = FromAbiValue(huge, "list");
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error(), Incompatible("list", "collection"));
}

TEST(BindingAbiTest, DeepTreesConvertAndReleaseWithoutRecursion) {
  constexpr int kDepth = 100000;
  BindingProperty root;
  BindingProperty* node = &root;
  for (int i = 0; i < kDepth; ++i) node = (i % 2 == 0) ? &(*node)["k"] : &(*node)[0];
  *node = "bottom";
  BindingAbiValue abi;
  ToAbiValue(root, &abi);
  // Walk down to check the shape.
  const BindingAbiValue* v = &abi;
  for (int i = 0; i < kDepth; ++i) {
    if (i % 2 == 0) {
      ASSERT_EQ(v->tag, uint32_t{KIV_ABI_STRUCTURE});
      v = &static_cast<const BindingAbiStructEntry*>(v->payload.ref.pointer)[0].value;
    } else {
      ASSERT_EQ(v->tag, uint32_t{KIV_ABI_COLLECTION});
      v = &static_cast<const BindingAbiValue*>(v->payload.ref.pointer)[0];
    }
  }
  EXPECT_STREQ(static_cast<const char*>(v->payload.ref.pointer), "bottom");
  ReleaseAbiValue(&abi);
  EXPECT_TRUE(IsZero(abi));
}

TEST(BindingAbiTest, ReleaseLeavesBorrowedMemoryAlone) {
  static const char text[] = "static";
  auto* elements = static_cast<BindingAbiValue*>(std::calloc(2, sizeof(BindingAbiValue)));
  elements[0] = Ref(KIV_ABI_STRING_BORROWED, text, 6);
  char* owned = static_cast<char*>(std::malloc(2));
  owned[0] = 'x';
  owned[1] = '\0';
  elements[1] = Ref(KIV_ABI_STRING_OWNED, owned, 1);
  auto* entries =
      static_cast<BindingAbiStructEntry*>(std::calloc(2, sizeof(BindingAbiStructEntry)));
  entries[0].key = "borrowed key";
  entries[0].value = Ref(KIV_ABI_COLLECTION, elements, 2);
  char* key = static_cast<char*>(std::malloc(4));
  std::memcpy(key, "own", 4);
  entries[1].key = key;
  entries[1].owned_key = 1;
  BindingAbiValue root = Ref(KIV_ABI_STRUCTURE, entries, 2);
  // Under the sanitizers, a wrong free or a leak here fails the run.
  ReleaseAbiValue(&root);
  EXPECT_TRUE(IsZero(root));
}

}  // namespace
}  // namespace Voro
