// Host records (BindingAbiValue trees) into value trees and back.
//
// Input bytes describe a host record in prefix form, one value at a time:
//   tag byte t: t < 0xF0 gives tag t % 12 (11 is invalid); t >= 0xF0 reads a 4-byte tag
//   1 bool: 1 byte     2, 3, 4: 8 payload bytes
//   5, 6 string / 7, 8 blob: length byte, then that many bytes
//   9 collection: count byte, then the elements
//   10 structure: count byte, then per entry a key (length byte and bytes; 0xFF is a null
//      key) and the value
// Missing bytes read as zero. Records nest at most 1500 levels here, so the depth limit of
// the conversion is reached without overflowing this builder's own recursion.
//
// Checks: a conversion either succeeds or reports a message with its flag set; a converted
// tree goes back to a host record and converts again to an equal tree; every record the
// plugin built is released.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "binding/value/binding_abi.h"

namespace {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool AtEnd() const { return pos_ >= size_; }
  void Bytes(void* out, size_t n) {
    auto* bytes = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < n; ++i) bytes[i] = Byte();
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Owns every array and text of the host record being built.
class HostArena {
 public:
  char* Text(Reader& in, size_t length) {
    texts_.emplace_back(length + 1, '\0');
    in.Bytes(texts_.back().data(), length);
    return texts_.back().data();
  }
  BindingAbiValue* Values(size_t n) {
    values_.emplace_back(n);
    return values_.back().data();
  }
  BindingAbiStructEntry* Entries(size_t n) {
    entries_.emplace_back(n);
    return entries_.back().data();
  }

 private:
  std::deque<std::vector<char>> texts_;
  std::deque<std::vector<BindingAbiValue>> values_;
  std::deque<std::vector<BindingAbiStructEntry>> entries_;
};

constexpr int kMaxBuildDepth = 1500;

BindingAbiValue Build(Reader& in, HostArena& arena, int depth) {
  BindingAbiValue v = {};
  if (in.AtEnd() || depth > kMaxBuildDepth) return v;
  const uint8_t t = in.Byte();
  if (t >= 0xF0) {
    in.Bytes(&v.tag, 4);
  } else {
    v.tag = t % 12;
  }
  switch (v.tag) {
    case KIV_ABI_BOOL:
      v.payload.boolean = in.Byte();
      break;
    case KIV_ABI_SIGNED:
    case KIV_ABI_UNSIGNED:
    case KIV_ABI_DOUBLE:
      in.Bytes(&v.payload.u64, 8);
      break;
    case KIV_ABI_STRING_BORROWED:
    case KIV_ABI_STRING_OWNED:
    case KIV_ABI_BLOB_BORROWED:
    case KIV_ABI_BLOB_OWNED: {
      const size_t length = in.Byte();
      v.payload.ref.pointer = arena.Text(in, length);
      v.payload.ref.count = static_cast<uint32_t>(length);
      break;
    }
    case KIV_ABI_COLLECTION: {
      const size_t count = in.Byte();
      BindingAbiValue* values = arena.Values(count);
      for (size_t i = 0; i < count; ++i) values[i] = Build(in, arena, depth + 1);
      v.payload.ref.pointer = values;
      v.payload.ref.count = static_cast<uint32_t>(count);
      break;
    }
    case KIV_ABI_STRUCTURE: {
      const size_t count = in.Byte();
      BindingAbiStructEntry* entries = arena.Entries(count);
      for (size_t i = 0; i < count; ++i) {
        const uint8_t length = in.Byte();
        entries[i].key = length == 0xFF ? nullptr : arena.Text(in, length);
        entries[i].value = Build(in, arena, depth + 1);
      }
      v.payload.ref.pointer = entries;
      v.payload.ref.count = static_cast<uint32_t>(count);
      break;
    }
    default:
      break;
  }
  return v;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_binding_abi: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  HostArena arena;
  const BindingAbiValue host = Build(in, arena, 0);

  Voro::BindingProperty value;
  Voro::BindingAbiError error = {};
  const bool ok = Voro::FromAbiValue(host, "<fuzz>", &value, &error);
  if (!ok) {
    if (error.failed != 1 || error.message == nullptr) Fail("failure without a message");
    Voro::ReleaseAbiError(&error);
    return 0;
  }
  if (error.failed != 0 || error.message != nullptr) Fail("success with a message");

  BindingAbiValue back;
  Voro::ToAbiValue(value, &back);
  Voro::BindingProperty again;
  if (!Voro::FromAbiValue(back, "<fuzz>", &again, &error)) Fail("own record did not convert");
  Voro::ReleaseAbiValue(&back);
  // Floats with NaN payloads are the one thing that does not compare equal to itself.
  const Voro::BindingProperty copy(value);
  if (copy == value && !(again == value)) Fail("round trip changed the tree");
  (void)value.ToString();
  (void)value.size();
  return 0;
}
