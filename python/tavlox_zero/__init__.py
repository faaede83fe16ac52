"""Training pipeline for the tavlox self-play engine: network, inference server, datasets, commands.

Importing the package is cheap: torch is imported only by the modules that need it,
so engine worker processes stay light.
"""

from importlib import metadata

try:
    __version__ = metadata.version("tavlox")
except metadata.PackageNotFoundError:
    __version__ = "0+unknown"
