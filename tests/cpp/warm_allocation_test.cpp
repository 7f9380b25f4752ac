// Once warm, reading transactions, walking them and finding their calls
// allocates nothing per transaction: counted by replacing the global
// allocation functions of this test program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>

#include <simdjson.h>

#include "core/tx/calls.hpp"
#include "core/tx/rpc_json.hpp"
#include "core/tx/walk.hpp"
#include "idl/loader.hpp"
#include "real_data.hpp"

namespace {
std::atomic<std::size_t> g_allocations{0};
}

// Replaced here, the allocation functions meet inlined library code that GCC
// pairs with the ones it knows.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, std::align_val_t a) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const std::size_t align = static_cast<std::size_t>(a);
  if (void* p = std::aligned_alloc(align, (n + align - 1) / align * align)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }
// The nothrow forms too: the test framework allocates with them, and each
// block must go back to the allocator it came from.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const std::size_t align = static_cast<std::size_t>(a);
  return std::aligned_alloc(align, (n + align - 1) / align * align);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t& t) noexcept {
  return operator new(n, a, t);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace brisquel::tx {
namespace {

using testing::kShared;
using testing::slurp;

TEST(WarmAllocation, ReadWalkAndFindAllocateNothing) {
  if (!std::filesystem::is_directory(kShared / "transactions")) GTEST_SKIP() << "no " << kShared;
  std::vector<TxProgram> programs;
  for (auto [address, file] : {std::pair{"6EF8rrecthR5Dkzon8Nwu78hRvfCKubJ14M5uBEwF6P", "pump-current.json"},
                               std::pair{"LBUZKhRxPF3XUpBCjp4YzTKgLccjZhTSDM9YuVaPwxo", "meteora-dlmm-current.json"}}) {
    auto idl = idl::convert_idl(slurp(kShared / "idls" / file));
    ASSERT_TRUE(idl);
    auto compiled = CompiledIdl::build(*idl);
    ASSERT_TRUE(compiled);
    auto schemas = TableSchemas::make(**compiled, {}, {});
    programs.push_back(TxProgram{address, std::move(*compiled), std::move(*schemas)});
  }
  // Every real transaction object as a line of JSON lines.
  std::string lines;
  for (const auto& tx : testing::real_transactions()) lines += tx.text + "\n";
  for (const ReadScope scope : {ReadScope::kEvents, ReadScope::kCalls, ReadScope::kSummary}) {
    RpcJsonReader reader({}, scope);
    TxWalker walker({programs[0].address, programs[1].address});
    CallFinder finder(programs);
    std::size_t calls = 0, transactions = 0;
    auto visit = [&](const TxView& view, std::size_t) {
      const WalkResult& walk = walker.walk(view, true);
      if (scope != ReadScope::kEvents) calls += finder.find(view, walk).size();
      ++transactions;
    };
    constexpr int kPasses = 12;
    for (int pass = 0; pass < kPasses; ++pass) {
      const std::size_t before = g_allocations.load();
      const ReadResult result = reader.read(lines, visit);
      const std::size_t allocated = g_allocations.load() - before;
      ASSERT_TRUE(result.ok()) << describe_at(*result.error);
      // Buffers grow to the largest transaction over the first passes (the
      // inner instruction lists, reused by whichever group comes, take a few).
      if (pass == kPasses - 1) {
        EXPECT_EQ(allocated, 0u) << "scope " << static_cast<int>(scope);
      }
    }
    EXPECT_EQ(transactions, kPasses * testing::real_transactions().size());
    if (scope != ReadScope::kEvents) {
      EXPECT_GT(calls, kPasses * 40u);
    }
  }
}

}  // namespace
}  // namespace brisquel::tx
