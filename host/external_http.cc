#include "host/external_http.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

namespace kivhost {

namespace {

constexpr char kFallbackBundle[] = "/etc/ssl/certs/ca-certificates.crt";
constexpr char kPemCertificate[] = "-----BEGIN CERTIFICATE-----";

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool ReadWholeFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  *text = buffer.str();
  return true;
}

char* CopyBytes(std::string_view bytes) {
  char* copy = static_cast<char*>(std::malloc(bytes.size() + 1));
  if (copy == nullptr) return nullptr;
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  copy[bytes.size()] = '\0';
  return copy;
}

void ReleaseResponse(HostExternalResponse* response) {
  auto* pairs = const_cast<HostHeaderPair*>(response->headers);
  if (pairs != nullptr) {
    for (uint32_t i = 0; i < response->header_count; ++i) {
      std::free(const_cast<char*>(pairs[i].name));
      std::free(const_cast<char*>(pairs[i].value));
    }
    std::free(pairs);
  }
  std::free(const_cast<char*>(response->body));
  response->headers = nullptr;
  response->header_count = 0;
  response->body = nullptr;
  response->body_length = 0;
  response->release = nullptr;
}

// A failed exchange: the code and the reason as the body.
void Fail(int32_t code, std::string_view reason, HostExternalResponse* response) {
  response->transport_code = code;
  response->http_status = 0;
  response->headers = nullptr;
  response->header_count = 0;
  response->body = CopyBytes(reason);
  response->body_length = response->body != nullptr ? static_cast<uint32_t>(reason.size()) : 0;
  response->release = &ReleaseResponse;
}

const char* MethodName(uint32_t code) {
  switch (code) {
    case KIV_METHOD_DELETE:
      return "DELETE";
    case KIV_METHOD_GET:
      return "GET";
    case KIV_METHOD_HEAD:
      return "HEAD";
    case KIV_METHOD_OPTIONS:
      return "OPTIONS";
    case KIV_METHOD_PATCH:
      return "PATCH";
    case KIV_METHOD_POST:
      return "POST";
    case KIV_METHOD_PUT:
      return "PUT";
    default:
      return nullptr;
  }
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

// What libcurl hands back while the exchange runs.
struct Answer {
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string overflow;  // why a callback stopped the transfer
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* answer = static_cast<Answer*>(user);
  const size_t bytes = size * count;
  if (bytes > ExternalHttp::kMaxBodyBytes - answer->body.size()) {
    answer->overflow =
        "response body larger than " + std::to_string(ExternalHttp::kMaxBodyBytes) + " bytes";
    return 0;
  }
  answer->body.append(data, bytes);
  return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* answer = static_cast<Answer*>(user);
  const size_t bytes = size * count;
  const std::string_view line(data, bytes);
  // Each response (an interim 100 Continue, say) starts with its status line: only the
  // last one's fields are the answer's.
  if (line.starts_with("HTTP/")) {
    answer->headers.clear();
    return bytes;
  }
  if (Trim(line).empty()) return bytes;
  if (line.front() == ' ' || line.front() == '\t') {
    // An obsolete folded line continues the previous field.
    if (!answer->headers.empty()) {
      answer->headers.back().second.append(" ").append(Trim(line));
    }
    return bytes;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return bytes;
  if (answer->headers.size() >= ExternalHttp::kMaxHeaders) {
    answer->overflow =
        "response has more than " + std::to_string(ExternalHttp::kMaxHeaders) + " header fields";
    return 0;
  }
  answer->headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                               std::string(Trim(line.substr(colon + 1))));
  return bytes;
}

class CurlHeaders {
 public:
  CurlHeaders() = default;
  CurlHeaders(const CurlHeaders&) = delete;
  CurlHeaders& operator=(const CurlHeaders&) = delete;
  ~CurlHeaders() { curl_slist_free_all(list_); }

  [[nodiscard]] bool Add(const std::string& line) {
    curl_slist* next = curl_slist_append(list_, line.c_str());
    if (next == nullptr) return false;
    list_ = next;
    return true;
  }
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

// The request's fields as libcurl header lines. Fails on a field that would break the
// request's framing.
kiv::Status BuildHeaderLines(const HostExternalRequest& request, CurlHeaders* lines) {
  bool content_type = false;
  bool expect = false;
  for (uint32_t i = 0; i < request.header_count; ++i) {
    const std::string_view name = request.headers[i].name ? request.headers[i].name : "";
    const std::string_view value = request.headers[i].value ? request.headers[i].value : "";
    if (name.empty() || name.find_first_of(":\r\n \t") != std::string_view::npos ||
        value.find_first_of("\r\n") != std::string_view::npos) {
      return kiv::Error{"kivhost: header field " + std::to_string(i) +
                        " is not a valid HTTP field"};
    }
    content_type |= EqualsIgnoringCase(name, "content-type");
    expect |= EqualsIgnoringCase(name, "expect");
    // "Name;" is libcurl's way of sending a field with an empty value.
    std::string line(name);
    if (value.empty()) {
      line += ";";
    } else {
      line.append(": ").append(value);
    }
    if (!lines->Add(line)) return kiv::Error{"kivhost: out of memory"};
  }
  // No form type the plugin did not ask for, and no wait for a 100 Continue.
  if ((!content_type && !lines->Add("Content-Type:")) || (!expect && !lines->Add("Expect:"))) {
    return kiv::Error{"kivhost: out of memory"};
  }
  return {};
}

// Moves a completed answer into the response record, allocated for the plugin.
bool FillCompleted(long status, Answer& answer, HostExternalResponse* response) {
  response->transport_code = ExternalHttp::kCompleted;
  response->http_status = static_cast<int32_t>(status);
  response->release = &ReleaseResponse;
  response->headers = nullptr;
  response->header_count = 0;
  response->body = CopyBytes(answer.body);
  if (response->body == nullptr) return false;
  response->body_length = static_cast<uint32_t>(answer.body.size());
  if (answer.headers.empty()) return true;
  auto* pairs =
      static_cast<HostHeaderPair*>(std::calloc(answer.headers.size(), sizeof(HostHeaderPair)));
  if (pairs == nullptr) return false;
  response->headers = pairs;
  for (const auto& [name, value] : answer.headers) {
    HostHeaderPair& pair = pairs[response->header_count];
    pair.name = CopyBytes(name);
    pair.value = CopyBytes(value);
    ++response->header_count;
    if (pair.name == nullptr || pair.value == nullptr) return false;
  }
  return true;
}

}  // namespace

ExternalHttp::ExternalHttp() { InitCurlOnce(); }

ExternalHttp::~ExternalHttp() {
  for (void* handle : idle_handles_) curl_easy_cleanup(static_cast<CURL*>(handle));
  if (!ca_bundle_path_.empty()) std::remove(ca_bundle_path_.c_str());
}

void* ExternalHttp::TakeHandle() const {
  CURL* curl = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_handles_.empty()) {
      curl = static_cast<CURL*>(idle_handles_.back());
      idle_handles_.pop_back();
    }
  }
  if (curl == nullptr) return curl_easy_init();
  // Options go; connections and the cached trust store stay.
  curl_easy_reset(curl);
  return curl;
}

void ExternalHttp::ReturnHandle(void* handle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_handles_.push_back(handle);
}

std::string ExternalHttp::SystemBundlePath() {
  InitCurlOnce();
  std::string path = kFallbackBundle;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return path;
  char* built_in = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_CAINFO, &built_in) == CURLE_OK && built_in != nullptr &&
      *built_in != '\0') {
    path = built_in;
  }
  curl_easy_cleanup(curl);
  return path;
}

kiv::Status ExternalHttp::SetExtraCaFile(const std::string& path) {
  std::string extra;
  if (!ReadWholeFile(path, &extra)) return kiv::Error{"cannot read the CA file '" + path + "'"};
  if (extra.find(kPemCertificate) == std::string::npos) {
    return kiv::Error{"the CA file '" + path + "' holds no PEM certificate"};
  }
  const std::string system_path = SystemBundlePath();
  std::string bundle;
  if (!ReadWholeFile(system_path, &bundle)) {
    return kiv::Error{"cannot read the system trust store '" + system_path + "'"};
  }
  if (!bundle.empty() && bundle.back() != '\n') bundle += '\n';
  bundle += extra;
  char temporary[] = "/tmp/kivhost-ca-XXXXXX";
  const int fd = mkstemp(temporary);
  bool written = fd >= 0;
  for (size_t done = 0; written && done < bundle.size();) {
    const ssize_t n = write(fd, bundle.data() + done, bundle.size() - done);
    written = n > 0;
    done += written ? static_cast<size_t>(n) : 0;
  }
  if (fd >= 0) close(fd);
  if (!written) {
    if (fd >= 0) std::remove(temporary);
    return kiv::Error{"cannot write the joined trust store to " + std::string(temporary)};
  }
  std::string old_path;
  std::vector<void*> old_handles;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old_path = std::move(ca_bundle_path_);
    ca_bundle_path_ = temporary;
    // Handles that cached the former store must not keep using it.
    old_handles.swap(idle_handles_);
  }
  for (void* handle : old_handles) curl_easy_cleanup(static_cast<CURL*>(handle));
  if (!old_path.empty()) std::remove(old_path.c_str());
  return {};
}

void ExternalHttp::Perform(const HostExternalRequest& request,
                           HostExternalResponse* response) const {
  const char* method = MethodName(request.method);
  if (request.url == nullptr) return Fail(kFailed, "kivhost: the request has no URL", response);
  if (method == nullptr) {
    return Fail(kFailed, "kivhost: unknown method code " + std::to_string(request.method),
                response);
  }
  if (request.header_count > 0 && request.headers == nullptr) {
    return Fail(kFailed, "kivhost: the request's headers are missing", response);
  }
  if (request.body_length > 0 && request.body == nullptr) {
    return Fail(kFailed, "kivhost: the request's body is missing", response);
  }
  std::string bundle_path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bundle_path = ca_bundle_path_;
  }
  CurlHeaders lines;
  if (auto built = BuildHeaderLines(request, &lines); !built.ok()) {
    return Fail(kFailed, built.error(), response);
  }

  CURL* curl = static_cast<CURL*>(TakeHandle());
  if (curl == nullptr) return Fail(kFailed, "kivhost: cannot start libcurl", response);
  Answer answer;
  char error_buffer[CURL_ERROR_SIZE] = {};
  const uint32_t seconds = request.timeout == 0                   ? kDefaultTimeoutSeconds
                           : request.timeout > kMaxTimeoutSeconds ? kMaxTimeoutSeconds
                                                                  : request.timeout;
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(curl, CURLOPT_URL, request.url);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  // No signals: this runs on one thread of many, and the time-out must still hold.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(seconds) * 1000L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, lines.get());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
  if (!bundle_path.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, bundle_path.c_str());
  const bool has_body = request.body_length > 0;
  if (request.method == KIV_METHOD_HEAD) {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (request.method == KIV_METHOD_GET && !has_body) {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    if (has_body || request.method == KIV_METHOD_POST || request.method == KIV_METHOD_PUT ||
        request.method == KIV_METHOD_PATCH) {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body_length));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, has_body ? request.body : "");
    }
    if (request.method != KIV_METHOD_POST) curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
  }

  const CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  // The handle's options point into this call's buffers: they are reset before any reuse.
  ReturnHandle(curl);

  if (code != CURLE_OK) {
    std::string text = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(code);
    if (!answer.overflow.empty()) text = "kivhost: " + answer.overflow;
    return Fail(code == CURLE_OPERATION_TIMEDOUT ? kTimedOut : kFailed, text, response);
  }
  if (!FillCompleted(status, answer, response)) {
    ReleaseResponse(response);
    Fail(kFailed, "kivhost: out of memory", response);
  }
}

}  // namespace kivhost
