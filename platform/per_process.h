#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/fork_generation.h"

namespace tavrel_mmp::platform {

// State that belongs to one process: its threads and the flags standing for them, its locks,
// its connections, handles and descriptors, and the work it has in flight. A child forked
// without exec copies the parent's memory but none of its other threads, so the copy is unsound
// there: a "running" flag whose thread does not exist, a mutex a vanished thread holds, a
// connection or handle shared with the parent, work the parent will finish. The holder makes the
// object on first use in each process; a forked child leaves the copy it inherited alone (never
// used through its threads, connections or handles, and never destroyed, which could close the
// parent's files) and makes its own on first use.
//
// Declared like NoDestructor (a function-local static, or a member of an object that lives for
// the process) and, like it, never destroyed.
template <class T>
class PerProcess {
 public:
  // Makes this process's object. `inherited` is the object of the process it was forked from
  // (null in the process that makes the first one): values may be copied from it, but only under
  // a try_lock of its mutexes, since a thread gone with the fork may hold them. It must not call
  // `get` of the same holder.
  using Make = std::function<std::shared_ptr<T>(T* inherited)>;

  PerProcess() : make_([](T*) { return std::make_shared<T>(); }) {}
  explicit PerProcess(Make make) : make_(std::move(make)) {}
  // Values that stay true in a child (a text, a host's callback): each object is made fresh, and
  // a forked child's takes what `copy` reads from the inherited one while its `mutex` is free
  // (when a thread gone with the fork holds it, nothing is copied).
  PerProcess(std::mutex T::*mutex, std::function<void(T& made, const T& inherited)> copy)
      : make_([mutex, copy = std::move(copy)](T* inherited) {
          auto made = std::make_shared<T>();
          if (inherited != nullptr && (inherited->*mutex).try_lock()) {
            copy(*made, *inherited);
            (inherited->*mutex).unlock();
          }
          return made;
        }) {}
  PerProcess(const PerProcess&) = delete;
  PerProcess& operator=(const PerProcess&) = delete;

  T& get() { return *current().object; }
  // For a holder that ends before the process (a provider a host replaces): lets go of this
  // process's object, which ends once the last `share()` of it does. Objects inherited from a
  // parent process stay as they are, never destroyed.
  void letGo() {
    Made* made = made_.load(std::memory_order_acquire);
    if (made == nullptr || made->generation != forkGeneration()) return;
    made_.store(made->inherited, std::memory_order_release);
    delete made;
  }
  // For work that must keep the object alive on a thread of its own.
  std::shared_ptr<T> share() { return current().object; }

 private:
  struct Made {
    std::uint64_t generation;
    std::shared_ptr<T> object;
    Made* inherited;  // kept reachable, never destroyed
  };

  Made& current() {
    const std::uint64_t generation = forkGeneration();
    Made* made = made_.load(std::memory_order_acquire);
    if (made != nullptr && made->generation == generation) return *made;
    return makeFor(generation);
  }

  Made& makeFor(std::uint64_t generation) {
    // Taken by whoever makes the object, tagged with its process's generation: a tag of another
    // generation was left by a thread of an earlier process, which does not exist here.
    const std::uint64_t tag = generation + 1;
    for (int round = 0;; ++round) {
      std::uint64_t seen = making_.load();
      if (seen != tag) {
        if (making_.compare_exchange_weak(seen, tag)) break;
        continue;
      }
      if (round < 64) {
        std::this_thread::yield();
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    struct Release {
      std::atomic<std::uint64_t>& making;
      ~Release() { making.store(0); }
    } release{making_};
    Made* made = made_.load(std::memory_order_acquire);
    if (made == nullptr || made->generation != generation) {
      made = new Made{generation, make_(made != nullptr ? made->object.get() : nullptr), made};
      made_.store(made, std::memory_order_release);
    }
    return *made;
  }

  const Make make_;
  std::atomic<Made*> made_{nullptr};
  std::atomic<std::uint64_t> making_{0};
};

}  // namespace tavrel_mmp::platform
