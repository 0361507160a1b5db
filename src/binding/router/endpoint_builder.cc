#include "binding/router/endpoint_builder.h"

#include "binding/router/endpoint_router.h"
#include "binding/types/static_type.h"
#include "diag/log.h"

namespace Voro {

EndpointBuilder::EndpointBuilder(EndpointRouter* router,
                                 std::unique_ptr<FunctionDescriptor> function)
    : router_(router), function_(std::move(function)) {}

EndpointBuilder::~EndpointBuilder() {
  if (function_ != nullptr) {
    Log(kLevelError, Tag::DBG, "Endpoint %s was declared without a handler",
        function_->name.c_str());
  }
}

EndpointBuilder& EndpointBuilder::Description(std::string text) {
  function_->description = std::move(text);
  return *this;
}

EndpointBuilder& EndpointBuilder::Help(std::string text) {
  function_->help = std::move(text);
  return *this;
}

EndpointBuilder& EndpointBuilder::Tag(std::string tag) {
  function_->tags.push_back(std::move(tag));
  return *this;
}

EndpointBuilder& EndpointBuilder::NameSpace(std::string name_space) {
  function_->name_space = std::move(name_space);
  return *this;
}

EndpointBuilder& EndpointBuilder::Parameter(std::string name, std::string description,
                                            ParameterLocation location) {
  ParameterDescriptor parameter;
  parameter.name_hash = Fnv1a(name);
  parameter.name = std::move(name);
  parameter.description = std::move(description);
  parameter.location = location;
  function_->parameters.push_back(std::move(parameter));
  return *this;
}

bool EndpointBuilder::CheckParameterCount(size_t handler_parameters) const {
  if (handler_parameters == function_->parameters.size()) return true;
  Log(kLevelError, Tag::DBG, "Endpoint %s declares %zu parameters but its handler takes %zu",
      function_->name.c_str(), function_->parameters.size(), handler_parameters);
  return false;
}

const TypeRegistry* EndpointBuilder::registry() const { return &router_->registry(); }

bool EndpointBuilder::Commit(std::unique_ptr<EndpointInvoker> invoker,
                             const KindData* result_type) {
  function_->invoker = std::move(invoker);
  function_->result_type = result_type;
  bool added = router_->Add(std::move(function_));
  function_.reset();
  return added;
}

}  // namespace Voro
