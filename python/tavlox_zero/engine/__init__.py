"""The engine layer: the batched engine's Python face (`batched`), the rules (`rules`), the
engine's constants (`constants`) and the search settings (`search_settings`,
`engine_config`). Imports only the extension modules and the base layer.

`tavlox_zero.engine` used to be the module now named `tavlox_zero.engine.batched`: its names
are all here too, so `from tavlox_zero.engine import BatchedEngine` keeps working. They are
looked up on first use, so that importing `constants` or the search settings needs no NumPy
(under PyPy there is none).
"""

_BATCHED = frozenset((
    "AGAINST_BASELINE", "AGAINST_RANDOM", "BASELINE_MATCH_DIM", "CONFIG_FIELDS", "HEAD_TO_HEAD", "MAX_DIM",
    "MIN_DIM", "PLAYERS", "STATE_PLANES", "TRAINING", "BatchedEngine", "EngineError", "EngineStats",
    "GameRecord", "MatchSettings", "NetworkError", "SearchSettings", "_engine", "default_search_threads",
))


def __getattr__(name: str):
    if name in _BATCHED:
        from . import batched

        return getattr(batched, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list:
    return sorted(set(globals()) | _BATCHED)
