#include "binding/types/native_to_abi.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "binding/value/binding_abi.h"
#include "binding/types/native_conversion.h"
#include "diag/format_positional.h"

namespace Voro {

namespace {

// Thrown for a vector a value tree could not hold; it leaves NativeToAbiValue as is.
class VectorTooLong : public std::length_error {
 public:
  VectorTooLong() : std::length_error("BindingProperty::Reserve") {}
};

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

uint32_t CheckedCount(size_t count) {
  if (count > std::numeric_limits<uint32_t>::max()) throw std::length_error("host record");
  return static_cast<uint32_t>(count);
}

char* CopyText(std::string_view text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

void SetOwnedString(BindingAbiValue* out, std::string_view text) {
  const uint32_t count = CheckedCount(text.size());
  out->payload.ref.pointer = CopyText(text);
  out->payload.ref.count = count;
  out->tag = KIV_ABI_STRING_OWNED;
}

// IsDefaultBindingValue, read off the record of a value that is neither an enumeration nor
// an object (those are decided on the native side).
bool IsDefaultRecord(const BindingAbiValue& value) {
  switch (value.tag) {
    case KIV_ABI_EMPTY:
      return true;
    case KIV_ABI_BOOL:
      return value.payload.boolean == 0;
    case KIV_ABI_SIGNED:
      return value.payload.i64 == 0;
    case KIV_ABI_UNSIGNED:
      return value.payload.u64 == 0;
    case KIV_ABI_DOUBLE:
      return value.payload.f64 == 0.0;  // NaN compares unequal
    default:
      return value.payload.ref.count == 0;
  }
}

template <typename T>
const T& As(const void* native) {
  return *static_cast<const T*>(native);
}

class AbiWriter {
 public:
  AbiWriter(const TypeRegistry& registry, std::string* error)
      : registry_(registry), error_(error) {}

  // Fills *out (zeroed) from the native value; false on a conversion failure. Whatever was
  // written stays reachable from *out, so releasing it frees everything. *is_default tells
  // whether the binding form is a default value.
  bool Write(BindingAbiValue* out, const void* native, const KindData& type, bool* is_default) {
    switch (type.kind) {
      case BindingKind::kBool:
        out->payload.boolean = As<bool>(native) ? 1 : 0;
        out->tag = KIV_ABI_BOOL;
        break;
      case BindingKind::kInt8:
        SetSigned(out, As<int8_t>(native));
        break;
      case BindingKind::kUint8:
        SetUnsigned(out, As<uint8_t>(native));
        break;
      case BindingKind::kInt16:
        SetSigned(out, As<int16_t>(native));
        break;
      case BindingKind::kUint16:
        SetUnsigned(out, As<uint16_t>(native));
        break;
      case BindingKind::kInt32:
        SetSigned(out, As<int32_t>(native));
        break;
      case BindingKind::kUint32:
        SetUnsigned(out, As<uint32_t>(native));
        break;
      case BindingKind::kInt64:
        SetSigned(out, As<int64_t>(native));
        break;
      case BindingKind::kUint64:
        SetUnsigned(out, As<uint64_t>(native));
        break;
      case BindingKind::kFloat:
        SetDouble(out, As<float>(native));
        break;
      case BindingKind::kDouble:
        SetDouble(out, As<double>(native));
        break;
      case BindingKind::kString:
        SetOwnedString(out, As<std::string>(native));
        break;
      case BindingKind::kObject: {
        const auto& value = As<BindingProperty>(native);
        ToAbiValue(value, out, &registry_);
        *is_default = IsDefaultBindingValue(value);
        return true;
      }
      case BindingKind::kBlob:
        SetBlob(out, As<std::vector<uint8_t>>(native));
        break;
      case BindingKind::kVector:
        if (!WriteVector(out, native, type)) return false;
        break;
      case BindingKind::kMap:
        if (!WriteMap(out, native, type)) return false;
        break;
      case BindingKind::kEnum: {
        const int32_t number = ReadEnumNumber(native, type.size);
        const EnumDescriptor* descriptor = registry_.FindEnum(type.type_hash);
        const EnumValueDescriptor* value =
            descriptor != nullptr ? descriptor->FindByNumber(number) : nullptr;
        if (value != nullptr) {
          SetOwnedString(out, value->name);
        } else {
          SetSigned(out, number);
        }
        *is_default = number == 0;
        return true;
      }
      case BindingKind::kStruct:
        if (!WriteRecord(out, native, type)) return false;
        break;
      case BindingKind::kNone:
      case BindingKind::kCallback:
      default:
        return Fail(
            FormatPositional(kNoConverterMessage, "<native>", static_cast<uint32_t>(type.kind)));
    }
    *is_default = IsDefaultRecord(*out);
    return true;
  }

 private:
  static void SetSigned(BindingAbiValue* out, int64_t value) {
    out->payload.i64 = value;
    out->tag = KIV_ABI_SIGNED;
  }
  static void SetUnsigned(BindingAbiValue* out, uint64_t value) {
    out->payload.u64 = value;
    out->tag = KIV_ABI_UNSIGNED;
  }
  static void SetDouble(BindingAbiValue* out, double value) {
    out->payload.f64 = value;
    out->tag = KIV_ABI_DOUBLE;
  }
  static void SetBlob(BindingAbiValue* out, const std::vector<uint8_t>& bytes) {
    const uint32_t count = CheckedCount(bytes.size());
    void* copy = nullptr;
    if (count != 0) {
      copy = std::malloc(count);
      if (copy == nullptr) throw std::bad_alloc();
      std::memcpy(copy, bytes.data(), count);
    }
    out->payload.ref.pointer = copy;
    out->payload.ref.count = count;
    out->tag = KIV_ABI_BLOB_OWNED;
  }

  bool Fail(std::string_view message) {
    error_->assign(message);
    return false;
  }

  bool WriteVector(BindingAbiValue* out, const void* native, const KindData& type) {
    const size_t size = type.vector_ops->size(native);
    if (size > BindingProperty::kMaxCollectionSize) throw VectorTooLong();
    out->tag = KIV_ABI_COLLECTION;
    if (size == 0) return true;
    auto* array = static_cast<BindingAbiValue*>(AllocateZeroed(size, sizeof(BindingAbiValue)));
    out->payload.ref.pointer = array;
    out->payload.ref.count = static_cast<uint32_t>(size);
    bool is_default;
    for (size_t i = 0; i < size; ++i) {
      if (!Write(&array[i], type.vector_ops->at_const(native, i), *type.element, &is_default)) {
        return false;
      }
    }
    return true;
  }

  // Entries of a map as its iteration gives them, each with the length of its key (keys
  // may hold NUL bytes). Releases what it holds unless handed over.
  struct MapEntries {
    struct Item {
      std::string_view key;
      BindingAbiStructEntry entry;
    };
    std::vector<Item> items;
    ~MapEntries() {
      for (Item& item : items) {
        std::free(const_cast<char*>(item.entry.key));
        ReleaseAbiValue(&item.entry.value);
      }
    }
  };
  struct MapVisit {
    AbiWriter* writer;
    const KindData* element;
    MapEntries* entries;
    bool ok;
  };

  static bool VisitMapEntry(void* context, std::string_view key, const void* value) {
    auto* visit = static_cast<MapVisit*>(context);
    auto& item = visit->entries->items.emplace_back();
    item.entry.key = CopyText(key);
    item.entry.owned_key = 1;
    item.key = std::string_view(item.entry.key, key.size());
    bool is_default;
    visit->ok = visit->writer->Write(&item.entry.value, value, *visit->element, &is_default);
    return visit->ok;
  }

  bool WriteMap(BindingAbiValue* out, const void* native, const KindData& type) {
    MapEntries entries;
    MapVisit visit{this, type.element, &entries, true};
    type.map_ops->for_each(native, &visit, &VisitMapEntry);
    if (!visit.ok) return false;
    auto less = [](const MapEntries::Item& a, const MapEntries::Item& b) {
      return BindingKeyLess::Less(a.key, b.key);
    };
    // Ordered maps arrive sorted already; hashed ones need sorting.
    if (!std::is_sorted(entries.items.begin(), entries.items.end(), less)) {
      std::sort(entries.items.begin(), entries.items.end(), less);
    }
    out->tag = KIV_ABI_STRUCTURE;
    const size_t count = entries.items.size();
    if (count == 0) return true;
    auto* array = static_cast<BindingAbiStructEntry*>(
        AllocateZeroed(CheckedCount(count), sizeof(BindingAbiStructEntry)));
    for (size_t i = 0; i < count; ++i) array[i] = entries.items[i].entry;
    entries.items.clear();
    out->payload.ref.pointer = array;
    out->payload.ref.count = static_cast<uint32_t>(count);
    return true;
  }

  bool WriteRecord(BindingAbiValue* out, const void* native, const KindData& type) {
    const RecordDescriptor* record = registry_.FindRecord(type.type_hash);
    if (record == nullptr) return Fail(kUnregisteredNativeStructureMessage);
    const size_t count = record->fields.size();
    if (record->repeated_names || record->output_rank.size() != count) {
      return WriteThroughTree(out, native, type);
    }
    out->tag = KIV_ABI_STRUCTURE;
    if (count == 0) return true;
    auto* entries = static_cast<BindingAbiStructEntry*>(
        AllocateZeroed(CheckedCount(count), sizeof(BindingAbiStructEntry)));
    out->payload.ref.pointer = entries;
    out->payload.ref.count = static_cast<uint32_t>(count);
    // Fields convert in registration order, so the first failure is the tree's; each goes
    // to its place in key order. A field left out keeps a null key.
    for (size_t i = 0; i < count; ++i) {
      const FieldDescriptor& field = record->fields[i];
      BindingAbiStructEntry& entry = entries[record->output_rank[i]];
      bool is_default = false;
      if (!WriteField(&entry.value, static_cast<const char*>(native) + field.offset, field,
                      &is_default)) {
        return false;
      }
      if (is_default && field.omit_default()) {
        ReleaseAbiValue(&entry.value);
        continue;
      }
      entry.key = CopyText(field.name);
      entry.owned_key = 1;
    }
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (entries[i].key == nullptr) continue;
      if (kept != i) entries[kept] = entries[i];
      ++kept;
    }
    out->payload.ref.count = kept;
    if (kept == 0) {
      std::free(entries);
      out->payload.ref.pointer = nullptr;
    } else if (kept != count) {
      // The moved entries' old places stay beyond the count: clear them for tidiness.
      std::memset(static_cast<void*>(entries + kept), 0,
                  (count - kept) * sizeof(BindingAbiStructEntry));
    }
    return true;
  }

  bool WriteField(BindingAbiValue* out, const void* address, const FieldDescriptor& field,
                  bool* is_default) {
    if (field.converter != nullptr) {
      const void* held = nullptr;
      if (field.converter->HeldValue(address, &held)) {
        if (held == nullptr) {
          *is_default = true;  // absent: "empty"
          return true;
        }
        return Write(out, held, *field.type, is_default);
      }
      BindingResult result;
      BindingProperty value;
      field.converter->ToBinding(result, &value, address, *field.type, registry_);
      if (!result.ok()) return Fail(result.error());
      ToAbiValue(value, out, &registry_);
      *is_default = IsDefaultBindingValue(value);
      return true;
    }
    const auto kind = static_cast<uint32_t>(field.kind());
    if (kind < 1 || kind > 19 || field.kind() == BindingKind::kCallback) {
      return Fail(FormatPositional(kNoConverterMessage, field.name, kind));
    }
    return Write(out, address, *field.type, is_default);
  }

  // The general path, for records the direct one does not cover.
  bool WriteThroughTree(BindingAbiValue* out, const void* native, const KindData& type) {
    BindingResult result;
    BindingProperty value;
    NativeToBinding(result, &value, native, type, registry_);
    if (!result.ok()) return Fail(result.error());
    ToAbiValue(value, out, &registry_);
    return true;
  }

  const TypeRegistry& registry_;
  std::string* error_;
};

}  // namespace

bool NativeToAbiValue(BindingAbiValue* out, const void* native, const KindData& type,
                      const TypeRegistry& registry, std::string* error) {
  std::memset(out, 0, sizeof(*out));
  AbiWriter writer(registry, error);
  bool ok = false;
  bool is_default = false;
  try {
    ok = writer.Write(out, native, type, &is_default);
  } catch (const VectorTooLong&) {
    ReleaseAbiValue(out);
    throw;
  } catch (const std::exception& e) {
    ReleaseAbiValue(out);
    error->assign(e.what());
    return false;
  }
  if (!ok) ReleaseAbiValue(out);
  return ok;
}

}  // namespace Voro
