#include "codec/batch.h"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <numeric>
#include <thread>

#include "codec/decoder.h"
#include "threads/parallel.h"

namespace velkor {
namespace {

// Idle encoders kept for later calls: one per core, for the calls that use
// every core. Each may hold tens of MiB (its index sized for the longest
// text it met), so those beyond are freed.
std::size_t most_idle() {
  static const std::size_t most =
      std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 64);
  return most;
}

// Indices of items, largest first.
template <class Size>
std::vector<std::size_t> largest_first(std::size_t count, Size&& size) {
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return size(a) > size(b); });
  return order;
}

// Guards the idle encoders of every pool. fork() takes it too: a child forked
// while another thread held it (a pool's lock, taken without the interpreter
// lock) found it held forever, and its first encode hung.
std::mutex& idle_mutex() {
  static std::mutex mutex;
  static const bool registered = [] {
    ::pthread_atfork([] { mutex.lock(); }, [] { mutex.unlock(); }, [] { mutex.unlock(); });
    return true;
  }();
  (void)registered;
  return mutex;
}

}  // namespace

EncoderPool::Lease EncoderPool::take() {
  {
    std::lock_guard lock(idle_mutex());
    if (!idle_.empty()) {
      std::unique_ptr<Encoder> encoder = std::move(idle_.back());
      idle_.pop_back();
      return Lease(*this, std::move(encoder));
    }
  }
  return Lease(*this, std::make_unique<Encoder>(model_));
}

void EncoderPool::give_back(std::unique_ptr<Encoder> encoder) noexcept {
  std::lock_guard lock(idle_mutex());
  if (idle_.size() >= most_idle()) return;
  try {
    idle_.push_back(std::move(encoder));
  } catch (...) {
    // Out of memory: the encoder is freed instead of kept.
  }
}

std::vector<std::vector<TokenId>> encode_batch(EncoderPool& pool,
                                               std::span<const std::string_view> texts,
                                               Encoding encoding, unsigned threads,
                                               const Poll& poll) {
  // 0 threads is 1, as for run_parallel; no more threads than texts, since
  // each leases an encoder.
  threads = static_cast<unsigned>(std::clamp<std::size_t>(texts.size(), 1, std::max(threads, 1u)));
  std::vector<EncoderPool::Lease> encoders;
  encoders.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) encoders.push_back(pool.take());
  const auto order = largest_first(texts.size(), [&](std::size_t i) { return texts[i].size(); });
  std::vector<std::vector<TokenId>> results(texts.size());
  run_parallel(
      texts.size(), threads,
      [&](std::size_t index, unsigned worker) {
        const std::size_t at = order[index];
        results[at] = encoders[worker]->encode(texts[at], encoding);
      },
      poll);
  return results;
}

std::vector<std::string> decode_batch(const Model& model,
                                      std::span<const std::vector<TokenId>> batch, unsigned threads,
                                      const Poll& poll) {
  const auto order = largest_first(batch.size(), [&](std::size_t i) { return batch[i].size(); });
  std::vector<std::string> results(batch.size());
  run_parallel(
      batch.size(), threads,
      [&](std::size_t index, unsigned /*worker*/) {
        const std::size_t at = order[index];
        results[at] = decode(model, batch[at]);
      },
      poll);
  return results;
}

}  // namespace velkor
