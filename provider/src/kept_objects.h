// Objects that are costly to make and serve one call at a time (hash
// handles, curve contexts), kept between calls and shared by the threads:
// a call takes one, or a fresh one when none is free, and gives it back when
// done. The provider keeps no thread-local storage: it is loaded at run
// time, where that would be dynamic TLS (see platform::CurrentThreadId).
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace kestrel_provider {

template <typename T, std::size_t MaxKept = 16> class KeptObjects {
public:
  class Lease {
  public:
    Lease(KeptObjects &owner, std::unique_ptr<T> object)
        : owner_(owner), object_(std::move(object)) {}
    ~Lease() { owner_.GiveBack(std::move(object_)); }
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;
    T &operator*() const { return *object_; }
    T *operator->() const { return object_.get(); }

  private:
    KeptObjects &owner_;
    std::unique_ptr<T> object_;
  };

  KeptObjects() { free_.reserve(MaxKept); }

  Lease Take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        std::unique_ptr<T> object = std::move(free_.back());
        free_.pop_back();
        return Lease(*this, std::move(object));
      }
    }
    return Lease(*this, std::make_unique<T>());
  }

private:
  void GiveBack(std::unique_ptr<T> object) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.size() < MaxKept) {
      try {
        free_.push_back(std::move(object));
      } catch (...) {
        // Not kept: it goes with `object`.
      }
    }
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<T>> free_;
};

} // namespace kestrel_provider
