// The direct writer must build, byte for byte, the host record that the tree path builds
// (ToAbiValue of ToBinding): every case compares the two records field by field.
#include "binding/native_to_abi.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/binding_abi.h"
#include "binding/native_conversion.h"
#include "binding/record_builder.h"

namespace Voro {
namespace {

enum class Shade : int8_t { kDark = -2, kNone = 0, kLight = 1 };
enum class Wide : int64_t { kLow = 5, kHigh = (int64_t{1} << 40) + 7 };

struct Point {
  int32_t x = 0;
  int32_t y = 0;
};

struct Everything {
  bool b = true;
  int8_t i8 = -128;
  uint8_t u8 = 255;
  int16_t i16 = -32768;
  uint16_t u16 = 65535;
  int32_t i32 = INT32_MIN;
  uint32_t u32 = UINT32_MAX;
  int64_t i64 = INT64_MIN;
  uint64_t u64 = UINT64_MAX;
  float f = 1.5f;
  double d = -0.25;
  std::string s = std::string("te\0xt", 5);
  BindingProperty object;
  std::vector<uint8_t> blob = {0, 1, 255};
  std::vector<uint8_t> no_blob;
  std::vector<Point> points = {{1, 2}, {3, 4}};
  std::vector<std::string> no_texts;
  std::unordered_map<std::string, int64_t> counts = {{"b", 2}, {"a", 1},  {"\xC3\xA9", 3},
                                                     {"B", 4}, {"ab", 5}, {"", 6}};
  std::map<std::string, Shade> shades = {{"z", Shade::kDark}, {"y", Shade::kNone}};
  std::map<std::string, Point> no_points;
  Shade named = Shade::kLight;
  Shade unnamed = Shade::kNone;
  Wide wide = Wide::kHigh;
  Point point = {7, 8};
  std::optional<Point> maybe_point = Point{9, 10};
  std::optional<std::string> no_text;
};

// Every field may be left out; all hold their defaults unless a test sets them.
struct Defaults {
  bool b = false;
  int32_t i = 0;
  double d = 0.0;
  float f = 0.0f;
  std::string s;
  std::vector<uint8_t> blob;
  std::vector<int32_t> list;
  std::map<std::string, int32_t> map;
  Shade e = Shade::kNone;
  BindingProperty object;
  Point point;
  std::optional<Point> maybe;
  std::optional<uint64_t> count;
};

// Field names whose byte order differs from their registration order.
struct Names {
  int32_t zeta = 1;
  int32_t upper = 2;
  int32_t accented = 3;
  int32_t prefix = 4;
  int32_t longer = 5;
  int32_t empty = 6;
};

struct Repeated {
  int32_t first = 1;
  int32_t second = 2;
};

struct Unknown {
  int32_t value = 1;
};

struct HoldsUnknown {
  int32_t before = 3;
  Unknown inside;
};

struct TwoCallbacks {
  int32_t first = 0;
  int32_t second = 0;
};

// A converter that is not the optional one: doubles the number, fails on a negative one.
class DoublingConverter final : public FieldConverter {
 public:
  void FromBinding(BindingResult&, void*, const BindingProperty&, std::string_view, const KindData&,
                   const TypeRegistry&, const ConversionOptions&) const override {}
  void ToBinding(BindingResult& result, BindingProperty* out, const void* native, const KindData&,
                 const TypeRegistry&) const override {
    const int32_t value = *static_cast<const int32_t*>(native);
    if (value < 0) {
      result.MakeError("negative");
      return;
    }
    out->SetSigned(int64_t{value} * 2);
  }
};

struct Converted {
  int32_t doubled = 0;
  int32_t zero = 0;
};

class NativeToAbiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_.Record<Point>({"T"}, "Point").Field("y", &Point::y).Field("x", &Point::x);
    registry_.Enum<Shade>({"T"}, "Shade").Value("DARK", Shade::kDark).Value("LIGHT", Shade::kLight);
    registry_.Enum<Wide>({"T"}, "Wide").Value("HIGH", Wide::kHigh);
    using E = Everything;
    registry_.Record<E>({"T"}, "Everything")
        .Field("b", &E::b)
        .Field("i8", &E::i8)
        .Field("u8", &E::u8)
        .Field("i16", &E::i16)
        .Field("u16", &E::u16)
        .Field("i32", &E::i32)
        .Field("u32", &E::u32)
        .Field("i64", &E::i64)
        .Field("u64", &E::u64)
        .Field("f", &E::f)
        .Field("d", &E::d)
        .Field("s", &E::s)
        .Field("object", &E::object)
        .Field("blob", &E::blob)
        .Field("noBlob", &E::no_blob)
        .Field("points", &E::points)
        .Field("noTexts", &E::no_texts)
        .Field("counts", &E::counts)
        .Field("shades", &E::shades)
        .Field("noPoints", &E::no_points)
        .Field("named", &E::named)
        .Field("unnamed", &E::unnamed)
        .Field("wide", &E::wide)
        .Field("point", &E::point)
        .Field("maybePoint", &E::maybe_point)
        .Field("noText", &E::no_text);
    using D = Defaults;
    registry_.Record<D>({"T"}, "Defaults")
        .Field("b", &D::b, "", kFieldOmitDefault)
        .Field("i", &D::i, "", kFieldOmitDefault)
        .Field("d", &D::d, "", kFieldOmitDefault)
        .Field("f", &D::f, "", kFieldOmitDefault)
        .Field("s", &D::s, "", kFieldOmitDefault)
        .Field("blob", &D::blob, "", kFieldOmitDefault)
        .Field("list", &D::list, "", kFieldOmitDefault)
        .Field("map", &D::map, "", kFieldOmitDefault)
        .Field("e", &D::e, "", kFieldOmitDefault)
        .Field("object", &D::object, "", kFieldOmitDefault)
        .Field("point", &D::point, "", kFieldOmitDefault)
        .Field("maybe", &D::maybe)
        .Field("count", &D::count);
    registry_.Record<Names>({"T"}, "Names")
        .Field("zeta", &Names::zeta)
        .Field("Zeta", &Names::upper)
        .Field("\xC3\xA9t\xC3\xA9", &Names::accented)
        .Field("ze", &Names::prefix)
        .Field("zetas", &Names::longer)
        .Field("", &Names::empty);
    registry_.Record<Repeated>({"T"}, "Repeated")
        .Field("same", &Repeated::first)
        .Field("other", &Repeated::second)
        .Field("same", &Repeated::second);
    registry_.Record<HoldsUnknown>({"T"}, "HoldsUnknown")
        .Field("before", &HoldsUnknown::before)
        .Field("inside", &HoldsUnknown::inside);
    const KindData* callback = &kCallbackKind;
    registry_.Record<TwoCallbacks>({"T"}, "TwoCallbacks")
        .AddField("zulu", "", offsetof(TwoCallbacks, first), callback, 0)
        .AddField("alpha", "", offsetof(TwoCallbacks, second), callback, 0);
    registry_.Record<Converted>({"T"}, "Converted")
        .AddField("doubled", "", offsetof(Converted, doubled), &KindDataOf<int32_t>(), 0,
                  &converter_)
        .AddField("zero", "", offsetof(Converted, zero), &KindDataOf<int32_t>(), kFieldOmitDefault,
                  &converter_);
  }

  // Writes `value` both ways and expects the same record, or the same failure.
  template <typename T>
  void ExpectSameAsTree(const T& value) {
    BindingAbiValue direct{};
    std::string error;
    const bool ok = NativeToAbiValue(&direct, &value, KindDataOf<T>(), registry_, &error);
    BindingResult tree = ToBinding(value, registry_);
    ASSERT_EQ(ok, tree.ok()) << error << " / " << tree.error();
    if (!ok) {
      EXPECT_EQ(error, tree.error());
      EXPECT_EQ(direct.tag, static_cast<uint32_t>(KIV_ABI_EMPTY));
      return;
    }
    BindingAbiValue expected{};
    ToAbiValue(tree.value(), &expected, &registry_);
    ExpectSameRecord(direct, expected, "<value>");
    ReleaseAbiValue(&direct);
    ReleaseAbiValue(&expected);
  }

  static void ExpectSameRecord(const BindingAbiValue& a, const BindingAbiValue& b,
                               const std::string& where) {
    ASSERT_EQ(a.tag, b.tag) << where;
    EXPECT_EQ(a.reserved, b.reserved) << where;
    switch (a.tag) {
      case KIV_ABI_EMPTY:
      case KIV_ABI_BOOL:
      case KIV_ABI_SIGNED:
      case KIV_ABI_UNSIGNED:
      case KIV_ABI_DOUBLE:
        EXPECT_EQ(std::memcmp(&a.payload, &b.payload, sizeof(a.payload)), 0) << where;
        return;
      default:
        break;
    }
    ASSERT_EQ(a.payload.ref.count, b.payload.ref.count) << where;
    ASSERT_EQ(a.payload.ref.pointer == nullptr, b.payload.ref.pointer == nullptr) << where;
    const uint32_t count = a.payload.ref.count;
    if (a.tag == KIV_ABI_STRING_OWNED) {
      // Texts carry their terminator.
      EXPECT_EQ(std::memcmp(a.payload.ref.pointer, b.payload.ref.pointer, count + 1), 0) << where;
    } else if (a.tag == KIV_ABI_BLOB_OWNED) {
      if (count != 0) {
        EXPECT_EQ(std::memcmp(a.payload.ref.pointer, b.payload.ref.pointer, count), 0) << where;
      }
    } else if (a.tag == KIV_ABI_COLLECTION) {
      const auto* x = static_cast<const BindingAbiValue*>(a.payload.ref.pointer);
      const auto* y = static_cast<const BindingAbiValue*>(b.payload.ref.pointer);
      for (uint32_t i = 0; i < count; ++i) {
        ExpectSameRecord(x[i], y[i], where + "[" + std::to_string(i) + "]");
      }
    } else if (a.tag == KIV_ABI_STRUCTURE) {
      const auto* x = static_cast<const BindingAbiStructEntry*>(a.payload.ref.pointer);
      const auto* y = static_cast<const BindingAbiStructEntry*>(b.payload.ref.pointer);
      for (uint32_t i = 0; i < count; ++i) {
        ASSERT_NE(x[i].key, nullptr) << where;
        EXPECT_STREQ(x[i].key, y[i].key) << where;
        EXPECT_EQ(x[i].owned_key, y[i].owned_key) << where;
        EXPECT_EQ(x[i].reserved0, y[i].reserved0) << where;
        EXPECT_EQ(std::memcmp(x[i].reserved1, y[i].reserved1, sizeof(x[i].reserved1)), 0) << where;
        ExpectSameRecord(x[i].value, y[i].value, where + "." + y[i].key);
      }
    } else {
      ADD_FAILURE() << where << ": unexpected tag " << a.tag;
    }
  }

  static inline const KindData kCallbackKind = {
      BindingKind::kCallback, 4, 0, nullptr, nullptr, nullptr};
  DoublingConverter converter_;
  TypeRegistry registry_;
};

TEST_F(NativeToAbiTest, EveryKindMatchesTheTreePath) {
  Everything e;
  e.object["deep"][0] = "x";
  e.object["shade"] = BindingEnum{1, StaticType::HashCode<Shade>().hash};
  ExpectSameAsTree(e);

  e.f = std::numeric_limits<float>::quiet_NaN();
  e.points.clear();
  e.object.Reset();
  e.maybe_point.reset();
  e.no_text = "";
  ExpectSameAsTree(e);
}

TEST_F(NativeToAbiTest, ScalarsCollectionsAndMapsAtTheTop) {
  ExpectSameAsTree(true);
  ExpectSameAsTree(int16_t{-7});
  ExpectSameAsTree(std::string("top"));
  ExpectSameAsTree(Shade::kDark);
  ExpectSameAsTree(Shade::kNone);
  ExpectSameAsTree(std::vector<Point>{{1, 2}});
  ExpectSameAsTree(std::vector<std::vector<int32_t>>{{}, {1}});
  ExpectSameAsTree(std::unordered_map<std::string, std::string>{{"k2", "v"}, {"k1", ""}});
  ExpectSameAsTree(std::map<std::string, std::vector<uint8_t>>{});
}

TEST_F(NativeToAbiTest, DefaultsAreLeftOutByTheSameRule) {
  Defaults d;
  ExpectSameAsTree(d);  // every field left out: a structure without entries

  d.d = -0.0;  // still a default
  d.f = std::nanf("");
  d.e = Shade::kLight;
  d.s = "s";
  d.point = {0, 1};
  d.count = 0;  // present but a default
  d.maybe = Point{};
  d.object.MakeStructure();
  ExpectSameAsTree(d);

  Defaults some;
  some.b = true;
  some.list = {0};
  some.map = {{"", 0}};
  some.blob = {0};
  some.object = BindingEnum{0, StaticType::HashCode<Shade>().hash};  // an enum 0: left out
  ExpectSameAsTree(some);
}

TEST_F(NativeToAbiTest, KeysFollowByteOrderNotRegistrationOrder) {
  ExpectSameAsTree(Names{});
  BindingAbiValue out{};
  std::string error;
  const Names names;
  ASSERT_TRUE(NativeToAbiValue(&out, &names, KindDataOf<Names>(), registry_, &error));
  ASSERT_EQ(out.payload.ref.count, 6u);
  const auto* entries = static_cast<const BindingAbiStructEntry*>(out.payload.ref.pointer);
  const char* expected[] = {"", "Zeta", "ze", "zeta", "zetas", "\xC3\xA9t\xC3\xA9"};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_STREQ(entries[i].key, expected[i]);
    EXPECT_EQ(entries[i].owned_key, 1);
  }
  ReleaseAbiValue(&out);
}

TEST_F(NativeToAbiTest, RepeatedNamesAndOtherConvertersGoThroughATree) {
  ExpectSameAsTree(Repeated{});
  ExpectSameAsTree(Converted{21, 0});
  ExpectSameAsTree(std::vector<Repeated>(2));
}

TEST_F(NativeToAbiTest, FailuresAreTheTreePathsFirstFailure) {
  ExpectSameAsTree(HoldsUnknown{});
  ExpectSameAsTree(Unknown{});
  ExpectSameAsTree(std::vector<HoldsUnknown>(3));
  ExpectSameAsTree(Converted{-1, 0});

  // Registration order decides which failure is reported, whatever the key order.
  BindingAbiValue out{};
  std::string error;
  const TwoCallbacks two;
  EXPECT_FALSE(NativeToAbiValue(&out, &two, KindDataOf<TwoCallbacks>(), registry_, &error));
  EXPECT_EQ(error, "Couldn't convert 'zulu' because its kind 18 has no converter.");
  EXPECT_EQ(out.tag, static_cast<uint32_t>(KIV_ABI_EMPTY));
  ExpectSameAsTree(TwoCallbacks{});
}

}  // namespace
}  // namespace Voro
