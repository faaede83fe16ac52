#include "runtime.h"

#include "fault.h"
#include "python_error.h"
#include "reply.h"
#include "state_lists.h"

namespace tavlox::python {
namespace {

// The bound method `name` of `object`, looked up into `method` on first use.
Borrowed method_of(Borrowed object, const char* name, Ref& method) {
  if (!method) method = Ref::steal(PyObject_GetAttrString(object, name));
  return method.get();
}

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

Ref Runtime::request(const Game& game) {
  const bool last = channels_last();
  const uint32_t dim = game.dim();
  state_.resize(size_t(kStatePlanes) * dim * dim);
  game.write_game_state(last, state_.data());
  const uint32_t outer = last ? dim : kStatePlanes;
  const uint32_t inner = last ? kStatePlanes : dim;
  if (refill_last_request(outer, dim, inner)) return last_request_;
  Ref state = nested_bool_lists(state_.data(), outer, dim, inner);
  Ref id = Ref::steal(PyLong_FromLong(id_));
  Ref tuple = state && id ? Ref::steal(PyTuple_New(2)) : Ref();
  if (!tuple) return tuple;
  PyTuple_SET_ITEM(tuple.get(), 0, id.release());
  PyTuple_SET_ITEM(tuple.get(), 1, state.release());
#ifndef PYPY_VERSION
  last_request_ = tuple;
#endif
  return tuple;
}

// Building and releasing some two thousand list items per request is most of the bridge's
// cost. When the consumer kept no reference to any part of the previous request, nobody can
// tell it apart from a new one, so it is refilled in place. Reference counts mean nothing of
// the kind under PyPy, which always gets new lists.
bool Runtime::refill_last_request([[maybe_unused]] uint32_t outer, [[maybe_unused]] uint32_t middle,
                                  [[maybe_unused]] uint32_t inner) {
#ifdef PYPY_VERSION
  return false;
#else
  return last_request_ && Py_REFCNT(last_request_.get()) == 1 &&
         refill_bool_lists(PyTuple_GET_ITEM(last_request_.get(), 1), state_.data(), outer, middle,
                           inner);
#endif
}

// Puts the request and waits for the reply; null with the Python error set.
Ref Runtime::round_trip(const Game& game) {
  const Ref request_tuple = request(game);
  if (!request_tuple) return Ref();
  Borrowed put = method_of(inference_queue_, "put", put_);
  if (put == nullptr) return Ref();
  if (!Ref::steal(PyObject_CallOneArg(put, request_tuple.get()))) return Ref();
  Borrowed recv = method_of(pipe_, "recv", recv_);
  return recv != nullptr ? Ref::steal(PyObject_CallNoArgs(recv)) : Ref();
}

// Element 0 is fetched and converted completely before element 1 is fetched.
bool Runtime::read_reply(Borrowed reply, self_play::NetworkOutput& out) {
  const Ref policy = reply_element(reply, 0);
  if (!policy || !read_floats(policy.get(), "policy logits", out.policy_logits)) return false;
  const Ref values = reply_element(reply, 1);
  return values && read_floats(values.get(), "value logits", out.value_logits);
}

std::optional<self_play::EvaluationError> Runtime::infer(const Game& game,
                                                         self_play::NetworkOutput& out) {
  const Ref reply = round_trip(game);
  if (!reply || !read_reply(reply.get(), out)) return evaluation_error();
  return std::nullopt;
}

}  // namespace tavlox::python
