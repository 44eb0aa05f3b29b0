#include "audio/open_watch.h"

#include <mutex>

namespace Velk {
namespace detail {

namespace {
std::mutex watchMutex;
std::function<void(const std::string&)> watching;
}  // namespace

void watchOpens(std::function<void(const std::string& path)> watcher) {
  std::lock_guard<std::mutex> lock(watchMutex);
  watching = std::move(watcher);
}

void noteOpen(const std::string& path) {
  std::lock_guard<std::mutex> lock(watchMutex);
  if (watching) watching(path);
}

}  // namespace detail
}  // namespace Velk
