// Fork-join parallelism: splits an index range into contiguous blocks and runs
// them on short-lived threads that are joined before the call returns. No
// thread outlives the call, so a process forked afterwards (multiprocessing)
// starts clean and a process that ends never meets a joinable thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace wordloom {

inline unsigned default_worker_threads() { return std::max(1u, std::thread::hardware_concurrency()); }

// Calls `work(begin, end)` for contiguous blocks covering [0, count), on up to
// `threads` threads (0: one per hardware thread), each block holding at least
// `min_block` indices. The block that starts at 0 runs on the calling thread.
// When blocks throw, the exception of the lowest such block is rethrown on
// the calling thread after all blocks finished. A block whose thread cannot be
// started (no memory for its stack, too many threads) runs on the calling
// thread instead.
template <typename Work>
void fork_join_blocks(std::size_t count, unsigned threads, std::size_t min_block, Work&& work) {
  if (threads == 0) threads = default_worker_threads();
  const std::size_t blocks = std::clamp<std::size_t>(count / std::max<std::size_t>(min_block, 1), 1, threads);
  if (blocks == 1) return work(std::size_t{0}, count);

  std::vector<std::exception_ptr> failures(blocks);
  auto run_block = [&](std::size_t block) {
    try {
      work(count * block / blocks, count * (block + 1) / blocks);
    } catch (...) {
      failures[block] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(blocks - 1);
    for (std::size_t block = 1; block < blocks; ++block) {
      try {
        helpers.emplace_back(run_block, block);
      } catch (const std::system_error&) {
        run_block(block);
      }
    }
    run_block(0);
  }  // joins the helpers
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace wordloom
