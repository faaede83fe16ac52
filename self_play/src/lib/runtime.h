#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "config.h"
#include "evaluator.h"
#include "jit_helpers.h"
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
  // Runs the handlers of pending signals (the lock is held on the calling thread): Ctrl-C
  // stops a search that no longer calls Python as it would stop put or recv.
  std::optional<self_play::EvaluationError> poll() override;

 private:
  using Shape = std::array<uint32_t, 3>;

  bool channels_last() const;
  Shape shape(const Game& game) const;
#ifdef PYPY_VERSION
  // The round trip through the Python helper; false with the Python error set.
  bool exchange(const Game& game, self_play::NetworkOutput& out);
#else
  // Puts the request for `game`; false with the Python error set.
  bool put_request(const Game& game);
  Ref request(const Shape& shape);
  // Puts the request and waits for the reply; null with the Python error set.
  Ref round_trip(const Game& game);
#endif
  bool read_reply(Borrowed reply, self_play::NetworkOutput& out);

  Borrowed inference_queue_;
  Borrowed pipe_;
  std::size_t rep_;
  int32_t id_;
#ifdef PYPY_VERSION
  JitExchange exchange_;
  Shape exchange_shape_{};
#else
  Ref put_;
  Ref recv_;
  Ref last_request_;
  std::vector<uint8_t> state_;
#endif
};

}  // namespace tavlox::python
