// The real plugin library, loaded with dlopen by the substitute host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/host_session.h"
#include "support/host_exchange.h"

namespace kivhost {
namespace {

class PluginLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded = HostSession::Load(KIV_PLUGIN_PATH);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    session_ = std::move(loaded.value());
  }
  std::string PluginState() {
    return testing::Ask(session_->host().endpoints(), KIV_METHOD_GET, kPluginStatusPath);
  }
  std::unique_ptr<HostSession> session_;
};

std::vector<std::string> documents;  // XML event documents, in the order written

TEST_F(PluginLoadTest, CreateInitializeShutdownThroughDlopen) {
  session_->EnableXmlEvents([](const char* document) {
    documents.emplace_back(document);
    return int32_t{1};
  });
  HandshakeResult handshake = session_->Create(HostVersion{17, 4, 0});
  ASSERT_TRUE(handshake.accepted);
  const PluginDescriptor& descriptor = handshake.descriptor;
  EXPECT_EQ((HostVersion{descriptor.major, descriptor.minor, descriptor.patch}.Text()), "17.1.0");
  EXPECT_EQ(handshake.short_name, "kiv-login");
  EXPECT_EQ(descriptor.api->endpoint_count, 18u);  // the login endpoints
  PluginMemoryStats after_create = session_->MemoryStats();
  EXPECT_GT(after_create.allocations, 0u) << "the module itself is a counted allocation";
  EXPECT_GE(after_create.peak_live_bytes, sizeof(void*));

  EXPECT_EQ(PluginState(), R"({"state":"NotReady"})");
  ASSERT_TRUE(session_->Initialize());
  EXPECT_EQ(PluginState(), R"({"state":"PluginsInitialized"})");
  PluginMemoryStats after_init = session_->MemoryStats();
  EXPECT_GT(after_init.allocations, after_create.allocations);
  EXPECT_GT(after_init.bytes_allocated, after_create.bytes_allocated);
  EXPECT_GE(after_init.peak_live_bytes, after_create.peak_live_bytes);
  EXPECT_EQ(after_init.zero[0] + after_init.zero[1], 0u);
  const std::string initialized =
      "zop-be-kiv-login initialized, user agent \"VoroClient/17.4.0 (kiv-login)\"";
  bool logged = false;
  for (const LogLine& line : session_->host().log_lines()) {
    logged = logged || (line.level == 3 && line.message == initialized);
  }
  EXPECT_TRUE(logged) << initialized;
  session_->Shutdown();
  EXPECT_FALSE(session_->running());
  session_->EnableXmlEvents(nullptr);
  // Log lines also go out as XML event documents.
  EXPECT_NE(std::find(documents.begin(), documents.end(),
                      "<?xml version=\"1.0\"?>\n<Event>\n   <Name>Log</Name>\n   <Params>\n"
                      "      <Type>ALWAYS</Type>\n      <Tags>DBG</Tags>\n"
                      "      <Message>zop-be-kiv-login initialized, user agent "
                      "&quot;VoroClient/17.4.0 (kiv-login)&quot;\n</Message>\n   </Params>\n"
                      "</Event>\n"),
            documents.end())
      << documents.size() << " documents";
}

TEST_F(PluginLoadTest, IncompatibleHostIsRejected) {
  ::testing::internal::CaptureStderr();
  HandshakeResult handshake = session_->Create(HostVersion{16, 9, 9});
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(handshake.accepted);
  EXPECT_EQ(handshake.descriptor.major, 16u);
  EXPECT_EQ(handshake.descriptor.callbacks, nullptr);
  EXPECT_NE(err.find("Expression: ALE-EECF0606"), std::string::npos) << err;
  EXPECT_FALSE(session_->Initialize());
}

}  // namespace
}  // namespace kivhost
