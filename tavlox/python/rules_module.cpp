// The rules engine as a small Python extension, `tavlox_zero._rules`: a Game type and the
// vectorised record encoder used by the training pipeline.
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "fault.h"
#include "game.h"
#include "guard.h"
#include "py_ref.h"

namespace {

using tavlox::Game;
using tavlox::python::Ref;

struct GameObject {
  PyObject_HEAD Game* game;
};

// The module's one mapping of C++ failures to Python: MemoryError for an allocation failure,
// ValueError for a fault of the rules (a broken precondition such as an illegal tile),
// RuntimeError for anything else.
void raise_rules_error(std::exception_ptr error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const tavlox::Fault& fault) {
    PyErr_SetString(PyExc_ValueError, fault.what());
  } catch (const std::exception& other) {
    PyErr_SetString(PyExc_RuntimeError, other.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

// Runs `body` so that no C++ exception reaches the interpreter. Null when it raised.
template <typename Body>
PyObject* guarded(Body&& body) {
  return tavlox::python::guarded_call(std::forward<Body>(body), raise_rules_error);
}

bool read_dim(PyObject* object, uint32_t& dim) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (value < tavlox::kMinDim || value > tavlox::kMaxDim) {
    PyErr_Format(PyExc_ValueError, "Invalid board dimension %llu: the accepted range is %u to %u",
                 value, tavlox::kMinDim, tavlox::kMaxDim);
    return false;
  }
  dim = static_cast<uint32_t>(value);
  return true;
}

Game& game_of(PyObject* self) {
  return *reinterpret_cast<GameObject*>(self)->game;
}

PyObject* state_bytes(const Game& game) {
  const size_t size = size_t(tavlox::kStatePlanes) * game.board().cell_count();
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
  if (!bytes) return nullptr;
  game.write_game_state(false, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())));
  return bytes.release();
}

PyObject* uint_list(const std::vector<uint32_t>& values) {
  Ref list = Ref::steal(PyList_New(Py_ssize_t(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLong(values[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
  }
  return list.release();
}

// --- Game type -------------------------------------------------------------------------

PyObject* game_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"dim", nullptr};
  PyObject* dim_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Game", const_cast<char**>(keywords),
                                   &dim_object)) {
    return nullptr;
  }
  uint32_t dim = 0;
  if (!read_dim(dim_object, dim)) return nullptr;
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  return guarded([&]() -> PyObject* {
    reinterpret_cast<GameObject*>(self.get())->game = new Game(Game::reset(dim));
    return self.release();
  });
}

void game_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<GameObject*>(self)->game;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* wrap_game(PyTypeObject* type, Game game) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  return guarded([&]() -> PyObject* {
    reinterpret_cast<GameObject*>(self.get())->game = new Game(std::move(game));
    return self.release();
  });
}

PyObject* game_copy(PyObject* self, PyObject*) {
  return guarded([&] { return wrap_game(Py_TYPE(self), game_of(self)); });
}

PyObject* game_apply(PyObject* self, PyObject* tile_object) {
  const unsigned long tile = PyLong_AsUnsignedLong(tile_object);
  if (tile == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
  return guarded([&]() -> PyObject* {
    const auto error = game_of(self).apply(uint32_t(tile));
    if (error) {
      PyErr_SetString(PyExc_ValueError, error->c_str());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* game_legal_tiles(PyObject* self, PyObject*) {
  return guarded([&] { return uint_list(game_of(self).get_legal_tiles()); });
}

PyObject* game_is_terminal(PyObject* self, PyObject*) {
  return PyBool_FromLong(game_of(self).is_terminal());
}

PyObject* game_scores(PyObject* self, PyObject*) {
  const Game& game = game_of(self);
  const auto scores = game.board().get_scores(game.last_piece_sizes());
  return Py_BuildValue("[iiii]", scores[0], scores[1], scores[2], scores[3]);
}

PyObject* game_payoff(PyObject* self, PyObject*) {
  const auto payoff = game_of(self).get_payoff();
  return Py_BuildValue("[dddd]", double(payoff[0]), double(payoff[1]), double(payoff[2]),
                       double(payoff[3]));
}

PyObject* game_state(PyObject* self, PyObject*) {
  return guarded([&] { return state_bytes(game_of(self)); });
}

PyObject* game_render(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const std::string text = game_of(self).board().render();
    return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "strict");
  });
}

PyObject* game_get_dim(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(game_of(self).dim());
}

PyObject* game_get_player(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(game_of(self).player());
}

PyObject* game_get_finished(PyObject* self, void*) {
  const Game& game = game_of(self);
  return Py_BuildValue("(NNNN)", PyBool_FromLong(game.finished(0)),
                       PyBool_FromLong(game.finished(1)), PyBool_FromLong(game.finished(2)),
                       PyBool_FromLong(game.finished(3)));
}

PyObject* game_get_history(PyObject* self, void*) {
  const auto& history = game_of(self).history();
  Ref list = Ref::steal(PyList_New(Py_ssize_t(history.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < history.size(); ++i) {
    PyObject* pair = Py_BuildValue("(ii)", history[i].player, history[i].tile);
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), pair);
  }
  return list.release();
}

PyMethodDef game_methods[] = {
    {"apply", game_apply, METH_O,
     "apply(tile)\n--\n\nChooses a tile for the player to move; ValueError when it is illegal."},
    {"legal_tiles", game_legal_tiles, METH_NOARGS,
     "legal_tiles()\n--\n\nThe tiles the player to move may choose next, ascending."},
    {"is_terminal", game_is_terminal, METH_NOARGS,
     "is_terminal()\n--\n\nWhether no player can move."},
    {"scores", game_scores, METH_NOARGS, "scores()\n--\n\nThe four players' scores."},
    {"payoff", game_payoff, METH_NOARGS,
     "payoff()\n--\n\nThe four players' payoffs: the best score shares 1."},
    {"state_bytes", game_state, METH_NOARGS,
     "state_bytes()\n--\n\nThe state encoding as 5*dim*dim bytes of 0 or 1, channels first."},
    {"render", game_render, METH_NOARGS, "render()\n--\n\nThe board as coloured squares."},
    {"copy", game_copy, METH_NOARGS, "copy()\n--\n\nAn independent copy of the game."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef game_getset[] = {
    {"dim", game_get_dim, nullptr, "Cells per side.", nullptr},
    {"player", game_get_player, nullptr, "The player to move.", nullptr},
    {"finished", game_get_finished, nullptr, "Which players can no longer move.", nullptr},
    {"history", game_get_history, nullptr, "Every (player, tile) applied so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot game_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(game_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(game_dealloc)},
    {Py_tp_methods, game_methods},
    {Py_tp_getset, game_getset},
    {Py_tp_doc, const_cast<char*>("Game(dim)\n--\n\nA four-player game on a dim x dim board.")},
    {0, nullptr},
};

PyType_Spec game_spec = {"tavlox_zero._rules.Game", sizeof(GameObject), 0, Py_TPFLAGS_DEFAULT,
                         game_slots};

// --- encode_record -------------------------------------------------------------------------

bool read_move(PyObject* item, long& player, long& tile) {
  Ref pair = Ref::steal(PySequence_Fast(item, "each move must be a (player, tile) pair"));
  if (!pair) return false;
  if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
    PyErr_SetString(PyExc_ValueError, "each move must be a (player, tile) pair");
    return false;
  }
  player = PyLong_AsLong(PySequence_Fast_GET_ITEM(pair.get(), 0));
  if (player == -1 && PyErr_Occurred()) return false;
  tile = PyLong_AsLong(PySequence_Fast_GET_ITEM(pair.get(), 1));
  return !(tile == -1 && PyErr_Occurred());
}

// Replays `moves` from a new game and writes the state before each move.
PyObject* encode_moves(uint32_t dim, PyObject* moves) {
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(moves);
  const size_t plane_bytes = size_t(tavlox::kStatePlanes) * dim * dim;
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(plane_bytes * count)));
  if (!bytes) return nullptr;
  auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get()));
  Game game = Game::reset(dim);
  for (Py_ssize_t i = 0; i < count; ++i) {
    long player = 0, tile = 0;
    if (!read_move(PySequence_Fast_GET_ITEM(moves, i), player, tile)) return nullptr;
    if (player != long(game.player()) || tile < 0) {
      PyErr_Format(PyExc_ValueError,
                   "move %zd (player %ld, tile %ld) does not fit the game: player %u is to move", i,
                   player, tile, game.player());
      return nullptr;
    }
    game.write_game_state(false, out + plane_bytes * size_t(i));
    if (const auto error = game.apply(uint32_t(tile))) {
      PyErr_Format(PyExc_ValueError, "move %zd: %s", i, error->c_str());
      return nullptr;
    }
  }
  return bytes.release();
}

PyObject* encode_record(PyObject*, PyObject* args) {
  PyObject* dim_object = nullptr;
  PyObject* moves_object = nullptr;
  if (!PyArg_ParseTuple(args, "OO:encode_record", &dim_object, &moves_object)) return nullptr;
  uint32_t dim = 0;
  if (!read_dim(dim_object, dim)) return nullptr;
  Ref moves = Ref::steal(PySequence_Fast(moves_object, "moves must be a sequence"));
  if (!moves) return nullptr;
  return guarded([&] { return encode_moves(dim, moves.get()); });
}

PyMethodDef module_methods[] = {
    {"encode_record", encode_record, METH_VARARGS,
     "encode_record(dim, moves)\n--\n\nThe state encoding before each (player, tile) move of a "
     "game replayed from its start, as len(moves)*5*dim*dim bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_rules",
                          "The game rules engine.",
                          -1,
                          module_methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__rules() {
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  Ref game_type = Ref::steal(PyType_FromSpec(&game_spec));
  if (!game_type) return nullptr;
  if (PyModule_AddObject(module.get(), "Game", game_type.get()) < 0) return nullptr;
  (void)game_type.release();
  return module.release();
}
