// The container payloads of AMF3 items other than objects.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "lcds/amf/amf3_item.h"

namespace Voro {

// Keys in ascending byte-wise order.
using Amf3AssociativeMap = std::map<std::string, Amf3Item, std::less<>>;

struct Amf3Array {
  std::vector<Amf3Item> dense;
  Amf3AssociativeMap associative;
};

template <typename T>
struct Amf3Vector {
  bool fixed = false;
  std::vector<T> items;
};

struct Amf3ObjectVector {
  bool fixed = false;
  std::string type_name;  // empty for "any"
  std::vector<Amf3Item> items;
};

// Pairs in the order they were added (or read); keys may be of any kind.
struct Amf3Dictionary {
  bool weak_keys = false;
  std::vector<std::pair<Amf3Item, Amf3Item>> entries;
};

}  // namespace Voro
