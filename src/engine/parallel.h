// The engine's one way of spreading work over threads: indices handed out in
// order to up to threads workers; fn(i) must write only what belongs to i.
#ifndef VELK_ENGINE_PARALLEL_H
#define VELK_ENGINE_PARALLEL_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace Velk {

// makeWorker() is called once per worker thread and returns the callable that
// thread runs for each index it takes (so each thread can own its tools).
template <typename MakeWorker>
void parallelForEach(std::size_t count, unsigned threads, MakeWorker makeWorker) {
  std::atomic<std::size_t> next{0};
  auto run = [&]() {
    auto fn = makeWorker();
    for (std::size_t i = next++; i < count; i = next++) fn(i);
  };
  const unsigned n = static_cast<unsigned>(std::min<std::size_t>(std::max(1u, threads), count));
  if (n <= 1) {
    if (count > 0) run();
    return;
  }
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < n; ++t) pool.emplace_back(run);
  for (std::thread& t : pool) t.join();
}

template <typename Fn>
void parallelFor(std::size_t count, unsigned threads, Fn fn) {
  parallelForEach(count, threads, [&fn]() { return [&fn](std::size_t i) { fn(i); }; });
}

}  // namespace Velk

#endif
