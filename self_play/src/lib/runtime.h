#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "config.h"
#include "evaluator.h"
#include "py_ref.h"

namespace tavlox::python {

// One exported call's link to a network: puts `(id, state)` requests on an inference queue
// and reads the replies from a pipe. The exported function owns the queue and the pipe; the
// runtime only refers to them. The bound methods "put" and "recv" are looked up once, at the
// first evaluation, and reused for the rest of the call.
class Runtime final : public self_play::Evaluator {
 public:
  Runtime(Borrowed inference_queue, Borrowed pipe, const self_play::Config& config, int32_t id);

  // Python exceptions become evaluation errors, except interrupts (KeyboardInterrupt,
  // SystemExit, ...), which are thrown as PythonInterrupt.
  std::optional<self_play::EvaluationError> infer(const Game& game,
                                                  self_play::NetworkOutput& out) override;

 private:
  bool channels_last() const;
  Ref request(const Game& game);
  bool refill_last_request(uint32_t outer, uint32_t middle, uint32_t inner);
  Ref round_trip(const Game& game);
  bool read_reply(Borrowed reply, self_play::NetworkOutput& out);

  Borrowed inference_queue_;
  Borrowed pipe_;
  std::size_t rep_;
  int32_t id_;
  Ref put_;
  Ref recv_;
  Ref last_request_;
  std::vector<uint8_t> state_;
};

}  // namespace tavlox::python
