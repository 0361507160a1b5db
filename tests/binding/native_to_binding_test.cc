#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/native_conversion.h"
#include "binding/record_builder.h"

namespace Voro {
namespace {

enum class Small : int8_t { kMinus = -2, kZero = 0, kOne = 1 };
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
  std::string s = "text";
  BindingProperty object;
  std::vector<uint8_t> blob = {0, 1, 255};
  std::vector<Point> points = {{1, 2}, {3, 4}};
  std::unordered_map<std::string, int64_t> counts = {{"b", 2}, {"a", 1}};
  Small small = Small::kMinus;
  Point point = {7, 8};
};

struct Defaults {
  bool b = false;
  int32_t i = 0;
  double d = 0.0;
  std::string s;
  std::vector<uint8_t> blob;
  std::vector<int32_t> list;
  std::map<std::string, int32_t> map;
  Small e = Small::kZero;
  BindingProperty object;
  std::optional<Point> point;
  std::optional<uint64_t> count;
  int32_t kept = 0;
};

struct Unknown {
  int32_t value = 1;
};

struct Holder {
  int32_t before = 3;
  Unknown inside;
};

class NativeToBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_.Record<Point>({"T"}, "Point").Field("x", &Point::x).Field("y", &Point::y);
    registry_.Enum<Small>({"T"}, "Small").Value("MINUS", Small::kMinus).Value("ONE", Small::kOne);
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
        .Field("points", &E::points)
        .Field("counts", &E::counts)
        .Field("small", &E::small)
        .Field("point", &E::point);
    using D = Defaults;
    registry_.Record<D>({"T"}, "Defaults")
        .Field("b", &D::b, "", kFieldOmitDefault)
        .Field("i", &D::i, "", kFieldOmitDefault)
        .Field("d", &D::d, "", kFieldOmitDefault)
        .Field("s", &D::s, "", kFieldOmitDefault)
        .Field("blob", &D::blob, "", kFieldOmitDefault)
        .Field("list", &D::list, "", kFieldOmitDefault)
        .Field("map", &D::map, "", kFieldOmitDefault)
        .Field("e", &D::e, "", kFieldOmitDefault)
        .Field("object", &D::object, "", kFieldOmitDefault)
        .Field("point", &D::point)
        .Field("count", &D::count)
        .Field("kept", &D::kept);
  }

  TypeRegistry registry_;
};

TEST_F(NativeToBindingTest, EveryKindOfARecord) {
  Everything e;
  e.object["deep"][0] = "x";
  BindingResult result = ToBinding(e, registry_);
  ASSERT_TRUE(result.ok()) << result.error();
  const BindingProperty& v = result.value();
  ASSERT_EQ(v.type(), BindingType::kStructure);
  EXPECT_EQ(v.size(), 18u);
  EXPECT_EQ(v["b"].type(), BindingType::kBool);
  EXPECT_TRUE(v["b"].GetBool());
  EXPECT_EQ(v["i8"].type(), BindingType::kSigned);
  EXPECT_EQ(v["i8"].GetSigned(), -128);
  EXPECT_EQ(v["u8"].type(), BindingType::kUnsigned);
  EXPECT_EQ(v["u8"].GetUnsigned(), 255u);
  EXPECT_EQ(v["i16"].GetSigned(), -32768);
  EXPECT_EQ(v["u16"].GetUnsigned(), 65535u);
  EXPECT_EQ(v["i32"].GetSigned(), INT32_MIN);
  EXPECT_EQ(v["u32"].GetUnsigned(), UINT32_MAX);
  EXPECT_EQ(v["i64"].GetSigned(), INT64_MIN);
  EXPECT_EQ(v["u64"].GetUnsigned(), UINT64_MAX);
  EXPECT_EQ(v["f"].type(), BindingType::kFloat);
  EXPECT_EQ(v["f"].GetFloat(), 1.5);
  EXPECT_EQ(v["d"].GetFloat(), -0.25);
  EXPECT_EQ(v["s"].GetString(), "text");
  EXPECT_EQ(v["object"]["deep"][0].GetString(), "x");
  EXPECT_EQ(v["blob"].GetBlob(), (std::vector<uint8_t>{0, 1, 255}));
  ASSERT_EQ(v["points"].type(), BindingType::kCollection);
  ASSERT_EQ(v["points"].size(), 2u);
  EXPECT_EQ(v["points"][1]["x"].GetSigned(), 3);
  EXPECT_EQ(v["points"][1]["y"].GetSigned(), 4);
  ASSERT_EQ(v["counts"].type(), BindingType::kStructure);
  EXPECT_EQ(v["counts"]["a"].GetSigned(), 1);
  EXPECT_EQ(v["counts"]["b"].GetSigned(), 2);
  EXPECT_EQ(v["small"].GetEnum(), (BindingEnum{-2, StaticType::HashCode<Small>().hash}));
  EXPECT_EQ(v["point"]["y"].GetSigned(), 8);
}

TEST_F(NativeToBindingTest, ObjectIsADeepCopy) {
  Everything e;
  e.object["list"][2]["k"] = int64_t{5};
  BindingResult result = ToBinding(e, registry_);
  ASSERT_TRUE(result.ok());
  e.object["list"][2]["k"] = int64_t{6};
  EXPECT_EQ(result.value()["object"]["list"][2]["k"].GetSigned(), 5);
  EXPECT_NE(result.value()["object"].storage(), e.object.storage());
}

TEST_F(NativeToBindingTest, EnumsOfEverySizeSignExtend) {
  EXPECT_EQ(ToBinding(Small::kMinus, registry_).value().GetEnum().value, -2);
  // An 8-byte enumeration contributes its low 32 bits.
  BindingResult wide = ToBinding(Wide::kHigh, registry_);
  ASSERT_TRUE(wide.ok());
  EXPECT_EQ(wide.value().GetEnum(), (BindingEnum{7, StaticType::HashCode<Wide>().hash}));
  const auto negative = static_cast<Wide>(int64_t{-3});
  EXPECT_EQ(ToBinding(negative, registry_).value().GetEnum().value, -3);
  enum class Medium : uint16_t { kBig = 0xFFFF };
  EXPECT_EQ(ToBinding(Medium::kBig, registry_).value().GetEnum().value, -1);
}

TEST_F(NativeToBindingTest, OmitDefaultLeavesOutDefaultValues) {
  Defaults d;
  BindingResult result = ToBinding(d, registry_);
  ASSERT_TRUE(result.ok()) << result.error();
  // Only the field without the flag remains.
  ASSERT_EQ(result.value().size(), 1u);
  EXPECT_EQ(result.value()["kept"].GetSigned(), 0);

  d.b = true;
  d.i = -1;
  d.d = std::nan("");  // NaN is not a default
  d.s = "s";
  d.blob = {0};
  d.list = {0};
  d.map = {{"k", 0}};
  d.e = Small::kOne;
  d.object = false;  // false is a default
  d.point = Point{};
  d.count = 9;
  result = ToBinding(d, registry_);
  ASSERT_TRUE(result.ok()) << result.error();
  const BindingProperty& v = result.value();
  EXPECT_EQ(v.size(), 11u);
  EXPECT_EQ(v.FindField("object"), nullptr);
  EXPECT_TRUE(std::isnan(v["d"].GetFloat()));
  EXPECT_EQ(v["point"].type(), BindingType::kStructure);  // {x: 0, y: 0} is not empty
  EXPECT_EQ(v["count"].GetUnsigned(), 9u);
  EXPECT_EQ(v["e"].GetEnum().value, 1);

  // An optional holding its type's default is left out too.
  d.count = 0;
  result = ToBinding(d, registry_);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value().FindField("count"), nullptr);
}

TEST_F(NativeToBindingTest, DefaultValueRule) {
  BindingProperty v;
  EXPECT_TRUE(IsDefaultBindingValue(v));
  v = 0.0;
  EXPECT_TRUE(IsDefaultBindingValue(v));
  v = -0.0;
  EXPECT_TRUE(IsDefaultBindingValue(v));
  v = 1e-300;
  EXPECT_FALSE(IsDefaultBindingValue(v));
  v = uint64_t{0};
  EXPECT_TRUE(IsDefaultBindingValue(v));
  v = BindingEnum{0, 99};
  EXPECT_TRUE(IsDefaultBindingValue(v));
  v = "";
  EXPECT_TRUE(IsDefaultBindingValue(v));
  v = " ";
  EXPECT_FALSE(IsDefaultBindingValue(v));
  v.MakeCollection();
  EXPECT_TRUE(IsDefaultBindingValue(v));
  v.Append();
  EXPECT_FALSE(IsDefaultBindingValue(v));
  v.Reset();
  v.MakeStructure();
  EXPECT_TRUE(IsDefaultBindingValue(v));
}

TEST_F(NativeToBindingTest, UnregisteredRecordFails) {
  const char* expected = "Couldn't convert native value because it's an unregistered structure.";
  BindingResult result = ToBinding(Unknown{}, registry_);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error(), expected);

  // The same when only a nested record is unknown: its failure becomes the record's.
  registry_.Record<Holder>({"T"}, "Holder")
      .Field("before", &Holder::before)
      .Field("inside", &Holder::inside);
  result = ToBinding(Holder{}, registry_);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error(), expected);
  EXPECT_EQ(result.value().FindField("before"), nullptr);

  TypeRegistry empty;
  result = ToBinding(std::vector<Point>{{1, 2}}, empty);
  EXPECT_EQ(result.error(), expected);
  EXPECT_EQ(result.value().size(), 1u);  // only {"error": ...}
}

TEST_F(NativeToBindingTest, VectorsAndMapsOfScalars) {
  BindingResult result = ToBinding(std::vector<std::string>{"a", "", "c"}, registry_);
  ASSERT_TRUE(result.ok());
  ASSERT_EQ(result.value().size(), 3u);
  EXPECT_EQ(result.value()[2].GetString(), "c");
  EXPECT_EQ(result.value()[1].type(), BindingType::kString);

  result = ToBinding(std::vector<int32_t>{}, registry_);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value().type(), BindingType::kCollection);
  EXPECT_EQ(result.value().size(), 0u);

  result =
      ToBinding(std::map<std::string, std::vector<double>>{{"z", {1.0}}, {"a", {}}}, registry_);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value()["z"][0].GetFloat(), 1.0);
  EXPECT_EQ(result.value()["a"].type(), BindingType::kCollection);
}

}  // namespace
}  // namespace Voro

namespace Voro {
namespace {

// The shape the login records take: optional nested records and an enum registered out of
// order, declared once and converted both ways.
enum class SessionState : int32_t { kInProgress = 0, kSucceeded = 1, kLoggingOut = 2, kError = 3 };

struct QueueInfo {
  uint64_t position = 0;
  bool capped = false;
  std::optional<uint64_t> wait_seconds;
};

struct Session {
  SessionState state = SessionState::kInProgress;
  std::string username;
  std::optional<QueueInfo> queue;
  BindingProperty token;
};

TEST(DeclaredRecordsTest, OptionalRecordsRoundTrip) {
  TypeRegistry registry;
  registry.Enum<SessionState>({"Voro", "Client", "Api"}, "SessionState")
      .Value("IN_PROGRESS", SessionState::kInProgress)
      .Value("ERROR", SessionState::kError)
      .Value("SUCCEEDED", SessionState::kSucceeded)
      .Value("LOGGING_OUT", SessionState::kLoggingOut);
  registry.Record<QueueInfo>({"Voro", "Client", "Api"}, "QueueInfo")
      .Field("position", &QueueInfo::position)
      .Field("capped", &QueueInfo::capped)
      .Field("waitSeconds", &QueueInfo::wait_seconds);
  registry.Record<Session>({"Voro", "Client", "Api"}, "Session")
      .Field("state", &Session::state)
      .Field("username", &Session::username)
      .Field("queue", &Session::queue)
      .Field("token", &Session::token);

  Session session;
  session.state = SessionState::kLoggingOut;
  session.username = "u";
  BindingResult result = ToBinding(session, registry);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(result.value().FindField("queue"), nullptr);
  EXPECT_EQ(result.value()["token"].type(), BindingType::kEmpty);
  EXPECT_EQ(result.value()["state"].GetEnum().value, 2);

  session.queue = QueueInfo{5, true, 30};
  result = ToBinding(session, registry);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(result.value()["queue"]["position"].GetUnsigned(), 5u);
  EXPECT_EQ(result.value()["queue"]["waitSeconds"].GetUnsigned(), 30u);

  Session back;
  ASSERT_TRUE(FromBinding(result.value(), "session", &back, registry).ok());
  EXPECT_EQ(back.state, SessionState::kLoggingOut);
  ASSERT_TRUE(back.queue.has_value());
  EXPECT_TRUE(back.queue->capped);
  EXPECT_EQ(back.queue->wait_seconds, std::optional<uint64_t>(30));

  BindingProperty input;
  input["state"] = "SUCCEEDED";
  input["queue"]["position"] = "many";
  Session failed;
  EXPECT_EQ(FromBinding(input, "session", &failed, registry).error(),
            "Value many for 'position' of type uint64 is in an incorrect format");
  EXPECT_EQ(failed.state, SessionState::kSucceeded);
  input["queue"] = "x";
  EXPECT_EQ(FromBinding(input, "session", &failed, registry).error(),
            "Couldn't assign value to 'queue' of type QueueInfo because the input not a "
            "structure.");
}

}  // namespace
}  // namespace Voro
