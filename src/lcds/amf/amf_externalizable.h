// The externalizable AMF3 classes whose bodies this program knows: the standard collections
// of Flex messaging. Each writes one AMF3 value after its traits (the source array of the
// two lists, the proxied object of the proxy). Any other externalizable class defines its
// own body format, which a reader cannot skip: such an object ends the decode.
#pragma once

#include <string_view>

namespace Voro {

inline constexpr char kArrayCollectionClassName[] = "flex.messaging.io.ArrayCollection";
inline constexpr char kArrayListClassName[] = "flex.messaging.io.ArrayList";
inline constexpr char kObjectProxyClassName[] = "flex.messaging.io.ObjectProxy";

// The name under which the body of an externalizable object of `class_name` is shown and
// taken from binding values ("source" for the lists, "object" for the proxy); empty when
// the body format of that class is unknown.
std::string_view AmfExternalBodyName(std::string_view class_name);

}  // namespace Voro
