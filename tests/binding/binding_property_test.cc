#include "binding/binding_property.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "binding/binding_result.h"
#include "binding/binding_storage.h"
#include "binding/page_source.h"

namespace Voro {
namespace {

std::vector<std::string> Keys(const BindingProperty& value) {
  std::vector<std::string> keys;
  for (const auto& field : value.Fields()) keys.emplace_back(field.key);
  return keys;
}

// References to `text` held in the tree's string table (0 when it is not interned).
uint32_t Refs(const BindingProperty& root, std::string_view text) {
  if (root.storage() == nullptr) return 0;
  const InternedString* entry = root.storage()->strings().Find(text);
  return entry == nullptr ? 0 : entry->refs();
}

TEST(BindingTypeTest, NamesTheTenTags) {
  const char* expected[] = {"empty",  "bool", "signed", "unsigned",   "float",
                            "string", "blob", "enum",   "collection", "structure"};
  for (uint32_t tag = 0; tag < 10; ++tag) {
    EXPECT_EQ(BindingTypeName(tag), expected[tag]);
  }
  EXPECT_EQ(BindingTypeName(10), "");
  EXPECT_EQ(BindingTypeName(255), "");
  EXPECT_EQ(BindingTypeName(BindingType::kStructure), "structure");
}

TEST(BindingPropertyTest, AFreshValueIsAnEmptyRootWithoutStorage) {
  BindingProperty value;
  EXPECT_EQ(value.type(), BindingType::kEmpty);
  EXPECT_EQ(value.size(), 0u);
  EXPECT_EQ(value.ToString(), "");
  EXPECT_TRUE(value.is_root());
  EXPECT_EQ(value.storage(), nullptr);
  if (sizeof(void*) == 4) {
    EXPECT_EQ(sizeof(BindingProperty), 16u);
  }
}

TEST(BindingPropertyTest, SettersChooseTheTag) {
  BindingProperty v;
  v = true;
  EXPECT_EQ(v.type(), BindingType::kBool);
  EXPECT_TRUE(v.GetBool());
  v = int8_t{-1};
  EXPECT_EQ(v.type(), BindingType::kSigned);
  EXPECT_EQ(v.GetSigned(), -1);
  v = int16_t{-300};
  EXPECT_EQ(v.GetSigned(), -300);
  v = int32_t{-70000};
  EXPECT_EQ(v.GetSigned(), -70000);
  v = uint32_t{0xFFFFFFFFu};
  EXPECT_EQ(v.type(), BindingType::kUnsigned);
  EXPECT_EQ(v.GetUnsigned(), 0xFFFFFFFFull);
  v = int64_t{INT64_MIN};
  EXPECT_EQ(v.GetSigned(), INT64_MIN);
  v = uint64_t{UINT64_MAX};
  EXPECT_EQ(v.GetUnsigned(), UINT64_MAX);
  v = 1.5f;
  EXPECT_EQ(v.type(), BindingType::kFloat);
  EXPECT_EQ(v.GetFloat(), 1.5);
  v = "text";
  EXPECT_EQ(v.type(), BindingType::kString);
  EXPECT_EQ(v.GetString(), "text");
  EXPECT_EQ(v.size(), 4u);
  v = static_cast<const char*>(nullptr);
  EXPECT_EQ(v.type(), BindingType::kString);
  EXPECT_EQ(v.GetString("default"), "");
  v = std::vector<uint8_t>{1, 2, 3};
  EXPECT_EQ(v.type(), BindingType::kBlob);
  EXPECT_EQ(v.size(), 3u);
  v = BindingEnum{-4, 0xABCDEF01u};
  EXPECT_EQ(v.type(), BindingType::kEnum);
  EXPECT_EQ(v.GetEnum(), (BindingEnum{-4, 0xABCDEF01u}));
  EXPECT_EQ(v.size(), 1u);
  v.Reset();
  EXPECT_EQ(v.type(), BindingType::kEmpty);
  EXPECT_NE(v.storage(), nullptr);  // reset keeps the storage
}

TEST(BindingPropertyTest, StrictReadersReturnTheDefaultForAnyOtherTag) {
  BindingProperty v;
  v = uint64_t{7};
  EXPECT_EQ(v.GetSigned(-1), -1);
  EXPECT_EQ(v.GetUnsigned(0), 7u);
  EXPECT_FALSE(v.GetBool(false));
  EXPECT_EQ(v.GetFloat(2.0), 2.0);
  EXPECT_EQ(v.GetString("d"), "d");
  const std::vector<uint8_t> def{9};
  EXPECT_EQ(&v.GetBlob(def), &def);
  EXPECT_EQ(v.GetEnum({3, 4}), (BindingEnum{3, 4}));
  v = "1";
  EXPECT_FALSE(v.GetBool());
  EXPECT_EQ(v.GetSigned(), 0);
}

TEST(BindingPropertyTest, TheBlobSetterTakesAnRvalueVectorsBytes) {
  BindingProperty v;
  std::vector<uint8_t> bytes(1000, 7);
  const uint8_t* data = bytes.data();
  v.SetBlob(std::move(bytes));
  EXPECT_EQ(v.GetBlob().data(), data);
  std::vector<uint8_t> copied(10, 1);
  v.SetBlob(copied);
  EXPECT_NE(v.GetBlob().data(), copied.data());
  EXPECT_EQ(v.GetBlob(), copied);
  v.SetBlob(nullptr, 5);
  EXPECT_EQ(v.size(), 0u);
}

TEST(BindingPropertyTest, MutableElementAccessGrowsACollection) {
  BindingProperty v;
  v[3] = 1;
  EXPECT_EQ(v.type(), BindingType::kCollection);
  ASSERT_EQ(v.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(v[i].type(), BindingType::kEmpty);
  }
  EXPECT_FALSE(v[0].is_root());
  EXPECT_EQ(v[0].storage(), v.storage());
  v.Append() = "x";
  EXPECT_EQ(v.size(), 5u);
  EXPECT_EQ(v.Element(4).GetString(), "x");
  // Mutable access to another type replaces it.
  BindingProperty s;
  s = "text";
  s[0] = 1;
  EXPECT_EQ(s.type(), BindingType::kCollection);
  EXPECT_EQ(s.size(), 1u);
}

TEST(BindingPropertyTest, ConstAccessNeverChangesTheValue) {
  BindingProperty structure;
  structure["a"] = 1;
  const BindingProperty& c = structure;
  EXPECT_EQ(&c["missing"], &BindingProperty::EmptyValue());
  EXPECT_EQ(&c[0], &BindingProperty::EmptyValue());
  EXPECT_EQ(structure.size(), 1u);
  EXPECT_EQ(c.FindField("missing"), nullptr);
  EXPECT_EQ(c.FindField("a")->GetSigned(), 1);

  BindingProperty text;
  text = "abc";
  const BindingProperty& t = text;
  EXPECT_EQ(&t["a"], &BindingProperty::EmptyValue());
  EXPECT_EQ(&t[2], &BindingProperty::EmptyValue());
  EXPECT_EQ(text.GetString(), "abc");

  BindingProperty list;
  list[1] = 2;
  const BindingProperty& l = list;
  EXPECT_EQ(&l[2], &BindingProperty::EmptyValue());
  EXPECT_EQ(&l[static_cast<size_t>(-1)], &BindingProperty::EmptyValue());
  EXPECT_EQ(l[1].GetSigned(), 2);
  EXPECT_EQ(list.size(), 2u);

  const BindingProperty& empty = BindingProperty::EmptyValue();
  EXPECT_EQ(empty.type(), BindingType::kEmpty);
  EXPECT_EQ(empty.storage(), nullptr);
  EXPECT_TRUE(empty.Fields().empty());
  EXPECT_TRUE(empty.Elements().empty());
}

TEST(BindingPropertyTest, FieldsIterateInByteOrderOfTheirNames) {
  BindingProperty v;
  v["b"] = 1;
  v["a"] = 2;
  v["B"] = 3;
  EXPECT_EQ(Keys(v), (std::vector<std::string>{"B", "a", "b"}));

  BindingProperty w;
  for (const char* key : {"\xC3\xA9", "z", "ab", "a", "", "a b", "\x7F"}) w[key] = key;
  w[std::string_view("a\0", 2)] = 0;
  EXPECT_EQ(Keys(w), (std::vector<std::string>{"", "a", std::string("a\0", 2), "a b", "ab", "z",
                                               "\x7F", "\xC3\xA9"}));
  std::vector<std::string> values;
  for (const auto& [key, value] : w.Fields()) values.emplace_back(value.ToString());
  EXPECT_EQ(values.front(), "");
  EXPECT_EQ(values.back(), "\xC3\xA9");
  // Mutable access to an existing field finds it.
  w["z"] = 5;
  EXPECT_EQ(w.size(), 8u);
  EXPECT_EQ(w.Field("z").GetSigned(), 5);
}

TEST(BindingPropertyTest, AscendingDescendingAndMixedInsertionGiveTheSameFields) {
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) names.push_back("k" + std::to_string(i * 7919 % 1000));
  std::sort(names.begin(), names.end());
  BindingProperty ascending;
  for (const std::string& name : names) ascending[name] = name;
  BindingProperty descending;
  for (auto it = names.rbegin(); it != names.rend(); ++it) descending[*it] = *it;
  BindingProperty mixed;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = i % 2 == 0 ? names[i / 2] : names[names.size() - 1 - i / 2];
    mixed[name] = name;
  }
  EXPECT_EQ(Keys(ascending), names);
  EXPECT_EQ(Keys(descending), names);
  EXPECT_EQ(Keys(mixed), names);
  EXPECT_EQ(ascending, descending);
  EXPECT_EQ(ascending, mixed);

  // The last key again, and a key equal to the last one's prefix, are found or placed
  // correctly although they do not ascend.
  const std::string last = names.back();
  ascending[last] = 1;
  EXPECT_EQ(ascending.size(), names.size());
  EXPECT_EQ(ascending.Field(last).GetSigned(), 1);
  ascending["k"] = 2;
  EXPECT_EQ(ascending.size(), names.size() + 1);
  EXPECT_EQ(Keys(ascending).front(), "k");
  // Finding an existing key gives the extra reference back: only the key holds it now
  // that its string value was replaced.
  const InternedString* entry = ascending.storage()->strings().Find(last);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->refs(), 1u);
}

TEST(BindingPropertyTest, AFieldsReferenceSurvivesTheInsertionOfOtherFields) {
  BindingProperty v;
  BindingProperty& middle = v["m"];
  middle = "kept";
  for (int i = 0; i < 200; ++i) {
    v["a" + std::to_string(i)] = i;  // before "m": every later slot moves
    v["z" + std::to_string(i)] = i;
  }
  EXPECT_EQ(&v["m"], &middle);
  middle["inner"] = 1;
  EXPECT_EQ(v.Field("m").Field("inner").GetSigned(), 1);
  EXPECT_EQ(v.size(), 401u);
}

TEST(BindingPropertyTest, AppendedFieldsAreOrderedAndTheLastOfARepeatedKeyWins) {
  BindingProperty v;
  StringInternTable& strings = v.strings();
  SmallObjectAllocator& allocator = v.storage()->allocator();
  const size_t empty_tree_slots = allocator.slots_in_use();
  // A repeated key whose earlier value is a structure: the structure must go entirely.
  v.AppendField("d").MutableField("inner") = "dropped text";
  v.AppendField(strings.Intern("b")) = 2;
  v.AppendField("d") = 1;
  BindingProperty& a = v.AppendField("a");
  v.AppendField(strings.Intern("b")) = 4;
  a = 3;  // references stay valid across appends
  v.FinishFields();
  EXPECT_EQ(Keys(v), (std::vector<std::string>{"a", "b", "d"}));
  EXPECT_EQ(v.Field("a").GetSigned(), 3);
  EXPECT_EQ(v.Field("b").GetSigned(), 4);
  EXPECT_EQ(v.Field("d").GetSigned(), 1);
  EXPECT_EQ(Refs(v, "b"), 1u);
  EXPECT_EQ(Refs(v, "d"), 1u);
  EXPECT_EQ(Refs(v, "inner"), 0u);
  EXPECT_EQ(Refs(v, "dropped text"), 0u);
  // Appending after a finish, in order: nothing to sort.
  v.AppendField("e") = 5;
  v.FinishFields();
  EXPECT_EQ(Keys(v), (std::vector<std::string>{"a", "b", "d", "e"}));
  // Nothing of the dropped values is left behind once the tree is emptied.
  v.Reset();
  EXPECT_EQ(allocator.slots_in_use(), empty_tree_slots);
}

TEST(BindingPropertyTest, ManyFieldsAppendedInReverseWithRepeatsFinishInOrder) {
  BindingProperty v;
  constexpr int kKeys = 1000;
  for (int round = 0; round < 2; ++round) {
    for (int i = kKeys; i-- > 0;) {
      v.AppendField("k" + std::to_string(10000 + i)) = round * kKeys + i;
    }
  }
  v.FinishFields();
  ASSERT_EQ(v.size(), size_t{kKeys});
  int i = 0;
  for (const auto& field : v.Fields()) {
    EXPECT_EQ(field.key, "k" + std::to_string(10000 + i));
    EXPECT_EQ(field.value.GetSigned(), kKeys + i);  // the second round's value
    ++i;
  }
  EXPECT_EQ(Refs(v, "k10000"), 1u);
}

TEST(BindingPropertyTest, AppendFieldMakesAStructureAndFinishFieldsIgnoresOtherTags) {
  BindingProperty v;
  v = 7;
  v.FinishFields();
  EXPECT_EQ(v.GetSigned(), 7);
  v.AppendField("") = 1;
  ASSERT_EQ(v.type(), BindingType::kStructure);
  v.FinishFields();
  EXPECT_EQ(Keys(v), (std::vector<std::string>{""}));
}

TEST(BindingPropertyTest, ReserveFieldsGrowsOnlyStructuresAndRejectsHugeSizes) {
  BindingProperty list;
  list.MakeCollection();
  list.ReserveFields(10);
  EXPECT_EQ(list.type(), BindingType::kCollection);
  BindingProperty v;
  v.MakeStructure();
  v.ReserveFields(100);
  for (int i = 0; i < 100; ++i) v["k" + std::to_string(1000 + i)] = i;
  EXPECT_EQ(v.size(), 100u);
  EXPECT_EQ(v.Field("k1042").GetSigned(), 42);
  EXPECT_THROW(v.ReserveFields(BindingProperty::kMaxCollectionSize + 1), std::length_error);
  EXPECT_EQ(v.size(), 100u);
}

TEST(BindingPropertyTest, MakeCollectionAndMakeStructureKeepTheirOwnKind) {
  BindingProperty v;
  v[0] = 1;
  v.MakeCollection();
  EXPECT_EQ(v.size(), 1u);
  v.MakeStructure();
  EXPECT_EQ(v.type(), BindingType::kStructure);
  EXPECT_EQ(v.size(), 0u);
  v["k"] = 1;
  v.MakeStructure();
  EXPECT_EQ(v.size(), 1u);
  v.MakeCollection();
  EXPECT_EQ(v.size(), 0u);
}

TEST(BindingPropertyTest, ReserveGrowsOnlyCollectionsAndRejectsHugeSizes) {
  BindingProperty v;
  v.Reserve(size_t{1} << 40);  // not a collection: nothing happens
  EXPECT_EQ(v.type(), BindingType::kEmpty);
  v.MakeCollection();
  v.Reserve(100);
  v[0] = 1;
  const BindingProperty* first = &v[0];
  for (int i = 1; i < 100; ++i) v[i] = i;
  EXPECT_EQ(&v[0], first);  // reserved capacity: no reallocation
  EXPECT_THROW(v.Reserve(BindingProperty::kMaxCollectionSize + 1), std::length_error);
  EXPECT_THROW(v[BindingProperty::kMaxCollectionSize], std::length_error);
  EXPECT_EQ(v.size(), 100u);
}

TEST(BindingPropertyTest, SizeFollowsTheTag) {
  BindingProperty v;
  v = false;
  EXPECT_EQ(v.size(), 1u);
  v = 0.0;
  EXPECT_EQ(v.size(), 1u);
  v = "";
  EXPECT_EQ(v.size(), 0u);
  v = "\xC3\xA9";
  EXPECT_EQ(v.size(), 2u);
  v = std::vector<uint8_t>(17);
  EXPECT_EQ(v.size(), 17u);
  v["a"]["b"] = 1;
  v["c"] = 1;
  EXPECT_EQ(v.size(), 2u);
}

TEST(BindingPropertyTest, StringsAreInternedAndCounted) {
  BindingProperty root;
  root["name"] = "shared";
  root["other"] = "shared";
  root["list"][0] = "shared";
  EXPECT_EQ(Refs(root, "shared"), 3u);
  EXPECT_EQ(Refs(root, "name"), 1u);  // keys are interned too
  root["list"][0]["shared"] = 1;      // a key with the same text shares the entry
  EXPECT_EQ(Refs(root, "shared"), 3u);
  root["other"] = 5;
  EXPECT_EQ(Refs(root, "shared"), 2u);
  root["list"].Reset();
  EXPECT_EQ(Refs(root, "shared"), 1u);
  root["name"].Reset();
  EXPECT_EQ(root.storage()->strings().Find("shared"), nullptr);
  // The empty string never enters the table.
  const size_t before = root.storage()->strings().size();
  root["e"] = "";
  root[""] = "";
  EXPECT_EQ(root.storage()->strings().size(), before + 1);  // only the key "e"
  EXPECT_EQ(root.Field("e").GetString("x"), "");
  BindingProperty fresh;
  fresh = "";
  EXPECT_EQ(fresh.storage(), nullptr);
}

TEST(BindingPropertyTest, SettingAStringFromItsOwnTextIsSafe) {
  BindingProperty v;
  v = "only reference";
  v.SetString(v.GetString());
  EXPECT_EQ(v.GetString(), "only reference");
  v["a"] = "child text";
  v.SetString(v["a"].GetString());
  EXPECT_EQ(v.GetString(), "child text");
}

TEST(BindingPropertyTest, CopiesAreDeepAndUseTheirOwnStorage) {
  BindingProperty root;
  root["a"][2]["b"] = "text";
  root["blob"] = std::vector<uint8_t>{1, 2};
  root["enum"] = BindingEnum{1, 2};
  root["f"] = 0.5;
  BindingProperty copy(root);
  EXPECT_TRUE(copy == root);
  EXPECT_NE(copy.storage(), root.storage());
  EXPECT_EQ(Refs(copy, "text"), 1u);
  copy["a"][2]["b"] = "changed";
  EXPECT_EQ(root["a"][2]["b"].GetString(), "text");
  EXPECT_FALSE(copy == root);

  BindingProperty element_copy = root["a"];  // copy of an element: a new root
  EXPECT_TRUE(element_copy.is_root());
  EXPECT_EQ(element_copy.size(), 3u);
  EXPECT_NE(element_copy.storage(), root.storage());
}

TEST(BindingPropertyTest, CopyAssignmentWithinOneTree) {
  BindingProperty root;
  root["a"]["b"] = "x";
  root["c"] = 1;
  root["a"]["self"] = root;  // a copy of the tree (with the new, empty "self") into its child
  EXPECT_EQ(root["a"]["self"]["a"]["self"].type(), BindingType::kEmpty);
  EXPECT_EQ(root["a"]["self"]["a"]["b"].GetString(), "x");
  EXPECT_EQ(root["a"]["self"]["c"].GetSigned(), 1);
  root = root["a"]["self"]["a"];  // a descendant copied over its ancestor
  EXPECT_EQ(Keys(root), (std::vector<std::string>{"b", "self"}));
  EXPECT_EQ(root["b"].GetString(), "x");
  root["list"][0] = 1;
  root["list"][1] = root["list"];
  EXPECT_EQ(root["list"][1][0].GetSigned(), 1);
  EXPECT_EQ(root["list"][1][1].type(), BindingType::kEmpty);
  const BindingProperty& alias = root;
  root = alias;  // self-assignment is a no-op
  EXPECT_EQ(root["b"].GetString(), "x");
}

TEST(BindingPropertyTest, MovingARootIntoARootExchangesStorage) {
  BindingProperty a;
  a["k"] = "v";
  BindingStorage* a_storage = a.storage();
  BindingProperty b;
  b = 1;  // no storage needed
  b = std::move(a);
  EXPECT_EQ(b.storage(), a_storage);
  EXPECT_EQ(b["k"].GetString(), "v");
  EXPECT_EQ(a.type(), BindingType::kEmpty);  // NOLINT: reset after the move
  EXPECT_EQ(a.storage(), nullptr);

  BindingProperty c;
  c = "c-text";
  BindingStorage* c_storage = c.storage();
  c = std::move(b);
  EXPECT_EQ(c.storage(), a_storage);
  EXPECT_EQ(b.storage(), c_storage);  // NOLINT: the source got the old storage back, emptied
  EXPECT_EQ(b.type(), BindingType::kEmpty);
  EXPECT_EQ(Refs(b, "c-text"), 0u);

  BindingProperty d(std::move(c));
  EXPECT_EQ(d.storage(), a_storage);
  EXPECT_EQ(c.storage(), nullptr);  // NOLINT
}

TEST(BindingPropertyTest, MovingAnElementCopiesItAndEmptiesTheElement) {
  BindingProperty tree;
  tree["list"][0]["x"] = "value";
  BindingProperty root;
  root = std::move(tree["list"][0]);
  EXPECT_NE(root.storage(), tree.storage());
  EXPECT_EQ(root["x"].GetString(), "value");
  EXPECT_EQ(tree["list"].size(), 1u);
  EXPECT_EQ(tree["list"][0].type(), BindingType::kEmpty);
  EXPECT_EQ(Refs(tree, "value"), 0u);

  tree["list"][1] = "moved";
  BindingProperty constructed(std::move(tree["list"][1]));
  EXPECT_EQ(constructed.GetString(), "moved");
  EXPECT_EQ(tree["list"][1].type(), BindingType::kEmpty);

  // A root moved into an element is copied into the element's tree.
  BindingProperty source;
  source["y"] = 2;
  tree["slot"] = std::move(source);
  EXPECT_EQ(tree["slot"]["y"].GetSigned(), 2);
  EXPECT_EQ(tree["slot"].storage(), tree.storage());
  EXPECT_EQ(source.type(), BindingType::kEmpty);  // NOLINT
}

TEST(BindingPropertyTest, MovesWithinOneTree) {
  BindingProperty root;
  root["a"]["b"]["c"] = "deep";
  root["other"] = 1;
  root = std::move(root["a"]["b"]);  // descendant into ancestor
  EXPECT_EQ(Keys(root), (std::vector<std::string>{"c"}));
  EXPECT_EQ(root["c"].GetString(), "deep");

  root["x"]["y"] = 1;
  root["x"]["y"] = std::move(root["x"]);  // ancestor into descendant: the source ends empty
  EXPECT_EQ(root["x"].type(), BindingType::kEmpty);

  root["p"] = "moved sibling";
  root["q"] = std::move(root["p"]);
  EXPECT_EQ(root["q"].GetString(), "moved sibling");
  EXPECT_EQ(root["p"].type(), BindingType::kEmpty);
  EXPECT_EQ(Refs(root, "moved sibling"), 1u);
}

TEST(BindingPropertyTest, TeardownReturnsEveryRecord) {
  BindingProperty root;
  for (int i = 0; i < 500; ++i) {
    BindingProperty& item = root["list"][i];
    item["id"] = i;
    item["name"] = "item " + std::to_string(i);
    item["blob"] = std::vector<uint8_t>(i % 7, 1);
    item["kind"] = BindingEnum{i, 77};
    item["nested"]["list"][i % 5] = "x";
    // Wide structures keep their field slots on the heap.
    for (int f = 0; f < i % 40; ++f) item["wide"]["field" + std::to_string(f)] = f;
  }
  SmallObjectAllocator& allocator = root.storage()->allocator();
  EXPECT_GT(allocator.slots_in_use(), 1000u);
  root.Reset();
  // The grown bucket array of the string table lives on the heap: nothing is left.
  EXPECT_EQ(allocator.slots_in_use(), 0u);
  EXPECT_EQ(root.storage()->strings().size(), 0u);
  EXPECT_EQ(allocator.pages_held(), 0u);
}

TEST(BindingPropertyTest, DestroyingARootGivesBackEveryPage) {
  PageSource& pages = PageSource::Default();
  const size_t before = pages.pages_in_use();
  {
    BindingProperty root;
    for (int i = 0; i < 2000; ++i) {
      BindingProperty& item = root["items"][i];
      item["blob"] = std::vector<uint8_t>(100, static_cast<uint8_t>(i));
      item["list"][i % 10] = "text " + std::to_string(i);
      item["long"] = std::string(200, 'x') + std::to_string(i);
      for (int f = 0; f < i % 30; ++f) item["wide"]["field" + std::to_string(f)] = f;
    }
    // Some payloads are released before the root goes, some remain for its destruction.
    for (int i = 0; i < 2000; i += 3) root["items"][i].Reset();
    EXPECT_GT(pages.pages_in_use(), before);
  }
  // Heap-owning records are freed too; the sanitizer builds report any that are not.
  EXPECT_EQ(pages.pages_in_use(), before);
}

TEST(BindingPropertyTest, TreesOnSeveralThreadsShareThePageSource) {
  PageSource& pages = PageSource::Default();
  const size_t before = pages.pages_in_use();
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int round = 0; round < 20; ++round) {
        BindingProperty root;
        for (int i = 0; i < 300; ++i) root["list"][i]["v"] = "t" + std::to_string(t * 1000 + i);
        BindingProperty copy = root;
        EXPECT_TRUE(copy == root);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(pages.pages_in_use(), before);
}

TEST(BindingPropertyTest, DeepTreesCopyCompareAndDestroyWithoutRecursion) {
  constexpr int kDepth = 100000;
  BindingProperty root;
  BindingProperty* node = &root;
  for (int i = 0; i < kDepth; ++i) node = (i % 2 == 0) ? &(*node)["k"] : &(*node)[0];
  *node = "bottom";
  BindingProperty copy(root);
  EXPECT_TRUE(copy == root);
  BindingProperty moved;
  moved = std::move(copy["k"]);
  EXPECT_EQ(copy["k"].type(), BindingType::kEmpty);
  EXPECT_TRUE(moved == root["k"]);
  root = moved;
  EXPECT_TRUE(root == moved);
}

TEST(BindingPropertyTest, EqualityComparesTagsAndPayloads) {
  BindingProperty a;
  BindingProperty b;
  EXPECT_TRUE(a == b);
  a = int64_t{1};
  b = uint64_t{1};
  EXPECT_FALSE(a == b);
  a = BindingEnum{1, 2};
  b = BindingEnum{1, 3};
  EXPECT_FALSE(a == b);
  a["x"] = 1;
  b["y"] = 1;
  EXPECT_FALSE(a == b);
  b = a;
  EXPECT_TRUE(a == b);
  a[0] = std::vector<uint8_t>{1};
  b[0] = std::vector<uint8_t>{2};
  EXPECT_FALSE(a == b);
}

TEST(BindingResultTest, MakeErrorTurnsTheValueIntoAnErrorStructure) {
  BindingResult result;
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.error(), "");
  result.value()["data"] = 1;
  result.MakeError("went wrong");
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "went wrong");
  EXPECT_EQ(Keys(result.value()), (std::vector<std::string>{"error"}));
  // The message may come from the value itself.
  result.MakeError(result.error());
  EXPECT_EQ(result.error(), "went wrong");

  result.value()["error"] = 5;
  EXPECT_EQ(result.error(), "");
  result.value().Reset();
  EXPECT_EQ(result.error(), "");

  BindingResult failed = BindingResult::Error("bad");
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), "bad");
  BindingResult moved = std::move(failed);
  EXPECT_EQ(moved.error(), "bad");
}

TEST(BindingResultTest, AnEngagedOptionalMayHoldEmpty) {
  OptionalBindingProperty left_out;
  OptionalBindingProperty engaged_empty = BindingProperty();
  EXPECT_FALSE(left_out.has_value());
  ASSERT_TRUE(engaged_empty.has_value());
  EXPECT_EQ(engaged_empty->type(), BindingType::kEmpty);
}

}  // namespace
}  // namespace Voro
