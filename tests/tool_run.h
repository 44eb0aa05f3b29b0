// Runs the built Velk binary for the tool tests and captures what it printed.
#ifndef VELK_TESTS_TOOL_RUN_H
#define VELK_TESTS_TOOL_RUN_H

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace velktest {

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string velkBinary() {
  const char* dir = std::getenv("VELK_BIN_DIR");
  return std::string(dir != nullptr ? dir : "build/bin") + "/Velk";
}

// captureDir receives stdout.txt and stderr.txt; standard input is empty.
// shellPrefix runs first in the same shell (e.g. "ulimit -f 100; exec ").
inline ToolRun runVelk(const std::vector<std::string>& args, const std::string& captureDir,
                       const std::string& shellPrefix = "") {
  std::string cmd = shellPrefix + shellQuote(velkBinary());
  for (const std::string& a : args) cmd += " " + shellQuote(a);
  const std::string outPath = captureDir + "/stdout.txt";
  const std::string errPath = captureDir + "/stderr.txt";
  cmd += " </dev/null >" + shellQuote(outPath) + " 2>" + shellQuote(errPath);
  ToolRun r;
  const int rc = std::system(cmd.c_str());
  r.status = rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = slurp(outPath);
  r.err = slurp(errPath);
  return r;
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace velktest

#endif
