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

}  // namespace
}  // namespace brisquel::arrow
