#include "velktool/fsutil.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace velktool {

std::string canonicalPath(const std::string& path) {
  std::error_code ec;
  const fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) return fs::absolute(path).lexically_normal().string();
  return p.string();
}

bool isSameOrInside(const std::string& path, const std::string& folder) {
  const fs::path p = canonicalPath(path);
  const fs::path f = canonicalPath(folder);
  auto pi = p.begin();
  for (auto fi = f.begin(); fi != f.end(); ++fi, ++pi) {
    if (fi->empty()) continue;  // the trailing "" of a path ending in a separator
    if (pi == p.end() || *pi != *fi) return false;
  }
  return true;
}

std::string parentFolder(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  return parent.empty() ? "." : parent.string();
}

std::string temporarySibling(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const fs::path p(path);
  const std::string name = "." + p.filename().string() + ".tmp-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter++);
  return (p.parent_path() / name).string();
}

int removeStaleTemporaries(const std::string& path) {
  const fs::path p(path);
  const std::string prefix = "." + p.filename().string() + ".tmp-";
  std::error_code ec;
  fs::directory_iterator it(p.parent_path().empty() ? fs::path(".") : p.parent_path(), ec);
  int removed = 0;
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    // "<pid>-<n>" after the prefix; anything else is not ours.
    const char* rest = name.c_str() + prefix.size();
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(rest, &end, 10);
    if (errno != 0 || end == rest || *end != '-' || pid <= 0 || pid > 0x7FFFFFFF) continue;
    const char* counter = end + 1;
    if (*counter == '\0' || std::strspn(counter, "0123456789") != std::strlen(counter)) continue;
    // Only a process that certainly no longer exists gave up its file; EPERM means
    // it runs under another user.
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::error_code rec;
    if (fs::is_regular_file(it->path(), rec) && fs::remove(it->path(), rec)) ++removed;
  }
  return removed;
}

namespace {

// Temporary files being written, for the signal handler. Plain atomics of
// heap-copied names: the handler may only read them and call unlink.
constexpr int kPendingSlots = 64;
std::atomic<char*> g_pending[kPendingSlots];

// The interrupt line in two buffers: the handler reads the current one while
// the program fills the other and then flips the index.
constexpr std::size_t kLineSize = 512;
char g_lines[2][kLineSize];
std::atomic<int> g_currentLine{-1};

void writeAll(const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(2, text, size);
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

extern "C" void removePendingAndDie(int sig) {
  int removed = 0;
  for (auto& slot : g_pending) {
    const char* name = slot.load();
    if (name != nullptr && unlink(name) == 0) ++removed;
  }
  const int line = g_currentLine.load();
  if (line >= 0) {
    writeAll(g_lines[line], std::strlen(g_lines[line]));
    // Only async-signal-safe calls here: the count is written digit by digit.
    if (removed > 0) {
      char buf[64] = "; removed ";
      std::size_t at = std::strlen(buf);
      char digits[12];
      int nd = 0;
      for (int v = removed; v > 0 && nd < 11; v /= 10)
        digits[nd++] = static_cast<char>('0' + v % 10);
      while (nd > 0) buf[at++] = digits[--nd];
      const char* tail = removed == 1 ? " unfinished file" : " unfinished files";
      for (const char* t = tail; *t != '\0'; ++t) buf[at++] = *t;
      writeAll(buf, at);
    }
    writeAll("\n", 1);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

void setInterruptLine(const std::string& line) {
  if (line.empty()) {
    g_currentLine.store(-1);
    return;
  }
  const int next = g_currentLine.load() == 0 ? 1 : 0;
  std::strncpy(g_lines[next], line.c_str(), kLineSize - 1);
  g_lines[next][kLineSize - 1] = '\0';
  g_currentLine.store(next);
}

void installInterruptCleanup() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = removePendingAndDie;
    sigemptyset(&action.sa_mask);
    // A signal ignored by whoever started us (nohup, a background job) stays ignored.
    struct sigaction previous;
    if (sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

PendingTemporary::PendingTemporary(const std::string& path) : slot_(-1) {
  char* copy = strdup(path.c_str());
  if (copy == nullptr) return;
  for (int i = 0; i < kPendingSlots; ++i) {
    char* empty = nullptr;
    if (g_pending[i].compare_exchange_strong(empty, copy)) {
      slot_ = i;
      return;
    }
  }
  std::free(copy);  // more writers than slots: this file is merely not cleaned up on a signal
}

PendingTemporary::~PendingTemporary() {
  if (slot_ >= 0) std::free(g_pending[slot_].exchange(nullptr));
}

bool syncToDisk(const std::string& path, bool isFolder) {
  const int fd = open(path.c_str(), isFolder ? O_RDONLY | O_DIRECTORY : O_RDONLY);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

bool writeFileAtomically(const std::string& path, const std::string& data, std::string& error) {
  removeStaleTemporaries(path);
  const std::string tmp = temporarySibling(path);
  const PendingTemporary pending(tmp);
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) {
      error = "cannot create " + path + ": " + std::strerror(errno);
      return false;
    }
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.flush();
    if (!out) {
      error = "cannot write " + path + ": " + std::strerror(errno);
      out.close();
      std::remove(tmp.c_str());
      return false;
    }
  }
  if (!syncToDisk(tmp, false)) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot replace " + path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  syncToDisk(parentFolder(path), true);
  return true;
}

}  // namespace velktool
