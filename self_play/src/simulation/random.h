#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tavlox::self_play {

// The ChaCha stream cipher used as a generator: 256-bit key, 64-bit block counter.
class ChaCha {
 public:
  ChaCha(const std::array<uint32_t, 8>& key, uint32_t rounds, uint64_t counter = 0,
         uint64_t stream = 0);
  // One 64-byte block of keystream as 16 words (the known-answer tests check this).
  static std::array<uint32_t, 16> block(const std::array<uint32_t, 16>& input, uint32_t rounds);
  uint32_t next_u32();

 private:
  std::array<uint32_t, 16> state_;
  std::array<uint32_t, 16> buffer_;
  uint32_t rounds_;
  uint32_t used_;
};

// The calling thread's generator: ChaCha with 12 rounds seeded from the operating system.
class Rng {
 public:
  static Rng& for_this_thread();
  explicit Rng(const std::array<uint32_t, 8>& key, uint64_t stream = 0)
      : chacha_(key, 12, 0, stream) {}
  // A reproducible generator: the key is expanded from `seed`, and each `stream` (a game's
  // number, say) is an independent sequence under that key.
  static Rng seeded(uint64_t seed, uint64_t stream);
  // A seed drawn from the operating system's random source.
  static uint64_t os_seed();

  uint32_t next_u32() { return chacha_.next_u32(); }
  // Uniform in [0, 1): (u >> 9) * 2^-23.
  float uniform();
  // Uniform index in 0..n-1 without bias (widening multiply with rejection); n > 0.
  uint32_t index(uint32_t n);
  // Gamma(alpha, 1) draw, alpha > 0 (Marsaglia-Tsang, boosted for alpha < 1).
  float gamma(float alpha);
  // Symmetric Dirichlet sample of dimension n into `out`; false when alpha is not > 0.
  bool dirichlet(float alpha, std::size_t n, std::vector<float>& out);
  // Fisher-Yates shuffle of indices [0, n) driven by index().
  template <typename T>
  void shuffle(std::vector<T>& items) {
    for (std::size_t i = items.size(); i > 1; --i) {
      std::swap(items[i - 1], items[index(uint32_t(i))]);
    }
  }

 private:
  double standard_normal();
  double gamma_double(double alpha);
  ChaCha chacha_;
};

}  // namespace tavlox::self_play
