#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <thread>

#include "fault.h"
#include "random.h"

namespace tavlox::self_play {
namespace {

constexpr std::array<uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

std::array<uint32_t, 8> counting_key() {
  // Key bytes 00 01 02 ... 1f as little-endian words.
  std::array<uint32_t, 8> key{};
  for (uint32_t i = 0; i < 8; ++i) {
    const uint32_t b = 4 * i;
    key[i] = b | (b + 1) << 8 | (b + 2) << 16 | (b + 3) << 24;
  }
  return key;
}

TEST(ChaChaTest, TwentyRoundBlockMatchesPublishedVector) {
  // Block counter 1 and nonce 00:00:00:09:00:00:00:4a:00:00:00:00 as the last four words.
  std::array<uint32_t, 16> input{};
  std::copy(kSigma.begin(), kSigma.end(), input.begin());
  const auto key = counting_key();
  std::copy(key.begin(), key.end(), input.begin() + 4);
  input[12] = 1;
  input[13] = 0x09000000;
  input[14] = 0x4a000000;
  input[15] = 0;
  const std::array<uint32_t, 16> expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                             0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                             0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                             0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(ChaCha::block(input, 20), expected);
}

TEST(ChaChaTest, TwelveRoundGeneratorWithZeroKeyMatchesPublishedKeystream) {
  const std::array<uint32_t, 16> expected = {0x6a9af49b, 0x53f95507, 0x12ce1f81, 0xd583265f,
                                             0xbbc32904, 0x1474e049, 0xa589007e, 0x5f15ae2e,
                                             0x79f86405, 0xc0e37ad2, 0x3428e82c, 0x798cfaac,
                                             0x2c9f623a, 0x1969dea0, 0x2fe80b61, 0xbe261341};
  Rng rng(std::array<uint32_t, 8>{});
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(rng.next_u32(), expected[i]) << "word " << i;
  }
}

TEST(ChaChaTest, StreamIsConsecutiveBlocksWithCarryIntoHighCounterWord) {
  const auto key = counting_key();
  const uint64_t counter = 0xffffffffull;
  const uint64_t stream = 0x0123456789abcdefull;
  ChaCha chacha(key, 12, counter, stream);
  std::array<uint32_t, 16> input{};
  std::copy(kSigma.begin(), kSigma.end(), input.begin());
  std::copy(key.begin(), key.end(), input.begin() + 4);
  input[14] = uint32_t(stream);
  input[15] = uint32_t(stream >> 32);
  for (uint64_t block = counter; block < counter + 2; ++block) {
    input[12] = uint32_t(block);
    input[13] = uint32_t(block >> 32);
    const auto words = ChaCha::block(input, 12);
    for (size_t i = 0; i < words.size(); ++i) {
      EXPECT_EQ(chacha.next_u32(), words[i]) << "block " << block << " word " << i;
    }
  }
}

TEST(RngTest, ThreadGeneratorIsOnePerThreadAndSeededDifferently) {
  Rng& here = Rng::for_this_thread();
  EXPECT_EQ(&here, &Rng::for_this_thread());
  std::array<uint32_t, 4> other{};
  std::thread([&] {
    for (uint32_t& word : other) word = Rng::for_this_thread().next_u32();
  }).join();
  std::array<uint32_t, 4> mine{};
  for (uint32_t& word : mine) word = here.next_u32();
  EXPECT_NE(mine, other) << "two threads drew the same 128 bits";
}

TEST(RngTest, UniformIsOnTheTwoToMinus23GridInUnitIntervalWithMeanOneHalf) {
  Rng rng({11, 0, 0, 0, 0, 0, 0, 0});
  constexpr int kDraws = 100000;
  double sum = 0.0;
  for (int i = 0; i < kDraws; ++i) {
    const float r = rng.uniform();
    ASSERT_GE(r, 0.0f);
    ASSERT_LT(r, 1.0f);
    const float scaled = r * 0x1p23f;
    ASSERT_EQ(scaled, std::floor(scaled)) << r << " is not a multiple of 2^-23";
    sum += r;
  }
  EXPECT_NEAR(sum / kDraws, 0.5, 0.005);
}

TEST(RngTest, IndexIsUnbiased) {
  Rng rng({12, 0, 0, 0, 0, 0, 0, 0});
  for (int i = 0; i < 100; ++i) ASSERT_EQ(rng.index(1), 0u);

  constexpr int kDraws = 30000;
  std::array<int, 3> counts{};
  for (int i = 0; i < kDraws; ++i) {
    const uint32_t k = rng.index(3);
    ASSERT_LT(k, 3u);
    ++counts[k];
  }
  double chi_square = 0.0;
  for (int count : counts) chi_square += std::pow(count - kDraws / 3.0, 2) / (kDraws / 3.0);
  EXPECT_LT(chi_square, 20.0) << counts[0] << " " << counts[1] << " " << counts[2];

  // Above 2^31 a plain modulo would put two thirds of the draws in the lower half.
  const uint32_t large = 3'000'000'000u;
  int lower_half = 0;
  for (int i = 0; i < kDraws; ++i) {
    const uint32_t k = rng.index(large);
    ASSERT_LT(k, large);
    lower_half += k < large / 2;
  }
  EXPECT_NEAR(double(lower_half) / kDraws, 0.5, 0.015);

  EXPECT_THROW(rng.index(0), Fault);
}

TEST(RngTest, GammaHasMeanAndVarianceAlpha) {
  Rng rng({13, 0, 0, 0, 0, 0, 0, 0});
  constexpr int kDraws = 50000;
  for (float alpha : {0.3f, 1.0f, 2.5f}) {
    double sum = 0.0;
    double sum_squares = 0.0;
    for (int i = 0; i < kDraws; ++i) {
      const double g = rng.gamma(alpha);
      ASSERT_TRUE(std::isfinite(g) && g >= 0.0) << "alpha " << alpha << " drew " << g;
      sum += g;
      sum_squares += g * g;
    }
    const double mean = sum / kDraws;
    const double variance = sum_squares / kDraws - mean * mean;
    EXPECT_NEAR(mean, alpha, 0.05 * alpha) << "alpha " << alpha;
    EXPECT_NEAR(variance, alpha, 0.1 * alpha) << "alpha " << alpha;
  }
  EXPECT_THROW(rng.gamma(0.0f), Fault);
}

TEST(RngTest, DirichletSumsToOneAndRefusesAlphaNotAboveZero) {
  Rng rng({14, 0, 0, 0, 0, 0, 0, 0});
  std::vector<float> sample;
  ASSERT_TRUE(rng.dirichlet(0.3f, 5, sample));
  ASSERT_EQ(sample.size(), 5u);
  for (float x : sample) EXPECT_GE(x, 0.0f);
  EXPECT_NEAR(std::accumulate(sample.begin(), sample.end(), 0.0), 1.0, 1e-5);

  ASSERT_TRUE(rng.dirichlet(2.0f, 1, sample));
  EXPECT_EQ(sample, std::vector<float>{1.0f});

  // Tiny concentrations make most single-precision gamma draws zero; the sample must
  // still be a distribution, never 0/0.
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(rng.dirichlet(0.01f, 2, sample));
    ASSERT_NEAR(sample[0] + sample[1], 1.0f, 1e-5f) << "draw " << i;
  }

  for (float alpha : {0.0f, -1.0f, std::nanf("")}) {
    EXPECT_FALSE(rng.dirichlet(alpha, 3, sample)) << "alpha " << alpha;
  }
}

}  // namespace
}  // namespace tavlox::self_play
