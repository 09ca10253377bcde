// A corpus written to a temporary file for the length of a test.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace wordloom {

class CorpusFile {
 public:
  explicit CorpusFile(const std::string& text) {
    char name[] = "/tmp/wordloom_corpus_XXXXXX";
    const int fd = mkstemp(name);
    ::close(fd);
    path_ = name;
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~CorpusFile() { std::remove(path_.c_str()); }
  CorpusFile(const CorpusFile&) = delete;
  CorpusFile& operator=(const CorpusFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace wordloom
