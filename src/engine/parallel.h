// The engine's one way of spreading work over threads: indices handed out in
// order to up to threads workers; fn(i) must write only what belongs to i.
#ifndef VELK_ENGINE_PARALLEL_H
#define VELK_ENGINE_PARALLEL_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace Velk {

// makeWorker() is called once per worker thread and returns the callable that
// thread runs for each index it takes (so each thread can own its tools). The
// first error stops the handing out of indices and is thrown here once every
// worker is done: an exception leaving a thread would end the program.
template <typename MakeWorker>
void parallelForEach(std::size_t count, unsigned threads, MakeWorker makeWorker) {
  std::atomic<std::size_t> next{0};
  std::mutex lock;
  std::exception_ptr error;
  auto run = [&]() {
    try {
      auto fn = makeWorker();
      for (std::size_t i = next++; i < count; i = next++) fn(i);
    } catch (...) {
      std::lock_guard<std::mutex> g(lock);
      if (!error) error = std::current_exception();
      next = count;
    }
  };
  const unsigned n = static_cast<unsigned>(std::min<std::size_t>(std::max(1u, threads), count));
  std::vector<std::thread> pool;
  try {
    for (unsigned t = 1; t < n; ++t) pool.emplace_back(run);
  } catch (...) {
    next = count;
    for (std::thread& t : pool) t.join();
    throw;
  }
  if (count > 0) run();
  for (std::thread& t : pool) t.join();
  if (error) std::rethrow_exception(error);
}

template <typename Fn>
void parallelFor(std::size_t count, unsigned threads, Fn fn) {
  parallelForEach(count, threads, [&fn]() { return [&fn](std::size_t i) { fn(i); }; });
}

}  // namespace Velk

#endif
