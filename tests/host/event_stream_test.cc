// The event fan-out behind `kivhost serve`'s /events: who hears what, and that a client who
// stops reading is dropped instead of holding up the publisher.
#include "host/event_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace kivhost {
namespace {

using std::chrono::milliseconds;

EventRecord Published(std::string name, std::string payload, uint32_t plugin_id = 0) {
  return {.kind = EventRecord::kPublished,
          .name = std::move(name),
          .payload = std::move(payload),
          .plugin_id = plugin_id};
}

TEST(EventStreamTest, FiltersPickEventsByPluginNameOrResourcePath) {
  const std::string session = R"({"uri":"/kiv-login/v1/session","eventType":"Update"})";
  const std::string wallet = R"({"uri":"/kiv-login/v1/wallet","eventType":"Update"})";
  // Each event with the name the cases know it by.
  const std::pair<EventRecord, const char*> events[] = {
      {Published("OnJsonApiEvent_kiv-login_v1_session", session), "session"},
      {Published("OnJsonApiEvent_kiv-login_v1_wallet", wallet), "wallet"},
      {Published("OnServiceProxyUuidEvent", R"({"uuid":"u1"})", 7), "u1"},
      {Published("OnServiceProxyUuidEvent", R"({"uuid":"u2"})", 8), "u2"},
      {Published("OnLcdsEvent", "[1]"), "[1]"},
  };
  struct Case {
    const char* plugin;  // null: not given
    const char* filter;
    const char* heard;  // the events' names, in order
  };
  const Case cases[] = {
      {nullptr, nullptr, "session wallet u1 u2 [1]"},
      {"7", nullptr, "session wallet u1 [1]"},
      {"8", "OnServiceProxy*", "u2"},
      {nullptr, "OnJsonApiEvent_kiv-login_v1_wallet", "wallet"},
      {nullptr, "/kiv-login/v1/session", "session"},
      {nullptr, "/kiv-login/*", "session wallet"},
      {nullptr, "/kiv-login/v1/sess", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.plugin ? c.plugin : "-") + " " + (c.filter ? c.filter : "-"));
    const std::string plugin = c.plugin ? c.plugin : "";
    const std::string filter = c.filter ? c.filter : "";
    auto parsed =
        EventStreamFilter::Parse(c.plugin ? &plugin : nullptr, c.filter ? &filter : nullptr);
    ASSERT_TRUE(parsed.ok()) << parsed.error();
    std::string heard;
    for (const auto& [event, part] : events) {
      if (parsed.value().Matches(event)) heard += (heard.empty() ? "" : " ") + std::string(part);
    }
    EXPECT_EQ(heard, c.heard);
  }
  const std::string bad[] = {"0", "4294967296", "-1", "7x", ""};
  for (const std::string& plugin : bad) {
    EXPECT_EQ(EventStreamFilter::Parse(&plugin, nullptr).error(),
              "plugin must be a plugin id from 1 to 4294967295, not '" + plugin + "'");
  }
  const std::string not_a_filter = "a*b";
  EXPECT_FALSE(EventStreamFilter::Parse(nullptr, &not_a_filter).ok());
}

TEST(EventStreamTest, EventsAreServerSentEventsAndALaggingClientIsDropped) {
  EXPECT_EQ(ServerSentEvent("OnX", R"({"a":1})"), "event: OnX\ndata: {\"a\":1}\n\n");
  EXPECT_EQ(ServerSentEvent("OnX", "1\r\n2"), "event: OnX\ndata: 1\ndata: 2\n\n");

  EventStream stream;
  auto reader = stream.Join({});
  auto lagging = stream.Join({});
  EXPECT_EQ(stream.client_count(), 2u);
  // Nothing yet: the wait ends empty.
  EXPECT_EQ(reader->Take(milliseconds(1)), std::optional<std::string>(""));

  // The publisher never waits: far more than a client may queue goes out at once.
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < EventStream::kMaxQueuedEvents + 10; ++i) {
    stream.Publish(Published("OnX", std::to_string(i)));
    if (i % 100 == 0) {
      // The reader keeps up; the lagging client never reads.
      ASSERT_TRUE(reader->Take(milliseconds(0)).has_value());
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(lagging->dropped());
  EXPECT_EQ(lagging->Take(milliseconds(0)), std::nullopt);
  EXPECT_FALSE(reader->dropped());
  const std::optional<std::string> rest = reader->Take(milliseconds(0));
  ASSERT_TRUE(rest.has_value());
  EXPECT_NE(rest->find("data: " + std::to_string(EventStream::kMaxQueuedEvents + 9) + "\n"),
            std::string::npos);
  // Only published events are streamed.
  stream.Publish({.kind = EventRecord::kRaised, .name = "OnY", .payload = "{}", .plugin_id = 0});
  EXPECT_EQ(reader->Take(milliseconds(0)), std::optional<std::string>(""));

  // Closing ends a waiting reader at once, and whoever joins later.
  std::thread waiting([&] { EXPECT_EQ(reader->Take(milliseconds(30000)), std::nullopt); });
  std::this_thread::sleep_for(milliseconds(20));
  stream.Close();
  waiting.join();
  EXPECT_EQ(stream.Join({})->Take(milliseconds(0)), std::nullopt);
  EXPECT_EQ(stream.client_count(), 0u);
}

}  // namespace
}  // namespace kivhost
