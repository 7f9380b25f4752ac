#include "core/shared_mutex.hpp"

#include <array>

namespace brisquel {
namespace {

// A handful at most (one per pool), made once and never destroyed.
constexpr std::size_t kMaxShared = 16;
std::array<std::atomic<const SharedMutex*>, kMaxShared> g_listed{};
std::atomic<std::size_t> g_count{0};

}  // namespace

SharedMutex::SharedMutex(const char* name) : name_(name) {
  const std::size_t at = g_count.fetch_add(1, std::memory_order_relaxed);
  if (at < kMaxShared) g_listed[at].store(this, std::memory_order_release);
}

std::vector<SharedMutexCount> shared_mutex_counts() {
  std::vector<SharedMutexCount> out;
  for (const auto& slot : g_listed) {
    if (const SharedMutex* m = slot.load(std::memory_order_acquire)) out.push_back({m->name(), m->taken(), m->waited()});
  }
  return out;
}

}  // namespace brisquel
