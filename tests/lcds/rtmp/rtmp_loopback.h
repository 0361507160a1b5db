// An RTMP client connected over loopback to the simulator's server, for the call-level tests
// of the RTMP client and of the Flex layer above it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <utility>

#include "lcds/amf/amf_member.h"
#include "lcds/amf/amf_test_support.h"
#include "lcds/net/trusted_certificates.h"
#include "lcds/rtmp/rtmp_client.h"
#include "lcds/rtmp/rtmp_connect.h"
#include "sim/rtmp_server.h"

namespace Voro::testing {

inline constexpr int kRtmpWaitMs = 5000;

// The string member `name` of an object, or "-".
inline std::string Text(const AmfValue& object, const char* name) {
  const std::string* text = AmfString(AmfMember(object, name));
  return text ? *text : "-";
}

// "faultCode: faultString" of a failed call.
inline std::string Fault(const RTMP::CommandResult& result) {
  return Text(result.value, "faultCode") + ": " + Text(result.value, "faultString");
}

inline Amf3Item ObjectWith(const Amf3AssociativeMap& members) {  // anonymous and dynamic
  return amf_testing::Object3(amf_testing::Class("", {}, /*dynamic=*/true), {}, members);
}

inline RTMP::CommandResult Get(std::future<RTMP::CommandResult>& future) {
  const bool ready = future.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  EXPECT_TRUE(ready) << "no answer";
  return ready ? future.get() : RTMP::CommandResult{};
}

class RtmpLoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override { StartServer({}); }

  // A server, and a client connected to it.
  void StartServer(Sim::RtmpServerOptions options) {
    server_ = std::make_unique<Sim::RtmpServer>(options);
    sessions_made_ = 0;
    auto started = server_->Start();
    ASSERT_TRUE(started.ok()) << started.error();
    client_ = Connect();
    ASSERT_TRUE(client_);
  }

  // A client on a fresh connection, and the server's side of it.
  std::unique_ptr<RtmpClient> Connect(int object_encoding = 1) {
    RtmpConnectResult connected =
        ConnectRtmp("127.0.0.1", server_->port(), false, TrustedCertificates());
    EXPECT_TRUE(connected.ok()) << connected.error.message;
    if (!connected.ok()) return nullptr;
    auto client = std::make_unique<RtmpClient>(std::move(connected.connection), object_encoding);
    session_ = server_->WaitForSession(sessions_made_++, kRtmpWaitMs);
    return client;
  }

  // Answers "echo" with its last argument, and a Flex message (a call without a name) as the
  // platform does: an acknowledge whose body is the message's body.
  void Answer() {
    server_->SetCallHandler([](Sim::RtmpServerSession& session, const RtmpMessage& call) {
      const RtmpCommand& command = call.command();
      const AmfValue body = AmfMember(command.arguments.back(), "body");
      const AmfValue answer =
          command.name == "echo"
              ? command.arguments.back()
              : AmfValue(ObjectWith({{"body", body.is_amf3() ? body.amf3() : Amf3Item()}}));
      session.SendResult(call.header.type, command.transaction_id, answer);
      return true;
    });
  }

  std::unique_ptr<Sim::RtmpServer> server_;
  std::unique_ptr<RtmpClient> client_;
  std::shared_ptr<Sim::RtmpServerSession> session_;
  size_t sessions_made_ = 0;
};

}  // namespace Voro::testing
