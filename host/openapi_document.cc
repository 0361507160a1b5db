#include "host/openapi_document.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace kivhost {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

// The binding's kind codes, as the table carries them in `kind`, `element_kind` and
// `return_kind`. The numbering is fixed across the boundary.
enum Kind : uint32_t {
  kNone = 0,
  kBool = 1,
  kInt8 = 2,
  kUint8 = 3,
  kInt16 = 4,
  kUint16 = 5,
  kInt32 = 6,
  kUint32 = 7,
  kInt64 = 8,
  kUint64 = 9,
  kFloat = 10,
  kDouble = 11,
  kString = 12,
  kObject = 13,  // any value, held as it came
  kBlob = 14,    // bytes, written as Base64 text
  kVector = 15,
  kEnum = 16,
  kStruct = 17,
  kCallback = 18,  // converted by the field's own converter: nothing to say about its form
  kMap = 19,       // text keys
};

constexpr uint32_t kBodyLocation = 5;

constexpr std::array<const char*, 8> kMethodKeys = {"",        "delete", "get",  "head",
                                                    "options", "patch",  "post", "put"};

// Media types the server decodes a body from.
constexpr std::array<const char*, 3> kBodyMediaTypes = {"application/json", "application/x-msgpack",
                                                        "application/x-yaml"};

constexpr const char* kErrorSchemaName = "EndpointError";

std::string_view Text(const char* text) { return text != nullptr ? text : ""; }

void Put(Writer& w, std::string_view text) {
  w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

// Writes "key": "text" unless the text is empty.
void PutIfAny(Writer& w, const char* key, std::string_view text) {
  if (text.empty()) return;
  w.Key(key);
  Put(w, text);
}

// Keys handed out once each; a taken one gets "_2", "_3", ... appended.
class UniqueKeys {
 public:
  bool Has(const std::string& key) const { return taken_.contains(key); }
  std::string Take(const std::string& wanted) {
    if (taken_.insert(wanted).second) return wanted;
    for (int n = 2;; ++n) {
      std::string key = wanted + "_" + std::to_string(n);
      if (taken_.insert(key).second) return key;
    }
  }

 private:
  std::set<std::string> taken_;
};

// Component names allow letters, digits, '.', '-' and '_' only.
std::string ComponentName(std::string_view name) {
  std::string out;
  for (char c : name) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    out += allowed ? c : '_';
  }
  return out.empty() ? "Type" : out;
}

// The variables of a path template, "{name}" and "{+name}", in order, once each.
std::vector<std::string> TemplateVariables(std::string_view path) {
  std::vector<std::string> names;
  for (size_t open = path.find('{'); open != std::string_view::npos;
       open = path.find('{', open + 1)) {
    const size_t close = path.find('}', open);
    if (close == std::string_view::npos) break;
    std::string_view name = path.substr(open + 1, close - open - 1);
    if (!name.empty() && name[0] == '+') name.remove_prefix(1);
    if (name.empty()) continue;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
  }
  return names;
}

// The template in OpenAPI's form: "{+name}" becomes "{name}".
std::string OpenApiPath(std::string_view path) {
  std::string out(path);
  for (size_t at = out.find("{+"); at != std::string::npos; at = out.find("{+", at)) {
    out.erase(at + 1, 1);
  }
  return out;
}

struct Operation {
  std::string method;  // a path item key ("get"), or a custom method's text
  const ApiEndpointRecord* endpoint = nullptr;
  bool any_method = false;
  std::string operation_id;
};

struct PathItem {
  std::string path;           // as OpenAPI writes it
  std::string template_text;  // as the table gives it
  std::vector<Operation> operations;
  std::vector<Operation> custom;
};

class DocumentWriter {
 public:
  DocumentWriter(const ApiTable& table, const OpenApiInfo& info)
      : table_(table), info_(info), writer_(buffer_) {
    UniqueKeys schema_keys;
    for (const ApiTypeRecord* t = table.types; t != nullptr; t = t->next) {
      // References name a type by its name alone: the first registration of a name wins.
      const std::string key = schema_keys.Take(ComponentName(Text(t->name)));
      schema_keys_.emplace(std::string(Text(t->name)), key);
      type_keys_.push_back(key);
    }
    error_key_ = schema_keys.Take(kErrorSchemaName);
    CollectPaths();
  }

  std::string Write() {
    Writer& w = writer_;
    w.StartObject();
    w.Key("openapi");
    w.String("3.0.3");
    WriteInfo();
    WriteTags();
    WritePaths();
    WriteComponents();
    WriteEvents();
    w.EndObject();
    return std::string(buffer_.GetString(), buffer_.GetSize());
  }

 private:
  void CollectPaths() {
    UniqueKeys operation_ids;
    std::map<std::string, size_t> index;  // OpenAPI path -> paths_ entry
    for (const ApiEndpointRecord* e = table_.endpoints; e != nullptr; e = e->next) {
      // The host finds an endpoint without a path at "/" + its name.
      const std::string path =
          Text(e->path).empty() ? "/" + std::string(Text(e->name)) : std::string(Text(e->path));
      const std::string openapi_path = OpenApiPath(path);
      auto [it, added] = index.emplace(openapi_path, paths_.size());
      if (added) {
        PathItem& fresh = paths_.emplace_back();
        fresh.path = openapi_path;
        fresh.template_text = path;
      }
      PathItem& item = paths_[it->second];
      const std::string name = Text(e->name).empty() ? "operation" : std::string(Text(e->name));
      auto claim = [&](std::vector<Operation>& list, const std::string& method, bool any,
                       const std::string& id) {
        for (const Operation& seen : list) {
          if (seen.method == method) return;  // the first endpoint in the table answers
        }
        list.push_back(Operation{.method = method,
                                 .endpoint = e,
                                 .any_method = any,
                                 .operation_id = operation_ids.Take(id)});
      };
      if (e->method == 0) {
        claim(item.operations, "get", true, name);
        claim(item.operations, "post", true, name + "_post");
      } else if (e->method < kMethodKeys.size()) {
        claim(item.operations, kMethodKeys[e->method], false, name);
      } else if (e->method == KIV_METHOD_CUSTOM && !Text(e->method_text).empty()) {
        claim(item.custom, std::string(Text(e->method_text)), false, name);
      }
    }
  }

  void WriteInfo() {
    Writer& w = writer_;
    w.Key("info");
    w.StartObject();
    w.Key("title");
    Put(w, info_.title);
    PutIfAny(w, "description", info_.description);
    w.Key("version");
    Put(w, info_.version);
    w.EndObject();
    if (!info_.server_url.empty()) {
      w.Key("servers");
      w.StartArray();
      w.StartObject();
      w.Key("url");
      Put(w, info_.server_url);
      w.EndObject();
      w.EndArray();
    }
  }

  // The endpoint tags, once each in the order they first appear.
  void WriteTags() {
    std::vector<std::string_view> tags;
    for (const ApiEndpointRecord* e = table_.endpoints; e != nullptr; e = e->next) {
      for (uint32_t i = 0; e->tags != nullptr && i < e->tag_count; ++i) {
        const std::string_view tag = Text(e->tags[i]);
        if (!tag.empty() && std::find(tags.begin(), tags.end(), tag) == tags.end()) {
          tags.push_back(tag);
        }
      }
    }
    if (tags.empty()) return;
    Writer& w = writer_;
    w.Key("tags");
    w.StartArray();
    for (std::string_view tag : tags) {
      w.StartObject();
      w.Key("name");
      Put(w, tag);
      w.EndObject();
    }
    w.EndArray();
  }

  void WritePaths() {
    Writer& w = writer_;
    w.Key("paths");
    w.StartObject();
    for (const PathItem& item : paths_) {
      Put(w, item.path);
      w.StartObject();
      if (item.template_text != item.path) {
        w.Key("x-path-template");
        Put(w, item.template_text);
      }
      for (const Operation& operation : item.operations) {
        Put(w, operation.method);
        WriteOperation(item, operation);
      }
      if (!item.custom.empty()) {
        w.Key("x-custom-methods");
        w.StartObject();
        for (const Operation& operation : item.custom) {
          Put(w, operation.method);
          WriteOperation(item, operation);
        }
        w.EndObject();
      }
      w.EndObject();
    }
    w.EndObject();
  }

  void WriteOperation(const PathItem& item, const Operation& operation) {
    Writer& w = writer_;
    const ApiEndpointRecord& e = *operation.endpoint;
    w.StartObject();
    w.Key("operationId");
    Put(w, operation.operation_id);
    PutIfAny(w, "summary", Text(e.description));
    PutIfAny(w, "description", Text(e.help));
    if (e.tags != nullptr && e.tag_count > 0) {
      w.Key("tags");
      w.StartArray();
      for (uint32_t i = 0; i < e.tag_count; ++i) {
        if (!Text(e.tags[i]).empty()) Put(w, Text(e.tags[i]));
      }
      w.EndArray();
    }
    if (operation.any_method) {
      w.Key("x-any-method");
      w.Bool(true);
    }
    const ApiParameterRecord* body = WriteParameters(item, e);
    if (body != nullptr) WriteRequestBody(*body);
    WriteResponses(e);
    w.EndObject();
  }

  // Writes the path and query parameters; returns the parameter that is the body, if any.
  const ApiParameterRecord* WriteParameters(const PathItem& item, const ApiEndpointRecord& e) {
    Writer& w = writer_;
    const std::vector<std::string> variables = TemplateVariables(item.template_text);
    std::vector<const ApiParameterRecord*> path_parameters(variables.size(), nullptr);
    std::vector<const ApiParameterRecord*> query;
    const ApiParameterRecord* body = nullptr;
    std::set<std::string_view> names;
    const ApiParameterLocation* location = e.locations;
    for (const ApiParameterRecord* p = e.parameters; p != nullptr; p = p->next) {
      const uint32_t where = location != nullptr ? location->location : 0;
      if (location != nullptr) location = location->next;
      const std::string_view name = Text(p->name);
      if (name.empty() || !names.insert(name).second) continue;
      // A path variable fills the parameter of its name wherever it may come from.
      auto variable = std::find(variables.begin(), variables.end(), name);
      if (variable != variables.end()) {
        path_parameters[static_cast<size_t>(variable - variables.begin())] = p;
      } else if (where == kBodyLocation && body == nullptr) {
        body = p;
      } else {
        // Named arguments reach a parameter whatever its location, so the rest (a second
        // body parameter included) are named arguments, which the server reads from the query.
        query.push_back(p);
      }
    }
    if (variables.empty() && query.empty()) return body;
    w.Key("parameters");
    w.StartArray();
    for (size_t i = 0; i < variables.size(); ++i) {
      const ApiParameterRecord* p = path_parameters[i];
      w.StartObject();
      w.Key("name");
      Put(w, variables[i]);
      w.Key("in");
      w.String("path");
      if (p != nullptr) PutIfAny(w, "description", Text(p->description));
      w.Key("required");
      w.Bool(true);
      w.Key("schema");
      // A variable the function does not declare still takes a segment of text.
      if (p != nullptr) {
        WriteSchema(p->kind, p->element_kind, p->type_name);
      } else {
        WriteKindSchema(kString);
      }
      w.EndObject();
    }
    for (const ApiParameterRecord* p : query) {
      w.StartObject();
      w.Key("name");
      Put(w, Text(p->name));
      w.Key("in");
      w.String("query");
      PutIfAny(w, "description", Text(p->description));
      w.Key("required");
      w.Bool(p->optional == 0);
      // The query value is JSON text, which a parameter's content says and its schema cannot.
      w.Key("content");
      w.StartObject();
      w.Key("application/json");
      w.StartObject();
      w.Key("schema");
      WriteSchema(p->kind, p->element_kind, p->type_name);
      w.EndObject();
      w.EndObject();
      w.EndObject();
    }
    w.EndArray();
    return body;
  }

  void WriteRequestBody(const ApiParameterRecord& body) {
    Writer& w = writer_;
    w.Key("requestBody");
    w.StartObject();
    PutIfAny(w, "description", Text(body.description));
    w.Key("required");
    w.Bool(body.optional == 0);
    w.Key("content");
    w.StartObject();
    for (const char* media_type : kBodyMediaTypes) {
      w.Key(media_type);
      w.StartObject();
      w.Key("schema");
      WriteSchema(body.kind, body.element_kind, body.type_name);
      w.EndObject();
    }
    w.EndObject();
    w.EndObject();
  }

  void WriteResponses(const ApiEndpointRecord& e) {
    Writer& w = writer_;
    w.Key("responses");
    w.StartObject();
    w.Key("200");
    w.StartObject();
    w.Key("description");
    if (e.return_kind == kNone) {
      w.String("Done; the answer carries no value.");
    } else {
      w.String("The endpoint's answer.");
      w.Key("content");
      w.StartObject();
      w.Key("application/json");
      w.StartObject();
      w.Key("schema");
      WriteSchema(e.return_kind, e.return_element_kind, e.return_type_name);
      w.EndObject();
      w.EndObject();
    }
    w.EndObject();
    w.Key("default");
    w.StartObject();
    w.Key("description");
    w.String("The endpoint failed, with the status it set and its error text.");
    w.Key("content");
    w.StartObject();
    w.Key("application/json");
    w.StartObject();
    w.Key("schema");
    WriteRef(error_key_);
    w.EndObject();
    w.EndObject();
    w.EndObject();
    w.EndObject();
  }

  void WriteComponents() {
    Writer& w = writer_;
    w.Key("components");
    w.StartObject();
    w.Key("schemas");
    w.StartObject();
    size_t i = 0;
    for (const ApiTypeRecord* t = table_.types; t != nullptr; t = t->next) {
      Put(w, type_keys_[i++]);
      WriteTypeSchema(*t);
    }
    Put(w, error_key_);
    w.StartObject();
    w.Key("type");
    w.String("object");
    // As `kivhost serve` answers a failure (host/http_api_server.h, ErrorBodyJson).
    w.Key("properties");
    w.StartObject();
    w.Key("httpStatus");
    w.StartObject();
    w.Key("type");
    w.String("integer");
    w.EndObject();
    w.Key("message");
    w.StartObject();
    w.Key("type");
    w.String("string");
    w.EndObject();
    w.EndObject();
    w.Key("required");
    w.StartArray();
    w.String("httpStatus");
    w.String("message");
    w.EndArray();
    w.EndObject();
    w.EndObject();
    w.EndObject();
  }

  void WriteTypeSchema(const ApiTypeRecord& type) {
    Writer& w = writer_;
    w.StartObject();
    if (type.values != nullptr) {
      // The binding writes an enumeration value by its name (and reads names or numbers).
      w.Key("type");
      w.String("string");
      PutIfAny(w, "description", Text(type.description));
      w.Key("enum");
      w.StartArray();
      for (const ApiEnumValueRecord* v = type.values; v != nullptr; v = v->next) {
        Put(w, Text(v->name));
      }
      w.EndArray();
      w.EndObject();
      return;
    }
    w.Key("type");
    w.String("object");
    PutIfAny(w, "description", Text(type.description));
    std::vector<std::string_view> required;
    std::set<std::string_view> names;
    w.Key("properties");
    w.StartObject();
    for (const ApiFieldRecord* f = type.fields; f != nullptr; f = f->next) {
      const std::string_view name = Text(f->name);
      if (!names.insert(name).second) continue;
      Put(w, name);
      WriteSchema(f->kind, f->element_kind, f->type_name, Text(f->description));
      // Optional fields are left out of the output when they hold their default.
      if (f->optional == 0) required.push_back(name);
    }
    w.EndObject();
    if (!required.empty()) {  // OpenAPI 3.0 wants at least one name in "required"
      w.Key("required");
      w.StartArray();
      for (std::string_view name : required) Put(w, name);
      w.EndArray();
    }
    w.EndObject();
  }

  void WriteEvents() {
    Writer& w = writer_;
    if (table_.events == nullptr) return;
    UniqueKeys keys;
    std::set<std::tuple<std::string_view, std::string_view, std::string_view>> listed;
    w.Key("x-events");
    w.StartObject();
    for (const ApiEventRecord* ev = table_.events; ev != nullptr; ev = ev->next) {
      // The same event registered again adds nothing.
      if (!listed.emplace(Text(ev->name), Text(ev->name_space), Text(ev->payload_type_name))
               .second) {
        continue;
      }
      std::string key(Text(ev->name));
      if (keys.Has(key) && !Text(ev->name_space).empty()) {
        key = std::string(Text(ev->name_space)) + "::" + key;
      }
      Put(w, keys.Take(key));
      w.StartObject();
      w.Key("payload");
      WriteNamedSchema(Text(ev->payload_type_name));
      PutIfAny(w, "description", Text(ev->description));
      PutIfAny(w, "nameSpace", Text(ev->name_space));
      if (ev->tags != nullptr && ev->tag_count > 0) {
        w.Key("tags");
        w.StartArray();
        for (uint32_t i = 0; i < ev->tag_count; ++i) Put(w, Text(ev->tags[i]));
        w.EndArray();
      }
      w.EndObject();
    }
    w.EndObject();
  }

  void WriteRef(const std::string& key) {
    Writer& w = writer_;
    w.StartObject();
    w.Key("$ref");
    Put(w, "#/components/schemas/" + key);
    w.EndObject();
  }

  // A reference to the registered type `name`; {} (any value) for a name the table does
  // not register, so that no reference points at nothing.
  void WriteNamedSchema(std::string_view name, std::string_view description = {}) {
    Writer& w = writer_;
    auto found = schema_keys_.find(std::string(name));
    if (found == schema_keys_.end()) {
      w.StartObject();
      PutIfAny(w, "description", description);
      w.EndObject();
    } else if (description.empty()) {
      WriteRef(found->second);
    } else {
      // Siblings of "$ref" are ignored in OpenAPI 3.0; allOf keeps the description.
      w.StartObject();
      w.Key("allOf");
      w.StartArray();
      WriteRef(found->second);
      w.EndArray();
      PutIfAny(w, "description", description);
      w.EndObject();
    }
  }

  // The schema of a value of `kind`. For a vector or map `type_name` names the element's
  // registered type (or the element's kind); for a record or enumeration, the type itself.
  void WriteSchema(uint32_t kind, uint32_t element_kind, const char* type_name,
                   std::string_view description = {}) {
    if (kind == kStruct || kind == kEnum) return WriteNamedSchema(Text(type_name), description);
    Writer& w = writer_;
    if (kind != kVector && kind != kMap) return WriteKindSchema(kind, description);
    w.StartObject();
    w.Key("type");
    if (kind == kVector) {
      w.String("array");
      w.Key("items");
    } else {
      w.String("object");
      w.Key("additionalProperties");
    }
    if (element_kind == kStruct || element_kind == kEnum) {
      WriteNamedSchema(Text(type_name));
    } else {
      // A nested container's own element is not in the table.
      WriteKindSchema(element_kind);
    }
    PutIfAny(w, "description", description);
    w.EndObject();
  }

  // The schema of a kind alone: scalars exactly, containers with elements of any form.
  void WriteKindSchema(uint32_t kind, std::string_view description = {}) {
    struct Scalar {
      const char* type;
      const char* format;
      bool bounded;
      int64_t minimum;
      uint64_t maximum;
    };
    // Indexed by kind; the 8- and 16-bit and unsigned kinds state their range, which no
    // standard format does.
    static constexpr std::array<Scalar, 20> kScalars = {{
        {},
        {"boolean", nullptr, false, 0, 0},
        {"integer", "int8", true, -128, 127},
        {"integer", "uint8", true, 0, 255},
        {"integer", "int16", true, -32768, 32767},
        {"integer", "uint16", true, 0, 65535},
        {"integer", "int32", false, 0, 0},
        {"integer", "uint32", true, 0, UINT32_MAX},
        {"integer", "int64", false, 0, 0},
        {"integer", "uint64", true, 0, UINT64_MAX},
        {"number", "float", false, 0, 0},
        {"number", "double", false, 0, 0},
        {"string", nullptr, false, 0, 0},
        {},
        {"string", "byte", false, 0, 0},
        {"array", nullptr, false, 0, 0},
        {},
        {},
        {},
        {"object", nullptr, false, 0, 0},
    }};
    Writer& w = writer_;
    w.StartObject();
    const Scalar scalar = kind < kScalars.size() ? kScalars[kind] : Scalar{};
    if (scalar.type != nullptr) {
      w.Key("type");
      w.String(scalar.type);
      if (kind == kVector) {
        w.Key("items");
        w.StartObject();
        w.EndObject();
      }
      if (scalar.format != nullptr) {
        w.Key("format");
        w.String(scalar.format);
      }
      if (scalar.bounded) {
        w.Key("minimum");
        w.Int64(scalar.minimum);
        w.Key("maximum");
        w.Uint64(scalar.maximum);
      }
    }
    PutIfAny(w, "description", description);
    w.EndObject();
  }

  const ApiTable& table_;
  const OpenApiInfo& info_;
  rapidjson::StringBuffer buffer_;
  Writer writer_;
  std::map<std::string, std::string> schema_keys_;  // type name -> component name
  std::vector<std::string> type_keys_;              // component name of each type, in order
  std::string error_key_;
  std::vector<PathItem> paths_;
};

}  // namespace

std::string OpenApiDocument(const ApiTable& table, const OpenApiInfo& info) {
  return DocumentWriter(table, info).Write();
}

}  // namespace kivhost
