// `kivtool rtmp-probe URL`: connects to an RTMP(S) server, sends the connect command and
// prints every message the server sends, one JSON line each, for a few seconds.
#include <openssl/x509.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "amf_json_printer.h"
#include "kivtool_command.h"
#include "lcds/net/trusted_certificates.h"
#include "lcds/rtmp/rtmp_client.h"
#include "lcds/rtmp/rtmp_connect.h"

namespace kivtool {
namespace {

constexpr char kUsage[] =
    "usage: kivtool rtmp-probe rtmp://HOST[:PORT][/APP] | rtmps://HOST[:PORT][/APP]\n"
    "                          [--ca FILE] [--seconds N] [--swf-url URL] [--page-url URL]\n"
    "\n"
    "Performs the RTMP handshake (inside TLS for rtmps, verified against the plugin's\n"
    "built-in certificates plus the CA in FILE), sends the connect command with the URL as\n"
    "tcUrl, answers pings, and prints each message the server sends as one JSON line:\n"
    "  {\"type\":20,\"typeName\":\"AMF0 Command\",\"chunkStream\":3,\"messageStream\":0,\n"
    "   \"length\":190,\"name\":\"_result\",\"transactionId\":1,\"commandObject\":...,\n"
    "   \"arguments\":[...]}\n"
    "Control messages carry \"value\", User Control \"event\" and \"values\". AMF values print\n"
    "as `kivtool amf decode` prints them. Runs N seconds (default 3) or until the server\n"
    "closes the connection. Exit status 0 when the server answered connect with _result.\n"
    "Default ports: 1935 for rtmp, 443 for rtmps.\n";

struct Url {
  bool tls = false;
  std::string host;
  uint16_t port = 0;
};

kiv::Result<Url> ParseUrl(const std::string& text) {
  Url url;
  std::string rest;
  if (text.rfind("rtmp://", 0) == 0) {
    rest = text.substr(7);
    url.port = 1935;
  } else if (text.rfind("rtmps://", 0) == 0) {
    rest = text.substr(8);
    url.tls = true;
    url.port = 443;
  } else {
    return kiv::Error{"the URL must start with rtmp:// or rtmps://"};
  }
  const std::string authority = rest.substr(0, rest.find('/'));
  const size_t colon = authority.rfind(':');
  url.host = authority.substr(0, colon);
  if (colon != std::string::npos) {
    const std::string port = authority.substr(colon + 1);
    char* end = nullptr;
    const long value = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || value < 1 || value > 65535) {
      return kiv::Error{"invalid port '" + port + "'"};
    }
    url.port = static_cast<uint16_t>(value);
  }
  if (url.host.empty()) return kiv::Error{"the URL has no host"};
  return url;
}

const char* TypeName(uint8_t type) {
  switch (type) {
    case 1:
      return "Set Chunk Size";
    case 2:
      return "Abort";
    case 3:
      return "Acknowledgement";
    case 4:
      return "User Control";
    case 5:
      return "Window Acknowledgement Size";
    case 6:
      return "Set Peer Bandwidth";
    case 8:
      return "Audio";
    case 9:
      return "Video";
    case 15:
      return "AMF3 Data";
    case 17:
      return "AMF3 Command";
    case 18:
      return "AMF0 Data";
    case 20:
      return "AMF0 Command";
    default:
      return "Unknown";
  }
}

std::string JsonString(const std::string& text) {
  JsonPrinter printer;
  printer.Print(Voro::Amf0Item::String(text));
  return printer.Take();
}

std::string Describe(const Voro::RtmpMessage& message) {
  const Voro::RtmpHeader& h = message.header;
  std::string line = "{\"type\":" + std::to_string(h.type) + ",\"typeName\":\"" + TypeName(h.type) +
                     "\",\"chunkStream\":" + std::to_string(h.chunk_stream_id) +
                     ",\"messageStream\":" + std::to_string(h.message_stream_id) +
                     ",\"length\":" + std::to_string(h.length);
  if (const auto* command = std::get_if<Voro::RtmpCommand>(&message.payload)) {
    JsonPrinter printer;
    printer.Print(command->command_object);
    line += ",\"name\":" + JsonString(command->name) +
            ",\"transactionId\":" + std::to_string(command->transaction_id) +
            ",\"commandObject\":" + printer.Take() + ",\"arguments\":[";
    for (size_t i = 0; i < command->arguments.size(); ++i) {
      JsonPrinter argument;
      argument.Print(command->arguments[i]);
      line += (i ? "," : "") + argument.Take();
    }
    line += ']';
  } else if (const auto* value = std::get_if<uint32_t>(&message.payload)) {
    line += ",\"value\":" + std::to_string(*value);
  } else if (const auto* control = std::get_if<Voro::RtmpUserControl>(&message.payload)) {
    line += ",\"event\":" + std::to_string(control->event_type) + ",\"values\":[";
    for (size_t i = 0; i < control->values.size(); ++i) {
      line += (i ? "," : "") + std::to_string(control->values[i]);
    }
    line += ']';
  } else if (const auto* bandwidth = std::get_if<Voro::RtmpPeerBandwidth>(&message.payload)) {
    line += ",\"window\":" + std::to_string(bandwidth->window) +
            ",\"limitType\":" + std::to_string(bandwidth->limit_type);
  }
  return line + '}';
}

// The built-in list plus every certificate of `ca_file`.
kiv::Status LoadTrust(const std::string& ca_file, Voro::TrustedCertificates* trusted) {
  *trusted = Voro::TrustedCertificates::BuiltIn();
  if (ca_file.empty()) {
    return {};
  }
  Voro::TrustedCertificates extra = Voro::TrustedCertificates::FromPemFile(ca_file);
  if (extra.empty()) return kiv::Error{"no certificate in " + ca_file};
  for (size_t i = 0; i < extra.size(); ++i) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(extra.at(i), &der);
    if (length > 0) {
      trusted->AppendDer({der, static_cast<size_t>(length)});
    }
    OPENSSL_free(der);
  }
  return {};
}

int Run(const std::vector<std::string>& args) {
  std::string url_text;
  std::string ca_file;
  std::string swf_url;
  std::string page_url;
  long seconds = 3;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    const std::string* v = nullptr;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--ca" || arg == "--seconds" || arg == "--swf-url" || arg == "--page-url") {
      if (!(v = value())) {
        std::fprintf(stderr, "kivtool rtmp-probe: %s needs a value\n", arg.c_str());
        return 2;
      }
      if (arg == "--ca") {
        ca_file = *v;
      } else if (arg == "--swf-url") {
        swf_url = *v;
      } else if (arg == "--page-url") {
        page_url = *v;
      } else {
        char* end = nullptr;
        seconds = std::strtol(v->c_str(), &end, 10);
        if (v->empty() || *end != '\0' || seconds < 0 || seconds > 86400) {
          std::fprintf(stderr, "kivtool rtmp-probe: invalid --seconds '%s'\n", v->c_str());
          return 2;
        }
      }
    } else if (url_text.empty() && arg.rfind("--", 0) != 0) {
      url_text = arg;
    } else {
      std::fprintf(stderr, "kivtool rtmp-probe: unexpected argument '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (url_text.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  auto parsed = ParseUrl(url_text);
  if (!parsed.ok()) {
    std::fprintf(stderr, "kivtool rtmp-probe: %s\n", parsed.error().c_str());
    return 2;
  }
  const Url& url = parsed.value();
  Voro::TrustedCertificates trusted;
  if (auto loaded = LoadTrust(ca_file, &trusted); !loaded.ok()) {
    std::fprintf(stderr, "kivtool rtmp-probe: %s\n", loaded.error().c_str());
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  Voro::RtmpConnectResult connected = Voro::ConnectRtmp(url.host, url.port, url.tls, trusted);
  if (!connected.ok()) {
    std::fprintf(stderr, "kivtool rtmp-probe: cannot connect to %s:%u: %s\n", url.host.c_str(),
                 unsigned{url.port}, connected.error.message.c_str());
    return 1;
  }
  Voro::RtmpConnection& connection = *connected.connection;
  std::mutex out_mutex;
  std::atomic<bool> answered{false};
  std::atomic<bool> closed{false};
  connection.SetMessageHandler([&](Voro::RtmpMessage message) {
    {
      std::lock_guard lock(out_mutex);
      std::printf("%s\n", Describe(message).c_str());
      std::fflush(stdout);
    }
    if (message.header.type == Voro::RtmpType::kUserControl &&
        message.user_control().event_type == Voro::kUserControlPingRequest) {
      (void)connection.Send(Voro::RtmpMessage::UserControl(Voro::kUserControlPingResponse,
                                                           message.user_control().values),
                            Voro::kControlChunkStream, 0);
    } else if (Voro::IsCommandRtmpType(message.header.type) &&
               message.command().name == "_result" && message.command().transaction_id == 1) {
      answered = true;
    }
  });
  connection.SetDisconnectHandler([&closed] { closed = true; });
  connection.Start();
  Voro::RtmpMessage connect = Voro::MakeConnectCommand(url_text, swf_url, page_url, 1);
  connect.command().transaction_id = 1;
  (void)connection.Send(std::move(connect), Voro::kCommandChunkStream, 0);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!closed && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const bool server_closed = closed;
  connection.Stop();
  if (server_closed) {
    std::fprintf(stderr, "kivtool rtmp-probe: the server closed the connection\n");
  }
  if (!answered) {
    std::fprintf(stderr, "kivtool rtmp-probe: no _result for the connect command\n");
  }
  return answered ? 0 : 1;
}

const KivtoolCommandRegistration kRegistration(
    {"rtmp-probe", "connect to an RTMP(S) server and print the messages it sends", Run});

}  // namespace
}  // namespace kivtool
