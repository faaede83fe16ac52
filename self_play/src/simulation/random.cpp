#include "random.h"

#include <bit>
#include <cmath>
#include <random>

#include <sys/random.h>

#include "fault.h"

namespace tavlox::self_play {
namespace {

// "expand 32-byte k"
constexpr std::array<uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
constexpr uint32_t kCounterWord = 12;
constexpr uint32_t kStreamWord = 14;

inline void quarter_round(std::array<uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 7);
}

std::array<uint32_t, 8> os_random_key() {
  std::array<uint32_t, 8> key{};
  auto* bytes = reinterpret_cast<char*>(key.data());
  size_t filled = 0;
  while (filled < sizeof(key)) {
    const ssize_t got = getrandom(bytes + filled, sizeof(key) - filled, 0);
    if (got <= 0) break;
    filled += size_t(got);
  }
  if (filled < sizeof(key)) {
    std::random_device device;
    for (uint32_t& word : key) word = device();
  }
  return key;
}

// Uniform in (0, 1) with 53 random bits, never 0 so that logarithms stay finite.
double open_unit(Rng& rng) {
  const uint64_t bits = (uint64_t(rng.next_u32()) << 32 | rng.next_u32()) >> 11;
  return (double(bits) + 0.5) * 0x1p-53;
}

}  // namespace

ChaCha::ChaCha(const std::array<uint32_t, 8>& key, uint32_t rounds, uint64_t counter,
               uint64_t stream)
    : rounds_(rounds), used_(16) {
  std::copy(kSigma.begin(), kSigma.end(), state_.begin());
  std::copy(key.begin(), key.end(), state_.begin() + 4);
  state_[kCounterWord] = uint32_t(counter);
  state_[kCounterWord + 1] = uint32_t(counter >> 32);
  state_[kStreamWord] = uint32_t(stream);
  state_[kStreamWord + 1] = uint32_t(stream >> 32);
  buffer_.fill(0);
}

std::array<uint32_t, 16> ChaCha::block(const std::array<uint32_t, 16>& input, uint32_t rounds) {
  std::array<uint32_t, 16> x = input;
  for (uint32_t i = 0; i < rounds; i += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (size_t i = 0; i < x.size(); ++i) x[i] += input[i];
  return x;
}

uint32_t ChaCha::next_u32() {
  if (used_ == buffer_.size()) {
    buffer_ = block(state_, rounds_);
    used_ = 0;
    // The 64-bit block counter spans two words.
    if (++state_[kCounterWord] == 0) ++state_[kCounterWord + 1];
  }
  return buffer_[used_++];
}

Rng Rng::seeded(uint64_t seed, uint64_t stream) {
  // SplitMix64 spreads a small seed over the whole key.
  std::array<uint32_t, 8> key{};
  for (size_t i = 0; i < key.size(); i += 2) {
    seed += 0x9e3779b97f4a7c15ull;
    uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    key[i] = uint32_t(z);
    key[i + 1] = uint32_t(z >> 32);
  }
  return Rng(key, stream);
}

uint64_t Rng::os_seed() {
  const std::array<uint32_t, 8> key = os_random_key();
  return uint64_t(key[0]) << 32 | key[1];
}

Rng& Rng::for_this_thread() {
  thread_local Rng rng(os_random_key());
  return rng;
}

float Rng::uniform() {
  return float(next_u32() >> 9) * 0x1p-23f;
}

uint32_t Rng::index(uint32_t n) {
  if (n == 0) fail("cannot draw an index from an empty range");
  const uint32_t zone = (n << std::countl_zero(n)) - 1;
  for (;;) {
    const uint64_t product = uint64_t(next_u32()) * n;
    if (uint32_t(product) <= zone) return uint32_t(product >> 32);
  }
}

double Rng::standard_normal() {
  // Marsaglia's polar method; the second value of each pair is dropped to keep no state.
  for (;;) {
    const double u = 2.0 * open_unit(*this) - 1.0;
    const double v = 2.0 * open_unit(*this) - 1.0;
    const double s = u * u + v * v;
    if (s > 0.0 && s < 1.0) return u * std::sqrt(-2.0 * std::log(s) / s);
  }
}

double Rng::gamma_double(double alpha) {
  if (alpha < 1.0) {
    // Gamma(alpha) = Gamma(alpha + 1) * U^(1 / alpha).
    return gamma_double(alpha + 1.0) * std::pow(open_unit(*this), 1.0 / alpha);
  }
  // Marsaglia and Tsang's squeeze method.
  const double d = alpha - 1.0 / 3.0;
  const double c = 1.0 / std::sqrt(9.0 * d);
  for (;;) {
    double x;
    double v;
    do {
      x = standard_normal();
      v = 1.0 + c * x;
    } while (v <= 0.0);
    v = v * v * v;
    const double u = open_unit(*this);
    const double x2 = x * x;
    if (u < 1.0 - 0.0331 * x2 * x2) return d * v;
    if (std::log(u) < 0.5 * x2 + d * (1.0 - v + std::log(v))) return d * v;
  }
}

float Rng::gamma(float alpha) {
  if (!(alpha > 0.0f)) fail("gamma draw needs a shape above 0, got " + std::to_string(alpha));
  return float(gamma_double(alpha));
}

bool Rng::dirichlet(float alpha, std::size_t n, std::vector<float>& out) {
  if (!(alpha > 0.0f)) return false;
  // Draws and normalisation in double precision: with a small alpha many draws would
  // underflow single precision, and a zero sum would turn the whole sample into NaN.
  double sum = 0.0;
  out.resize(n);
  thread_local std::vector<double> draws;
  draws.resize(n);
  for (double& draw : draws) {
    draw = gamma_double(alpha);
    sum += draw;
  }
  const double scale = 1.0 / sum;
  for (std::size_t i = 0; i < n; ++i) out[i] = float(draws[i] * scale);
  return true;
}

}  // namespace tavlox::self_play
