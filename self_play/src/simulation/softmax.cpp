#include "softmax.h"

#include <cmath>
#include <limits>

#include "fault.h"

namespace tavlox::self_play {

void softmax_in_place(std::span<float> values) {
  // fmax follows maxNum: a NaN element is skipped by the maximum (but not by the sum).
  float max = -std::numeric_limits<float>::infinity();
  for (float value : values) max = std::fmax(max, value);
  float sum = -0.0f;
  for (float& value : values) {
    value = std::exp(value - max);
    sum += value;
  }
  for (float& value : values) value /= sum;
}

std::vector<float> softmax(std::vector<float> values) {
  softmax_in_place(values);
  return values;
}

void masked_softmax(std::span<const float> logits, std::span<const uint32_t> legal,
                    std::vector<float>& gathered, std::vector<float>& out) {
  gathered.clear();
  for (uint32_t action : legal) {
    check_index(action, logits.size());
    gathered.push_back(logits[action]);
  }
  softmax_in_place(gathered);
  out.assign(logits.size(), 0.0f);
  for (size_t k = 0; k < legal.size(); ++k) out[legal[k]] = gathered[k];
}

std::vector<float> masked_softmax(std::span<const float> logits, std::span<const uint32_t> legal) {
  std::vector<float> gathered;
  std::vector<float> probabilities;
  masked_softmax(logits, legal, gathered, probabilities);
  return probabilities;
}

}  // namespace tavlox::self_play
