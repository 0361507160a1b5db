#include "lcds/flex_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <tuple>

#include "binding/value/binding_property.h"
#include "diag/log_test_support.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_conversion.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_test_support.h"
#include "lcds/flex_message_classes.h"
#include "support/manual_clock.h"

namespace Voro {
namespace {

using namespace amf_testing;
using Bytes = std::vector<uint8_t>;

// The sealed members every message class starts with, as inline traits spell them.
const std::string kMessageMembers =
    " 09 'body' 11 'clientId' 17 'destination' 0F 'headers' 13 'messageId' 13 'timestamp'"
    " 15 'timeToLive' ";

TEST(FlexMessageClassesTest, RegisteredOnceEvenByRacingThreadsKeepingAnEarlierDefinition) {
  const auto global = GetFlexMessageClasses().async_message;
  EXPECT_EQ(AmfClassRegistry::Global().Find(kAsyncMessageClassName), global);
  // As if a push had taught the registry one class first, with fewer members.
  AmfClassRegistry registry;
  auto learnt = registry.Create(kAsyncMessageClassName, false, false,
                                {{"body", AmfTypeHint::Any()}, {"extra", AmfTypeHint::Any()}});
  std::vector<FlexMessageClasses> seen(6);
  std::vector<std::thread> threads;
  for (auto& classes : seen) {
    threads.emplace_back([&registry, &classes] { classes = RegisterFlexMessageClasses(registry); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(registry.size(), 4u);
  for (const FlexMessageClasses& classes : seen) {
    EXPECT_EQ(classes.async_message, learnt);
    EXPECT_EQ(classes.command_message, seen[0].command_message);
    EXPECT_EQ(classes.remoting_message, seen[0].remoting_message);
  }
  std::vector<std::string> names;
  for (const AmfClassMember& member : *learnt->Members()) names.push_back(member.name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"body", "extra", "clientId", "destination", "headers",
                                      "messageId", "timestamp", "timeToLive", "correlationId"}));
}

TEST(MessageIdGeneratorTest, IdsCountFromZeroUnderAPrefixDrawnUntilItChanges) {
  const uint32_t values[] = {0, 0, 9, 9, 9, 9, 4'000'000'000u};
  size_t draws = 0;
  MessageIdGenerator ids([&] { return values[draws++]; });
  EXPECT_EQ(ids.Next(), "0-0");  // before the first connection attempt
  ids.Renew();                   // 0 is the current prefix: drawn again twice
  EXPECT_EQ(draws, 3u);
  EXPECT_EQ(ids.prefix(), 9u);
  EXPECT_EQ(ids.Next(), "9-0");
  EXPECT_EQ(ids.Next(), "9-1");
  EXPECT_EQ(ids.counter(), 2u);
  ids.Renew();
  EXPECT_EQ(draws, 7u);
  EXPECT_EQ(ids.Next(), "4000000000-0");  // both parts print unsigned
}

TEST(MessageIdGeneratorTest, TheSystemSourceGivesFreshPrefixesOverTheWholeRange) {
  // A fixed seed repeats across generators; a narrow source (15-bit rand) never sets bit 31.
  MessageIdGenerator first;
  MessageIdGenerator second;
  std::set<uint32_t> prefixes;
  bool high = false;
  for (int i = 0; i < 32; ++i) {
    for (MessageIdGenerator* ids : {&first, &second}) {
      ids->Renew();
      prefixes.insert(ids->prefix());
      high = high || ids->prefix() >= 0x80000000u;
    }
  }
  EXPECT_EQ(prefixes.size(), 64u);
  EXPECT_TRUE(high);
}

TEST(MessageIdGeneratorTest, ConcurrentIdsAreUniqueEvenWhileRenewing) {
  // Every prefix is new, so a prefix torn from its counter would show up as a repeat, as
  // would a lost increment.
  std::atomic<uint32_t> next_prefix{100};
  MessageIdGenerator ids([&next_prefix] { return next_prefix.fetch_add(1); });
  std::atomic<bool> done{false};
  std::thread renewer([&] {
    while (!done) ids.Renew();
  });
  std::vector<std::vector<std::string>> made(4);
  std::vector<std::thread> threads;
  for (auto& list : made) {
    threads.emplace_back([&ids, &list] {
      for (int i = 0; i < 3000; ++i) list.push_back(ids.Next());
    });
  }
  for (std::thread& thread : threads) thread.join();
  done = true;
  renewer.join();
  std::set<std::string> unique;
  for (const auto& list : made) unique.insert(list.begin(), list.end());
  EXPECT_EQ(unique.size(), 4u * 3000u);
}

class FlexMessagesTest : public testing_support::LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    SimulateInitialize();
  }
  // Nothing in building or reading a message may be refused by the member rules, nor logged.
  void TearDown() override {
    EXPECT_EQ(recorder_.Count(), 0u) << (recorder_.Count() ? recorder_.Messages()[0] : "");
    LoggerTest::TearDown();
  }
};

TEST_F(FlexMessagesTest, RemotingMessagesOnTheWire) {
  testing::ManualClock clock(1'000'000'000, int64_t{1} << 40);
  MessageIdGenerator ids([] { return 7u; });
  ids.Renew();
  const FlexClientIdentity identity{kRtmpEndpointName, "C-42"};
  const Amf3Item body = Array3({Amf3Item::Integer(1)});
  AmfWriter writer;
  writer.WriteAmf3(MakeRemotingMessage(identity, ids, "svc", "op", body));
  writer.WriteAmf3(MakeRemotingMessage(identity, ids, "svc", "op", body));
  const Bytes expected = FromHex(
      "0A 81 13 4F 'flex.messaging.messages.RemotingMessage'" + kMessageMembers +
      "0D 'source' 13 'operation'"                // inline traits: 9 sealed members, not dynamic
      " 09 03 01 04 01 06 09 'C-42' 06 07 'svc'"  // body [1], clientId, destination: strings 10, 11
      " 0A 0B 01 15 'DSEndpoint' 06 0F 'my-rtmp' 09 'DSId' 06 14"  // headers: anonymous, dynamic
      " 21 'DSRequestTimeout' 04 3C 01"                            // strings 12 to 15
      " 06 07 '7-0' 08 01 4270000000000000"  // messageId (string 16), timestamp 2^40 (object 3)
      " 04 00 01 06 05 'op'"                 // timeToLive, Null source, operation (string 17)
      // The second message: traits 0, the same body, new headers, the same date, and all
      // strings but the messageId by reference.
      " 0A 01 09 02 06 14 06 16 0A 0B 01 18 06 1A 1C 06 14 1E 04 3C 01"
      " 06 07 '7-1' 08 06 04 00 01 06 22");
  EXPECT_EQ(ToHex(writer.bytes()), ToHex(expected));
}

TEST_F(FlexMessagesTest, HeadersAndCommandMessagesOnTheWire) {
  const FlexClientIdentity identity{kRtmpEndpointName, "C-1"};
  EXPECT_EQ(Amf3Hex(MakeHeaders(identity, "bc")),
            ToHex(FromHex("0A 0B 01 15 'DSEndpoint' 06 0F 'my-rtmp' 09 'DSId' 06 07 'C-1'"
                          " 21 'DSRequestTimeout' 04 3C 15 'DSSubtopic' 06 05 'bc' 01")));
  EXPECT_EQ(Amf3Hex(MakeHeaders(identity, "")), Amf3Hex(MakeHeaders(identity)));  // no subtopic

  MessageIdGenerator ids([] { return 5u; });
  ids.Renew();
  EXPECT_EQ(Amf3Hex(MakeCommandMessage(ids, "", kFlexSubscribeOperation)),
            ToHex(FromHex("0A 81 13 4D 'flex.messaging.messages.CommandMessage'" + kMessageMembers +
                          "1B 'correlationId' 13 'operation'"  // 9 sealed members
                          " 01 01 01 01 06 07 '5-0'"           // body to headers unset, messageId
                          " 01 01 06 01 04 00")));             // timestamp, timeToLive unset, "", 0
  const Amf3Item unsubscribe = MakeCommandMessage(ids, "m-9", kFlexUnsubscribeOperation);
  EXPECT_EQ(unsubscribe.AsObject().GetMember("messageId").AsString(), "5-1");
  EXPECT_EQ(unsubscribe.AsObject().GetMember("correlationId").AsString(), "m-9");
  EXPECT_EQ(unsubscribe.AsObject().GetMember("operation").AsInteger(), 1);
}

TEST_F(FlexMessagesTest, AsyncMessageFromTheWire) {
  GetFlexMessageClasses();  // as in a session: our messages go out before any push arrives
  const Bytes bytes =       // behind the AMF0 switch marker, as "receive" sends it
      FromHex("11 0A 81 03 49 'flex.messaging.messages.AsyncMessage'" + kMessageMembers +
              "1B 'correlationId'"                            // 8 sealed members
              " 09 03 01 06 07 'hey' 06 0B 'C-7-9' 01"        // body ["hey"], clientId, destination
              " 0A 0B 01 15 'DSSubtopic' 06 0F 'bc.1234' 01"  // headers
              " 06 07 'm-1' 05 4270000000000000 04 00 01");   // messageId to correlationId
  AmfReader reader(bytes);
  const Push push = DecodePush(reader.ReadAmf0());
  ASSERT_TRUE(reader.at_end());
  EXPECT_EQ(push.subtopic, "bc.1234");
  EXPECT_EQ(push.client_id, "C-7-9");
  ASSERT_EQ(push.body.AsArray().dense.size(), 1u);
  EXPECT_EQ(push.body.AsArray().dense[0].AsString(), "hey");
}

TEST_F(FlexMessagesTest, FieldsAreReadWhereverTheyAreAndOnlyWithTheirTypes) {
  const auto async_message = GetFlexMessageClasses().async_message;
  Amf3Item mistyped = MakeHeaders(FlexClientIdentity{});
  mistyped.MutableObject()->SetDynamicMember("DSSubtopic", Amf3Item::Integer(3));
  // An anonymous dynamic object is read through its dynamic members.
  Amf3Item anonymous(Amf3Kind::kObject);
  anonymous.MutableObject()->SetDynamicMember("clientId", Amf3Item::String("x"));
  anonymous.MutableObject()->SetDynamicMember("headers", MakeHeaders(FlexClientIdentity{}, "s"));
  const std::tuple<const char*, AmfValue, const char*, const char*, int> rows[] = {
      // name, argument, subtopic, client id, body (-1: Undefined)
      {"nothing but a body", Object3(async_message, {{"body", Amf3Item::Integer(5)}}), "n/a", "n/a",
       5},
      {"mistyped",
       Object3(async_message, {{"headers", mistyped}, {"clientId", Amf3Item::Integer(8)}}), "n/a",
       "n/a", -1},
      {"anonymous", anonymous, "s", "x", -1},
      {"no object", Amf0Item::String("body"), "n/a", "n/a", -1},
      {"no argument", Amf0Item(), "n/a", "n/a", -1},  // "receive" without one: Undefined
  };
  for (const auto& [name, argument, subtopic, client_id, body] : rows) {
    SCOPED_TRACE(name);
    const Push push = DecodePush(argument);
    EXPECT_EQ(push.subtopic, subtopic);
    EXPECT_EQ(push.client_id, client_id);
    EXPECT_EQ(push.body.is_undefined(), body < 0);
    if (body >= 0) {
      EXPECT_EQ(push.body.AsInteger(), body);
    }
  }
}

TEST_F(FlexMessagesTest, Amf0MessagesAreReadThroughTheirMembersWithTheBodyInAmf3) {
  const Bytes bytes = FromHex(
      "03 0007 'headers' 03 000A 'DSSubtopic' 02 0002 'bc' 000009"  // objects 0 and 1
      " 0008 'clientId' 11 06 07 'C-1'"                             // an AMF3 string
      " 0004 'body' 0A 00000009 0101 05 0B 4014000000000000 0000"   // array 2: true, Null, date 5,
      " 0C 00000001 'L' 06 08 00000001 0001 'a' 00 3FF8000000000000 000009"  // "L", Undefined, 3
      " 10 0008 'kiv.Kick' 000C 'sessionToken' 02 0001 't'"                  // typed object 4
      " 0001 'n' 00 4000000000000000 0004 'self' 07 0004 000009 07 0004"     // 2.0, itself; again
      " 03 0001 'k' 02 0001 'v' 000009"                                      // anonymous object 5
      " 000009");
  AmfReader reader(bytes);
  const Push push = DecodePush(reader.ReadAmf0());
  ASSERT_TRUE(reader.at_end());
  EXPECT_EQ(push.subtopic, "bc");
  EXPECT_EQ(push.client_id, "C-1");
  // Typed objects keep their name; their members become sealed members of a class that is
  // not registered. One payload met twice is written once; met inside itself, it is a back
  // reference, which does not own it.
  EXPECT_EQ(Amf3Hex(push.body),
            ToHex(FromHex("09 13 01 03 01 08 01 4014000000000000 06 03 'L' 00"
                          " 09 01 03 'a' 05 3FF8000000000000 01"  // the ECMA array
                          " 0A 33 11 'kiv.Kick' 03 'n' 09 'self' 19 'sessionToken'"
                          " 05 4000000000000000 0A 06 06 03 't' 0A 06"  // 2.0, itself, "t"; again
                          " 0A 13 01 03 'k' 06 03 'v'")));
  const std::vector<Amf3Item>& dense = push.body.AsArray().dense;
  EXPECT_EQ(AmfClassRegistry::Global().Find("kiv.Kick"), nullptr);
  EXPECT_TRUE(dense[6].AsObject().GetMember("self").is_back_reference());
  EXPECT_FALSE(dense[7].is_back_reference());
  const BindingProperty converted = ToBindingProperty(dense[6]);  // sealed members carry on
  EXPECT_EQ(converted.type(), BindingType::kStructure);
  EXPECT_EQ(converted.Field("sessionToken").GetString(), "t");

  const Bytes amf3_body = FromHex("03 0004 'body' 11 06 0B 'as is' 000009");  // taken as it is
  EXPECT_EQ(DecodePush(AmfReader(amf3_body).ReadAmf0()).body.AsString(), "as is");
}

TEST_F(FlexMessagesTest, DeepAmf0BodyIsCutOff) {
  Amf0Item body(Amf0Kind::kStrictArray);
  Amf0Item innermost = body;
  for (int i = 0; i < 1500; ++i) {
    innermost =
        innermost.MutableStrictArray()->emplace_back(Amf0Item(Amf0Kind::kStrictArray)).amf0();
  }
  const Push push = DecodePush(Object0("", {{"body", body}}));
  size_t arrays = 0;
  const Amf3Item* item = &push.body;
  for (; item->kind() == Amf3Kind::kArray; item = &item->AsArray().dense.at(0)) ++arrays;
  EXPECT_EQ(arrays, kMaxAmfConversionDepth);
  EXPECT_TRUE(item->is_undefined());
}

}  // namespace
}  // namespace Voro
