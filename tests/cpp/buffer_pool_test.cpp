// Large buffers released by one batch are the next batch's memory: the pages
// already in memory are the ones written again, so a warm batch takes (almost)
// no page faults, and buffers that move to warmer pages keep their bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

#include <sys/resource.h>

#include "core/arrow/buffer.hpp"

namespace brisquel::arrow {
namespace {

long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Grows the buffers `rounds` times each: in step with their final sizes, as
// the columns of a table grow row by row (the widest reach the pool first),
// or by equal steps (the smallest reach their end first).
void fill(std::vector<Buffer>& buffers, const std::vector<std::size_t>& sizes, bool in_step) {
  constexpr std::size_t kRounds = 256, kStep = 16 << 10;
  for (std::size_t round = 0; round < kRounds * 64; ++round) {
    bool more = false;
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      const std::size_t n = std::min(in_step ? sizes[i] / kRounds : kStep, sizes[i] - buffers[i].size());
      if (n == 0) continue;
      std::memset(buffers[i].extend(n), static_cast<int>(i + 1), n);
      more = true;
    }
    if (!more) return;
  }
}

TEST(BufferPool, AWarmBatchWritesPagesAlreadyInMemory) {
  const std::vector<std::size_t> sizes = {96 << 10, 128 << 10, 192 << 10, 2 << 20, 3 << 20, 5 << 20};
  for (int batch = 0; batch < 2; ++batch) {
    std::vector<Buffer> warm(sizes.size());
    fill(warm, sizes, true);
  }
  struct Case {
    const char* name;
    bool reversed, in_step;
  } const cases[] = {{"in step", false, true}, {"in step, reversed", true, true}, {"smallest first", false, false}};
  for (const Case& c : cases) {
    std::vector<std::size_t> order = sizes;
    if (c.reversed) std::ranges::reverse(order);
    std::vector<Buffer> buffers(order.size());
    const long before = minor_faults();
    fill(buffers, order, c.in_step);
    // Cold, every page written faults (some 2,700); warm, few do, whatever
    // order the buffers reach the pool in.
    const long pages = static_cast<long>(std::accumulate(order.begin(), order.end(), std::size_t{0}) / 4096);
    EXPECT_LT(minor_faults() - before, pages / 4) << c.name;
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      ASSERT_EQ(buffers[i].size(), order[i]) << c.name;
      const auto* data = buffers[i].data();
      EXPECT_TRUE(std::all_of(data, data + order[i], [&](std::uint8_t b) { return b == i + 1; })) << c.name << i;
    }
  }
}

// Two tables built side by side (as by two threads) grow their columns
// interleaved. Without knowing their sizes, small columns growing first take
// the kept regions that fit them now, which the large ones needed later:
// those then fault fresh pages in, batch after batch. A column's size from the
// last batch lets each take a region that holds it at once.
TEST(BufferPool, ColumnsBuiltSideBySideFindTheirSizesInThePool) {
  const std::vector<std::size_t> sizes = {24 << 10, 40 << 10, 72 << 10, 136 << 10, 264 << 10, 520 << 10,
                                          1032 << 10, 2056 << 10};
  static const std::uint64_t sites[8] = {};
  auto batch = [&](long& faults) {
    std::vector<Buffer> first(sizes.size()), second(sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      first[i].set_hint(size_hint(&sites[i], 1));
      second[i].set_hint(size_hint(&sites[i], 1));
    }
    const long before = minor_faults();
    for (bool more = true; more;) {  // equal steps: the smallest reach their end first
      more = false;
      for (std::vector<Buffer>* table : {&first, &second}) {
        for (std::size_t i = 0; i < sizes.size(); ++i) {
          Buffer& b = (*table)[i];
          const std::size_t n = std::min<std::size_t>(8 << 10, sizes[i] - b.size());
          if (n == 0) continue;
          std::memset(b.extend(n), static_cast<int>(i + 1), n);
          more = true;
        }
      }
    }
    faults = minor_faults() - before;
    for (std::vector<Buffer>* table : {&first, &second}) {
      for (std::size_t i = 0; i < sizes.size(); ++i) {
        const auto* data = (*table)[i].data();
        ASSERT_TRUE(std::all_of(data, data + sizes[i], [&](std::uint8_t b) { return b == i + 1; })) << i;
        (*table)[i].shrink_to_fit();  // finished: its size is the next one's hint
      }
    }
  };
  long faults = 0;
  for (int round = 0; round < 4; ++round) batch(faults);  // the last one warm
  const long pages = static_cast<long>(2 * std::accumulate(sizes.begin(), sizes.end(), std::size_t{0}) / 4096);
  EXPECT_LT(faults, pages / 16);
}

// Past its first 4 MiB a region counts whole 2 MiB pages as in memory, more
// than its buffer may have made writable; the next buffer handed the region
// writes all that is counted (it once met pages still reserved, a segfault).
TEST(BufferPool, ARegionIsWritableAsFarAsItCountsInMemory) {
  static const std::uint64_t site = 0;
  const std::size_t sizes[] = {(4 << 20) + (8 << 10), 6 << 20};
  for (const std::size_t size : sizes) {
    Buffer b;
    b.set_hint(size_hint(&site, 0));
    while (b.size() < size) std::memset(b.extend(std::min<std::size_t>(64 << 10, size - b.size())), 7, 1);
    b.shrink_to_fit();
  }
}

// The inline copy switches strategy at 4, 8, 16, 32 and 64 bytes: every length
// on either side of each, at every alignment, copies exactly its bytes.
TEST(CopyBytes, CopiesExactlyTheBytesAskedAtEveryLength) {
  std::vector<std::uint8_t> source(200);
  std::iota(source.begin(), source.end(), std::uint8_t{1});
  for (std::size_t n = 0; n <= 130; ++n) {
    for (std::size_t shift = 0; shift < 8; ++shift) {
      std::vector<std::uint8_t> out(160, 0xEE), expected(160, 0xEE);
      copy_bytes(out.data() + 8 + shift, source.data() + shift * 3, n);
      std::memcpy(expected.data() + 8 + shift, source.data() + shift * 3, n);
      ASSERT_EQ(out, expected) << n << " bytes at offset " << shift;
    }
  }
}

}  // namespace
}  // namespace brisquel::arrow
