#include "binding/string_intern_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/binding_property.h"

namespace Voro {
namespace {

uint32_t Refs(const BindingProperty& root, std::string_view text) {
  const InternedString* entry = root.storage()->strings().Find(text);
  return entry == nullptr ? 0 : entry->refs();
}

TEST(StringInternCacheTest, GivesTheTablesEntryWithOneReferenceForTheCaller) {
  BindingProperty root;
  {
    StringInternCache cache(&root);
    const InternedString* first = cache.Intern("name");
    const InternedString* again = cache.Intern("name");
    EXPECT_EQ(first, again);
    EXPECT_EQ(first, root.storage()->strings().Find("name"));
    EXPECT_EQ(first->refs(), 3u);  // two callers and the cache
    root.AppendField(first).SetInternedString(again);
  }
  // The cache's reference is gone with it; the tree holds the key and the value.
  EXPECT_EQ(Refs(root, "name"), 2u);
  EXPECT_EQ(root.Field("name").GetString(), "name");
  root.Reset();
  EXPECT_EQ(root.storage()->strings().size(), 0u);
}

TEST(StringInternCacheTest, EmptyAndLongTextsGoStraightToTheTable) {
  BindingProperty root;
  StringInternCache cache(&root);
  EXPECT_EQ(cache.Intern(""), InternedString::Empty());
  const std::string long_text(StringInternCache::kMaxCachedLength + 1, 'x');
  const InternedString* entry = cache.Intern(long_text);
  EXPECT_EQ(entry->view(), long_text);
  EXPECT_EQ(entry->refs(), 1u);  // not held by the cache
  const std::string longest(StringInternCache::kMaxCachedLength, 'y');
  EXPECT_EQ(cache.Intern(longest)->refs(), 2u);  // held
}

TEST(StringInternCacheTest, AnEntryItHoldsSurvivesTheTreeLettingGoOfIt) {
  BindingProperty root;
  StringInternCache cache(&root);
  root["list"][0].SetInternedString(cache.Intern("status"));
  root.Reset();  // the tree's reference goes; the cache's keeps the entry
  const InternedString* entry = cache.Intern("status");
  EXPECT_EQ(entry->view(), "status");
  EXPECT_EQ(entry->refs(), 2u);
  root.SetInternedString(entry);
}

TEST(StringInternCacheTest, EvictionsReleaseOnlyTheCachesReferences) {
  BindingProperty root;
  std::vector<std::string> texts;
  for (int i = 0; i < 1000; ++i) texts.push_back("text-" + std::to_string(i % 400));
  {
    StringInternCache cache(&root);
    for (const std::string& text : texts) root.Append().SetInternedString(cache.Intern(text));
  }
  ASSERT_EQ(root.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(root[i].GetString(), texts[i]);
  // Every text is held by exactly its elements: 1000 / 400 rounds.
  EXPECT_EQ(Refs(root, "text-0"), 3u);
  EXPECT_EQ(Refs(root, "text-399"), 2u);
  EXPECT_EQ(root.storage()->strings().size(), 400u);
  root.Reset();
  EXPECT_EQ(root.storage()->strings().size(), 0u);
}

}  // namespace
}  // namespace Voro
