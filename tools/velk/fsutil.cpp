#include "velk/fsutil.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
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

std::string temporarySibling(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const fs::path p(path);
  const std::string name = "." + p.filename().string() + ".tmp-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter++);
  return (p.parent_path() / name).string();
}

bool writeFileAtomically(const std::string& path, const std::string& data, std::string& error) {
  const std::string tmp = temporarySibling(path);
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) {
      error = "cannot create " + tmp + ": " + std::strerror(errno);
      return false;
    }
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.flush();
    if (!out) {
      error = "cannot write " + tmp + ": " + std::strerror(errno);
      out.close();
      std::remove(tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + tmp + " to " + path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace velktool
