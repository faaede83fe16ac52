#pragma once

#include <Python.h>

#include <cstdint>

#include "evaluator.h"
#include "py_ref.h"

namespace tavlox::python {

// Under PyPy, objects built or read item by item from C pass through its C-API emulation,
// which costs many times more than the same work done by Python code that its JIT compiles;
// so do large objects handed across, which also slow its garbage collector. The evaluation
// round trip is therefore written in Python (a short source compiled once, at module
// initialisation) and exchanges numbers with C through arrays it owns and C writes and reads
// in place. Under CPython it is not used.

// Compiles the helper. False with the Python error set.
bool load_jit_helpers();

// A Python buffer held for reading or writing in place, released with this object.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() { release(); }

  // Takes the writable buffer of `object`'s attribute `name`. False with the Python error set.
  bool take(Borrowed object, const char* name);
  void release();
  template <typename T>
  T* data() const {
    return static_cast<T*>(view_.buf);
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The evaluation round trip of one call. Not copyable: the buffers belong to its helper.
class JitExchange {
 public:
  // A round trip for states of `outer` blocks of `middle` rows of `inner` flags, putting
  // `(id, nested lists of True/False)` with the queue's "put" and receiving the reply with the
  // pipe's "recv", each looked up at its first use. False with the Python error set.
  bool open(Borrowed queue, Borrowed pipe, int32_t id, uint32_t outer, uint32_t middle,
            uint32_t inner);
  bool is_open() const { return static_cast<bool>(run_); }

  // Where the caller writes the flat 0/1 state before each exchange.
  uint8_t* state() const { return state_.data<uint8_t>(); }

  // One round trip. When the reply is a list or tuple whose first two elements are lists or
  // tuples of plain floats and ints that fit the helper's arrays, fills `out` and leaves
  // `reply` empty; otherwise sets `reply` for the caller to read. False with the Python error
  // set.
  bool run(self_play::NetworkOutput& out, Ref& reply);

 private:
  // Declared before the buffers, so that they are released before the helper owning them.
  Ref helper_;
  Ref run_;
  HeldBuffer state_;
  HeldBuffer policy_;
  HeldBuffer values_;
  HeldBuffer sizes_;
  HeldBuffer keys_;
  bool keyed_ = false;
  uint32_t rows_ = 0;
  uint32_t row_length_ = 0;

  // Each row's flags as the bits of one key, for rows short enough.
  void write_keys() const;
};

}  // namespace tavlox::python
