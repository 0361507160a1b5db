// YAML is read in two passes. The first takes libyaml's events one at a time into a flat
// list of nodes: scalars are resolved, anchors name finished nodes and an alias is only a
// reference to one, so every check (keys, anchors, nesting, the alias budget) runs before
// anything is expanded and a document of nested aliases is refused without being built.
// The second pass builds the BindingProperty tree from the nodes, building an alias's node
// again in each place it is used, with every collection reserved to its final size.
#include "binding/codec/yaml_reader.h"

#include <yaml.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/codec/yaml_scalar.h"
#include "diag/format_positional.h"

namespace Voro {

namespace {

constexpr std::string_view kMultiDocumentMessage = "Multi-document YAML is not supported.";
constexpr std::string_view kInvalidKeyMessage =
    "Invalid mapping key. Only string scalar keys are allowed. At line: %1 col: %2";
constexpr std::string_view kSequenceAsKeyMessage =
    "Unexpected start of sequence. At line: %1 col: %2";
constexpr std::string_view kMappingAsKeyMessage =
    "Unexpected start of mapping. At line: %1 col: %2";
constexpr std::string_view kCyclicAliasMessage =
    "Cannot deserialize cyclic aliases. Alias \"%1\". At line: %2 col: %3";
constexpr std::string_view kUndefinedAliasMessage =
    "Undefined alias encountered: \"%1\". At line: %2 col: %3";
constexpr std::string_view kDuplicateAnchorMessage =
    "Duplicate occurrence of anchor \"%1\". At line: %2 col: %3";
constexpr std::string_view kParserErrorMessage = "YAML parser error: %1. At line: %2 col: %3";
constexpr std::string_view kNestingMessage =
    "YAML nesting is deeper than 1000 levels. At line: %1 col: %2";
constexpr std::string_view kAliasExpansionMessage =
    "YAML alias expansion exceeds 1000000 nodes. At line: %1 col: %2";
// Node indices and text offsets are 32-bit. Escapes such as "\L" make scalar texts up to
// half as long again as their source; no body comes near this size.
constexpr size_t kMaxInputSize = std::numeric_limits<uint32_t>::max() / 2;
constexpr std::string_view kTooLongProblem = "input is too long";

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

enum class NodeKind : uint8_t {
  kEmpty,
  kBool,
  kSigned,
  kUnsigned,
  kFloat,
  kString,
  kSequence,
  kMapping,
  kAlias,
};

// One node of the first pass. A mapping's children carry their key.
struct Node {
  // bool, integer or double bits; a string's text offset; a container's first child; an
  // alias's target node.
  uint64_t bits = 0;
  uint32_t length = 0;  // a string's bytes; a container's children
  uint32_t next = kNone;
  uint32_t key_offset = 0;
  uint32_t key_length = 0;
  NodeKind kind = NodeKind::kEmpty;
};

static_assert(static_cast<int>(NodeKind::kString) == static_cast<int>(BindingType::kString) &&
                  static_cast<int>(NodeKind::kFloat) == static_cast<int>(BindingType::kFloat),
              "scalar kinds share the numbering of the binding types");

struct Anchor {
  uint32_t node = kNone;
  // Tree nodes the anchored value becomes, aliases inside it expanded.
  uint64_t expanded = 1;
  bool open = true;  // a container that has not ended yet
};

struct Frame {
  uint32_t node;
  uint32_t last_child = kNone;
  uint64_t expanded = 1;
  Anchor* anchor = nullptr;
  bool has_key = false;
  uint32_t key_offset = 0;
  uint32_t key_length = 0;
};

std::string_view Text(const yaml_char_t* text) {
  return text == nullptr ? std::string_view() : reinterpret_cast<const char*>(text);
}

class ParserHandle {
 public:
  ParserHandle() : ok_(yaml_parser_initialize(&parser_) != 0) {}
  ~ParserHandle() {
    if (ok_) yaml_parser_delete(&parser_);
  }
  ParserHandle(const ParserHandle&) = delete;
  ParserHandle& operator=(const ParserHandle&) = delete;
  bool ok() const { return ok_; }
  yaml_parser_t* get() { return &parser_; }

 private:
  yaml_parser_t parser_;
  bool ok_;
};

class EventHandle {
 public:
  EventHandle() = default;
  ~EventHandle() { yaml_event_delete(&event_); }
  EventHandle(const EventHandle&) = delete;
  EventHandle& operator=(const EventHandle&) = delete;
  yaml_event_t* get() { return &event_; }

 private:
  yaml_event_t event_ = {};
};

class YamlDocumentReader {
 public:
  // First pass. False with error() set on the first failure.
  bool Read(std::string_view text);
  // Second pass. REQUIRES: Read succeeded; root is "empty".
  void Build(BindingProperty& root) const;
  const std::string& error() const { return error_; }

 private:
  bool Handle(const yaml_event_t& event);
  bool OnScalar(const yaml_event_t& event);
  bool OnContainerStart(const yaml_event_t& event, bool mapping);
  void OnContainerEnd();
  bool OnAlias(const yaml_event_t& event);

  // Appends a node in the current value position and returns its index.
  uint32_t AddValueNode(NodeKind kind);
  // Counts a finished value in its parent container.
  void Finished(uint64_t expanded) {
    if (!frames_.empty()) frames_.back().expanded += expanded;
  }
  bool InKeyPosition() const {
    return !frames_.empty() && nodes_[frames_.back().node].kind == NodeKind::kMapping &&
           !frames_.back().has_key;
  }
  uint32_t AddText(std::string_view text) {
    const auto offset = static_cast<uint32_t>(texts_.size());
    texts_.append(text);
    return offset;
  }
  std::string_view TextAt(uint32_t offset, uint32_t length) const {
    return std::string_view(texts_).substr(offset, length);
  }
  // Registers `name` for a node; false (with the message) when it is already used.
  bool AddAnchor(std::string_view name, const yaml_mark_t& mark, Anchor** anchor);

  template <typename... Args>
  bool Fail(std::string_view message, const Args&... args) {
    error_ = FormatPositional(message, args...);
    return false;
  }
  template <typename... Args>
  bool FailAt(std::string_view message, const yaml_mark_t& mark, const Args&... args) {
    // Event positions are shown counted from 1.
    return Fail(message, args..., mark.line + 1, mark.column + 1);
  }

  std::vector<Node> nodes_;
  std::string texts_;
  std::vector<Frame> frames_;
  std::unordered_map<std::string, Anchor> anchors_;
  uint32_t root_ = kNone;
  int documents_ = 0;
  uint64_t alias_nodes_ = 0;
  YamlScalarResolver scalars_;
  std::string error_;
};

bool YamlDocumentReader::Read(std::string_view text) {
  if (text.size() > kMaxInputSize) {
    return Fail(kParserErrorMessage, kTooLongProblem, 0, 0);
  }
  ParserHandle parser;
  if (!parser.ok()) throw std::bad_alloc();
  yaml_parser_set_input_string(parser.get(), reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  yaml_parser_set_encoding(parser.get(), YAML_UTF8_ENCODING);
  nodes_.reserve(text.size() / 16 + 4);
  texts_.reserve(text.size() / 2 + 16);
  for (;;) {
    EventHandle event;
    if (yaml_parser_parse(parser.get(), event.get()) == 0) {
      const yaml_parser_t& p = *parser.get();
      if (p.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
      return Fail(kParserErrorMessage, p.problem == nullptr ? "unknown error" : p.problem,
                  p.problem_mark.line, p.problem_mark.column);
    }
    if (!Handle(*event.get())) return false;
    if (event.get()->type == YAML_STREAM_END_EVENT) return true;
  }
}

bool YamlDocumentReader::Handle(const yaml_event_t& event) {
  switch (event.type) {
    case YAML_DOCUMENT_START_EVENT:
      // Any second document, even after an empty first one.
      if (++documents_ > 1) return Fail(kMultiDocumentMessage);
      return true;
    case YAML_SCALAR_EVENT:
      return OnScalar(event);
    case YAML_SEQUENCE_START_EVENT:
      return OnContainerStart(event, false);
    case YAML_MAPPING_START_EVENT:
      return OnContainerStart(event, true);
    case YAML_SEQUENCE_END_EVENT:
    case YAML_MAPPING_END_EVENT:
      OnContainerEnd();
      return true;
    case YAML_ALIAS_EVENT:
      return OnAlias(event);
    default:
      return true;
  }
}

uint32_t YamlDocumentReader::AddValueNode(NodeKind kind) {
  const auto index = static_cast<uint32_t>(nodes_.size());
  Node& node = nodes_.emplace_back();
  node.kind = kind;
  if (frames_.empty()) {
    root_ = index;
    return index;
  }
  Frame& frame = frames_.back();
  if (frame.has_key) {
    node.key_offset = frame.key_offset;
    node.key_length = frame.key_length;
    frame.has_key = false;
  }
  Node& parent = nodes_[frame.node];
  if (frame.last_child == kNone) {
    parent.bits = index;
  } else {
    nodes_[frame.last_child].next = index;
  }
  frame.last_child = index;
  ++parent.length;
  return index;
}

bool YamlDocumentReader::AddAnchor(std::string_view name, const yaml_mark_t& mark,
                                   Anchor** anchor) {
  auto [it, inserted] = anchors_.try_emplace(std::string(name));
  if (!inserted) return FailAt(kDuplicateAnchorMessage, mark, name);
  *anchor = &it->second;
  return true;
}

bool YamlDocumentReader::OnScalar(const yaml_event_t& event) {
  const auto& scalar = event.data.scalar;
  const std::string_view text(reinterpret_cast<const char*>(scalar.value), scalar.length);
  const std::string_view tag = Text(scalar.tag);
  const std::string_view anchor_name = Text(scalar.anchor);
  if (InKeyPosition()) {
    if (!tag.empty() && tag != kYamlStrTag) return FailAt(kInvalidKeyMessage, event.start_mark);
    Frame& frame = frames_.back();
    frame.key_offset = AddText(text);
    frame.key_length = static_cast<uint32_t>(text.size());
    frame.has_key = true;
    if (!anchor_name.empty()) {
      // An anchored key is remembered as a detached string node.
      Anchor* anchor = nullptr;
      if (!AddAnchor(anchor_name, event.start_mark, &anchor)) return false;
      anchor->node = static_cast<uint32_t>(nodes_.size());
      anchor->open = false;
      Node& node = nodes_.emplace_back();
      node.kind = NodeKind::kString;
      node.bits = frame.key_offset;
      node.length = frame.key_length;
    }
    return true;
  }
  const bool quoted = scalar.style == YAML_SINGLE_QUOTED_SCALAR_STYLE ||
                      scalar.style == YAML_DOUBLE_QUOTED_SCALAR_STYLE;
  YamlScalarValue value;
  if (!scalars_.Resolve(tag, text, quoted, &value, &error_)) return false;
  Anchor* anchor = nullptr;
  if (!anchor_name.empty() && !AddAnchor(anchor_name, event.start_mark, &anchor)) return false;
  const uint32_t index = AddValueNode(static_cast<NodeKind>(value.type));
  Node& node = nodes_[index];
  if (value.type == BindingType::kString) {
    node.bits = AddText(text);
    node.length = static_cast<uint32_t>(text.size());
  } else {
    node.bits = value.bits;
  }
  if (anchor != nullptr) {
    anchor->node = index;
    anchor->open = false;
  }
  Finished(1);
  return true;
}

bool YamlDocumentReader::OnContainerStart(const yaml_event_t& event, bool mapping) {
  if (InKeyPosition()) {
    return FailAt(mapping ? kMappingAsKeyMessage : kSequenceAsKeyMessage, event.start_mark);
  }
  if (frames_.size() >= kMaxYamlNesting) return FailAt(kNestingMessage, event.start_mark);
  const std::string_view anchor_name =
      Text(mapping ? event.data.mapping_start.anchor : event.data.sequence_start.anchor);
  Anchor* anchor = nullptr;
  if (!anchor_name.empty() && !AddAnchor(anchor_name, event.start_mark, &anchor)) return false;
  const uint32_t index = AddValueNode(mapping ? NodeKind::kMapping : NodeKind::kSequence);
  if (anchor != nullptr) anchor->node = index;
  frames_.push_back(Frame{.node = index, .anchor = anchor});
  return true;
}

void YamlDocumentReader::OnContainerEnd() {
  const Frame frame = frames_.back();
  frames_.pop_back();
  if (frame.anchor != nullptr) {
    frame.anchor->open = false;
    frame.anchor->expanded = frame.expanded;
  }
  Finished(frame.expanded);
}

bool YamlDocumentReader::OnAlias(const yaml_event_t& event) {
  const std::string_view name = Text(event.data.alias.anchor);
  auto it = anchors_.find(std::string(name));
  if (it == anchors_.end()) return FailAt(kUndefinedAliasMessage, event.start_mark, name);
  const Anchor& anchor = it->second;
  if (anchor.open) return FailAt(kCyclicAliasMessage, event.start_mark, name);
  const Node& target = nodes_[anchor.node];
  if (InKeyPosition()) {
    // Only an alias to a string can name a field.
    if (target.kind != NodeKind::kString) return FailAt(kInvalidKeyMessage, event.start_mark);
    Frame& frame = frames_.back();
    frame.key_offset = static_cast<uint32_t>(target.bits);
    frame.key_length = target.length;
    frame.has_key = true;
    return true;
  }
  alias_nodes_ += anchor.expanded;
  if (alias_nodes_ >= kMaxYamlAliasNodes) return FailAt(kAliasExpansionMessage, event.start_mark);
  const uint32_t target_index = anchor.node;
  const uint32_t index = AddValueNode(NodeKind::kAlias);
  nodes_[index].bits = target_index;
  Finished(anchor.expanded);
  return true;
}

void YamlDocumentReader::Build(BindingProperty& root) const {
  if (root_ == kNone) return;
  // Open containers of the tree being built. Targets stay in place: structure field values
  // live apart from their slots, and collections are reserved to their final size before any
  // element is added.
  struct Open {
    const Node* node;
    BindingProperty* target;
    uint32_t next;
  };
  std::vector<Open> open;
  auto place = [&](uint32_t index, BindingProperty& target) {
    const Node* node = &nodes_[index];
    if (node->kind == NodeKind::kAlias) node = &nodes_[node->bits];
    switch (node->kind) {
      case NodeKind::kEmpty:
        target.Reset();
        return;
      case NodeKind::kBool:
        target.SetBool(node->bits != 0);
        return;
      case NodeKind::kSigned:
        target.SetSigned(static_cast<int64_t>(node->bits));
        return;
      case NodeKind::kUnsigned:
        target.SetUnsigned(node->bits);
        return;
      case NodeKind::kFloat:
        target.SetFloat(std::bit_cast<double>(node->bits));
        return;
      case NodeKind::kString:
        target.SetString(TextAt(static_cast<uint32_t>(node->bits), node->length));
        return;
      case NodeKind::kSequence:
        target.Reset();
        target.MakeCollection(node->length);
        break;
      case NodeKind::kMapping:
        target.Reset();
        target.MakeStructure();
        break;
      case NodeKind::kAlias:
        return;  // never: an anchor names a scalar or a container
    }
    if (node->length != 0) open.push_back({node, &target, static_cast<uint32_t>(node->bits)});
  };
  place(root_, root);
  while (!open.empty()) {
    Open& top = open.back();
    if (top.next == kNone) {
      if (top.node->kind == NodeKind::kMapping) top.target->FinishFields();
      open.pop_back();
      continue;
    }
    const Node& child = nodes_[top.next];
    top.next = child.next;
    // Of repeated mapping keys the last value wins, when the mapping is finished.
    BindingProperty& target =
        top.node->kind == NodeKind::kSequence
            ? top.target->Append()
            : top.target->AppendField(TextAt(child.key_offset, child.key_length));
    place(static_cast<uint32_t>(&child - nodes_.data()), target);
  }
}

}  // namespace

BindingResult ParseYaml(std::string_view text) {
  YamlDocumentReader reader;
  if (!reader.Read(text)) return BindingResult::Error(reader.error());
  BindingResult result;
  reader.Build(result.value());
  return result;
}

}  // namespace Voro
