#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "binding/binding_property.h"
#include "diag/log_test_support.h"
#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_conversion.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_test_support.h"
#include "lcds/amf/amf_writer.h"
#include "lcds/flex_message_classes.h"
#include "lcds/flex_messages.h"
#include "lcds/message_id_generator.h"
#include "support/manual_clock.h"

namespace Voro {
namespace {

using amf_testing::FromHex;
using amf_testing::ToHex;
using testing_support::LoggerTest;

// ASCII text as hex pairs, so that expected byte strings can spell out their names.
std::string Text(std::string_view ascii) {
  return ToHex(std::vector<uint8_t>(ascii.begin(), ascii.end()));
}

// Pieces of hex and Text() joined into the bytes they spell.
std::vector<uint8_t> Bytes(std::initializer_list<std::string> pieces) {
  std::string hex;
  for (const std::string& piece : pieces) hex += " " + piece;
  return FromHex(hex);
}

std::vector<std::string> MemberNames(const AmfClass& amf_class) {
  std::vector<std::string> names;
  for (const AmfClassMember& member : *amf_class.Members()) names.push_back(member.name);
  return names;
}

// A source that hands out the given values in turn and counts the draws.
MessageIdGenerator::RandomSource Sequence(std::vector<uint32_t> values, size_t* draws) {
  return [values = std::move(values), draws]() {
    const uint32_t value = values[*draws % values.size()];
    ++*draws;
    return value;
  };
}

// ---------------------------------------------------------------------------------------
// Class definitions

TEST(FlexMessageClassesTest, FourSealedClassesRegisteredOnce) {
  const FlexMessageClasses& classes = GetFlexMessageClasses();
  EXPECT_EQ(&GetFlexMessageClasses(), &classes);
  AmfClassRegistry& registry = AmfClassRegistry::Global();
  EXPECT_EQ(registry.Find(kAbstractMessageClassName), classes.abstract_message);
  EXPECT_EQ(registry.Find(kAsyncMessageClassName), classes.async_message);
  EXPECT_EQ(registry.Find(kCommandMessageClassName), classes.command_message);
  EXPECT_EQ(registry.Find(kRemotingMessageClassName), classes.remoting_message);
  EXPECT_EQ(classes.remoting_message->name(), "flex.messaging.messages.RemotingMessage");
  for (const auto& amf_class : {classes.abstract_message, classes.async_message,
                                classes.command_message, classes.remoting_message}) {
    EXPECT_FALSE(amf_class->externalizable()) << amf_class->name();
    EXPECT_FALSE(amf_class->dynamic()) << amf_class->name();
  }

  const std::vector<std::string> abstract = {"body",      "clientId",  "destination", "headers",
                                             "messageId", "timestamp", "timeToLive"};
  EXPECT_EQ(MemberNames(*classes.abstract_message), abstract);
  std::vector<std::string> async = abstract;
  async.push_back("correlationId");
  EXPECT_EQ(MemberNames(*classes.async_message), async);
  std::vector<std::string> command = async;
  command.push_back("operation");
  EXPECT_EQ(MemberNames(*classes.command_message), command);
  std::vector<std::string> remoting = abstract;
  remoting.push_back("source");
  remoting.push_back("operation");
  EXPECT_EQ(MemberNames(*classes.remoting_message), remoting);

  const AmfMemberList& members = *classes.remoting_message->Members();
  const AmfTypeHintRef remoting_hints[] = {
      AmfTypeHint::Any(),     AmfTypeHint::String(), AmfTypeHint::String(),
      AmfTypeHint::Headers(), AmfTypeHint::String(), AmfTypeHint::Number(),
      AmfTypeHint::Number(),  AmfTypeHint::String(), AmfTypeHint::String()};
  for (size_t i = 0; i < members.size(); ++i) {
    EXPECT_EQ(members[i].hint, remoting_hints[i]) << members[i].name;
  }
  const AmfMemberList& command_members = *classes.command_message->Members();
  EXPECT_EQ(command_members[7].hint, AmfTypeHint::String());   // correlationId
  EXPECT_EQ(command_members[8].hint, AmfTypeHint::Integer());  // operation
  EXPECT_EQ(AmfTypeHint::Integer()->code(), AmfTypeHint::Code::kInteger);
  for (const auto& other :
       {AmfTypeHint::Any(), AmfTypeHint::String(), AmfTypeHint::Number(), AmfTypeHint::Headers()}) {
    EXPECT_NE(other->code(), AmfTypeHint::Integer()->code());
  }
}

TEST(FlexMessageClassesTest, RacingRegistrationsYieldOneDefinitionPerName) {
  AmfClassRegistry registry;
  std::vector<FlexMessageClasses> seen(6);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&registry, &seen, i] { seen[i] = RegisterFlexMessageClasses(registry); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(registry.size(), 4u);
  for (const FlexMessageClasses& classes : seen) {
    EXPECT_EQ(classes.async_message, seen[0].async_message);
    EXPECT_EQ(classes.command_message, seen[0].command_message);
    EXPECT_EQ(classes.remoting_message, seen[0].remoting_message);
    EXPECT_EQ(classes.command_message->MemberCount(), 9u);
  }
}

TEST(FlexMessageClassesTest, AnEarlierDefinitionIsKeptAndCompleted) {
  // As if a push had taught the registry the class first, with fewer members.
  AmfClassRegistry registry;
  auto learnt = registry.Create(kAsyncMessageClassName, false, false,
                                {{"body", AmfTypeHint::Any()}, {"extra", AmfTypeHint::Any()}});
  const FlexMessageClasses classes = RegisterFlexMessageClasses(registry);
  EXPECT_EQ(classes.async_message, learnt);
  EXPECT_EQ(registry.size(), 4u);
  const std::vector<std::string> expected = {"body",        "extra",      "clientId",
                                             "destination", "headers",    "messageId",
                                             "timestamp",   "timeToLive", "correlationId"};
  EXPECT_EQ(MemberNames(*learnt), expected);
}

// ---------------------------------------------------------------------------------------
// Message ids

TEST(MessageIdGeneratorTest, IdsCountFromZeroUnderOnePrefix) {
  size_t draws = 0;
  MessageIdGenerator ids(Sequence({41}, &draws));
  EXPECT_EQ(ids.Next(), "0-0");  // before the first connection attempt
  ids.Renew();
  EXPECT_EQ(draws, 1u);
  EXPECT_EQ(ids.prefix(), 41u);
  EXPECT_EQ(ids.Next(), "41-0");
  EXPECT_EQ(ids.Next(), "41-1");
  EXPECT_EQ(ids.Next(), "41-2");
  EXPECT_EQ(ids.counter(), 3u);

  // Both parts print unsigned.
  MessageIdGenerator high(Sequence({4'000'000'000u}, &draws));
  high.Renew();
  EXPECT_EQ(high.Next(), "4000000000-0");
}

TEST(MessageIdGeneratorTest, RenewDrawsUntilThePrefixChanges) {
  size_t draws = 0;
  MessageIdGenerator ids(Sequence({0, 0, 9, 9, 9, 9, 4}, &draws));
  ids.Renew();  // 0 is the current prefix: drawn again twice
  EXPECT_EQ(draws, 3u);
  EXPECT_EQ(ids.Next(), "9-0");
  EXPECT_EQ(ids.Next(), "9-1");
  ids.Renew();
  EXPECT_EQ(draws, 7u);
  EXPECT_EQ(ids.Next(), "4-0");
}

TEST(MessageIdGeneratorTest, RandomDeviceGivesANewPrefixEachAttempt) {
  MessageIdGenerator ids;
  ids.Renew();
  const uint32_t first = ids.prefix();
  ids.Next();
  ids.Next();
  ids.Renew();
  EXPECT_NE(ids.prefix(), first);
  EXPECT_EQ(ids.Next(), std::to_string(ids.prefix()) + "-0");
}

TEST(MessageIdGeneratorTest, ConcurrentIdsAreUnique) {
  MessageIdGenerator ids;
  ids.Renew();
  constexpr size_t kThreads = 6;
  constexpr size_t kPerThread = 3000;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ids, &made, t] {
      for (size_t i = 0; i < kPerThread; ++i) made[t].push_back(ids.Next());
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> unique;
  for (const auto& list : made) unique.insert(list.begin(), list.end());
  EXPECT_EQ(unique.size(), kThreads * kPerThread);
  EXPECT_EQ(ids.counter(), kThreads * kPerThread);
  const std::string prefix = std::to_string(ids.prefix()) + "-";
  for (const std::string& id : unique) {
    ASSERT_EQ(id.compare(0, prefix.size(), prefix), 0) << id;
  }
}

TEST(MessageIdGeneratorTest, RenewingWhileOthersMakeIdsNeverRepeatsOne) {
  // Every prefix is new, so a prefix torn from its counter would show up as a repeat.
  std::atomic<uint32_t> next_prefix{100};
  MessageIdGenerator ids([&next_prefix] { return next_prefix.fetch_add(1); });
  std::atomic<bool> done{false};
  std::vector<std::vector<std::string>> made(3);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < made.size(); ++t) {
    threads.emplace_back([&ids, &made, t] {
      for (int i = 0; i < 4000; ++i) made[t].push_back(ids.Next());
    });
  }
  std::thread renewer([&ids, &done] {
    while (!done.load()) ids.Renew();
  });
  for (std::thread& thread : threads) thread.join();
  done = true;
  renewer.join();
  std::set<std::string> unique;
  for (const auto& list : made) unique.insert(list.begin(), list.end());
  EXPECT_EQ(unique.size(), 3u * 4000u);
}

// ---------------------------------------------------------------------------------------
// Outgoing messages

class FlexMessagesTest : public LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    SimulateInitialize();
  }
  // Nothing in building or reading a message may be refused by the member rules, nor logged.
  void TearDown() override {
    if (expect_no_logs_) {
      EXPECT_EQ(recorder_.Count(), 0u) << (recorder_.Count() ? recorder_.Messages()[0] : "");
    }
    LoggerTest::TearDown();
  }

  bool expect_no_logs_ = true;
  size_t draws_ = 0;
};

// 2^40 ms: the double 0x4270000000000000.
constexpr int64_t kTimestamp = int64_t{1} << 40;

TEST_F(FlexMessagesTest, RemotingMessagesOnTheWire) {
  testing::ManualClock clock(1'000'000'000, kTimestamp);
  MessageIdGenerator ids(Sequence({7}, &draws_));
  ids.Renew();
  const FlexClientIdentity identity;
  auto arguments = std::make_shared<Amf3Array>();
  arguments->dense.push_back(Amf3Item::Integer(1));
  const Amf3Item body = Amf3Item::Array(arguments);

  AmfWriter writer;
  writer.WriteAmf3(MakeRemotingMessage(identity, ids, "svc", "op", body));
  writer.WriteAmf3(MakeRemotingMessage(identity, ids, "svc", "op", body));

  // clang-format off
  const std::vector<uint8_t> expected = Bytes({
      // The first message, with inline traits: 9 sealed members, not dynamic.
      "0A 81 13 4F", Text("flex.messaging.messages.RemotingMessage"),
      "09", Text("body"), "11", Text("clientId"), "17", Text("destination"),
      "0F", Text("headers"), "13", Text("messageId"), "13", Text("timestamp"),
      "15", Text("timeToLive"), "0D", Text("source"), "13", Text("operation"),
      "09 03 01 04 01",                 // body: [1]
      "06 07", Text("nil"),             // clientId (string 10)
      "06 07", Text("svc"),             // destination (string 11)
      "0A 0B 01",                       // headers: anonymous, dynamic, nothing sealed
      "15", Text("DSEndpoint"),         // (string 12)
      "06 0F", Text("my-rtmp"),         // (string 13)
      "09", Text("DSId"), "06 14",      // (string 14), "nil" by reference
      "21", Text("DSRequestTimeout"),   // (string 15)
      "04 3C",                          // 60
      "01",                             // end of the dynamic members
      "06 07", Text("7-0"),             // messageId (string 16)
      "08 01 42 70 00 00 00 00 00 00",  // timestamp 2^40 (object 3)
      "04 00",                          // timeToLive
      "01",                             // source
      "06 05", Text("op"),              // operation (string 17)
      // The second message: a traits reference and mostly references.
      "0A 01",                                   // traits 0
      "09 02",                                   // the same body: object 1
      "06 14 06 16",                             // "nil", "svc"
      "0A 0B 01 18 06 1A 1C 06 14 1E 04 3C 01",  // new headers, names and values by reference
      "06 07", Text("7-1"),                      // messageId
      "08 06",                                   // the same date: object 3
      "04 00 01 06 22",                          // timeToLive, source, operation "op"
  });
  // clang-format on
  EXPECT_EQ(ToHex(writer.bytes()), ToHex(expected));
}

TEST_F(FlexMessagesTest, RemotingMessageMembers) {
  testing::ManualClock clock(1'000'000'000, 1'700'000'000'123);
  MessageIdGenerator ids(Sequence({3}, &draws_));
  ids.Renew();
  FlexClientIdentity identity;
  identity.client_id = "C-42";
  const Amf3Item message = MakeRemotingMessage(identity, ids, "d", "o", Amf3Item::Null());
  const Amf3Object& object = message.AsObject();
  EXPECT_EQ(object.amf_class(), GetFlexMessageClasses().remoting_message);
  EXPECT_EQ(object.GetMember("timestamp").kind(), Amf3Kind::kDate);
  EXPECT_EQ(object.GetMember("timestamp").AsDate(), 1'700'000'000'123);
  EXPECT_EQ(object.GetMember("clientId").AsString(), "C-42");
  EXPECT_EQ(object.GetMember("messageId").AsString(), "3-0");
  EXPECT_EQ(object.GetMember("headers").AsObject().GetMember("DSId").AsString(), "C-42");
  EXPECT_EQ(object.GetMember("body").kind(), Amf3Kind::kNull);
  EXPECT_EQ(object.GetMember("timeToLive").kind(), Amf3Kind::kInteger);

  clock.AdvanceMilliseconds(5);
  const Amf3Item later = MakeRemotingMessage(identity, ids, "d", "o", Amf3Item::Null());
  EXPECT_EQ(later.AsObject().GetMember("timestamp").AsDate(), 1'700'000'000'128);
  EXPECT_EQ(later.AsObject().GetMember("messageId").AsString(), "3-1");
}

TEST_F(FlexMessagesTest, HeadersOnTheWire) {
  // clang-format off
  EXPECT_EQ(amf_testing::Amf3Hex(MakeHeaders(FlexClientIdentity{})),
            ToHex(Bytes({
                "0A 0B 01",  // anonymous, dynamic, nothing sealed
                "15", Text("DSEndpoint"), "06 0F", Text("my-rtmp"),
                "09", Text("DSId"), "06 07", Text("nil"),
                "21", Text("DSRequestTimeout"), "04 3C",
                "01",
            })));

  FlexClientIdentity identity;
  identity.client_id = "C-1";
  EXPECT_EQ(amf_testing::Amf3Hex(MakeHeaders(identity, "bc")),
            ToHex(Bytes({
                "0A 0B 01",
                "15", Text("DSEndpoint"), "06 0F", Text("my-rtmp"),
                "09", Text("DSId"), "06 07", Text("C-1"),
                "21", Text("DSRequestTimeout"), "04 3C",
                "15", Text("DSSubtopic"), "06 05", Text("bc"),
                "01",
            })));
  // clang-format on
  // An empty subtopic is no subtopic.
  EXPECT_EQ(amf_testing::Amf3Hex(MakeHeaders(identity, "")),
            amf_testing::Amf3Hex(MakeHeaders(identity)));
}

TEST_F(FlexMessagesTest, CommandMessageOnTheWire) {
  MessageIdGenerator ids(Sequence({5}, &draws_));
  ids.Renew();
  const Amf3Item message = MakeCommandMessage(ids, "", kFlexSubscribeOperation);
  // clang-format off
  EXPECT_EQ(amf_testing::Amf3Hex(message),
            ToHex(Bytes({
                "0A 81 13 4D", Text("flex.messaging.messages.CommandMessage"),  // 9 sealed
                "09", Text("body"), "11", Text("clientId"), "17", Text("destination"),
                "0F", Text("headers"), "13", Text("messageId"), "13", Text("timestamp"),
                "15", Text("timeToLive"), "1B", Text("correlationId"), "13", Text("operation"),
                "01 01 01 01",         // body, clientId, destination, headers: unset
                "06 07", Text("5-0"),  // messageId
                "01 01",               // timestamp, timeToLive: unset
                "06 01",               // correlationId ""
                "04 00",               // operation 0
            })));
  // clang-format on

  const Amf3Item unsubscribe = MakeCommandMessage(ids, "m-9", kFlexUnsubscribeOperation);
  const Amf3Object& object = unsubscribe.AsObject();
  EXPECT_EQ(object.GetMember("messageId").AsString(), "5-1");
  EXPECT_EQ(object.GetMember("correlationId").AsString(), "m-9");
  EXPECT_EQ(object.GetMember("operation").AsInteger(), 1);
  // The subscription builders fill these in afterwards.
  Amf3Object* mutable_object = unsubscribe.MutableObject();
  mutable_object->SetMember("destination", Amf3Item::String("messagingDestination"));
  mutable_object->SetMember("headers", MakeHeaders(FlexClientIdentity{}, "bc"));
  EXPECT_EQ(object.GetMember("destination").AsString(), "messagingDestination");
  EXPECT_EQ(object.GetMember("headers").AsObject().GetMember("DSSubtopic").AsString(), "bc");
}

// ---------------------------------------------------------------------------------------
// Pushes

class PushTest : public FlexMessagesTest {};

// An AsyncMessage as the argument of "receive" behind the AMF0 switch marker.
std::vector<uint8_t> AsyncMessageBytes() {
  // clang-format off
  return Bytes({
      "11 0A 81 03 49", Text("flex.messaging.messages.AsyncMessage"),  // 8 sealed
      "09", Text("body"), "11", Text("clientId"), "17", Text("destination"),
      "0F", Text("headers"), "13", Text("messageId"), "13", Text("timestamp"),
      "15", Text("timeToLive"), "1B", Text("correlationId"),
      "09 03 01 06 07", Text("hey"),      // body ["hey"]
      "06 0B", Text("C-7-9"),             // clientId
      "01",                               // destination
      "0A 0B 01 15", Text("DSSubtopic"),  // headers
      "06 0F", Text("bc.1234"), "01",
      "06 07", Text("m-1"),               // messageId
      "05 42 70 00 00 00 00 00 00",       // timestamp
      "04 00",                            // timeToLive
      "01",                               // correlationId
  });
  // clang-format on
}

TEST_F(PushTest, AsyncMessageFromTheWire) {
  GetFlexMessageClasses();  // as in a session: our messages go out before any push arrives
  const std::vector<uint8_t> bytes = AsyncMessageBytes();
  AmfReader reader(bytes);
  const AmfValue argument = reader.ReadAmf0();
  ASSERT_TRUE(reader.at_end());
  const Push push = DecodePush(argument);
  EXPECT_EQ(push.subtopic, "bc.1234");
  EXPECT_EQ(push.client_id, "C-7-9");
  ASSERT_EQ(push.body.kind(), Amf3Kind::kArray);
  ASSERT_EQ(push.body.AsArray().dense.size(), 1u);
  EXPECT_EQ(push.body.AsArray().dense[0].AsString(), "hey");

  // Any cut of the message decodes without a crash; a cut before the headers finds none
  // (the reader reads the missing bytes as 0, Undefined). What the reader logs about the cuts
  // is not at issue here.
  expect_no_logs_ = false;
  const std::vector<uint8_t> headers_start = FromHex("0A 0B 01 15");
  const size_t headers_at =
      std::search(bytes.begin(), bytes.end(), headers_start.begin(), headers_start.end()) -
      bytes.begin();
  ASSERT_LT(headers_at, bytes.size());
  for (size_t size = 0; size < bytes.size(); ++size) {
    AmfReader cut(std::span<const uint8_t>(bytes.data(), size));
    const Push partial = DecodePush(cut.ReadAmf0());
    if (size <= headers_at) {
      EXPECT_EQ(partial.subtopic, "n/a") << size;
    }
  }
}

TEST_F(PushTest, MissingOrMistypedFieldsReadNotAvailable) {
  const FlexMessageClasses& classes = GetFlexMessageClasses();
  auto message = std::make_shared<Amf3Object>(classes.async_message);
  message->SetMember("body", Amf3Item::Integer(5));
  Push push = DecodePush(Amf3Item::Object(message));  // no headers, no client id
  EXPECT_EQ(push.subtopic, "n/a");
  EXPECT_EQ(push.client_id, "n/a");
  EXPECT_EQ(push.body.AsInteger(), 5);

  message->SetMember("headers", MakeHeaders(FlexClientIdentity{}));  // no DSSubtopic
  message->SetMember("clientId", Amf3Item::Null());
  push = DecodePush(Amf3Item::Object(message));
  EXPECT_EQ(push.subtopic, "n/a");
  EXPECT_EQ(push.client_id, "n/a");

  Amf3Item headers = MakeHeaders(FlexClientIdentity{});
  headers.MutableObject()->SetDynamicMember("DSSubtopic", Amf3Item::Integer(3));
  auto other = std::make_shared<Amf3Object>(classes.async_message);
  other->SetMember("headers", headers);
  other->SetMember("clientId", Amf3Item::Integer(8));
  push = DecodePush(Amf3Item::Object(other));
  EXPECT_EQ(push.subtopic, "n/a");
  EXPECT_EQ(push.client_id, "n/a");
  EXPECT_TRUE(push.body.is_undefined());

  // An anonymous dynamic object is read through its dynamic members.
  Amf3Item anonymous(Amf3Kind::kObject);
  anonymous.MutableObject()->SetDynamicMember("clientId", Amf3Item::String("x"));
  anonymous.MutableObject()->SetDynamicMember("headers", MakeHeaders(FlexClientIdentity{}, "s"));
  push = DecodePush(anonymous);
  EXPECT_EQ(push.subtopic, "s");
  EXPECT_EQ(push.client_id, "x");
  EXPECT_TRUE(push.body.is_undefined());
}

TEST_F(PushTest, Amf0ObjectArgument) {
  // clang-format off
  const std::vector<uint8_t> bytes = Bytes({
      "03",                                                   // object 0
      "00 07", Text("headers"), "03",                         // object 1
      "00 0A", Text("DSSubtopic"), "02 00 02", Text("bc"),
      "00 00 09",
      "00 08", Text("clientId"), "02 00 03", Text("C-1"),
      "00 04", Text("body"), "10 00 0A", Text("com.x.Kick"),  // object 2, typed
      "00 0C", Text("sessionToken"), "02 00 01", Text("t"),
      "00 01", Text("n"), "00 40 00 00 00 00 00 00 00",       // 2.0
      "00 04", Text("self"), "07 00 02",                      // object 2 itself
      "00 00 09",
      "00 00 09",
  });
  // clang-format on
  AmfReader reader(bytes);
  const AmfValue argument = reader.ReadAmf0();
  ASSERT_TRUE(reader.at_end());
  const Push push = DecodePush(argument);
  EXPECT_EQ(push.subtopic, "bc");
  EXPECT_EQ(push.client_id, "C-1");
  ASSERT_EQ(push.body.kind(), Amf3Kind::kObject);
  const Amf3Object& body = push.body.AsObject();
  EXPECT_EQ(body.class_name(), "com.x.Kick");
  EXPECT_FALSE(body.amf_class()->dynamic());
  EXPECT_EQ(MemberNames(*body.amf_class()),
            (std::vector<std::string>{"n", "self", "sessionToken"}));
  EXPECT_EQ(AmfClassRegistry::Global().Find("com.x.Kick"), nullptr);  // input grows no registry
  EXPECT_EQ(body.GetMember("sessionToken").AsString(), "t");
  EXPECT_EQ(body.GetMember("n").kind(), Amf3Kind::kDouble);
  EXPECT_EQ(body.GetMember("n").AsDouble(), 2.0);
  const Amf3Item& self = body.GetMember("self");
  EXPECT_TRUE(self.is_back_reference());
  EXPECT_EQ(self.PayloadIdentity(), push.body.PayloadIdentity());
  // The sealed members carry on into binding values.
  const BindingProperty converted = ToBindingProperty(push.body);
  EXPECT_EQ(converted.type(), BindingType::kStructure);
  EXPECT_EQ(converted.Field("sessionToken").GetString(), "t");
}

TEST_F(PushTest, Amf0BodyValuesBecomeAmf3) {
  auto shared = std::make_shared<Amf0Object>();
  shared->members.emplace("k", Amf0Item::String("v"));
  const Amf0Item shared_item = Amf0Item::Object(shared);
  auto ecma = std::make_shared<Amf0EcmaArray>();
  ecma->emplace("a", Amf0Item::Number(1.5));
  auto strict = std::make_shared<Amf0StrictArray>();
  strict->push_back(Amf0Item::Boolean(true));
  strict->push_back(Amf0Item::Null());
  strict->push_back(Amf0Item::Date(5));
  strict->push_back(Amf0Item::LongString("L"));
  strict->push_back(Amf0Item());  // Undefined
  strict->push_back(Amf0Item::EcmaArray(ecma));
  strict->push_back(shared_item);
  strict->push_back(shared_item);

  auto message = std::make_shared<Amf0Object>();
  message->members.emplace("body", Amf0Item::StrictArray(strict));
  message->members.emplace("clientId", Amf3Item::String("amf3 inside"));
  message->members.emplace("headers", MakeHeaders(FlexClientIdentity{}, "mixed"));
  const Push push = DecodePush(Amf0Item::Object(message));
  EXPECT_EQ(push.subtopic, "mixed");
  EXPECT_EQ(push.client_id, "amf3 inside");

  const std::vector<Amf3Item>& dense = push.body.AsArray().dense;
  ASSERT_EQ(dense.size(), 8u);
  EXPECT_EQ(dense[0].kind(), Amf3Kind::kTrue);
  EXPECT_EQ(dense[1].kind(), Amf3Kind::kNull);
  EXPECT_EQ(dense[2].kind(), Amf3Kind::kDate);
  EXPECT_EQ(dense[2].AsDate(), 5);
  EXPECT_EQ(dense[3].AsString(), "L");
  EXPECT_TRUE(dense[4].is_undefined());
  EXPECT_TRUE(dense[5].AsArray().dense.empty());
  EXPECT_EQ(dense[5].AsArray().associative.at("a").AsDouble(), 1.5);
  EXPECT_EQ(dense[6].AsObject().GetMember("k").AsString(), "v");
  EXPECT_EQ(dense[6].AsObject().class_name(), "");
  // One payload met twice stays one object, owned both times.
  EXPECT_EQ(dense[7].PayloadIdentity(), dense[6].PayloadIdentity());
  EXPECT_FALSE(dense[7].is_back_reference());

  // An AMF3 body inside an AMF0 message is taken as it is.
  const Amf3Item amf3_body = Amf3Item::String("as is");
  message->members["body"] = amf3_body;
  EXPECT_EQ(DecodePush(Amf0Item::Object(message)).body.PayloadIdentity(),
            amf3_body.PayloadIdentity());
}

TEST_F(PushTest, DeepAmf0BodyIsCutOff) {
  Amf0Item body(Amf0Kind::kStrictArray);
  Amf0Item innermost = body;
  for (int i = 0; i < 1500; ++i) {
    Amf0Item next(Amf0Kind::kStrictArray);
    innermost.MutableStrictArray()->push_back(next);
    innermost = next;
  }
  auto message = std::make_shared<Amf0Object>();
  message->members.emplace("body", body);
  const Push push = DecodePush(Amf0Item::Object(message));
  size_t arrays = 0;
  const Amf3Item* item = &push.body;
  while (item->kind() == Amf3Kind::kArray) {
    ++arrays;
    ASSERT_EQ(item->AsArray().dense.size(), 1u);
    item = &item->AsArray().dense[0];
  }
  EXPECT_EQ(arrays, kMaxAmfConversionDepth);
  EXPECT_TRUE(item->is_undefined());
}

TEST_F(PushTest, ArgumentsThatAreNoObject) {
  auto array = std::make_shared<Amf3Array>();
  array->associative.emplace("body", Amf3Item::Integer(1));
  const AmfValue arguments[] = {
      AmfValue(),
      Amf0Item::Null(),
      Amf0Item::String("body"),
      Amf0Item::Number(1),
      Amf0Item(Amf0Kind::kEcmaArray),
      Amf0Item(Amf0Kind::kStrictArray),
      Amf3Item(),
      Amf3Item::Null(),
      Amf3Item::Integer(1),
      Amf3Item::String("x"),
      Amf3Item::Array(array),
  };
  for (const AmfValue& argument : arguments) {
    const Push push = DecodePush(argument);
    EXPECT_EQ(push.subtopic, "n/a");
    EXPECT_EQ(push.client_id, "n/a");
    EXPECT_TRUE(push.body.is_undefined());
  }
}

}  // namespace
}  // namespace Voro
