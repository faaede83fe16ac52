#include "gumbel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

namespace tavlox::self_play {
namespace {

// A standard Gumbel draw from a uniform strictly inside (0, 1).
float gumbel_draw(Rng& rng) {
  const float u = (float(rng.next_u32() >> 8) + 0.5f) * 0x1p-24f;
  return -std::log(-std::log(u));
}

std::size_t ceil_log2(std::size_t n) {
  std::size_t phases = 0;
  while ((std::size_t(1) << phases) < n) ++phases;
  return phases;
}

// sigma of the completed Q of every child, in child order. A visited child's Q is its mean
// value in the mover's terms; an unvisited one gets the mixed value of the root's network
// value and the prior-weighted Q of the visited children. Q is rescaled to [0, 1] by the
// range of the visited children (kept raw when they are all equal).
std::vector<float> transformed_q(const SearchNode& root, float root_value,
                                 const SearchSettings& settings) {
  float low = std::numeric_limits<float>::infinity();
  float high = -low;
  uint32_t visits = 0, most_visits = 0;
  double visited_prior = 0.0, weighted_q = 0.0;
  for (const SearchNode& child : root.children) {
    most_visits = std::max(most_visits, child.visit_count);
    if (child.visit_count == 0) continue;
    const float q = child.value_sum / float(child.visit_count);
    low = std::min(low, q);
    high = std::max(high, q);
    visits += child.visit_count;
    visited_prior += child.prior;
    weighted_q += double(child.prior) * q;
  }
  float mixed = root_value;
  if (visits != 0 && visited_prior > 0.0) {
    mixed = float((double(root_value) + double(visits) / visited_prior * weighted_q) /
                  (1.0 + double(visits)));
  }
  const bool spread = high > low;
  const float scale = (settings.c_visit + float(most_visits)) * settings.c_scale;
  std::vector<float> sigma;
  sigma.reserve(root.children.size());
  for (const SearchNode& child : root.children) {
    float q = child.visit_count != 0 ? child.value_sum / float(child.visit_count) : mixed;
    if (spread) q = std::clamp((q - low) / (high - low), 0.0f, 1.0f);
    sigma.push_back(scale * q);
  }
  return sigma;
}

}  // namespace

Status run_gumbel(Evaluator& evaluator, const Config& config, const SearchSettings& settings,
                  std::size_t simulations, bool gumbel_noise, SearchNode& root, const Game& game,
                  Rng& rng, RootChoice& choice) {
  SearchScratch scratch;
  return run_gumbel(evaluator, config, settings, simulations, gumbel_noise, root, game, rng, choice,
                    scratch);
}

Status run_gumbel(Evaluator& evaluator, const Config& config, const SearchSettings& settings,
                  std::size_t simulations, bool gumbel_noise, SearchNode& root, const Game& game,
                  Rng& rng, RootChoice& choice, SearchScratch& scratch) {
  scratch.forget_leaf_values();
  float root_value = root.network_value;
  if (root.is_leaf()) {
    if (auto error = evaluate(evaluator, root, game, rng, scratch.values, scratch.evaluation)) {
      return "Error evaluating root node: " + error->display;
    }
    root_value = root.network_value;
  }
  choice.policy.clear();
  const std::size_t count = root.children.size();
  if (count == 0) return std::nullopt;

  std::vector<float> base(count);  // Gumbel draw + log prior
  for (std::size_t i = 0; i < count; ++i) {
    base[i] = (gumbel_noise ? gumbel_draw(rng) : 0.0f) + std::log(root.children[i].prior);
  }
  std::vector<std::size_t> remaining(count);
  std::iota(remaining.begin(), remaining.end(), 0);
  const auto by_score = [&](const std::vector<float>& score) {
    std::stable_sort(remaining.begin(), remaining.end(),
                     [&](std::size_t a, std::size_t b) { return score[a] > score[b]; });
  };
  by_score(base);
  remaining.resize(std::min(settings.gumbel_actions, count));

  std::vector<float> score(count);
  const auto rescore = [&] {
    const std::vector<float> sigma = transformed_q(root, root_value, settings);
    for (std::size_t i = 0; i < count; ++i) score[i] = base[i] + sigma[i];
  };
  if (simulations > 0) {
    // A reused root brings visits from earlier searches; the halving counts only this one's.
    std::vector<uint32_t> earlier(count);
    for (std::size_t i = 0; i < count; ++i) earlier[i] = root.children[i].visit_count;
    const auto added = [&](std::size_t index) {
      return root.children[index].visit_count - earlier[index];
    };
    const std::size_t phases = std::max<std::size_t>(1, ceil_log2(remaining.size()));
    const SearchOptions leaf_options = search_options(settings, simulations, false);
    Game simulation = game;
    std::size_t done = 0;
    // The phases' rounding can leave simulations over: the last two actions share them.
    for (std::size_t phase = 0; done < simulations; ++phase) {
      if (phase != 0 && phase < phases) remaining.resize((remaining.size() + 1) / 2);
      const std::size_t each = std::max<std::size_t>(1, simulations / (phases * remaining.size()));
      for (std::size_t k = 0; k < each && done < simulations; ++k) {
        for (std::size_t i = 0; i < remaining.size() && done < simulations; ++i) {
          // Assignment reuses the copy's buffers.
          if (done != 0) simulation = game;
          if (auto error = simulate(evaluator, config, leaf_options, root,
                                    &root.children[remaining[i]], simulation, rng, scratch)) {
            return error;
          }
          if (++done % kPollInterval == 0) {
            if (auto error = evaluator.poll()) return std::move(error->display);
          }
        }
      }
      rescore();
      by_score(score);
    }
    // A budget spent inside a phase leaves its actions with unequal visits: the choice is
    // among the most visited of them.
    uint32_t most = 0;
    for (const std::size_t index : remaining) most = std::max(most, added(index));
    std::erase_if(remaining, [&](std::size_t index) { return added(index) < most; });
  } else {
    rescore();
    by_score(score);
  }
  choice.action = root.children[remaining.front()].action;

  // The policy target: softmax of log prior + sigma(completed Q) over every child.
  const std::vector<float> sigma = transformed_q(root, root_value, settings);
  std::vector<float> logits(count);
  for (std::size_t i = 0; i < count; ++i) logits[i] = std::log(root.children[i].prior) + sigma[i];
  const float top = *std::max_element(logits.begin(), logits.end());
  double total = 0.0;
  for (float& logit : logits) total += (logit = std::exp(logit - top));
  choice.policy.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    choice.policy.emplace_back(int32_t(root.children[i].action), float(logits[i] / total));
  }
  return std::nullopt;
}

}  // namespace tavlox::self_play
