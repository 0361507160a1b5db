#include "binding/value/string_intern_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "binding/value/fake_page_block_mapper.h"

namespace Voro {
namespace {

using StringInternTableTest = FakePagesTest;

TEST_F(StringInternTableTest, CountsReferencesAndErasesAtZero) {
  const InternedString* empty = table_.Intern("");
  EXPECT_EQ(empty, InternedString::Empty());
  EXPECT_EQ(table_.bucket_count(), 0u);  // nothing was created for the empty string
  const uint32_t empty_refs = empty->refs();
  StringInternTable::AddRef(empty);
  table_.Release(empty);
  table_.Release(empty);
  EXPECT_EQ(empty->refs(), empty_refs);  // shared and never counted
  EXPECT_EQ(table_.Find(""), InternedString::Empty());

  const InternedString* a = table_.Intern("name");
  const size_t slots_with_entry = allocator_.slots_in_use();
  EXPECT_EQ(table_.Intern(std::string("na") + "me"), a);
  EXPECT_EQ(a->refs(), 2u);
  EXPECT_EQ(a->data()[4], '\0');
  StringInternTable::AddRef(a);
  table_.Release(a);
  table_.Release(a);
  EXPECT_EQ(table_.Find("name"), a);
  table_.Release(a);
  EXPECT_EQ(table_.Find("name"), nullptr);
  EXPECT_EQ(table_.size(), 0u);
  // Interned twice, the text was among those found without hashing; erased, it is not.
  const InternedString* again = table_.Intern("name");
  EXPECT_EQ(again->refs(), 1u);
  EXPECT_EQ(table_.size(), 1u);
  table_.Release(again);
  EXPECT_EQ(allocator_.slots_in_use(), slots_with_entry - 1);  // the entry's slot is back

  const std::string binary("a\0b", 3);
  const std::string long_text(10000, 'z');
  // Zero bytes look like a slot of the recent texts that holds nothing.
  const std::string zeros(4, '\0');
  const InternedString* z = table_.Intern(zeros);
  EXPECT_EQ(table_.Intern(zeros), z);
  EXPECT_EQ(z->refs(), 2u);
  const InternedString* b = table_.Intern(binary);
  const InternedString* c = table_.Intern(long_text);
  EXPECT_NE(table_.Intern("a"), b);
  EXPECT_EQ(b->view(), binary);
  EXPECT_EQ(c->view(), long_text);
  EXPECT_EQ(c->data()[long_text.size()], '\0');
}

TEST_F(StringInternTableTest, GrowsFromEightBucketsAndReservesOnce) {
  StringInternTable fresh(&allocator_);
  fresh.Reserve(0);
  EXPECT_EQ(fresh.bucket_count(), StringInternTable::kInitialBuckets);
  EXPECT_EQ(fresh.Find("a"), nullptr);
  std::vector<const InternedString*> entries;
  for (int i = 0; i < 500; ++i) entries.push_back(fresh.Intern("key-" + std::to_string(i)));
  EXPECT_GE(fresh.bucket_count(), 500u);

  const InternedString* before = table_.Intern("kept");
  table_.Reserve(3000);
  const size_t reserved = table_.bucket_count();
  EXPECT_GE(reserved, 3000u * 2);  // room for 3000 at half load
  EXPECT_EQ(table_.Find("kept"), before);
  table_.Reserve(10);  // never shrinks
  for (int i = 0; i < 2999; ++i) entries.push_back(table_.Intern("r" + std::to_string(i)));
  EXPECT_EQ(table_.bucket_count(), reserved);  // no rehash on the way
  EXPECT_EQ(table_.size(), 3000u);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(fresh.Find("key-" + std::to_string(i)), entries[i]);
  for (int i = 0; i < 2999; ++i) ASSERT_EQ(table_.Find("r" + std::to_string(i)), entries[500 + i]);
}

TEST_F(StringInternTableTest, ClearAndDestructionFreeEveryEntry) {
  // Texts too long for a size class live on the heap: Clear(false) of a table dying with its
  // allocator must still free them (a leak checker reports them otherwise).
  for (int i = 0; i < 50; ++i) table_.Intern(std::string(static_cast<size_t>(i) * 3 + 1, 'x'));
  table_.Release(table_.Intern(std::string(200, 'y')));
  table_.InternPrepared(table_.Prepare(std::string(3000, 'p')));  // on the heap too
  const size_t slots = allocator_.slots_in_use();
  table_.Clear(/*free_small=*/false);
  EXPECT_EQ(table_.size(), 0u);
  EXPECT_EQ(table_.bucket_count(), 0u);
  EXPECT_EQ(allocator_.slots_in_use(), slots);
  EXPECT_EQ(table_.Find(std::string(100, 'x')), nullptr);
  SmallObjectAllocator allocator(&pages_);
  {
    StringInternTable table(&allocator);
    for (int i = 0; i < 100; ++i) table.Intern(std::string(static_cast<size_t>(i), 'q'));
  }
  EXPECT_EQ(allocator.slots_in_use(), 0u);
}

TEST_F(StringInternTableTest, PreparedEntriesJoinTheTableOrGiveWayToTheOneThere) {
  const StringInternTable::Prepared empty = table_.Prepare("");
  EXPECT_EQ(empty.entry, nullptr);
  EXPECT_EQ(table_.InternPrepared(empty), InternedString::Empty());
  EXPECT_EQ(table_.bucket_count(), 0u);

  // The same text twice before either is interned, as a reader's waiting texts may be.
  const StringInternTable::Prepared first = table_.Prepare("champion");
  const StringInternTable::Prepared second = table_.Prepare(std::string("champ") + "ion");
  EXPECT_EQ(first.entry->view(), "champion");
  EXPECT_EQ(first.entry->data()[8], '\0');
  EXPECT_EQ(table_.Find("champion"), nullptr);  // not in the table until interned
  const InternedString* entry = table_.InternPrepared(first);
  EXPECT_EQ(entry, first.entry);
  EXPECT_EQ(table_.Find("champion"), entry);
  const size_t slots = allocator_.slots_in_use();
  EXPECT_EQ(table_.InternPrepared(second), entry);  // the second copy goes
  EXPECT_EQ(allocator_.slots_in_use(), slots - 1);
  EXPECT_EQ(entry->refs(), 2u);
  EXPECT_EQ(table_.Intern("champion"), entry);
  EXPECT_EQ(entry->refs(), 3u);
  EXPECT_EQ(table_.size(), 1u);

  // Discarded, a prepared entry leaves nothing behind, on the heap (a leak checker would
  // tell) or in a size class.
  table_.DiscardPrepared(table_.Prepare(std::string(5000, 'q')));
  table_.DiscardPrepared(table_.Prepare("queue"));
  EXPECT_EQ(allocator_.slots_in_use(), slots - 1);
  EXPECT_EQ(table_.Find("queue"), nullptr);
  EXPECT_EQ(table_.size(), 1u);
}

TEST_F(StringInternTableTest, RandomInternAndReleaseAgreesWithAModel) {
  // Many short texts over a small alphabet: long probe runs, and erasures in the middle of
  // them, must never lose or duplicate an entry. Half of them share their outer bytes
  // ("ab", "yz") and differ only in length and middle, which the table's memory of recent
  // texts must tell apart.
  std::mt19937 random(7);
  std::map<std::string, std::pair<const InternedString*, uint32_t>> model;
  for (int step = 0; step < 20000; ++step) {
    std::string text;
    if (random() % 2 == 0) {
      text.assign(1 + random() % 3, 'a');
      for (char& c : text) c = static_cast<char>('a' + random() % 6);
    } else {
      text.assign(random() % 6, 'm');
      for (char& c : text) c = static_cast<char>('m' + random() % 2);
      text = "ab" + text + "yz";
    }
    if (random() % 2 == 0) {
      // One text in three takes the two steps a reader of many texts takes.
      const InternedString* entry =
          random() % 3 == 0 ? table_.InternPrepared(table_.Prepare(text)) : table_.Intern(text);
      auto& [known, refs] = model[text];
      if (known != nullptr) {
        ASSERT_EQ(entry, known);
      }
      known = entry;
      ASSERT_EQ(entry->refs(), ++refs);
    } else if (!model.empty()) {
      auto it = std::next(model.begin(), static_cast<long>(random() % model.size()));
      table_.Release(it->second.first);
      if (--it->second.second == 0) model.erase(it);
    }
    if (step % 97 == 0) {
      ASSERT_EQ(table_.size(), model.size());
      for (const auto& [key, value] : model) ASSERT_EQ(table_.Find(key), value.first) << key;
    }
  }
}

}  // namespace
}  // namespace Voro
