// Native values to binding trees (ToBinding), and straight to host records
// (NativeToAbiValue): the direct writer must build, byte for byte, the record the tree path
// builds (ToAbiValue of ToBinding), so most cases compare the two records field by field.
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

#include "binding/types/native_conversion.h"
#include "binding/types/native_to_abi.h"
#include "binding/types/record_builder.h"
#include "binding/value/binding_abi.h"

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
  std::map<std::string, Shade> shades = {{"z", Shade::kDark}, {"y", Shade::kLight}};
  Shade named = Shade::kLight;
  Wide wide = Wide::kHigh;
  Point point = {7, 8};
  std::optional<Point> maybe_point = Point{9, 10};
  std::optional<std::string> no_text;
};

// Every field but `kept` may be left out when it holds its default.
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
  int32_t kept = 0;
};

// Field names whose byte order differs from their registration order.
struct Names {
  int32_t zeta = 1;
  int32_t upper = 2;
  int32_t accented = 3;
  int32_t prefix = 4;
  int32_t empty = 5;
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
    if (value < 0) return result.MakeError("negative");
    out->SetSigned(int64_t{value} * 2);
  }
};

struct Converted {
  int32_t doubled = 0;
  int32_t zero = 0;
};

const char* kUnregistered = "Couldn't convert native value because it's an unregistered structure.";

// Adds each (name, member) field to `builder`, all with `flags`.
template <typename Builder, typename... Members>
Builder&& AddFields(Builder&& builder, uint32_t flags, std::pair<const char*, Members>... fields) {
  (builder.Field(fields.first, fields.second, "", flags), ...);
  return std::forward<Builder>(builder);
}

class NativeToBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_.Record<Point>({"T"}, "Point").Field("y", &Point::y).Field("x", &Point::x);
    registry_.Enum<Shade>({"T"}, "Shade").Value("DARK", Shade::kDark).Value("LIGHT", Shade::kLight);
    registry_.Enum<Wide>({"T"}, "Wide").Value("HIGH", Wide::kHigh);
    using E = Everything;
    AddFields(registry_.Record<E>({"T"}, "Everything"), 0, std::pair{"b", &E::b},
              std::pair{"i8", &E::i8}, std::pair{"u8", &E::u8}, std::pair{"i16", &E::i16},
              std::pair{"u16", &E::u16}, std::pair{"i32", &E::i32}, std::pair{"u32", &E::u32},
              std::pair{"i64", &E::i64}, std::pair{"u64", &E::u64}, std::pair{"f", &E::f},
              std::pair{"d", &E::d}, std::pair{"s", &E::s}, std::pair{"object", &E::object},
              std::pair{"blob", &E::blob}, std::pair{"noBlob", &E::no_blob},
              std::pair{"points", &E::points}, std::pair{"noTexts", &E::no_texts},
              std::pair{"counts", &E::counts}, std::pair{"shades", &E::shades},
              std::pair{"named", &E::named}, std::pair{"wide", &E::wide},
              std::pair{"point", &E::point}, std::pair{"maybePoint", &E::maybe_point},
              std::pair{"noText", &E::no_text});
    using D = Defaults;
    AddFields(registry_.Record<D>({"T"}, "Defaults"), kFieldOmitDefault, std::pair{"b", &D::b},
              std::pair{"i", &D::i}, std::pair{"d", &D::d}, std::pair{"f", &D::f},
              std::pair{"s", &D::s}, std::pair{"blob", &D::blob}, std::pair{"list", &D::list},
              std::pair{"map", &D::map}, std::pair{"e", &D::e}, std::pair{"object", &D::object},
              std::pair{"point", &D::point}, std::pair{"maybe", &D::maybe},
              std::pair{"count", &D::count})
        .Field("kept", &D::kept);
    registry_.Record<Names>({"T"}, "Names")
        .Field("zeta", &Names::zeta)
        .Field("Zeta", &Names::upper)
        .Field("\xC3\xA9t\xC3\xA9", &Names::accented)
        .Field("ze", &Names::prefix)
        .Field("", &Names::empty);
    registry_.Record<Repeated>({"T"}, "Repeated")
        .Field("same", &Repeated::first)
        .Field("other", &Repeated::second)
        .Field("same", &Repeated::second);
    registry_.Record<HoldsUnknown>({"T"}, "HoldsUnknown")
        .Field("before", &HoldsUnknown::before)
        .Field("inside", &HoldsUnknown::inside);
    static const KindData kCallback = {BindingKind::kCallback, 4, 0, nullptr, nullptr, nullptr};
    registry_.Record<TwoCallbacks>({"T"}, "TwoCallbacks")
        .AddField("zulu", "", offsetof(TwoCallbacks, first), &kCallback, 0)
        .AddField("alpha", "", offsetof(TwoCallbacks, second), &kCallback, 0);
    const KindData* int32 = &KindDataOf<int32_t>();
    registry_.Record<Converted>({"T"}, "Converted")
        .AddField("doubled", "", offsetof(Converted, doubled), int32, 0, &converter_)
        .AddField("zero", "", offsetof(Converted, zero), int32, kFieldOmitDefault, &converter_);
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
    if (a.tag <= KIV_ABI_DOUBLE) {
      EXPECT_EQ(std::memcmp(&a.payload, &b.payload, sizeof(a.payload)), 0) << where;
      return;
    }
    const uint32_t count = a.payload.ref.count;
    ASSERT_EQ(count, b.payload.ref.count) << where;
    ASSERT_EQ(a.payload.ref.pointer == nullptr, b.payload.ref.pointer == nullptr) << where;
    if (a.tag == KIV_ABI_STRING_OWNED || (a.tag == KIV_ABI_BLOB_OWNED && count != 0)) {
      // Texts carry their terminator.
      const size_t size = count + (a.tag == KIV_ABI_STRING_OWNED ? 1 : 0);
      EXPECT_EQ(std::memcmp(a.payload.ref.pointer, b.payload.ref.pointer, size), 0) << where;
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
    } else if (a.tag != KIV_ABI_BLOB_OWNED) {
      ADD_FAILURE() << where << ": unexpected tag " << a.tag;
    }
  }

  DoublingConverter converter_;
  TypeRegistry registry_;
};

TEST_F(NativeToBindingTest, EveryKindOfARecord) {
  Everything e;
  e.object["deep"][0] = "x";
  BindingResult result = ToBinding(e, registry_);
  ASSERT_TRUE(result.ok()) << result.error();
  e.object["deep"][0] = "changed";  // the tree holds a deep copy
  const BindingProperty& v = result.value();
  std::string scalars;
  for (const char* key :
       {"b", "i8", "u8", "i16", "u16", "i32", "u32", "i64", "u64", "f", "d", "blob"}) {
    scalars += std::string(key) + "=" + std::string(BindingTypeName(v[key].type())) + ":" +
               v[key].ToString() + " ";
  }
  EXPECT_EQ(scalars,
            "b=bool:true i8=signed:-128 u8=unsigned:255 i16=signed:-32768 u16=unsigned:65535 "
            "i32=signed:-2147483648 u32=unsigned:4294967295 i64=signed:-9223372036854775808 "
            "u64=unsigned:18446744073709551615 f=float:1.500000 d=float:-0.250000 blob=blob:AAH/ ");
  EXPECT_EQ(v["s"].GetString(), std::string("te\0xt", 5));
  EXPECT_EQ(v.size(), 23u);  // "noText" is left out
  EXPECT_EQ(v["object"]["deep"][0].GetString(), "x");
  EXPECT_EQ(v["points"][1]["x"].GetSigned(), 3);
  EXPECT_EQ(v["noTexts"].type(), BindingType::kCollection);
  EXPECT_EQ(v["counts"]["\xC3\xA9"].GetSigned(), 3);
  EXPECT_EQ(v["shades"]["z"].GetEnum(), (BindingEnum{-2, StaticType::HashCode<Shade>().hash}));
  EXPECT_EQ(v["maybePoint"]["y"].GetSigned(), 10);

  Everything back;
  back.maybe_point.reset();
  ASSERT_EQ(FromBinding(v, "e", &back, registry_).error(), "");
  EXPECT_EQ(back.maybe_point->x, 9);
  EXPECT_EQ(back.counts, e.counts);
  EXPECT_EQ(back.shades, e.shades);

  ExpectSameAsTree(e);
  e.f = std::numeric_limits<float>::quiet_NaN();
  e.points.clear();
  e.object.Reset();
  e.maybe_point.reset();
  e.no_text = "";
  ExpectSameAsTree(e);
}

TEST_F(NativeToBindingTest, EnumsOfEverySizeSignExtend) {
  // An 8-byte enumeration contributes its low 32 bits.
  const uint32_t wide = StaticType::HashCode<Wide>().hash;
  EXPECT_EQ(ToBinding(Wide::kHigh, registry_).value().GetEnum(), (BindingEnum{7, wide}));
  EXPECT_EQ(ToBinding(static_cast<Wide>(-3), registry_).value().GetEnum().value, -3);
  EXPECT_EQ(ToBinding(Shade::kDark, registry_).value().GetEnum().value, -2);
  enum class Medium : uint16_t { kBig = 0xFFFF };
  EXPECT_EQ(ToBinding(Medium::kBig, registry_).value().GetEnum().value, -1);
}

TEST_F(NativeToBindingTest, OmitDefaultLeavesOutDefaultValues) {
  const auto keys = [this](const Defaults& d) {
    BindingResult result = ToBinding(d, registry_);
    std::vector<std::string> keys;
    for (const auto& field : result.value().Fields()) keys.emplace_back(field.key);
    return keys;
  };
  using Keys = std::vector<std::string>;
  Defaults d;
  EXPECT_EQ(keys(d), (Keys{"kept", "point"}));  // a point {x: 0, y: 0} is no empty structure
  ExpectSameAsTree(d);

  d.d = -0.0;           // still a default
  d.f = std::nanf("");  // NaN is not a default
  d.e = Shade::kLight;
  d.s = "s";
  d.count = 0;  // present, holding its type's default: left out too
  d.maybe = Point{};
  d.object.MakeStructure();
  EXPECT_EQ(keys(d), (Keys{"e", "f", "kept", "maybe", "point", "s"}));
  ExpectSameAsTree(d);

  Defaults some;
  some.b = true;
  some.list = {0};
  some.map = {{"", 0}};
  some.blob = {0};
  some.count = 9;
  some.object = BindingEnum{0, StaticType::HashCode<Shade>().hash};  // an enum 0: left out
  EXPECT_EQ(keys(some), (Keys{"b", "blob", "count", "kept", "list", "map", "point"}));
  ExpectSameAsTree(some);
}

TEST_F(NativeToBindingTest, FailuresAreTheSameBothWays) {
  BindingResult result = ToBinding(Unknown{}, registry_);
  EXPECT_EQ(result.error(), kUnregistered);
  // A nested unknown record fails the whole record, and a vector of them.
  result = ToBinding(HoldsUnknown{}, registry_);
  EXPECT_EQ(result.error(), kUnregistered);
  EXPECT_EQ(result.value().size(), 1u);  // only {"error": ...}
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

TEST_F(NativeToBindingTest, ScalarsCollectionsAndMapsAtTheTop) {
  BindingResult result = ToBinding(std::vector<std::string>{"a", "", "c"}, registry_);
  ASSERT_EQ(result.value().size(), 3u);
  EXPECT_EQ(result.value()[1].type(), BindingType::kString);
  result =
      ToBinding(std::map<std::string, std::vector<double>>{{"z", {1.0}}, {"a", {}}}, registry_);
  EXPECT_EQ(result.value()["z"][0].GetFloat(), 1.0);
  EXPECT_EQ(result.value()["a"].type(), BindingType::kCollection);

  ExpectSameAsTree(true);
  ExpectSameAsTree(int16_t{-7});
  ExpectSameAsTree(std::string("top"));
  ExpectSameAsTree(Shade::kDark);
  ExpectSameAsTree(Shade::kNone);
  ExpectSameAsTree(std::vector<std::vector<int32_t>>{{}, {1}});
  ExpectSameAsTree(std::unordered_map<std::string, std::string>{{"k2", "v"}, {"k1", ""}});
  ExpectSameAsTree(std::map<std::string, std::vector<uint8_t>>{});
  // Repeated names and other converters go through a tree.
  ExpectSameAsTree(Converted{21, 0});
  ExpectSameAsTree(Repeated{});
  ExpectSameAsTree(Names{});  // keys in byte order, not in registration order
  ExpectSameAsTree(std::vector<Repeated>(2));
}

}  // namespace
}  // namespace Voro
