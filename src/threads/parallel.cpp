#include "threads/parallel.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace velkor {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollEvery = std::chrono::milliseconds(20);

void run_here(std::size_t count, const std::function<void(std::size_t, unsigned)>& work,
              const std::function<bool()>& poll) {
  auto next_poll = Clock::now() + kPollEvery;
  for (std::size_t i = 0; i < count; ++i) {
    work(i, 0);
    if (Clock::now() >= next_poll) {
      if (!poll()) throw Stopped{};
      next_poll = Clock::now() + kPollEvery;
    }
  }
}

}  // namespace

void run_parallel(std::size_t count, unsigned threads,
                  const std::function<void(std::size_t, unsigned)>& work,
                  const std::function<bool()>& poll) {
  threads = static_cast<unsigned>(std::min<std::size_t>(threads, count));
  if (threads <= 1) return run_here(count, work, poll);

  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable finished;
  unsigned running = threads;
  std::exception_ptr error;
  auto body = [&](unsigned worker) {
    try {
      while (!stop.load(std::memory_order_relaxed)) {
        const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
        if (index >= count) break;
        work(index, worker);
      }
    } catch (...) {
      std::lock_guard lock(mutex);
      if (!error) error = std::current_exception();
      stop.store(true);
    }
    std::lock_guard lock(mutex);
    if (--running == 0) finished.notify_all();
  };

  std::vector<std::jthread> pool;
  pool.reserve(threads);
  try {
    for (unsigned worker = 0; worker < threads; ++worker) pool.emplace_back(body, worker);
  } catch (const std::system_error&) {
    // Fewer threads than asked for (a limit on threads was reached): the
    // ones that started do the work; with none, this thread does.
    if (pool.empty()) return run_here(count, work, poll);
    std::lock_guard lock(mutex);
    running -= threads - static_cast<unsigned>(pool.size());
  }

  const pid_t process = ::getpid();
  bool stopped = false;
  {
    std::unique_lock lock(mutex);
    while (running > 0) {
      if (finished.wait_for(lock, kPollEvery, [&] { return running == 0; })) break;
      if (stopped) continue;
      lock.unlock();
      const bool go_on = poll();
      if (::getpid() != process) {
        // A signal handler forked: the child has none of the workers, so
        // nothing would ever end the wait (or a join).
        for (auto& thread : pool) thread.detach();
        throw std::runtime_error(
            "the process forked during a batch; the batch cannot finish in the child");
      }
      lock.lock();
      if (!go_on) {
        stopped = true;
        stop.store(true);
      }
    }
  }
  pool.clear();  // joins
  if (error) std::rethrow_exception(error);
  if (stopped) throw Stopped{};
}

}  // namespace velkor
