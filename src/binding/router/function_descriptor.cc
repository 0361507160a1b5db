#include "binding/router/function_descriptor.h"

#include "binding/types/static_type.h"

namespace Voro {

int FunctionDescriptor::FindParameter(std::string_view name) const {
  uint32_t hash = Fnv1a(name);
  for (size_t i = 0; i < parameters.size(); ++i) {
    if (parameters[i].name_hash == hash && parameters[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

int FunctionDescriptor::BodyParameter() const {
  for (size_t i = 0; i < parameters.size(); ++i) {
    if (parameters[i].location == ParameterLocation::kBody) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace Voro
