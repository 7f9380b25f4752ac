// The mutexes that decoding threads share (pools of memory kept between
// batches). Each counts how often it was taken and how often a thread found
// it held and had to wait: the way to see, without a profiler, that threads
// decoding side by side do not take turns. The counts sit on the mutex's own
// cache line, which a taker writes anyway.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace brisquel {

class SharedMutex {
 public:
  // `name` lives as long as the process (a literal); the mutex is listed in
  // shared_mutex_counts() from then on and must not be destroyed.
  explicit SharedMutex(const char* name);
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() {
    if (!mutex_.try_lock()) {
      waited_.fetch_add(1, std::memory_order_relaxed);
      mutex_.lock();
    }
    taken_.fetch_add(1, std::memory_order_relaxed);
  }
  void unlock() { mutex_.unlock(); }

  const char* name() const { return name_; }
  std::uint64_t taken() const { return taken_.load(std::memory_order_relaxed); }
  std::uint64_t waited() const { return waited_.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex_;
  std::atomic<std::uint64_t> taken_{0};
  std::atomic<std::uint64_t> waited_{0};
  const char* name_;
};

struct SharedMutexCount {
  const char* name;
  std::uint64_t taken;
  std::uint64_t waited;
};

// Every shared mutex made so far, with its counts.
std::vector<SharedMutexCount> shared_mutex_counts();

}  // namespace brisquel
