// YAML text into value trees.
//
// Checks: a failure carries a message in the {"error": message} structure; a success is a
// tree no deeper than the nesting limit allows (twice it, since an alias copies a nested
// value into a nested place) and no larger than the input's own nodes plus the alias budget.
// Sanitizers catch leaks of libyaml events and out-of-bounds reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/codec/yaml_reader.h"

namespace {

// Nodes and depth of a tree, without recursion.
std::pair<size_t, size_t> Measure(const Voro::BindingProperty& root) {
  size_t nodes = 0;
  size_t deepest = 0;
  std::vector<std::pair<const Voro::BindingProperty*, size_t>> pending = {{&root, 0}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    ++nodes;
    if (depth > deepest) deepest = depth;
    if (node->type() == Voro::BindingType::kCollection) {
      for (const Voro::BindingProperty& element : node->Elements()) {
        pending.emplace_back(&element, depth + 1);
      }
    } else if (node->type() == Voro::BindingType::kStructure) {
      for (const auto& field : node->Fields()) pending.emplace_back(&field.value, depth + 1);
    }
  }
  return {nodes, deepest};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Voro::BindingResult result = Voro::ParseYaml(text);
  if (!result.ok()) {
    if (result.error().empty() || result.value().size() != 1) std::abort();
    return 0;
  }
  const auto [nodes, depth] = Measure(result.value());
  if (depth > 2 * Voro::kMaxYamlNesting) std::abort();
  if (nodes > 2 * size + 2 + Voro::kMaxYamlAliasNodes) std::abort();
  return 0;
}
