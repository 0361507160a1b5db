#include "binding/types/static_type.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "binding/value/binding_kind.h"

namespace Voro {
namespace {

struct Alpha {};
namespace inner {
struct Alpha {};
}  // namespace inner

TEST(StaticTypeTest, TheHashCodeIsTheFnv1aOfTheNamePrintedAsEightHexDigits) {
  EXPECT_EQ(Fnv1a(""), 0x811C9DC5u);
  EXPECT_EQ(Fnv1a("foobar"), 0xBF9CF968u);
  EXPECT_EQ(Fnv1a("\xff"), (0x811C9DC5u ^ 0xFFu) * 16777619u);  // bytes hash as unsigned
  const TypeIdentity& name = StaticType::Name<Alpha>();
  EXPECT_NE(name.text.find("Alpha"), std::string_view::npos);
  const TypeIdentity& id = StaticType::HashCode<Alpha>();
  EXPECT_EQ(id.hash, Fnv1a(name.text));
  EXPECT_EQ(name.hash, id.hash);
  char expected[16];
  std::snprintf(expected, sizeof(expected), "#%08X", id.hash);
  EXPECT_EQ(id.text, expected);
  EXPECT_EQ(StaticType::HashCode<const Alpha&>().hash, id.hash);
  const std::set<uint32_t> hashes = {id.hash, StaticType::HashCode<inner::Alpha>().hash,
                                     StaticType::HashCode<int32_t>().hash,
                                     StaticType::HashCode<uint32_t>().hash};
  EXPECT_EQ(hashes.size(), 4u);
}

// The kind names reach callers in messages and in the API's help.
TEST(BindingKindTest, NamesOfAllKinds) {
  std::string names;
  for (uint32_t kind = 0; kind <= 20; ++kind) names += std::string(BindingKindName(kind)) + ",";
  EXPECT_EQ(names,
            ",bool,int8,uint8,int16,uint16,int32,uint32,int64,uint64,float,double,string,object,"
            "blob,vector,enum,struct,callback,map,,");
  EXPECT_EQ(BindingKindName(0xFFFFFFFFu), "");
}

}  // namespace
}  // namespace Voro
