// A LIFO work list for walking trees without recursion: a few items live inline, deeper
// or wider walks spill to the heap.
#pragma once

#include <cstddef>
#include <vector>

namespace Voro {

template <typename T, size_t kInline = 32>
class WorkStack {
 public:
  bool empty() const { return size_ == 0; }
  void push(const T& item) {
    if (size_ < kInline) {
      inline_[size_] = item;
    } else {
      spill_.push_back(item);
    }
    ++size_;
  }
  // REQUIRES: !empty().
  T pop() {
    --size_;
    if (size_ < kInline) return inline_[size_];
    T item = spill_.back();
    spill_.pop_back();
    return item;
  }
  // REQUIRES: !empty().
  T& top() { return size_ <= kInline ? inline_[size_ - 1] : spill_.back(); }
  size_t size() const { return size_; }

 private:
  T inline_[kInline];
  std::vector<T> spill_;
  size_t size_ = 0;
};

}  // namespace Voro
