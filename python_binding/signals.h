#pragma once

namespace tavlox::python {

// Runs the handlers of pending signals on the calling thread, which holds the interpreter
// lock, as PyErr_CheckSignals does: 0, or -1 with the handler's exception set
// (KeyboardInterrupt for Ctrl-C). Unlike PyErr_CheckSignals it also works under PyPy.
int check_signals();

}  // namespace tavlox::python
