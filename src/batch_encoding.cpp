#include "batch_encoding.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>

namespace wordloom {
namespace {

// Texts are handed out in chunks of consecutive texts: about eight per thread
// so that threads finishing early find more work, and at most this many bytes
// so that a huge batch still spreads evenly. A chunk never splits a text.
// Each thread starts on a run of consecutive chunks of its own, so that its
// word cache meets the words of neighbouring texts rather than of the whole
// batch; a thread done with its run takes chunks from the others' runs.
// The calling thread is one of the threads, and the one that hands finished
// chunks to a sink: doing that between its own chunks keeps every core busy.
constexpr std::size_t kChunksPerThread = 8;
// The calling thread runs its interrupt check once per this many texts, or
// pieces of a long text, that it encodes.
constexpr std::size_t kEncodingStepsPerCheck = 32;
constexpr std::size_t kMaxChunkBytes = 1 << 20;
constexpr std::size_t kNoText = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kNoChunk = std::numeric_limits<std::size_t>::max();

struct TextRange {
  std::size_t begin;
  std::size_t end;
};

std::vector<TextRange> chunk_texts(std::span<const std::string_view> texts, unsigned threads) {
  std::size_t total_bytes = 0;
  for (std::string_view text : texts) total_bytes += text.size();
  const std::size_t chunk_bytes = std::clamp<std::size_t>(total_bytes / (threads * kChunksPerThread), 1, kMaxChunkBytes);
  std::vector<TextRange> chunks;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (chunks.empty() || bytes >= chunk_bytes) {
      chunks.push_back({i, i});
      bytes = 0;
    }
    chunks.back().end = i + 1;
    bytes += texts[i].size();
  }
  return chunks;
}

// The ids of one chunk's texts and where each text's ids end.
struct ChunkIds {
  std::vector<TokenId> ids;
  std::vector<std::size_t> ends;
};

// Thrown inside a worker to leave a text that no longer needs encoding.
struct Abandoned {};

// The chunks of one thread's run not yet taken: [next, end).
struct ChunkRun {
  std::atomic<std::size_t> next;
  std::size_t end;
};

// One encode_batch call: workers take chunks from the runs, each run in input
// order, and write each chunk's ids to its own slot.
class BatchRun {
 public:
  BatchRun(const Model& model, std::span<const std::string_view> texts, unsigned threads)
      : model_(model),
        texts_(texts),
        chunks_(chunk_texts(texts, threads)),
        results_(chunks_.size()),
        workers_(static_cast<unsigned>(std::clamp<std::size_t>(chunks_.size(), 1, threads))),
        runs_(workers_) {
    finished_chunks_.reserve(chunks_.size());  // so that a worker's push_back cannot throw
    for (unsigned worker = 0; worker < workers_; ++worker) {
      runs_[worker].next = chunks_.size() * worker / workers_;
      runs_[worker].end = chunks_.size() * (worker + 1) / workers_;
    }
  }

  // Encodes every text on the calling thread and workers_ - 1 others; hands
  // each finished chunk to `sink`, when there is one, on the calling thread.
  void run(const InterruptCheck& check_interrupt, const EncodedTextsSink& sink) {
    sink_ = &sink;
    running_ = workers_ - 1;
    {
      std::vector<std::jthread> pool;
      pool.reserve(workers_ - 1);
      // Declared after the pool so that it runs first: workers stop before
      // they are joined, also when an interrupt check or the sink throws.
      const StopOnExit stop_workers(cancelled_);
      for (unsigned worker = 1; worker < workers_; ++worker) pool.emplace_back([this, worker] { work(worker); });
      work_on_calling_thread(check_interrupt);
      wait_for_workers(check_interrupt);
    }
    if (failure_) rethrow_failure();
  }

  // Joins the chunks' ids in order, once run() has returned without a sink.
  // A single chunk (often one large text) hands its ids over as they are;
  // otherwise each is freed once copied, to keep the peak low.
  EncodedBatch assemble() {
    EncodedBatch batch;
    const bool single = results_.size() == 1;
    std::size_t total = 0;
    for (const ChunkIds& chunk : results_) total += chunk.ids.size();
    if (!single) batch.ids.reserve(total);
    batch.offsets.reserve(texts_.size() + 1);
    batch.offsets.push_back(0);
    for (ChunkIds& chunk : results_) {
      const std::size_t base = batch.ids.size();
      for (std::size_t end : chunk.ends) batch.offsets.push_back(base + end);
      if (single) batch.ids = std::move(chunk.ids);
      else batch.ids.insert(batch.ids.end(), chunk.ids.begin(), chunk.ids.end());
      chunk = {};
    }
    return batch;
  }

 private:
  class StopOnExit {
   public:
    explicit StopOnExit(std::atomic<bool>& flag) : flag_(flag) {}
    ~StopOnExit() { flag_ = true; }
    StopOnExit(const StopOnExit&) = delete;
    StopOnExit& operator=(const StopOnExit&) = delete;

   private:
    std::atomic<bool>& flag_;
  };

  // A text after the first failed one is not needed; texts before it are all
  // encoded, so the failure reported does not depend on thread timing.
  bool abandoned(std::size_t text) const { return cancelled_ || text > first_failed_text_; }

  // The next chunk of the worker's own run, or else of the next run with any left.
  std::size_t take_chunk(unsigned worker) {
    for (unsigned i = 0; i < workers_; ++i) {
      ChunkRun& run = runs_[(worker + i) % workers_];
      if (run.next.load(std::memory_order_relaxed) >= run.end) continue;
      if (const std::size_t chunk = run.next++; chunk < run.end) return chunk;
    }
    return kNoChunk;
  }

  void work(unsigned worker) {
    std::size_t text = 0;
    encode_chunks(worker, text, [this, &text] {
      if (abandoned(text)) throw Abandoned{};
    });
    const std::lock_guard lock(mutex_);
    --running_;
    finished_.notify_one();
  }

  // The calling thread's share: chunks, with the caller's interrupt check
  // run now and then, and the chunks finished so far handed to the sink
  // between them. An interruption stops the encoding and is thrown again.
  void work_on_calling_thread(const InterruptCheck& check_interrupt) {
    std::size_t text = 0;
    std::size_t steps = 0;
    std::exception_ptr interruption;
    encode_chunks(
        0, text,
        [&] {
          if (abandoned(text)) throw Abandoned{};
          if (++steps % kEncodingStepsPerCheck != 0) return;
          try {
            check_for_interrupt(check_interrupt);
          } catch (...) {
            interruption = std::current_exception();
            throw Abandoned{};
          }
        },
        [this] { deliver_finished_chunks(); });
    if (interruption) std::rethrow_exception(interruption);
  }

  // Encodes chunks until none is left or one fails; a failure is recorded,
  // not thrown, and `check` throws Abandoned to stop early.
  void encode_chunks(unsigned worker, std::size_t& text, const InterruptCheck& check,
                     const std::function<void()>& after_chunk = {}) {
    WordCache cache;
    for (std::size_t chunk; (chunk = take_chunk(worker)) != kNoChunk;) {
      ChunkIds& out = results_[chunk];
      try {
        for (text = chunks_[chunk].begin; text < chunks_[chunk].end; ++text) {
          check();
          encode_ids_into(model_, cache, texts_[text], out.ids, check);
          out.ends.push_back(out.ids.size());
        }
      } catch (const Abandoned&) {
        return;
      } catch (...) {
        record_failure(text, std::current_exception());
        return;
      }
      {
        const std::lock_guard lock(mutex_);
        finished_chunks_.push_back(chunk);
      }
      finished_.notify_one();
      if (after_chunk) after_chunk();
    }
  }

  void record_failure(std::size_t text, std::exception_ptr failure) {
    const std::lock_guard lock(mutex_);
    if (text >= first_failed_text_) return;
    first_failed_text_ = text;
    failure_ = std::move(failure);
  }

  // Waits for the other threads, handing their chunks to the sink as they
  // finish and running the interrupt check at least every interval.
  void wait_for_workers(const InterruptCheck& check_interrupt) {
    for (;;) {
      bool all_done = false;
      {
        std::unique_lock lock(mutex_);
        finished_.wait_for(lock, kBatchInterruptInterval,
                           [this] { return running_ == 0 || (*sink_ && !finished_chunks_.empty()); });
        all_done = running_ == 0;
      }
      deliver_finished_chunks();
      if (all_done) return;
      check_for_interrupt(check_interrupt);
    }
  }

  // Hands the chunks finished since the last call to the sink, if there is
  // one and no text has failed.
  void deliver_finished_chunks() {
    if (!*sink_) return;
    std::vector<std::size_t> finished;
    {
      const std::lock_guard lock(mutex_);
      finished.assign(finished_chunks_.begin(), finished_chunks_.end());
      finished_chunks_.clear();
    }
    for (std::size_t chunk : finished) {
      if (first_failed_text_ != kNoText) return;
      ChunkIds& ids = results_[chunk];
      (*sink_)(chunks_[chunk].begin, ids.ids, ids.ends);
      ids = {};
    }
  }

  [[noreturn]] void rethrow_failure() const {
    try {
      std::rethrow_exception(failure_);
    } catch (const UnknownCharacter& unknown) {
      throw UnknownCharacterInText(first_failed_text_, unknown);
    }
  }

  const Model& model_;
  std::span<const std::string_view> texts_;
  std::vector<TextRange> chunks_;
  std::vector<ChunkIds> results_;  // one per chunk, written by the worker that took it
  unsigned workers_;
  std::vector<ChunkRun> runs_;  // one per worker
  std::atomic<bool> cancelled_{false};
  std::atomic<std::size_t> first_failed_text_{kNoText};

  const EncodedTextsSink* sink_ = nullptr;

  std::mutex mutex_;
  std::condition_variable finished_;
  unsigned running_ = 0;                    // guarded by mutex_: threads other than the caller still encoding
  std::vector<std::size_t> finished_chunks_;  // guarded by mutex_: not yet handed to the sink
  std::exception_ptr failure_;              // guarded by mutex_: what text first_failed_text_ threw
};

}  // namespace

UnknownCharacterInText::UnknownCharacterInText(std::size_t index, const UnknownCharacter& cause)
    : std::runtime_error("text " + std::to_string(index) + ": " + cause.what()), index_(index) {}

EncodedBatch encode_batch(const Model& model, std::span<const std::string_view> texts, unsigned threads,
                          const InterruptCheck& check_interrupt) {
  BatchRun batch(model, texts, std::max(threads, 1u));
  batch.run(check_interrupt, {});
  return batch.assemble();
}

void encode_batch(const Model& model, std::span<const std::string_view> texts, unsigned threads,
                  const InterruptCheck& check_interrupt, const EncodedTextsSink& sink) {
  BatchRun(model, texts, std::max(threads, 1u)).run(check_interrupt, sink);
}

}  // namespace wordloom
