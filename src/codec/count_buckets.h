// The 16-bit ids that have each small count, as bit sets: which id has the
// highest count, and among those the smallest id, in a few instructions,
// where a heap pays a chain of unpredictable branches for every item it
// takes. Counts change by one at a time, and each change moves one bit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velkor {

class CountBuckets {
 public:
  // Counts 1 to kMaxCount have a bucket each.
  static constexpr std::uint32_t kMaxCount = 31;

  CountBuckets() : buckets_(kMaxCount + 2) {}

  // Counts above kMaxCount, and 0, name a bucket that is never read, so
  // that a caller moves an id without testing which counts have one.
  static std::uint32_t bucket_of(std::uint32_t count) {
    return count < kMaxCount + 1 ? count : kMaxCount + 1;
  }

  void insert(std::uint32_t count, std::uint32_t id) {
    Bucket& bucket = buckets_[bucket_of(count)];
    const std::uint32_t word = id >> 6;
    bucket.words[word] |= std::uint64_t{1} << (id & 63);
    bucket.groups[word >> 6] |= std::uint64_t{1} << (word & 63);
    bucket.nonempty |= std::uint32_t{1} << (word >> 6);
    if (count > highest_ && count <= kMaxCount) highest_ = count;
  }

  // Without a branch: whether a word or a group empties is hard to predict.
  void erase(std::uint32_t count, std::uint32_t id) {
    Bucket& bucket = buckets_[bucket_of(count)];
    const std::uint32_t word = id >> 6;
    const std::uint32_t group = word >> 6;
    const std::uint64_t left = bucket.words[word] & ~(std::uint64_t{1} << (id & 63));
    bucket.words[word] = left;
    const std::uint64_t groups = (bucket.groups[group] & ~(std::uint64_t{1} << (word & 63))) |
                                 (std::uint64_t{left != 0} << (word & 63));
    bucket.groups[group] = groups;
    bucket.nonempty =
        (bucket.nonempty & ~(std::uint32_t{1} << group)) | (std::uint32_t{groups != 0} << group);
  }

  // Empties every bucket.
  void clear() {
    buckets_.assign(kMaxCount + 2, Bucket{});
    highest_ = 0;
  }

  // The highest count that some id has, 0 when every bucket is empty.
  std::uint32_t highest() {
    while (highest_ != 0 && buckets_[highest_].nonempty == 0) --highest_;
    return highest_;
  }

  // The smallest id of the bucket of count, which must not be empty.
  std::uint32_t smallest(std::uint32_t count) const {
    const Bucket& bucket = buckets_[count];
    const auto group = static_cast<std::uint32_t>(std::countr_zero(bucket.nonempty));
    const auto word =
        (group << 6) | static_cast<std::uint32_t>(std::countr_zero(bucket.groups[group]));
    return (word << 6) | static_cast<std::uint32_t>(std::countr_zero(bucket.words[word]));
  }

 private:
  struct Bucket {
    std::uint32_t nonempty = 0;     // bit g: groups[g] is not zero
    std::uint64_t groups[16] = {};  // bit w % 64 of groups[w / 64]: words[w] is not zero
    std::uint64_t words[1024] = {};
  };
  std::vector<Bucket> buckets_;
  std::uint32_t highest_ = 0;
};

}  // namespace velkor
