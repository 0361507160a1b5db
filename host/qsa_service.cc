#include "host/qsa_service.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

#include "host/abi_value.h"

namespace kivhost {

namespace {

constexpr size_t kMaxFileBytes = 16u << 20;

struct EndpointName {
  const char* name;
  QsaEndpoint endpoint;
};
constexpr EndpointName kEndpointNames[] = {
    {"status", QsaEndpoint::kStatus},
    {"gas", QsaEndpoint::kSignOn},
    {"id-token", QsaEndpoint::kIdToken},
    {"gas-token", QsaEndpoint::kGasToken},
    {"access-token", QsaEndpoint::kAccessToken},
    {"error", QsaEndpoint::kError},
};

std::string JsonString(std::string_view text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  return std::string(buffer.GetString(), buffer.GetSize());
}

// Compact JSON of a value, through the depth-bounded conversion, so that a hand-written
// file cannot nest without limit.
kiv::Result<std::string> CompactJson(const rapidjson::Value& value) {
  BindingAbiValue abi;
  if (auto built = AbiFromJson(value, &abi); !built.ok()) return kiv::Error{built.error()};
  auto text = AbiToJson(abi);
  ReleaseAbiValue(&abi);
  return text;
}

// Reads one object of the file: members are taken by name, and what is left over is an
// error, so that a misspelt name does not pass silently. A read is false on a fault, which
// Failed() then hands back.
class ObjectReader {
 public:
  ObjectReader(const rapidjson::Value& object, std::string where)
      : object_(object), where_(std::move(where)) {}

  [[nodiscard]] bool String(const char* name, bool required, std::string* out) {
    const rapidjson::Value* value = Take(name);
    if (value == nullptr) return !required || Missing(name, "a string");
    if (!value->IsString()) return Wrong(name, "a string");
    out->assign(value->GetString(), value->GetStringLength());
    return true;
  }
  [[nodiscard]] bool Unsigned(const char* name, uint64_t* out) {
    const rapidjson::Value* value = Take(name);
    if (value == nullptr) return true;
    if (!value->IsUint64()) return Wrong(name, "an unsigned integer");
    *out = value->GetUint64();
    return true;
  }
  [[nodiscard]] bool Strings(const char* name, std::vector<std::string>* out) {
    const rapidjson::Value* value = Take(name);
    if (value == nullptr) return true;
    if (!value->IsArray()) return Wrong(name, "an array of strings");
    for (const rapidjson::Value& item : value->GetArray()) {
      if (!item.IsString()) return Wrong(name, "an array of strings");
      out->emplace_back(item.GetString(), item.GetStringLength());
    }
    return true;
  }
  // The member as an object; null (not an error) when absent.
  [[nodiscard]] bool Object(const char* name, const rapidjson::Value** out) {
    *out = Take(name);
    if (*out != nullptr && !(*out)->IsObject()) return Wrong(name, "an object");
    return true;
  }
  [[nodiscard]] bool Array(const char* name, const rapidjson::Value** out) {
    *out = Take(name);
    if (*out != nullptr && !(*out)->IsArray()) return Wrong(name, "an array");
    return true;
  }
  // After every Take: false when a member was not asked for.
  [[nodiscard]] bool Done() {
    for (auto it = object_.MemberBegin(); it != object_.MemberEnd(); ++it) {
      std::string name(it->name.GetString(), it->name.GetStringLength());
      if (taken_.count(name) == 0) {
        error_ = where_ + "unknown member \"" + name + "\"";
        return false;
      }
    }
    return true;
  }
  std::string Path(const char* name) const { return where_ + name; }
  // A fault found outside the reads, in the same words.
  kiv::Error Fail(const std::string& text) const { return kiv::Error{where_ + text}; }
  kiv::Error Failed() const { return kiv::Error{error_}; }

 private:
  const rapidjson::Value* Take(const char* name) {
    taken_.insert(name);
    auto it = object_.FindMember(name);
    return it == object_.MemberEnd() ? nullptr : &it->value;
  }
  bool Missing(const char* name, const char* kind) {
    error_ = where_ + "\"" + name + "\" is missing; it must be " + kind;
    return false;
  }
  bool Wrong(const char* name, const char* kind) {
    error_ = where_ + "\"" + name + "\" must be " + kind;
    return false;
  }

  const rapidjson::Value& object_;
  std::string where_;
  std::string error_;
  std::set<std::string> taken_;
};

kiv::Result<std::string> ReadIdToken(const rapidjson::Value& object, const std::string& where) {
  ObjectReader reader(object, where);
  std::string token;
  uint64_t expiry = 0;
  if (!reader.String("token", true, &token) || !reader.Unsigned("expiry", &expiry) ||
      !reader.Done()) {
    return reader.Failed();
  }
  return "{\"token\":" + JsonString(token) + ",\"expiry\":" + std::to_string(expiry) + "}";
}

kiv::Result<std::string> ReadAccessToken(const rapidjson::Value& object, const std::string& where) {
  ObjectReader reader(object, where);
  std::string token;
  std::vector<std::string> scopes;
  uint64_t expiry = 0;
  if (!reader.String("token", true, &token) || !reader.Strings("scopes", &scopes) ||
      !reader.Unsigned("expiry", &expiry) || !reader.Done()) {
    return reader.Failed();
  }
  std::string list;
  for (const std::string& scope : scopes) list += (list.empty() ? "" : ",") + JsonString(scope);
  return "{\"token\":" + JsonString(token) + ",\"scopes\":[" + list +
         "],\"expiry\":" + std::to_string(expiry) + "}";
}

kiv::Status ReadAccount(const rapidjson::Value& value, const std::string& where,
                        QsaAccount* account) {
  if (!value.IsObject()) return kiv::Error{where + "must be an object"};
  ObjectReader reader(value, where);
  const rapidjson::Value* id_token = nullptr;
  const rapidjson::Value* gas_token = nullptr;
  const rapidjson::Value* access_token = nullptr;
  std::string refusal;
  if (!reader.String("username", true, &account->username) ||
      !reader.String("password", true, &account->password) ||
      !reader.String("puuid", true, &account->puuid) ||
      !reader.String("platformId", false, &account->platform_id) ||
      !reader.Unsigned("accountId", &account->account_id) || !reader.Object("idToken", &id_token) ||
      !reader.Object("gasToken", &gas_token) || !reader.Object("accessToken", &access_token) ||
      !reader.String("refusal", false, &refusal) || !reader.Done()) {
    return reader.Failed();
  }
  if (value.HasMember("refusal")) account->refusal = refusal;
  if (id_token != nullptr) {
    auto read = ReadIdToken(*id_token, where + "idToken: ");
    if (!read.ok()) return kiv::Error{read.error()};
    account->id_token = std::move(read.value());
  }
  if (access_token != nullptr) {
    auto read = ReadAccessToken(*access_token, where + "accessToken: ");
    if (!read.ok()) return kiv::Error{read.error()};
    account->access_token = std::move(read.value());
  }
  if (gas_token != nullptr) {
    auto compact = CompactJson(*gas_token);
    if (!compact.ok()) return reader.Fail("\"gasToken\": " + compact.error());
    account->gas_token = std::move(compact.value());
  }
  return {};
}

kiv::Status ReadFailure(const rapidjson::Value& value, const std::string& where,
                        QsaFailure* failure) {
  if (!value.IsObject()) return kiv::Error{where + "must be an object"};
  ObjectReader reader(value, where);
  uint64_t status = 0;
  std::string description;
  if (!reader.Unsigned("status", &status) || !reader.String("message", false, &failure->message) ||
      !reader.String("errorDescription", false, &description) || !reader.Done()) {
    return reader.Failed();
  }
  if (!value.HasMember("status") || status < 100 || status > 599) {
    return reader.Fail("\"status\" must be an integer from 100 to 599");
  }
  failure->status = static_cast<int32_t>(status);
  if (value.HasMember("errorDescription")) {
    if (status != 400) return reader.Fail("\"errorDescription\" goes only with status 400");
    failure->error_description = description;
  }
  return {};
}

std::optional<std::string> Member(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return std::nullopt;
  auto it = object.FindMember(name);
  if (it == object.MemberEnd() || !it->value.IsString()) return std::nullopt;
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

}  // namespace

bool QsaEndpointFromName(std::string_view name, QsaEndpoint* endpoint) {
  for (const EndpointName& entry : kEndpointNames) {
    if (name == entry.name) {
      *endpoint = entry.endpoint;
      return true;
    }
  }
  return false;
}

kiv::Result<QsaConfig> ParseQsaConfig(std::string_view json, const std::string& source) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(json.data(), json.size());
  if (document.HasParseError()) {
    return kiv::Error{
        source + " is not valid JSON: " + rapidjson::GetParseError_En(document.GetParseError()) +
        " at offset " + std::to_string(document.GetErrorOffset())};
  }
  if (!document.IsObject()) return kiv::Error{source + " must hold an object"};
  QsaConfig parsed;
  ObjectReader reader(document, source + ": ");
  std::vector<std::string> platforms;
  const rapidjson::Value* accounts = nullptr;
  const rapidjson::Value* failures = nullptr;
  if (!reader.Strings("enabledPlatforms", &platforms) || !reader.Array("accounts", &accounts) ||
      !reader.Object("failures", &failures) || !reader.Done()) {
    return reader.Failed();
  }
  parsed.enabled_platforms.insert(platforms.begin(), platforms.end());
  if (accounts != nullptr) {
    size_t index = 0;
    for (const rapidjson::Value& value : accounts->GetArray()) {
      QsaAccount account;
      std::string where = source + ": accounts[" + std::to_string(index++) + "]: ";
      if (auto read = ReadAccount(value, where, &account); !read.ok())
        return kiv::Error{read.error()};
      parsed.accounts.push_back(std::move(account));
    }
  }
  if (failures != nullptr) {
    for (auto it = failures->MemberBegin(); it != failures->MemberEnd(); ++it) {
      std::string name(it->name.GetString(), it->name.GetStringLength());
      QsaEndpoint endpoint;
      if (!QsaEndpointFromName(name, &endpoint)) {
        return kiv::Error{source + ": failures: unknown endpoint \"" + name +
                          "\" (status, gas, id-token, gas-token, access-token, error)"};
      }
      QsaFailure failure;
      if (auto read = ReadFailure(it->value, source + ": failures: " + name + ": ", &failure);
          !read.ok()) {
        return kiv::Error{read.error()};
      }
      parsed.failures[endpoint] = std::move(failure);
    }
  }
  return parsed;
}

void QsaService::Configure(QsaConfig config) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_ = std::move(config);
  signed_on_.reset();
  failed_ = false;
  last_description_.reset();
}

kiv::Status QsaService::LoadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return kiv::Error{"cannot read qsa file " + path + ": " + std::strerror(errno)};
  std::string text;
  char buffer[65536];
  while (file.read(buffer, sizeof(buffer)) || file.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(file.gcount()));
    if (text.size() > kMaxFileBytes)
      return kiv::Error{"qsa file " + path + " is larger than 16 MiB"};
  }
  auto config = ParseQsaConfig(text, "qsa file " + path);
  if (!config.ok()) return kiv::Error{config.error()};
  Configure(std::move(config.value()));
  return {};
}

void QsaService::SetFailure(QsaEndpoint endpoint, std::optional<QsaFailure> failure) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failure) {
    config_.failures[endpoint] = std::move(*failure);
  } else {
    config_.failures.erase(endpoint);
  }
}

void QsaService::Install(HostEndpoints* endpoints) {
  endpoints->SetPrefix("GET", kQsaStatusPrefix,
                       [this](const EndpointRequest& request) { return Status(request); });
  endpoints->Set("POST", kQsaSignOnPath,
                 [this](const EndpointRequest& request) { return SignOn(request); });
  endpoints->Set("GET", kQsaIdTokenPath,
                 [this](const EndpointRequest&) { return Token(QsaEndpoint::kIdToken); });
  endpoints->Set("GET", kQsaGasTokenPath,
                 [this](const EndpointRequest&) { return Token(QsaEndpoint::kGasToken); });
  endpoints->Set("GET", kQsaAccessTokenPath,
                 [this](const EndpointRequest&) { return Token(QsaEndpoint::kAccessToken); });
  endpoints->Set("DELETE", kQsaAuthorizationPath,
                 [this](const EndpointRequest&) { return SignOff(); });
  endpoints->Set("GET", kQsaErrorPath, [this](const EndpointRequest&) { return Error(); });
}

std::optional<std::string> QsaService::signed_on() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!signed_on_) return std::nullopt;
  return config_.accounts[*signed_on_].username;
}

std::optional<std::string> QsaService::AccessTokenUpdate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!signed_on_) return std::nullopt;
  return std::string(R"({"uri":")") + kQsaAccessTokenPath + R"(","eventType":"Update","data":)" +
         config_.accounts[*signed_on_].access_token + "}";
}

EndpointReply QsaService::Fail(int32_t status, std::string text,
                               std::optional<std::string> description) {
  failed_ = true;
  last_description_ = std::move(description);
  return EndpointReply::Error(status, std::move(text));
}

std::optional<EndpointReply> QsaService::Injected(QsaEndpoint endpoint) {
  auto it = config_.failures.find(endpoint);
  if (it == config_.failures.end()) return std::nullopt;
  const QsaFailure& failure = it->second;
  // The error endpoint's own failure is not a failure it could describe.
  if (endpoint == QsaEndpoint::kError) return EndpointReply::Error(failure.status, failure.message);
  return Fail(failure.status, failure.message, failure.error_description);
}

EndpointReply QsaService::Status(const EndpointRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto failure = Injected(QsaEndpoint::kStatus)) return *failure;
  const bool enabled = config_.enabled_platforms.count(request.rest) > 0;
  return EndpointReply::Json("{\"platformId\":" + JsonString(request.rest) +
                             ",\"enabled\":" + (enabled ? "true" : "false") + "}");
}

EndpointReply QsaService::SignOn(const EndpointRequest& request) {
  // The credentials come as the request's named arguments; a JSON body serves as well.
  rapidjson::Document arguments;
  arguments.Parse<rapidjson::kParseIterativeFlag>(request.arguments.data(),
                                                  request.arguments.size());
  if (!arguments.HasParseError() && arguments.IsObject() && arguments.ObjectEmpty() &&
      !request.body.empty()) {
    arguments.Parse<rapidjson::kParseIterativeFlag>(request.body.data(), request.body.size());
  }
  std::optional<std::string> username;
  std::optional<std::string> password;
  std::optional<std::string> platform_id;
  if (!arguments.HasParseError()) {
    username = Member(arguments, "username");
    password = Member(arguments, "password");
    platform_id = Member(arguments, "platformId");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto failure = Injected(QsaEndpoint::kSignOn)) return *failure;
  if (!username || !password || !platform_id) {
    return Fail(kBadArgumentsStatus, kQsaBadSignOnRequest, std::nullopt);
  }
  for (size_t i = 0; i < config_.accounts.size(); ++i) {
    const QsaAccount& account = config_.accounts[i];
    if (account.username != *username || account.password != *password ||
        (!account.platform_id.empty() && account.platform_id != *platform_id)) {
      continue;
    }
    if (account.refusal) {
      return Fail(kBadArgumentsStatus, kQsaRefused + *account.refusal, account.refusal);
    }
    signed_on_ = i;
    failed_ = false;
    last_description_.reset();
    return EndpointReply::Json("{\"currentPlatformId\":" + JsonString(*platform_id) +
                               ",\"currentAccountId\":" + std::to_string(account.account_id) +
                               ",\"subject\":" + JsonString(account.puuid) + "}");
  }
  return Fail(401, kQsaBadCredentials, std::nullopt);
}

EndpointReply QsaService::Token(QsaEndpoint endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto failure = Injected(endpoint)) return *failure;
  if (!signed_on_) return EndpointReply::Error(kNoEndpointStatus, kQsaNotSignedOn);
  const QsaAccount& account = config_.accounts[*signed_on_];
  switch (endpoint) {
    case QsaEndpoint::kIdToken:
      return EndpointReply::Json(account.id_token);
    case QsaEndpoint::kGasToken:
      return EndpointReply::Json(account.gas_token);
    default:
      return EndpointReply::Json(account.access_token);
  }
}

EndpointReply QsaService::SignOff() {
  std::lock_guard<std::mutex> lock(mutex_);
  signed_on_.reset();
  return EndpointReply::Json("null");
}

EndpointReply QsaService::Error() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto failure = Injected(QsaEndpoint::kError)) return *failure;
  if (!failed_) return EndpointReply::Error(kNoEndpointStatus, kQsaNoFailure);
  if (!last_description_) return EndpointReply::Json("{}");
  return EndpointReply::Json("{\"errorDescription\":" + JsonString(*last_description_) + "}");
}

}  // namespace kivhost
