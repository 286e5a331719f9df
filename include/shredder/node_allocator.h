#pragma once

#include <cstddef>
#include <new>

// GCC names the address sanitizer with a macro, Clang as a feature.
#if defined(__SANITIZE_ADDRESS__)
#define SHREDDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SHREDDER_ADDRESS_SANITIZER 1
#endif
#endif

namespace shredder {

/// The allocator of `Object`'s members: one tree node per member, which the pipeline makes
/// and frees by the hundred thousand per batch (a parse makes every node, and freeing the
/// document frees them all). Freed nodes are kept, up to `kKeptNodes` per thread, for the
/// next ones to reuse, which costs a few instructions where malloc and free cost a hundred.
/// A node freed on another thread than the one that made it is kept by that other thread:
/// every node comes from the global operator new on its own, so any thread may keep or free
/// it, and a thread's kept nodes are freed when it ends.
template <class T>
class NodeAllocator {
 public:
  using value_type = T;

  /// At most this many nodes of one type are kept per thread (a few MB). None under the
  /// address sanitizer, which can then still tell a freed member from a live one.
#if defined(SHREDDER_ADDRESS_SANITIZER)
  static constexpr std::size_t kKeptNodes = 0;
#else
  static constexpr std::size_t kKeptNodes = std::size_t{1} << 15;
#endif

  NodeAllocator() noexcept = default;
  template <class U>
  NodeAllocator(const NodeAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    static_assert(sizeof(T) >= sizeof(void*) && alignof(T) >= alignof(void*),
                  "a kept node holds the link to the next one");
    if (n == 1) {
      Kept& kept = KeptNodes();
      if (kept.first != nullptr) {
        Free* node = kept.first;
        kept.first = node->next;
        --kept.count;
        return reinterpret_cast<T*>(node);
      }
    }
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }

  void deallocate(T* p, std::size_t n) noexcept {
    if (n == 1) {
      Kept& kept = KeptNodes();
      if (kept.count < kKeptNodes) {
        kept.first = ::new (static_cast<void*>(p)) Free{kept.first};
        ++kept.count;
        return;
      }
    }
    ::operator delete(p);
  }

  template <class U>
  bool operator==(const NodeAllocator<U>&) const noexcept {
    return true;
  }

 private:
  struct Free {
    Free* next;
  };

  struct Kept {
    Free* first = nullptr;
    std::size_t count = 0;
    ~Kept() {
      while (first != nullptr) {
        Free* next = first->next;
        ::operator delete(static_cast<void*>(first));
        first = next;
      }
    }
  };

  static Kept& KeptNodes() noexcept {
    thread_local Kept kept;
    return kept;
  }
};

}  // namespace shredder
