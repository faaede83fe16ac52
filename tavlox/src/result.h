#pragma once

#include <optional>
#include <string>
#include <variant>

namespace tavlox {

// Errors returned as values, the convention of the rules library and the engine: an operation
// that can fail in an expected way (an illegal tile, a search that found no move, a network
// call that raised) returns Result<T>, its value or the error text that stopped it, or Status
// when it has no value (empty on success). The caller decides what an error means for it.
// Evaluations carry the richer EvaluationError (evaluator.h) to the first caller that turns it
// into text. Broken preconditions and impossible states never travel this way: they are faults,
// thrown as tavlox::Fault (fault.h), which stop the whole call.
using ErrorText = std::string;

template <typename T>
using Result = std::variant<T, ErrorText>;

using Status = std::optional<ErrorText>;

// The error of `result`, or null when it holds a value.
template <typename T>
const ErrorText* error_of(const Result<T>& result) {
  return std::get_if<ErrorText>(&result);
}

template <typename T>
ErrorText* error_of(Result<T>& result) {
  return std::get_if<ErrorText>(&result);
}

}  // namespace tavlox
