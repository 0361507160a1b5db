// External HTTP(S) for the plugin, performed with libcurl on the calling thread. TLS peers
// are verified against the system trust store, plus the certificates of one extra PEM file
// (a local test authority, say) when one is given.
//
// Limits: the time-out is the request's, in seconds (0: kDefaultTimeoutSeconds), never
// above kMaxTimeoutSeconds, and covers the whole exchange (resolving, connecting, TLS,
// transfer), so the caller is blocked no longer than that. The answer's body is capped at
// kMaxBodyBytes and its header fields at kMaxHeaders. Redirects are not followed, only
// http and https are spoken, and the environment's proxy settings apply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/result.h"
#include "kiv/plugin_abi.h"

namespace kivhost {

class ExternalHttp {
 public:
  static constexpr uint32_t kDefaultTimeoutSeconds = 30;
  static constexpr uint32_t kMaxTimeoutSeconds = 600;
  static constexpr size_t kMaxBodyBytes = size_t{64} << 20;
  static constexpr size_t kMaxHeaders = 1000;
  // Transport codes of HostExternalResponse.
  static constexpr int32_t kCompleted = 0;
  static constexpr int32_t kFailed = 1;
  static constexpr int32_t kTimedOut = 2;

  ExternalHttp();
  ~ExternalHttp();
  ExternalHttp(const ExternalHttp&) = delete;
  ExternalHttp& operator=(const ExternalHttp&) = delete;

  // Trusts the certificates in the PEM file `path` in addition to the system's, for every
  // later request. libcurl's CAINFO replaces the default bundle rather than adding to it,
  // so the system bundle and this file are joined into one bundle, written to a private
  // temporary file (removed again with this object): a file, unlike an in-memory bundle,
  // lets libcurl keep the parsed store between requests. Fails when either cannot be read or
  // written or the file holds no certificate. Any thread.
  [[nodiscard]] kiv::Status SetExtraCaFile(const std::string& path);

  // Performs `request` and fills `response`: code 0 with the status, headers and body of a
  // completed exchange (any status), 2 for a time-out, 1 for anything else with libcurl's
  // error text as the body. `response->release` frees what the host allocated; the
  // requester calls it once. Any thread; blocks it for at most the request's time-out.
  void Perform(const HostExternalRequest& request, HostExternalResponse* response) const;

  // Where the system's trust store is read from: libcurl's built-in bundle path.
  static std::string SystemBundlePath();

 private:
  // A libcurl handle from the idle ones (reset), or a new one; null when none can be made.
  void* TakeHandle() const;
  void ReturnHandle(void* handle) const;

  mutable std::mutex mutex_;
  // Guarded by mutex_. Empty: libcurl's default store alone.
  std::string ca_bundle_path_;
  // Handles between requests, guarded by mutex_: each keeps its live connections and its
  // parsed trust store, so that a later request to the same server skips both.
  mutable std::vector<void*> idle_handles_;
};

}  // namespace kivhost
