// A list of records whose texts are nearly all distinct, the shape of a long list fetched
// at once: large enough that the body readers take their path for large string tables.
// Each record also repeats one key, so that a reader must drop the first value.
#pragma once

#include <cstdint>
#include <string>

#include "binding/value/binding_property.h"

namespace Voro::testing {

constexpr uint32_t kDistinctTextRecords = 20000;

struct DistinctTextRecord {
  std::string name;    // "name"
  std::string first;   // "dup", given first: dropped
  std::string second;  // "dup", given again: kept
  std::string tag;     // "tags": [tag, "shared"]
  std::string nested;  // "nested": {"v": nested}
  std::string kind;    // "kind": repeated texts
  uint32_t n;          // "n"
};

inline DistinctTextRecord DistinctTextRecordAt(uint32_t i) {
  const std::string number = std::to_string(i);
  return DistinctTextRecord{"record name number " + number + " of the list",
                            "first value " + number,
                            "second value " + number,
                            "tag-" + number,
                            "nested text " + number,
                            i % 3 == 0 ? "alpha" : "beta",
                            i};
}

// The tree a reader must make of the list.
inline BindingProperty DistinctTextRecordsTree() {
  BindingProperty root;
  root.MakeCollection();
  for (uint32_t i = 0; i < kDistinctTextRecords; ++i) {
    const DistinctTextRecord r = DistinctTextRecordAt(i);
    BindingProperty& record = root.Append();
    record["name"] = r.name;
    record["dup"] = r.second;
    record["tags"].Append() = r.tag;
    record["tags"].Append() = "shared";
    record["nested"]["v"] = r.nested;
    record["kind"] = r.kind;
    record["n"] = uint64_t{r.n};
  }
  return root;
}

}  // namespace Voro::testing
