// The real plugin library, loaded with dlopen by the substitute host.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "host/host_session.h"

namespace kivhost {
namespace {

std::unique_ptr<HostSession> LoadPlugin() {
  std::string error;
  auto session = HostSession::Load(KIV_PLUGIN_PATH, &error);
  EXPECT_TRUE(session) << error;
  return session;
}

bool HasLine(const std::vector<LogLine>& lines, int32_t level, const std::string& text) {
  for (const LogLine& line : lines) {
    if (line.level == level && line.message == text) return true;
  }
  return false;
}

TEST(PluginLoadTest, CreateInitializeShutdownThroughDlopen) {
  auto session = LoadPlugin();
  ASSERT_TRUE(session);
  HandshakeResult handshake = session->Create(HostVersion{17, 4, 0});
  ASSERT_TRUE(handshake.accepted);
  EXPECT_EQ(handshake.descriptor.major, 17u);
  EXPECT_EQ(handshake.descriptor.minor, 1u);
  EXPECT_EQ(handshake.descriptor.patch, 0u);
  EXPECT_EQ(handshake.short_name, "kiv-login");
  ASSERT_NE(handshake.descriptor.api, nullptr);
  EXPECT_EQ(handshake.descriptor.api->endpoint_count, 18u);  // the login endpoints

  PluginMemoryStats after_create = session->MemoryStats();
  EXPECT_GT(after_create.allocations, 0u) << "the module itself is a counted allocation";
  EXPECT_GE(after_create.peak_live_bytes, sizeof(void*));

  ASSERT_TRUE(session->Initialize());
  PluginMemoryStats after_init = session->MemoryStats();
  EXPECT_GT(after_init.allocations, after_create.allocations);
  EXPECT_GT(after_init.bytes_allocated, after_create.bytes_allocated);
  EXPECT_GE(after_init.peak_live_bytes, after_create.peak_live_bytes);
  EXPECT_EQ(after_init.zero[0], 0u);
  EXPECT_EQ(after_init.zero[1], 0u);

  EXPECT_TRUE(
      HasLine(session->host().log_lines(), 3,
              "zop-be-kiv-login initialized, user agent \"VoroClient/17.4.0 (kiv-login)\""));
  session->Shutdown();
  EXPECT_FALSE(session->running());
}

TEST(PluginLoadTest, IncompatibleHostIsRejected) {
  auto session = LoadPlugin();
  ASSERT_TRUE(session);
  ::testing::internal::CaptureStderr();
  HandshakeResult handshake = session->Create(HostVersion{16, 9, 9});
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(handshake.accepted);
  EXPECT_EQ(handshake.descriptor.major, 16u);
  EXPECT_EQ(handshake.descriptor.callbacks, nullptr);
  EXPECT_NE(err.find("Expression: ALE-EECF0606"), std::string::npos) << err;
  EXPECT_FALSE(session->Initialize());
}

std::mutex g_documents_mutex;
std::vector<std::string> g_documents;

int32_t CollectDocument(const char* document) {
  std::lock_guard<std::mutex> lock(g_documents_mutex);
  g_documents.emplace_back(document);
  return 1;
}

TEST(PluginLoadTest, LogLinesAsXmlEventDocuments) {
  auto session = LoadPlugin();
  ASSERT_TRUE(session);
  session->EnableXmlEvents(&CollectDocument);
  ASSERT_TRUE(session->Create(HostVersion{17, 1, 0}).accepted);
  ASSERT_TRUE(session->Initialize());
  session->Shutdown();
  session->EnableXmlEvents(nullptr);

  std::lock_guard<std::mutex> lock(g_documents_mutex);
  bool found = false;
  for (const std::string& doc : g_documents) {
    if (doc.find("initialized") == std::string::npos) continue;
    found = true;
    EXPECT_EQ(doc,
              "<?xml version=\"1.0\"?>\n<Event>\n   <Name>Log</Name>\n   <Params>\n"
              "      <Type>ALWAYS</Type>\n      <Tags>DBG</Tags>\n"
              "      <Message>zop-be-kiv-login initialized, user agent &quot;VoroClient/17.1.0 "
              "(kiv-login)&quot;\n</Message>\n   </Params>\n</Event>\n");
  }
  EXPECT_TRUE(found) << g_documents.size() << " documents";
}

}  // namespace
}  // namespace kivhost
