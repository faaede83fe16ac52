#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tavlox::self_play {

std::vector<float> softmax(std::vector<float> values);
std::vector<float> masked_softmax(std::span<const float> logits, std::span<const uint32_t> legal);

}  // namespace tavlox::self_play
