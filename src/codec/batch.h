// Many texts encoded (or id lists decoded) on several threads at once, each
// thread with an Encoder of its own from a pool shared by the callers.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/encoder.h"
#include "model/model.h"

namespace velkor {

// Encoders for one model, lent to one caller at a time; the model must
// outlive the pool and not change. Thread-safe.
class EncoderPool {
 public:
  explicit EncoderPool(const Model& model) : model_(model) {}

  // An encoder lent for the life of the lease.
  class Lease {
   public:
    Lease(EncoderPool& pool, std::unique_ptr<Encoder> encoder)
        : pool_(&pool), encoder_(std::move(encoder)) {}
    Lease(Lease&&) noexcept = default;
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (encoder_) pool_->give_back(std::move(encoder_));
    }
    Encoder& operator*() const { return *encoder_; }
    Encoder* operator->() const { return encoder_.get(); }

   private:
    EncoderPool* pool_;
    std::unique_ptr<Encoder> encoder_;
  };

  Lease take();

 private:
  void give_back(std::unique_ptr<Encoder> encoder) noexcept;

  const Model& model_;
  std::vector<std::unique_ptr<Encoder>> idle_;
};

// Called on the calling thread every ~20 ms; false stops the batch (Stopped).
using Poll = std::function<bool()>;

// The ids of every text, as Encoder::encode gives them, on up to `threads`
// threads; longest texts first, so the long ones do not end up last.
std::vector<std::vector<TokenId>> encode_batch(EncoderPool& pool,
                                               std::span<const std::string_view> texts,
                                               Encoding encoding, unsigned threads,
                                               const Poll& poll);

// decode() of every id list, on up to `threads` threads. Every id must have
// bytes in the model's lookup.
std::vector<std::string> decode_batch(const Model& model,
                                      std::span<const std::vector<TokenId>> batch, unsigned threads,
                                      const Poll& poll);

}  // namespace velkor
