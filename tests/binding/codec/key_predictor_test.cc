#include "binding/codec/key_predictor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/value/fake_page_block_mapper.h"

namespace Voro {
namespace {

using KeyPredictorTest = FakePagesTest;

TEST_F(KeyPredictorTest, GivesTheTablesEntryWhetherTheGuessHoldsOrNot) {
  struct Step {
    size_t depth;
    size_t position;
    std::string key;
  };
  // Records of two shapes at one depth, keys that differ from the guess only in length or
  // in one middle byte, places beyond the guesses kept, and the empty key.
  const std::vector<Step> steps = {
      {0, 0, "id"},
      {0, 1, "name"},
      {0, 0, "id"},
      {0, 1, "name"},
      {0, 0, "id"},
      {0, 1, "names"},
      {0, 1, "name"},
      {1, 0, "id"},
      {0, 0, "identifier-of-a-row"},
      {0, 0, "identifier-of-a-raw"},
      {0, 0, "identifier-of-a-row"},
      {7, 31, "deep"},
      {8, 0, "deeper"},
      {0, 32, "late"},
      {8, 0, "deeper"},
      {0, 32, "late"},
      {2, 3, ""},
      {2, 3, ""},
      {2, 3, "x"},
  };
  KeyPredictor keys(table_);
  std::vector<const InternedString*> held;
  for (const Step& step : steps) {
    const InternedString* entry = keys.Intern(step.depth, step.position, step.key);
    ASSERT_EQ(entry->view(), step.key);
    ASSERT_EQ(entry, table_.Find(step.key)) << step.key;
    held.push_back(entry);
  }
  // Every step took one reference: the table's counts are the number of times each key came.
  for (const Step& step : steps) {
    if (step.key.empty()) continue;
    size_t times = 0;
    for (const Step& other : steps) times += other.key == step.key;
    EXPECT_EQ(table_.Find(step.key)->refs(), times) << step.key;
  }
  for (const InternedString* entry : held) table_.Release(entry);
  EXPECT_EQ(table_.size(), 0u);
}

TEST_F(KeyPredictorTest, ForgetsItsGuessesOnceAnEntryWasErased) {
  KeyPredictor keys(table_);
  const InternedString* gone = keys.Intern(0, 0, "alpha");
  table_.Release(gone);  // erased: the guess at (0, 0) names freed memory now
  ASSERT_EQ(table_.Find("alpha"), nullptr);
  // Reading the freed entry would be caught by the address sanitizer (the allocator poisons
  // freed slots); the predictor must go to the table instead.
  const InternedString* again = keys.Intern(0, 0, "alpha");
  EXPECT_EQ(again, table_.Find("alpha"));
  EXPECT_EQ(again->refs(), 1u);
  table_.Release(again);
}

}  // namespace
}  // namespace Voro
