// How a native C++ type is stored, as the converters see it: its kind, the type hash of a
// record or enumeration, the element kind of a vector or map and the type-erased
// operations on the container. KindDataOf<T>() deduces all of it from T:
//
//   bool                                   bool
//   8/16/32/64-bit integers                int8 ... uint64 by size and signedness
//   float, double                          float, double
//   std::string                            string
//   BindingProperty                        object
//   std::vector<uint8_t>                   blob
//   std::vector<U>                         vector of U   (not std::vector<bool>)
//   std::map / std::unordered_map          map of U      (keys std::string)
//     <std::string, U>
//   an enumeration                         enum (hash of T, sizeof(T) bytes)
//   any other class                        struct (hash of T; must be registered)
//
// The records are static and immutable; references stay valid for the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "binding/value/binding_kind.h"
#include "binding/value/binding_property.h"
#include "binding/types/static_type.h"

namespace Voro {

// Operations on a std::vector of some element type, through untyped addresses.
struct VectorOps {
  size_t (*size)(const void* vector);
  // Clears the vector, then resizes it to n default elements.
  void (*assign_default)(void* vector, size_t n);
  void* (*at)(void* vector, size_t index);
  const void* (*at_const)(const void* vector, size_t index);
};

// Operations on a map from std::string keys.
struct MapOps {
  void (*clear)(void* map);
  // The value under `key`, inserted default-constructed when missing.
  void* (*slot)(void* map, std::string_view key);
  // Calls visit(context, key, value address) for every entry; stops when it returns false.
  void (*for_each)(const void* map, void* context,
                   bool (*visit)(void* context, std::string_view key, const void* value));
};

struct KindData {
  BindingKind kind = BindingKind::kNone;
  uint32_t size = 0;                  // sizeof the native type
  uint32_t type_hash = 0;             // records and enumerations
  const KindData* element = nullptr;  // vector element or map value
  const VectorOps* vector_ops = nullptr;
  const MapOps* map_ops = nullptr;
};

namespace internal {

template <typename T>
struct IsStdVector : std::false_type {};
template <typename U, typename A>
struct IsStdVector<std::vector<U, A>> : std::true_type {};

template <typename T>
struct IsStringMap : std::false_type {};
template <typename U, typename C, typename A>
struct IsStringMap<std::map<std::string, U, C, A>> : std::true_type {};
template <typename U, typename H, typename E, typename A>
struct IsStringMap<std::unordered_map<std::string, U, H, E, A>> : std::true_type {};

template <typename T>
constexpr BindingKind IntegerKind() {
  constexpr bool s = std::is_signed_v<T>;
  switch (sizeof(T)) {
    case 1:
      return s ? BindingKind::kInt8 : BindingKind::kUint8;
    case 2:
      return s ? BindingKind::kInt16 : BindingKind::kUint16;
    case 4:
      return s ? BindingKind::kInt32 : BindingKind::kUint32;
    default:
      return s ? BindingKind::kInt64 : BindingKind::kUint64;
  }
}

template <typename V>
inline constexpr VectorOps kVectorOps = {
    [](const void* v) { return static_cast<const V*>(v)->size(); },
    [](void* v, size_t n) {
      auto* vector = static_cast<V*>(v);
      vector->clear();
      vector->resize(n);
    },
    [](void* v, size_t i) -> void* { return &(*static_cast<V*>(v))[i]; },
    [](const void* v, size_t i) -> const void* { return &(*static_cast<const V*>(v))[i]; },
};

template <typename M>
inline constexpr MapOps kMapOps = {
    [](void* m) { static_cast<M*>(m)->clear(); },
    [](void* m, std::string_view key) -> void* { return &(*static_cast<M*>(m))[std::string(key)]; },
    [](const void* m, void* context,
       bool (*visit)(void* context, std::string_view key, const void* value)) {
      for (const auto& [key, value] : *static_cast<const M*>(m)) {
        if (!visit(context, key, &value)) return;
      }
    },
};

template <typename T>
struct IsStdOptional : std::false_type {};
template <typename U>
struct IsStdOptional<std::optional<U>> : std::true_type {};

template <typename T>
struct AlwaysFalse : std::false_type {};

}  // namespace internal

template <typename T>
const KindData& KindDataOf();

namespace internal {

template <typename T>
KindData MakeKindData() {
  KindData data;
  data.size = static_cast<uint32_t>(sizeof(T));
  if constexpr (std::is_same_v<T, bool>) {
    data.kind = BindingKind::kBool;
  } else if constexpr (std::is_integral_v<T>) {
    static_assert(sizeof(T) <= 8);
    data.kind = IntegerKind<T>();
  } else if constexpr (std::is_same_v<T, float>) {
    data.kind = BindingKind::kFloat;
  } else if constexpr (std::is_same_v<T, double>) {
    data.kind = BindingKind::kDouble;
  } else if constexpr (std::is_same_v<T, std::string>) {
    data.kind = BindingKind::kString;
  } else if constexpr (std::is_same_v<T, BindingProperty>) {
    data.kind = BindingKind::kObject;
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    data.kind = BindingKind::kBlob;
  } else if constexpr (IsStdVector<T>::value) {
    static_assert(!std::is_same_v<typename T::value_type, bool>,
                  "std::vector<bool> has no addressable elements");
    data.kind = BindingKind::kVector;
    data.element = &KindDataOf<typename T::value_type>();
    data.vector_ops = &kVectorOps<T>;
  } else if constexpr (IsStringMap<T>::value) {
    data.kind = BindingKind::kMap;
    data.element = &KindDataOf<typename T::mapped_type>();
    data.map_ops = &kMapOps<T>;
  } else if constexpr (IsStdOptional<T>::value) {
    static_assert(AlwaysFalse<T>::value,
                  "optional values need OptionalConverter (record_builder.h)");
  } else if constexpr (std::is_enum_v<T>) {
    static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
    data.kind = BindingKind::kEnum;
    data.type_hash = StaticType::HashCode<T>().hash;
  } else if constexpr (std::is_class_v<T>) {
    data.kind = BindingKind::kStruct;
    data.type_hash = StaticType::HashCode<T>().hash;
  } else {
    static_assert(AlwaysFalse<T>::value, "no binding kind for this type");
  }
  return data;
}

}  // namespace internal

// The kind data of T (cv-qualifiers ignored). Thread-safe; built once.
template <typename T>
const KindData& KindDataOf() {
  using U = std::remove_cv_t<T>;
  if constexpr (!std::is_same_v<U, T>) {
    return KindDataOf<U>();
  } else {
    static const KindData data = internal::MakeKindData<T>();
    return data;
  }
}

}  // namespace Voro
