#include "runtime.h"

#include "fault.h"
#include "jit_helpers.h"
#include "python_error.h"
#include "reply.h"
#include "signals.h"
#include "state_lists.h"

namespace tavlox::python {
namespace {

#ifndef PYPY_VERSION
// The bound method `name` of `object`, looked up into `method` on first use.
Borrowed method_of(Borrowed object, const char* name, Ref& method) {
  if (!method) method = Ref::steal(PyObject_GetAttrString(object, name));
  return method.get();
}
#endif

self_play::EvaluationError evaluation_error() {
  const FetchedError error = take_error();
  return {error.display(), error.debug()};
}

}  // namespace

Runtime::Runtime(Borrowed inference_queue, Borrowed pipe, const self_play::Config& config,
                 int32_t id)
    : inference_queue_(inference_queue), pipe_(pipe), rep_(config.rep), id_(id) {}

bool Runtime::channels_last() const {
  if (rep_ == 1) return false;
  if (rep_ == 2) return true;
  fail("Invalid representation type");
}

// The nesting of the request: channels, rows, columns (rep 1) or rows, columns, channels
// (rep 2).
Runtime::Shape Runtime::shape(const Game& game) const {
  const uint32_t dim = game.dim();
  return channels_last() ? Shape{dim, dim, kStatePlanes} : Shape{kStatePlanes, dim, dim};
}

#ifdef PYPY_VERSION
// Under PyPy the round trip runs in a Python helper that its JIT compiles, and the state and
// the reply's numbers pass through arrays it owns: building the lists and reading the reply
// through the C API costs many times more. The helper is made once per call.
bool Runtime::exchange(const Game& game, self_play::NetworkOutput& out) {
  const Shape nesting = shape(game);
  if (!exchange_.is_open() || exchange_shape_ != nesting) {
    exchange_shape_ = nesting;
    if (!exchange_.open(inference_queue_, pipe_, id_, nesting[0], nesting[1], nesting[2])) {
      return false;
    }
  }
  game.write_game_state(channels_last(), exchange_.state());
  Ref reply;
  return exchange_.run(out, reply) && (!reply || read_reply(reply.get(), out));
}
#else
bool Runtime::put_request(const Game& game) {
  const Shape nesting = shape(game);
  state_.resize(size_t(kStatePlanes) * game.dim() * game.dim());
  game.write_game_state(channels_last(), state_.data());
  const Ref request_tuple = request(nesting);
  if (!request_tuple) return false;
  Borrowed put = method_of(inference_queue_, "put", put_);
  return put != nullptr && Ref::steal(PyObject_CallOneArg(put, request_tuple.get()));
}

// Building and releasing some two thousand list items per request is most of the bridge's
// cost. When the consumer kept no reference to any part of the previous request, nobody can
// tell it apart from a new one, so it is refilled in place.
Ref Runtime::request(const Shape& shape) {
  const auto [outer, middle, inner] = shape;
  if (last_request_ && Py_REFCNT(last_request_.get()) == 1 &&
      refill_bool_lists(PyTuple_GET_ITEM(last_request_.get(), 1), state_.data(), outer, middle,
                        inner)) {
    return last_request_;
  }
  Ref state = nested_bool_lists(state_.data(), outer, middle, inner);
  Ref id = Ref::steal(PyLong_FromLong(id_));
  Ref tuple = state && id ? Ref::steal(PyTuple_New(2)) : Ref();
  if (!tuple) return tuple;
  PyTuple_SET_ITEM(tuple.get(), 0, id.release());
  PyTuple_SET_ITEM(tuple.get(), 1, state.release());
  last_request_ = tuple;
  return tuple;
}

// Puts the request and waits for the reply; null with the Python error set.
Ref Runtime::round_trip(const Game& game) {
  if (!put_request(game)) return Ref();
  Borrowed recv = method_of(pipe_, "recv", recv_);
  return recv != nullptr ? Ref::steal(PyObject_CallNoArgs(recv)) : Ref();
}
#endif

// Element 0 is fetched and converted completely before element 1 is fetched.
bool Runtime::read_reply(Borrowed reply, self_play::NetworkOutput& out) {
  const Ref policy = reply_element(reply, 0);
  if (!policy || !read_floats(policy.get(), "policy logits", out.policy_logits)) return false;
  const Ref values = reply_element(reply, 1);
  return values && read_floats(values.get(), "value logits", out.value_logits);
}

std::optional<self_play::EvaluationError> Runtime::infer(const Game& game,
                                                         self_play::NetworkOutput& out) {
#ifdef PYPY_VERSION
  if (!exchange(game, out)) return evaluation_error();
#else
  const Ref reply = round_trip(game);
  if (!reply || !read_reply(reply.get(), out)) return evaluation_error();
#endif
  return std::nullopt;
}

std::optional<self_play::EvaluationError> Runtime::poll() {
  if (check_signals() == 0) return std::nullopt;
  return evaluation_error();
}

}  // namespace tavlox::python
