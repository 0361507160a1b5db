#include "binding/value/string_intern_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/value/binding_property.h"

namespace Voro {
namespace {

uint32_t Refs(const BindingProperty& root, std::string_view text) {
  const InternedString* entry = root.storage()->strings().Find(text);
  return entry == nullptr ? 0 : entry->refs();
}

TEST(StringInternCacheTest, HoldsOneReferenceOfItsOwnPerCachedText) {
  BindingProperty root;
  {
    StringInternCache cache(&root);
    const InternedString* first = cache.Intern("name");
    const InternedString* again = cache.Intern("name");
    EXPECT_EQ(first, again);
    EXPECT_EQ(first, root.storage()->strings().Find("name"));
    EXPECT_EQ(first->refs(), 3u);  // two callers and the cache
    root.AppendField(first).SetInternedString(again);
    // Empty and long texts go straight to the table.
    EXPECT_EQ(cache.Intern(""), InternedString::Empty());
    const std::string long_text(StringInternCache::kMaxCachedLength + 1, 'x');
    const InternedString* entry = cache.Intern(long_text);
    EXPECT_EQ(entry->refs(), 1u);  // not held by the cache
    root.AppendField("long").SetInternedString(entry);
    const std::string longest(StringInternCache::kMaxCachedLength, 'y');
    root["list"][0].SetInternedString(cache.Intern(longest));
    EXPECT_EQ(Refs(root, longest), 2u);  // held
    root["list"].Reset();                // the tree's reference goes; the cache's keeps the entry
    const InternedString* kept = cache.Intern(longest);
    EXPECT_EQ(kept->refs(), 2u);
    root["list"].SetInternedString(kept);
  }
  // The cache's references are gone with it; the tree holds the keys and the values.
  EXPECT_EQ(Refs(root, "name"), 2u);
  EXPECT_EQ(Refs(root, std::string(StringInternCache::kMaxCachedLength, 'y')), 1u);
  root.Reset();
  EXPECT_EQ(root.storage()->strings().size(), 0u);
}

TEST(StringInternCacheTest, EvictionsReleaseOnlyTheCachesReferences) {
  BindingProperty root;
  // Texts sharing a slot: one of another length, one of the same length differing inside.
  std::vector<std::string> texts = {"abcdef", "abwdd", "abcdzf", "abcdef"};
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
  EXPECT_EQ(Refs(root, "abcdef"), 2u);
  EXPECT_EQ(root.storage()->strings().size(), 403u);
}

}  // namespace
}  // namespace Voro
