// The table the plugin hands to the host (descriptor word 6): every declared endpoint, every
// registered type with its fields or enumeration values, and every event, as the fixed
// records of plugin_abi.h.
//
// Each array's records are linked through their first word (null in the last) and counted.
// Texts are NUL-terminated and never null (an absent text is ""); an empty array is null.
// Types and events that are not "$builtin" also carry the module's help tags.
//
// Endpoint records carry the router's request callback and the function's registration
// context. The value at offset 80 ("extra") is the type hash of the request object the
// function asks for (0 for none); the one text list, present when the path template has
// variables, holds their names in capture order.
//
// Built once after the API is declared; the storage owns everything the table points to and
// must outlive every reader (it lives as long as the module). Immutable: any thread may read.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "binding/router/endpoint_router.h"
#include "binding/types/type_registry.h"
#include "kiv/plugin_abi.h"

namespace Voro {

class ApiTableStorage {
 public:
  // REQUIRES: registry and router stay alive and unchanged as long as the storage.
  static std::unique_ptr<ApiTableStorage> Build(const TypeRegistry& registry,
                                                const EndpointRouter& router,
                                                const std::vector<std::string>& module_tags);

  const ApiTable& table() const { return table_; }

 private:
  ApiTableStorage() = default;

  const char* Text(std::string_view text);
  // A stable array of pointers to copies of `texts` (null when empty).
  const char* const* TextArray(const std::vector<std::string>& texts);
  void BuildEndpoints(const TypeRegistry& registry, const EndpointRouter& router);
  void BuildTypes(const TypeRegistry& registry, const std::vector<std::string>& module_tags);
  void BuildEvents(const TypeRegistry& registry, const std::vector<std::string>& module_tags);

  ApiTable table_{};
  std::deque<std::string> texts_;
  std::deque<std::vector<const char*>> text_arrays_;
  std::vector<ApiEndpointRecord> endpoints_;
  std::deque<std::vector<ApiParameterRecord>> parameters_;
  std::deque<std::vector<ApiParameterLocation>> locations_;
  std::deque<std::vector<ApiTextList>> text_lists_;
  std::vector<ApiTypeRecord> types_;
  std::deque<std::vector<ApiFieldRecord>> fields_;
  std::deque<std::vector<ApiEnumValueRecord>> values_;
  std::vector<ApiEventRecord> events_;
};

}  // namespace Voro
