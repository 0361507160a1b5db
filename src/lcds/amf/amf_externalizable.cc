#include "lcds/amf/amf_externalizable.h"

namespace Voro {

std::string_view AmfExternalBodyName(std::string_view class_name) {
  if (class_name == kArrayCollectionClassName || class_name == kArrayListClassName) {
    return "source";
  }
  if (class_name == kObjectProxyClassName) return "object";
  return {};
}

}  // namespace Voro
