#include "binding/value/binding_property.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "binding/value/binding_result.h"
#include "binding/value/binding_storage.h"
#include "binding/value/page_source.h"

namespace Voro {
namespace {

using Keys = std::vector<std::string>;
using Entries = std::vector<const InternedString*>;

Keys KeysOf(const BindingProperty& value) {
  Keys keys;
  for (const auto& field : value.Fields()) keys.emplace_back(field.key);
  return keys;
}

// "key=value," for each field, in the order the structure iterates them.
std::string FieldsText(const BindingProperty& value) {
  std::string text;
  for (const auto& [key, field] : value.Fields()) {
    text += std::string(key) + "=" + field.ToString() + ",";
  }
  return text;
}
template <typename Map>
std::string ModelText(const Map& model) {
  std::string text;
  for (const auto& [key, value] : model) text += key + "=" + std::to_string(value) + ",";
  return text;
}

// References to `text` held in the tree's string table (0 when it is not interned).
uint32_t Refs(const BindingProperty& root, std::string_view text) {
  if (root.storage() == nullptr) return 0;
  const InternedString* entry = root.storage()->strings().Find(text);
  return entry == nullptr ? 0 : entry->refs();
}

// The tree's table entries for `texts`, found or newly interned.
Entries Find(const BindingProperty& root, const Keys& texts) {
  Entries entries;
  for (const std::string& text : texts) entries.push_back(root.storage()->strings().Find(text));
  return entries;
}
Entries Intern(BindingProperty& root, const Keys& texts) {
  Entries entries;
  for (const std::string& text : texts) entries.push_back(root.strings().Intern(text));
  return entries;
}

// A value set over a string: every setter releases the old payload first.
template <typename T>
BindingProperty SetOverText(const T& value) {
  BindingProperty v;
  v = "replaced";
  v = value;
  return v;
}

TEST(BindingPropertyTest, SettersChooseTheTagAndTheSize) {
  BindingProperty blob = SetOverText(0);
  blob.SetBlob("\x01\x02", 2);
  BindingProperty no_blob = SetOverText(0);
  no_blob.SetBlob(nullptr, 5);
  BindingProperty structure = SetOverText(0);
  structure["a"]["b"] = structure["c"] = 1;
  BindingProperty reset = SetOverText("text");
  reset.Reset();  // keeps the storage
  const struct {
    BindingProperty value;
    BindingType type;
    size_t size;
    std::string text;  // ToString() of the value
  } rows[] = {
      {SetOverText(true), BindingType::kBool, 1, "true"},
      {SetOverText(int8_t{-1}), BindingType::kSigned, 1, "-1"},
      {SetOverText(INT64_MIN), BindingType::kSigned, 1, "-9223372036854775808"},
      {SetOverText(UINT32_MAX), BindingType::kUnsigned, 1, "4294967295"},
      {SetOverText(UINT64_MAX), BindingType::kUnsigned, 1, "18446744073709551615"},
      {SetOverText(1.5f), BindingType::kFloat, 1, "1.500000"},
      {SetOverText(0.0), BindingType::kFloat, 1, "0.000000"},
      {SetOverText("\xC3\xA9"), BindingType::kString, 2, "\xC3\xA9"},
      {SetOverText(static_cast<const char*>(nullptr)), BindingType::kString, 0, ""},
      {SetOverText(std::vector<uint8_t>{1, 2, 3}), BindingType::kBlob, 3, "AQID"},
      {blob, BindingType::kBlob, 2, "AQI="},
      {no_blob, BindingType::kBlob, 0, ""},
      {SetOverText(BindingEnum{-4, 0xABCDEF01u}), BindingType::kEnum, 1, "-4"},
      {structure, BindingType::kStructure, 2, ""},
      {reset, BindingType::kEmpty, 0, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(row.value.type(), row.type);
    EXPECT_EQ(row.value.size(), row.size);
    EXPECT_EQ(row.value.ToString(), row.text);
    EXPECT_EQ(Refs(row.value, "replaced") + Refs(row.value, "text"), 0u);
  }
  EXPECT_NE(reset.storage(), nullptr);
  // The tag names reach callers in messages.
  std::string names;
  for (uint32_t tag = 0; tag <= 10; ++tag) names += std::string(BindingTypeName(tag)) + ",";
  EXPECT_EQ(names, "empty,bool,signed,unsigned,float,string,blob,enum,collection,structure,,");
  // An rvalue vector's bytes are taken over, an lvalue's copied.
  std::vector<uint8_t> bytes(1000, 7);
  const uint8_t* data = bytes.data();
  blob.SetBlob(std::move(bytes));
  EXPECT_EQ(blob.GetBlob().data(), data);
  const std::vector<uint8_t> copied(10, 1);
  blob = copied;
  EXPECT_NE(blob.GetBlob().data(), copied.data());
  EXPECT_EQ(blob.GetBlob(), copied);
  // The strict readers give the default for any other tag.
  BindingProperty v;
  EXPECT_TRUE(v.is_root());
  EXPECT_EQ(v.storage(), nullptr);
  v = uint64_t{7};
  EXPECT_EQ(v.GetSigned(-1), -1);
  EXPECT_EQ(v.GetUnsigned(0), 7u);
  EXPECT_FALSE(v.GetBool(false));
  EXPECT_EQ(v.GetFloat(2.0), 2.0);
  EXPECT_EQ(v.GetString("d"), "d");
  EXPECT_EQ(&v.GetBlob(copied), &copied);
  EXPECT_EQ(v.GetEnum({3, 4}), (BindingEnum{3, 4}));
}

TEST(BindingPropertyTest, MutableAccessGrowsAndConstAccessNeverChanges) {
  BindingProperty v;
  v[3] = 1;
  ASSERT_EQ(v.type(), BindingType::kCollection);
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0].type(), BindingType::kEmpty);
  EXPECT_FALSE(v[0].is_root());
  v.Append() = "x";
  EXPECT_EQ(v.Element(4).GetString(), "x");
  v["k"] = "text";  // mutable access of the other kind replaces the value
  v["k"][0] = 1;
  EXPECT_EQ(KeysOf(v), Keys{"k"});
  EXPECT_EQ(v["k"].size(), 1u);

  const BindingProperty& c = v;
  const BindingProperty& list = c["k"];
  const BindingProperty* empty = &BindingProperty::EmptyValue();
  for (const BindingProperty* missing :
       {&c["missing"], &c[0], &list[1], &list[static_cast<size_t>(-1)], &list["a"],
        &c[std::string("k")][0]["a"]}) {
    EXPECT_EQ(missing, empty);
  }
  EXPECT_EQ(c.FindField("missing"), nullptr);
  EXPECT_TRUE(empty->Fields().empty());
  EXPECT_TRUE(empty->Elements().empty());
}

TEST(BindingPropertyTest, FieldsIterateInByteOrderAndKeepTheirAddresses) {
  BindingProperty w;
  w.ReserveFields(2);
  BindingProperty& middle = w["m"];
  middle = "m";
  for (const char* key : {"\xC3\xA9", "z", "ab", "a", "", "a b", "\x7F", "B", "ab\xFF", "ab\x01",
                          "\xC3\xA8", "mmmmmmmmmmmmmmmmmmmmx", "mmmmmmmmmmmmmmmmmmmm\xE0"}) {
    w[key] = key;
  }
  w[std::string_view("a\0", 2)] = 0;
  EXPECT_EQ(&w["m"], &middle);  // every insertion before it moved its slot
  EXPECT_EQ(KeysOf(w), (Keys{"", "B", "a", std::string("a\0", 2), "a b", "ab", "ab\x01", "ab\xFF",
                             "m", "mmmmmmmmmmmmmmmmmmmmx", "mmmmmmmmmmmmmmmmmmmm\xE0", "z", "\x7F",
                             "\xC3\xA8", "\xC3\xA9"}));
  w["z"] = 5;  // mutable access to an existing field finds it, the last one too
  w["\xC3\xA9"] = 6;
  EXPECT_EQ(w.size(), 15u);
  EXPECT_EQ(w.Field("\xC3\xA9").GetSigned() + w.Field("z").GetSigned(), 11);
}

TEST(BindingPropertyTest, AppendedFieldsAreOrderedAndTheLastOfARepeatedKeyWins) {
  BindingProperty v;
  v = 7;
  v.FinishFields();  // not a structure: nothing happens
  EXPECT_EQ(v.GetSigned(), 7);
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
  v.AppendField("e") = 5;  // after a finish, in order: nothing to sort
  v.FinishFields();
  EXPECT_EQ(FieldsText(v), "a=3,b=4,d=1,e=5,");
  EXPECT_EQ(Refs(v, "b"), 1u);
  EXPECT_EQ(Refs(v, "inner") + Refs(v, "dropped text"), 0u);
  v.Reset();
  EXPECT_EQ(allocator.slots_in_use(), empty_tree_slots);

  // More fields than a record sorts in place, each key twice: the second round's value wins.
  constexpr int kKeys = 40;
  std::string expected;
  for (int round = 0; round < 2; ++round) {
    for (int i = kKeys; i-- > 0;) v.AppendField("k" + std::to_string(100 + i)) = round * kKeys + i;
  }
  for (int i = 0; i < kKeys; ++i)
    expected += "k" + std::to_string(100 + i) + "=" + std::to_string(kKeys + i) + ",";
  v.FinishFields();
  EXPECT_EQ(v.size(), size_t{kKeys});
  EXPECT_EQ(FieldsText(v), expected);
  EXPECT_EQ(Refs(v, "k100"), 1u);
}

TEST(BindingPropertyTest, RecordsOfOneShapeSortLikeAnyOther) {
  // Each row is appended in its order and must come out sorted; rows of one shape follow
  // each other, as decoded records do, with other shapes and a repeated key between them.
  const std::pair<Keys, std::string> rows[] = {
      {{"c", "a", "b"}, "a=1,b=2,c=0,"}, {{"c", "a", "b"}, "a=1,b=2,c=0,"},
      {{"c", "a"}, "a=1,c=0,"},          {{"c", "a", "b"}, "a=1,b=2,c=0,"},
      {{"b", "a", "b"}, "a=1,b=2,"},     {{"c", "a", "b"}, "a=1,b=2,c=0,"},
      {{"a", "c", "b"}, "a=0,b=2,c=1,"}, {{"c", "a", "b"}, "a=1,b=2,c=0,"},
      {{"c", "a", "b"}, "a=1,b=2,c=0,"},
  };
  BindingProperty list;
  for (const auto& [keys, expected] : rows) {
    BindingProperty& record = list.Append();
    for (size_t i = 0; i < keys.size(); ++i) record.AppendField(keys[i]) = static_cast<int>(i);
    record.FinishFields();
  }
  for (size_t r = 0; r < std::size(rows); ++r) {
    EXPECT_EQ(FieldsText(list[r]), rows[r].second) << "row " << r;
  }

  // Keys erased and new texts interned at their addresses are other keys: the order of the
  // structure sorted before must not be reused for them.
  BindingProperty v;
  for (const char* key : {"b", "a", "c"}) v.AppendField(key) = 0;
  v.FinishFields();
  const Entries old = Find(v, {"c", "b", "a"});
  v.Reset();  // releases a, b and c: their slots are handed out again last-freed first
  const Entries xyz = Intern(v, {"x", "y", "z"});
  ASSERT_EQ(xyz, old);
  // y, z, x: at the addresses of b, a, c, the order of the first structure
  for (const InternedString* key : {xyz[1], xyz[2], xyz[0]}) v.AppendField(key) = 0;
  v.FinishFields();
  EXPECT_EQ(KeysOf(v), (Keys{"x", "y", "z"}));
}

TEST(BindingPropertyTest, ManyShapesOfRecordsSortLikeAMapModel) {
  // More shapes than the tree remembers orders for, taking turns at random, so that shapes
  // meet, push each other out and come back; some repeat a key. Each record must hold its
  // keys in order with the last value of a repeated key.
  std::mt19937 random(20261209);
  std::vector<Keys> shapes(24);
  for (Keys& shape : shapes) {
    const int size = 1 + static_cast<int>(random() % 12);
    for (int k = 0; k < size; ++k) shape.push_back("k" + std::to_string(random() % 16));
  }
  BindingProperty list;
  for (int r = 0; r < 3000; ++r) {
    const Keys& shape = shapes[random() % shapes.size()];
    std::map<std::string, int> model;
    BindingProperty& record = list.Append();
    for (size_t i = 0; i < shape.size(); ++i) {
      record.AppendField(shape[i]) = static_cast<int>(i);
      model[shape[i]] = static_cast<int>(i);
    }
    record.FinishFields();
    ASSERT_EQ(FieldsText(record), ModelText(model)) << "record " << r;
  }
}

TEST(BindingPropertyTest, StructuresFilledInOneOrderAgreeWithAMapModel) {
  // Many small structures of one tree, filled by MutableField in turns, each mostly along one
  // of a few key sequences (as records of one shape are), sometimes straying, asking for a
  // key again, or being reset (which erases keys); every structure must hold exactly its
  // model's fields in byte order.
  const std::vector<Keys> shapes = {
      {"id", "name", "type", "price", "rp", "owned", "score", "active", "stats", "owner"},
      {"wins", "losses", "ratio", "tier"},
      {"accountId", "displayName"},
      {"b", "f", "a", "c"},  // "b" and "f" begin sequences in the same memo slot
      {"f", "b", "e"},
  };
  const Keys strays = {"zeta", "id", "a", "", "owner", "q"};
  std::mt19937 random(20261209);
  BindingProperty root;
  constexpr size_t kStructures = 24;
  std::vector<std::map<std::string, int64_t>> models(kStructures);
  std::vector<size_t> shape_of(kStructures), step_of(kStructures);
  for (size_t s = 0; s < kStructures; ++s) shape_of[s] = s % shapes.size();
  const auto check = [&](size_t s) {
    EXPECT_EQ(FieldsText(root[s]), ModelText(models[s])) << "structure " << s;
  };
  for (int op = 0; op < 20000; ++op) {
    const size_t s = random() % kStructures;
    BindingProperty& node = root[s];
    const unsigned what = random() % 100;
    if (what < 3) {
      node.Reset();
      models[s].clear();
      step_of[s] = 0;
      shape_of[s] = random() % shapes.size();
      continue;
    }
    std::string key;
    const Keys& shape = shapes[shape_of[s]];
    if (what < 88 && step_of[s] < shape.size()) {
      key = shape[step_of[s]++];
    } else if (what < 94 && !models[s].empty()) {
      key = std::next(models[s].begin(), static_cast<long>(random() % models[s].size()))->first;
    } else {
      key = strays[random() % strays.size()];
    }
    const auto value = static_cast<int64_t>(random() % 1000);
    node[key] = value;
    models[s][key] = value;
    if (op % 500 == 0) check(s);
  }
  for (size_t s = 0; s < kStructures; ++s) check(s);
}

TEST(BindingPropertyTest, AKeySequenceIsFollowedOnlyWhileItHolds) {
  BindingProperty root;
  // A sequence taken over by another one that begins in the same memo slot: the structure
  // that followed the first must not take the second's steps (here: "b" again, as a new
  // field).
  for (int i = 0; i < 5; ++i) root[20 + i]["x"] = i;  // enough structures for the memos
  BindingProperty& first = root[30];
  first["b"] = 1;
  BindingProperty& second = root[31];
  second["f"] = 2;  // "f" and "b" share a memo slot
  second["b"] = 3;
  first["b"] = 4;
  EXPECT_EQ(FieldsText(first), "b=4,");
  EXPECT_EQ(KeysOf(second), (Keys{"b", "f"}));

  // Records of one shape teach the tree the sequence b, f, a; then its keys are erased and
  // other texts take their entries' addresses (the table hands freed entries out again
  // last-freed first). A structure given those texts must not take the old positions.
  for (int i = 20; i < 32; ++i) root[i].Reset();
  for (int i = 0; i < 8; ++i) {
    for (const char* key : {"b", "f", "a"}) root[i][key] = i;
  }
  const Entries old = Find(root, {"f", "b", "a"});
  for (int i = 0; i < 8; ++i) root[i].Reset();
  const Entries reused = Intern(root, {"d", "j", "c"});  // "j" in the memo slot of "b"
  ASSERT_EQ(reused, old);
  BindingProperty& record = root[8];
  record["j"] = 1;  // at the addresses of b, f, a: the sequence's keys, in another order
  record["d"] = 2;
  record["c"] = 3;
  EXPECT_EQ(KeysOf(record), (Keys{"c", "d", "j"}));
  for (const InternedString* entry : reused) root.strings().Release(entry);

  // A sequence whose keys were all erased, then its first key given to a new structure: the
  // freed entries are not read (ASan tells) and the key is interned anew.
  for (int i = 0; i < 8; ++i) {
    root[i]["y1"] = i;
    root[i]["y2"] = i;
  }
  for (int i = 0; i < 8; ++i) root[i].Reset();
  ASSERT_EQ(root.storage()->strings().Find("y1"), nullptr);
  root[9]["y1"] = 5;
  EXPECT_EQ(FieldsText(root[9]), "y1=5,");
  EXPECT_EQ(Refs(root, "y1"), 1u);
}

TEST(BindingPropertyTest, ReserveAndMakeKeepTheirOwnKindAndRejectHugeSizes) {
  BindingProperty v;
  v.Reserve(size_t{1} << 40);  // not a collection: nothing happens
  v.ReserveFields(size_t{1} << 40);
  EXPECT_EQ(v.type(), BindingType::kEmpty);
  v[0] = 1;
  v.MakeCollection();
  v.ReserveFields(10);
  EXPECT_EQ(v.size(), 1u);
  v.Reserve(100);
  const BindingProperty* first = &v[0];
  for (int i = 1; i < 100; ++i) v[i] = i;
  EXPECT_EQ(&v[0], first);  // reserved capacity: no reallocation
  EXPECT_THROW(v.Reserve(BindingProperty::kMaxCollectionSize + 1), std::length_error);
  EXPECT_THROW(v[BindingProperty::kMaxCollectionSize], std::length_error);
  EXPECT_EQ(v.size(), 100u);
  v.MakeStructure();
  EXPECT_EQ(v.size(), 0u);
  v["k"] = 1;
  v.MakeStructure();
  EXPECT_THROW(v.ReserveFields(BindingProperty::kMaxCollectionSize + 1), std::length_error);
  EXPECT_EQ(v.size(), 1u);
  v.MakeCollection();
  EXPECT_EQ(v.size(), 0u);
}

// The one-step forms readers use: the kind as MakeCollection/MakeStructure make it, a
// container of that kind kept as it is, and room for `room` more without moving.
TEST(BindingPropertyTest, MakeWithRoomKeepsTheKindRulesAndReservesTheRoom) {
  enum class Start { kEmptyRoot, kEmptyElement, kText, kCollection, kStructure };
  for (const Start start : {Start::kEmptyRoot, Start::kEmptyElement, Start::kText,
                            Start::kCollection, Start::kStructure}) {
    for (const size_t room : {size_t{0}, size_t{1}, size_t{7}, size_t{300}}) {
      for (const bool structure : {false, true}) {
        SCOPED_TRACE(testing::Message() << "start " << static_cast<int>(start) << " room " << room
                                        << " structure " << structure);
        BindingProperty root;
        BindingProperty* v = &root;
        switch (start) {
          case Start::kEmptyRoot:
            break;
          case Start::kEmptyElement:
            v = &root[0];
            break;
          case Start::kText:
            root = "text";
            break;
          case Start::kCollection:
            root[0] = "kept";
            break;
          case Start::kStructure:
            root["a"] = "kept";
            break;
        }
        const bool keeps = structure ? start == Start::kStructure : start == Start::kCollection;
        if (structure) {
          v->MakeStructure(room);
          ASSERT_EQ(v->type(), BindingType::kStructure);
          EXPECT_EQ(v->size(), keeps ? 1u : 0u);
          if (keeps) {
            EXPECT_EQ(v->Field("a").ToString(), "kept");
          }
          for (size_t i = 0; i < room; ++i) (*v)["k" + std::to_string(1000 + i)] = i;
          EXPECT_EQ(v->size(), room + (keeps ? 1 : 0));
        } else {
          v->MakeCollection(room);
          ASSERT_EQ(v->type(), BindingType::kCollection);
          EXPECT_EQ(v->size(), keeps ? 1u : 0u);
          if (keeps) {
            EXPECT_EQ(v->Element(0).ToString(), "kept");
          }
          const size_t had = v->size();
          const BindingProperty* first = room == 0 ? nullptr : &v->Append();
          for (size_t i = had + 1; i < had + room; ++i) v->Append() = i;
          if (room != 0 && !keeps) {
            EXPECT_EQ(&(*v)[0], first);  // no reallocation
          }
          EXPECT_EQ(v->size(), had + room);
        }
      }
    }
  }
  BindingProperty v;
  EXPECT_THROW(v.MakeCollection(BindingProperty::kMaxCollectionSize + 1), std::length_error);
  EXPECT_EQ(v.type(), BindingType::kCollection);
  BindingProperty w;
  EXPECT_THROW(w.MakeStructure(BindingProperty::kMaxCollectionSize + 1), std::length_error);
  EXPECT_EQ(w.type(), BindingType::kStructure);
}

TEST(BindingPropertyTest, StringsAreInternedAndCounted) {
  BindingProperty root;
  root["name"] = "shared";
  root["list"][0] = "shared";
  root["list"][1]["shared"] = 1;  // keys share the entry too
  EXPECT_EQ(Refs(root, "shared"), 3u);
  root["list"].Reset();
  EXPECT_EQ(Refs(root, "shared"), 1u);
  // The empty string never enters the table.
  root[""] = "";
  EXPECT_EQ(root.storage()->strings().size(), 3u);  // "name", "shared", "list"
  BindingProperty fresh;
  fresh = "";
  EXPECT_EQ(fresh.storage(), nullptr);
  // Setting a string from its own text, or from a child's, is safe.
  root = "only reference";
  root.SetString(root.GetString());
  EXPECT_EQ(root.GetString(), "only reference");
  root["a"] = "child text";
  root.SetString(root["a"].GetString());
  EXPECT_EQ(root.GetString(), "child text");
}

TEST(BindingPropertyTest, CopiesAreDeepEvenWithinOneTree) {
  BindingProperty root;
  root["a"][2]["b"] = "text";
  root["blob"] = std::vector<uint8_t>{1, 2};
  root["enum"] = BindingEnum{1, 2};
  root["f"] = 0.5;
  root["e"] = "";
  root["s"]["b"] = "x";
  for (int i = 0; i < 40; ++i) root["wide"][i]["v"];  // more nodes than a work stack holds inline
  BindingProperty copy(root);
  EXPECT_TRUE(copy == root);
  EXPECT_NE(copy.storage(), root.storage());
  copy["a"][2]["b"] = "changed";
  EXPECT_EQ(root["a"][2]["b"].GetString(), "text");
  EXPECT_FALSE(copy == root);
  BindingProperty element_copy = root["a"];  // a copy of an element is a new root
  EXPECT_TRUE(element_copy.is_root());
  EXPECT_EQ(element_copy.size(), 3u);
  EXPECT_NE(element_copy.storage(), root.storage());

  root["s"]["self"] = root;  // a copy of the tree (with the new, empty "self") into its child
  EXPECT_EQ(root["s"]["self"]["s"]["self"].type(), BindingType::kEmpty);
  EXPECT_EQ(root["s"]["self"]["a"][2]["b"].GetString(), "text");
  root = root["s"]["self"]["s"];  // a descendant copied over its ancestor
  EXPECT_EQ(KeysOf(root), (Keys{"b", "self"}));
  root["list"][0] = 1;
  root["list"][1] = root["list"];
  EXPECT_EQ(root["list"][1][0].GetSigned(), 1);
  EXPECT_EQ(root["list"][1][1].type(), BindingType::kEmpty);
  const BindingProperty& alias = root;
  root = alias;  // self-assignment is a no-op
  EXPECT_EQ(root["list"].size(), 2u);
}

TEST(BindingPropertyTest, MovesExchangeRootStorageAndCopyElements) {
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

  BindingProperty tree;
  tree["list"][0]["x"] = "value";
  BindingProperty root;
  root = std::move(tree["list"][0]);
  EXPECT_NE(root.storage(), tree.storage());
  EXPECT_EQ(root["x"].GetString(), "value");
  EXPECT_EQ(tree["list"][0].type(), BindingType::kEmpty);
  EXPECT_EQ(Refs(tree, "value"), 0u);
  tree["list"][1] = "moved";
  BindingProperty constructed(std::move(tree["list"][1]));
  EXPECT_EQ(constructed.GetString(), "moved");
  EXPECT_EQ(tree["list"][1].type(), BindingType::kEmpty);
  // A root moved into an element is copied into the element's tree.
  tree["slot"] = std::move(d);
  EXPECT_EQ(tree["slot"]["k"].GetString(), "v");
  EXPECT_EQ(tree["slot"].storage(), tree.storage());
  EXPECT_EQ(d.type(), BindingType::kEmpty);  // NOLINT

  // Within one tree: a descendant into its ancestor, an ancestor into its descendant (the
  // source ends empty), a sibling into a sibling.
  root["a"]["b"]["c"] = "deep";
  root = std::move(root["a"]["b"]);
  EXPECT_EQ(KeysOf(root), Keys{"c"});
  root["x"]["y"] = 1;
  root["x"]["y"] = std::move(root["x"]);
  EXPECT_EQ(root["x"].type(), BindingType::kEmpty);
  root["p"] = "moved sibling";
  root["q"] = std::move(root["p"]);
  EXPECT_EQ(root["q"].GetString(), "moved sibling");
  EXPECT_EQ(root["p"].type(), BindingType::kEmpty);
  EXPECT_EQ(Refs(root, "moved sibling"), 1u);
}

TEST(BindingPropertyTest, ResetAndDestructionGiveBackEveryRecordAndPage) {
  PageSource& pages = PageSource::Default();
  const size_t before = pages.pages_in_use();
  for (bool reset_first : {true, false}) {
    BindingProperty root;
    for (int i = 0; i < 500; ++i) {
      BindingProperty& item = root["items"][i];
      item["id"] = i;
      item["name"] = "item " + std::to_string(i);
      item["blob"] = std::vector<uint8_t>(100, static_cast<uint8_t>(i));
      item["kind"] = BindingEnum{i, 77};
      item["list"][i % 10] = "text " + std::to_string(i);
      item["long"] = std::string(200, 'x') + std::to_string(i);
      // Wide structures keep their field slots on the heap.
      for (int f = 0; f < i % 30; ++f) item["wide"]["field" + std::to_string(f)] = f;
    }
    // Some payloads are released before the root goes, some remain for its destruction.
    for (int i = 0; i < 500; i += 3) root["items"][i].Reset();
    EXPECT_GT(pages.pages_in_use(), before);
    if (reset_first) {
      root.Reset();
      SmallObjectAllocator& allocator = root.storage()->allocator();
      EXPECT_EQ(allocator.slots_in_use(), 0u);
      EXPECT_EQ(allocator.pages_held(), 0u);
      EXPECT_EQ(root.storage()->strings().size(), 0u);
    }
  }
  // Heap-owning records are freed too; the sanitizer builds report any that are not.
  EXPECT_EQ(pages.pages_in_use(), before);
}

TEST(BindingPropertyTest, TreesOnSeveralThreadsShareThePageSource) {
  PageSource& pages = PageSource::Default();
  const size_t before = pages.pages_in_use();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    // Numbers only: racing coverage counters on the string and copy paths would report
    // branches no run takes.
    threads.emplace_back([t] {
      for (int round = 0; round < 10; ++round) {
        BindingProperty root;
        for (int i = 0; i < 300; ++i) root["list"][i]["v"] = t * 1000 + i;
        EXPECT_EQ(root["list"][299]["v"].GetSigned(), t * 1000 + 299);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(pages.pages_in_use(), before);
}

TEST(BindingPropertyTest, DeepTreesCopyCompareAndDestroyWithoutRecursion) {
  BindingProperty root;
  BindingProperty* node = &root;
  for (int i = 0; i < 100000; ++i) node = (i % 2 == 0) ? &(*node)["k"] : &(*node)[0];
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
  BindingProperty x;
  x["x"][0] = std::vector<uint8_t>{1};
  BindingProperty y = x;
  y["x"][0] = std::vector<uint8_t>{2};
  BindingProperty z;
  z["y"] = x["x"];
  const std::pair<BindingProperty, BindingProperty> different[] = {
      {SetOverText(int64_t{1}), SetOverText(uint64_t{1})},
      {SetOverText(BindingEnum{1, 2}), SetOverText(BindingEnum{1, 3})},
      {x, y},
      {x, z},
  };
  for (const auto& [a, b] : different) {
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a == BindingProperty(a));
  }
  EXPECT_TRUE(BindingProperty() == BindingProperty());
}

TEST(BindingResultTest, MakeErrorTurnsTheValueIntoAnErrorStructure) {
  BindingResult result;
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.error(), "");
  result.value()["data"] = 1;
  result.MakeError("went wrong");
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(KeysOf(result.value()), Keys{"error"});
  result.MakeError(result.error());  // the message may come from the value itself
  EXPECT_EQ(result.error(), "went wrong");
  result.value()["error"] = 5;
  EXPECT_EQ(result.error(), "");
  EXPECT_EQ(BindingResult::Error("bad").error(), "bad");
}

}  // namespace
}  // namespace Voro
