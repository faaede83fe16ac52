#pragma once

#include <string_view>

#include "matches.h"

namespace tavlox::python {

// The matches' text output: Python's sys.stdout, written line by line through its write
// method, or the process's standard output when sys.stdout is missing, None or fails.
class PythonStdout final : public self_play::TextOutput {
 public:
  void write(std::string_view text) override;
};

}  // namespace tavlox::python
