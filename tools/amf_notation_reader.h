// The JSON notation `kivtool amf decode` prints, read back into AMF values, so that
// `decode | encode` gives back the bytes that were decoded (up to the reference and
// string-table choices of the writer).
//
// Beyond the printed notation, plain JSON is accepted: in AMF3 an object without "__class"
// is an anonymous dynamic object of its keys, in AMF0 an anonymous object.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "lcds/amf/amf0_item.h"

namespace kivtool {

// Every JSON value in `text` (separated by white space), in AMF0 or AMF3 context. AMF3
// values are returned as the AMF3 side of each AmfValue. "__ref" counts the containers of
// the whole text in the order they open, as the printer does.
kiv::Result<std::vector<Voro::AmfValue>> ReadAmfNotation(std::string_view text, bool amf0);

// `values` (as ReadAmfNotation returns them) written with one writer, as the arguments of
// one message are: they share the reference tables.
std::vector<uint8_t> WriteAmfValues(const std::vector<Voro::AmfValue>& values, bool amf0);

}  // namespace kivtool
