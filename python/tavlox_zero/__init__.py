"""Training pipeline for the tavlox self-play engine: network, inference server, datasets, commands.

Importing the package is cheap: torch is imported only by the modules that need it,
so engine worker processes stay light.

The modules sit in layers, each importing only from its own layer and the ones below:
base, engine, nets, data, rating, players, training, view, and the commands at the top
(docs/architecture.md). Modules that used to sit at the top of the package are still found
under their old names for one release, with a DeprecationWarning (see `_MOVED`).
"""

import importlib
import importlib.abc
import importlib.util
import sys
import warnings
from importlib import metadata

try:
    __version__ = metadata.version("tavlox")
except metadata.PackageNotFoundError:
    __version__ = "0+unknown"

# Old module name (under this package) -> its new name. The old name imports the very same
# module object, so outside callers and objects pickled under an old module path still work.
_MOVED = {
    "atomic": "base.atomic",
    "backends": "commands.backends",
    "batched_player": "players.batched_player",
    "check": "commands.check",
    "constants": "engine.constants",
    "dataset": "data.dataset",
    "distributed": "players.distributed",
    "elo": "rating.elo",
    "engine_config": "engine.engine_config",
    "errors": "base.errors",
    "evaluate": "commands.evaluate",
    "gtp": "commands.gtp",
    "inference": "nets.inference",
    # The library half of the old train and loop modules; their commands are commands.train
    # and commands.loop.
    "loop": "training.loop",
    "ladder": "commands.ladder",
    "network": "nets.network",
    "network_player": "players.network_player",
    "picture": "view.picture",
    "play": "commands.play",
    "plotting": "training.progress_plot",
    "pool": "players.pool",
    "pool_options": "players.pool_options",
    "reference": "players.reference",
    "rules": "engine.rules",
    "scalars": "training.scalars",
    "search_settings": "engine.search_settings",
    "selfplay": "commands.selfplay",
    "server": "players.server",
    "show": "commands.show",
    "sprt": "rating.sprt",
    "stats": "rating.stats",
    "train": "training.trainer",
    "timeline": "view.timeline",
    "transport": "players.transport",
    "web": "view.web",
    "worker": "players.worker",
}


class _MovedModules(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Finds a moved module under its old name and hands out the module of its new name."""

    def find_spec(self, fullname, path=None, target=None):
        package, _, name = fullname.partition(".")
        if package != __name__ or name not in _MOVED:
            return None
        return importlib.util.spec_from_loader(fullname, self)

    def create_module(self, found):
        new = f"{__name__}.{_MOVED[found.name.partition('.')[2]]}"
        warnings.warn(f"{found.name} is deprecated, import {new} instead", DeprecationWarning, stacklevel=2)
        return importlib.import_module(new)

    def exec_module(self, module):
        """The module is the new one, already run."""


if not any(isinstance(finder, _MovedModules) for finder in sys.meta_path):
    sys.meta_path.append(_MovedModules())
