#include "plugin/plugin_runtime.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "diag/log.h"
#include "diag/logger.h"
#include "login/login_module.h"
#include "plugin/endpoint_errors.h"
#include "plugin/telemetry_sender.h"
#include "support/fake_host.h"

namespace Voro {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

PluginDescriptor HostDescriptor(uint32_t major, uint32_t minor, uint32_t patch) {
  PluginDescriptor d{};
  d.major = major;
  d.minor = minor;
  d.patch = patch;
  // The host does not initialise the output words; make sure they are overwritten.
  d.callbacks = reinterpret_cast<const PluginCallbacks*>(0x1);
  d.module = reinterpret_cast<void*>(0x2);
  return d;
}

// Runs Create like the exported entry does and owns the module until the test ends.
class CreatedPlugin {
 public:
  explicit CreatedPlugin(PluginDescriptor d) : descriptor(d) {
    accepted = PluginRuntime::Create(&descriptor, std::make_unique<LoginModule>(),
                                     LoginModule::kShortName);
  }
  ~CreatedPlugin() {
    if (accepted && descriptor.callbacks) descriptor.callbacks->Shutdown(descriptor.module);
  }
  AppModule* module() const { return static_cast<AppModule*>(descriptor.module); }

  PluginDescriptor descriptor;
  bool accepted = false;
};

TEST(PluginApiVersionTest, CompatibilityMatrix) {
  const PluginApiVersion& own = PluginOwnApiVersion();
  EXPECT_EQ(own.Text(), "17.1.0");
  struct Case {
    uint32_t major, minor, patch;
    bool accepted;
  } cases[] = {{17, 1, 0, true},  {17, 1, 5, true},  {17, 4, 0, true},
               {17, 2, 0, true},  {17, 0, 9, false}, {16, 9, 9, false},
               {18, 0, 0, false}, {18, 1, 0, false}, {0, 0, 0, false}};
  for (const Case& c : cases) {
    PluginApiVersion host{c.major, c.minor, c.patch, "", ""};
    EXPECT_EQ(IsCompatibleHostVersion(own, host), c.accepted) << host.Text();
    CaptureStderr();
    CreatedPlugin plugin(HostDescriptor(c.major, c.minor, c.patch));
    std::string err = GetCapturedStderr();
    EXPECT_EQ(plugin.accepted, c.accepted) << host.Text();
    EXPECT_EQ(plugin.descriptor.callbacks != nullptr, c.accepted) << host.Text();
  }
}

TEST(PluginApiVersionTest, TextCarriesLabels) {
  EXPECT_EQ((PluginApiVersion{1, 2, 3, "beta.1", ""}).Text(), "1.2.3-beta.1");
  EXPECT_EQ((PluginApiVersion{1, 2, 3, "", "7"}).Text(), "1.2.3+7");
  EXPECT_EQ((PluginApiVersion{1, 2, 3, "rc", "x"}).Text(), "1.2.3-rc+x");
}

TEST(PluginRuntimeTest, CreateFillsTheDescriptor) {
  CreatedPlugin plugin(HostDescriptor(17, 4, 2));
  ASSERT_TRUE(plugin.accepted);
  const PluginDescriptor& d = plugin.descriptor;
  EXPECT_EQ(d.major, 17u);
  EXPECT_EQ(d.minor, 1u);
  EXPECT_EQ(d.patch, 0u);
  ASSERT_NE(d.callbacks, nullptr);
  EXPECT_NE(d.callbacks->Initialize, nullptr);
  EXPECT_NE(d.callbacks->Shutdown, nullptr);
  EXPECT_NE(d.callbacks->GetMemoryStats, nullptr);
  ASSERT_NE(d.module, nullptr);
  EXPECT_STREQ(d.short_name, "kiv-login");  // the short name, not the full name
  ASSERT_NE(d.api, nullptr);

  AppModule* m = plugin.module();
  // Word 6 is the table built from everything declared during Create.
  EXPECT_EQ(d.api->endpoint_count, m->router().functions().size());
  EXPECT_EQ(d.api->type_count, m->registry().Types().size());
  EXPECT_EQ(d.api->event_count, m->registry().Events().size());
  EXPECT_NE(d.api->types, nullptr);
  // LOC is a registered tag, found again by its first three letters.
  uint64_t loc = Logger::RegisterTag("LOC");
  ASSERT_NE(loc, 0u);
  char names[64];
  Logger::FormatTagNames(loc, names, sizeof(names));
  EXPECT_STREQ(names, "LOC");
  EXPECT_EQ(Logger::RegisterTag("LOCATION"), loc);
  EXPECT_EQ(m->host_version().Text(), "17.4.2");
  EXPECT_EQ(m->name().full_name, "zop-be-kiv-login");
  EXPECT_EQ(m->name().short_name, "kiv-login");
  EXPECT_EQ(m->name().type, "backend");
  EXPECT_EQ(m->name().type2, "");
  EXPECT_EQ(m->help_tags(), (std::vector<std::string>{"Plugins", "Plugin kiv-login"}));
  EXPECT_EQ(m->callbacks(), d.callbacks);
  EXPECT_EQ(m->api_table(), d.api);
}

TEST(PluginRuntimeTest, IncompatibleHostIsReportedAndStartUpStops) {
  CaptureStderr();
  CreatedPlugin plugin(HostDescriptor(18, 0, 0));
  std::string err = GetCapturedStderr();
  EXPECT_FALSE(plugin.accepted);
  EXPECT_EQ(plugin.descriptor.major, 18u);  // the host's version stays
  EXPECT_EQ(plugin.descriptor.callbacks, nullptr);
  EXPECT_EQ(plugin.descriptor.module, nullptr);
  EXPECT_EQ(plugin.descriptor.short_name, nullptr);
  EXPECT_EQ(plugin.descriptor.api, nullptr);
  EXPECT_NE(err.find(" ERROR| Assertion failed!\n\nExpression: ALE-EECF0606\n\nDescription: "
                     "zop-be-kiv-login which supports plugin API 17.1.0 is not compatible with "
                     "core's plugin API 18.0.0"),
            std::string::npos)
      << err;
}

TEST(PluginNameTest, FullNameByType) {
  EXPECT_EQ(GetFullNameFromShortNameAndType("kiv-login", "backend"), "zop-be-kiv-login");
  CaptureStderr();
  EXPECT_EQ(GetFullNameFromShortNameAndType("kiv-login", "frontend"), "zop-fe-kiv-login");
  EXPECT_EQ(GetCapturedStderr(), "");
  CaptureStderr();
  EXPECT_EQ(GetFullNameFromShortNameAndType("kiv-login", "global"), "zop-xx-kiv-login");
  std::string err = GetCapturedStderr();
  const std::string line =
      " ERROR|             Plugin Manager| GetFullNameFromShortNameAndType(\"kiv-login\", "
      "\"global\") called with an unknown type\n";
  ASSERT_GE(err.size(), line.size()) << err;
  EXPECT_EQ(err.substr(err.size() - line.size()), line);
  EXPECT_EQ(err.find(line), err.rfind(line)) << "logged once";
}

TEST(PluginRuntimeTest, InitializeMovesLoggingToTheHost) {
  testing::FakeHost host;
  CreatedPlugin plugin(HostDescriptor(17, 1, 0));
  ASSERT_TRUE(plugin.accepted);
  AppModule* m = plugin.module();

  CaptureStderr();
  Log(kLevelOkay, Tag::DBG, "before initialize");  // below the start-up level of 1
  EXPECT_EQ(GetCapturedStderr(), "");

  CaptureStderr();
  ASSERT_TRUE(plugin.descriptor.callbacks->Initialize(plugin.descriptor.module, host.services()));
  Log(kLevelOkay, Tag::DBG, "after %s", "initialize");
  Log(kLevelWarn, Tag::XTR, "suppressed");
  Log(kLevelError, 0, "untagged");
  EXPECT_EQ(GetCapturedStderr(), "") << "nothing reaches standard error once the host logs";

  EXPECT_EQ(m->host_services(), host.services());
  EXPECT_EQ(m->plugin_handle(), &host);
  EXPECT_EQ(m->user_agent(), "VoroClient/17.1.0 (kiv-login)");
  // The host's Log gets the level and the bare message, not a formatted line.
  ASSERT_GE(host.log.size(), 3u);
  auto has = [&](int32_t level, const std::string& message) {
    for (const auto& [l, text] : host.log) {
      if (l == level && text == message) return true;
    }
    return false;
  };
  EXPECT_TRUE(has(kLevelOkay, "after initialize"));
  EXPECT_TRUE(has(kLevelError, "untagged"));
  EXPECT_FALSE(has(kLevelWarn, "suppressed"));
  EXPECT_TRUE(has(kLevelAlways,
                  "zop-be-kiv-login initialized, user agent \"VoroClient/17.1.0 (kiv-login)\""));
}

TEST(PluginRuntimeTest, UserAgentNamesTheHostVersion) {
  testing::FakeHost host;
  CreatedPlugin plugin(HostDescriptor(17, 4, 0));
  ASSERT_TRUE(plugin.descriptor.callbacks->Initialize(plugin.descriptor.module, host.services()));
  EXPECT_EQ(plugin.module()->user_agent(), "VoroClient/17.4.0 (kiv-login)");
}

TEST(PluginRuntimeTest, InitializeMakesTheTelemetrySender) {
  testing::FakeHost host;
  std::vector<std::string> paths;
  host.on_request = [&](HostResponse*, const HostRequest* request) {
    paths.emplace_back(request->path);
  };
  CreatedPlugin plugin(HostDescriptor(17, 1, 0));
  EXPECT_EQ(plugin.module()->telemetry(), nullptr) << "no host to send to before Initialize";
  ASSERT_TRUE(plugin.descriptor.callbacks->Initialize(plugin.descriptor.module, host.services()));
  TelemetrySender* first = plugin.module()->telemetry();
  ASSERT_NE(first, nullptr);
  std::future<RequestResult<void>> sent =
      first->SendTelemetryEvent("probe", std::map<std::string, std::string>{});
  (void)sent.get();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.back(), "/telemetry/v1/events/probe");
}

TEST(PluginRuntimeTest, LoggingReturnsToTheConsoleAfterShutdown) {
  {
    testing::FakeHost host;
    CreatedPlugin plugin(HostDescriptor(17, 1, 0));
    ASSERT_TRUE(plugin.descriptor.callbacks->Initialize(plugin.descriptor.module, host.services()));
  }
  // The module held the last reference: the next message meets a fresh logger again.
  CaptureStderr();
  Log(kLevelWarn, Tag::DBG, "console again");
  EXPECT_NE(GetCapturedStderr().find("  WARN| console again\n"), std::string::npos);
}

TEST(PluginRuntimeTest, MemoryStatsLeaveTheTrailingWordsZero) {
  CreatedPlugin plugin(HostDescriptor(17, 1, 0));
  PluginMemoryStats stats;
  std::memset(&stats, 0xAB, sizeof(stats));
  plugin.descriptor.callbacks->GetMemoryStats(plugin.descriptor.module, &stats);
  EXPECT_EQ(stats.zero[0], 0u);
  EXPECT_EQ(stats.zero[1], 0u);
  EXPECT_NE(stats.allocations, 0xABABABABABABABABull);
}

TEST(AppModuleTest, ForwardersPassTheHandleAndArguments) {
  testing::FakeHost host;
  CreatedPlugin plugin(HostDescriptor(17, 1, 0));
  AppModule* m = plugin.module();
  CaptureStderr();
  m->Pump();  // before Initialize: no host, an error line, no crash
  EXPECT_NE(GetCapturedStderr().find("Pump called before the host initialised the plugin"),
            std::string::npos);
  ASSERT_TRUE(plugin.descriptor.callbacks->Initialize(plugin.descriptor.module, host.services()));
  host.calls.clear();  // the module's own subscriptions
  m->ScheduleCallback(
      "kiv-login.tick", [](void*) {}, nullptr, -5.0);
  m->BeginWait("Wait: yield");
  m->Pump();
  m->EndWait();
  ASSERT_EQ(host.calls.size(), 4u);
  EXPECT_EQ(host.calls[0].slot, "ScheduleCallback");
  EXPECT_EQ(host.calls[0].text, "kiv-login.tick");
  EXPECT_EQ(host.calls[1].slot, "BeginWait");
  EXPECT_EQ(host.calls[1].text, "Wait: yield");
  EXPECT_EQ(host.calls[2].slot, "Pump");
  EXPECT_EQ(host.calls[3].slot, "EndWait");
}

TEST(AppModuleTest, SubscriptionsAreCountedPerEventName) {
  testing::FakeHost host;
  CreatedPlugin plugin(HostDescriptor(17, 1, 0));
  AppModule* m = plugin.module();
  ASSERT_TRUE(plugin.descriptor.callbacks->Initialize(plugin.descriptor.module, host.services()));
  host.calls.clear();  // the module's own subscriptions
  m->Subscribe("/kiv-login/v1/session");
  m->Subscribe("/kiv-login/v1/session/deeper/still");  // same name below the fourth level
  EXPECT_EQ(host.Count("SubscribeEvent"), 1);
  EXPECT_EQ(m->subscription_count("OnJsonApiEvent_kiv-login_v1_session"), 2);
  m->Unsubscribe("/kiv-login/v1/session");
  EXPECT_EQ(host.Count("UnsubscribeEvent"), 0);
  m->Unsubscribe("/kiv-login/v1/session");
  EXPECT_EQ(host.Count("UnsubscribeEvent"), 1);
  m->Unsubscribe("/kiv-login/v1/session");  // one too many: nothing
  EXPECT_EQ(host.Count("UnsubscribeEvent"), 1);

  m->Subscribe("/a/b");
  m->Subscribe("/kiv-platform-config/v1/namespace/key");
  plugin.descriptor.callbacks->Shutdown(plugin.descriptor.module);
  plugin.accepted = false;  // already shut down
  // One earlier, two here and the login module's three host resources.
  EXPECT_EQ(host.Count("UnsubscribeEvent"), 6);
  EXPECT_EQ(host.calls.back().slot, "UnsubscribeEvent");
}

TEST(AppModuleTest, ResourceEventNames) {
  EXPECT_EQ(AppModule::ResourceEventName("/kiv-login/v1/session"),
            "OnJsonApiEvent_kiv-login_v1_session");
  EXPECT_EQ(AppModule::ResourceEventName("/kiv-login/v1/session/a/b"),
            "OnJsonApiEvent_kiv-login_v1_session");
  EXPECT_EQ(AppModule::ResourceEventName("//a///b/"), "OnJsonApiEvent_a_b");
  EXPECT_EQ(AppModule::ResourceEventName("/kiv-platform-config/v1/ns/key/deeper"),
            "OnJsonApiEvent_kiv-platform-config_v1_ns_key_deeper");
  EXPECT_EQ(AppModule::ResourceEventName("/kiv-platform-config/v1/ns/key/deeper/x"),
            "OnJsonApiEvent_kiv-platform-config_v1_ns_key_deeper");
  EXPECT_EQ(AppModule::ResourceEventName(""), "OnJsonApiEvent");
}

TEST(EndpointErrorsTest, DefaultMessages) {
  EXPECT_EQ(NotFound().status, 404);
  EXPECT_EQ(NotFound().message, "Not found");
  EXPECT_EQ(NotFound("No session").message, "No session");
  EXPECT_EQ(InternalServerError().status, 500);
  EXPECT_EQ(InternalServerError().message, "Internal server error");
  EXPECT_EQ(InternalServerError("boom").message, "boom");
}

}  // namespace
}  // namespace Voro
