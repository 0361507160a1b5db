#include "sim/rtmp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "lcds/amf/amf3_object.h"
#include "lcds/net/plain_transport.h"
#include "lcds/net/socket_wait.h"
#include "lcds/rtmp/handshake.h"
#include "sim/server_tls_transport.h"

namespace Voro::Sim {
namespace {

constexpr int kHandshakeTimeoutMs = 10'000;

Amf0Item Amf0ObjectOf(std::initializer_list<std::pair<const char*, Amf0Item>> members) {
  auto object = std::make_shared<Amf0Object>();
  for (const auto& [name, value] : members) {
    object->members[name] = value;
  }
  return Amf0Item::Object(std::move(object));
}

}  // namespace

// ---- RtmpServerSession ----

RtmpServerSession::RtmpServerSession(std::unique_ptr<RtmpConnection> connection,
                                     std::string client_id)
    : connection_(std::move(connection)), client_id_(std::move(client_id)) {}

RtmpServerSession::~RtmpServerSession() { connection_->Stop(); }

bool RtmpServerSession::Send(RtmpMessage message, uint32_t chunk_stream_id,
                             uint32_t message_stream_id) {
  return connection_->Send(std::move(message), chunk_stream_id, message_stream_id) ==
         RtmpSendStatus::kQueued;
}

bool RtmpServerSession::SendCommand(uint8_t type, std::string name, int64_t transaction_id,
                                    std::vector<AmfValue> arguments) {
  RtmpCommand command;
  command.name = std::move(name);
  command.transaction_id = transaction_id;
  command.arguments = std::move(arguments);
  return Send(RtmpMessage::Command(type, std::move(command)));
}

bool RtmpServerSession::SendResult(uint8_t type, int64_t transaction_id, AmfValue answer) {
  return SendCommand(type, "_result", transaction_id, {std::move(answer)});
}

bool RtmpServerSession::SendError(uint8_t type, int64_t transaction_id, AmfValue fault) {
  return SendCommand(type, "_error", transaction_id, {std::move(fault)});
}

bool RtmpServerSession::SendPush(const Amf3Item& message) {
  return SendCommand(RtmpType::kAmf3Command, "receive", 0, {AmfValue(message)});
}

bool RtmpServerSession::SendPing(uint32_t value) {
  return Send(RtmpMessage::UserControl(kUserControlPingRequest, {value}), kControlChunkStream);
}

bool RtmpServerSession::SetChunkSize(uint32_t size) {
  return Send(RtmpMessage::Control(RtmpType::kSetChunkSize, size), kControlChunkStream);
}

void RtmpServerSession::Drop() { connection_->RequestDisconnect(); }

void RtmpServerSession::Record(const RtmpMessage& message) {
  {
    std::lock_guard lock(mutex_);
    received_.push_back(message);
  }
  changed_.notify_all();
}

std::vector<RtmpMessage> RtmpServerSession::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::optional<RtmpMessage> RtmpServerSession::WaitForMessage(
    const std::function<bool(const RtmpMessage&)>& match, int timeout_ms, size_t from) const {
  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t next = from;
  for (;;) {
    for (; next < received_.size(); ++next) {
      if (match(received_[next])) {
        return received_[next];
      }
    }
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
        next == received_.size()) {
      return std::nullopt;
    }
  }
}

std::optional<RtmpMessage> RtmpServerSession::WaitForCommand(const std::string& name,
                                                             int timeout_ms) const {
  return WaitForMessage(
      [&name](const RtmpMessage& m) {
        return IsCommandRtmpType(m.header.type) && m.command().name == name;
      },
      timeout_ms);
}

// ---- RtmpServer ----

RtmpServer::RtmpServer(RtmpServerOptions options) : options_(std::move(options)) {}

RtmpServer::~RtmpServer() { Stop(); }

kiv::Status RtmpServer::Start() {
  if (options_.tls) {
    auto context = ServerTlsContext::Create(options_.certificate_file, options_.key_file);
    if (!context.ok()) return kiv::Error{context.error()};
    tls_ = std::move(context.value());
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return kiv::Error{std::string("socket: ") + std::strerror(errno)};
  const int on = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.host.c_str(), &address.sin_addr) != 1) {
    return kiv::Error{"not an IPv4 address: " + options_.host};
  }
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listen_fd_, 64) != 0) {
    std::string why = std::string("bind/listen: ") + std::strerror(errno);
    close(listen_fd_);
    listen_fd_ = -1;
    return kiv::Error{std::move(why)};
  }
  socklen_t length = sizeof address;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return {};
}

void RtmpServer::Stop() {
  std::vector<std::thread> handshakes;
  std::vector<std::shared_ptr<RtmpServerSession>> sessions;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      return;
    }
    stopping_ = true;
  }
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
  }
  if (acceptor_.joinable()) {
    acceptor_.join();
  }
  {
    std::lock_guard lock(mutex_);
    handshakes.swap(handshakes_);
  }
  for (std::thread& thread : handshakes) {
    thread.join();
  }
  {
    std::lock_guard lock(mutex_);
    sessions.swap(sessions_);
  }
  for (auto& session : sessions) {
    session->connection_->Stop();
  }
  sessions.clear();
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    listen_fd_ = -1;
  }
  if (wake_fd_ >= 0) {
    close(wake_fd_);
    wake_fd_ = -1;
  }
}

void RtmpServer::SetCallHandler(RtmpCallHandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::shared_ptr<RtmpServerSession> RtmpServer::WaitForSession(size_t index, int timeout_ms) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [&] { return sessions_.size() > index || stopping_; });
  return sessions_.size() > index ? sessions_[index] : nullptr;
}

size_t RtmpServer::session_count() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

void RtmpServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) {
      return;
    }
    if (fds[1].revents != 0) {
      return;
    }
    if ((fds[0].revents & POLLIN) == 0) {
      continue;
    }
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard lock(mutex_);
    if (stopping_) {
      close(fd);
      return;
    }
    // Handshakes run on their own threads so that a silent client cannot stop the others.
    handshakes_.emplace_back([this, fd] { Serve(fd); });
  }
}

void RtmpServer::Serve(int fd) {
  SetSocketTimeouts(fd, kHandshakeTimeoutMs);
  TransportPtr transport;
  if (tls_) {
    transport = tls_->Accept(fd);
    if (!transport) {
      return;
    }
  } else {
    transport = CreatePlainTransport(fd);
  }
  if (!ServerHandshake(*transport).ok()) {
    transport->Close();
    return;
  }
  SetSocketTimeouts(fd, 0);
  std::shared_ptr<RtmpServerSession> session;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      transport->Close();
      return;
    }
    auto connection = std::make_unique<RtmpConnection>(std::move(transport), options_.connection);
    session = std::make_shared<RtmpServerSession>(std::move(connection),
                                                  "sim-client-" + std::to_string(next_client_++));
    std::weak_ptr<RtmpServerSession> weak = session;
    session->connection_->SetMessageHandler([this, weak](RtmpMessage message) {
      if (auto self = weak.lock()) {
        OnMessage(self, std::move(message));
      }
    });
    sessions_.push_back(session);
    session->Start();
  }
  changed_.notify_all();
}

void RtmpServer::OnMessage(const std::shared_ptr<RtmpServerSession>& session, RtmpMessage message) {
  if (options_.keep_received) session->Record(message);
  const uint8_t type = message.header.type;
  if (type != RtmpType::kAmf0Command && type != RtmpType::kAmf3Command) {
    return;
  }
  const RtmpCommand& command = message.command();
  if (command.name == "connect" && options_.answer_connect) {
    AnswerConnect(*session, message);
    return;
  }
  RtmpCallHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
  }
  if (handler && handler(*session, message)) {
    return;
  }
  if (command.transaction_id == 0) {
    return;  // a notification: nothing to answer
  }
  Amf3Item fault(Amf3Kind::kObject);
  fault.MutableObject()->SetDynamicMember("faultCode", Amf3Item::String(kUnhandledFaultCode));
  fault.MutableObject()->SetDynamicMember(
      "faultString", Amf3Item::String("No handler for the call '" + command.name + "'"));
  session->SendError(type, command.transaction_id, AmfValue(std::move(fault)));
}

void RtmpServer::AnswerConnect(RtmpServerSession& session, const RtmpMessage& connect) {
  if (options_.window_ack_size != 0) {
    session.Send(RtmpMessage::Control(RtmpType::kWindowAckSize, options_.window_ack_size),
                 kControlChunkStream);
  }
  if (options_.peer_bandwidth != 0) {
    session.Send(RtmpMessage::PeerBandwidth(options_.peer_bandwidth, 2), kControlChunkStream);
  }
  if (options_.chunk_size != 0) {
    session.SetChunkSize(options_.chunk_size);
  }
  const auto& members = connect.command().command_object.kind() == Amf0Kind::kObject
                            ? connect.command().command_object.AsObject().members
                            : Amf0MemberMap{};
  double encoding = 0;
  if (auto it = members.find("objectEncoding"); it != members.end() && it->second.is_amf0()) {
    encoding = it->second.amf0().AsNumber();
  }
  RtmpCommand answer;
  answer.name = "_result";
  answer.transaction_id = connect.command().transaction_id;
  answer.command_object = Amf0ObjectOf(
      {{"fmsVer", Amf0Item::String("KIVSIM/1,0,0,0")}, {"capabilities", Amf0Item::Number(31)}});
  answer.arguments.push_back(
      Amf0ObjectOf({{"level", Amf0Item::String("status")},
                    {"code", Amf0Item::String("NetConnection.Connect.Success")},
                    {"description", Amf0Item::String("Connection succeeded.")},
                    {"objectEncoding", Amf0Item::Number(encoding)},
                    {"clientId", Amf0Item::String(session.client_id())}}));
  session.Send(RtmpMessage::Command(connect.header.type, std::move(answer)));
}

}  // namespace Voro::Sim
