// `search_position`: one search of one position, the network asked through a Python function.
// The interactive tools (the play page and the text-protocol engine) choose each tile with it.
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "evaluator.h"
#include "fault.h"
#include "game.h"
#include "mcts.h"
#include "py_ref.h"
#include "random.h"
#include "search_node.h"
#include "settings_table.h"
#include "signals.h"

namespace tavlox::self_play {
namespace {

using python::Ref;

// A buffer view released on every path.
class BufferView {
 public:
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  explicit BufferView(PyObject* object) {
    ok_ = PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0;
  }
  ~BufferView() {
    if (ok_) PyBuffer_Release(&view_);
  }
  bool ok() const { return ok_; }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool ok_ = false;
};

bool is_float32(const char* format) {
  if (format == nullptr) return false;
  if (*format == '<' || *format == '=' || *format == '@') ++format;
  return std::strcmp(format, "f") == 0;
}

// Copies a C-contiguous float32 buffer of exactly `count` items into `out`; false with a
// Python exception set otherwise.
bool read_logits(PyObject* object, std::size_t count, const char* what, std::vector<float>& out) {
  BufferView buffer(object);
  if (!buffer.ok()) return false;
  const Py_buffer& view = buffer.view();
  if (!is_float32(view.format) || view.len != Py_ssize_t(count * sizeof(float))) {
    PyErr_Format(PyExc_ValueError,
                 "%s must be %zu contiguous float32 values (%zd bytes, format %s)", what, count,
                 view.len, view.format != nullptr ? view.format : "B");
    return false;
  }
  out.resize(count);
  std::memcpy(out.data(), view.buf, count * sizeof(float));
  return true;
}

// Asks a Python function for every evaluation: evaluate(planes) -> (policy_logits,
// value_logits), planes the position's encoding as 5*dim*dim bytes (channels first), the
// logits float32 buffers of dim*dim and 4 values. A Python exception stays set and stops the
// search; the caller re-raises it unchanged.
class PythonEvaluator final : public Evaluator {
 public:
  explicit PythonEvaluator(PyObject* function) : function_(function) {}

  std::optional<EvaluationError> infer(const Game& game, NetworkOutput& out) override {
    if (answer(game, out)) return std::nullopt;
    return EvaluationError{"the evaluate function raised", "the evaluate function raised"};
  }
  // Ctrl-C also stops a search whose simulations no longer ask the function.
  std::optional<EvaluationError> poll() override {
    if (python::check_signals() == 0) return std::nullopt;
    return EvaluationError{"interrupted", "interrupted"};
  }

 private:
  bool answer(const Game& game, NetworkOutput& out) {
    const std::size_t cells = game.board().cell_count();
    Ref planes = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(kStatePlanes * cells)));
    if (!planes) return false;
    game.write_game_state(false, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(planes.get())));
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(function_, planes.get(), nullptr));
    if (!result) return false;
    Ref pair = Ref::steal(
        PySequence_Fast(result.get(), "evaluate must return (policy_logits, value_logits)"));
    if (!pair) return false;
    if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
      PyErr_SetString(PyExc_ValueError, "evaluate must return (policy_logits, value_logits)");
      return false;
    }
    return read_logits(PySequence_Fast_GET_ITEM(pair.get(), 0), cells, "policy_logits",
                       out.policy_logits) &&
           read_logits(PySequence_Fast_GET_ITEM(pair.get(), 1), kPlayers, "value_logits",
                       out.value_logits);
  }

  PyObject* function_;  // borrowed: the caller's argument outlives the search
};

bool read_tiles(PyObject* object, std::vector<uint32_t>& tiles) {
  Ref sequence = Ref::steal(PySequence_Fast(object, "tiles must be a sequence of tile indices"));
  if (!sequence) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  tiles.reserve(std::size_t(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const unsigned long tile = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(sequence.get(), i));
    if (tile == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    tiles.push_back(uint32_t(tile));
  }
  return true;
}

// The game after `tiles` from the start, or nothing with a ValueError set.
std::optional<Game> replay(uint32_t dim, const std::vector<uint32_t>& tiles) {
  Game game = Game::reset(dim);
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    if (auto error = game.apply(tiles[i])) {
      PyErr_Format(PyExc_ValueError, "tile %zu (%u): %s", i, tiles[i], error->c_str());
      return std::nullopt;
    }
  }
  if (game.is_terminal()) {
    PyErr_SetString(PyExc_ValueError, "the game is over: there is nothing to search");
    return std::nullopt;
  }
  return game;
}

// [(tile, visits)] of the root's children, ascending by tile; a search that visited no tile
// (the network's numbers gave it nothing to rank) raises a ValueError instead.
PyObject* visit_list(const SearchNode& root) {
  std::vector<std::pair<uint32_t, uint32_t>> visits = visit_dist(root);
  if (visits.empty()) {
    PyErr_SetString(PyExc_ValueError,
                    "the search visited no tile: the network's answers gave it nothing to rank");
    return nullptr;
  }
  std::sort(visits.begin(), visits.end());
  Ref list = Ref::steal(PyList_New(Py_ssize_t(visits.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < visits.size(); ++i) {
    PyObject* pair = Py_BuildValue("(II)", visits[i].first, visits[i].second);
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), pair);
  }
  return list.release();
}

PyObject* search(uint32_t dim, const std::vector<uint32_t>& tiles, const Config& config,
                 PyObject* evaluate, unsigned long long seed) {
  std::optional<Game> game = replay(dim, tiles);
  if (!game) return nullptr;
  PythonEvaluator evaluator(evaluate);
  Rng rng = Rng::seeded(seed, 0);
  SearchNode root;
  if (auto error = run_mcts(evaluator, config, root, *game, rng)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, error->c_str());
    return nullptr;
  }
  return visit_list(root);
}

}  // namespace

PyObject* search_position(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"dim",  "tiles",  "sims",   "evaluate",
                                   "seed", "c_base", "c_init", nullptr};
  unsigned int dim = 0;
  PyObject* tiles_object = nullptr;
  Py_ssize_t sims = 0;
  PyObject* evaluate = nullptr;
  unsigned long long seed = 0;
  // The engine configuration's defaults: c_base and c_init unless given, and the root
  // noise's concentration, which must be valid although the noise has no weight here.
  Config config = default_config();
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "IOnOK|ff:search_position",
                                   const_cast<char**>(keywords), &dim, &tiles_object, &sims,
                                   &evaluate, &seed, &config.c_base, &config.c_init)) {
    return nullptr;
  }
  if (dim < kMinDim || dim > kMaxDim) {
    PyErr_Format(PyExc_ValueError, "Invalid board dimension %u: the accepted range is %u to %u",
                 dim, kMinDim, kMaxDim);
    return nullptr;
  }
  if (sims < 1) {
    PyErr_SetString(PyExc_ValueError, "sims must be at least 1");
    return nullptr;
  }
  if (!PyCallable_Check(evaluate)) {
    PyErr_SetString(PyExc_TypeError, "evaluate must be callable");
    return nullptr;
  }
  config.dim = dim;
  config.rep = 1;
  config.sims_per_move = std::size_t(sims);
  // No root noise: the interactive tools want the network's best play.
  config.exploration_fraction = 0.0f;
  std::vector<uint32_t> tiles;
  if (!read_tiles(tiles_object, tiles)) return nullptr;
  try {
    return search(dim, tiles, config, evaluate, seed);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return nullptr;
}

}  // namespace tavlox::self_play
