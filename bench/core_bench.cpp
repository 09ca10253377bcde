// The core's own speed, without Python: loading a model directory, and the
// ids-only encoding of a text file, with a cold word cache and once more with
// the cache that the first pass filled.
//
//   wordloom_core_bench load MODEL_DIR [RUNS]
//   wordloom_core_bench encode MODEL_DIR TEXT_FILE [MEGABYTES] [RUNS]
//
// Prints one line per run: wall seconds, CPU seconds of the thread and, for
// encoding, MB/s by CPU time of both passes (on a shared machine the CPU time
// is the steadier figure), the number of ids and a checksum of them.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bpe_tokenizer.hpp"
#include "file_reading.hpp"

namespace {

using namespace wordloom;

struct Timing {
  double wall;
  double cpu;
};

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <typename Call>
Timing timed(Call&& call) {
  const auto wall_start = std::chrono::steady_clock::now();
  const double cpu_start = thread_cpu_seconds();
  call();
  const double cpu = thread_cpu_seconds() - cpu_start;
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count(), cpu};
}

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(2);
}

std::shared_ptr<const Model> load(const char* model_dir) {
  Result<std::shared_ptr<const Model>> model = load_model_files(model_dir);
  if (!model) die(model.error().display());
  return std::move(model).value();
}

int bench_load(const char* model_dir, int runs) {
  for (int run = 0; run < runs; ++run) {
    const Timing timing = timed([&] { load(model_dir); });
    std::printf("load wall %.6f cpu %.6f\n", timing.wall, timing.cpu);
  }
  return 0;
}

int bench_encode(const char* model_dir, const char* text_file, double megabytes, int runs) {
  const std::shared_ptr<const Model> model = load(model_dir);
  std::string text;
  if (!read_regular_file(text_file, text)) die(std::string("cannot read ") + text_file);
  // Cut at a character boundary.
  std::size_t size = std::min(text.size(), static_cast<std::size_t>(megabytes * 1e6));
  while (size < text.size() && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) ++size;
  const std::string_view input(text.data(), size);
  for (int run = 0; run < runs; ++run) {
    WordCache cache;
    std::vector<TokenId> ids;
    const Timing cold = timed([&] { encode_ids_into(*model, cache, input, ids, {}); });
    std::uint64_t checksum = 0;  // tells runs of different builds apart
    for (TokenId id : ids) checksum = checksum * 1000003 + id;
    ids.clear();
    const Timing warm = timed([&] { encode_ids_into(*model, cache, input, ids, {}); });
    std::printf("encode wall %.6f cpu %.6f MB/s %.2f warm MB/s %.2f ids %zu checksum %016llx\n", cold.wall, cold.cpu,
                static_cast<double>(size) / 1e6 / cold.cpu, static_cast<double>(size) / 1e6 / warm.cpu, ids.size(),
                static_cast<unsigned long long>(checksum));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "load" && argc >= 3) return bench_load(argv[2], argc > 3 ? std::atoi(argv[3]) : 1);
  if (command == "encode" && argc >= 4) {
    return bench_encode(argv[2], argv[3], argc > 4 ? std::atof(argv[4]) : 1e9, argc > 5 ? std::atoi(argv[5]) : 1);
  }
  die("usage: wordloom_core_bench load MODEL_DIR [RUNS] | encode MODEL_DIR TEXT_FILE [MEGABYTES] [RUNS]");
}
