#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tavlox::self_play {

std::vector<float> softmax(std::vector<float> values);
std::vector<float> masked_softmax(std::span<const float> logits, std::span<const uint32_t> legal);

// The same computations into caller-owned buffers, so that repeated evaluations reuse them.
void softmax_in_place(std::span<float> values);
// `gathered` is scratch space; `out` receives the probabilities, of the logits' length.
void masked_softmax(std::span<const float> logits, std::span<const uint32_t> legal,
                    std::vector<float>& gathered, std::vector<float>& out);

}  // namespace tavlox::self_play
