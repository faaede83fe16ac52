#include "functions.h"

#include <array>
#include <optional>

#include "arguments.h"
#include "config_conversion.h"
#include "fault.h"
#include "matches.h"
#include "panic.h"
#include "python_output.h"
#include "results.h"
#include "runtime.h"
#include "training_game.h"

namespace tavlox::python {
namespace {

using self_play::Config;

constexpr std::array<const char*, 5> kTrainingParameters{"id", "config", "result_queue",
                                                         "inference_queue", "pipe"};
constexpr std::array<const char*, 6> kTestGameParameters{
    "id", "config", "result_queue", "model_queue", "baseline_queue", "pipe"};

// The arguments of one call: the converted id and a strong reference to each other argument,
// held until the call returns.
template <size_t N>
struct Arguments {
  int32_t id = 0;
  std::array<Ref, N> objects;  // index = parameter position; entry 0 (the id) stays empty

  Borrowed operator[](size_t parameter) const { return objects[parameter].get(); }
};

template <size_t N>
std::optional<Arguments<N>> bind(const char* function, const std::array<const char*, N>& parameters,
                                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<Borrowed, N> bound{};
  if (!bind_arguments({function, parameters}, args, nargs, kwnames, bound)) return std::nullopt;
  const std::optional<int32_t> id = convert_id(bound[0]);
  if (!id) return std::nullopt;
  Arguments<N> arguments;
  arguments.id = *id;
  for (size_t i = 1; i < N; ++i) arguments.objects[i] = Ref::borrow(bound[i]);
  return arguments;
}

// A config that does not convert is a fault carrying the debug form of the Python error.
Config config_of(Borrowed object) {
  if (std::optional<Config> config = convert_config(object)) return *config;
  fail(take_error().debug());
}

PyObject* status(bool delivered) {
  return PyLong_FromLong(delivered ? 0 : 1);
}

}  // namespace

PyObject* play_training_game(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return run_guarded([&]() -> PyObject* {
    auto arguments = bind("play_training_game", kTrainingParameters, args, nargs, kwnames);
    if (!arguments) return nullptr;
    const Config config = config_of((*arguments)[1]);
    Runtime runtime((*arguments)[3], (*arguments)[4], config, arguments->id);
    auto outcome = self_play::training_game(runtime, config, self_play::Rng::for_this_thread());
    const auto* record = std::get_if<self_play::TrainingRecord>(&outcome);
    if (record == nullptr) return status(false);
    return status(deliver((*arguments)[2], training_record(arguments->id, *record)));
  });
}

PyObject* play_test_game(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&]() -> PyObject* {
    auto arguments = bind("play_test_game", kTestGameParameters, args, nargs, kwnames);
    if (!arguments) return nullptr;
    const Config config = config_of((*arguments)[1]);
    Runtime model((*arguments)[3], (*arguments)[5], config, arguments->id);
    Runtime baseline((*arguments)[4], (*arguments)[5], config, arguments->id);
    PythonStdout out;
    auto outcome = self_play::test_game(model, baseline, self_play::Rng::for_this_thread(), out);
    if (const float* payoff = std::get_if<float>(&outcome)) return PyFloat_FromDouble(*payoff);
    const std::string message = self_play::debug_quote(*error_of(outcome));
    PyErr_SetString(PyExc_Exception, message.c_str());
    return nullptr;
  });
}

PyObject* play_test_against_random(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return run_guarded([&]() -> PyObject* {
    auto arguments = bind("play_test_against_random", kTrainingParameters, args, nargs, kwnames);
    if (!arguments) return nullptr;
    const Config config = config_of((*arguments)[1]);
    Runtime runtime((*arguments)[3], (*arguments)[4], config, arguments->id);
    PythonStdout out;
    const Result<float> outcome =
        self_play::test_against_random(runtime, config, self_play::Rng::for_this_thread(), out);
    const float* payoff = std::get_if<float>(&outcome);
    if (payoff == nullptr) return status(false);
    return status(deliver((*arguments)[2], match_result(arguments->id, *payoff)));
  });
}

}  // namespace tavlox::python
