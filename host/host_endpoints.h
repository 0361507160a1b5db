// The host's own endpoints, as the plugin reaches them through SendRequest: a registry of
// handlers keyed by method and exact path, plus prefix handlers whose rest of the path is a
// name. It starts with the handlers a client core has; tests replace any of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/result.h"
#include "kiv/plugin_abi.h"

namespace kivhost {

// A request as a handler sees it; everything is copied out of the plugin's record.
struct EndpointRequest {
  std::string method;  // "GET", "POST", ... or the text of a custom method
  std::string path;    // as sent, with any query
  std::string rest;    // for a prefix handler: the path after the prefix
  // The arguments as one JSON object, see ArgumentsToJson in host/abi_value.h.
  std::string arguments = "{}";
  std::string content_type;
  std::string body;
};

// A body handed out piece by piece through the response's stream functions.
struct StreamedBody {
  std::string data;
  // The most each read delivers (never more than the reader's capacity), in turn; the last
  // entry repeats. Zero counts as one, so that a stream always ends.
  std::vector<uint32_t> chunk_sizes{4096};
  std::optional<uint32_t> size_hint;  // the data's size when not set
  // When set, the read that would deliver bytes beyond this offset fails instead.
  std::optional<size_t> fail_after;
};

class EndpointReply {
 public:
  enum class Kind { kJson, kError, kStream };

  // `json` becomes the response body; "null" gives an empty body.
  static EndpointReply Json(std::string json);
  static EndpointReply Error(int32_t status, std::string text);
  static EndpointReply Stream(StreamedBody body);

  Kind kind() const { return kind_; }
  const std::string& json() const { return text_; }
  const std::string& error_text() const { return text_; }
  int32_t status() const { return status_; }
  const StreamedBody& stream() const { return stream_; }

 private:
  Kind kind_ = Kind::kJson;
  int32_t status_ = 200;
  std::string text_ = "null";
  StreamedBody stream_;
};

using EndpointHandler = std::function<EndpointReply(const EndpointRequest&)>;

// What a recording endpoint received: telemetry events ("events", name = the event name),
// telemetry common data ("common-data", name = the key) and the crash reporter's platform
// id ("platform-id", name empty).
struct SinkRecord {
  std::string sink;
  std::string name;
  std::string arguments;  // JSON object
  std::string body;
};

inline constexpr char kCommandLineArgsPath[] = "/voroclient/command-line-args";
inline constexpr char kRegionDataPath[] = "/data-store/v1/system-settings/region_data";
inline constexpr char kGlobalsPath[] = "/data-store/v1/install-settings/globals";
inline constexpr char kPluginStatusPath[] = "/plugin-manager/v1/status";
inline constexpr char kPreShutdownPath[] = "/voroclient/pre-shutdown/begin";
inline constexpr char kTelemetryEventsPrefix[] = "/telemetry/v1/events/";
inline constexpr char kTelemetryCommonDataPrefix[] = "/telemetry/v1/common-data/";
inline constexpr char kPlatformIdPath[] = "/voroclient/v1/bugsplat/platform-id";

inline constexpr char kDefaultGlobals[] = R"({"region":"local"})";
inline constexpr char kDefaultRegionData[] =
    R"({"local":{"qsa_platform_id":"","servers":{"lcds":{"login_queue_url":)"
    R"("https://127.0.0.1:8443","lcds_host":"127.0.0.1","lcds_port":2099,"use_tls":false}}}})";

inline constexpr int32_t kNoEndpointStatus = 404;
inline constexpr int32_t kBadArgumentsStatus = 400;
inline constexpr int32_t kHandlerFailedStatus = 500;

// Thread-safe: the plugin thread answers while tests and kivhost configure and read.
class HostEndpoints {
 public:
  // Installs the default handlers.
  HostEndpoints();
  HostEndpoints(const HostEndpoints&) = delete;
  HostEndpoints& operator=(const HostEndpoints&) = delete;

  // Replaces (or, with a null handler, removes) the handler of `method` + exact `path`.
  void Set(const std::string& method, const std::string& path, EndpointHandler handler);
  // The same for every path that starts with `prefix` and goes on; an exact handler wins,
  // and among prefixes the longest.
  void SetPrefix(const std::string& method, const std::string& prefix, EndpointHandler handler);

  // Answers into `response`, which the caller zero-filled; always sets its release
  // function, which frees everything put there, stream included, and zeroes the record.
  // Handlers run on the calling thread, outside the registry's lock.
  void Answer(const HostRequest& request, HostResponse* response);
  // Answers with an error without looking for a handler; released like any answer.
  static void Refuse(int32_t status, const std::string& text, HostResponse* response);

  // Name/value pairs for "/voroclient/command-line-args", names without leading dashes.
  void SetCommandLineArgs(std::vector<std::pair<std::string, std::string>> args);
  // Reads {"globals": {...}, "region_data": {...}}; on any fault leaves the current
  // settings alone and says why.
  [[nodiscard]] kiv::Status LoadRegionFile(const std::string& path);
  void SetPluginState(std::string state);

  std::vector<SinkRecord> records() const;
  std::vector<EndpointRequest> requests() const;  // every request answered, in order

  static std::string MethodName(uint32_t method, const char* text);

 private:
  using Key = std::pair<std::string, std::string>;  // method, path or prefix

  void InstallDefaults();
  void AnswerUnguarded(const HostRequest& request, HostResponse* response);
  EndpointHandler Find(const std::string& method, const std::string& path, std::string* rest) const;
  void Record(const char* sink, const EndpointRequest& request);

  mutable std::mutex mutex_;
  std::map<Key, EndpointHandler> exact_;                           // Guarded by mutex_.
  std::map<Key, EndpointHandler> prefixes_;                        // Guarded by mutex_.
  std::vector<std::pair<std::string, std::string>> command_line_;  // Guarded by mutex_.
  std::string globals_ = kDefaultGlobals;                          // Guarded by mutex_.
  std::string region_data_ = kDefaultRegionData;                   // Guarded by mutex_.
  std::string plugin_state_ = "NotReady";                          // Guarded by mutex_.
  std::vector<SinkRecord> records_;                                // Guarded by mutex_.
  std::vector<EndpointRequest> requests_;                          // Guarded by mutex_.
};

}  // namespace kivhost
