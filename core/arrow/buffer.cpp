#include "core/arrow/buffer.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <sys/mman.h>

#include "core/shared_mutex.hpp"

namespace brisquel::arrow {

namespace {

alignas(kBufferAlignment) const std::uint8_t kEmpty[kBufferAlignment] = {};

std::size_t round_up(std::size_t n) { return (n + kBufferAlignment - 1) & ~(kBufferAlignment - 1); }

constexpr std::size_t kMapFrom = std::size_t{1} << 14;
constexpr std::size_t kPage = 4096;

// Past kMapFrom a buffer moves to a region of its own: kRegion bytes of address
// space, reserved but not backed, so it grows in place without a copy. Only the
// pages it touches take memory, and only the part it may write is writable: a
// system that counts writable private memory against a limit (strict
// overcommit) would otherwise count every region whole. Released regions are
// kept for the next buffers: a fresh page costs a fault on first touch (over a
// microsecond on a virtual machine), and a stream of batches would otherwise
// fault on every page of every column. The pages kept that way are bounded. The
// threshold is low because the heap is no such store: a thread's heap gives its
// free pages back to the system, so a decoder called from short-lived threads
// would fault its columns in afresh on every call.
constexpr std::size_t kRegion = std::size_t{256} << 20;

// Past its first kSmallHead bytes a region asks for huge pages: a buffer that
// large takes one fault per 2 MiB instead of one per 4 KiB page, and on a
// virtual machine whose page tables are shadowed a 4 KiB fault costs about
// as much as filling the page ten times over. The head keeps small pages, so
// the many buffers that stay small hold no more memory than they use; past
// it a buffer holds at most one huge page it has not filled, under half of
// what it holds.
constexpr std::size_t kHuge = std::size_t{2} << 20;
constexpr std::size_t kSmallHead = std::size_t{4} << 20;

// The memory a region holds once its first `touched` bytes were written.
std::size_t resident_bytes(std::size_t touched) {
  if (touched <= kSmallHead) return touched;
  return kSmallHead + ((touched - kSmallHead + kHuge - 1) & ~(kHuge - 1));
}

std::size_t page_round(std::size_t n) { return (n + kPage - 1) & ~(kPage - 1); }

// Makes bytes [from, to) of a region writable (both page multiples); false
// when the system refuses, as it may under strict overcommit.
bool open_pages(void* region, std::size_t from, std::size_t to) {
  return to <= from || ::mprotect(static_cast<std::uint8_t*>(region) + from, to - from, PROT_READ | PROT_WRITE) == 0;
}

// A reserved region (nothing writable yet) whose bytes past kSmallHead start
// on a huge page boundary, or nullptr.
void* map_region() {
  const std::size_t span = kRegion + kHuge;
  void* p = ::mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t start = ((at + kSmallHead + kHuge - 1) & ~(kHuge - 1)) - kSmallHead;
  if (start > at) ::munmap(p, start - at);
  if (const std::uintptr_t tail = at + span - (start + kRegion); tail > 0) {
    ::munmap(reinterpret_cast<void*>(start + kRegion), tail);
  }
  auto* region = reinterpret_cast<std::uint8_t*>(start);
  // Only advice: without transparent huge pages the region works as before.
  ::madvise(region + kSmallHead, kRegion - kSmallHead, MADV_HUGEPAGE);
  return region;
}

class RegionPool {
 public:
  // Made once and never destroyed: buffers are released until the process
  // ends, by a daemon thread still decoding while static objects are torn
  // down, or by a consumer that frees an exported array late.
  static RegionPool& instance() {
    static RegionPool* const pool = new RegionPool;
    return *pool;
  }

  // A kept region with more than `have` bytes in memory and how many, or
  // {nullptr, 0}: the one that holds `want` bytes with the fewest to spare,
  // else the one that holds the most. Best fit keeps the fullest regions for
  // the buffers that grow largest, whatever order buffers reach the pool in.
  std::pair<void*, std::size_t> take_kept(std::size_t want, std::size_t have) {
    std::lock_guard lock(mutex_);
    auto best = regions_.end();
    for (auto it = regions_.begin(); it != regions_.end(); ++it) {
      if (it->second <= have) continue;
      const bool fits = it->second >= want;
      if (best == regions_.end()) best = it;
      else if (fits ? best->second < want || it->second < best->second : best->second < want && it->second > best->second) {
        best = it;
      }
    }
    if (best == regions_.end()) return {nullptr, 0};
    const auto kept = *best;
    regions_.erase(best);
    resident_ -= kept.second;
    return kept;
  }

  // A region for a buffer about to hold `want` bytes, and how many of its
  // first bytes are in memory already (their pages are writable, the rest not).
  std::pair<void*, std::size_t> take(std::size_t want) {
    if (const auto kept = take_kept(want, 0); kept.first != nullptr) return kept;
    return {map_region(), 0};
  }

  // A region (or anything mapped) given back, of which the first `touched`
  // bytes were written and the first `writable` may be. Whole regions are
  // kept while the pages they hold stay under a bound; past it the longest
  // unused ones go first, since what a process decodes now is what it will
  // decode next.
  void give(void* p, std::size_t size, std::size_t touched, std::size_t writable) {
    if (size != kRegion || (touched = resident_bytes(touched)) > kMaxResident) {
      ::munmap(p, size);
      return;
    }
    // The next user writes all the pages counted in memory: past the small
    // head they are counted by whole huge pages, which may reach past what
    // this buffer made writable. The pages past them are only reserved again
    // (should that fail they stay writable, which costs nothing but the count).
    if (const std::size_t open = page_round(touched); writable > open) {
      ::mprotect(static_cast<std::uint8_t*>(p) + open, writable - open, PROT_NONE);
    } else if (writable < open && !open_pages(p, writable, open)) {
      touched = writable;
    }
    std::vector<void*> evicted;
    {
      std::lock_guard lock(mutex_);
      std::size_t oldest = 0;
      while (regions_.size() - oldest >= kMaxKept || resident_ + touched > kMaxResident) {
        resident_ -= regions_[oldest].second;
        evicted.push_back(regions_[oldest].first);
        ++oldest;
      }
      regions_.erase(regions_.begin(), regions_.begin() + static_cast<std::ptrdiff_t>(oldest));
      regions_.emplace_back(p, touched);
      resident_ += touched;
    }
    // Unmapped with the lock let go: it takes the kernel a while.
    for (void* region : evicted) ::munmap(region, kRegion);
  }

 private:
  static constexpr std::size_t kMaxKept = 1024;
  static constexpr std::size_t kMaxResident = std::size_t{256} << 20;

  SharedMutex mutex_{"column regions"};
  std::vector<std::pair<void*, std::size_t>> regions_;  // with the bytes of it touched
  std::size_t resident_ = 0;
};

}  // namespace

const void* empty_buffer_address() { return kEmpty; }

SizeHint* size_hint(const void* site, unsigned role) {
  // Places that share a slot only mislead each other's first region choice.
  static SizeHint hints[4096];
  const auto key = reinterpret_cast<std::uintptr_t>(site) * 4 + role;
  return &hints[(key * 0x9e3779b97f4a7c15u) >> 52];
}

// Small buffers come from the aligned heap and move when they grow; from 16
// KiB on, a buffer is a region of mapped pages (page-aligned, so aligned
// enough), reserved whole and backed as it is written, so it grows without
// copying a byte. A column of a 65,536-row batch easily passes that size, and
// copying it at every growth would cost as much as filling it. A mapped
// buffer's capacity is the part of its region known to be in memory (or asked
// for): growing past it first looks for a kept region with more of it in
// memory, since copying the bytes costs far less than faulting in fresh pages.
// On failure the buffer keeps its bytes.
void Buffer::reallocate(std::size_t capacity, std::size_t expect) {
  if (mapped_ || capacity >= kMapFrom) capacity = page_round(capacity);
  expect = std::max(capacity, expect);
  RegionPool& pool = RegionPool::instance();
  if (mapped_) {
    // The first capacity_ bytes of the region are writable.
    if (capacity > kRegion) {
      // Past a whole region (a batch closes long before): the region grows,
      // writable whole first, since it must be one mapping to be moved.
      if (!open_pages(data_, capacity_, kRegion)) throw std::bad_alloc();
      capacity_ = std::max(capacity_, kRegion);
      void* p = ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
      if (p == MAP_FAILED) throw std::bad_alloc();
      data_ = static_cast<std::uint8_t*>(p);
      capacity_ = capacity;
      return;
    }
    if (capacity > std::max(touched_, size_)) {
      const std::size_t have = std::max(touched_, size_);
      if (const auto [p, touched] = pool.take_kept(expect, have); p != nullptr) {
        const std::size_t open = page_round(touched);
        const std::size_t want = std::max(capacity, std::min(open, kRegion));
        if (!open_pages(p, open, want)) {
          pool.give(p, kRegion, touched, open);
          throw std::bad_alloc();
        }
        std::memcpy(p, data_, size_);
        pool.give(data_, kRegion, have, capacity_);
        data_ = static_cast<std::uint8_t*>(p);
        touched_ = touched;
        capacity_ = want;
        return;
      }
    }
    if (!open_pages(data_, capacity_, capacity)) throw std::bad_alloc();
    capacity_ = std::max(capacity_, capacity);
    return;
  }
  if (capacity >= kMapFrom) {
    const auto [p, touched] = pool.take(expect);
    if (p == nullptr) throw std::bad_alloc();
    const std::size_t open = page_round(touched);
    const std::size_t want = std::max(std::min(capacity, kRegion), std::min(open, kRegion));
    if (!open_pages(p, open, want)) {
      pool.give(p, kRegion, touched, open);
      throw std::bad_alloc();
    }
    if (size_ > 0) std::memcpy(p, data_, size_);
    std::free(data_);
    data_ = static_cast<std::uint8_t*>(p);
    mapped_ = true;
    touched_ = touched;
    capacity_ = want;
    if (capacity > kRegion) reallocate(capacity, capacity);
    return;
  }
  auto* p = static_cast<std::uint8_t*>(std::aligned_alloc(kBufferAlignment, capacity));
  if (p == nullptr) throw std::bad_alloc();
  if (size_ > 0) std::memcpy(p, data_, size_);
  std::free(data_);
  data_ = p;
  capacity_ = capacity;
}

void Buffer::grow(std::size_t n) {
  constexpr std::size_t kMax = std::size_t{1} << 62;
  if (n > kMax - size_) throw std::bad_alloc();
  // 1.5x growth keeps the spare capacity at most half the bytes in use.
  std::size_t want = capacity_ + capacity_ / 2;
  if (want < size_ + n) want = size_ + n;
  // Once in a region, the region sought holds what the buffer will hold, as
  // far as it is known. A small buffer stays on the heap whatever its hint:
  // one that stays small would otherwise hold a large region's pages.
  reallocate(round_up(want), hint_ != nullptr ? hint_->load(std::memory_order_relaxed) : 0);
}

void Buffer::shrink_to_fit() {
  if (hint_ != nullptr) hint_->store(size_, std::memory_order_relaxed);
  if (size_ == 0) {
    release();
    return;
  }
  // Pages past the end of a mapped buffer hold no memory, or hold pages an
  // earlier user touched, which the pool counts: the region keeps them for
  // its next use.
  if (mapped_) return;
  const std::size_t want = round_up(size_);
  if (want < capacity_) reallocate(want, want);
}

void Buffer::release() {
  if (mapped_) RegionPool::instance().give(data_, std::max(capacity_, kRegion), std::max(touched_, size_), capacity_);
  else std::free(data_);
  mapped_ = false;
  data_ = nullptr;
  size_ = capacity_ = touched_ = 0;
}

void push_bits(Buffer& bits, std::int64_t i, std::int64_t n, bool value) {
  if (n <= 0) return;
  const std::int64_t end = i + n;
  const auto bytes_before = static_cast<std::size_t>((i + 7) >> 3);
  const auto bytes_after = static_cast<std::size_t>((end + 7) >> 3);
  bits.reserve_more(bytes_after - bytes_before);
  std::uint8_t* p = bits.data();
  if (bytes_after > bytes_before) std::memset(p + bytes_before, value ? 0xff : 0, bytes_after - bytes_before);
  bits.set_size(bytes_after);
  if (!value) return;  // the new bits are clear, and so were the spare ones of the old last byte
  // Set bits i.. of the old last byte, then clear what lies past `end` in the last byte.
  if ((i & 7) != 0) p[i >> 3] |= static_cast<std::uint8_t>(0xff << (i & 7));
  if ((end & 7) != 0) p[end >> 3] &= static_cast<std::uint8_t>((1u << (end & 7)) - 1);
}

void truncate_bits(Buffer& bits, std::int64_t n) {
  bits.set_size(static_cast<std::size_t>((n + 7) >> 3));
  if ((n & 7) != 0) bits.data()[n >> 3] &= static_cast<std::uint8_t>((1u << (n & 7)) - 1);
}

std::int64_t count_clear_bits(const std::uint8_t* bits, std::int64_t begin, std::int64_t end) {
  std::int64_t set = 0, i = begin;
  for (; i < end && (i & 7) != 0; ++i) set += get_bit(bits, i);
  for (; i + 64 <= end; i += 64) {
    std::uint64_t word;
    std::memcpy(&word, bits + (i >> 3), 8);
    set += std::popcount(word);
  }
  for (; i < end; ++i) set += get_bit(bits, i);
  return (end - begin) - set;
}

}  // namespace brisquel::arrow
