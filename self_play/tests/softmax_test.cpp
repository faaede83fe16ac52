#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fault.h"
#include "softmax.h"

namespace tavlox::self_play {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(SoftmaxTest, NormalisesWithoutOverflow) {
  EXPECT_EQ(softmax({0, 0, 0, 0}), (std::vector<float>{0.25f, 0.25f, 0.25f, 0.25f}));
  EXPECT_EQ(softmax({1000, 0}), (std::vector<float>{1.0f, 0.0f}));
  EXPECT_TRUE(softmax({}).empty());
  const auto p = softmax({1, 2, 3});
  EXPECT_NEAR(p[2] / p[1], std::exp(1.0f), 1e-5f);
  EXPECT_NEAR(p[0] + p[1] + p[2], 1.0f, 1e-6f);
}

TEST(SoftmaxTest, NaNInputPoisonsEveryOutput) {
  for (float p : softmax({1, std::nanf(""), 2})) EXPECT_TRUE(std::isnan(p)) << p;
}

TEST(SoftmaxTest, NegativeInfinityGetsZeroUnlessAllAre) {
  EXPECT_EQ(softmax({-kInf, 0}), (std::vector<float>{0.0f, 1.0f}));
  for (float p : softmax({-kInf, -kInf})) EXPECT_TRUE(std::isnan(p)) << p;
}

TEST(MaskedSoftmaxTest, NormalisesOnlyLegalActions) {
  const std::vector<float> logits = {5, 1, 3};
  const std::vector<uint32_t> legal = {2, 1};
  const auto p = masked_softmax(logits, legal);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0], 0.0f) << "the illegal action 0 took probability";
  EXPECT_NEAR(p[1], 0.1192f, 1e-4f);
  EXPECT_NEAR(p[2], 0.8808f, 1e-4f);
}

TEST(MaskedSoftmaxTest, EmptyLegalListGivesZerosOfLogitsLength) {
  const std::vector<float> logits = {1, 2, 3, 4};
  EXPECT_EQ(masked_softmax(logits, {}), std::vector<float>(4, 0.0f));
}

TEST(MaskedSoftmaxTest, LegalIndexBeyondLogitsIsAFault) {
  const std::vector<float> logits = {1, 2};
  const std::vector<uint32_t> legal = {0, 2};
  EXPECT_THROW(masked_softmax(logits, legal), Fault);
}

}  // namespace
}  // namespace tavlox::self_play
