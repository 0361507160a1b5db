// A page block mapper over the C heap that counts blocks, for allocator tests, and a fixture
// that stacks a page source, an allocator and a string table on it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "binding/value/page_source.h"
#include "binding/value/small_object_allocator.h"
#include "binding/value/string_intern_table.h"

namespace Voro {

class FakePageBlockMapper final : public PageBlockMapper {
 public:
  ~FakePageBlockMapper() override {
    for (void* block : live_) std::free(block);
  }
  void* MapBlock() override {
    if (fail_next_) {
      fail_next_ = false;
      return nullptr;
    }
    void* block = std::aligned_alloc(kBlockSize, kBlockSize);
    live_.insert(block);
    ++mapped_;
    return block;
  }
  void UnmapBlock(void* block) override {
    live_.erase(block);
    std::free(block);
  }

  void FailNext() { fail_next_ = true; }
  size_t live() const { return live_.size(); }
  size_t mapped() const { return mapped_; }
  size_t unmapped() const { return mapped_ - live_.size(); }

 private:
  std::set<void*> live_;
  size_t mapped_ = 0;
  bool fail_next_ = false;
};

class FakePagesTest : public ::testing::Test {
 protected:
  FakePageBlockMapper mapper_;
  PageSource pages_{&mapper_};
  SmallObjectAllocator allocator_{&pages_};
  StringInternTable table_{&allocator_};  // takes nothing until the first text
};

}  // namespace Voro
