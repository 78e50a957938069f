// Bit output, most significant bit first, into a growing byte vector: the
// order in which the block decoder takes its bits.
#pragma once
#include <stdint.h>

#include <vector>

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>* out) : out_(out) {}

  // Appends the low n bits of value (n <= 32), highest of them first.
  void Put(uint32_t value, int n) {
    if (n == 0) return;
    acc_ = (acc_ << n) | (value & (uint32_t)((1ull << n) - 1));
    bits_ += n;
    while (bits_ >= 8) {
      bits_ -= 8;
      out_->push_back((uint8_t)(acc_ >> bits_));
    }
  }

  // Pads the last byte with zero bits.
  void Flush() {
    if (bits_ > 0) out_->push_back((uint8_t)(acc_ << (8 - bits_)));
    bits_ = 0;
    acc_ = 0;
  }

  uint64_t BitCount() const { return (uint64_t)out_->size() * 8 + (uint64_t)bits_; }

  // Goes back to bit position bit of the output (not past BitCount()),
  // dropping what followed.
  void Rewind(uint64_t bit) {
    uint64_t whole = (uint64_t)out_->size() * 8;
    if (bit >= whole) {
      int keep = (int)(bit - whole);
      acc_ >>= bits_ - keep;
      bits_ = keep;
      return;
    }
    out_->resize((size_t)((bit + 7) / 8));
    bits_ = (int)(bit % 8);
    acc_ = 0;
    if (bits_) {
      acc_ = (uint64_t)(out_->back() >> (8 - bits_));
      out_->pop_back();
    }
  }

 private:
  std::vector<uint8_t>* out_;
  uint64_t acc_ = 0;
  int bits_ = 0;
};
