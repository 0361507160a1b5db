#include "binding/static_type.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "binding/binding_kind.h"

namespace Voro {
namespace {

struct Alpha {};
struct Beta {};
namespace inner {
struct Alpha {};
}  // namespace inner
enum class Color { kRed };

TEST(StaticTypeTest, Fnv1aMatchesPublishedVectors) {
  EXPECT_EQ(Fnv1a(""), 0x811C9DC5u);
  EXPECT_EQ(Fnv1a("a"), 0xE40C292Cu);
  EXPECT_EQ(Fnv1a("foobar"), 0xBF9CF968u);
  // Bytes above 0x7F hash as unsigned.
  EXPECT_EQ(Fnv1a("\xff"), (0x811C9DC5u ^ 0xFFu) * 16777619u);
}

TEST(StaticTypeTest, HashIsTheFnv1aOfTheNameText) {
  const TypeIdentity& name = StaticType::Name<Alpha>();
  EXPECT_EQ(name.hash, Fnv1a(name.text));
  EXPECT_EQ(StaticType::HashCode<Alpha>().hash, name.hash);
  EXPECT_NE(name.text.find("Alpha"), std::string_view::npos);
}

TEST(StaticTypeTest, PrintableFormIsHashAndEightUpperCaseHexDigits) {
  const TypeIdentity& id = StaticType::HashCode<Beta>();
  char expected[16];
  std::snprintf(expected, sizeof(expected), "#%08X", id.hash);
  EXPECT_EQ(id.text, expected);
  ASSERT_EQ(id.text.size(), 9u);
  for (char c : id.text.substr(1)) {
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) << id.text;
  }
}

TEST(StaticTypeTest, StableAndDistinct) {
  EXPECT_EQ(&StaticType::HashCode<Alpha>(), &StaticType::HashCode<Alpha>());
  EXPECT_EQ(StaticType::HashCode<const Alpha&>().hash, StaticType::HashCode<Alpha>().hash);
  const std::set<uint32_t> hashes = {
      StaticType::HashCode<Alpha>().hash,        StaticType::HashCode<Beta>().hash,
      StaticType::HashCode<inner::Alpha>().hash, StaticType::HashCode<Color>().hash,
      StaticType::HashCode<int32_t>().hash,      StaticType::HashCode<uint32_t>().hash,
      StaticType::HashCode<std::string>().hash,  StaticType::HashCode<std::vector<int>>().hash,
  };
  EXPECT_EQ(hashes.size(), 8u);
}

template <int N>
struct Numbered {};

TEST(StaticTypeTest, FirstUseFromManyThreadsAgrees) {
  std::vector<std::thread> threads;
  std::vector<const TypeIdentity*> seen(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &StaticType::HashCode<Numbered<7>>(); });
  }
  for (auto& t : threads) t.join();
  for (const TypeIdentity* id : seen) {
    EXPECT_EQ(id, seen[0]);
    EXPECT_EQ(id->hash, Fnv1a(StaticType::Name<Numbered<7>>().text));
  }
}

TEST(BindingKindTest, NamesOfAllKinds) {
  const char* expected[] = {"",       "bool",   "int8",   "uint8",  "int16",    "uint16", "int32",
                            "uint32", "int64",  "uint64", "float",  "double",   "string", "object",
                            "blob",   "vector", "enum",   "struct", "callback", "map"};
  for (uint32_t kind = 0; kind < 20; ++kind) {
    EXPECT_EQ(BindingKindName(kind), expected[kind]) << kind;
  }
  EXPECT_EQ(BindingKindName(20), "");
  EXPECT_EQ(BindingKindName(0xFFFFFFFFu), "");
  EXPECT_EQ(BindingKindName(BindingKind::kMap), "map");
}

}  // namespace
}  // namespace Voro
