// An AMF3 object: its class definition, one value per sealed member (in the class's order),
// for dynamic classes a map of dynamic members, and for the known externalizable classes
// their body.
//
// Sealed values are changed only through SetMember/SetSealedValue, which keep a member's
// kind once it is defined and log refusals at ERROR level. Dynamic members are added
// directly (the decoder and the conversion from binding values do).
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf_class.h"

namespace Voro {

class Amf3Object {
 public:
  // Every sealed value starts Undefined. A null class is an empty anonymous sealed class.
  explicit Amf3Object(std::shared_ptr<AmfClass> amf_class);

  const std::shared_ptr<AmfClass>& amf_class() const { return class_; }
  // Empty for an anonymous class.
  std::string_view class_name() const;

  // Stores `value` under the sealed member `name` by the member rules: any kind into an
  // Undefined member; afterwards Null, or a value of the member's current kind (booleans
  // and Undefined excepted). Refusals are logged and change nothing.
  void SetMember(std::string_view name, const Amf3Item& value);
  // The same rules for the sealed member at `index` (whose name is `name`).
  void SetSealedValue(size_t index, std::string_view name, const Amf3Item& value);

  // The sealed value, else the dynamic member of a dynamic class, else (logged) the shared
  // Undefined item.
  const Amf3Item& GetMember(std::string_view name) const;
  // The sealed value at `index`; Undefined when not set (the class may have grown).
  const Amf3Item& SealedValue(size_t index) const;
  size_t sealed_size() const { return sealed_.size(); }

  const Amf3AssociativeMap& dynamic_members() const { return dynamic_; }
  Amf3AssociativeMap& dynamic_members() { return dynamic_; }
  void SetDynamicMember(std::string_view name, Amf3Item value);

  // The body of an object of a known externalizable class (see amf_externalizable.h);
  // Undefined otherwise.
  const Amf3Item& external_body() const { return external_body_; }
  void set_external_body(Amf3Item body) { external_body_ = std::move(body); }

 private:
  std::shared_ptr<AmfClass> class_;
  std::vector<Amf3Item> sealed_;
  Amf3AssociativeMap dynamic_;
  Amf3Item external_body_;
};

}  // namespace Voro
