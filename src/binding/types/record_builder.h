// Declaring native records and enumerations once, next to their definitions:
//
//   registry.Record<LoginQueue>({"Voro", "Client", "Api"}, "LoginQueue")
//       .Description("Position in the login queue.")
//       .Field("estimatedPositionInQueue", &LoginQueue::estimatedPositionInQueue)
//       .Field("isPositionCapped", &LoginQueue::isPositionCapped)
//       .Field("approximateWaitTimeSeconds", &LoginQueue::approximateWaitTimeSeconds);
//
//   registry.Enum<LoginSessionStates>({"Voro", "Client", "Api"}, "LoginSessionStates")
//       .Value("IN_PROGRESS", LoginSessionStates::IN_PROGRESS);
//
// Field() deduces the offset and the kind from the member pointer. A std::optional<U>
// member gets U's kind, an OptionalConverter and kFieldOmitDefault, so an absent value is
// left out of the output (and, as with every omit-default field, so is a default U).
//
// A builder owns the descriptor until Commit() or its destruction, when the registry takes
// it in one step: a chained declaration is registered at the end of its statement. After
// Commit() only destruction is allowed. Builders are used by one thread.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/types/native_conversion.h"
#include "binding/types/native_kind.h"
#include "binding/types/static_type.h"
#include "binding/types/type_descriptor.h"
#include "binding/types/type_registry.h"
#include "diag/format_positional.h"

namespace Voro {

// Converts a std::optional<U> field: absent is "empty"; a non-empty input engages it.
template <typename U>
class OptionalConverter final : public FieldConverter {
 public:
  static const OptionalConverter& Instance() {
    static const OptionalConverter instance;
    return instance;
  }

  void FromBinding(BindingResult& result, void* native, const BindingProperty& input,
                   std::string_view name, const KindData& type, const TypeRegistry& registry,
                   const ConversionOptions& options) const override {
    if (!result.ok()) return;
    auto& value = *static_cast<std::optional<U>*>(native);
    if (input.type() == BindingType::kEmpty) {
      // Left out: absent, unless a top-level argument had to be given.
      if (options.top_level) result.MakeError(FormatPositional(kValueRequiredMessage, name));
      return;
    }
    if (!value.has_value()) value.emplace();
    BindingToNative(result, &*value, input, name, type, registry, options);
  }

  void ToBinding(BindingResult& result, BindingProperty* out, const void* native,
                 const KindData& type, const TypeRegistry& registry) const override {
    const auto& value = *static_cast<const std::optional<U>*>(native);
    if (value.has_value()) NativeToBinding(result, out, &*value, type, registry);
  }

  [[nodiscard]] bool HeldValue(const void* native, const void** held) const override {
    const auto& value = *static_cast<const std::optional<U>*>(native);
    *held = value.has_value() ? &*value : nullptr;
    return true;
  }
};

namespace internal {

template <typename T>
struct OptionalTraits {
  static constexpr bool kIsOptional = false;
  using Value = T;
};
template <typename U>
struct OptionalTraits<std::optional<U>> {
  static constexpr bool kIsOptional = true;
  using Value = U;
};

// Raw storage shaped like T, shared by all members of T.
template <typename T>
struct OffsetProbe {
  alignas(T) static inline const unsigned char storage[sizeof(T)] = {};
};

// The offset of a data member, from the member pointer. Only an address is formed inside
// raw storage; nothing is read or constructed (offsetof is not for non-standard layouts).
template <typename T, typename M>
size_t MemberOffset(M T::*member) {
  const unsigned char* storage = OffsetProbe<T>::storage;
  const auto* object = reinterpret_cast<const T*>(storage);
  return static_cast<size_t>(reinterpret_cast<const unsigned char*>(&(object->*member)) - storage);
}

}  // namespace internal

// What record and enumeration builders share: the descriptor under construction, its
// description and tags, and handing it to the registry once (on Commit or destruction).
template <typename Derived, typename Descriptor>
class TypeBuilderBase {
 public:
  TypeBuilderBase(const TypeBuilderBase&) = delete;
  TypeBuilderBase& operator=(const TypeBuilderBase&) = delete;
  TypeBuilderBase(TypeBuilderBase&&) noexcept = default;
  ~TypeBuilderBase() { Commit(); }

  Derived& Description(std::string text) {
    descriptor_->description = std::move(text);
    return static_cast<Derived&>(*this);
  }
  Derived& Tag(std::string tag) {
    descriptor_->tags.push_back(std::move(tag));
    return static_cast<Derived&>(*this);
  }

  // Hands the descriptor to the registry; later calls do nothing. A refused duplicate is
  // logged by the registry, which keeps the type registered first.
  void Commit() {
    if (descriptor_ != nullptr) (void)registry_->Insert(std::move(descriptor_));
  }

 protected:
  TypeBuilderBase(TypeRegistry* registry, BindingKind kind, uint32_t type_hash,
                  std::vector<std::string> name_space, std::string name, uint32_t size)
      : registry_(registry), descriptor_(std::make_unique<Descriptor>()) {
    descriptor_->kind = kind;
    descriptor_->type_hash = type_hash;
    descriptor_->name = std::move(name);
    descriptor_->name_space = std::move(name_space);
    descriptor_->size = size;
  }

  TypeRegistry* registry_;
  std::unique_ptr<Descriptor> descriptor_;
};

template <typename T>
class RecordBuilder : public TypeBuilderBase<RecordBuilder<T>, RecordDescriptor> {
  using Base = TypeBuilderBase<RecordBuilder<T>, RecordDescriptor>;
  using Base::descriptor_;

 public:
  RecordBuilder(TypeRegistry* registry, std::vector<std::string> name_space, std::string name)
      : Base(registry, BindingKind::kStruct, StaticType::HashCode<T>().hash, std::move(name_space),
             std::move(name), static_cast<uint32_t>(sizeof(T))) {}

  // The field `member` of T under `name`, converted in the order of these calls.
  template <typename M>
  RecordBuilder& Field(std::string name, M T::*member, std::string description = {},
                       uint32_t flags = 0) {
    using Traits = internal::OptionalTraits<M>;
    const FieldConverter* converter = nullptr;
    if constexpr (Traits::kIsOptional) {
      converter = &OptionalConverter<typename Traits::Value>::Instance();
      flags |= kFieldOmitDefault;
    }
    return AddField(std::move(name), std::move(description), internal::MemberOffset(member),
                    &KindDataOf<typename Traits::Value>(), flags, converter);
  }

  // A field described by hand: a callback, or a member Field() cannot point to.
  // REQUIRES: type is static; converter (if any) outlives the registry; a kind outside
  // 1..19 or "callback" needs a converter.
  RecordBuilder& AddField(std::string name, std::string description, size_t offset,
                          const KindData* type, uint32_t flags,
                          const FieldConverter* converter = nullptr) {
    FieldDescriptor field;
    field.name_hash = Fnv1a(name);
    field.name = std::move(name);
    field.description = std::move(description);
    field.offset = offset;
    field.type = type;
    field.flags = flags;
    field.converter = converter;
    descriptor_->fields.push_back(std::move(field));
    return *this;
  }
};

template <typename E>
class EnumBuilder : public TypeBuilderBase<EnumBuilder<E>, EnumDescriptor> {
  static_assert(std::is_enum_v<E>);
  using Base = TypeBuilderBase<EnumBuilder<E>, EnumDescriptor>;
  using Base::descriptor_;

 public:
  EnumBuilder(TypeRegistry* registry, std::vector<std::string> name_space, std::string name)
      : Base(registry, BindingKind::kEnum, StaticType::HashCode<E>().hash, std::move(name_space),
             std::move(name), static_cast<uint32_t>(sizeof(E))) {}

  // A value; a second value of the same name replaces the first.
  // REQUIRES: the number fits 32 bits (the binding form of an enumeration).
  EnumBuilder& Value(std::string name, E value, std::string description = {}) {
    EnumValueDescriptor entry;
    entry.value = static_cast<int32_t>(static_cast<int64_t>(value));
    entry.name = name;
    entry.description = std::move(description);
    descriptor_->values.insert_or_assign(std::move(name), std::move(entry));
    return *this;
  }
};

template <typename T>
RecordBuilder<T> TypeRegistry::Record(std::vector<std::string> name_space, std::string name) {
  return RecordBuilder<T>(this, std::move(name_space), std::move(name));
}

template <typename T>
EnumBuilder<T> TypeRegistry::Enum(std::vector<std::string> name_space, std::string name) {
  return EnumBuilder<T>(this, std::move(name_space), std::move(name));
}

}  // namespace Voro
