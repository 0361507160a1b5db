#include "binding/value/binding_abi.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "binding/value/work_stack.h"
#include "diag/format_positional.h"

namespace Voro {

namespace {

void* Allocate(size_t bytes) {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// malloc and memset rather than calloc: glibc serves calloc past its per-thread cache, and
// the arrays of a response are small and short-lived.
void* AllocateZeroed(size_t count, size_t size) {
  if (size != 0 && count > static_cast<size_t>(-1) / size) throw std::bad_alloc();
  const size_t bytes = count * size;
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  std::memset(p, 0, bytes);
  return p;
}

char* CopyText(std::string_view text) {
  auto* copy = static_cast<char*>(Allocate(text.size() + 1));
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

uint32_t CheckedCount(size_t count) {
  if (count > std::numeric_limits<uint32_t>::max()) throw std::length_error("host record");
  return static_cast<uint32_t>(count);
}

void SetOwnedString(BindingAbiValue* out, std::string_view text) {
  const uint32_t count = CheckedCount(text.size());
  out->payload.ref.pointer = CopyText(text);
  out->payload.ref.count = count;
  out->tag = KIV_ABI_STRING_OWNED;
}

struct ToAbiItem {
  const BindingProperty* from;
  BindingAbiValue* to;
};

// Fills `out` (zeroed) from `value`; a container gets its zeroed array and queues its
// elements, so that a failure part-way leaves a record that releases cleanly.
void ConvertOne(const BindingProperty& value, BindingAbiValue* out, const EnumNameResolver* names,
                WorkStack<ToAbiItem>* work) {
  switch (value.type()) {
    case BindingType::kEmpty:
      return;
    case BindingType::kBool:
      out->payload.boolean = value.GetBool() ? 1 : 0;
      out->tag = KIV_ABI_BOOL;
      return;
    case BindingType::kSigned:
      out->payload.i64 = value.GetSigned();
      out->tag = KIV_ABI_SIGNED;
      return;
    case BindingType::kUnsigned:
      out->payload.u64 = value.GetUnsigned();
      out->tag = KIV_ABI_UNSIGNED;
      return;
    case BindingType::kFloat:
      out->payload.f64 = value.GetFloat();
      out->tag = KIV_ABI_DOUBLE;
      return;
    case BindingType::kString:
      SetOwnedString(out, value.GetString());
      return;
    case BindingType::kBlob: {
      const std::vector<uint8_t>& bytes = value.GetBlob();
      const uint32_t count = CheckedCount(bytes.size());
      void* copy = nullptr;
      if (count != 0) {
        copy = Allocate(count);
        std::memcpy(copy, bytes.data(), count);
      }
      out->payload.ref.pointer = copy;
      out->payload.ref.count = count;
      out->tag = KIV_ABI_BLOB_OWNED;
      return;
    }
    case BindingType::kEnum: {
      const BindingEnum e = value.GetEnum();
      std::string name;
      if (names != nullptr && names->FindEnumValueName(e.type_hash, e.value, &name)) {
        SetOwnedString(out, name);
      } else {
        out->payload.i64 = e.value;
        out->tag = KIV_ABI_SIGNED;
      }
      return;
    }
    case BindingType::kCollection: {
      auto elements = value.Elements();
      BindingAbiValue* array = nullptr;
      if (!elements.empty()) {
        array =
            static_cast<BindingAbiValue*>(AllocateZeroed(elements.size(), sizeof(BindingAbiValue)));
      }
      out->payload.ref.pointer = array;
      out->payload.ref.count = static_cast<uint32_t>(elements.size());
      out->tag = KIV_ABI_COLLECTION;
      if (array == nullptr) return;
      for (size_t i = 0; i < elements.size(); ++i) work->push({&elements[i], &array[i]});
      return;
    }
    case BindingType::kStructure: {
      const size_t count = value.size();
      BindingAbiStructEntry* entries = nullptr;
      if (count != 0) {
        entries = static_cast<BindingAbiStructEntry*>(
            AllocateZeroed(count, sizeof(BindingAbiStructEntry)));
      }
      out->payload.ref.pointer = entries;
      out->payload.ref.count = static_cast<uint32_t>(count);
      out->tag = KIV_ABI_STRUCTURE;
      if (entries == nullptr) return;
      size_t i = 0;
      for (const auto& [key, field] : value.Fields()) {
        entries[i].key = CopyText(key);
        entries[i].owned_key = 1;
        work->push({&field, &entries[i].value});
        ++i;
      }
      return;
    }
  }
}

}  // namespace

std::string_view BindingAbiTagName(uint32_t tag) {
  switch (tag) {
    case KIV_ABI_BOOL:
      return "bool";
    case KIV_ABI_SIGNED:
      return "signed";
    case KIV_ABI_UNSIGNED:
      return "unsigned";
    case KIV_ABI_DOUBLE:
      return "float";
    case KIV_ABI_STRING_BORROWED:
    case KIV_ABI_STRING_OWNED:
      return "string";
    case KIV_ABI_BLOB_BORROWED:
    case KIV_ABI_BLOB_OWNED:
      return "blob";
    case KIV_ABI_COLLECTION:
      return "collection";
    case KIV_ABI_STRUCTURE:
      return "structure";
    default:
      return {};
  }
}

void ToAbiValue(const BindingProperty& value, BindingAbiValue* out, const EnumNameResolver* names) {
  std::memset(out, 0, sizeof(*out));
  WorkStack<ToAbiItem> work;
  try {
    ConvertOne(value, out, names, &work);
    while (!work.empty()) {
      const ToAbiItem item = work.pop();
      ConvertOne(*item.from, item.to, names, &work);
    }
  } catch (...) {
    ReleaseAbiValue(out);
    throw;
  }
}

void ReleaseAbiValue(BindingAbiValue* value) {
  struct Pending {
    uint32_t tag;
    void* pointer;
    uint32_t count;
  };
  WorkStack<Pending> work;
  // Frees what a value owns directly and queues its array; the array is read and freed
  // later, so nothing keeps pointers into freed memory.
  auto release = [&work](BindingAbiValue& v) {
    void* pointer = const_cast<void*>(v.payload.ref.pointer);
    switch (v.tag) {
      case KIV_ABI_STRING_OWNED:
      case KIV_ABI_BLOB_OWNED:
        std::free(pointer);
        break;
      case KIV_ABI_COLLECTION:
      case KIV_ABI_STRUCTURE:
        if (pointer != nullptr) work.push({v.tag, pointer, v.payload.ref.count});
        break;
      default:
        break;
    }
  };
  release(*value);
  std::memset(value, 0, sizeof(*value));
  while (!work.empty()) {
    const Pending pending = work.pop();
    if (pending.tag == KIV_ABI_COLLECTION) {
      auto* array = static_cast<BindingAbiValue*>(pending.pointer);
      for (uint32_t i = 0; i < pending.count; ++i) release(array[i]);
    } else {
      auto* entries = static_cast<BindingAbiStructEntry*>(pending.pointer);
      for (uint32_t i = 0; i < pending.count; ++i) {
        if (entries[i].owned_key != 0) std::free(const_cast<char*>(entries[i].key));
        release(entries[i].value);
      }
    }
    std::free(pending.pointer);
  }
}

void ReleaseAbiError(BindingAbiError* error) {
  ReleaseAbiValue(&error->value);
  std::free(error->message);
  std::memset(error, 0, sizeof(*error));
}

bool FromAbiValue(const BindingAbiValue& in, std::string_view name, BindingProperty* out,
                  BindingAbiError* error) {
  // An open collection or structure: where its next element goes.
  struct Frame {
    const BindingAbiValue* values;         // collection elements, or
    const BindingAbiStructEntry* entries;  // structure entries
    uint32_t count;
    uint32_t next;
    BindingProperty* target;
  };
  std::vector<Frame> open;

  auto fail = [&](std::string_view tmpl, std::string_view tag_name) {
    ReleaseAbiError(error);
    error->message = CopyText(FormatPositional(tmpl, name, tag_name));
    error->failed = 1;
    return false;
  };

  // Converts one value; a collection or structure is emptied, reserved and opened.
  auto convert = [&](const BindingAbiValue& v, BindingProperty* to) {
    const char* pointer = static_cast<const char*>(v.payload.ref.pointer);
    switch (v.tag) {
      case KIV_ABI_EMPTY:
        to->Reset();
        return true;
      case KIV_ABI_BOOL:
        to->SetBool(v.payload.boolean != 0);
        return true;
      case KIV_ABI_SIGNED:
        to->SetSigned(v.payload.i64);
        return true;
      case KIV_ABI_UNSIGNED:
        to->SetUnsigned(v.payload.u64);
        return true;
      case KIV_ABI_DOUBLE:
        to->SetFloat(v.payload.f64);
        return true;
      case KIV_ABI_STRING_BORROWED:
      case KIV_ABI_STRING_OWNED:
        to->SetString(pointer);  // the text's own terminator counts, not the count
        return true;
      case KIV_ABI_BLOB_BORROWED:
      case KIV_ABI_BLOB_OWNED:
        to->SetBlob(pointer, pointer == nullptr ? 0 : v.payload.ref.count);
        return true;
      case KIV_ABI_COLLECTION:
      case KIV_ABI_STRUCTURE: {
        if (open.size() >= kMaxAbiNesting) return fail(kAbiTooDeepMessage, {});
        const uint32_t count = pointer == nullptr ? 0 : v.payload.ref.count;
        to->Reset();
        if (v.tag == KIV_ABI_COLLECTION) {
          if (count > BindingProperty::kMaxCollectionSize) {
            return fail(kAbiIncompatibleTypeMessage, BindingAbiTagName(v.tag));
          }
          to->MakeCollection();
          to->Reserve(count);
          open.push_back(
              {reinterpret_cast<const BindingAbiValue*>(pointer), nullptr, count, 0, to});
        } else {
          to->MakeStructure();
          open.push_back(
              {nullptr, reinterpret_cast<const BindingAbiStructEntry*>(pointer), count, 0, to});
        }
        return true;
      }
      default:
        return fail(kAbiIncompatibleTypeMessage, BindingAbiTagName(v.tag));
    }
  };

  // Structures are appended to in the host's order and put in key order as they close;
  // after a failure, the open ones too, since what was converted stays readable.
  auto finish_open = [&] {
    for (const Frame& frame : open) {
      if (frame.entries != nullptr) frame.target->FinishFields();
    }
  };
  if (!convert(in, out)) return false;
  while (!open.empty()) {
    Frame& frame = open.back();
    if (frame.next == frame.count) {
      if (frame.entries != nullptr) frame.target->FinishFields();
      open.pop_back();
      continue;
    }
    const uint32_t index = frame.next++;
    const BindingAbiValue* source;
    BindingProperty* target;
    if (frame.values != nullptr) {
      source = &frame.values[index];
      // Capacity was reserved for `count` elements, so the open targets do not move.
      target = &frame.target->MutableElement(index);
    } else {
      const BindingAbiStructEntry& entry = frame.entries[index];
      source = &entry.value;
      target = &frame.target->AppendField(entry.key == nullptr ? "" : entry.key);
    }
    if (!convert(*source, target)) {  // `frame` may be stale after this
      finish_open();
      return false;
    }
  }
  return true;
}

BindingResult FromAbiValue(const BindingAbiValue& in, std::string_view name) {
  BindingResult result;
  BindingAbiError error = {};
  if (!FromAbiValue(in, name, &result.value(), &error)) {
    result.MakeError(error.message == nullptr ? "" : error.message);
  }
  ReleaseAbiError(&error);
  return result;
}

}  // namespace Voro
