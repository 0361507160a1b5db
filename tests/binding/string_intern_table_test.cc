#include "binding/string_intern_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "binding/fake_page_block_mapper.h"

namespace Voro {
namespace {

class StringInternTableTest : public testing::Test {
 protected:
  FakePageBlockMapper mapper_;
  PageSource pages_{&mapper_};
  SmallObjectAllocator allocator_{&pages_};
};

TEST_F(StringInternTableTest, CountsReferencesAndErasesAtZero) {
  StringInternTable table(&allocator_);
  const InternedString* a = table.Intern("name");
  const size_t slots_with_entry = allocator_.slots_in_use();
  const InternedString* b = table.Intern(std::string("na") + "me");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->refs(), 2u);
  EXPECT_EQ(a->view(), "name");
  EXPECT_EQ(a->data()[4], '\0');
  EXPECT_EQ(table.size(), 1u);
  StringInternTable::AddRef(a);
  EXPECT_EQ(a->refs(), 3u);
  table.Release(a);
  table.Release(a);
  EXPECT_EQ(table.Find("name"), a);
  table.Release(a);
  EXPECT_EQ(table.Find("name"), nullptr);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(allocator_.slots_in_use(), slots_with_entry - 1);  // the entry's slot is back
}

TEST_F(StringInternTableTest, TheEmptyStringIsSharedAndNeverCounted) {
  StringInternTable table(&allocator_);
  const InternedString* empty = table.Intern("");
  EXPECT_EQ(empty, InternedString::Empty());
  EXPECT_EQ(empty->size(), 0u);
  EXPECT_STREQ(empty->data(), "");
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.bucket_count(), 0u);  // nothing was created for it
  const uint32_t refs = empty->refs();
  StringInternTable::AddRef(empty);
  table.Release(empty);
  table.Release(empty);
  EXPECT_EQ(empty->refs(), refs);
  EXPECT_EQ(table.Find(""), InternedString::Empty());
}

TEST_F(StringInternTableTest, StartsWithEightBucketsAndGrows) {
  StringInternTable table(&allocator_);
  table.Intern("x");
  EXPECT_EQ(table.bucket_count(), StringInternTable::kInitialBuckets);
  std::vector<const InternedString*> entries;
  entries.reserve(5000);
  for (int i = 0; i < 5000; ++i) entries.push_back(table.Intern("key-" + std::to_string(i)));
  EXPECT_EQ(table.size(), 5001u);
  EXPECT_GE(table.bucket_count(), 5001u);
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(table.Find("key-" + std::to_string(i)), entries[i]);
    ASSERT_EQ(entries[i]->view(), "key-" + std::to_string(i));
  }
  for (const InternedString* entry : entries) table.Release(entry);
  EXPECT_EQ(table.size(), 1u);
}

TEST_F(StringInternTableTest, ReserveMakesRoomOnceAndKeepsEntries) {
  StringInternTable table(&allocator_);
  const InternedString* before = table.Intern("kept");
  table.Reserve(3000);
  const size_t reserved = table.bucket_count();
  EXPECT_GE(reserved * 3, 3000u * 4);  // room for 3000 at three-quarter load
  EXPECT_EQ(table.Find("kept"), before);
  EXPECT_EQ(before->refs(), 1u);
  table.Reserve(10);  // never shrinks
  EXPECT_EQ(table.bucket_count(), reserved);
  std::vector<const InternedString*> entries;
  for (int i = 0; i < 2999; ++i) entries.push_back(table.Intern("r" + std::to_string(i)));
  EXPECT_EQ(table.bucket_count(), reserved);  // no rehash on the way
  EXPECT_EQ(table.size(), 3000u);
  for (int i = 0; i < 2999; ++i) ASSERT_EQ(table.Find("r" + std::to_string(i)), entries[i]);
  EXPECT_EQ(table.Intern(""), InternedString::Empty());
  EXPECT_EQ(table.size(), 3000u);
  for (const InternedString* entry : entries) table.Release(entry);
  table.Release(before);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.Find("kept"), nullptr);

  StringInternTable fresh(&allocator_);
  fresh.Reserve(0);
  EXPECT_EQ(fresh.bucket_count(), StringInternTable::kInitialBuckets);
  const InternedString* a = fresh.Intern("a");
  EXPECT_EQ(fresh.Find("a"), a);
}

TEST_F(StringInternTableTest, ClearOfATableDyingWithItsAllocatorFreesLongTexts) {
  // Texts too long for a size class live on the heap: Clear(false) must still free them
  // (a leak checker reports them otherwise); short ones are left to the allocator.
  StringInternTable table(&allocator_);
  for (int i = 0; i < 50; ++i) table.Intern(std::string(static_cast<size_t>(i) * 3 + 1, 'x'));
  const InternedString* kept = table.Intern(std::string(200, 'y'));
  table.Release(kept);
  const size_t slots = allocator_.slots_in_use();
  table.Clear(/*free_small=*/false);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.bucket_count(), 0u);
  EXPECT_EQ(allocator_.slots_in_use(), slots);
  EXPECT_EQ(table.Find(std::string(100, 'x')), nullptr);
}

TEST_F(StringInternTableTest, KeepsBinaryAndLongTexts) {
  StringInternTable table(&allocator_);
  const std::string binary("a\0b", 3);
  const std::string long_text(10000, 'z');
  const InternedString* a = table.Intern(binary);
  const InternedString* b = table.Intern(std::string("a", 1));
  const InternedString* c = table.Intern(long_text);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->view(), binary);
  EXPECT_EQ(c->view(), long_text);
  EXPECT_EQ(c->data()[long_text.size()], '\0');
  table.Release(a);
  table.Release(b);
  table.Release(c);
  EXPECT_EQ(table.size(), 0u);
}

TEST_F(StringInternTableTest, RandomInternAndReleaseAgreesWithAModel) {
  // Many short texts over a small alphabet: long probe runs, and erasures in the middle of
  // them, must never lose or duplicate an entry.
  std::mt19937 random(7);
  StringInternTable table(&allocator_);
  std::map<std::string, std::pair<const InternedString*, uint32_t>> model;
  for (int step = 0; step < 40000; ++step) {
    std::string text(1 + random() % 3, 'a');
    for (char& c : text) c = static_cast<char>('a' + random() % 6);
    if (random() % 2 == 0) {
      const InternedString* entry = table.Intern(text);
      auto& [known, refs] = model[text];
      if (known != nullptr) {
        ASSERT_EQ(entry, known);
      }
      known = entry;
      ++refs;
      ASSERT_EQ(entry->refs(), refs);
    } else if (!model.empty()) {
      auto it = model.begin();
      std::advance(it, random() % model.size());
      table.Release(it->second.first);
      if (--it->second.second == 0) model.erase(it);
    }
    if (step % 97 == 0) {
      ASSERT_EQ(table.size(), model.size());
      for (const auto& [key, value] : model) {
        ASSERT_EQ(table.Find(key), value.first) << key;
        ASSERT_EQ(value.first->view(), key);
      }
    }
  }
  for (auto& [key, value] : model) {
    for (uint32_t i = 0; i < value.second; ++i) table.Release(value.first);
  }
  EXPECT_EQ(table.size(), 0u);
}

TEST_F(StringInternTableTest, DestructionFreesEntriesStillReferenced) {
  {
    StringInternTable table(&allocator_);
    for (int i = 0; i < 100; ++i) table.Intern(std::string(static_cast<size_t>(i), 'q'));
  }
  EXPECT_EQ(allocator_.slots_in_use(), 0u);
}

}  // namespace
}  // namespace Voro
