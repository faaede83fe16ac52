"""The engine layer: the batched engine's Python face (`batched`), the rules (`rules`), the
engine's constants (`constants`) and the search settings (`search_settings`,
`engine_config`). Imports only the extension modules and the base layer.

`tavlox_zero.engine` used to be the module now named `tavlox_zero.engine.batched`: its names
are all here too, so `from tavlox_zero.engine import BatchedEngine` keeps working. They are
looked up on first use, so that importing `constants` or the search settings needs no NumPy
(under PyPy there is none).

The network function of a PyTorch module (`TorchNetwork`, `CudaGraphs`, `graph_batch_size`)
moved to `tavlox_zero.nets.torch_network`; for one release the old names still give it, with
a DeprecationWarning.
"""

import warnings


_BATCHED = frozenset((
    "AGAINST_BASELINE", "AGAINST_RANDOM", "BASELINE_MATCH_DIM", "CONFIG_FIELDS", "HEAD_TO_HEAD", "MAX_DIM",
    "MIN_DIM", "PLAYERS", "STATE_PLANES", "TRAINING", "BatchedEngine", "EngineError", "EngineStats",
    "GameRecord", "MatchSettings", "NetworkError", "SearchSettings", "_engine", "default_search_threads",
))


# Names that moved up to the nets layer (nets.torch_network).
MOVED_TO_NETS = frozenset(("TorchNetwork", "CudaGraphs", "graph_batch_size"))


def __getattr__(name: str):
    if name in _BATCHED:
        from . import batched

        return getattr(batched, name)
    if name in MOVED_TO_NETS:
        # The one import that looks up a layer: an old name, kept for one release.
        from ..nets import torch_network

        warnings.warn(f"{__name__}.{name} is deprecated, import it from {torch_network.__name__}",
                      DeprecationWarning, stacklevel=2)
        return getattr(torch_network, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list:
    return sorted(set(globals()) | _BATCHED | MOVED_TO_NETS)
