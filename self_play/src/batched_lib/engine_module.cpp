// The batched engine as a Python extension, `tavlox_zero._engine`. The caller's thread
// drives it: take a closed batch, run the network on its planes, write the logits into the
// batch's output buffers, submit. The buffers are exported through the buffer protocol, so
// NumPy and PyTorch see them without a copy. The search threads never touch Python.
#include <Python.h>

#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "batched_engine.h"
#include "fault.h"
#include "matches.h"
#include "pieces.h"
#include "py_ref.h"
#include "settings_objects.h"
#include "settings_table.h"
#include "signals.h"

namespace tavlox::self_play {
// position_search.cpp: one search of one position, the network asked through a Python function.
PyObject* search_position(PyObject* module, PyObject* args, PyObject* kwargs);
}  // namespace tavlox::self_play

namespace {

using tavlox::python::check_signals;
using tavlox::python::Ref;
using tavlox::self_play::BatchedEngine;
using tavlox::self_play::EngineOptions;
using tavlox::self_play::FinishedGame;
using tavlox::self_play::JobKind;

PyObject* engine_error = nullptr;  // tavlox_zero._engine.EngineError, owned by the module

struct EngineObject {
  PyObject_HEAD BatchedEngine* engine;
};

// A view of one buffer of one batch slot; keeps its engine alive while exported.
struct BufferObject {
  PyObject_HEAD PyObject* owner;
  void* data;
  Py_ssize_t item_size;
  const char* format;
  int ndim;
  Py_ssize_t shape[4];
  Py_ssize_t strides[4];
  bool writable;
};

// Runs `body`, turning any C++ exception into a Python exception (never crossing into the
// interpreter). Returns null when it raised.
template <typename Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const tavlox::Fault& fault) {
    PyErr_SetString(PyExc_ValueError, fault.what());
  } catch (const std::exception& error) {
    PyErr_SetString(engine_error, error.what());
  }
  return nullptr;
}

// Runs `body` without the interpreter lock; a C++ exception becomes `engine_error`.
template <typename Body>
bool without_gil(Body&& body) {
  std::string failure;
  Py_BEGIN_ALLOW_THREADS;
  try {
    body();
  } catch (const std::exception& error) {
    failure = error.what();
    if (failure.empty()) failure = "engine failure";
  }
  Py_END_ALLOW_THREADS;
  if (failure.empty()) return true;
  PyErr_SetString(engine_error, failure.c_str());
  return false;
}

BatchedEngine& engine_of(PyObject* self) {
  return *reinterpret_cast<EngineObject*>(self)->engine;
}

bool parse_kind(const char* name, JobKind& kind) {
  if (std::strcmp(name, "training") == 0) {
    kind = JobKind::kTraining;
  } else if (std::strcmp(name, "random") == 0) {
    kind = JobKind::kAgainstRandom;
  } else if (std::strcmp(name, "baseline") == 0) {
    kind = JobKind::kAgainstBaseline;
  } else if (std::strcmp(name, "match") == 0) {
    kind = JobKind::kHeadToHead;
  } else {
    PyErr_Format(PyExc_ValueError,
                 "unknown job kind '%s': expected 'training', 'random', 'baseline' or 'match'",
                 name);
    return false;
  }
  return true;
}

// ---- Engine ----

// Game numbers from any iterable of non-negative integers.
bool read_game_numbers(PyObject* numbers, std::vector<uint64_t>& out) {
  Ref iterator = Ref::steal(PyObject_GetIter(numbers));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    const unsigned long long number = PyLong_AsUnsignedLongLong(item.get());
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (number >= tavlox::self_play::kReplacementGames) {
      PyErr_SetString(PyExc_ValueError, "game numbers must be below 2**62");
      return false;
    }
    out.push_back(number);
  }
  return !PyErr_Occurred();
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"kind",           "config",       "games",  "games_in_flight",
                                   "search_threads", "batch_size",   "seed",   "max_failed_games",
                                   "slots",          "game_numbers", "search", "match",
                                   nullptr};
  const char* kind_name = nullptr;
  EngineOptions options;
  PyObject* config = nullptr;
  unsigned long long seed = 0;
  Py_ssize_t games = 0, in_flight = 0, threads = 0, batch = 0, failed = 0, slots = 2;
  PyObject* numbers = Py_None;
  PyObject* search = Py_None;
  PyObject* match = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOnnnnKn|nOOO:Engine",
                                   const_cast<char**>(keywords), &kind_name, &config, &games,
                                   &in_flight, &threads, &batch, &seed, &failed, &slots, &numbers,
                                   &search, &match)) {
    return nullptr;
  }
  if (!tavlox::self_play::read_config(config, options.config)) return nullptr;
  if (numbers != Py_None && !read_game_numbers(numbers, options.game_numbers)) return nullptr;
  if (search != Py_None && !tavlox::self_play::read_search(search, options.search)) return nullptr;
  if (match != Py_None && !tavlox::self_play::read_match(match, options.match)) return nullptr;
  if (!parse_kind(kind_name, options.kind)) return nullptr;
  for (Py_ssize_t value : {games, in_flight, threads, batch, failed, slots}) {
    if (value < 0) {
      PyErr_SetString(PyExc_ValueError, "counts must not be negative");
      return nullptr;
    }
  }
  options.games = std::size_t(games);
  options.games_in_flight = std::size_t(in_flight);
  options.search_threads = std::size_t(threads);
  options.batch_size = std::size_t(batch);
  options.seed = seed;
  options.max_failed_games = std::size_t(failed);
  options.slots = std::size_t(slots);
  if (auto error = tavlox::self_play::options_error(options)) {
    PyErr_SetString(PyExc_ValueError, error->c_str());
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    reinterpret_cast<EngineObject*>(self.get())->engine = new BatchedEngine(options);
    return self.release();
  });
}

void engine_dealloc(PyObject* self) {
  BatchedEngine* engine = reinterpret_cast<EngineObject*>(self)->engine;
  if (engine != nullptr) {
    Py_BEGIN_ALLOW_THREADS;
    delete engine;
    Py_END_ALLOW_THREADS;
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* new_buffer(PyObject* owner, void* data, Py_ssize_t item_size, const char* format,
                     std::initializer_list<Py_ssize_t> shape, bool writable);

PyObject* engine_buffers(PyObject* self, PyObject* args) {
  unsigned int network = 0, slot = 0;
  if (!PyArg_ParseTuple(args, "II:buffers", &network, &slot)) return nullptr;
  BatchedEngine& engine = engine_of(self);
  if (network >= engine.networks() || slot >= engine.options().slots) {
    PyErr_Format(PyExc_IndexError, "no slot %u of network %u", slot, network);
    return nullptr;
  }
  auto& buffers = engine.slot(network, slot);
  const Py_ssize_t rows = Py_ssize_t(buffers.capacity());
  const Py_ssize_t dim = engine.dim();
  Ref planes = Ref::steal(new_buffer(self, buffers.planes.data(), 1, "B",
                                     {rows, tavlox::kStatePlanes, dim, dim}, true));
  Ref policy = Ref::steal(
      new_buffer(self, buffers.policy_logits.data(), sizeof(float), "f", {rows, dim * dim}, true));
  Ref value = Ref::steal(new_buffer(self, buffers.value_logits.data(), sizeof(float), "f",
                                    {rows, tavlox::kPlayers}, true));
  if (!planes || !policy || !value) return nullptr;
  return PyTuple_Pack(3, planes.get(), policy.get(), value.get());
}

// Waits for a closed batch in short slices, so that Ctrl-C is seen while it waits.
PyObject* engine_next_batch(PyObject* self, PyObject*) {
  BatchedEngine& engine = engine_of(self);
  BatchedEngine::Batch batch;
  while (true) {
    auto outcome = BatchedEngine::Wait::kTimeout;
    if (!without_gil([&] { outcome = engine.wait_batch(std::chrono::milliseconds(50), batch); })) {
      return nullptr;
    }
    if (outcome == BatchedEngine::Wait::kBatch) {
      return Py_BuildValue("(IIn)", batch.network, batch.slot, Py_ssize_t(batch.rows));
    }
    if (outcome == BatchedEngine::Wait::kDone) {
      if (auto fault = engine.fault()) {
        PyErr_SetString(engine_error, fault->c_str());
        return nullptr;
      }
      Py_RETURN_NONE;
    }
    if (check_signals() != 0) return nullptr;
  }
}

PyObject* engine_submit(PyObject* self, PyObject* args) {
  BatchedEngine::Batch batch;
  if (!PyArg_ParseTuple(args, "II:submit", &batch.network, &batch.slot)) return nullptr;
  BatchedEngine& engine = engine_of(self);
  if (!without_gil([&] { engine.submit(batch); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* engine_stop(PyObject* self, PyObject*) {
  BatchedEngine& engine = engine_of(self);
  if (!without_gil([&] { engine.stop(); })) return nullptr;
  Py_RETURN_NONE;
}

template <typename T>
PyObject* bytes_of(const T* data, std::size_t count) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                   Py_ssize_t(count * sizeof(T)));
}

// (index, error, moves, policy_tiles, policy_fractions, policy_lengths, payoffs, search_values):
// the arrays as raw bytes (int32 player/tile pairs, int32 tiles, float32 fractions, int32
// lengths, float32 four values per move).
PyObject* training_result(const FinishedGame& game) {
  const auto& record = game.record;
  std::vector<int32_t> moves;
  moves.reserve(record.moves.size() * 2);
  for (const auto& move : record.moves) {
    moves.push_back(move.player);
    moves.push_back(move.tile);
  }
  std::vector<int32_t> tiles, lengths;
  std::vector<float> fractions;
  lengths.reserve(record.policies.size());
  for (const auto& policy : record.policies) {
    lengths.push_back(int32_t(policy.size()));
    for (const auto& [tile, fraction] : policy) {
      tiles.push_back(tile);
      fractions.push_back(fraction);
    }
  }
  const auto& p = record.payoffs;
  const auto& values = record.search_values;
  return Py_BuildValue("(KONNNN(ffff)N)", (unsigned long long)game.index, Py_None,
                       bytes_of(moves.data(), moves.size()), bytes_of(tiles.data(), tiles.size()),
                       bytes_of(fractions.data(), fractions.size()),
                       bytes_of(lengths.data(), lengths.size()), p[0], p[1], p[2], p[3],
                       bytes_of(values.data(), values.size()));
}

PyObject* result_of(const FinishedGame& game, JobKind kind) {
  if (!game.error.empty()) {
    return Py_BuildValue("(Ks)", (unsigned long long)game.index, game.error.c_str());
  }
  if (kind == JobKind::kTraining) return training_result(game);
  return Py_BuildValue("(KOf)", (unsigned long long)game.index, Py_None, game.payoff);
}

PyObject* engine_take_finished(PyObject* self, PyObject*) {
  BatchedEngine& engine = engine_of(self);
  return guarded([&]() -> PyObject* {
    const std::vector<FinishedGame> games = engine.take_finished();
    Ref list = Ref::steal(PyList_New(Py_ssize_t(games.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < games.size(); ++i) {
      PyObject* item = result_of(games[i], engine.options().kind);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
  });
}

PyObject* engine_stats(PyObject* self, PyObject*) {
  const auto stats = engine_of(self).stats();
  return Py_BuildValue("{sKsKsKsKsd}", "evaluations", (unsigned long long)stats.evaluations,
                       "batches", (unsigned long long)stats.batches, "games_finished",
                       (unsigned long long)stats.games_finished, "games_failed",
                       (unsigned long long)stats.games_failed, "search_cpu_seconds",
                       stats.search_cpu_seconds);
}

PyObject* engine_get_dim(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(engine_of(self).dim());
}
PyObject* engine_get_networks(PyObject* self, void*) {
  return PyLong_FromSize_t(engine_of(self).networks());
}
PyObject* engine_get_slots(PyObject* self, void*) {
  return PyLong_FromSize_t(engine_of(self).options().slots);
}
PyObject* engine_get_batch_size(PyObject* self, void*) {
  return PyLong_FromSize_t(engine_of(self).options().batch_size);
}

PyMethodDef engine_methods[] = {
    {"buffers", engine_buffers, METH_VARARGS,
     "buffers(network, slot) -> (planes, policy_logits, value_logits): the slot's buffers"},
    {"next_batch", engine_next_batch, METH_NOARGS,
     "next_batch() -> (network, slot, rows), or None once every game has ended"},
    {"submit", engine_submit, METH_VARARGS,
     "submit(network, slot): hand the logits written into the slot back to its games"},
    {"take_finished", engine_take_finished, METH_NOARGS,
     "take_finished() -> the games ended since the last call"},
    {"stop", engine_stop, METH_NOARGS, "stop(): abandon the games in flight and end the threads"},
    {"stats", engine_stats, METH_NOARGS, "stats() -> counters of the run"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef engine_getset[] = {
    {"dim", engine_get_dim, nullptr, "board size of the games", nullptr},
    {"networks", engine_get_networks, nullptr, "networks the games ask", nullptr},
    {"slots", engine_get_slots, nullptr, "batch slots per network", nullptr},
    {"batch_size", engine_get_batch_size, nullptr, "rows per batch slot", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {Py_tp_doc, const_cast<char*>("Engine(kind, config, games, games_in_flight, search_threads, "
                                  "batch_size, seed, max_failed_games, slots=2, game_numbers=None, "
                                  "search=None, match=None)\n--\n\n"
                                  "Many games at once, their positions evaluated in batches.")},
    {0, nullptr}};

PyType_Spec engine_spec = {"tavlox_zero._engine.Engine", sizeof(EngineObject), 0,
                           Py_TPFLAGS_DEFAULT, engine_slots};

// ---- BatchBuffer ----

PyTypeObject* buffer_type = nullptr;

PyObject* new_buffer(PyObject* owner, void* data, Py_ssize_t item_size, const char* format,
                     std::initializer_list<Py_ssize_t> shape, bool writable) {
  Ref self = Ref::steal(buffer_type->tp_alloc(buffer_type, 0));
  if (!self) return nullptr;
  auto* buffer = reinterpret_cast<BufferObject*>(self.get());
  buffer->owner = Ref::borrow(owner).release();
  buffer->data = data;
  buffer->item_size = item_size;
  buffer->format = format;
  buffer->ndim = int(shape.size());
  buffer->writable = writable;
  int axis = 0;
  for (Py_ssize_t extent : shape) buffer->shape[axis++] = extent;
  Py_ssize_t stride = item_size;
  for (int i = buffer->ndim - 1; i >= 0; --i) {
    buffer->strides[i] = stride;
    stride *= buffer->shape[i];
  }
  return self.release();
}

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
  auto* buffer = reinterpret_cast<BufferObject*>(self);
  if ((flags & PyBUF_WRITABLE) && !buffer->writable) {
    PyErr_SetString(PyExc_BufferError, "this buffer is read-only");
    return -1;
  }
  Py_ssize_t length = buffer->item_size;
  for (int i = 0; i < buffer->ndim; ++i) length *= buffer->shape[i];
  view->buf = buffer->data;
  view->obj = Ref::borrow(self).release();
  view->len = length;
  view->itemsize = buffer->item_size;
  view->readonly = buffer->writable ? 0 : 1;
  view->ndim = buffer->ndim;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(buffer->format) : nullptr;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? buffer->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? buffer->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void buffer_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<BufferObject*>(self)->owner);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {Py_tp_doc, const_cast<char*>("One buffer of a batch slot (buffer protocol).")},
    {0, nullptr}};

PyType_Spec buffer_spec = {"tavlox_zero._engine.BatchBuffer", sizeof(BufferObject), 0,
                           Py_TPFLAGS_DEFAULT, buffer_slots};

// ---- module ----

bool add_reference_names(PyObject* module) {
  using tavlox::self_play::kReferenceNames;
  Ref names = Ref::steal(PyTuple_New(Py_ssize_t(kReferenceNames.size())));
  if (!names) return false;
  for (std::size_t i = 0; i < kReferenceNames.size(); ++i) {
    PyObject* name = PyUnicode_FromStringAndSize(kReferenceNames[i].data(),
                                                 Py_ssize_t(kReferenceNames[i].size()));
    if (name == nullptr) return false;
    PyTuple_SET_ITEM(names.get(), Py_ssize_t(i), name);
  }
  if (PyModule_AddObject(module, "REFERENCE_PLAYERS", names.get()) != 0) return false;
  (void)names.release();
  return true;
}

bool add_constants(PyObject* module) {
  if (!add_reference_names(module)) return false;
  using tavlox::self_play::kConfigSettings;
  Ref fields = Ref::steal(PyTuple_New(Py_ssize_t(kConfigSettings.size())));
  if (!fields) return false;
  for (std::size_t i = 0; i < kConfigSettings.size(); ++i) {
    const std::string_view name = kConfigSettings[i].name;
    PyObject* item = PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
    if (item == nullptr) return false;
    PyTuple_SET_ITEM(fields.get(), Py_ssize_t(i), item);
  }
  if (PyModule_AddObject(module, "CONFIG_FIELDS", fields.get()) != 0) return false;
  (void)fields.release();
  Ref settings = Ref::steal(tavlox::self_play::settings_tables());
  if (!settings || PyModule_AddObject(module, "SETTINGS", settings.get()) != 0) return false;
  (void)settings.release();
  return PyModule_AddIntConstant(module, "STATE_PLANES", tavlox::kStatePlanes) == 0 &&
         PyModule_AddIntConstant(module, "STATE_PLANES", tavlox::kStatePlanes) == 0 &&
         PyModule_AddIntConstant(module, "PLAYERS", tavlox::kPlayers) == 0 &&
         PyModule_AddIntConstant(module, "MIN_DIM", tavlox::kMinDim) == 0 &&
         PyModule_AddIntConstant(module, "MAX_DIM", tavlox::kMaxDim) == 0 &&
         PyModule_AddIntConstant(module, "BASELINE_MATCH_DIM", tavlox::self_play::kTestGameDim) ==
             0;
}

PyMethodDef module_methods[] = {
    {"search_position",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(tavlox::self_play::search_position)),
     METH_VARARGS | METH_KEYWORDS,
     "search_position(dim, tiles, sims, evaluate, seed[, c_base, c_init])\n\n"
     "Replays tiles on a new game and searches its position with sims simulations, asking "
     "evaluate(planes) -> (policy_logits, value_logits) for every evaluation. Returns the root's "
     "[(tile, visits)], ascending by tile. c_base and c_init default to the engine "
     "configuration's (SETTINGS['config'])."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "tavlox_zero._engine",
                          "The batched self-play engine and the game's shared constants.",
                          -1,
                          module_methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__engine() {
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&buffer_spec));
  if (buffer_type == nullptr) return nullptr;
  Ref engine_type = Ref::steal(PyType_FromSpec(&engine_spec));
  if (!engine_type) return nullptr;
  engine_error = PyErr_NewExceptionWithDoc("tavlox_zero._engine.EngineError",
                                           "The batched engine stopped on a fault.",
                                           PyExc_RuntimeError, nullptr);
  if (engine_error == nullptr) return nullptr;
  Py_INCREF(engine_error);
  if (PyModule_AddObject(module.get(), "EngineError", engine_error) != 0) return nullptr;
  if (PyModule_AddObject(module.get(), "Engine", engine_type.get()) != 0) return nullptr;
  (void)engine_type.release();
  Py_INCREF(buffer_type);
  if (PyModule_AddObject(module.get(), "BatchBuffer", reinterpret_cast<PyObject*>(buffer_type)) !=
      0) {
    return nullptr;
  }
  if (!add_constants(module.get())) return nullptr;
  return module.release();
}
