#include "process_output.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "elapsed_time.hpp"

namespace wordloom::python {
namespace {

void write_stdout(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string_view phase_label(TrainingPhase phase) {
  switch (phase) {
    case TrainingPhase::SpecialTokenRemoval:
      return "removing special tokens took time: ";
    case TrainingPhase::VocabularyBuilding:
      return "vocab builder took time: ";
    case TrainingPhase::InitialPairs:
      return "build initial pair took time: ";
  }
  internal_failure("unknown training phase");
}

}  // namespace

void TrainingLinesToStdout::phase_finished(TrainingPhase phase, std::chrono::nanoseconds elapsed) {
  std::string line(phase_label(phase));
  line += elapsed_time_text(elapsed);
  line += '\n';
  write_stdout(line);
}

void TrainingLinesToStdout::pairs_exhausted() {
  write_stdout("targeted vocab size not reached as no more pairs to merge ");
}

void exit_with_error_line(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  std::fflush(stdout);
  // One write(2) so the line is never interleaved or left in a buffer.
  for (std::size_t written = 0; written < text.size();) {
    const ssize_t n = ::write(STDERR_FILENO, text.data() + written, text.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  std::exit(1);
}

}  // namespace wordloom::python
