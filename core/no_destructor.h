#pragma once

#include <new>
#include <utility>

namespace tavrel_mmp {

// An object made once and never destroyed. Library state that other threads may still use while
// the process exits must outlive every static destructor; declared as a function-local static,
// it is also made on first use, exactly once, whichever thread comes first.
template <class T>
class NoDestructor {
 public:
  template <class... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace tavrel_mmp
