// Storage for an object that is built on first use and never destroyed, so that code
// running during static destruction can still use it. The object lives inside the
// library's own static storage, not on the heap: unloading the library takes it along
// instead of leaking a block per load.
#pragma once

#include <new>
#include <utility>

namespace Voro {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  ~NoDestructor() = default;  // T's destructor is never run

  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() { return get(); }
  T& operator*() { return *get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace Voro
