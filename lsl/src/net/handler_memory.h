// A block of memory for the one asynchronous operation of a kind that is
// in flight at a time (a connection's write, its read, the outlet's
// wake-up), so that steady-state I/O allocates nothing from the heap.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

namespace maroquint::lsl::net {

class HandlerMemory {
 public:
  HandlerMemory() = default;
  HandlerMemory(const HandlerMemory &) = delete;
  HandlerMemory &operator=(const HandlerMemory &) = delete;

  void *allocate(std::size_t size) {
    if (size <= sizeof(storage_) && !in_use_.exchange(true, std::memory_order_acquire))
      return &storage_;
    return ::operator new(size);
  }
  void deallocate(void *p) {
    if (p == &storage_)
      in_use_.store(false, std::memory_order_release);
    else
      ::operator delete(p);
  }

  template <typename T>
  class Allocator {
   public:
    using value_type = T;
    explicit Allocator(HandlerMemory &memory) noexcept : memory_(&memory) {}
    template <typename U>
    Allocator(const Allocator<U> &other) noexcept : memory_(other.memory_) {}
    T *allocate(std::size_t n) { return static_cast<T *>(memory_->allocate(sizeof(T) * n)); }
    void deallocate(T *p, std::size_t) { memory_->deallocate(p); }
    bool operator==(const Allocator &other) const noexcept { return memory_ == other.memory_; }
    bool operator!=(const Allocator &other) const noexcept { return memory_ != other.memory_; }

   private:
    template <typename>
    friend class Allocator;
    HandlerMemory *memory_;
  };

  template <typename T>
  Allocator<T> MakeAllocator() {
    return Allocator<T>(*this);
  }

 private:
  alignas(std::max_align_t) unsigned char storage_[512];
  std::atomic<bool> in_use_{false};
};

}  // namespace maroquint::lsl::net
