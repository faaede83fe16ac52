#pragma once

#include <cstdint>

#include "py_ref.h"

namespace tavlox::python {

// Nested Python lists of True/False, `outer` lists of `middle` lists of `inner` booleans,
// read from a flat array of 0/1 bytes in that nesting order. Null with the Python error set
// when Python runs out of memory.
Ref nested_bool_lists(const uint8_t* flat, uint32_t outer, uint32_t middle, uint32_t inner);

// Rewrites lists made by nested_bool_lists with new flags, in place, when nobody else can
// see them: every list referenced only by its parent (the outermost only by its owner), of
// the expected size, holding only True and False. Returns false, having changed nothing that
// anybody else can see, when that is not so; the caller then builds new lists.
bool refill_bool_lists(Borrowed lists, const uint8_t* flat, uint32_t outer, uint32_t middle,
                       uint32_t inner);

}  // namespace tavlox::python
