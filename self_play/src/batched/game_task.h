#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "evaluator.h"
#include "fiber.h"

namespace tavlox::self_play {

class BatchedEngine;
struct GameTask;

// The evaluator a game of the batched engine sees: the position is encoded straight into a
// row of the network's batch buffer, the game yields to its search thread, and it goes on
// once the network's answer for that row has been copied into the task's reply.
//
// `out` belongs to the search of this game (each search owns its buffers), and the answer
// is written into it only after this game has been resumed, so games sharing a search thread
// never see each other's answers.
class SlotEvaluator final : public Evaluator {
 public:
  SlotEvaluator(BatchedEngine& engine, GameTask& task, uint32_t network)
      : engine_(engine), task_(task), network_(network) {}
  std::optional<EvaluationError> infer(const Game& game, NetworkOutput& out) override;

 private:
  BatchedEngine& engine_;
  GameTask& task_;
  uint32_t network_;
};

// One fiber of the batched engine: it plays game after game until none are left, on the
// search thread that owns it.
struct GameTask {
  GameTask(BatchedEngine& engine, std::size_t thread, Fiber::Body body, uint32_t dim);

  BatchedEngine& engine;
  std::size_t thread;
  Fiber fiber;
  std::array<SlotEvaluator, 2> evaluators;
  // The answer to the last request, copied out of the batch buffer at submission.
  NetworkOutput reply;
  // Set instead of a reply when the run was stopped while this game waited.
  bool cancelled = false;
};

}  // namespace tavlox::self_play
