// The fork-join pool: failures come back on the calling thread, and no
// failure at all when no thread can be started.
#include "worker_pool.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace wordloom {
namespace {

TEST(WorkerPool, ABlocksExceptionIsRethrownOnTheCallingThread) {
  std::atomic<int> blocks_run = 0;
  auto fail_in_last_block = [&](std::size_t, std::size_t end) {
    ++blocks_run;
    if (end == 4) throw std::bad_alloc();
  };
  EXPECT_THROW(fork_join_blocks(4, 4, 1, fail_in_last_block), std::bad_alloc);
  EXPECT_EQ(blocks_run, 4);
}

std::size_t address_space_in_use() {
  std::ifstream status("/proc/self/status");
  for (std::string field; status >> field;) {
    std::size_t kilobytes = 0;
    if (field == "VmSize:" && status >> kilobytes) return kilobytes * 1024;
  }
  ADD_FAILURE() << "no VmSize in /proc/self/status";
  return 0;
}

// Restores the address-space limit it lowered when it goes out of scope.
class AddressSpaceLimit {
 public:
  explicit AddressSpaceLimit(std::size_t bytes) {
    getrlimit(RLIMIT_AS, &saved_);
    const rlimit lowered{bytes, saved_.rlim_max};
    EXPECT_EQ(setrlimit(RLIMIT_AS, &lowered), 0);
  }
  ~AddressSpaceLimit() { setrlimit(RLIMIT_AS, &saved_); }

 private:
  rlimit saved_{};
};

TEST(WorkerPool, BlocksWhoseThreadCannotStartRunOnTheCallingThread) {
  std::vector<std::thread::id> ran_on(4);
  {
    // Room for small allocations but not for a thread's stack.
    AddressSpaceLimit limit(address_space_in_use() + (1 << 20));
    fork_join_blocks(ran_on.size(), 4, 1, [&](std::size_t begin, std::size_t end) {
      for (std::size_t block = begin; block < end; ++block) ran_on[block] = std::this_thread::get_id();
    });
  }
  for (const std::thread::id& thread : ran_on) EXPECT_EQ(thread, std::this_thread::get_id());
}

}  // namespace
}  // namespace wordloom
