#pragma once

#include <cstdint>

#include "py_ref.h"
#include "training_game.h"

namespace tavlox::python {

// (id, (moves, policies, payoffs)): moves a list of (player, tile) tuples, policies a list of
// lists of (tile, fraction) tuples, payoffs a list of floats. Null with the Python error set.
Ref training_record(int32_t id, const self_play::TrainingRecord& record);

// (id, payoff) of a match against random players. Null with the Python error set.
Ref match_result(int32_t id, float payoff);

// Calls queue.put(item) with a finished result (null when building it failed, the error
// set). Returns whether the result was handed over; an error is discarded, except an
// interrupt, which is thrown as PythonInterrupt.
bool deliver(Borrowed queue, Ref item);

}  // namespace tavlox::python
