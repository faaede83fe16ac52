#include "game_task.h"

#include "batched_engine.h"
#include "board.h"

namespace tavlox::self_play {

GameTask::GameTask(BatchedEngine& engine, std::size_t thread, Fiber::Body body, uint32_t dim)
    : engine(engine),
      thread(thread),
      fiber(body, this),
      evaluators{SlotEvaluator(engine, *this, 0), SlotEvaluator(engine, *this, 1)} {
  reply.policy_logits.resize(std::size_t(dim) * dim);
  reply.value_logits.resize(kPlayers);
}

std::optional<EvaluationError> SlotEvaluator::infer(const Game& game, NetworkOutput& out) {
  if (auto error = engine_.request(task_, network_, game)) return error;
  out.policy_logits.assign(task_.reply.policy_logits.begin(), task_.reply.policy_logits.end());
  out.value_logits.assign(task_.reply.value_logits.begin(), task_.reply.value_logits.end());
  return std::nullopt;
}

}  // namespace tavlox::self_play
