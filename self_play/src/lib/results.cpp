#include "results.h"

#include <span>

#include "py_list.h"
#include "python_error.h"

namespace tavlox::python {
namespace {

Ref pair(Ref first, Ref second) {
  Ref tuple = first && second ? Ref::steal(PyTuple_New(2)) : Ref();
  if (!tuple) return tuple;
  PyTuple_SET_ITEM(tuple.get(), 0, first.release());
  PyTuple_SET_ITEM(tuple.get(), 1, second.release());
  return tuple;
}

Ref integer(long value) {
  return Ref::steal(PyLong_FromLong(value));
}
Ref number(float value) {
  return Ref::steal(PyFloat_FromDouble(double(value)));
}

// A list with one converted object per item.
template <typename Item, typename Convert>
Ref list_of(std::span<const Item> items, Convert&& convert) {
  return make_list(items.size(), [&](size_t i) { return convert(items[i]); });
}

Ref moves_list(std::span<const HistoryEntry> moves) {
  return list_of(moves, [](const HistoryEntry& move) {
    return pair(integer(move.player), integer(move.tile));
  });
}

Ref policy_list(std::span<const std::pair<int32_t, float>> policy) {
  return list_of(policy, [](const std::pair<int32_t, float>& entry) {
    return pair(integer(entry.first), number(entry.second));
  });
}

Ref policies_list(std::span<const self_play::RootPolicy> policies) {
  return list_of(policies, [](const self_play::RootPolicy& policy) { return policy_list(policy); });
}

Ref payoffs_list(std::span<const float> payoffs) {
  return list_of(payoffs, number);
}

}  // namespace

Ref training_record(int32_t id, const self_play::TrainingRecord& record) {
  Ref id_object = integer(id);
  Ref moves = id_object ? moves_list(record.moves) : Ref();
  Ref policies = moves ? policies_list(record.policies) : Ref();
  Ref payoffs = policies ? payoffs_list(record.payoffs) : Ref();
  if (!payoffs) return Ref();
  Ref data = Ref::steal(PyTuple_New(3));
  if (!data) return data;
  PyTuple_SET_ITEM(data.get(), 0, moves.release());
  PyTuple_SET_ITEM(data.get(), 1, policies.release());
  PyTuple_SET_ITEM(data.get(), 2, payoffs.release());
  return pair(std::move(id_object), std::move(data));
}

Ref match_result(int32_t id, float payoff) {
  return pair(integer(id), number(payoff));
}

bool deliver(Borrowed queue, Ref item) {
  if (item) {
    const Ref put = Ref::steal(PyObject_GetAttrString(queue, "put"));
    if (put && Ref::steal(PyObject_CallOneArg(put.get(), item.get()))) return true;
  }
  take_error();
  return false;
}

}  // namespace tavlox::python
