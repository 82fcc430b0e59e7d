#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace tavrel_mmp::platform {

// Holds the provider of one platform service. The default provider is made on first use;
// a host or a test may install its own, normally before `intSDK`. Providers are kept alive
// for the rest of the process (a replaced one may still be in use on another thread), and
// the slot itself is never destroyed (each is held in a NoDestructor), so no thread ever sees a
// provider torn down at exit.
template <class T>
class ProviderSlot {
 public:
  using Factory = std::shared_ptr<T> (*)();

  explicit ProviderSlot(Factory makeDefault) : makeDefault_(makeDefault) {}

  T& get() {
    T* current = current_.load(std::memory_order_acquire);
    if (current != nullptr) return *current;
    std::lock_guard<std::mutex> lock(mutex_);
    current = current_.load(std::memory_order_acquire);
    if (current == nullptr) {
      std::shared_ptr<T> made = makeDefault_();
      current = made.get();
      keepAlive_.push_back(std::move(made));
      current_.store(current, std::memory_order_release);
    }
    return *current;
  }

  void install(std::shared_ptr<T> provider) {
    if (!provider) return;
    std::lock_guard<std::mutex> lock(mutex_);
    T* raw = provider.get();
    keepAlive_.push_back(std::move(provider));
    current_.store(raw, std::memory_order_release);
  }

 private:
  Factory makeDefault_;
  std::atomic<T*> current_{nullptr};
  std::mutex mutex_;
  std::vector<std::shared_ptr<T>> keepAlive_;
};

}  // namespace tavrel_mmp::platform
