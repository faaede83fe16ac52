#include "jit_helpers.h"

namespace tavlox::python {
namespace {

// Exchange.run() returns None when it wrote the reply's numbers into the arrays, their counts
// into `sizes`, or else (reply,) when the reply is not plain enough to copy without running
// any of its code: the caller then reads it item by item, raising the errors that a
// malformed reply deserves.
constexpr const char* kSource = R"python(
from array import array

FLAGS = (False, True)
# Row patterns remembered per call; far more than a game of the standard board meets.
ROW_CACHE_LIMIT = 1 << 16


def copy_numbers(element, out):
    kind = type(element)
    if (kind is not list and kind is not tuple) or len(element) > len(out):
        return -1
    i = 0
    for item in element:
        kind = type(item)
        if kind is float:
            out[i] = item
        elif kind is int and -(1 << 53) <= item <= (1 << 53):
            out[i] = float(item)
        else:
            return -1
        i += 1
    return i


class Exchange:
    def __init__(self, queue, pipe, id, outer, middle, inner, values, keyed):
        self.queue, self.pipe, self.id = queue, pipe, id
        self.shape = (outer, middle, inner)
        self.state = array("B", bytes(outer * middle * inner))
        # With `keyed`, C also writes each row's flags as the bits of one integer key, and
        # rows are copied from a tuple made once per pattern.
        self.keyed = keyed
        self.keys = array("q", bytes(8 * outer * middle if keyed else 8))
        self.patterns = {}
        self.policy = array("d", bytes(8 * outer * middle * inner))
        self.values = array("d", bytes(8 * values))
        self.sizes = array("q", bytes(16))
        self.put = self.recv = None

    def lists(self):
        outer, middle, inner = self.shape
        if not self.keyed:
            block_size = middle * inner
            flags = FLAGS
            cells = [flags[flag] for flag in self.state]
            return [[cells[row:row + inner] for row in range(block, block + block_size, inner)]
                    for block in range(0, outer * block_size, block_size)]
        patterns = self.patterns
        if len(patterns) > ROW_CACHE_LIMIT:
            patterns.clear()
        rows = []
        for key in self.keys:
            pattern = patterns.get(key)
            if pattern is None:
                pattern = patterns[key] = tuple([key >> k & 1 == 1 for k in range(inner)])
            rows.append(list(pattern))
        return [rows[block:block + middle] for block in range(0, outer * middle, middle)]

    def run(self):
        request = (self.id, self.lists())
        if self.put is None:
            self.put = self.queue.put
        self.put(request)
        if self.recv is None:
            self.recv = self.pipe.recv
        reply = self.recv()
        kind = type(reply)
        if (kind is tuple or kind is list) and len(reply) >= 2:
            policy = copy_numbers(reply[0], self.policy)
            if policy >= 0:
                values = copy_numbers(reply[1], self.values)
                if values >= 0:
                    self.sizes[0], self.sizes[1] = policy, values
                    return None
        return (reply,)
)python";

// Room for this many value logits; a longer reply is read item by item.
constexpr uint32_t kValueCapacity = 16;
// Rows of at most this many flags are handed over as integer keys as well.
constexpr uint32_t kRowKeyBits = 62;

// The helper's class, kept for the life of the process like the module object.
PyObject* exchange_type = nullptr;

}  // namespace

bool load_jit_helpers() {
  if (exchange_type != nullptr) return true;
  const Ref code =
      Ref::steal(Py_CompileString(kSource, "<tavlox_self_play exchange>", Py_file_input));
  const Ref globals = code ? Ref::steal(PyDict_New()) : Ref();
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
      PyDict_SetItemString(globals.get(), "__name__", Py_None) < 0 ||
      !Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()))) {
    return false;
  }
  exchange_type = Ref::borrow(PyDict_GetItemString(globals.get(), "Exchange")).release();
  return exchange_type != nullptr;
}

bool HeldBuffer::take(Borrowed object, const char* name) {
  release();
  const Ref owner = Ref::steal(PyObject_GetAttrString(object, name));
  held_ = owner && PyObject_GetBuffer(owner.get(), &view_, PyBUF_WRITABLE) == 0;
  return held_;
}

void HeldBuffer::release() {
  if (held_) PyBuffer_Release(&view_);
  held_ = false;
}

bool JitExchange::open(Borrowed queue, Borrowed pipe, int32_t id, uint32_t outer, uint32_t middle,
                       uint32_t inner) {
  for (HeldBuffer* buffer : {&state_, &policy_, &values_, &sizes_, &keys_}) buffer->release();
  run_ = Ref();
  keyed_ = inner <= kRowKeyBits;
  rows_ = outer * middle;
  row_length_ = inner;
  helper_ =
      Ref::steal(PyObject_CallFunction(exchange_type, "OOlIIIIO", queue, pipe, long(id), outer,
                                       middle, inner, kValueCapacity, keyed_ ? Py_True : Py_False));
  if (!helper_ || !state_.take(helper_.get(), "state") || !policy_.take(helper_.get(), "policy") ||
      !values_.take(helper_.get(), "values") || !sizes_.take(helper_.get(), "sizes") ||
      !keys_.take(helper_.get(), "keys")) {
    return false;
  }
  run_ = Ref::steal(PyObject_GetAttrString(helper_.get(), "run"));
  return is_open();
}

void JitExchange::write_keys() const {
  const uint8_t* flags = state_.data<uint8_t>();
  int64_t* keys = keys_.data<int64_t>();
  for (uint32_t row = 0; row < rows_; ++row, flags += row_length_) {
    int64_t key = 0;
    for (uint32_t k = 0; k < row_length_; ++k) key |= int64_t(flags[k] != 0) << k;
    keys[row] = key;
  }
}

bool JitExchange::run(self_play::NetworkOutput& out, Ref& reply) {
  if (keyed_) write_keys();
  const Ref result = Ref::steal(PyObject_CallNoArgs(run_.get()));
  if (!result) return false;
  if (result.get() != Py_None) {
    reply = Ref::borrow(PyTuple_GET_ITEM(result.get(), 0));
    return true;
  }
  const int64_t* sizes = sizes_.data<int64_t>();
  const double* policy = policy_.data<double>();
  const double* values = values_.data<double>();
  out.policy_logits.assign(policy, policy + sizes[0]);
  out.value_logits.assign(values, values + sizes[1]);
  reply = Ref();
  return true;
}

}  // namespace tavlox::python
