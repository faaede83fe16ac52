#include "evaluate.h"

#include <algorithm>

#include "fault.h"
#include "softmax.h"

namespace tavlox::self_play {
namespace {

// Mover-relative values to absolute player order: element i moves to (i + player) mod len.
void rotate_to_absolute(ValueVector& values, uint32_t player) {
  if (player > values.size()) {
    fail("too few value logits: " + std::to_string(values.size()) + " for player " +
         std::to_string(player));
  }
  std::rotate(values.begin(), values.end() - player, values.end());
}

// Only the first `old_count` children can share an action with a new one: the new ones
// come in ascending order, each action once.
void replace_or_append(std::vector<SearchNode>& children, size_t old_count, SearchNode child) {
  const auto old_end = children.begin() + std::ptrdiff_t(old_count);
  const auto found = std::find_if(children.begin(), old_end, [&](const SearchNode& existing) {
    return existing.action == child.action;
  });
  if (found != old_end) {
    *found = std::move(child);
  } else {
    children.push_back(std::move(child));
  }
}

// One child per action with a positive probability (NaN and 0 are skipped), created in
// ascending action order and then shuffled once, so that every node walks its children in
// its own random order. A child already present under an action is replaced.
void expand(SearchNode& node, const std::vector<float>& policy, Rng& rng) {
  const size_t old_count = node.children.size();
  for (uint32_t action = 0; action < policy.size(); ++action) {
    if (!(policy[action] > 0.0f)) continue;
    SearchNode child;
    child.action = action;
    child.prior = policy[action];
    replace_or_append(node.children, old_count, std::move(child));
  }
  rng.shuffle(node.children);
}

}  // namespace

std::optional<EvaluationError> evaluate(Evaluator& evaluator, SearchNode& node, const Game& game,
                                        Rng& rng, ValueVector& values, EvaluationScratch& scratch) {
  if (game.is_terminal()) {
    const Payoff payoff = game.get_payoff();
    values.assign(payoff.begin(), payoff.end());
    return std::nullopt;
  }
  if (auto error = evaluator.infer(game, scratch.output)) return error;

  const uint32_t player = game.player();
  game.legal_tiles(scratch.legal);
  masked_softmax(scratch.output.policy_logits, scratch.legal, scratch.gathered, scratch.policy);
  values.assign(scratch.output.value_logits.begin(), scratch.output.value_logits.end());
  softmax_in_place(values);
  rotate_to_absolute(values, player);

  node.player = player;
  // Too few values for the mover is a fault that the backup reports; nothing is read here.
  node.network_value = player < values.size() ? values[player] : 0.0f;
  expand(node, scratch.policy, rng);
  return std::nullopt;
}

std::optional<EvaluationError> evaluate(Evaluator& evaluator, SearchNode& node, const Game& game,
                                        Rng& rng, ValueVector& values) {
  EvaluationScratch scratch;
  return evaluate(evaluator, node, game, rng, values, scratch);
}

}  // namespace tavlox::self_play
