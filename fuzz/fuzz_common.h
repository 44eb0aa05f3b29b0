// Helpers shared by the fuzz targets: a scratch file per process and a quiet
// standard output, so that millions of runs neither collide nor flood the log.
#ifndef VELK_FUZZ_COMMON_H
#define VELK_FUZZ_COMMON_H

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>
#include <string>

namespace velkfuzz {

// Keeps std::cout silent for the life of the process; the library prints a
// line per file, which would dominate the run time.
inline void silenceStdout() {
  struct Discard : std::streambuf {
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
  };
  static Discard sink;
  std::cout.rdbuf(&sink);
}

// A file of this process under /dev/shm (memory, not disk) when it exists,
// removed when the process ends normally.
class ScratchFile {
 public:
  ScratchFile(const std::string& tag, const std::string& extension)
      : path_(std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/velk-fuzz-" +
              tag + "-" + std::to_string(getpid()) + extension) {}
  ~ScratchFile() { std::remove(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const std::string& path() const { return path_; }
  void write(const uint8_t* data, std::size_t size) const {
    FILE* f = std::fopen(path_.c_str(), "wb");
    if (f == nullptr) std::abort();  // without the file there is nothing to test
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
  }

 private:
  std::string path_;
};

// A broken invariant is a finding: trap so libFuzzer saves the input.
inline void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace velkfuzz

#endif
